// Address lists as tevmail's user writes them, turned into the form the library takes.

#include "addresses.h"

#include <string.h>

#include "text.h"

namespace tevmail {

std::string normaliseAddress(const std::string &text) {
    std::string address = trim(text);
    if (!address.empty() && address.find('<') == std::string::npos && address.find('>') == std::string::npos) {
        return "<" + address + ">";
    }
    return address;
}

std::string normaliseList(const std::string &list) {
    std::string result;
    size_t start = 0;
    for (;;) {
        size_t comma = list.find(',', start);
        std::string element = normaliseAddress(list.substr(start, comma == std::string::npos ? std::string::npos
                                                                                              : comma - start));
        if (!element.empty()) {
            if (!result.empty()) result += ", ";
            result += element;
        }
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return result;
}

}  // namespace tevmail

// ---- RFC 5322 address lists ----

namespace tevmail {

namespace {

bool isAtext(unsigned char c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c >= 0x80) return true;
    return std::string("!#$%&'*+-/=?^_`{|}~").find(static_cast<char>(c)) != std::string::npos;
}

enum class Token { kAtom, kQuoted, kDomainLiteral, kSpecial };

struct Piece {
    Token kind;
    std::string text;      // atom text, quoted content (unescaped), literal with its brackets, or the special
    std::string comment;   // comments that followed this piece
    size_t begin = 0;      // where the piece stands in the list
    size_t end = 0;
};

// Splits one list into pieces; comments are attached to the piece before them (or kept in `leading`).
bool tokenise(const std::string &text, std::vector<Piece> *pieces, std::string *leading, std::string *problem) {
    size_t i = 0;
    auto commentTarget = [&]() -> std::string & { return pieces->empty() ? *leading : pieces->back().comment; };
    while (i < text.size()) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == ' ' || c == '\t') {
            ++i;
        } else if (c == '\r' || c == '\n') {
            *problem = "an address list must be one line";
            return false;
        } else if (c == '(') {
            int depth = 0;
            std::string comment;
            for (; i < text.size(); ++i) {
                char d = text[i];
                if (d == '\\' && i + 1 < text.size()) {
                    comment += text[++i];
                    continue;
                }
                if (d == '(' && depth++ == 0) continue;
                if (d == ')' && --depth == 0) break;
                comment += d;
            }
            if (depth != 0) {
                *problem = "unclosed comment '(' in '" + text + "'";
                return false;
            }
            ++i;
            std::string &target = commentTarget();
            if (!target.empty()) target += ' ';
            target += trim(comment);
        } else if (c == '"') {
            size_t start = i;
            std::string content;
            for (++i; i < text.size() && text[i] != '"'; ++i) {
                if (text[i] == '\\' && i + 1 < text.size()) ++i;
                content += text[i];
            }
            if (i >= text.size()) {
                *problem = "unclosed quote '\"' in '" + text + "'";
                return false;
            }
            ++i;
            pieces->push_back({Token::kQuoted, content, "", start, i});
        } else if (c == '[') {
            size_t close = text.find(']', i);
            if (close == std::string::npos) {
                *problem = "unclosed '[' in '" + text + "'";
                return false;
            }
            pieces->push_back({Token::kDomainLiteral, text.substr(i, close + 1 - i), "", i, close + 1});
            i = close + 1;
        } else if (isAtext(c) || c == '.') {
            size_t start = i;
            while (i < text.size() && (isAtext(static_cast<unsigned char>(text[i])) || text[i] == '.')) ++i;
            pieces->push_back({Token::kAtom, text.substr(start, i - start), "", start, i});
        } else if (std::string("<>,:;@").find(static_cast<char>(c)) != std::string::npos) {
            pieces->push_back({Token::kSpecial, std::string(1, static_cast<char>(c)), "", i, i + 1});
            ++i;
        } else {
            *problem = std::string("unexpected '") + static_cast<char>(c) + "' in '" + text + "'";
            return false;
        }
    }
    return true;
}

bool isSpecial(const Piece &piece, char c) { return piece.kind == Token::kSpecial && piece.text[0] == c; }

// A local part as it is written in an address: a dot-atom as it is, anything else quoted.
std::string writtenLocalPart(const std::string &local) {
    bool dotAtom = !local.empty() && local.front() != '.' && local.back() != '.' &&
                   local.find("..") == std::string::npos;
    for (char c : local) dotAtom = dotAtom && (isAtext(static_cast<unsigned char>(c)) || c == '.');
    if (dotAtom) return local;
    std::string written = "\"";
    for (char c : local) {
        if (c == '"' || c == '\\') written += '\\';
        written += c;
    }
    return written + "\"";
}

// pieces[begin, end) as local@domain.
bool addrSpec(const std::vector<Piece> &pieces, size_t begin, size_t end, const std::string &element,
              std::string *out, std::string *problem) {
    size_t at = end;
    for (size_t k = begin; k < end; ++k) {
        if (isSpecial(pieces[k], '@')) at = k;
    }
    std::string local, domain;
    bool good = at != end && at > begin && at + 1 < end;
    for (size_t k = begin; good && k < at; ++k) {
        good = pieces[k].kind == Token::kAtom || pieces[k].kind == Token::kQuoted;
        local += pieces[k].text;
    }
    for (size_t k = at + 1; good && k < end; ++k) {
        good = pieces[k].kind == Token::kAtom || pieces[k].kind == Token::kDomainLiteral;
        domain += pieces[k].text;
    }
    if (!good || local.empty() || domain.empty()) {
        *problem = "'" + trim(element) + "' is not an address (local@domain)";
        return false;
    }
    std::string address = writtenLocalPart(local) + "@" + domain;
    if (address.find_first_of(",<> \t") != std::string::npos) {
        *problem = "tevmail cannot send to '" + address + "': it holds ',', '<', '>' or a blank";
        return false;
    }
    *out = address;
    return true;
}

// One element of the list (no top-level ',').
bool parseElement(const std::vector<Piece> &pieces, const std::string &leading, const std::string &element,
                  Mailbox *out, std::string *problem) {
    size_t open = pieces.size();
    for (size_t k = 0; k < pieces.size(); ++k) {
        if (isSpecial(pieces[k], ':') && open == pieces.size()) {
            *problem = "'" + trim(element) + "' looks like a group (NAME: addresses;); list the addresses instead";
            return false;
        }
        if (isSpecial(pieces[k], '<') && open == pieces.size()) open = k;
    }
    if (open == pieces.size()) {
        if (!addrSpec(pieces, 0, pieces.size(), element, &out->address, problem)) return false;
        // "a@x (Ann Lee)": the comment is the old way of giving a name.
        out->name = trim(leading + (leading.empty() ? "" : " ") + pieces.back().comment);
        return true;
    }
    size_t close = open + 1;
    while (close < pieces.size() && !isSpecial(pieces[close], '>')) ++close;
    if (close == pieces.size() || close + 1 != pieces.size()) {
        *problem = "'" + trim(element) + "' is not an address: '<' wants one '>' at the end";
        return false;
    }
    if (!addrSpec(pieces, open + 1, close, element, &out->address, problem)) return false;
    std::string name;
    for (size_t k = 0; k < open; ++k) {
        if (pieces[k].kind != Token::kAtom && pieces[k].kind != Token::kQuoted) {
            *problem = "'" + trim(element) + "' has a display name tevmail cannot read";
            return false;
        }
        if (!name.empty()) name += ' ';
        name += pieces[k].text;
    }
    out->name = name;
    return true;
}

bool needsEncoding(const std::string &name) { return name.find_first_of(",<>\"\\") != std::string::npos; }

bool isAtomPhrase(const std::string &name) {
    for (char c : name) {
        if (!isAtext(static_cast<unsigned char>(c)) && c != ' ') return false;
    }
    return true;
}

// RFC 2047 "Q" words for a display name, each at most 75 characters, never splitting a UTF-8 sequence.
std::string encodedWords(const std::string &name) {
    static const char hex[] = "0123456789ABCDEF";
    const std::string head = "=?UTF-8?Q?", tail = "?=";
    std::string result, word;
    size_t i = 0;
    while (i < name.size()) {
        size_t length = 1;
        unsigned char lead = static_cast<unsigned char>(name[i]);
        if (lead >= 0xC0) {
            while (i + length < name.size() && (static_cast<unsigned char>(name[i + length]) & 0xC0) == 0x80) {
                ++length;
            }
        }
        std::string piece;
        for (size_t k = i; k < i + length; ++k) {
            unsigned char c = static_cast<unsigned char>(name[k]);
            if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                strchr("!*+-/", static_cast<char>(c)) != nullptr) {
                piece += static_cast<char>(c);
            } else if (c == ' ') {
                piece += '_';
            } else {
                piece += '=';
                piece += hex[c >> 4];
                piece += hex[c & 15];
            }
        }
        if (!word.empty() && head.size() + word.size() + piece.size() + tail.size() > 75) {
            if (!result.empty()) result += ' ';
            result += head + word + tail;
            word.clear();
        }
        word += piece;
        i += length;
    }
    if (!result.empty()) result += ' ';
    return result + head + word + tail;
}

// The list parser; with `groups`, "name: members;" stands for its members (RFC 5322 3.4), so a header's
// "undisclosed-recipients:;" names nobody.
// With `localNames`, an element that is one bare word ("root", as cron addresses mail) is a mailbox without a
// domain.
bool parseList(const std::string &text, bool groups, bool localNames, std::vector<Mailbox> *out,
               std::string *problem) {
    std::vector<Piece> pieces;
    std::string leading;
    if (!tokenise(text, &pieces, &leading, problem)) return false;
    std::vector<Piece> element;
    std::string elementText;
    bool inGroup = false;
    size_t k = 0;
    for (;;) {
        bool end = k == pieces.size();
        bool opensGroup = !end && groups && isSpecial(pieces[k], ':') && !inGroup;
        if (opensGroup) {
            // The group's name is no mailbox: its members follow.
            for (const Piece &piece : element) {
                if (isSpecial(piece, '<') || isSpecial(piece, '@')) opensGroup = false;
            }
        }
        if (opensGroup) {
            element.clear();
            inGroup = true;
            leading = pieces[k].comment;
        } else if (end || isSpecial(pieces[k], ',') || (inGroup && isSpecial(pieces[k], ';'))) {
            if (!element.empty()) {
                elementText = text.substr(element.front().begin, element.back().end - element.front().begin);
                Mailbox mailbox;
                if (localNames && element.size() == 1 && element[0].kind == Token::kAtom) {
                    mailbox.address = element[0].text;
                    mailbox.name = trim(leading + (leading.empty() ? "" : " ") + element[0].comment);
                } else if (!parseElement(element, leading, elementText, &mailbox, problem)) {
                    return false;
                }
                out->push_back(mailbox);
            }
            if (end) break;
            if (isSpecial(pieces[k], ';')) inGroup = false;
            element.clear();
            leading = pieces[k].comment;
        } else if (isSpecial(pieces[k], ';')) {
            *problem = "';' ends a group, and tevmail takes no groups; separate addresses with ','";
            return false;
        } else {
            element.push_back(pieces[k]);
        }
        ++k;
    }
    if (inGroup) {
        *problem = "the group in '" + trim(text) + "' has no ';' at its end";
        return false;
    }
    return true;
}

}  // namespace

bool parseAddressList(const std::string &text, std::vector<Mailbox> *out, std::string *problem) {
    return parseList(text, false, false, out, problem);
}

bool parseHeaderAddressList(const std::string &text, std::vector<Mailbox> *out, std::string *problem) {
    return parseList(text, true, true, out, problem);
}

bool parseRecipientList(const std::string &text, std::vector<Mailbox> *out, std::string *problem) {
    return parseList(text, false, true, out, problem);
}

std::string libraryElement(const Mailbox &mailbox) {
    std::string angle = "<" + mailbox.address + ">";
    if (mailbox.name.empty()) return angle;
    if (needsEncoding(mailbox.name)) return encodedWords(mailbox.name) + " " + angle;
    if (isAtomPhrase(mailbox.name)) return mailbox.name + " " + angle;
    return "\"" + mailbox.name + "\" " + angle;
}

std::string libraryList(const std::vector<Mailbox> &mailboxes) {
    std::string list;
    for (const Mailbox &mailbox : mailboxes) {
        if (!list.empty()) list += ", ";
        list += libraryElement(mailbox);
    }
    return list;
}

}  // namespace tevmail
