// The per-channel state machine's frame: one state per tevDriver call, the error exit, the auto-call loop.
#pragma once

#include <cstdint>

#include "frame/record.h"
#include "frame/wait_need.h"

namespace tev {

// What tevDriver returns while a channel waits for its timer or for a writable socket.
constexpr int32_t kWaiting = 9999;

// One step of a state: 0 when the step ended normally (it may have changed nextState and the timers), kWaiting
// when it waits for its socket (tevDriver returns 9999 and the state runs again), or a negative result that
// tevDriver returns straight out (normally what errorExit returned).
using StateStep = int32_t (*)(SessionRecord &rec, uint32_t now);

// Each protocol module answers for its own state numbers; nullptr when the number is not one of its states.
StateStep connectStep(int32_t state);      // engine/connect.cpp: 101-106
StateStep smtpSessionStep(int32_t state);  // smtp/session.cpp: 150-153, 160-164, 170-171, 200-203, 270-272
StateStep smtpSendStep(int32_t state);     // smtp/compose.cpp: 204-210, 220-229, 233, 238-247, 251, 252
StateStep smtpMimeStep(int32_t state);     // smtp/mime.cpp: 230, 234, 236, 237, 260-265, 400-402
StateStep controlStep(int32_t state);      // engine/control.cpp: 258, 259, 298, 299, 398, 399
StateStep pop3Step(int32_t state);         // pop3/session.cpp: 300-321

// The step of a state number, asked of every module in turn; nullptr when no module knows the number.
StateStep findStep(int32_t state);

// Logs the failure, resets the state machine, closes the socket (when tevCode < 0) and returns tevCode.
int32_t errorExit(SessionRecord &rec, int32_t sockCode, int32_t tevCode);

// Runs tevDriver for the channel while it returns a positive value, yielding between calls; returns the last
// result (0 or negative).
int32_t runAutoCall(int32_t channel);

// tevDriver itself, for a record already checked.  A state that waits for its socket offers the processor
// before it returns, unless the caller (the auto-call loop) waits on the socket the state names itself next.
int32_t driveOnce(SessionRecord &rec, bool yieldWhenWaiting = true);

}  // namespace tev

namespace tev {

// A timer tick `ms` after now; 0 means "no timer", so a timer that computes to 0 is stored as 1.
inline uint32_t timerAt(uint32_t now, int32_t ms) {
    uint32_t t = now + static_cast<uint32_t>(ms);
    return t == 0 ? 1 : t;
}

// Arms the pause before a reply is looked at and the deadline for the reply (responseTimeout from now).
// A pause that TEV_EARLY_REPLY ends as soon as the socket is ready for `events` (kWaitReadable: a reply has
// come; kWaitWritable: a connect has completed).
inline void armEarlyPause(SessionRecord &rec, uint32_t now, int32_t pauseMs, uint8_t events) {
    rec.waitUntil = timerAt(now, pauseMs);
    rec.earlyPauseUntil = rec.waitUntil;
    rec.earlyPauseEvents = events;
}

// A pause before a reply is read (TEV_EARLY_REPLY may end it early); the deadline is left as it is.
inline void armReplyPause(SessionRecord &rec, uint32_t now, int32_t pauseMs) {
    armEarlyPause(rec, now, pauseMs, kWaitReadable);
}

// A pause before a step that sends: there is no reply to wait for, so TEV_EARLY_REPLY ends it as soon as the
// socket takes bytes; without it the pause runs its full length.
inline void armSendPause(SessionRecord &rec, uint32_t now, int32_t pauseMs) {
    armEarlyPause(rec, now, pauseMs, kWaitWritable);
}

// The pause before a reply is looked at, and the deadline for the reply (responseTimeout from now).
inline void armReplyTimers(SessionRecord &rec, uint32_t now, int32_t pauseMs) {
    armReplyPause(rec, now, pauseMs);
    rec.deadline = timerAt(now, settings.responseTimeout.get());
}

// The rule of every starting function whose first step waits for a writable socket: that wait has a limit too,
// responseTimeout from now, so a socket that never drains ends with -8 instead of a hang.
inline void armWritableStart(SessionRecord &rec, uint32_t now) {
    rec.waitWritable = 1;
    rec.deadline = timerAt(now, settings.responseTimeout.get());
}

}  // namespace tev
