// The one writer of the SMTP data phase (everything between the DATA reply and the end-of-data line).  Every
// byte of the message passes through sendData, which doubles a '.' that starts a line (RFC 5321 4.5.2), so no
// line of the message can be taken for the end of the data.  Texts of the application are first brought into
// line form here: each CR, LF or CR LF becomes CR LF; inside a header value a line break continues the header on a
// line that starts with a blank (RFC 5322 2.2.3), so no text can start a header or a line of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tev {

struct SessionRecord;

// Appends the value of a single header (Subject, To, CC, From, Reply-To, an attachment name): every line break
// becomes CR LF followed by a blank, unless a blank or TAB follows the break already.
void appendHeaderValue(std::string &out, const char *value);
// Appends a text that keeps its own lines (extra header lines, the alternative text, the custom part headers):
// every line break becomes CR LF.
void appendTextLines(std::string &out, const char *text);

// Sends whole lines of the data phase, the first starting a line; a line beginning with '.' goes out with one more
// '.'.  Returns what sendBytes returns.
int32_t sendData(SessionRecord &rec, const char *bytes, size_t length);
inline int32_t sendData(SessionRecord &rec, const std::string &bytes) {
    return sendData(rec, bytes.data(), bytes.size());
}
// Sends a NUL-terminated text through sendData.
int32_t sendDataText(SessionRecord &rec, const char *text);
// Sends the line held in buffer (length characters, the buffer `capacity` bytes large) with CR LF after it; the
// buffer's text is unchanged afterwards.
int32_t sendDataLine(SessionRecord &rec, char *buffer, size_t length, size_t capacity);

}  // namespace tev
