// What the POP3 login states (pop3/session.cpp) and the mailbox states (pop3/mailbox.cpp) share: starting an
// operation, the timers the states arm, and command sending.  Internal to pop3/.
#pragma once

#include <cstdint>

#include "engine/driver.h"
#include "frame/record.h"
#include "frame/text.h"
#include "platform/platform.h"

namespace tev::pop3 {

// Sets nextState to firstState with clean timers and, when autoCall is on, drives the channel until the
// operation ends.  With waitForWritable the first state waits for a writable socket, bounded by a deadline of
// responseTimeout so a socket that never drains ends with -8.  Returns 0 (autoCall off) or the last driver result.
int32_t startOperation(SessionRecord &rec, int32_t firstState, bool waitForWritable);

// The pause before a step that reads a reply.
inline void armStepDelay(SessionRecord &rec, uint32_t now) { rec.waitUntil = timerAt(now, settings.stepDelay.get()); }
// Credentials get a longer pause: servers answer them more slowly.
inline void armPasswordDelay(SessionRecord &rec, uint32_t now) {
    rec.waitUntil = timerAt(now, settings.stepDelay.get() + 200);
}
// How long the reply (or the next line of a multi-line reply) may take.
inline void armReplyTime(SessionRecord &rec, uint32_t now) {
    rec.deadline = timerAt(now, settings.responseTimeout.get());
}

// Sends commandBuffer with CR LF; 0, or errorExit with the send's result and failCode.
int32_t sendCommand(SessionRecord &rec, int32_t failCode);

// The mailbox states 307-321; nullptr for any other number.
StateStep mailboxStep(int32_t state);

}  // namespace tev::pop3
