// Gathered writes to the files a fetch creates (the message file and the attachment file being decoded): bytes
// wait in a FileWrites buffer of the session record and reach the file when the buffer is full, when the file is
// closed, and when an operation fails, so a decoded attachment costs one write per 8 KiB, not one per line.
// A failed write sticks: nothing more reaches that file, and every later write and its close report it.
#pragma once

#include <cstdint>

#include "frame/record.h"

namespace tev {

// A file has just been opened for these writes: nothing waits, nothing has failed.
void startWrites(FileWrites &writes);

// Adds length bytes for the file `handle`; bytes that do not fit first push out what waits.  length, or -1 when
// a write of this file has failed (now or earlier).
int32_t writeGathered(int32_t handle, FileWrites &writes, const void *bytes, int32_t length);

// Writes what waits: 0, or -1 when a write of the file has failed (now or earlier).
int32_t flushGathered(int32_t handle, FileWrites &writes);

// Writes what waits and closes the file (handle 0 afterwards, nothing waiting); 0, or -1 when a write of the file
// failed, so its content is not whole.  A handle of 0 gives 0.
int32_t closeGathered(int32_t &handle, FileWrites &writes);

// Writes what waits for the channel's message file and attachment file; the files stay open.
void flushFileWrites(SessionRecord &rec);

}  // namespace tev
