// The transport of a channel: name checks and resolution, connect, readiness tests and waits, the receive ring,
// the line and reply readers (SMTP replies judged line by line, whole; POP3 status lines), sending and closing.
#include "engine/transport.h"

#include <algorithm>
#include <string>

#include "frame/address.h"
#include "engine/tls_session.h"
#include "frame/text.h"
#include "frame/tracelog.h"
#include "frame/wait_need.h"
#include "platform/platform.h"
#include "tev32.h"

namespace tev {

// ---------------------------------------------------------------- names and addresses

int32_t checkServerName(const char *text) {
    if (!text) return 0;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; ++p) {
        if (*p == '<' || *p == '>' || *p == '@') return 0;
        if (!((*p >= 0x20 && *p <= 0x7E) || *p >= 0xC0)) return 0;
    }
    return 1;
}

namespace {

// Parses the four components; false when the text is not a dotted address.
bool parseComponents(const char *text, uint32_t &address) {
    if (!text) return false;
    const char *p = text;
    address = 0;
    for (int i = 0; i < 4; ++i) {
        uint32_t value = 0;
        while (*p >= '0' && *p <= '9') {
            value = value * 10 + static_cast<uint32_t>(*p - '0');
            if (value > 255) return false;
            ++p;
        }
        if (*p == '.') {
            ++p;
        } else if (*p != '\0' || i < 3) {
            return false;
        }
        address = (address << 8) | value;
    }
    return true;
}

}  // namespace

int32_t isDottedAddress(const char *text) {
    uint32_t address;
    return parseComponents(text, address) ? 1 : 0;
}

uint32_t parseDottedAddress(const char *text) {
    uint32_t address = 0;
    return parseComponents(text, address) ? address : 0;
}

int32_t parseIPv6Literal(const char *text, uint8_t address[16], uint32_t &scope) {
    if (!text) return 0;
    const char *start = text;
    size_t length = std::strlen(text);
    if (length >= 2 && text[0] == '[' && text[length - 1] == ']') {
        ++start;
        length -= 2;
    }
    char bare[kNameSize];
    if (length >= sizeof bare) return 0;
    std::memcpy(bare, start, length);
    bare[length] = '\0';
    return platform::parseIPv6(bare, address, scope) ? 1 : 0;
}

int32_t resolveServer(SessionRecord &rec) {
    uint32_t address = 0;
    int32_t rc = platform::resolveIPv4(rec.serverName, address);
    // IPv4 stays the first choice; a name without an IPv4 address is tried over IPv6, and when that fails too
    // the IPv4 answer is the result.
    if (rc == TEV_SOCK_HOST_NOT_FOUND || rc == TEV_SOCK_NO_DATA) {
        uint8_t address6[16];
        uint32_t scope = 0;
        static const uint8_t unspecified[16] = {};
        if (platform::resolveIPv6(rec.serverName, address6, scope) < 1) return rc;
        if (std::memcmp(address6, unspecified, sizeof unspecified) == 0) return 0;
        rec.addressFamily = kFamilyIPv6;
        std::memcpy(rec.serverAddress6, address6, sizeof rec.serverAddress6);
        rec.serverScope6 = scope;
        return 1;
    }
    if (rc < 0) return rc;
    const unsigned char bytes[4] = {static_cast<unsigned char>(address >> 24),
                                    static_cast<unsigned char>(address >> 16),
                                    static_cast<unsigned char>(address >> 8), static_cast<unsigned char>(address)};
    if (address == 0 || std::memcmp(bytes, rec.serverName, 4) == 0) return 0;
    rec.addressFamily = kFamilyIPv4;
    rec.serverAddress = address;
    return 1;
}

int32_t getLocalHostName(char *buffer, int32_t size) {
    if (!buffer || size < 1) return TEV_E_NO_HOST_NAME;
    buffer[0] = '\0';
    int32_t rc = platform::hostName(buffer, size);
    if (rc < 0) {
        buffer[0] = '\0';
        return rc;
    }
    return buffer[0] == '\0' ? TEV_E_NO_HOST_NAME : 1;
}

namespace {

// Fills the channel's remoteAddress and connects to the IPv6 server address of the record.
int32_t connectSocket6(SessionRecord &rec, uint16_t port) {
    char text[kAddressTextSize];
    formatServerAddress(rec, text, sizeof text);
    logFormat(rec, "Socket=%d, RemoteAddr=%s, RemotePort=%d\r\n", static_cast<int>(rec.socket), text,
              static_cast<int>(static_cast<int16_t>(port)));
    uint8_t *sa = channelTable[rec.channel].remoteAddress;
    std::memset(sa, 0, kRemoteAddressSize);
    sa[0] = 23;  // AF_INET6 as the Winsock structures number it, little-endian
    sa[2] = static_cast<uint8_t>(port >> 8);
    sa[3] = static_cast<uint8_t>(port);
    std::memcpy(sa + 8, rec.serverAddress6, sizeof rec.serverAddress6);
    for (int i = 0; i < 4; ++i) sa[24 + i] = static_cast<uint8_t>(rec.serverScope6 >> (8 * i));
    int32_t rc = platform::connectTo6(rec.socket, rec.serverAddress6, rec.serverScope6, port,
                                      settings.connectTimeout.get());
    return rc < 0 ? rc : 1;
}

}  // namespace

int32_t connectSocket(SessionRecord &rec, uint32_t address, uint16_t port) {
    if (rec.addressFamily == kFamilyIPv6) return connectSocket6(rec, port);
    logFormat(rec, "Socket=%d, RemoteAddr=%lx, RemotePort=%d\r\n", static_cast<int>(rec.socket),
              static_cast<unsigned long>(address), static_cast<int>(static_cast<int16_t>(port)));
    uint8_t *sa = channelTable[rec.channel].remoteAddress;
    std::memset(sa, 0, kRemoteAddressSize);
    sa[0] = 2;  // family, little-endian as the socket library stores it
    sa[2] = static_cast<uint8_t>(port >> 8);
    sa[3] = static_cast<uint8_t>(port);
    sa[4] = static_cast<uint8_t>(address >> 24);
    sa[5] = static_cast<uint8_t>(address >> 16);
    sa[6] = static_cast<uint8_t>(address >> 8);
    sa[7] = static_cast<uint8_t>(address);
    int32_t rc = platform::connectTo(rec.socket, address, port, settings.connectTimeout.get());
    return rc < 0 ? rc : 1;
}

// ---------------------------------------------------------------- waits

namespace {

// Sleeps in poll() on the socket until it is ready for `events`, for pollSleep at most, never past the end of
// the wait.  The readiness tests that follow decide; this only keeps the thread from spinning meanwhile.
void pauseUntil(SessionRecord &rec, int32_t events, uint32_t end) {
    int32_t remaining = platform::tickDiff(end, platform::tick());
    int32_t step = settings.pollSleep.get();
    if (step <= 0 || step > remaining) step = remaining;
    platform::waitSocket(rec.socket, events, step);
}

// Polls until `poll` settles (1: the wait succeeds, -1: it fails) or ms have passed since the first unsettled
// poll, waiting on the socket between polls.  With ms = 0 it is a single poll.
template <typename Poll>
bool waitUntilSettled(SessionRecord &rec, int32_t events, int32_t ms, Poll poll) {
    uint32_t end = 0;
    bool first = true;
    for (;;) {
        if (int verdict = poll()) return verdict > 0;
        uint32_t now = platform::tick();
        if (first) {
            end = now + static_cast<uint32_t>(ms < 0 ? 0 : ms);
            first = false;
        }
        if (platform::tickDiff(now, end) >= 0) return false;
        pauseUntil(rec, events, end);
    }
}

// Waits up to ms for the socket itself to turn readable, whatever the ring holds.
bool waitSocketReadable(SessionRecord &rec, int32_t ms) {
    return waitUntilSettled(rec, kWaitReadable, ms, [&rec] { return isReadable(rec) ? 1 : 0; });
}

}  // namespace

bool waitReadable(SessionRecord &rec, int32_t ms) {
    if (ringCount(rec) > 0) return true;
    if (waitSocketReadable(rec, ms)) return true;
    // The step found nothing to read: the driver's caller may sleep until the socket turns readable.
    rec.foundNothing = kWaitReadable;
    return false;
}

bool waitWritableFor(SessionRecord &rec, int32_t ms) {
    return waitUntilSettled(rec, kWaitWritable, ms,
                            [&rec] { return hasError(rec) ? -1 : isWritable(rec) ? 1 : 0; });
}

// ---------------------------------------------------------------- the lowest receive and send

namespace {

// Receives once from the channel's connection, through its TLS session when one is up: >0 bytes, 0 at an
// orderly close, -1 on failure.  Called when the connection is readable; a TLS record that has arrived only in
// part is waited for (at most responseTimeout), as a plain receive would return what the socket holds.
int32_t transportReceive(SessionRecord &rec, char *buffer, int32_t length) {
    if (rec.socket <= 0) return -1;
    rec.foundNothing = kWaitNone;  // whatever a look found before, bytes (or the close) have come since
    if (rec.tlsSession == nullptr) return platform::receiveOnce(rec.socket, buffer, length);
    const uint32_t end = platform::tick() + static_cast<uint32_t>(settings.responseTimeout.get());
    for (;;) {
        int32_t n = platform::tlsRead(rec.tlsSession, buffer, length);
        if (n != platform::kTlsWouldBlock) return n < 0 ? -1 : n;
        const int32_t left = platform::tickDiff(end, platform::tick());
        if (left <= 0 || !platform::tlsWait(rec.tlsSession, left)) return -1;
    }
}

// Sends once, through the TLS session when one is up; the bytes sent (a TLS session takes them all) or -1.
// Message bytes (`more`) may wait inside the session until a record is full or the next line without `more`.
int32_t transportSend(SessionRecord &rec, const char *bytes, int32_t length, bool more) {
    if (rec.tlsSession == nullptr) return platform::sendOnce(rec.socket, bytes, length, more);
    const int32_t sent = platform::tlsWrite(rec.tlsSession, bytes, length, settings.responseTimeout.get(), more);
    return sent == length ? length : -1;
}

}  // namespace

// ---------------------------------------------------------------- receive ring

int32_t ringCount(const SessionRecord &rec) {
    return (rec.ringWrite - rec.ringRead + static_cast<int32_t>(kRingCapacity)) % static_cast<int32_t>(kRingCapacity);
}

void emptyRing(SessionRecord &rec) {
    rec.ringRead = 0;
    rec.ringWrite = 0;
}

namespace {

void appendToRing(SessionRecord &rec, const char *bytes, int32_t n) {
    const int32_t first = std::min(n, static_cast<int32_t>(kRingCapacity) - rec.ringWrite);
    std::memcpy(rec.ringBuffer + rec.ringWrite, bytes, static_cast<size_t>(first));
    std::memcpy(rec.ringBuffer, bytes + first, static_cast<size_t>(n - first));
    rec.ringWrite = (rec.ringWrite + n) % static_cast<int32_t>(kRingCapacity);
}

void copyFromRing(const SessionRecord &rec, char *buffer, int32_t n) {
    const int32_t first = std::min(n, static_cast<int32_t>(kRingCapacity) - rec.ringRead);
    std::memcpy(buffer, rec.ringBuffer + rec.ringRead, static_cast<size_t>(first));
    std::memcpy(buffer + first, rec.ringBuffer, static_cast<size_t>(n - first));
}

// When the ring is empty, receives at most `length` bytes into it (one receive, so it never overflows).
// Returns the bytes buffered afterwards, or -1 when the connection is closed or unusable.
int32_t fillRingIfEmpty(SessionRecord &rec, int32_t length) {
    if (ringCount(rec) == 0) {
        bool writable = false, readable = false;
        testWritableReadable(rec, writable, readable);
        if (!writable) return -1;
        if (readable && !logOpen(rec)) {
            // Untraced, the receive fills the whole ring: what the reader does not take now waits there.
            emptyRing(rec);
            int32_t n = transportReceive(rec, rec.ringBuffer, static_cast<int32_t>(kRingCapacity) - 1);
            if (n <= 0) return -1;
            rec.ringWrite = n;
        } else if (readable) {
            // Traced, each "P: " line shows one receive of what the reader asked for, as it always has.
            int32_t n = transportReceive(rec, rec.receiveBuffer, length);
            if (n <= 0) return -1;
            logTraffic(rec, "P: ", rec.receiveBuffer, static_cast<size_t>(n));
            appendToRing(rec, rec.receiveBuffer, n);
        }
    }
    return ringCount(rec);
}

// Bytes up to and including the first LF among the first `limit` buffered bytes, or `limit` when there is none.
int32_t lineLengthInRing(const SessionRecord &rec, int32_t limit) {
    const int32_t first = std::min(limit, static_cast<int32_t>(kRingCapacity) - rec.ringRead);
    const char *start = rec.ringBuffer + rec.ringRead;
    if (const void *lf = std::memchr(start, '\n', static_cast<size_t>(first))) {
        return static_cast<int32_t>(static_cast<const char *>(lf) - start) + 1;
    }
    if (const void *lf = std::memchr(rec.ringBuffer, '\n', static_cast<size_t>(limit - first))) {
        return first + static_cast<int32_t>(static_cast<const char *>(lf) - rec.ringBuffer) + 1;
    }
    return limit;
}

}  // namespace

int32_t peekReceived(SessionRecord &rec, char *buffer, int32_t length) {
    if (length <= 0) return 0;
    if (length >= static_cast<int32_t>(kRingSize)) length = static_cast<int32_t>(kRingSize) - 1;
    int32_t n = fillRingIfEmpty(rec, length);
    if (n <= 0) return n;
    if (n > length) n = length;
    copyFromRing(rec, buffer, n);
    return n;
}

int32_t peekLineStart(SessionRecord &rec, char *buffer, int32_t length, int32_t waitMs) {
    if (length <= 0) return 0;
    if (length >= static_cast<int32_t>(kRingSize)) length = static_cast<int32_t>(kRingSize) - 1;
    int32_t n = fillRingIfEmpty(rec, length);
    const uint32_t end = platform::tick() + static_cast<uint32_t>(waitMs < 0 ? 0 : waitMs);
    // lineLengthInRing gives n both when there is no LF and when the LF is the n-th byte.
    auto holdsLf = [&rec](int32_t count) {
        return lineLengthInRing(rec, count) < count ||
               rec.ringBuffer[(rec.ringRead + count - 1) % static_cast<int32_t>(kRingCapacity)] == '\n';
    };
    while (n > 0 && n < length && !holdsLf(n)) {
        const int32_t left = platform::tickDiff(end, platform::tick());
        if (!waitSocketReadable(rec, left < 0 ? 0 : left)) break;
        const int32_t got = transportReceive(rec, rec.receiveBuffer, length - n);
        if (got <= 0) break;  // closed: what is buffered is all there is
        logTraffic(rec, "P: ", rec.receiveBuffer, static_cast<size_t>(got));
        appendToRing(rec, rec.receiveBuffer, got);
        n = ringCount(rec);
    }
    if (n <= 0) return n;
    if (n > length) n = length;
    copyFromRing(rec, buffer, n);
    return n;
}

int32_t readRaw(SessionRecord &rec, char *buffer, int32_t count) {
    if (count <= 0) return 0;
    int32_t m = ringCount(rec);
    if (m > count) m = count;
    if (m > 0) {
        copyFromRing(rec, buffer, m);
        rec.ringRead = (rec.ringRead + m) % static_cast<int32_t>(kRingCapacity);
        if (rec.ringRead == rec.ringWrite) emptyRing(rec);
        logTraffic(rec, "r: ", buffer, static_cast<size_t>(m));
    }
    int32_t total = m;
    if (count > m) {
        // Bytes already taken from the ring are returned even when the connection has gone; the next read
        // reports the close, so nothing that arrived is dropped.
        if (!isWritable(rec)) return m > 0 ? m : -1;
        if (isReadable(rec)) {
            int32_t n = transportReceive(rec, buffer + m, count - m);
            if (n <= 0) return m > 0 ? m : -1;
            logTraffic(rec, "R: ", buffer + m, static_cast<size_t>(n));
            total += n;
        }
    }
    // Callers pass a buffer with room for one byte more than count.
    rec.byteAfterRead = buffer[total];
    return total;
}

int32_t readChunk(SessionRecord &rec, char *buffer, int32_t capacity) {
    int32_t limit = capacity - 1;
    if (limit <= 0) return 0;
    if (limit >= static_cast<int32_t>(kRingSize)) limit = static_cast<int32_t>(kRingSize) - 1;
    int32_t buffered = fillRingIfEmpty(rec, limit);
    if (buffered <= 0) return buffered;
    // The LF is looked for in the ring itself, so only the line is copied.  The whole run is searched: a NUL byte
    // inside a line must not swallow the lines after it.
    int32_t take = lineLengthInRing(rec, std::min(buffered, limit));
    int32_t n = readRaw(rec, buffer, take);
    if (n <= 0) return n;
    buffer[n] = '\0';
    return n;
}

int32_t readLine(SessionRecord &rec, char *buffer, int32_t capacity, int32_t firstWaitMs, int32_t furtherWaitMs) {
    if (capacity < 2) return 0;
    if (!waitReadable(rec, firstWaitMs)) return 0;
    int32_t n = readChunk(rec, buffer, capacity);
    if (n <= 0) return n;
    if (n >= capacity - 1 || buffer[n - 1] == '\n') return n;  // the usual case: a whole line, no clock read
    // The further wait is one budget for the whole line, not a wait restarted after every fragment.
    uint32_t end = platform::tick() + static_cast<uint32_t>(furtherWaitMs < 0 ? 0 : furtherWaitMs);
    for (;;) {
        if (n >= capacity - 1 || buffer[n - 1] == '\n') return n;
        int32_t left = platform::tickDiff(end, platform::tick());
        if (!waitReadable(rec, left < 0 ? 0 : left)) return n;
        int32_t m = readChunk(rec, buffer + n, capacity - n);
        // A fragment that arrived before the close is returned; the next read reports the close.
        if (m <= 0) return n;
        n += m;
    }
}

// ---------------------------------------------------------------- replies

namespace {

// The room a reply is gathered in: what one fill of the receive ring can hold, and its NUL.
constexpr int32_t kReplyRoom = static_cast<int32_t>(kRingSize);
static_assert(kReplyRoom <= static_cast<int32_t>(kBigBufferSize), "the reply room lies inside replyBuffer");

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// A reply's code is the number its first line begins with; a line that does not begin with three digits has
// none (0), whatever a later line of the reply holds.
int32_t replyCodeOf(const char *firstLine) {
    return isDigit(firstLine[0]) && isDigit(firstLine[1]) && isDigit(firstLine[2]) ? parseDecimal(firstLine) : 0;
}

}  // namespace

int32_t readSmtpReply(SessionRecord &rec) {
    rec.replyCode = 0;
    rec.replyBuffer[0] = '\0';
    if (int32_t rc = flushSendQueue(rec)) return rc;
    const uint32_t limit = platform::tick() + static_cast<uint32_t>(settings.pollSleep.get()) +
                           static_cast<uint32_t>(settings.responseTimeout.get());
    const int32_t furtherWait = settings.responseTimeout.get() <= 1 ? 0 : 1;
    int32_t used = 0;       // bytes of complete lines already gathered
    int32_t lineLength = 0; // bytes of the line being gathered (fragments joined)
    bool firstLine = true;
    while (platform::tickDiff(platform::tick(), limit) < 0) {
        char *line = rec.replyBuffer + used;
        int32_t n = readLine(rec, line + lineLength, kReplyRoom - used - lineLength, 0, furtherWait);
        if (n < 0) return n;  // -1: the connection closed before the reply was complete
        if (n == 0) {
            // The rest of the reply is on its way: sleep on the socket, not in a loop.
            waitSocketReadable(rec, std::max<int32_t>(0, platform::tickDiff(limit, platform::tick())));
            continue;
        }
        lineLength += n;
        if (line[lineLength - 1] != '\n') {
            // A fragment: its code and fourth character are judged only once the whole line is here.
            if (used + lineLength >= kReplyRoom - 1) return TEV_E_RESPONSE_OVERFLOW;
            continue;
        }
        copyText(rec.lastReply, sizeof rec.lastReply, line, 127);
        if (firstLine) {
            firstLine = false;
            rec.replyCode = replyCodeOf(line);
            if (rec.replyCode >= 500) return TEV_E_SMTP_ERROR;
        }
        if (lineLength >= 4 && (line[3] == ' ' || line[3] == '\r')) return 0;
        used += lineLength;
        lineLength = 0;
        if (kReplyRoom - used <= 1) return TEV_E_RESPONSE_OVERFLOW;
    }
    return TEV_E_TIMEOUT;
}

namespace {

// Drops the rest of a status line longer than the reply room, so it is not taken for the next reply.
void discardRestOfLine(SessionRecord &rec) {
    char scrap[kReplyRoom];
    const uint32_t end = platform::tick() + static_cast<uint32_t>(settings.responseTimeout.get());
    for (;;) {
        int32_t left = platform::tickDiff(end, platform::tick());
        if (left < 0) return;
        int32_t n = readLine(rec, scrap, kReplyRoom, left, left);
        if (n <= 0 || scrap[n - 1] == '\n') return;
    }
}

}  // namespace

int32_t readPop3Reply(SessionRecord &rec) {
    rec.deadline = 0;
    rec.replyBuffer[0] = '\0';
    if (int32_t rc = flushSendQueue(rec)) return rc;
    if (!waitReadable(rec, settings.readTimeout.get())) return TEV_E_TIMEOUT;
    int32_t n = readLine(rec, rec.replyBuffer, kReplyRoom, 0, settings.responseTimeout.get());
    if (n == -1) return -1;
    if (n == 0) return TEV_E_TIMEOUT;
    copyText(rec.lastReply, sizeof rec.lastReply, rec.replyBuffer, 128);
    if (n < 0) return n;
    if (rec.replyBuffer[n - 1] != '\n') {
        // A status line that stops short of its line end without filling the room was cut by a close or a
        // stall: it is no status, whatever it begins with.
        if (n < kReplyRoom - 1) {
            char probe[2];
            return readLine(rec, probe, sizeof probe, 0, 0) < 0 ? TEV_E_SOCKET_CLOSED : TEV_E_TIMEOUT;
        }
        discardRestOfLine(rec);
    }
    if (rec.replyBuffer[0] == '+') {
        rec.replyCode = 100;
        return 0;
    }
    rec.replyCode = 500;
    return TEV_E_POP3_ERROR;
}

// ---------------------------------------------------------------- sending and closing

namespace {

// Hands bytes of the data phase to the connection within sendTimeout in all, through the TLS session when one is
// up (which cuts them into full records); length or -1.
int32_t sendQueued(SessionRecord &rec, const char *bytes, int32_t length, bool more) {
    if (length <= 0) return 0;
    if (rec.socket <= 0) return -1;
    const int32_t limit = settings.sendTimeout.get();
    if (rec.tlsSession != nullptr) {
        return platform::tlsWrite(rec.tlsSession, bytes, length, limit, more) == length ? length : -1;
    }
    return platform::sendWithin(rec.socket, bytes, length, limit, more);
}

// Sends what the queue holds; the queue is empty afterwards, also when the send failed (the connection is then
// of no further use).  0 or -1.
int32_t flushQueue(SessionRecord &rec, bool more) {
    const int32_t queued = rec.sendQueueUsed;
    rec.sendQueueUsed = 0;
    return sendQueued(rec, rec.sendQueue, queued, more) < 0 ? -1 : 0;
}

int32_t sendAll(SessionRecord &rec, const char *bytes, int32_t length, bool more) {
    if (length <= 0) return 0;
    logTraffic(rec, "S: ", bytes, static_cast<size_t>(length));
    if (rec.socket <= 0) return -1;
    if (rec.sendQueueUsed > 0) {
        // Queued message bytes go first; a short command or the end line rides along in the same write.
        if (length <= static_cast<int32_t>(kSendQueueSize) - rec.sendQueueUsed) {
            std::memcpy(rec.sendQueue + rec.sendQueueUsed, bytes, static_cast<size_t>(length));
            rec.sendQueueUsed += length;
            return flushQueue(rec, more) < 0 ? -1 : length;
        }
        if (flushQueue(rec, true) < 0) return -1;
    }
    int32_t total = 0;
    while (total < length) {
        int32_t n = transportSend(rec, bytes + total, length - total, more);
        if (n <= 0) return -1;  // a line sent only in part is a failed line
        total += n;
    }
    return total;
}

}  // namespace

int32_t sendBytes(SessionRecord &rec, const char *bytes, int32_t length) { return sendAll(rec, bytes, length, false); }

int32_t sendMessageBytes(SessionRecord &rec, const char *bytes, int32_t length) {
    if (length <= 0) return 0;
    logTraffic(rec, "S: ", bytes, static_cast<size_t>(length));
    if (rec.socket <= 0) return -1;
    const int32_t room = static_cast<int32_t>(kSendQueueSize) - rec.sendQueueUsed;
    if (length > room && flushQueue(rec, true) < 0) return -1;
    if (length >= static_cast<int32_t>(kSendQueueSize)) return sendQueued(rec, bytes, length, true);
    std::memcpy(rec.sendQueue + rec.sendQueueUsed, bytes, static_cast<size_t>(length));
    rec.sendQueueUsed += length;
    return length;
}

int32_t flushSendQueue(SessionRecord &rec) {
    if (rec.sendQueueUsed == 0) return 0;
    return flushQueue(rec, false) < 0 ? TEV_E_WRITE : 0;
}

int32_t sendText(SessionRecord &rec, const char *text) {
    return sendBytes(rec, text, static_cast<int32_t>(std::strlen(text)));
}

int32_t sendLine(SessionRecord &rec, const char *text) {
    size_t length = std::strlen(text);
    char local[kBigBufferSize + 2];
    if (length + 2 <= sizeof local) {
        std::memcpy(local, text, length);
        local[length] = '\r';
        local[length + 1] = '\n';
        return sendBytes(rec, local, static_cast<int32_t>(length + 2));
    }
    std::string line(text, length);
    line += "\r\n";
    return sendBytes(rec, line.data(), static_cast<int32_t>(line.size()));
}

int32_t closeSocketNow(SessionRecord &rec) {
    if (rec.socket <= 0) return 1;
    int32_t rc;
    {
        platform::LibraryLock lock;
        rec.sendQueueUsed = 0;  // nothing queued for this connection can reach another
        endTls(rec);
        rc = platform::closeSocket(rec.socket);
        rec.socket = 0;
        channelTable[rec.channel].socket = 0;
    }
    return rc < 0 ? rc : 1;
}

int32_t closeSocket(SessionRecord &rec) {
    if (rec.socket <= 0) return 1;
    int32_t rc = closeSocketNow(rec);
    // The pause is taken with the lock released: other channels' polls, connects and closes go on meanwhile.
    platform::sleepMs(settings.closePause.get());
    return rc;
}

}  // namespace tev
