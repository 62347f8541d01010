// A complete RFC 5322 message as 'tevmail sendmail' reads it from standard input: cut into lines (CR LF, LF or a
// lone CR ends a line), checked (no line longer than 998 characters, no NUL byte, a header section of header
// fields), and written out again with CR LF line ends and without its Bcc fields. Nothing else is changed: the
// library sends these bytes as they are, stuffing lines that begin with '.' on the wire.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "addresses.h"

namespace tevmail {

// RFC 5321 4.5.3.1.6 and RFC 5322 2.1.1: at most 998 characters before the CR LF.
constexpr size_t kLongestMessageLine = 998;

struct HeaderField {
    std::string name;   // as written, without the colon
    std::string value;  // after the colon, unfolded (the line ends removed, the blanks that begin the next line kept)
    std::string raw;    // every line of the field, each with CR LF
};

// Takes standard input in pieces of any size. The header is held until the empty line that ends it (or the end of
// the input); the lines after it are handed on as they come, so a message of any size needs little memory.
class MessageReader {
public:
    // `dotEndsInput`: a line holding a single '.' ends the message, as sendmail reads it without -i.
    explicit MessageReader(bool dotEndsInput) : dotEndsInput_(dotEndsInput) {}

    // False at the first fault (then see problem()); stop feeding when done() is true.
    bool feed(const char *bytes, size_t length);
    // The end of the input: the last line without a line end is taken too. False at a fault or for an empty message.
    bool finish();
    // A '.' line ended the message; what follows it is not read.
    bool done() const { return stopped_; }
    // The bytes to send that are ready now (CR LF line ends, Bcc removed), handed over once.
    std::string takeOutput();

    const std::string &problem() const { return problem_; }
    // Every header field, Bcc included; complete once the header has ended (after finish() at the latest).
    const std::vector<HeaderField> &fields() const { return fields_; }
    bool headerComplete() const { return headerDone_; }
    // The input had bytes after the '.' line that ended it.
    bool ignoredAfterDot() const { return ignoredAfterDot_; }
    // The first line was an mbox separator ("From sender date"), which is not part of the message and was dropped.
    bool droppedMboxLine() const { return droppedMboxLine_; }
    int64_t lines() const { return lineNumber_; }

private:
    bool takeLine();
    bool takeHeaderLine(const std::string &line);
    void endHeader();
    bool fail(const std::string &problem);

    bool dotEndsInput_;
    bool stopped_ = false;
    bool failed_ = false;
    bool afterCr_ = false;      // the last byte fed was a CR: an LF next belongs to it
    bool headerDone_ = false;
    bool ignoredAfterDot_ = false;
    bool droppedMboxLine_ = false;
    bool anyLine_ = false;      // a header field, the empty line or a body line was taken
    int64_t lineNumber_ = 0;
    std::string line_;          // the line being read, without its end
    std::vector<HeaderField> fields_;
    std::string output_;
    std::string problem_;
};

// True for the fields the message must not carry to its recipients: Bcc and Resent-Bcc (any case).
bool isBlindCopyField(const std::string &name);

// The value of the first field named `name` (any case), or null.
const HeaderField *findField(const std::vector<HeaderField> &fields, const char *name);

// The recipients the fields name: every To, Cc and Bcc field in the order they stand. Groups are taken apart
// ("undisclosed-recipients:;" names nobody). False with `problem` naming the field.
bool headerRecipients(const std::vector<HeaderField> &fields, std::vector<Mailbox> *out, std::string *problem);

// The sender the header names: the first address of Sender, else of From; "" when neither gives one with a domain.
std::string headerSender(const std::vector<HeaderField> &fields);

// Gives every address without a domain ("root") the domain of `sender` (local@domain), as a mail system without
// local delivery must: cron and other system programs address mail to local names.
void qualifyAddresses(const std::string &sender, std::vector<Mailbox> *mailboxes);

// Appends the mailboxes of `more` whose address `list` does not hold yet.
void addRecipients(const std::vector<Mailbox> &more, std::vector<Mailbox> *list);

}  // namespace tevmail
