// The message-text reader and line encoder: a 2048-byte window over the text (in memory, or an open file),
// cut into the lines that go out in the data phase: plain text wrapped at a blank or at the line length, HTML
// lines as they are, or quoted-printable lines with soft breaks (RFC 2045 6.7).
#pragma once

#include <cstdint>

#include "frame/record.h"

namespace tev {

// Bytes of the window that a refill fills (the window has two bytes more of storage).
constexpr int32_t kTextWindowBytes = static_cast<int32_t>(kBigBufferSize) - 2;
// Longest line the encoder builds: what commandBuffer holds with the CR, LF and NUL written after it.
constexpr int32_t kLongestTextLine = static_cast<int32_t>(kBigBufferSize) - 3;

// How the message text goes out (SessionRecord::textTransfer): as its body mode says; quoted-printable lines of
// at most 76 characters built while it is read (a UTF-8 text from a file); or already encoded, as
// quoted-printable or base64 lines that pass unchanged (a UTF-8 text from memory, encoded when the send starts).
constexpr char kTextAsMode = 0;
constexpr char kTextQuotedStream = 1;
constexpr char kTextEncodedQuoted = 2;
constexpr char kTextEncodedBase64 = 3;

// maxLineLength as the encoder and the reader use it: 1..2045, so that a line with a three-character escape and
// a soft break still fits commandBuffer, and a refill never reads outside the window.
int32_t usableLineLength();

// Starts a new text: nothing read, nothing ended.
void resetTextReader(SessionRecord &rec);
// The next byte of the text (1..255), or 0 when the text has ended (a NUL byte of the text also reads as 0).
int32_t nextTextByte(SessionRecord &rec);
// Builds the next output line (without its line end, NUL-terminated) in buffer, which must hold
// kLongestTextLine + 1 bytes; returns its length, or -1 when the text has ended.
int32_t encodeTextLine(SessionRecord &rec, char *buffer);

}  // namespace tev
