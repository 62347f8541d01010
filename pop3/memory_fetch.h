// Decoding a message held in memory exactly as a RETR fetch decodes what the server sends: for tests and fuzzing.
#pragma once

#include <cstddef>
#include <cstdint>

#include "frame/record.h"

namespace tev {

// Decodes `reply`, the bytes a server sends in answer to RETR (the "+OK" status line, the dot-stuffed message
// with CR LF line ends, the "." end line), into the message file fileName in emailDir and attachment files in
// attachDir, as tevGetEmailFile on rec's channel would: the same record fields are reset, set and kept (saved
// names and counts, attachmentSerial, decodeState, trace lines when rec has a log), the same files written.
// splitPoints (ascending offsets into reply) cut it into the pieces it arrives in, as TCP may (see
// MemoryLineSource).  rec needs no socket.  Result as the fetch's: 0 when the end line was met (or, raw,
// decodeState 1: everything written); -1 (TEV_E_SOCKET_CLOSED) when reply ends before it; -67 when the message
// file cannot be created; a failed write's result.  Unlike a failed fetch, every file is closed on return.
int32_t decodeMessageFromMemory(SessionRecord &rec, const char *fileName, const char *emailDir,
                                const char *attachDir, const char *reply, size_t length,
                                const size_t *splitPoints = nullptr, size_t splitCount = 0);

}  // namespace tev
