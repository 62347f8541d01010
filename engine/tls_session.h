// TLS on a channel's connection (RFC 8314 implicit TLS, RFC 3207 STARTTLS, RFC 2595 STLS): starting the session,
// the handshake step the protocol states share, dropping what the server sent in the clear before it, and tearing
// the session down with the socket.  The readers and the send path of the transport use the session once it is up.
#pragma once

#include <cstdint>

#include "frame/record.h"

namespace tev {

// 0 when the channel's TLS mode can be served by this build (mode 0 always), else -84.
int32_t checkTlsAvailable(const SessionRecord &rec);

// Throws away everything the server sent in the clear so far: the receive ring and what the kernel holds
// already, so no byte sent before the handshake is ever read as a reply after it.
void discardClearText(SessionRecord &rec);

// Prepares a TLS session on the channel's socket and arms the handshake's deadline (responseTimeout).
// 0, or the error exit's code (-84 without TLS in the build, -81 when the session cannot be set up).
int32_t beginTls(SessionRecord &rec, uint32_t now);

// One handshake step without waiting: 1 when the session is up (protocol and cipher traced), kWaiting while it
// waits for the socket (waitWritable set when it wants to send), or the error exit's code (-82 with the
// verification reason kept for the error text, -81 for any other failure).
int32_t continueTls(SessionRecord &rec);

// Frees the channel's TLS session, if any (close_notify when the socket takes it at once); the socket stays.
void endTls(SessionRecord &rec);

}  // namespace tev
