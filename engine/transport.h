// The transport between protocol states and a channel's TCP socket: name checks and resolution, connect,
// zero-wait readiness tests, the 1024-byte receive ring, line and reply readers, sending (message data through a
// per-channel send queue) and closing.
// Results: 1 or a count for success, 0 for nothing yet / not found, -1 for a closed or unusable connection.
#pragma once

#include <cstddef>
#include <cstdint>

#include "frame/readiness.h"  // isReadable, isWritable, hasError
#include "frame/record.h"
#include "frame/text.h"       // formatDottedAddress

namespace tev {

int32_t checkServerName(const char *text);
int32_t isDottedAddress(const char *text);
uint32_t parseDottedAddress(const char *text);
// 1 when the text is a numeric IPv6 address, bare ("::1") or in brackets ("[::1]"); sets the 16 bytes
// (network order) and the scope of a "%zone" suffix.
int32_t parseIPv6Literal(const char *text, uint8_t address[16], uint32_t &scope);
// Finds the server's address by name: the first IPv4 address, or when the name has none (or is unknown over
// IPv4) its first IPv6 address.  Sets addressFamily and the address; 1, 0 (the unspecified address) or the
// negated resolver error.
int32_t resolveServer(SessionRecord &rec);
int32_t getLocalHostName(char *buffer, int32_t size);
// Logs the socket line, fills the channel's remoteAddress and starts the connect: to `address` (host byte order)
// when the record holds an IPv4 address, to its serverAddress6 when it holds an IPv6 one.
int32_t connectSocket(SessionRecord &rec, uint32_t address, uint16_t port);

// True when received bytes are buffered or the socket turns readable within ms (sleeping in poll(), not
// spinning); false notes in the record that the step waits for a readable socket.
bool waitReadable(SessionRecord &rec, int32_t ms);
bool waitWritableFor(SessionRecord &rec, int32_t ms);

// Bytes buffered in the ring.
int32_t ringCount(const SessionRecord &rec);
void emptyRing(SessionRecord &rec);

int32_t peekReceived(SessionRecord &rec, char *buffer, int32_t length);
// As peekReceived, but while fewer than length bytes and no LF are buffered it receives more into the ring,
// waiting up to waitMs in all: a look-ahead at the start of the next line does not depend on how the bytes
// were cut on their way.  Fewer bytes only when the connection closes or nothing more comes in time.
int32_t peekLineStart(SessionRecord &rec, char *buffer, int32_t length, int32_t waitMs);
int32_t readRaw(SessionRecord &rec, char *buffer, int32_t count);
int32_t readChunk(SessionRecord &rec, char *buffer, int32_t capacity);
int32_t readLine(SessionRecord &rec, char *buffer, int32_t capacity, int32_t firstWaitMs, int32_t furtherWaitMs);
int32_t readSmtpReply(SessionRecord &rec);
int32_t readPop3Reply(SessionRecord &rec);

int32_t sendBytes(SessionRecord &rec, const char *bytes, int32_t length);
// As sendBytes, for bytes of a message that more bytes follow at once.  They are traced now and wait in the
// channel's send queue, which goes out when it is full, with the next sendBytes (the end of the data, a command)
// and before a reply is read; each of those writes gives up after sendTimeout.  A step that queues needs no
// readiness test.  Returns length, or -1 when a write of the queue failed (the queued bytes are then dropped).
int32_t sendMessageBytes(SessionRecord &rec, const char *bytes, int32_t length);
// Sends what the queue holds: 0, or -52 when the write failed.
int32_t flushSendQueue(SessionRecord &rec);
int32_t sendText(SessionRecord &rec, const char *text);
// Sends text followed by CR LF (the text is not changed).
int32_t sendLine(SessionRecord &rec, const char *text);

// Closes the channel's socket (nothing when none is open) with the library lock held, then pauses
// TEV_CLOSE_PAUSE ms (500 unless set) with the lock released.
int32_t closeSocket(SessionRecord &rec);
// As closeSocket without the pause: the caller takes it, as a timer of the driver.
int32_t closeSocketNow(SessionRecord &rec);

}  // namespace tev
