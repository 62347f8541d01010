// The auto-call loop's wait between driver calls that made no progress: in poll() on the channel's socket for
// what its state needs, or asleep until its timer, never in a loop that only yields.
#pragma once

#include "frame/record.h"

namespace tev {

// Waits until the channel may have something to do: its socket ready for what it waits for, its timer due, or
// at most pollSleep ms (so a setting changed meanwhile is seen).  Returns at once when a step can run now.
void waitBeforeNextStep(SessionRecord &rec);

}  // namespace tev
