// Conversion of text in a declared charset to UTF-8 (through the C library's iconv) and decoding of RFC 2047
// encoded words of any charset in a header line, for UTF-8 mail (integer parameter 103).
#pragma once

#include <cstddef>
#include <string>

namespace tev::mime {

// Appends `length` bytes in `charset` (an RFC 2231 language suffix "*en" is ignored) to out as UTF-8.  False,
// with out unchanged, when the charset is unknown, its name longer than 64 bytes, or the bytes are not valid in
// it.  UTF-8 and US-ASCII text is appended as it is.
bool appendAsUtf8(const char *charset, size_t charsetLength, const char *bytes, size_t length, std::string &out);

// The header line (NUL-terminated, ending in its line end or not) with every encoded word that can be decoded
// replaced by its text in UTF-8; the blanks between two adjacent decoded words are dropped (RFC 2047 6.2); a
// decoded CR, LF or NUL becomes a blank; a word that cannot be decoded stays as received.  The line end is kept.
std::string decodeWordsToUtf8(const char *line);

}  // namespace tev::mime
