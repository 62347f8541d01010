// Text helpers of tevmail that touch neither the library nor the system: trimming, line checks, the library's
// multi-line texts as one line, header field values, sizes for people.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace tevmail {

// `text` without leading and trailing blanks and tabs.
std::string trim(const std::string &text);

// True when `text` holds a CR or an LF.
bool hasLineBreak(const std::string &text);

// `length` bytes of a library text as one line: CRs dropped, each run of LFs between text becomes " | ", then
// trimmed.
std::string oneLine(const char *text, size_t length);

// The value of header field `name` (matched without regard to case) in a header block: its first occurrence, folded
// lines joined by one blank, trimmed; "" when the field is missing or stands after the blank line that ends the
// header. Encoded words stay as they are.
std::string headerValue(const std::string &header, const char *name);

// "512 B", "1.5 KiB", "3.2 MiB".
std::string humanSize(int64_t bytes);

}  // namespace tevmail
