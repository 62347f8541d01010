// A channel's server and local addresses as text: dotted for IPv4 ("127.0.0.1"), the shortest standard form for
// IPv6 ("::1").  Used by the connect trace and by the debug codes.
#pragma once

#include <cstdint>

#include "frame/record.h"
#include "platform/platform.h"

namespace tev {

// Room for either text.
constexpr int32_t kAddressTextSize = platform::kIPv6TextSize;

// The server address that state 104 found.  Returns the length, or 0 (nothing written) when the buffer is too
// small for that family: below 17 for IPv4, below kAddressTextSize for IPv6.
int32_t formatServerAddress(const SessionRecord &rec, char *buffer, int32_t size);
// The local address of a connected socket, with the same sizes; 0 when the socket has none.
int32_t formatLocalAddress(int32_t sock, char *buffer, int32_t size);

}  // namespace tev
