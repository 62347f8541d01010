// The transport and the driver against a scripted loopback server: connect states, readiness, the receive ring,
// the SMTP and POP3 reply readers (also with every split of the input), sending, the error exit, and trace lines.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <algorithm>
#include <cstring>
#include <vector>

#include "engine/driver.h"
#include "engine/transport.h"
#include "frame/address.h"
#include "frame/text.h"
#include "platform/platform.h"
#include "support/scripted_server.h"
#include "support/trace.h"
#include "tev32.h"

using tevtest::readWholeFile;
using tevtest::ScriptedServer;

namespace {

class Transport : public tevtest::TempDirTest {
protected:
    void SetUp() override {
        ASSERT_EQ(tevAttach(2), 1);
        tevIntegerParam(0, TEV_STEP_DELAY, 1);
        tevIntegerParam(0, TEV_RESPONSE_TIMEOUT, 800);
        tevIntegerParam(0, TEV_CONNECT_TIMEOUT, 800);
        tevIntegerParam(0, TEV_TRANSFER_TIMEOUT, 400);
        tevIntegerParam(0, TEV_POLL_SLEEP, 5);
        logPath = tmp.file("trace.log");
        ASSERT_GT(tevStringParam(0, TEV_LOG_FILE, logPath.c_str()), 0);
        tevIntegerParam(0, TEV_AUTO_CALL, 0);
    }
    void TearDown() override {
        tev::closeSocket(rec());
        tevRelease();
        tevIntegerParam(0, TEV_TRANSFER_TIMEOUT, 25000);
    }
    tev::SessionRecord &rec() { return *tev::channelTable[0].record; }
    std::string log() { return readWholeFile(logPath); }

    // Runs the connect states to the given server; returns the driver's final result and the results seen.
    int32_t connectTo(const char *server, uint16_t port, std::vector<int32_t> *seen = nullptr) {
        tev::copyText(rec().serverName, server);
        rec().remotePort = port;
        rec().nextState = 101;
        rec().afterConnectState = 0;
        rec().waitUntil = 0;
        rec().deadline = 0;
        uint32_t start = tev::platform::tick();
        int32_t r;
        do {
            r = tevDriver(0);
            if (seen && (seen->empty() || seen->back() != r)) seen->push_back(r);
        } while (r > 0 && tev::platform::tickDiff(tev::platform::tick(), start) < 5000);
        return r;
    }
    int32_t connectTo(ScriptedServer &srv) { return connectTo("127.0.0.1", srv.port()); }
    // Waits until reply bytes are there, as a reply state does across driver calls.
    void awaitData() { ASSERT_TRUE(tev::waitReadable(rec(), 2000)); }

    std::string logPath;
};

TEST_F(Transport, ConnectStatesStepByStep) {
    ScriptedServer srv;
    srv.waitForClientClose(2000);
    srv.start();
    std::vector<int32_t> seen;
    ASSERT_EQ(connectTo("127.0.0.1", srv.port(), &seen), 0);
    seen.erase(std::remove(seen.begin(), seen.end(), 9999), seen.end());  // waits depend on timing
    EXPECT_EQ(seen, (std::vector<int32_t>{104, 105, 106, 0}));
    EXPECT_GT(rec().socket, 2);
    EXPECT_EQ(tevStatistics(0, TEV_STAT_CONNECTED), 1);
    EXPECT_EQ(tevStatistics(0, TEV_STAT_SOCKET), rec().socket);
    char ip[32];
    EXPECT_EQ(tevDebug(0, TEV_DEBUG_LOCAL_IP, ip, sizeof ip), 9);
    EXPECT_STREQ(ip, "127.0.0.1");
    EXPECT_EQ(tevDebug(0, TEV_DEBUG_SERVER_IP, ip, sizeof ip), 9);
    std::string text = log();
    EXPECT_NE(text.find("<101:"), std::string::npos);
    EXPECT_NE(text.find("LocalHost = '"), std::string::npos);
    EXPECT_NE(text.find("Server = '127.0.0.1'\r\nServerIP = 127.0.0.1\r\n"), std::string::npos);
    std::string socketLine = "Socket=" + std::to_string(rec().socket) + ", RemoteAddr=7f000001, RemotePort=" +
                             std::to_string(static_cast<int16_t>(srv.port())) + "\r\n";
    EXPECT_NE(text.find(socketLine), std::string::npos) << text;
    // State 106 waited once (9999 does not log) and its line is written once.
    EXPECT_EQ(text.find("<106:"), text.rfind("<106:"));
    EXPECT_EQ(rec().stepCount, 4);  // 101, 104, 105, 106: neither a wait nor the idle step counts
    tev::closeSocket(rec());
    EXPECT_TRUE(srv.finish());
}

TEST_F(Transport, ConnectFailures) {
    // A refused port, non-blocking: the error condition of state 106.
    tevtest::RefusingPort refusing;
    EXPECT_EQ(connectTo("127.0.0.1", refusing.port()), TEV_E_CONNECT);
    EXPECT_EQ(rec().nextState, 0);
    EXPECT_EQ(rec().socket, 0);
    // The same, blocking: the connect call itself reports the refusal.
    tevIntegerParam(0, TEV_BLOCKING, 1);
    EXPECT_EQ(connectTo("127.0.0.1", refusing.port()), TEV_E_CONNECT);
    EXPECT_EQ(tevStatistics(0, TEV_STAT_SOCKET_ERROR), TEV_SOCK_ECONNREFUSED);
    std::string text = log();
    EXPECT_NE(text.find("SockCode=-10061 TevCode=-36 PrevState=104 ThisState=105 NextState=105\r\n"
                        "Error attempting to connect. Connection refused by remote host.Closing socket\r\n"),
              std::string::npos)
        << text;
    tevIntegerParam(0, TEV_BLOCKING, 0);
    // An unknown host name.
    EXPECT_EQ(connectTo("no-such-host.invalid", 25), TEV_E_SERVER_NOT_FOUND);
    EXPECT_LT(tevStatistics(0, TEV_STAT_SOCKET_ERROR), -11000);
}

// "::1" and "[::1]" are IPv6 literals: no lookup, an IPv6 socket, and the addresses in full in the trace and in
// debug codes 25 and 28 (which need a 46-byte buffer for them).
TEST_F(Transport, ConnectsToIPv6Literals) {
    if (!tevtest::haveIPv6Loopback()) GTEST_SKIP() << "this machine has no ::1";
    for (const char *name : {"::1", "[::1]"}) {
        ScriptedServer srv(tevtest::Loopback::ipv6);
        srv.waitForClientClose(2000);
        srv.start();
        const size_t logStart = log().size();
        ASSERT_EQ(connectTo(name, srv.port()), 0) << name;
        EXPECT_EQ(tevStatistics(0, TEV_STAT_CONNECTED), 1);
        const std::string text = log().substr(logStart);
        const std::string lines = std::string("Server = '") + name + "'\r\nServerIP = ::1\r\n<105:";
        EXPECT_NE(text.find(lines), std::string::npos) << text;
        const std::string socketLine = "Socket=" + std::to_string(rec().socket) + ", RemoteAddr=::1, RemotePort=" +
                                       std::to_string(static_cast<int16_t>(srv.port())) + "\r\n<106:";
        EXPECT_NE(text.find(socketLine), std::string::npos) << text;
        char ip[64];
        EXPECT_EQ(tevDebug(0, TEV_DEBUG_SERVER_IP, ip, 45), 0);
        EXPECT_STREQ(ip, "");
        EXPECT_EQ(tevDebug(0, TEV_DEBUG_SERVER_IP, ip, 46), 3);
        EXPECT_STREQ(ip, "::1");
        EXPECT_EQ(tevDebug(0, TEV_DEBUG_LOCAL_IP, ip, sizeof ip), 3);
        EXPECT_STREQ(ip, "::1");
        // The channel table holds the sockaddr_in6: family 23, the port in network order, flow 0, the address.
        const uint8_t *sa = tev::channelTable[0].remoteAddress;
        EXPECT_EQ(sa[0], 23);
        EXPECT_EQ(sa[2] * 256 + sa[3], srv.port());
        const uint8_t loopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
        EXPECT_EQ(std::memcmp(sa + 8, loopback, 16), 0);
        tev::closeSocket(rec());
        EXPECT_TRUE(srv.finish());
    }
    // Back to IPv4 on the same channel: the table is the sockaddr_in again, with nothing left of the IPv6 one.
    ScriptedServer srv;
    srv.waitForClientClose(2000);
    srv.start();
    ASSERT_EQ(connectTo(srv), 0);
    const uint8_t *sa = tev::channelTable[0].remoteAddress;
    const uint8_t expected[tev::kRemoteAddressSize] = {2, 0, static_cast<uint8_t>(srv.port() >> 8),
                                                       static_cast<uint8_t>(srv.port()), 127, 0, 0, 1};
    EXPECT_EQ(std::memcmp(sa, expected, sizeof expected), 0);
    tev::closeSocket(rec());
    EXPECT_TRUE(srv.finish());
}

TEST_F(Transport, LiteralsAndNamesOfIPv6) {
    uint8_t address[16];
    uint32_t scope = 7;
    EXPECT_EQ(tev::parseIPv6Literal("[2001:db8::5]", address, scope), 1);
    EXPECT_EQ(scope, 0u);
    char text[tev::kAddressTextSize];
    EXPECT_EQ(tev::platform::formatIPv6(address, text, sizeof text), 11);
    EXPECT_STREQ(text, "2001:db8::5");
    EXPECT_EQ(tev::platform::formatIPv6(address, text, sizeof text - 1), 0);
    for (const char *notLiteral : {"", "[::1", "::1]", "[]", "127.0.0.1", "mail.example.com", "[[::1]]", "::g"})
        EXPECT_EQ(tev::parseIPv6Literal(notLiteral, address, scope), 0) << notLiteral;
    EXPECT_EQ(tev::checkServerName("[::1]"), 1);
    // A name lookup finds IPv4 first: localhost stays 127.0.0.1.
    tev::copyText(rec().serverName, "localhost");
    ASSERT_EQ(tev::resolveServer(rec()), 1);
    EXPECT_EQ(rec().addressFamily, tev::kFamilyIPv4);
    EXPECT_EQ(rec().serverAddress, 0x7F000001u);
    uint32_t v6scope = 0;
    EXPECT_EQ(tev::platform::resolveIPv6("::1", address, v6scope), 1);
    EXPECT_EQ(address[15], 1);
    EXPECT_EQ(tev::platform::resolveIPv6("", address, v6scope), TEV_SOCK_HOST_NOT_FOUND);
}

TEST_F(Transport, RefusedNonBlockingConnectSaysWhy) {
    std::vector<tevtest::Loopback> places = {tevtest::Loopback::ipv4};
    if (tevtest::haveIPv6Loopback()) places.push_back(tevtest::Loopback::ipv6);
    for (tevtest::Loopback where : places) {
        tevtest::RefusingPort refusing(where);
        const size_t logStart = log().size();
        EXPECT_EQ(connectTo(where == tevtest::Loopback::ipv6 ? "::1" : "127.0.0.1", refusing.port()),
                  TEV_E_CONNECT);
        EXPECT_EQ(tevStatistics(0, TEV_STAT_SOCKET_ERROR), TEV_SOCK_ECONNREFUSED);
        const std::string text = log().substr(logStart);
        EXPECT_NE(text.find("SockCode=-10061 TevCode=-36 PrevState=105 ThisState=106 NextState=106\r\n"
                            "Error attempting to connect. Connection refused by remote host.Closing socket\r\n"),
                  std::string::npos)
            << text;
    }
}

TEST_F(Transport, ConnectThatNeverCompletes) {
    tevtest::BlackholeListener hole;
    ASSERT_TRUE(hole.valid());
    uint32_t start = tev::platform::tick();
    std::vector<int32_t> seen;
    EXPECT_EQ(connectTo("127.0.0.1", hole.port(), &seen), TEV_E_TIMEOUT);
    int32_t took = tev::platform::tickDiff(tev::platform::tick(), start);
    EXPECT_GE(took, 800);
    EXPECT_LT(took, 3000);
    EXPECT_EQ(seen.back(), TEV_E_TIMEOUT);
    EXPECT_NE(std::find(seen.begin(), seen.end(), 106), seen.end());
    std::string text = log();
    EXPECT_NE(text.find("SockCode=0 TevCode=-8 PrevState=106 ThisState=-1 NextState=106\r\n"
                        "Socket timed out.Closing socket\r\n"),
              std::string::npos)
        << text;
    // The trace keeps the driver's SockCode=0; the statistic says the connect timed out.
    EXPECT_EQ(tevStatistics(0, TEV_STAT_SOCKET_ERROR), TEV_SOCK_ETIMEDOUT);
    // Blocking mode never waits past the connect time-out either.
    tevIntegerParam(0, TEV_BLOCKING, 1);
    start = tev::platform::tick();
    EXPECT_EQ(connectTo("127.0.0.1", hole.port()), TEV_E_CONNECT);
    EXPECT_LT(tev::platform::tickDiff(tev::platform::tick(), start), 3000);
    EXPECT_EQ(tevStatistics(0, TEV_STAT_SOCKET_ERROR), TEV_SOCK_ETIMEDOUT);
    tevIntegerParam(0, TEV_BLOCKING, 0);
}

TEST_F(Transport, MultiLineReplyInOneSegment) {
    ScriptedServer srv;
    srv.send("250-first\r\n250-second\r\n250 third\r\n550-bad\r\n550 more\r\n").waitForClientClose(2000);
    srv.start();
    ASSERT_EQ(connectTo(srv), 0);
    awaitData();
    size_t before = log().size();
    EXPECT_EQ(tev::readSmtpReply(rec()), 0);
    EXPECT_STREQ(rec().replyBuffer, "250-first\r\n250-second\r\n250 third\r\n");
    EXPECT_EQ(rec().replyCode, 250);
    EXPECT_STREQ(rec().lastReply, "250 third\r\n");
    EXPECT_EQ(log().substr(before),
              "P: 250-first\r\n250-second\r\n250 third\r\n550-bad\r\n550 more\r\n"
              "r: 250-first\r\nr: 250-second\r\nr: 250 third\r\n");
    // A 5xx reply stops at its first line; the second stays in the ring for the next read.
    EXPECT_EQ(tev::readSmtpReply(rec()), TEV_E_SMTP_ERROR);
    EXPECT_EQ(rec().replyCode, 550);
    char buf[64];
    EXPECT_EQ(tevErrorText(0, TEV_E_SMTP_ERROR, buf, sizeof buf), 30);
    EXPECT_STREQ(buf, "SMTP returned error. 550-bad\r\n");
    char next[32];
    EXPECT_EQ(tev::readChunk(rec(), next, sizeof next), 10);
    EXPECT_STREQ(next, "550 more\r\n");
    tev::closeSocket(rec());
    EXPECT_TRUE(srv.finish());
}

TEST_F(Transport, ReplyLinesAreJudgedWhole) {
    ScriptedServer srv;
    srv.sendSplit("550 no such user\r\n", {2}, 60)
        .sendSplit("250-AUTH LOGIN\r\n250 OK\r\n", {3, 9, 17}, 40)
        .send("220\r\n")
        .waitForClientClose(3000);
    srv.start();
    ASSERT_EQ(connectTo(srv), 0);
    awaitData();
    EXPECT_EQ(tev::readSmtpReply(rec()), TEV_E_SMTP_ERROR);
    EXPECT_EQ(rec().replyCode, 550);
    awaitData();
    EXPECT_EQ(tev::readSmtpReply(rec()), 0);
    EXPECT_STREQ(rec().replyBuffer, "250-AUTH LOGIN\r\n250 OK\r\n");
    awaitData();
    EXPECT_EQ(tev::readSmtpReply(rec()), 0);  // a code and CR LF only is a last line
    EXPECT_EQ(rec().replyCode, 220);
    tev::closeSocket(rec());
    EXPECT_TRUE(srv.finish());
}

TEST_F(Transport, EverySplitGivesTheSameResult) {
    const std::string smtp = "250-mail.example.com\r\n250-AUTH PLAIN LOGIN\r\n250 8BITMIME\r\n";
    const std::string pop3 = "+OK 3 1200\r\n";
    ScriptedServer srv;
    for (size_t cut = 1; cut < smtp.size(); ++cut) srv.sendSplit(smtp, {cut}, 3);
    for (size_t cut = 1; cut < pop3.size(); ++cut) srv.sendSplit(pop3, {cut}, 3);
    srv.waitForClientClose(5000);
    srv.start();
    ASSERT_EQ(connectTo(srv), 0);
    for (size_t cut = 1; cut < smtp.size(); ++cut) {
        awaitData();
        ASSERT_EQ(tev::readSmtpReply(rec()), 0) << "cut " << cut;
        ASSERT_EQ(std::string(rec().replyBuffer), smtp) << "cut " << cut;
        ASSERT_EQ(rec().replyCode, 250);
    }
    for (size_t cut = 1; cut < pop3.size(); ++cut) {
        ASSERT_EQ(tev::readPop3Reply(rec()), 0) << "cut " << cut;
        ASSERT_EQ(std::string(rec().replyBuffer), pop3) << "cut " << cut;
        ASSERT_EQ(rec().replyCode, 100);
    }
    tev::closeSocket(rec());
    EXPECT_TRUE(srv.finish(3000));
}

TEST_F(Transport, HostileReplies) {
    ScriptedServer srv;
    std::string longLine = "250-" + std::string(1100, 'x') + "\r\n";
    std::string manyLines;
    for (int i = 0; i < 40; ++i) manyLines += "250-" + std::string(30, 'y') + "\r\n";
    manyLines += "250 end\r\n";
    srv.send(longLine).send(manyLines).send(std::string("250 nul\0inside\r\n", 17)).send("-ERR\r\n")
        .send("250 ok").close();
    srv.start();
    ASSERT_EQ(connectTo(srv), 0);
    awaitData();
    EXPECT_EQ(tev::readSmtpReply(rec()), TEV_E_RESPONSE_OVERFLOW);  // a line that fills the room without an LF
    tev::emptyRing(rec());
    // Drain the rest of the long line before the many-line reply.
    char skip[2048];
    while (std::string(rec().replyBuffer).find('\n') == std::string::npos && tev::waitReadable(rec(), 500)) {
        int n = tev::readChunk(rec(), skip, sizeof skip);
        if (n <= 0 || skip[n - 1] == '\n') break;
    }
    awaitData();
    EXPECT_EQ(tev::readSmtpReply(rec()), TEV_E_RESPONSE_OVERFLOW);  // more than 1024 bytes of reply lines
    while (tev::waitReadable(rec(), 300)) {
        int n = tev::readChunk(rec(), skip, sizeof skip);
        if (n <= 0 || std::string(skip).find("250 end") != std::string::npos) break;
    }
    awaitData();
    EXPECT_EQ(tev::readSmtpReply(rec()), 0);
    EXPECT_EQ(rec().replyCode, 250);
    EXPECT_EQ(tev::readPop3Reply(rec()), TEV_E_POP3_ERROR);
    EXPECT_EQ(rec().replyCode, 500);
    awaitData();
    // The rest of a line that never ends, then the close: not a success.
    EXPECT_EQ(tev::readSmtpReply(rec()), -1);
    EXPECT_TRUE(srv.finish());
}

TEST_F(Transport, Pop3StatusLineWaitsBounded) {
    ScriptedServer srv;
    srv.silence(700).send("+OK late\r\n").waitForClientClose(2000);
    srv.start();
    ASSERT_EQ(connectTo(srv), 0);
    rec().deadline = 12345;
    uint32_t start = tev::platform::tick();
    EXPECT_EQ(tev::readPop3Reply(rec()), TEV_E_TIMEOUT);  // readTimeout is 400 ms
    int32_t took = tev::platform::tickDiff(tev::platform::tick(), start);
    EXPECT_GE(took, 390);
    EXPECT_LT(took, 1500);
    EXPECT_EQ(rec().deadline, 0u);
    EXPECT_EQ(tev::readPop3Reply(rec()), 0);
    EXPECT_STREQ(rec().lastReply, "+OK late\r\n");
    tev::closeSocket(rec());
    EXPECT_TRUE(srv.finish());
}

TEST_F(Transport, SendTraceAndErrorExit) {
    ScriptedServer srv;
    srv.expectLine("NOOP").expectLine("VRFY x").close();
    srv.start();
    ASSERT_EQ(connectTo(srv), 0);
    size_t before = log().size();
    EXPECT_EQ(tev::sendLine(rec(), "NOOP"), 6);
    EXPECT_EQ(tev::sendText(rec(), "VRFY x\r\n"), 8);
    EXPECT_EQ(tev::sendBytes(rec(), "", 0), 0);
    EXPECT_EQ(log().substr(before), "S: NOOP\r\nS: VRFY x\r\n");
    ASSERT_TRUE(srv.finish());
    EXPECT_EQ(srv.received(), "NOOP\r\nVRFY x\r\n");
    // Reads after the peer's close report it.
    awaitData();
    char buf[16];
    EXPECT_EQ(tev::readChunk(rec(), buf, sizeof buf), -1);
    rec().prevState = 258;
    rec().thisState = 259;
    rec().nextState = 259;
    before = log().size();
    EXPECT_EQ(tev::errorExit(rec(), -1, TEV_E_WRITE), TEV_E_WRITE);
    std::string text = log().substr(before);
    ASSERT_EQ(text.rfind("ERROR(", 0), 0u) << text;
    EXPECT_NE(text.find("): SockCode=-1 TevCode=-52 PrevState=258 ThisState=259 NextState=259\r\n"
                        "Socket write error.Socket has been closed.Closing socket\r\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(rec().nextState, 0);
    EXPECT_EQ(rec().prevState, 259);
    EXPECT_EQ(rec().thisState, -1);
    EXPECT_EQ(rec().lastSocketError, -1);
    EXPECT_EQ(rec().socket, 0);
    // Without a socket every send fails at once, and readiness tests report their condition.
    EXPECT_EQ(tev::sendLine(rec(), "QUIT"), -1);
    EXPECT_TRUE(tev::isWritable(rec()));
}

TEST_F(Transport, DriverTimersAndUnknownState) {
    rec().waitUntil = tev::platform::tick() + 100000;
    tev::copyText(rec().commandBuffer, "left over");
    rec().nextState = 777;
    EXPECT_EQ(tevDriver(0), 9999);
    EXPECT_STREQ(rec().commandBuffer, "");
    EXPECT_EQ(rec().stepCount, 0);
    rec().waitUntil = 0;
    EXPECT_EQ(tevDriver(0), 777);
    EXPECT_EQ(tevDriver(0), 777);
    EXPECT_EQ(rec().stepCount, 2);
    std::string text = log();
    EXPECT_NE(text.find("ERROR! Unknown state 777\r\n"), std::string::npos);
    EXPECT_EQ(text.find("<777:"), text.rfind("<777:"));
    // A deadline in the past fails the step with -8 through the error exit.
    rec().deadline = tev::platform::tick() - 10;
    EXPECT_EQ(tevDriver(0), TEV_E_TIMEOUT);
    EXPECT_EQ(rec().nextState, 0);
    // A timer that computes to 0 is stored as 1.
    EXPECT_EQ(tev::timerAt(0xFFFFFFF6u, 10), 1u);
    EXPECT_EQ(tev::timerAt(5, 10), 15u);
}

TEST(TransportNames, ChecksAndDottedAddresses) {
    EXPECT_EQ(tev::checkServerName("mail-1.example.com"), 1);
    EXPECT_EQ(tev::checkServerName(""), 1);
    for (const char *bad : {"a@b", "<a", "b>", "a\x7f", "a\x80", "a\x01", "a\tb"})
        EXPECT_EQ(tev::checkServerName(bad), 0) << bad;
    EXPECT_EQ(tev::checkServerName("caf\xc3\xa9"), 0);  // 0xA9 lies in 0x80..0xBF
    EXPECT_EQ(tev::checkServerName("\xc0\xff"), 1);
    EXPECT_EQ(tev::isDottedAddress("10.1.2.3"), 1);
    EXPECT_EQ(tev::parseDottedAddress("10.1.2.3"), 0x0A010203u);
    EXPECT_EQ(tev::isDottedAddress("1..2.3"), 1);
    EXPECT_EQ(tev::parseDottedAddress("1..2.3"), 0x01000203u);
    EXPECT_EQ(tev::parseDottedAddress("1.2.3.4.5"), 0x01020304u);
    for (const char *bad : {"1.2.3", "256.1.1.1", "1.2.3.x", "a.b.c.d", "", "1.2.3.4x", "99999999999.1.1.1"})
        EXPECT_EQ(tev::isDottedAddress(bad), 0) << bad;
    char buf[32];
    std::memset(buf, '#', sizeof buf);
    EXPECT_EQ(tev::formatDottedAddress(0xC0A8010A, buf, 16), 0);
    EXPECT_EQ(buf[0], '#');
    EXPECT_EQ(tev::formatDottedAddress(0xFFFFFFFF, buf, 17), 15);
    EXPECT_STREQ(buf, "255.255.255.255");
}

TEST_F(Transport, DescriptorsAbove1023) {
    rlimit lim{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &lim), 0);
    if (lim.rlim_max < 1200) GTEST_SKIP() << "descriptor limit too low";
    rlimit raised = lim;
    raised.rlim_cur = std::max<rlim_t>(lim.rlim_cur, 1200);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);
    std::vector<int> fillers;
    int probe = open("/dev/null", O_RDONLY | O_CLOEXEC);
    while (probe >= 0 && probe < 1100) {
        fillers.push_back(probe);
        probe = open("/dev/null", O_RDONLY | O_CLOEXEC);
    }
    if (probe >= 0) fillers.push_back(probe);
    ScriptedServer srv;
    srv.send("220 high\r\n").waitForClientClose(2000);
    srv.start();
    EXPECT_EQ(connectTo(srv), 0);
    EXPECT_GT(rec().socket, 1023);
    awaitData();
    EXPECT_EQ(tev::readSmtpReply(rec()), 0);
    EXPECT_EQ(rec().replyCode, 220);
    tev::closeSocket(rec());
    for (int fd : fillers) ::close(fd);
    setrlimit(RLIMIT_NOFILE, &lim);
    EXPECT_TRUE(srv.finish());
}

}  // namespace

namespace {

TEST_F(Transport, IdleChannelAndReconnect) {
    ScriptedServer srv;
    srv.waitForClientClose(3000).nextConnection().waitForClientClose(3000);
    srv.start();
    ASSERT_EQ(connectTo(srv), 0);
    int32_t first = rec().socket;
    // A deadline left by the last operation does not end an idle session.
    rec().waitUntil = 0;
    rec().deadline = tev::platform::tick() - 100;
    EXPECT_EQ(tevDriver(0), 0);
    EXPECT_EQ(rec().socket, first);
    EXPECT_EQ(rec().deadline, 0u);
    // A new connect on a channel whose socket is still open closes that socket first: its descriptor is then
    // gone or reused by another socket.
    struct stat old {};
    ASSERT_EQ(fstat(first, &old), 0);
    ASSERT_EQ(connectTo(srv), 0);
    struct stat now {};
    EXPECT_TRUE(fstat(first, &now) != 0 || now.st_ino != old.st_ino);
    tev::closeSocket(rec());
    EXPECT_TRUE(srv.finish(3000)) << srv.error();
    EXPECT_EQ(srv.connectionCount(), 2u);
}

TEST_F(Transport, FragmentBeforeCloseIsKept) {
    ScriptedServer srv;
    srv.send("+OK whole\r\n").sendSplit("last line without end", {5}, 30).close();
    srv.start();
    ASSERT_EQ(connectTo(srv), 0);
    awaitData();
    char line[256];
    EXPECT_EQ(tev::readLine(rec(), line, sizeof line, 0, 500), 11);
    EXPECT_EQ(tev::readLine(rec(), line, sizeof line, 500, 500), 21);
    EXPECT_STREQ(line, "last line without end");
    EXPECT_EQ(tev::readLine(rec(), line, sizeof line, 500, 500), -1);
    EXPECT_TRUE(srv.finish());
}

// 40 lines of 100 bytes in one segment: untraced, one receive takes all that has come and the readers still get
// line after line; traced, every receive is at most the readers' 1023 bytes and the "P: " lines hold the bytes
// exactly.  The lines read are the same both ways.
TEST_F(Transport, UntracedReceivesTakeWhatHasComeTracedOnesKeepTheirSize) {
    std::string block;
    for (int i = 0; i < 40; ++i) block += std::string(97, static_cast<char>('a' + i % 26)) + "\r\n";
    block.insert(0, "+OK\r\n");
    std::string lines[2];
    for (const bool traced : {false, true}) {
        if (traced) {
            ASSERT_GT(tevStringParam(0, TEV_LOG_FILE, logPath.c_str()), 0);
        } else {
            EXPECT_EQ(tevStringParam(0, TEV_LOG_FILE, ""), -1);  // no trace: the log is closed
        }
        ScriptedServer srv;
        srv.send(block).waitForClientClose(2000);
        srv.start();
        ASSERT_EQ(connectTo(srv), 0);
        awaitData();
        char line[256];
        ASSERT_EQ(tev::readLine(rec(), line, sizeof line, 0, 500), 5);
        if (!traced) {
            EXPECT_GT(tev::ringCount(rec()), 1023);
        } else {
            EXPECT_LE(tev::ringCount(rec()), 1023 - 5);
        }
        lines[traced] = line;
        int32_t n;
        while (lines[traced].size() < block.size() && (n = tev::readLine(rec(), line, sizeof line, 500, 500)) > 0) {
            EXPECT_EQ(line[n - 1], '\n');
            lines[traced] += line;
        }
        tev::closeSocket(rec());
        EXPECT_TRUE(srv.finish(2000)) << srv.error();
    }
    EXPECT_EQ(lines[0], block);
    EXPECT_EQ(lines[1], block);
    // Each "P: " line is one receive; together they are the block.
    const std::string trace = log();
    std::string received;
    for (size_t at = trace.find("P: "); at != std::string::npos; at = trace.find("P: ", at)) {
        at += 3;
        // A receive's bytes end where the next trace line begins ("r: " follows every receive here).
        const size_t end = trace.find("r: ", at);
        ASSERT_NE(end, std::string::npos);
        EXPECT_LE(end - at, 1023u);
        received += trace.substr(at, end - at);
    }
    EXPECT_EQ(received, block);
}

}  // namespace
