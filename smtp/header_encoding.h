// Header texts of a sent message beyond plain ASCII and beyond one line: the unique Message-ID, folding of
// over-long lines (RFC 5322 2.1.1, 2.2.3), RFC 2047 encoded words for non-ASCII header texts and display names,
// RFC 2231 file-name parameters, and the quoted-printable / base64 text of whole parts (RFC 2045).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tev {

// No line on the wire is longer than this before its CR LF (RFC 5321 4.5.3.1.6).
constexpr size_t kMaxWireLine = 998;
// Lines built from encoded words stay within this (RFC 5322 2.1.1, RFC 2047 2).
constexpr size_t kFoldColumn = 78;

// "<message-root." unique text "@" the sender's domain ">": the time in ms, a process-wide counter and 8 random
// bytes, in hexadecimal.  The domain is taken from the bracketed address of `from` ("localhost" without one).
std::string uniqueMessageId(const char *from);

// Folds every line of `lines` (CR LF separated) longer than kMaxWireLine at a blank: the blank starts the
// continuation line.  A line with no blank to fold at stays as it is.
void foldLongLines(std::string &lines);
// Splits every line of `lines` longer than kMaxWireLine into lines of kMaxWireLine characters.
void splitLongLines(std::string &lines);

// True when the text holds a byte of 128 or more.
bool hasNonAscii(const char *text);

// Appends `text` as RFC 2047 B-encoded UTF-8 words ("=?utf-8?B?...?="), the first starting at `column`, the
// next ones on continuation lines (CR LF blank); no line passes kFoldColumn and no UTF-8 sequence is split
// (bytes that are not valid UTF-8 go out one by one, as they are).  Returns the column after the last word.
size_t appendEncodedWords(std::string &out, const char *text, size_t length, size_t column);

// A header value for `name` (e.g. "Subject: "): the text as encoded words when it holds non-ASCII, else as
// the plain value.  The result has no CR LF at its end.
std::string encodedHeaderValue(const char *name, const char *text);
// An address header ("To: ", "From: "...) whose display names with non-ASCII become encoded words; elements
// are separated by `separator` (outside double quotes) and joined by ", ", folded at kFoldColumn.
std::string encodedAddressHeader(const char *name, const char *list, char separator);

// The parameters of an attachment's name for the part header, when the name holds non-ASCII: name="<encoded
// words>" for the Content-Type line and the RFC 2231 filename*= (with continuations when long) for the
// disposition.  Each result starts with "; " or ";\r\n " and has no CR LF at its end.
std::string encodedNameParameter(const char *name, size_t column);
std::string extendedFileNameParameter(const char *name, size_t column);

// The whole text as quoted-printable (RFC 2045 6.7) in CR LF lines of at most 76 characters, line breaks of the
// text as hard breaks; or as base64 lines of 76 characters (line breaks as CR LF bytes).  Both end in CR LF
// (nothing for an empty text).
std::string quotedPrintableText(const char *text);
std::string base64Text(const char *text);
// The shorter of the two (quoted-printable when they are as long); base64 tells which it is.
std::string shorterTextEncoding(const char *text, bool &base64);

}  // namespace tev
