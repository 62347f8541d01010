// What a line-by-line fetch does with each received line (RFC 1939): the status line kept out of the message
// file, the "." end line, dot-unstuffing, and the hand-over to the MIME decoder and the message file.  Shared by
// the RETR states and by decoding a message held in memory, so both treat the same bytes the same way.
#pragma once

#include <cstddef>
#include <cstdint>

#include "frame/record.h"

namespace tev {

struct LineSource;

namespace pop3 {

// midLine values while a multi-line reply is read (0: the next read starts a line).
constexpr char kInsideLine = 1;
constexpr char kInsideStatusLine = 2;

// The statistics counters wrap like the 32-bit counters they are, without signed overflow.
inline void addCount(int32_t &counter, size_t amount) {
    counter = static_cast<int32_t>(static_cast<uint32_t>(counter) + static_cast<uint32_t>(amount));
}

// The terminating "." line.  Only TOP and RETR insist on a short line; a UIDL list ends at any "." line.
bool isEndLine(const char *line, int32_t length, bool anyLength);
// Takes off the "." the server put in front of a line that starts with "."; returns the new length.
int32_t unstuff(char *line, int32_t length);

// emailPath = directory, '\' unless the directory already ends with one, file name.
void composeEmailPath(SessionRecord &rec);

// Finishes a fetch's files: the attachment being written is recorded with its note, the message file closed.
// 0, or -1 when a write of the message file failed (its content is not whole).
int32_t closeFetchFiles(SessionRecord &rec);

// The line just read into replyBuffer (n > 0 bytes) of a RETR fetch: 1 when it is the end line, 0 when it was
// handled (dropped, decoded or written), or the failed write's negative result.  The decoder reads ahead from
// source.  replyCode 0 marks the status line as still awaited.
int32_t takeFetchedLine(SessionRecord &rec, int32_t n, LineSource &source);

}  // namespace pop3
}  // namespace tev
