// The auto-call loop's wait: what the channel waits for comes from frame/wait_need.h; this sleeps on it.
#include "engine/wait.h"

#include "frame/wait_need.h"
#include "platform/platform.h"

namespace tev {

namespace {

// The longest single wait when neither a timer nor pollSleep bounds it; the loop then looks again.
constexpr int32_t kLongestSliceMs = 1000;

}  // namespace

void waitBeforeNextStep(SessionRecord &rec) {
    // The step made progress and armed no timer: the next one runs at once (the common case of a transfer, where
    // reading the clock for every line would cost more than the line).
    if (!mayWait(rec)) return;
    const WaitNeed need = channelWait(rec, platform::tick());
    if (need.events == kWaitNone && need.ms == 0) return;
    const int32_t pollSleep = settings.pollSleep.get();
    const int32_t cap = pollSleep > 0 ? pollSleep : kLongestSliceMs;
    const int32_t slice = need.ms > 0 && need.ms < cap ? need.ms : cap;
    if (need.events == kWaitNone) {
        platform::sleepMs(slice);
    } else {
        platform::waitSocket(rec.socket, need.events, slice);
    }
}

}  // namespace tev
