// The connect states every session starts with: local host name, server address, socket, connect, and the wait
// until the connection is up; the last hands over to the session's afterConnectState.
#pragma once

#include <cstdint>

#include "frame/record.h"

namespace tev {

namespace connectstate {
constexpr int32_t kLocalHost = 101;       // 101-103 all look up the local host name
constexpr int32_t kLocalHostAgain = 102;
constexpr int32_t kLocalHostLast = 103;
constexpr int32_t kServerAddress = 104;
constexpr int32_t kStartConnect = 105;
constexpr int32_t kAwaitConnected = 106;
}  // namespace connectstate

// Where a protocol's first state sends the channel to connect.
constexpr int32_t kConnectFirstState = connectstate::kLocalHost;

// A session's first state: writes the version line to the trace log and hands the channel to the connect
// states, which go on with afterConnectState once the connection is up.
void beginConnect(SessionRecord &rec, int32_t afterConnectState);

constexpr int32_t kConnectStates[] = {connectstate::kLocalHost,     connectstate::kLocalHostAgain,
                                      connectstate::kLocalHostLast, connectstate::kServerAddress,
                                      connectstate::kStartConnect,  connectstate::kAwaitConnected};

}  // namespace tev
