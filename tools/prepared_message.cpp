// A complete message read from standard input for 'tevmail sendmail' (RFC 5322): lines, checks, Bcc removal.

#include "prepared_message.h"

#include <strings.h>

namespace tevmail {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// The length of the field name that begins `line` ("Subject: x" -> 7), 0 when the line is no header field.
// RFC 5322 3.6.8: printable characters but ':', then the colon; the obsolete syntax allows blanks before it.
size_t fieldNameLength(const std::string &line) {
    size_t i = 0;
    while (i < line.size() && line[i] != ':' && static_cast<unsigned char>(line[i]) > 32 &&
           static_cast<unsigned char>(line[i]) < 127) {
        ++i;
    }
    size_t name = i;
    while (i < line.size() && isBlank(line[i])) ++i;
    return name > 0 && i < line.size() && line[i] == ':' ? name : 0;
}

std::string lowered(const std::string &text) {
    std::string result = text;
    for (char &c : result) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return result;
}

}  // namespace

bool MessageReader::fail(const std::string &problem) {
    failed_ = true;
    problem_ = "line " + std::to_string(lineNumber_) + ": " + problem;
    return false;
}

bool MessageReader::feed(const char *bytes, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (failed_) return false;
        if (stopped_) {
            ignoredAfterDot_ = true;
            return true;
        }
        char c = bytes[i];
        if (afterCr_) {
            afterCr_ = false;
            if (c == '\n') continue;  // the LF of a CR LF
        }
        if (c == '\r' || c == '\n') {
            afterCr_ = c == '\r';
            if (!takeLine()) return false;
            continue;
        }
        if (c == '\0') {
            ++lineNumber_;
            return fail("a NUL byte (mail text may not hold one; send binary data as a base64 attachment)");
        }
        if (line_.size() == kLongestMessageLine) {
            ++lineNumber_;
            return fail("longer than 998 characters (RFC 5322 allows no more; wrap it, or encode the body as "
                        "quoted-printable or base64)");
        }
        line_ += c;
    }
    return !failed_;
}

bool MessageReader::finish() {
    if (failed_) return false;
    if (!stopped_ && !line_.empty() && !takeLine()) return false;
    if (!headerDone_) endHeader();
    if (!anyLine_) {
        lineNumber_ = 0;
        failed_ = true;
        problem_ = "the message is empty";
        return false;
    }
    return true;
}

bool MessageReader::takeLine() {
    ++lineNumber_;
    std::string line;
    line.swap(line_);
    if (dotEndsInput_ && line == ".") {
        stopped_ = true;
        if (!headerDone_) endHeader();
        return true;
    }
    if (!headerDone_) return takeHeaderLine(line);
    output_ += line;
    output_ += "\r\n";
    anyLine_ = true;
    return true;
}

// One line of the header section.
bool MessageReader::takeHeaderLine(const std::string &line) {
    if (line.empty()) {
        endHeader();
        output_ += "\r\n";
        anyLine_ = true;
        return true;
    }
    if (isBlank(line[0])) {
        if (fields_.empty()) return fail("a continuation line (it begins with a blank) before any header field");
        fields_.back().value += line;
        fields_.back().raw += line + "\r\n";
        return true;
    }
    size_t name = fieldNameLength(line);
    if (name == 0) {
        // "From sender date" before the header is an mbox separator, not a part of the message.
        if (lineNumber_ == 1 && line.compare(0, 5, "From ") == 0) {
            droppedMboxLine_ = true;
            return true;
        }
        return fail("not a header field (\"Name: value\"), and no empty line ended the header before it");
    }
    HeaderField field;
    field.name = line.substr(0, name);
    field.value = line.substr(line.find(':') + 1);
    field.raw = line + "\r\n";
    fields_.push_back(field);
    anyLine_ = true;
    return true;
}

// The header is complete: its fields go out, the blind copies left out.
void MessageReader::endHeader() {
    headerDone_ = true;
    std::string header;
    for (const HeaderField &field : fields_) {
        if (!isBlindCopyField(field.name)) header += field.raw;
    }
    output_.insert(0, header);
}

std::string MessageReader::takeOutput() {
    std::string ready;
    if (headerDone_) ready.swap(output_);
    return ready;
}

bool isBlindCopyField(const std::string &name) {
    std::string low = lowered(name);
    return low == "bcc" || low == "resent-bcc";
}

const HeaderField *findField(const std::vector<HeaderField> &fields, const char *name) {
    for (const HeaderField &field : fields) {
        if (strcasecmp(field.name.c_str(), name) == 0) return &field;
    }
    return nullptr;
}

bool headerRecipients(const std::vector<HeaderField> &fields, std::vector<Mailbox> *out, std::string *problem) {
    for (const HeaderField &field : fields) {
        std::string low = lowered(field.name);
        if (low != "to" && low != "cc" && low != "bcc") continue;
        std::vector<Mailbox> mailboxes;
        std::string why;
        if (!parseHeaderAddressList(field.value, &mailboxes, &why)) {
            *problem = "the " + field.name + " field: " + why;
            return false;
        }
        addRecipients(mailboxes, out);
    }
    return true;
}

std::string headerSender(const std::vector<HeaderField> &fields) {
    for (const char *name : {"Sender", "From"}) {
        const HeaderField *field = findField(fields, name);
        if (field == nullptr) continue;
        std::vector<Mailbox> mailboxes;
        std::string problem;
        if (parseHeaderAddressList(field->value, &mailboxes, &problem) && !mailboxes.empty() &&
            mailboxes.front().address.find('@') != std::string::npos) {
            return mailboxes.front().address;
        }
    }
    return std::string();
}

void qualifyAddresses(const std::string &sender, std::vector<Mailbox> *mailboxes) {
    size_t at = sender.rfind('@');
    if (at == std::string::npos) return;
    for (Mailbox &mailbox : *mailboxes) {
        if (mailbox.address.find('@') == std::string::npos) mailbox.address += sender.substr(at);
    }
}

void addRecipients(const std::vector<Mailbox> &more, std::vector<Mailbox> *list) {
    for (const Mailbox &mailbox : more) {
        bool known = false;
        for (const Mailbox &have : *list) known = known || have.address == mailbox.address;
        if (!known) list->push_back(mailbox);
    }
}

}  // namespace tevmail
