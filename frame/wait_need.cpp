// What a channel waits for: derived from its timers, its writable wait and what its last step found, never
// from a fresh socket poll, so asking costs nothing and the answer matches what the driver will do.
#include "frame/wait_need.h"

namespace tev {

namespace {

// Milliseconds from now until tick `at`; 0 when it has passed.
int32_t msUntil(uint32_t at, uint32_t now) {
    const int32_t left = platform::tickDiff(at, now);
    return left > 0 ? left : 0;
}

bool pending(uint32_t timer, uint32_t now) { return timer != 0 && platform::tickDiff(timer, now) > 0; }

}  // namespace

bool holdsReceivedData(const SessionRecord &rec) {
    if (rec.ringRead != rec.ringWrite) return true;
    return rec.tlsSession != nullptr && platform::tlsPending(rec.tlsSession) > 0;
}

uint8_t earlyPauseEvents(const SessionRecord &rec, uint32_t now) {
    if (settings.earlyReply.get() == 0 || !pending(rec.waitUntil, now)) return kWaitNone;
    if (rec.waitUntil != rec.earlyPauseUntil || rec.socket <= 0) return kWaitNone;
    return rec.earlyPauseEvents;
}

bool mayWait(const SessionRecord &rec) {
    const bool needsSocket = rec.waitNeed != kWaitNone && rec.waitNeedState == rec.nextState;
    return rec.waitUntil != 0 || rec.waitWritable || needsSocket;
}

WaitNeed channelWait(const SessionRecord &rec, uint32_t now) {
    constexpr WaitNeed callNow{kWaitNone, 0};
    if (pending(rec.waitUntil, now)) {
        // A pause: only its timer, unless the socket may end it early.
        if (const uint8_t early = earlyPauseEvents(rec, now)) {
            if (early == kWaitReadable && holdsReceivedData(rec)) return callNow;
            return {early, msUntil(rec.waitUntil, now)};
        }
        if (rec.nextState == kIdle && !rec.quietIdle) return callNow;
        return {kWaitNone, msUntil(rec.waitUntil, now)};
    }
    if (rec.nextState == kIdle) return callNow;
    int32_t events = kWaitNone;
    if (rec.waitWritable) {
        events = kWaitWritable;
    } else if (rec.waitNeed != kWaitNone && rec.waitNeedState == rec.nextState) {
        events = rec.waitNeed;
    }
    if (events == kWaitNone) return callNow;
    if (events == kWaitReadable && holdsReceivedData(rec)) return callNow;
    // The socket, bounded by the deadline: the wait ends just after it, when the driver reports it.
    if (rec.deadline == 0) return {events, 0};
    const int32_t left = platform::tickDiff(rec.deadline, now);
    if (left < 0) return callNow;
    return {events, left + 1};
}

}  // namespace tev
