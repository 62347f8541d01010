// The SMTP session against a real server (aiosmtpd on loopback, offering AUTH CRAM-MD5, LOGIN and PLAIN): each
// mechanism with the right and a wrong password, then QUIT.  The server offers all three, so the library picks
// CRAM-MD5 by itself; LOGIN and PLAIN are reached by driving the connect step by step and taking the other
// branch once the EHLO reply has been read.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "frame/record.h"
#include "platform/platform.h"
#include "support/real_servers.h"
#include "support/trace.h"
#include "tev32.h"

namespace tevtest {
namespace {

struct Mechanism {
    const char *name;
    int32_t firstState;
    const char *okLine;
};

const Mechanism kMechanisms[] = {
    {"CRAM-MD5", 150, "AUTH CRAM-MD5 ok\r\n"},
    {"LOGIN", 160, "AUTH LOGIN ok\r\n"},
    {"PLAIN", 170, "AUTH PLAIN ok\r\n"},
};

class RealSmtpSession : public TempDirTest {
protected:
    void SetUp() override {
        ASSERT_EQ(tevAttach(1), 1);
        tevIntegerParam(0, TEV_STEP_DELAY, 1);
        tevIntegerParam(0, TEV_RESPONSE_TIMEOUT, 5000);
        tevIntegerParam(0, TEV_CONNECT_TIMEOUT, 5000);
        tevIntegerParam(0, TEV_POLL_SLEEP, 5);
        tevIntegerParam(0, TEV_USE_EHLO, 1);
        logPath = tmp.file("trace.log");
        ASSERT_GT(tevStringParam(0, TEV_LOG_FILE, logPath.c_str()), 0);
    }
    void TearDown() override {
        tevAbort(0);
        tevRelease();
        tev::settings.stepDelay.set(25);
        tev::settings.responseTimeout.set(25000);
        tev::settings.connectTimeout.set(60000);
        tev::settings.pollSleep.set(100);
    }

    // Connects with the given mechanism; returns the connect's result.
    int32_t connectWith(RealServers &servers, const Mechanism &mechanism, const std::string &password) {
        tevStringParam(0, TEV_AUTH_USER, servers.user().c_str());
        tevStringParam(0, TEV_AUTH_PASSWORD, password.c_str());
        tevIntegerParam(0, TEV_SMTP_PORT, servers.smtpAuthPort());
        tevIntegerParam(0, TEV_AUTO_CALL, 0);
        int32_t r = tevSmtpConnect(0, "127.0.0.1", "Ann <ann@example.com>", nullptr);
        if (r != 0) return r;
        tev::SessionRecord &rec = *tev::channelTable[0].record;
        const uint32_t start = tev::platform::tick();
        bool chosen = false;
        while ((r = tevDriver(0)) > 0 && tev::platform::tickDiff(tev::platform::tick(), start) < 10000) {
            if (!chosen && rec.prevState == 203 && r != 203 && r != 9999) {
                // The EHLO reply has been read: the server offers every mechanism.
                EXPECT_EQ(r, 150) << "the preferred mechanism";
                rec.nextState = mechanism.firstState;
                chosen = true;
            }
        }
        tevIntegerParam(0, TEV_AUTO_CALL, 1);
        EXPECT_TRUE(chosen);
        return r;
    }

    std::string log() { return readWholeFile(logPath); }
    std::string logPath;
};

TEST_F(RealSmtpSession, EachMechanismWithTheRightPassword) {
    TEV_USE_REAL_SERVERS(servers);
    for (const Mechanism &mechanism : kMechanisms) {
        SCOPED_TRACE(mechanism.name);
        ASSERT_EQ(connectWith(servers, mechanism, servers.password()), 0) << log();
        EXPECT_NE(log().find(mechanism.okLine), std::string::npos) << log();
        EXPECT_EQ(tevStatistics(0, TEV_STAT_REPLY_CODE), 235);
        EXPECT_EQ(tevClose(0), 0) << log();
        EXPECT_EQ(tevStatistics(0, TEV_STAT_REPLY_CODE), 221);
    }
}

TEST_F(RealSmtpSession, EachMechanismWithAWrongPassword) {
    TEV_USE_REAL_SERVERS(servers);
    for (const Mechanism &mechanism : kMechanisms) {
        SCOPED_TRACE(mechanism.name);
        EXPECT_EQ(connectWith(servers, mechanism, "not-the-password"), TEV_E_SMTP_ERROR) << log();
        char text[256];
        tevErrorText(0, TEV_E_SMTP_ERROR, text, sizeof text);
        EXPECT_EQ(std::string(text).rfind("SMTP returned error. 535", 0), 0u) << text;
        EXPECT_EQ(log().find(mechanism.okLine), std::string::npos);
        EXPECT_EQ(tev::channelTable[0].record->socket, 0);
        // The failed connect closed the connection: QUIT cannot be sent.
        EXPECT_EQ(tevClose(0), TEV_E_WRITE);
    }
}

}  // namespace
}  // namespace tevtest
