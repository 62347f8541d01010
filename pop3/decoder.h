// The MIME decoder that turns a fetched message, line by line, into a readable text file and attachment files.
#pragma once

#include <cstdint>

namespace tev {

struct SessionRecord;

// The current line is in replyBuffer.  1: the caller writes the line itself to the message file; 0: it does not
// (the decoder may have written decoded text or attachment data instead).  Called while decodeState is 2..9.
int32_t decodeMimeLine(SessionRecord &rec);
// Closes and records an attachment file still open; 1 when one was closed, else 0.
int32_t closeAttachment(SessionRecord &rec);
// Decodes a quoted-printable text into out (NUL-terminated); returns the bytes produced.  out holds at least
// strlen(text) + 1 bytes.
int32_t decodeQuotedPrintable(const char *text, char *out);

}  // namespace tev
