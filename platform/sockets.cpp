// TCP sockets over IPv4 and IPv6, and name resolution.  Failures are reported with the Winsock error numbering, so applications see the same socket
// codes on every platform; functions that return -1 leave errno set for mapSocketError.
#include <cerrno>
#include <cstring>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "platform/internal.h"
#include "platform/platform.h"

namespace tev::platform {

static_assert(kIPv6TextSize == INET6_ADDRSTRLEN, "room for inet_ntop's longest IPv6 text");

namespace {

// The descriptors 0, 1 and 2 are never the library's sockets: refuse them instead of touching the standard streams.
bool isOwnSocket(int32_t sock) { return sock >= 3; }

int32_t failWith(int err) {
    errno = err;
    return -mapSocketError(err);
}

// The Winsock-style resolver codes for a getaddrinfo failure.
int32_t mapLookupError(int status) {
    switch (status) {
    case EAI_NONAME: return -11001;
    case EAI_AGAIN: return -11002;
#ifdef EAI_NODATA
    case EAI_NODATA: return -11004;
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY: return -11004;
#endif
    default: return -11003;
    }
}

// Looks `name` up in one address family and copies the first address of that family into `peer` (a sockaddr_in
// or sockaddr_in6).  Returns 1, the resolver code of the failure, or -11004 when no address of the family came.
template <typename SocketAddress>
int32_t lookUp(const char *name, int family, int flags, SocketAddress &peer) {
    if (name == nullptr || name[0] == '\0') return -11001;
    addrinfo hints{};
    hints.ai_family = family;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = flags;
    addrinfo *found = nullptr;
    const int status = getaddrinfo(name, nullptr, &hints, &found);
    if (status != 0) return mapLookupError(status);
    int32_t result = -11004;
    for (const addrinfo *entry = found; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_family == family && entry->ai_addr != nullptr && entry->ai_addrlen >= sizeof peer) {
            std::memcpy(&peer, entry->ai_addr, sizeof peer);
            result = 1;
            break;
        }
    }
    freeaddrinfo(found);
    return result;
}

// The connect of connectTo and connectTo6 to a filled socket address.
int32_t connectPeer(int32_t sock, const sockaddr *peerAddress, socklen_t peerSize, int32_t timeoutMs) {
    if (detail::faultDue(FaultKind::connect)) return failWith(ECONNREFUSED);
    if (!isOwnSocket(sock)) return failWith(ENOTSOCK);
    const int flags = fcntl(sock, F_GETFL);
    if (flags < 0) return -mapSocketError(errno);

    if ((flags & O_NONBLOCK) != 0) {
        // The caller watches the connect complete through the readiness tests.  A connect cut short by a signal
        // goes on in the background, just as one in progress does.
        if (connect(sock, peerAddress, peerSize) == 0) return 1;
        if (errno == EINPROGRESS || errno == EINTR) return 1;
        return -mapSocketError(errno);
    }

    // A blocking connect could wait for minutes under the library lock: connect without blocking and wait here,
    // no longer than the caller's limit.
    if (fcntl(sock, F_SETFL, flags | O_NONBLOCK) < 0) return -mapSocketError(errno);
    int result = 1;
    if (connect(sock, peerAddress, peerSize) != 0) {
        if (errno != EINPROGRESS && errno != EINTR) {
            result = -mapSocketError(errno);
        } else {
            short revents = 0;
            const int ready = detail::pollFor(sock, POLLOUT, timeoutMs > 0 ? timeoutMs : 0, revents);
            if (ready < 0) {
                result = -mapSocketError(errno);
            } else if (ready == 0) {
                result = -mapSocketError(ETIMEDOUT);
            } else {
                int pending = 0;
                socklen_t size = sizeof pending;
                if (getsockopt(sock, SOL_SOCKET, SO_ERROR, &pending, &size) != 0) {
                    result = -mapSocketError(errno);
                } else if (pending != 0) {
                    result = -mapSocketError(pending);
                }
            }
        }
    }
    const int saved = errno;
    fcntl(sock, F_SETFL, flags);
    errno = saved;
    return result;
}

}  // namespace

namespace detail {

int pollFor(int fd, short events, int32_t timeoutMs, short &revents) {
    pollfd entry{fd, events, 0};
    const uint32_t start = tick();
    int32_t left = timeoutMs;
    for (;;) {
        const int ready = poll(&entry, 1, left);
        if (ready >= 0 || errno != EINTR) {
            revents = entry.revents;
            return ready;
        }
        left = timeoutMs - tickDiff(tick(), start);
        if (left < 0) left = 0;
    }
}

}  // namespace detail

int32_t mapSocketError(int err) {
    switch (err) {
    case EINTR: return 10004;
    case EBADF: return 10009;
    case EACCES: return 10013;
    case EFAULT: return 10014;
    case EINVAL: return 10022;
    case EMFILE: return 10024;
    case EAGAIN: return 10035;
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK: return 10035;
#endif
    case EINPROGRESS: return 10035;  // a non-blocking connect that has started
    case EALREADY: return 10037;
    case ENOTSOCK: return 10038;
    case EMSGSIZE: return 10040;
    case EPROTONOSUPPORT: return 10043;
    case EOPNOTSUPP: return 10045;
#if defined(ENOTSUP) && ENOTSUP != EOPNOTSUPP
    case ENOTSUP: return 10045;
#endif
    case EAFNOSUPPORT: return 10047;
    case EADDRINUSE: return 10048;
    case EADDRNOTAVAIL: return 10049;
    case ENETDOWN: return 10050;
    case ENETUNREACH: return 10051;
    case ENETRESET: return 10052;
    case ECONNABORTED: return 10053;
    case ECONNRESET: return 10054;
    case ENOBUFS: return 10055;
    case EISCONN: return 10056;
    case ENOTCONN: return 10057;
    case ESHUTDOWN: return 10058;
    case ETIMEDOUT: return 10060;
    case ECONNREFUSED: return 10061;
    case EHOSTDOWN: return 10064;
    case EHOSTUNREACH: return 10065;
    default: return 10050;
    }
}

int32_t createSocket(bool ipv6) {
    const int fd = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -mapSocketError(errno);
    const int moved = detail::moveAboveStdio(fd);
    if (moved < 0) return -mapSocketError(errno);
    const int on = 1;
    setsockopt(moved, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return moved;
}

int32_t setNonBlocking(int32_t sock, bool on) {
    if (!isOwnSocket(sock)) return failWith(ENOTSOCK);
    const int flags = fcntl(sock, F_GETFL);
    if (flags < 0) return -mapSocketError(errno);
    const int wanted = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    if (wanted != flags && fcntl(sock, F_SETFL, wanted) < 0) return -mapSocketError(errno);
    return 1;
}

int32_t connectTo(int32_t sock, uint32_t address, uint16_t port, int32_t timeoutMs) {
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    peer.sin_addr.s_addr = htonl(address);
    return connectPeer(sock, reinterpret_cast<const sockaddr *>(&peer), sizeof peer, timeoutMs);
}

int32_t connectTo6(int32_t sock, const uint8_t address[16], uint32_t scope, uint16_t port, int32_t timeoutMs) {
    sockaddr_in6 peer{};
    peer.sin6_family = AF_INET6;
    peer.sin6_port = htons(port);
    std::memcpy(&peer.sin6_addr, address, sizeof peer.sin6_addr);
    peer.sin6_scope_id = scope;
    return connectPeer(sock, reinterpret_cast<const sockaddr *>(&peer), sizeof peer, timeoutMs);
}

int32_t pendingSocketError(int32_t sock) {
    if (!isOwnSocket(sock)) return 0;
    int pending = 0;
    socklen_t size = sizeof pending;
    if (getsockopt(sock, SOL_SOCKET, SO_ERROR, &pending, &size) != 0) return 0;
    return pending != 0 ? -mapSocketError(pending) : 0;
}

// The checks every send starts with: an injected fault, a descriptor that is not our socket, a bad buffer. False
// with errno set when the send must not be tried.
static bool sendAllowed(int32_t sock, const void *data, int32_t length) {
    if (detail::faultDue(FaultKind::send)) {
        errno = ECONNRESET;
        return false;
    }
    if (!isOwnSocket(sock)) {
        errno = ENOTSOCK;
        return false;
    }
    if (length < 0 || (data == nullptr && length > 0)) {
        errno = EFAULT;
        return false;
    }
    return true;
}

int32_t sendOnce(int32_t sock, const void *data, int32_t length, bool more) {
    if (!sendAllowed(sock, data, length)) return -1;
    ssize_t sent;
    do {
        sent = send(sock, data, static_cast<size_t>(length), MSG_NOSIGNAL | (more ? MSG_MORE : 0));
    } while (sent < 0 && errno == EINTR);
    return sent < 0 ? -1 : static_cast<int32_t>(sent);
}

int32_t sendWithin(int32_t sock, const void *data, int32_t length, int32_t timeoutMs, bool more) {
    if (!sendAllowed(sock, data, length)) return -1;
    const char *bytes = static_cast<const char *>(data);
    const uint32_t start = tick();
    int32_t total = 0;
    while (total < length) {
        const ssize_t sent = send(sock, bytes + total, static_cast<size_t>(length - total),
                                  MSG_NOSIGNAL | MSG_DONTWAIT | (more ? MSG_MORE : 0));
        if (sent > 0) {
            total += static_cast<int32_t>(sent);
            continue;
        }
        if (sent < 0 && errno == EINTR) continue;
        if (sent == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return -1;
        // The kernel holds as much as it takes: wait for room, within what is left of the limit.
        const int32_t left = timeoutMs - tickDiff(tick(), start);
        short revents = 0;
        if (left <= 0 || detail::pollFor(sock, POLLOUT, left, revents) <= 0) {
            errno = ETIMEDOUT;
            return -1;
        }
        if ((revents & (POLLERR | POLLNVAL)) != 0 && (revents & POLLOUT) == 0) {
            errno = ECONNRESET;
            return -1;
        }
    }
    return total;
}

void setSendTimeout(int32_t sock, int32_t timeoutMs) {
    if (!isOwnSocket(sock)) return;
    // Zero would mean "no limit" to the kernel; a send must always give up, so the shortest limit is 1 ms.
    const int32_t ms = timeoutMs > 0 ? timeoutMs : 1;
    timeval limit{};
    limit.tv_sec = ms / 1000;
    limit.tv_usec = static_cast<suseconds_t>(ms % 1000) * 1000;
    setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

int32_t receiveOnce(int32_t sock, void *buffer, int32_t length) {
    if (detail::faultDue(FaultKind::receive)) {
        errno = ECONNRESET;
        return -1;
    }
    if (!isOwnSocket(sock)) {
        errno = ENOTSOCK;
        return -1;
    }
    if (buffer == nullptr || length <= 0) {
        errno = EFAULT;
        return -1;
    }
    ssize_t got;
    do {
        got = recv(sock, buffer, static_cast<size_t>(length), 0);
    } while (got < 0 && errno == EINTR);
    return got < 0 ? -1 : static_cast<int32_t>(got);
}

int32_t closeSocket(int32_t sock) {
    if (!isOwnSocket(sock)) return failWith(ENOTSOCK);
    // No linger time: close() returns at once and the kernel delivers what is still queued.  EINTR is not
    // retried: the descriptor is already gone and a retry could close another thread's new one.
    if (close(sock) != 0 && errno != EINTR) return -mapSocketError(errno);
    return 1;
}

uint32_t localAddress(int32_t sock) {
    if (!isOwnSocket(sock)) return 0;
    sockaddr_in local{};
    socklen_t size = sizeof local;
    if (getsockname(sock, reinterpret_cast<sockaddr *>(&local), &size) != 0) return 0;
    if (local.sin_family != AF_INET) return 0;
    return ntohl(local.sin_addr.s_addr);
}

bool localAddress6(int32_t sock, uint8_t address[16]) {
    if (!isOwnSocket(sock)) return false;
    sockaddr_in6 local{};
    socklen_t size = sizeof local;
    if (getsockname(sock, reinterpret_cast<sockaddr *>(&local), &size) != 0) return false;
    if (local.sin6_family != AF_INET6) return false;
    std::memcpy(address, &local.sin6_addr, sizeof local.sin6_addr);
    return true;
}

int32_t hostName(char *buffer, int32_t size) {
    if (buffer == nullptr || size < 1) return failWith(EFAULT);
    char name[256 + 1] = {};  // host names are at most 255 bytes (RFC 1035 2.3.4 and HOST_NAME_MAX)
    if (gethostname(name, sizeof name - 1) != 0) {
        buffer[0] = '\0';
        return -mapSocketError(errno);
    }
    const size_t length = strnlen(name, static_cast<size_t>(size) - 1);
    std::memcpy(buffer, name, length);
    buffer[length] = '\0';
    return 1;
}

int32_t resolveIPv4(const char *name, uint32_t &address) {
    sockaddr_in peer{};
    const int32_t result = lookUp(name, AF_INET, 0, peer);
    if (result == 1) address = ntohl(peer.sin_addr.s_addr);
    return result;
}

int32_t resolveIPv6(const char *name, uint8_t address[16], uint32_t &scope) {
    sockaddr_in6 peer{};
    const int32_t result = lookUp(name, AF_INET6, 0, peer);
    if (result == 1) {
        std::memcpy(address, &peer.sin6_addr, sizeof peer.sin6_addr);
        scope = peer.sin6_scope_id;
    }
    return result;
}

bool parseIPv6(const char *text, uint8_t address[16], uint32_t &scope) {
    if (text == nullptr || std::strchr(text, ':') == nullptr) return false;
    sockaddr_in6 peer{};
    if (lookUp(text, AF_INET6, AI_NUMERICHOST, peer) != 1) return false;
    std::memcpy(address, &peer.sin6_addr, sizeof peer.sin6_addr);
    scope = peer.sin6_scope_id;
    return true;
}

int32_t formatIPv6(const uint8_t address[16], char *buffer, int32_t size) {
    if (buffer == nullptr || size < kIPv6TextSize) return 0;
    in6_addr value{};
    std::memcpy(&value, address, sizeof value);
    if (inet_ntop(AF_INET6, &value, buffer, static_cast<socklen_t>(size)) == nullptr) {
        buffer[0] = '\0';
        return 0;
    }
    return static_cast<int32_t>(std::strlen(buffer));
}

bool pollReady(int32_t sock, Readiness what) {
    if (sock <= 0) return true;
    short events = 0;
    short holds = 0;
    switch (what) {
    case Readiness::readable:
        events = POLLIN;
        holds = POLLIN | POLLHUP | POLLERR;
        break;
    case Readiness::writable:
        events = POLLOUT;
        holds = POLLOUT;
        break;
    case Readiness::error:
        events = 0;  // POLLERR is always reported
        holds = POLLERR;
        break;
    }
    short revents = 0;
    if (detail::pollFor(sock, events, 0, revents) < 0) return true;
    if ((revents & POLLNVAL) != 0) return true;
    return (revents & holds) != 0;
}

void pollWritableReadable(int32_t sock, bool &writable, bool &readable) {
    writable = readable = true;
    if (sock <= 0) return;
    short revents = 0;
    if (detail::pollFor(sock, POLLIN | POLLOUT, 0, revents) < 0 || (revents & POLLNVAL) != 0) return;
    writable = (revents & POLLOUT) != 0;
    readable = (revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

int32_t waitSocket(int32_t sock, int32_t events, int32_t ms) {
    if (sock <= 0) return 1;
    short wanted = 0;
    if ((events & kSocketReadable) != 0) wanted |= POLLIN;
    if ((events & kSocketWritable) != 0) wanted |= POLLOUT;
    short revents = 0;
    const int ready = detail::pollFor(sock, wanted, ms > 0 ? ms : 0, revents);
    if (ready < 0) return 1;  // the descriptor cannot be waited on: let the caller find out what it holds
    return ready > 0 ? 1 : 0;
}

}  // namespace tev::platform
