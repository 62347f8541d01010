// What a channel waits for between driver calls: its socket readable, its socket writable, or only a timer, and
// how long at most.  An application that drives many channels from one loop polls their sockets with this
// (TEV_STAT_WAIT_EVENTS, TEV_STAT_WAIT_MS); the auto-call loop sleeps on it instead of spinning.
#pragma once

#include <cstdint>

#include "frame/record.h"
#include "platform/platform.h"

namespace tev {

constexpr uint8_t kWaitNone = 0;
constexpr uint8_t kWaitReadable = 1;
constexpr uint8_t kWaitWritable = 2;
static_assert(kWaitReadable == platform::kSocketReadable && kWaitWritable == platform::kSocketWritable,
              "the wait events are the platform's socket events");

struct WaitNeed {
    int32_t events;  // kWaitNone (a timer, or nothing: call the driver now), kWaitReadable, kWaitWritable
    int32_t ms;      // ms until the timer that ends the wait; 0 = none (with events 0: call the driver now)
};

// Received bytes the library holds already (receive ring, TLS layer): a reply that is there needs no wait.
bool holdsReceivedData(const SessionRecord &rec);

// The readiness (kWaitReadable, kWaitWritable) that ends the pause the channel waits in now early, under
// TEV_EARLY_REPLY; kWaitNone when there is no such pause.
uint8_t earlyPauseEvents(const SessionRecord &rec, uint32_t now);

// False when the channel can wait for nothing: no timer, no writable wait, and its last step found what it
// looked for.  Answers without the clock, so a caller asks it before channelWait on every step of a transfer.
bool mayWait(const SessionRecord &rec);

// What the channel waits for at tick `now`, from its timers and what its last driver call found.
WaitNeed channelWait(const SessionRecord &rec, uint32_t now);

}  // namespace tev
