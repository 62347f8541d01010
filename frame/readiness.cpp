// Readiness tests: one zero-wait poll of the channel's socket with the library lock held.
#include "frame/readiness.h"

#include "platform/platform.h"

namespace tev {

namespace {

bool poll(SessionRecord &rec, platform::Readiness what) {
    platform::LibraryLock lock;
    return platform::pollReady(rec.socket, what);
}

}  // namespace

// Bytes the TLS layer has decrypted already are readable although the socket may hold nothing more.
bool isReadable(SessionRecord &rec) {
    if (rec.tlsSession != nullptr && platform::tlsPending(rec.tlsSession) > 0) return true;
    return poll(rec, platform::Readiness::readable);
}
bool isWritable(SessionRecord &rec) { return poll(rec, platform::Readiness::writable); }
void testWritableReadable(SessionRecord &rec, bool &writable, bool &readable) {
    {
        platform::LibraryLock lock;
        platform::pollWritableReadable(rec.socket, writable, readable);
    }
    if (rec.tlsSession != nullptr && platform::tlsPending(rec.tlsSession) > 0) readable = true;
}
bool hasError(SessionRecord &rec) { return poll(rec, platform::Readiness::error); }

}  // namespace tev
