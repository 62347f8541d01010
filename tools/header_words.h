// Header texts of received mail for people: RFC 2047 encoded words of any charset glibc's iconv knows decoded to
// UTF-8, and texts fitted to a column counted in characters.  tevmail list shows subjects and senders with it.
#pragma once

#include <stddef.h>

#include <string>

namespace tevmail {

// A header field value with its encoded words decoded to UTF-8 (the blanks between two adjacent words dropped,
// RFC 2047 6.2); a word that cannot be decoded (unknown charset, bad form) stays as it is.  Control characters,
// decoded or not, become blanks, so nothing in a header can steer the terminal.
std::string decodeHeaderWords(const std::string &value);

// `text` (UTF-8) in exactly `columns` characters: cut to columns - 3 characters and "..." when longer, padded
// with blanks when shorter.  A character is a UTF-8 sequence; a byte that starts none counts as one.
std::string fitColumns(const std::string &text, size_t columns);

}  // namespace tevmail
