// Address lists as tevmail's user writes them, turned into the form the library takes (every address in '<' '>').
#pragma once

#include <string>

namespace tevmail {

// A bare address gets '<' and '>'; one that already holds either (say, "Name <a@example.org>") is only trimmed.
std::string normaliseAddress(const std::string &text);

// "a@x, Name <b@y>" -> "<a@x>, Name <b@y>": split at every ',', each element normalised, empty ones dropped,
// joined by ", ". A comma inside a quoted display name splits too.
std::string normaliseList(const std::string &list);

}  // namespace tevmail

#include <vector>

namespace tevmail {

// One mailbox of an address list: the display name as the reader sees it ("" for none) and the address itself
// (local@domain, without brackets).
struct Mailbox {
    std::string name;
    std::string address;
};

// Parses an RFC 5322 address list: "a@x, \"Doe, John\" <j@y> (work), Ann <a@z>". Quoted strings and comments may
// hold commas; empty elements are skipped; a bare address followed by a comment takes the comment as its name.
// Groups ("team: a@x, b@y;") are refused, as are addresses the library's lists cannot carry (holding ',', '<', '>'
// or blanks). False with `problem` set.
bool parseAddressList(const std::string &text, std::vector<Mailbox> *out, std::string *problem);

// As parseAddressList, for the value of a To, Cc or Bcc header field: a group ("team: a@x, b@y;") stands for its
// members, and an empty one ("undisclosed-recipients:;") for nobody. A bare word ("root") is a mailbox whose
// address has no domain, for the caller to complete.
bool parseHeaderAddressList(const std::string &text, std::vector<Mailbox> *out, std::string *problem);

// As parseAddressList, but a bare word ("root") is a mailbox whose address has no domain (sendmail's arguments).
bool parseRecipientList(const std::string &text, std::vector<Mailbox> *out, std::string *problem);

// The element the library takes for one mailbox: "<a@x>" or "Name <a@x>". A name that holds ',', '<', '>', '"' or
// '\' is written as RFC 2047 encoded words, so no element ever holds the list separator ',' or a second '<'; a
// name with other specials is quoted.
std::string libraryElement(const Mailbox &mailbox);

// The elements joined by ", " (the library's default separator, which no element holds).
std::string libraryList(const std::vector<Mailbox> &mailboxes);

}  // namespace tevmail
