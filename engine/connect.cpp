// Connect states 101-106: local host name, server address, socket, connect, wait until writable.
#include "engine/connect.h"

#include "engine/driver.h"
#include "engine/transport.h"
#include "frame/address.h"
#include "frame/tracelog.h"
#include "frame/wait_need.h"
#include "platform/platform.h"
#include "tev32.h"

namespace tev {

namespace {

using namespace connectstate;

// 101, 102, 103: the local host name is only logged.
int32_t lookUpLocalHost(SessionRecord &rec, uint32_t) {
    rec.commandBuffer[0] = '\0';
    getLocalHostName(rec.replyBuffer, static_cast<int32_t>(sizeof rec.replyBuffer) - 2);
    logFormat(rec, "LocalHost = '%s'\r\n", rec.replyBuffer);
    rec.nextState = kServerAddress;
    return 0;
}

// 104: the server's address: from a dotted IPv4 text or an IPv6 literal ("::1", "[::1]") without a lookup, else
// by name resolution (IPv4 first, IPv6 for a name without an IPv4 address).
int32_t findServerAddress(SessionRecord &rec, uint32_t) {
    logFormat(rec, "Server = '%s'\r\n", rec.serverName);
    if (isDottedAddress(rec.serverName)) {
        rec.addressFamily = kFamilyIPv4;
        rec.serverAddress = parseDottedAddress(rec.serverName);
    } else if (parseIPv6Literal(rec.serverName, rec.serverAddress6, rec.serverScope6)) {
        rec.addressFamily = kFamilyIPv6;
    } else {
        int32_t rc = resolveServer(rec);
        if (rc < 1) return errorExit(rec, rc, TEV_E_SERVER_NOT_FOUND);
    }
    char text[kAddressTextSize];
    formatServerAddress(rec, text, sizeof text);
    logFormat(rec, "ServerIP = %s\r\n", text);
    rec.nextState = kStartConnect;
    return 0;
}

// 105: create the socket and start the connect.
int32_t startConnect(SessionRecord &rec, uint32_t now) {
    int32_t sock;
    {
        platform::LibraryLock lock;
        // A new session on a channel whose last connection is still open must not leak that descriptor.
        if (rec.socket > 0) {
            platform::closeSocket(rec.socket);
            rec.socket = 0;
            channelTable[rec.channel].socket = 0;
        }
        sock = platform::createSocket(rec.addressFamily == kFamilyIPv6);
    }
    // A failed creation is tried again on the next driver call: no error exit, the state stays 105.
    if (sock < 0) return TEV_E_INVALID_SOCKET;
    if (rec.nonBlockingConnect) platform::setNonBlocking(sock, true);
    channelTable[rec.channel].socket = sock;
    rec.socket = sock;
    platform::setSendTimeout(sock, settings.responseTimeout.get());
    int32_t rc = connectSocket(rec, rec.serverAddress, rec.remotePort);
    if (rc < 0) return errorExit(rec, rc, TEV_E_CONNECT);
    armEarlyPause(rec, now, settings.stepDelay.get(), kWaitWritable);
    rec.deadline = timerAt(now, settings.connectTimeout.get());
    rec.nextState = kAwaitConnected;
    return 0;
}

// 106: the connection is up once the socket is writable.  A failed connect reports the socket's own error
// (refused, unreachable, timed out) as the socket code.
int32_t awaitConnected(SessionRecord &rec, uint32_t now) {
    if (hasError(rec)) return errorExit(rec, platform::pendingSocketError(rec.socket), TEV_E_CONNECT);
    if (!isWritable(rec)) {
        rec.foundNothing = kWaitWritable;
        return 0;
    }
    if (rec.nonBlockingConnect) platform::setNonBlocking(rec.socket, false);
    // The pause before the greeting is read.
    armReplyTimers(rec, now, settings.stepDelay.get());
    rec.nextState = rec.afterConnectState;
    return 0;
}

}  // namespace

void beginConnect(SessionRecord &rec, int32_t afterConnectState) {
    logVersionLine(rec);
    rec.afterConnectState = afterConnectState;
    rec.nextState = kConnectFirstState;
}

StateStep connectStep(int32_t state) {
    switch (state) {
    case kLocalHost:
    case kLocalHostAgain:
    case kLocalHostLast: return lookUpLocalHost;
    case kServerAddress: return findServerAddress;
    case kStartConnect: return startConnect;
    case kAwaitConnected: return awaitConnected;
    default: return nullptr;
    }
}

}  // namespace tev
