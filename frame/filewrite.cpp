// Gathered file writes: the buffer of FileWrites in front of platform::writeFile.
#include "frame/filewrite.h"

#include <cstring>

#include "platform/platform.h"

namespace tev {

namespace {

constexpr int32_t kCapacity = static_cast<int32_t>(kFileWriteSize);

// Writes bytes straight to the file; a failure marks the buffer failed.  0 or -1.
int32_t writeThrough(int32_t handle, FileWrites &writes, const void *bytes, int32_t length) {
    if (writes.failed) return -1;
    if (length <= 0) return 0;
    if (handle <= 0 || platform::writeFile(handle, bytes, length) != length) {
        writes.failed = 1;
        return -1;
    }
    return 0;
}

}  // namespace

void startWrites(FileWrites &writes) {
    writes.used = 0;
    writes.failed = 0;
}

int32_t flushGathered(int32_t handle, FileWrites &writes) {
    const int32_t waiting = writes.used;
    writes.used = 0;
    return writeThrough(handle, writes, writes.bytes, waiting);
}

int32_t writeGathered(int32_t handle, FileWrites &writes, const void *bytes, int32_t length) {
    if (writes.failed) return -1;
    if (length <= 0) return 0;
    if (length > kCapacity - writes.used && flushGathered(handle, writes) < 0) return -1;
    if (length >= kCapacity) return writeThrough(handle, writes, bytes, length) < 0 ? -1 : length;
    std::memcpy(writes.bytes + writes.used, bytes, static_cast<size_t>(length));
    writes.used += length;
    return length;
}

int32_t closeGathered(int32_t &handle, FileWrites &writes) {
    int32_t rc = 0;
    if (handle != 0) {
        rc = flushGathered(handle, writes);
        platform::closeFile(handle);
        handle = 0;
    }
    startWrites(writes);
    return rc;
}

void flushFileWrites(SessionRecord &rec) {
    if (rec.emailFile != 0) flushGathered(rec.emailFile, rec.messageWrites);
    if (rec.fileHandle != 0) flushGathered(rec.fileHandle, rec.attachmentWrites);
}

}  // namespace tev
