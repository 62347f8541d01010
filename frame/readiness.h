// Zero-wait readiness tests of a channel's socket, under the library lock (the poll sets are process-wide in the
// design this library keeps).  A channel without an open socket reports the tested condition as holding.
#pragma once

#include "frame/record.h"

namespace tev {

bool isReadable(SessionRecord &rec);
bool isWritable(SessionRecord &rec);
// isWritable and isReadable together, from one poll.
void testWritableReadable(SessionRecord &rec, bool &writable, bool &readable);
// A failed connect (an error condition on the socket), not a peer's orderly close.
bool hasError(SessionRecord &rec);

}  // namespace tev
