// Self-test of the scripted loopback server and the file helpers, driven by a plain client socket (not the
// library), so a fault in the test tools is not mistaken for a fault of the library.
#include "support/scripted_server.h"
#include "support/trace.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>

namespace tevtest {
namespace {

int64_t nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

sockaddr_in loopback(uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    return addr;
}

// A blocking client socket with a receive limit, so no test can hang on it.
class Client {
public:
    explicit Client(uint16_t port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        timeval tv{2, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        sockaddr_in addr = loopback(port);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
    }
    ~Client() { closeNow(); }
    bool connected() const { return connected_; }
    void send(const std::string &bytes) {
        ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
    }
    // One recv: the bytes, "" at the peer's close, "<errno N>" on an error.
    std::string recvOnce() {
        char buffer[4096];
        ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n < 0) return "<errno " + std::to_string(errno) + ">";
        return std::string(buffer, static_cast<size_t>(n));
    }
    // Reads until the text holds count bytes (or the peer closes, or a receive fails).
    std::string recvExactly(size_t count) {
        std::string text;
        while (text.size() < count) {
            std::string part = recvOnce();
            if (part.empty() || part[0] == '<') break;
            text += part;
        }
        return text;
    }
    void closeNow() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
    bool connected_ = false;
};

TEST(ScriptedServerTest, PlaysDialogueAndRecordsEveryByte) {
    ScriptedServer srv;
    ASSERT_NE(srv.port(), 0);
    srv.send("220 hello\r\n")
        .expectLine("EHLO example.com")
        .send("250-x\r\n250 ok\r\n")
        .expectLinePrefix("MAIL FROM:")
        .sendBytewise("354 go\r\n", 2)
        .readUntil("\r\n.\r\n")
        .expect("QUIT\r\n")
        .send("221 bye\r\n")
        .waitForClientClose(2000);
    srv.start();

    Client c(srv.port());
    ASSERT_TRUE(c.connected());
    EXPECT_EQ(c.recvExactly(11), "220 hello\r\n");
    c.send("EHLO example.com\r\n");
    EXPECT_EQ(c.recvExactly(15), "250-x\r\n250 ok\r\n");
    c.send("MAIL FROM:<a@b.c>\r\n");
    EXPECT_EQ(c.recvExactly(8), "354 go\r\n");
    c.send("line 1\r\n..dot\r\n.\r\nQUIT\r\n");
    EXPECT_EQ(c.recvExactly(9), "221 bye\r\n");
    c.closeNow();

    EXPECT_TRUE(srv.finish(2000)) << srv.error();
    EXPECT_EQ(srv.received(), "EHLO example.com\r\nMAIL FROM:<a@b.c>\r\nline 1\r\n..dot\r\n.\r\nQUIT\r\n");
    EXPECT_EQ(srv.connectionCount(), 1u);
}

TEST(ScriptedServerTest, SplitSendArrivesInSeparatePieces) {
    ScriptedServer srv;
    srv.sendSplit("550 no\r\n", {2}, 150).silence(50);
    srv.start();
    Client c(srv.port());
    ASSERT_TRUE(c.connected());
    int64_t start = nowMs();
    EXPECT_EQ(c.recvOnce(), "55");
    EXPECT_EQ(c.recvOnce(), "0 no\r\n");
    EXPECT_GE(nowMs() - start, 100);
    EXPECT_TRUE(srv.finish(2000)) << srv.error();
}

TEST(ScriptedServerTest, WrongLineIsRecordedAndClosesTheConnection) {
    ScriptedServer srv;
    srv.send("220 hi\r\n").expectLine("HELO a").send("250 never sent\r\n");
    srv.start();
    Client c(srv.port());
    EXPECT_EQ(c.recvExactly(8), "220 hi\r\n");
    c.send("EHLO a\r\n");
    EXPECT_EQ(c.recvOnce(), "");  // closed, the rest of the script is not played
    EXPECT_FALSE(srv.finish(2000));
    EXPECT_NE(srv.error().find("step 2 expectLine(\"HELO a\")"), std::string::npos) << srv.error();
    EXPECT_NE(srv.error().find("got \"EHLO a\\r\\n\""), std::string::npos) << srv.error();
    EXPECT_EQ(srv.received(), "EHLO a\r\n");
}

TEST(ScriptedServerTest, LineWithoutCarriageReturnFails) {
    ScriptedServer srv;
    srv.expectLine("QUIT");
    srv.start();
    Client c(srv.port());
    c.send("QUIT\n");
    EXPECT_FALSE(srv.finish(2000));
    EXPECT_NE(srv.error().find("does not end in CR LF"), std::string::npos) << srv.error();
}

TEST(ScriptedServerTest, StepLimitEndsAWaitingStep) {
    ScriptedServer srv;
    srv.stepLimit(100).expectLine("NOOP");
    srv.start();
    Client c(srv.port());
    c.send("NO");
    int64_t start = nowMs();
    EXPECT_FALSE(srv.finish(2000));
    EXPECT_LT(nowMs() - start, 1500);
    EXPECT_NE(srv.error().find("no complete line within 100 ms"), std::string::npos) << srv.error();
    EXPECT_EQ(srv.received(), "NO");
}

TEST(ScriptedServerTest, FinishLimitStopsALongScript) {
    ScriptedServer srv;
    srv.silence(4000).send("late\r\n");
    srv.start();
    Client c(srv.port());
    int64_t start = nowMs();
    EXPECT_FALSE(srv.finish(100));
    EXPECT_LT(nowMs() - start, 1000);
    EXPECT_NE(srv.error().find("not finished within 100 ms, at step 1 silence(4000)"), std::string::npos)
        << srv.error();
}

TEST(ScriptedServerTest, NoConnectionIsAnError) {
    ScriptedServer srv;
    srv.stepLimit(100).send("220 x\r\n");  // a leading stepLimit also bounds the wait for the connection
    srv.start();
    EXPECT_FALSE(srv.finish(2000));
    EXPECT_EQ(srv.error(), "no connection within 100 ms");
    EXPECT_EQ(srv.connectionCount(), 0u);
}

TEST(ScriptedServerTest, ResetGivesTheClientConnectionReset) {
    ScriptedServer srv;
    srv.send("+OK\r\n").expectLine("USER a").reset();
    srv.start();
    Client c(srv.port());
    EXPECT_EQ(c.recvExactly(5), "+OK\r\n");
    c.send("USER a\r\n");
    EXPECT_EQ(c.recvOnce(), "<errno " + std::to_string(ECONNRESET) + ">");
    EXPECT_TRUE(srv.finish(2000)) << srv.error();
}

TEST(ScriptedServerTest, CloseKeepsBytesAlreadySent) {
    ScriptedServer srv;
    srv.send("421 closing\r\n").close();
    srv.start();
    Client c(srv.port());
    c.send("EHLO x\r\n");  // unread by the script: still recorded, and the close stays orderly
    EXPECT_EQ(c.recvExactly(13), "421 closing\r\n");
    EXPECT_EQ(c.recvOnce(), "");
    EXPECT_TRUE(srv.finish(2000)) << srv.error();
}

TEST(ScriptedServerTest, BytesAfterTheLastStepAreRecorded) {
    ScriptedServer srv;
    srv.send("+OK\r\n");
    srv.start();
    Client c(srv.port());
    EXPECT_EQ(c.recvExactly(5), "+OK\r\n");
    c.send("QUIT\r\n");
    c.closeNow();
    // The tail is recorded until finish(); wait for it without sleeping blindly.
    for (int64_t end = nowMs() + 2000; srv.received().empty() && nowMs() < end;) usleep(1000);
    EXPECT_TRUE(srv.finish(2000)) << srv.error();
    EXPECT_EQ(srv.received(), "QUIT\r\n");
}

TEST(ScriptedServerTest, ClientThatStaysOpenFailsWaitForClientClose) {
    ScriptedServer srv;
    srv.waitForClientClose(100);
    srv.start();
    Client c(srv.port());
    EXPECT_FALSE(srv.finish(2000));
    EXPECT_NE(srv.error().find("kept the connection open"), std::string::npos) << srv.error();
}

TEST(ScriptedServerTest, ConnectionsInSequence) {
    ScriptedServer srv;
    srv.send("first\r\n").expectLine("A").nextConnection().send("second\r\n").expectLine("B").close();
    srv.start();
    {
        Client c(srv.port());
        EXPECT_EQ(c.recvExactly(7), "first\r\n");
        c.send("A\r\n");
        EXPECT_EQ(c.recvOnce(), "");
    }
    Client d(srv.port());
    EXPECT_EQ(d.recvExactly(8), "second\r\n");
    d.send("B\r\n");
    EXPECT_TRUE(srv.finish(2000)) << srv.error();
    EXPECT_EQ(srv.connectionCount(), 2u);
    EXPECT_EQ(srv.receivedOn(0), "A\r\n");
    EXPECT_EQ(srv.receivedOn(1), "B\r\n");
    EXPECT_EQ(srv.received(), "A\r\nB\r\n");
}

TEST(ScriptedServerTest, HoldWaitsForProceed) {
    ScriptedServer srv;
    srv.send("1\r\n").hold().send("2\r\n").hold().send("3\r\n");
    srv.start();
    Client c(srv.port());
    EXPECT_EQ(c.recvExactly(3), "1\r\n");
    ASSERT_TRUE(srv.waitUntilHolding(2000));
    srv.proceed();
    EXPECT_EQ(c.recvExactly(3), "2\r\n");
    ASSERT_TRUE(srv.waitUntilHolding(2000));
    srv.proceed();
    EXPECT_EQ(c.recvExactly(3), "3\r\n");
    EXPECT_FALSE(srv.waitUntilHolding(50));
    EXPECT_TRUE(srv.finish(2000)) << srv.error();
}

TEST(ScriptedServerTest, RunActionOnServerThread) {
    ScriptedServer srv;
    bool ran = false;
    srv.run([&] { ran = true; });
    srv.start();
    Client c(srv.port());
    EXPECT_TRUE(srv.finish(2000)) << srv.error();
    EXPECT_TRUE(ran);
}

// Linux drops a SYN that finds the accept queue full, so the connect stays pending (it would retry for about two
// minutes) rather than being refused or accepted.
TEST(LoopbackSocketsTest, BlackholeLeavesAConnectPending) {
    BlackholeListener hole;
    ASSERT_TRUE(hole.valid());
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in addr = loopback(hole.port());
    int rc = ::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    int err = errno;
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(err, EINPROGRESS);
    pollfd pfd = {fd, POLLOUT, 0};
    EXPECT_EQ(::poll(&pfd, 1, 300), 0) << "connect completed, revents " << pfd.revents;
    ::close(fd);
}

TEST(LoopbackSocketsTest, RefusingPortRefuses) {
    RefusingPort closed;
    ASSERT_NE(closed.port(), 0);
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = loopback(closed.port());
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), -1);
    EXPECT_EQ(errno, ECONNREFUSED);
    ::close(fd);
}

TEST(LoopbackSocketsTest, FreePortCanBeBound) {
    uint16_t port = freeLoopbackPort();
    ASSERT_NE(port, 0);
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = loopback(port);
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    ::close(fd);
}

TEST(TraceHelpersTest, TempDirHoldsFilesAndIsRemoved) {
    std::string path;
    {
        TempDir dir;
        path = dir.path();
        ASSERT_EQ(path.rfind("/tmp/tev-test.", 0), 0u);
        ASSERT_EQ(::mkdir(dir.file("sub").c_str(), 0700), 0);
        ASSERT_TRUE(writeWholeFile(dir.file("sub/log.txt"), std::string("S: EHLO\r\n\0x", 11)));
        EXPECT_EQ(readWholeFile(dir.file("sub/log.txt")), std::string("S: EHLO\r\n\0x", 11));
        EXPECT_EQ(dir.list(), std::vector<std::string>{"sub"});
        EXPECT_TRUE(fileExists(dir.file("sub")));
        EXPECT_FALSE(fileExists(dir.file("none")));
        EXPECT_EQ(readWholeFile(dir.file("none")), "");
    }
    EXPECT_FALSE(fileExists(path));
}

TEST(TraceHelpersTest, SplitLinesAndShowBytes) {
    EXPECT_EQ(splitLines("a\r\nb\nc"), (std::vector<std::string>{"a\r\n", "b\n", "c"}));
    EXPECT_EQ(splitLines(""), std::vector<std::string>{});
    EXPECT_EQ(showBytes(std::string("A\r\n\x01\\", 5)), "A\\r\\n\\x01\\\\");
    EXPECT_EQ(showBytes("abcdef", 3), "abc...");
}

}  // namespace
}  // namespace tevtest
