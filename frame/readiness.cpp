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

bool isReadable(SessionRecord &rec) { return poll(rec, platform::Readiness::readable); }
bool isWritable(SessionRecord &rec) { return poll(rec, platform::Readiness::writable); }
bool hasError(SessionRecord &rec) { return poll(rec, platform::Readiness::error); }

}  // namespace tev
