// The MIME decoder that turns a fetched message, line by line, into a readable text file and attachment files.
// It takes every line it reads ahead (header continuations) from a line source, never from the socket itself.
#pragma once

#include <cstdint>

namespace tev {

struct SessionRecord;
struct LineSource;

// decodeState: what the fetch does with the next line.
constexpr int32_t kDecodeNotMime = 0;        // not MIME: every later line is written unchanged
constexpr int32_t kDecodeRaw = 1;            // raw fetch: the received bytes go to the file as they come
constexpr int32_t kDecodeTopHeader = 2;      // top header, no "MIME-Version: 1.0" line yet
constexpr int32_t kDecodeMimeTopHeader = 3;  // top header after that line
constexpr int32_t kDecodePreamble = 4;       // a main boundary is defined, waiting for its first line
constexpr int32_t kDecodePartHeader = 5;     // in a part header
constexpr int32_t kDecodePartBody = 6;       // in a part body (or a single-part MIME body)
constexpr int32_t kDecodeLast = 9;           // 2..9 hand the line to decodeMimeLine (7..9: written as it is)

// partEncoding: the transfer encoding of the current part.
constexpr int32_t kEncodingNone = 0;    // none recognised
constexpr int32_t kEncoding7Bit = 1;
constexpr int32_t kEncodingBase64 = 2;
constexpr int32_t kEncodingQuoted = 3;  // quoted-printable

// True when the fetch hands its lines to decodeMimeLine.
inline bool decodesLines(int32_t decodeState) {
    return decodeState >= kDecodeTopHeader && decodeState <= kDecodeLast;
}

// The current line is in replyBuffer.  1: the caller writes the line itself to the message file; 0: it does not
// (the decoder may have written decoded text or attachment data instead).  Called while decodeState is 2..9.
// Lines read ahead (continuations) come from source; without one, from the channel's receive ring.
int32_t decodeMimeLine(SessionRecord &rec, LineSource &source);
int32_t decodeMimeLine(SessionRecord &rec);
// Closes and records an attachment file still open; 1 when one was closed, else 0.
int32_t closeAttachment(SessionRecord &rec);
// Decodes a quoted-printable text into out (NUL-terminated); returns the bytes produced.  out holds at least
// strlen(text) + 1 bytes.
int32_t decodeQuotedPrintable(const char *text, char *out);
// Writes the text a text part still holds back (a last line without its line end) to the message file; called
// where a part ends and before the message file closes.
void flushPartText(SessionRecord &rec);
// Resets what the decoder knows of a message for a new fetch (decodeState 2 unless the fetch is raw, no
// boundaries, no saved attachments, no file name).
void startMessageDecoding(SessionRecord &rec);

}  // namespace tev
