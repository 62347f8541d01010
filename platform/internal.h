// Helpers shared by the POSIX implementation of the platform layer; not part of its interface.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace tev::platform::detail {

// Moves a freshly opened descriptor to 3 or above (close-on-exec), so 0, 1 and 2 never reach the library and
// 0 can keep meaning "none".  Closes `fd` when it has to move it.  Returns the descriptor or -1 (errno set).
int moveAboveStdio(int fd);

// Waits for `events` on one descriptor for at most `timeoutMs`, restarting after a signal with the time left.
// Returns poll's result: >0 ready, 0 timed out, -1 failed.
int pollFor(int fd, short events, int32_t timeoutMs, short &revents);

// True when an injected fault of this kind falls due on this call (the counter is then spent).
bool faultDue(FaultKind kind);

}  // namespace tev::platform::detail
