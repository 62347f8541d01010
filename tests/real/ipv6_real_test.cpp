// IPv6 end to end: one message sent through aiosmtpd listening on ::1 (server name "[::1]", the library driving
// itself) and fetched from Dovecot on ::1 (server name "::1", the test driving tevDriver).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <string>

#include "platform/platform.h"
#include "support/real_servers.h"
#include "support/trace.h"
#include "tev32.h"

using tevtest::readWholeFile;

namespace {

class Ipv6Real : public tevtest::TempDirTest {
protected:
    void SetUp() override {
        ASSERT_EQ(tevAttach(1), 1);
        tevIntegerParam(0, TEV_STEP_DELAY, 1);
        tevIntegerParam(0, TEV_RESPONSE_TIMEOUT, 5000);
        tevIntegerParam(0, TEV_READ_TIMEOUT, 5000);
        tevIntegerParam(0, TEV_CONNECT_TIMEOUT, 5000);
        tevIntegerParam(0, TEV_POLL_SLEEP, 5);
        ASSERT_GT(tevStringParam(0, TEV_LOG_FILE, tmp.file("trace.log").c_str()), 0);
    }
    void TearDown() override {
        tevClose(0);
        tevRelease();
        tevIntegerParam(0, TEV_STEP_DELAY, 25);
        tevIntegerParam(0, TEV_RESPONSE_TIMEOUT, 25000);
        tevIntegerParam(0, TEV_READ_TIMEOUT, 25000);
        tevIntegerParam(0, TEV_CONNECT_TIMEOUT, 60000);
        tevIntegerParam(0, TEV_POLL_SLEEP, 100);
    }
    std::string log() { return readWholeFile(tmp.file("trace.log")); }

    // Drives the channel until the operation ends (at most 10 s); returns the last result.
    static int32_t drive() {
        const uint32_t start = tev::platform::tick();
        int32_t r;
        do r = tevDriver(0);
        while (r > 0 && tev::platform::tickDiff(tev::platform::tick(), start) < 10000);
        return r;
    }
};

TEST_F(Ipv6Real, SendAndFetchOverIPv6) {
    TEV_USE_TLS_SERVERS(servers);
    if (!servers.ipv6()) GTEST_SKIP() << "this machine has no ::1";
    servers.clearMessages();
    for (const char *dir : {"in", "att"}) ASSERT_EQ(mkdir(tmp.file(dir).c_str(), 0700), 0);

    tevIntegerParam(0, TEV_USE_EHLO, 1);
    tevStringParam(0, TEV_AUTH_USER, servers.user().c_str());
    tevStringParam(0, TEV_AUTH_PASSWORD, servers.password().c_str());
    tevIntegerParam(0, TEV_SMTP_PORT, servers.smtpPort("auth6"));
    ASSERT_EQ(tevSmtpConnect(0, "[::1]", "<ann@example.com>", nullptr), 0) << log();
    char ip[64];
    EXPECT_EQ(tevDebug(0, TEV_DEBUG_SERVER_IP, ip, sizeof ip), 3);
    EXPECT_STREQ(ip, "::1");
    ASSERT_EQ(tevSendEmail(0, "<tevuser@tev.test>", nullptr, nullptr, "Over IPv6", "Sent to ::1.", nullptr), 0)
        << log();
    EXPECT_EQ(tevClose(0), 0) << log();
    ASSERT_EQ(servers.receivedMessages().size(), 1u);
    EXPECT_NE(servers.receivedMessages()[0].find("Subject: Over IPv6\r\n"), std::string::npos);
    EXPECT_NE(servers.receivedEnvelopes()[0].find("AUTH tevuser\n"), std::string::npos)
        << servers.receivedEnvelopes()[0] << log();

    tevIntegerParam(0, TEV_AUTO_CALL, 0);
    tevIntegerParam(0, TEV_POP3_PORT, servers.pop3Port());
    ASSERT_EQ(tevPop3Connect(0, "::1", servers.user().c_str(), servers.password().c_str()), 0);
    ASSERT_EQ(drive(), 0) << log();
    ASSERT_EQ(tevGetEmailCount(0), 0);
    ASSERT_EQ(drive(), 0) << log();
    EXPECT_EQ(tevStatistics(0, TEV_STAT_MESSAGE_COUNT), 1) << log();
    ASSERT_EQ(tevGetEmailFile(0, 1, "message.txt", tmp.file("in").c_str(), tmp.file("att").c_str()), 0);
    ASSERT_EQ(drive(), 0) << log();
    const std::string message = readWholeFile(tmp.file("in/message.txt"));
    EXPECT_NE(message.find("Subject: Over IPv6\r\n"), std::string::npos) << message;
    EXPECT_NE(message.find("Sent to ::1."), std::string::npos) << message;
    const std::string text = log();
    EXPECT_NE(text.find("Server = '[::1]'\r\nServerIP = ::1\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Server = '::1'\r\nServerIP = ::1\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find(", RemoteAddr=::1, RemotePort=" +
                        std::to_string(static_cast<int16_t>(servers.smtpPort("auth6"))) + "\r\n"),
              std::string::npos)
        << text;
    servers.clearMessages();
}

}  // namespace
