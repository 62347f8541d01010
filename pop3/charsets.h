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

// True when text declared in this charset (NUL-terminated; empty = none declared) is taken as it is: none,
// UTF-8, US-ASCII, or a name that is no charset name at all (longer than 64 bytes, or holding characters no
// charset name has).
bool isTakenAsItIs(const char *charset);

// Where converted text goes, chunk by chunk.
using TextSink = void (*)(void *context, const char *bytes, size_t length);

// Converts `length` bytes of text in `charset` to UTF-8 and hands the result to sink.  Bytes that are not valid
// in the charset, and all the bytes of a charset iconv does not know, are handed on as they are (never dropped).
// Returns the bytes consumed: all of them when `final`, else all but an incomplete sequence at the end, which
// the caller gives again with what follows.
size_t convertTextToUtf8(const char *charset, const char *bytes, size_t length, bool final, TextSink sink,
                         void *context);

}  // namespace tev::mime
