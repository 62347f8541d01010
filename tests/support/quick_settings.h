// Small time-outs and no pauses for tests that run many whole operations, and the defaults back afterwards.
// The process-wide settings are shared by every channel of the test program.
#pragma once

#include "tev32.h"

namespace tevtest {

// Time-outs of `limitMs`, no step delay, short polls; no close pause or reply wait where the build has them.
inline void useQuickSettings(int32_t limitMs) {
    tevIntegerParam(0, TEV_STEP_DELAY, 0);
    tevIntegerParam(0, TEV_RESPONSE_TIMEOUT, limitMs);
    tevIntegerParam(0, TEV_READ_TIMEOUT, limitMs);
    tevIntegerParam(0, TEV_SEND_TIMEOUT, limitMs);
    tevIntegerParam(0, TEV_CONNECT_TIMEOUT, limitMs);
    tevIntegerParam(0, TEV_POLL_SLEEP, 2);
#ifdef TEV_CLOSE_PAUSE
    tevIntegerParam(0, TEV_CLOSE_PAUSE, 0);
#endif
#ifdef TEV_EARLY_REPLY
    tevIntegerParam(0, TEV_EARLY_REPLY, 1);
#endif
}

inline void restoreDefaultSettings() {
    tevIntegerParam(0, TEV_STEP_DELAY, 25);
    tevIntegerParam(0, TEV_RESPONSE_TIMEOUT, 25000);
    tevIntegerParam(0, TEV_READ_TIMEOUT, 25000);
    tevIntegerParam(0, TEV_SEND_TIMEOUT, 25000);
    tevIntegerParam(0, TEV_CONNECT_TIMEOUT, 60000);
    tevIntegerParam(0, TEV_POLL_SLEEP, 100);
#ifdef TEV_CLOSE_PAUSE
    tevIntegerParam(0, TEV_CLOSE_PAUSE, 500);
#endif
#ifdef TEV_EARLY_REPLY
    tevIntegerParam(0, TEV_EARLY_REPLY, 0);
#endif
}

}  // namespace tevtest
