// Sockets on the loopback interface: error numbering, connects in both modes (connected, refused, timed out),
// send without SIGPIPE, receive and orderly close, zero-wait readiness (invalid and high descriptors included),
// name helpers and injected failures.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/platform.h"

using namespace tev::platform;

namespace {

constexpr uint32_t kLoopback = 0x7F000001u;

// A listening loopback socket on a kernel-chosen port.
struct Listener {
    explicit Listener(int backlog = 8) {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(kLoopback);
        bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
        listen(fd, backlog);
        socklen_t size = sizeof address;
        getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size);
        port = ntohs(address.sin_port);
    }
    ~Listener() { close(fd); }
    int acceptOne() const {
        pollfd entry{fd, POLLIN, 0};
        if (poll(&entry, 1, 2000) != 1) return -1;
        return accept(fd, nullptr, nullptr);
    }
    int fd = -1;
    uint16_t port = 0;
};

// Polls a readiness condition for at most `limitMs`.
bool becomes(int32_t sock, Readiness what, int limitMs = 2000) {
    const uint32_t start = tick();
    while (!pollReady(sock, what)) {
        if (tickDiff(tick(), start) > limitMs) return false;
        sleepMs(1);
    }
    return true;
}

// A blocking socket connected to `listener`, and the accepted peer.
struct Pair {
    explicit Pair(const Listener &listener) {
        client = createSocket();
        if (client > 0 && connectTo(client, kLoopback, listener.port, 2000) == 1) peer = listener.acceptOne();
    }
    ~Pair() {
        if (client > 0) closeSocket(client);
        if (peer >= 0) close(peer);
    }
    int32_t client = -1;
    int peer = -1;
};

class SocketsTest : public ::testing::Test {
protected:
    void TearDown() override {
        injectFault(FaultKind::send, 0);
        injectFault(FaultKind::receive, 0);
        injectFault(FaultKind::connect, 0);
    }
};

TEST(SocketErrorTest, MapsErrnoToWinsockNumbers) {
    const struct {
        int err;
        int32_t code;
    } table[] = {
        {EINTR, 10004},        {EBADF, 10009},        {EACCES, 10013},       {EFAULT, 10014},
        {EINVAL, 10022},       {EMFILE, 10024},       {EAGAIN, 10035},       {EWOULDBLOCK, 10035},
        {EINPROGRESS, 10035},  {EALREADY, 10037},     {ENOTSOCK, 10038},     {EMSGSIZE, 10040},
        {EPROTONOSUPPORT, 10043}, {EOPNOTSUPP, 10045}, {EAFNOSUPPORT, 10047}, {EADDRINUSE, 10048},
        {EADDRNOTAVAIL, 10049}, {ENETDOWN, 10050},    {ENETUNREACH, 10051},  {ENETRESET, 10052},
        {ECONNABORTED, 10053}, {ECONNRESET, 10054},   {ENOBUFS, 10055},      {EISCONN, 10056},
        {ENOTCONN, 10057},     {ESHUTDOWN, 10058},    {ETIMEDOUT, 10060},    {ECONNREFUSED, 10061},
        {EHOSTDOWN, 10064},    {EHOSTUNREACH, 10065}, {ENOENT, 10050},       {EPIPE, 10050},
        {0, 10050},
    };
    for (const auto &row : table) EXPECT_EQ(mapSocketError(row.err), row.code) << "errno " << row.err;
}

TEST_F(SocketsTest, NonBlockingConnectStartsThenTurnsWritable) {
    Listener listener;
    const int32_t sock = createSocket();
    ASSERT_GE(sock, 3);
    EXPECT_NE(fcntl(sock, F_GETFD) & FD_CLOEXEC, 0);
    ASSERT_EQ(setNonBlocking(sock, true), 1);
    EXPECT_EQ(connectTo(sock, kLoopback, listener.port, 0), 1);
    EXPECT_TRUE(becomes(sock, Readiness::writable));
    EXPECT_FALSE(pollReady(sock, Readiness::error));
    EXPECT_FALSE(pollReady(sock, Readiness::readable));
    EXPECT_EQ(localAddress(sock), kLoopback);
    EXPECT_EQ(setNonBlocking(sock, false), 1);
    EXPECT_EQ(fcntl(sock, F_GETFL) & O_NONBLOCK, 0);
    EXPECT_EQ(closeSocket(sock), 1);
}

TEST_F(SocketsTest, BlockingConnectWaitsAndStaysBlocking) {
    Listener listener;
    const int32_t sock = createSocket();
    ASSERT_GE(sock, 3);
    EXPECT_EQ(localAddress(sock), 0u);  // not bound yet
    EXPECT_EQ(connectTo(sock, kLoopback, listener.port, 2000), 1);
    EXPECT_EQ(fcntl(sock, F_GETFL) & O_NONBLOCK, 0);
    EXPECT_TRUE(pollReady(sock, Readiness::writable));
    closeSocket(sock);
}

TEST_F(SocketsTest, RefusedConnectInBothModes) {
    uint16_t port;
    {
        Listener gone;  // a port that was just free and now has no listener
        port = gone.port;
    }
    const int32_t blocking = createSocket();
    ASSERT_GE(blocking, 3);
    EXPECT_EQ(connectTo(blocking, kLoopback, port, 2000), -10061);
    EXPECT_EQ(fcntl(blocking, F_GETFL) & O_NONBLOCK, 0);
    closeSocket(blocking);

    // Non-blocking: started (or refused at once); a refusal shows as the error condition, not as writable.
    const int32_t started = createSocket();
    ASSERT_GE(started, 3);
    setNonBlocking(started, true);
    const int32_t result = connectTo(started, kLoopback, port, 0);
    if (result == 1) {
        EXPECT_TRUE(becomes(started, Readiness::error));
        EXPECT_TRUE(pollReady(started, Readiness::error));  // the readiness test leaves the error in place
    } else {
        EXPECT_EQ(result, -10061);
    }
    closeSocket(started);
}

TEST_F(SocketsTest, BlockingConnectGivesUpAtTheTimeout) {
    // Fill the accept queue of a listener that never accepts; the kernel then drops further connection requests,
    // so a connect stays in progress (until the first retry of its request, a second later).
    Listener listener(0);
    std::vector<int32_t> opened;
    bool full = false;
    for (int i = 0; i < 16 && !full; ++i) {
        const int32_t sock = createSocket();
        ASSERT_GE(sock, 3);
        opened.push_back(sock);
        setNonBlocking(sock, true);
        ASSERT_EQ(connectTo(sock, kLoopback, listener.port, 0), 1);
        full = !becomes(sock, Readiness::writable, 200);
    }
    if (full) {
        const int32_t sock = createSocket();
        ASSERT_GE(sock, 3);
        opened.push_back(sock);
        const uint32_t start = tick();
        EXPECT_EQ(connectTo(sock, kLoopback, listener.port, 300), -10060);
        const int32_t waited = tickDiff(tick(), start);
        EXPECT_GE(waited, 290);
        EXPECT_LT(waited, 1000);
        EXPECT_EQ(fcntl(sock, F_GETFL) & O_NONBLOCK, 0);
    }
    for (const int32_t sock : opened) closeSocket(sock);
    if (!full) GTEST_SKIP() << "this kernel completed every connect to a full accept queue";
}

TEST_F(SocketsTest, SendToClosedPeerFailsWithoutSigpipe) {
    std::signal(SIGPIPE, SIG_DFL);  // a raised SIGPIPE would end the test program
    Listener listener;
    Pair pair(listener);
    ASSERT_GE(pair.peer, 0);
    close(pair.peer);
    pair.peer = -1;
    int32_t result = 0;
    for (int i = 0; i < 50 && result >= 0; ++i) {
        result = sendOnce(pair.client, "QUIT\r\n", 6);
        if (result >= 0) sleepMs(5);
    }
    EXPECT_EQ(result, -1);
    EXPECT_TRUE(errno == EPIPE || errno == ECONNRESET) << errno;
}

TEST_F(SocketsTest, ReceiveDataThenOrderlyClose) {
    Listener listener;
    Pair pair(listener);
    ASSERT_GE(pair.peer, 0);
    setSendTimeout(pair.client, 1500);
    timeval limit{};
    socklen_t size = sizeof limit;
    getsockopt(pair.client, SOL_SOCKET, SO_SNDTIMEO, &limit, &size);
    EXPECT_EQ(limit.tv_sec * 1000 + limit.tv_usec / 1000, 1500);

    EXPECT_EQ(sendOnce(pair.client, "EHLO x\r\n", 8), 8);
    char buffer[16] = {};
    ASSERT_EQ(recv(pair.peer, buffer, sizeof buffer, 0), 8);

    EXPECT_FALSE(pollReady(pair.client, Readiness::readable));
    ASSERT_EQ(send(pair.peer, "220 ok\r\n", 8, 0), 8);
    EXPECT_TRUE(becomes(pair.client, Readiness::readable));
    EXPECT_EQ(receiveOnce(pair.client, buffer, sizeof buffer), 8);
    EXPECT_EQ(std::string(buffer, 8), "220 ok\r\n");

    close(pair.peer);
    pair.peer = -1;
    EXPECT_TRUE(becomes(pair.client, Readiness::readable));
    EXPECT_FALSE(pollReady(pair.client, Readiness::error));  // an orderly close is not an error
    EXPECT_EQ(receiveOnce(pair.client, buffer, sizeof buffer), 0);
}

TEST_F(SocketsTest, InvalidDescriptorsReportTheConditionAsHolding) {
    for (const Readiness what : {Readiness::readable, Readiness::writable, Readiness::error}) {
        EXPECT_TRUE(pollReady(0, what));
        EXPECT_TRUE(pollReady(-1, what));
    }
    const int32_t sock = createSocket();
    ASSERT_GE(sock, 3);
    closeSocket(sock);  // now a closed descriptor number: poll says POLLNVAL
    EXPECT_TRUE(pollReady(sock, Readiness::readable));
    EXPECT_TRUE(pollReady(sock, Readiness::error));

    char byte = 0;
    EXPECT_EQ(sendOnce(0, "x", 1), -1);  // never the standard streams
    EXPECT_EQ(receiveOnce(0, &byte, 1), -1);
    EXPECT_EQ(closeSocket(0), -10038);
    EXPECT_EQ(connectTo(0, kLoopback, 25, 10), -10038);
    EXPECT_EQ(setNonBlocking(1, true), -10038);
}

// The combined test answers as the two single ones do, through an exchange and the peer's close.
TEST_F(SocketsTest, WritableAndReadableFromOnePollAgreeWithTheSingleTests) {
    auto agree = [](int32_t sock, bool expectReadable) {
        bool writable = false, readable = !expectReadable;
        pollWritableReadable(sock, writable, readable);
        EXPECT_EQ(readable, expectReadable);
        EXPECT_EQ(readable, pollReady(sock, Readiness::readable));
        EXPECT_EQ(writable, pollReady(sock, Readiness::writable));
        return writable;
    };
    Listener listener;
    Pair pair(listener);
    ASSERT_GE(pair.peer, 0);
    EXPECT_TRUE(agree(pair.client, false));
    ASSERT_EQ(send(pair.peer, "+OK\r\n", 5, 0), 5);
    ASSERT_TRUE(becomes(pair.client, Readiness::readable));
    EXPECT_TRUE(agree(pair.client, true));
    char buffer[8];
    ASSERT_EQ(receiveOnce(pair.client, buffer, sizeof buffer), 5);
    EXPECT_TRUE(agree(pair.client, false));
    close(pair.peer);
    pair.peer = -1;
    ASSERT_TRUE(becomes(pair.client, Readiness::readable));
    agree(pair.client, true);  // the close reads as readable: the receive that follows reports it

    // No socket, or a closed descriptor number: both conditions hold, as with the single tests.
    const int32_t sock = createSocket();
    ASSERT_GE(sock, 3);
    closeSocket(sock);
    for (const int32_t none : {0, -1, sock}) {
        bool writable = false, readable = false;
        pollWritableReadable(none, writable, readable);
        EXPECT_TRUE(writable);
        EXPECT_TRUE(readable);
    }
}

TEST_F(SocketsTest, DescriptorAbove1023Works) {
    rlimit files{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &files), 0);
    const rlimit saved = files;
    if (files.rlim_cur < 1600) {
        if (files.rlim_max != RLIM_INFINITY && files.rlim_max < 1600) GTEST_SKIP() << "hard descriptor limit too low";
        files.rlim_cur = 1600;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &files), 0);
    }
    Listener listener;
    Pair pair(listener);
    ASSERT_GE(pair.peer, 0);
    const int32_t high = dup2(pair.client, 1500);
    ASSERT_EQ(high, 1500);
    EXPECT_TRUE(pollReady(high, Readiness::writable));
    EXPECT_FALSE(pollReady(high, Readiness::readable));
    ASSERT_EQ(send(pair.peer, "+OK\r\n", 5, 0), 5);
    EXPECT_TRUE(becomes(high, Readiness::readable));
    char buffer[8] = {};
    EXPECT_EQ(receiveOnce(high, buffer, sizeof buffer), 5);
    EXPECT_EQ(closeSocket(high), 1);
    setrlimit(RLIMIT_NOFILE, &saved);
}

TEST_F(SocketsTest, InjectedFaultsHitTheNthCall) {
    Listener listener;
    Pair pair(listener);
    ASSERT_GE(pair.peer, 0);
    injectFault(FaultKind::send, 2);
    EXPECT_EQ(sendOnce(pair.client, "a", 1), 1);
    EXPECT_EQ(sendOnce(pair.client, "b", 1), -1);
    EXPECT_EQ(sendOnce(pair.client, "c", 1), 1);  // spent

    ASSERT_EQ(send(pair.peer, "xyz", 3, 0), 3);
    ASSERT_TRUE(becomes(pair.client, Readiness::readable));
    char buffer[4] = {};
    injectFault(FaultKind::receive, 1);
    EXPECT_EQ(receiveOnce(pair.client, buffer, 1), -1);
    EXPECT_EQ(receiveOnce(pair.client, buffer, 3), 3);  // nothing was consumed by the failed call

    injectFault(FaultKind::connect, 1);
    const int32_t sock = createSocket();
    EXPECT_EQ(connectTo(sock, kLoopback, listener.port, 1000), -10061);
    EXPECT_EQ(connectTo(sock, kLoopback, listener.port, 1000), 1);
    closeSocket(sock);

    injectFault(FaultKind::send, 3);
    injectFault(FaultKind::send, 0);  // disabled again
    for (int i = 0; i < 4; ++i) EXPECT_EQ(sendOnce(pair.client, "d", 1), 1);
}

TEST(NamesTest, HostNameIsCutToTheBuffer) {
    char full[300] = {};
    ASSERT_EQ(gethostname(full, sizeof full - 1), 0);
    char buffer[300];
    EXPECT_EQ(hostName(buffer, sizeof buffer), 1);
    EXPECT_STREQ(buffer, full);
    char small[3] = {'?', '?', '?'};
    EXPECT_EQ(hostName(small, sizeof small), 1);
    EXPECT_EQ(std::string(small), std::string(full).substr(0, 2));
    EXPECT_LT(hostName(small, 0), 0);
    EXPECT_LT(hostName(nullptr, 10), 0);
}

TEST(NamesTest, ResolvesIPv4Addresses) {
    uint32_t address = 0;
    EXPECT_EQ(resolveIPv4("127.0.0.1", address), 1);
    EXPECT_EQ(address, kLoopback);
    address = 0;
    EXPECT_EQ(resolveIPv4("10.1.2.3", address), 1);
    EXPECT_EQ(address, 0x0A010203u);
    address = 0;
    EXPECT_EQ(resolveIPv4("localhost", address), 1);
    EXPECT_EQ(address >> 24, 127u);
    EXPECT_EQ(resolveIPv4("", address), -11001);
    EXPECT_EQ(resolveIPv4(nullptr, address), -11001);
}

}  // namespace

namespace {

// Commands and the end of a message leave at once (no Nagle delay), while bytes sent with `more` wait for the
// next plain send and then arrive together, unchanged.
TEST_F(SocketsTest, NoDelayAndCorkedMessageBytes) {
    Listener listener;
    Pair pair(listener);
    ASSERT_GE(pair.peer, 0);
    int on = 0;
    socklen_t length = sizeof on;
    ASSERT_EQ(getsockopt(pair.client, IPPROTO_TCP, TCP_NODELAY, &on, &length), 0);
    EXPECT_NE(on, 0);
    EXPECT_EQ(sendOnce(pair.client, "line 1\r\n", 8, true), 8);
    EXPECT_EQ(sendOnce(pair.client, "line 2\r\n", 8, true), 8);
    EXPECT_EQ(sendOnce(pair.client, ".\r\n", 3), 3);
    std::string got;
    char buf[64];
    uint32_t start = tick();
    while (got.size() < 19 && tickDiff(tick(), start) < 2000) {
        ssize_t n = recv(pair.peer, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) got.append(buf, static_cast<size_t>(n));
        else sleepMs(1);
    }
    EXPECT_EQ(got, "line 1\r\nline 2\r\n.\r\n");
}

}  // namespace
