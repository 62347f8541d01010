// Authentication against real servers on loopback.  SMTP: aiosmtpd's "sasl" port, whose SCRAM-SHA-1,
// SCRAM-SHA-256, XOAUTH2 and OAUTHBEARER server sides the fixture computes with Python's hashlib and hmac, its
// "badsig" twin with a wrong SCRAM server signature, and the port without AUTH for TEV_REQUIRE_AUTH.  POP3:
// Dovecot's AUTH with every mechanism it offers, chosen through TEV_AUTH_MECHANISMS.  Right and wrong
// credentials each; a success is proved by what the server does next (a message accepted as the user's, a
// mailbox counted), a failure by the code, the server's text and a closed socket.
#include <gtest/gtest.h>

#include <string>

#include "platform/crypto.h"
#include "smtp/session_fixture.h"
#include "support/real_servers.h"
#include "support/trace.h"
#include "tev32.h"

namespace tevtest {
namespace {

class RealAuth : public SessionTest {
protected:
    void SetUp() override {
        SessionTest::SetUp();
        tevIntegerParam(0, TEV_RESPONSE_TIMEOUT, 5000);
        tevIntegerParam(0, TEV_CONNECT_TIMEOUT, 5000);
        tevIntegerParam(0, TEV_READ_TIMEOUT, 5000);
    }

    std::string errorText(int32_t code) {
        char buffer[1024];
        tevErrorText(0, code, buffer, sizeof buffer);
        return buffer;
    }
    std::string mechanismUsed() {
        char buffer[32];
        tevDebug(0, TEV_DEBUG_AUTH_MECHANISM, buffer, sizeof buffer);
        return buffer;
    }
    static bool contains(const std::string &text, const std::string &part) {
        return text.find(part) != std::string::npos;
    }

    int32_t smtpConnect(uint16_t port, const std::string &user, const std::string &password) {
        tevIntegerParam(0, TEV_USE_EHLO, 1);
        setCredentials(user.c_str(), password.c_str());
        tevIntegerParam(0, TEV_SMTP_PORT, port);
        return tevSmtpConnect(0, "127.0.0.1", "Ann <ann@example.com>", nullptr);
    }

    // Sends one short message in the open session and ends it; true when the server took it.
    bool sendOne(const std::string &subject) {
        return tevSendEmail(0, "<bob@example.com>", nullptr, nullptr, subject.c_str(), "hello\r\n", nullptr) == 0 &&
               tevClose(0) == 0;
    }
};

// ---------------------------------------------------------------- SMTP: SCRAM

TEST_F(RealAuth, SmtpScramRightPasswordSendsAsTheUserWrongOneIsRefused) {
    TEV_USE_REAL_SERVERS(servers);
    if (!tev::platform::cryptoAvailable()) GTEST_SKIP() << "built without the crypto library";
    for (const char *mechanism : {"SCRAM-SHA-256", "SCRAM-SHA-1"}) {
        SCOPED_TRACE(mechanism);
        servers.clearMessages();
        ASSERT_GT(tevStringParam(0, TEV_AUTH_MECHANISMS, mechanism), 0);
        ASSERT_EQ(smtpConnect(servers.smtpPort("sasl"), servers.user(), servers.password()), 0) << log();
        EXPECT_EQ(mechanismUsed(), mechanism);
        EXPECT_TRUE(contains(log(), std::string("AUTH ") + mechanism + " ok\r\n")) << log();
        ASSERT_TRUE(sendOne(mechanism)) << log();
        const auto envelopes = servers.receivedEnvelopes();
        ASSERT_EQ(envelopes.size(), 1u);
        EXPECT_TRUE(contains(envelopes[0], "\nAUTH " + servers.user() + "\n")) << envelopes[0];

        EXPECT_EQ(smtpConnect(servers.smtpPort("sasl"), servers.user(), "wrong-" + servers.password()),
                  TEV_E_SMTP_ERROR);
        EXPECT_EQ(errorText(TEV_E_SMTP_ERROR), "SMTP returned error. 535 5.7.8 Authentication credentials invalid\r\n");
        EXPECT_EQ(mechanismUsed(), "");
        EXPECT_EQ(rec().socket, 0);
    }
}

TEST_F(RealAuth, SmtpScramWrongServerSignatureFailsDespiteTheServersSuccess) {
    TEV_USE_REAL_SERVERS(servers);
    if (!tev::platform::cryptoAvailable()) GTEST_SKIP() << "built without the crypto library";
    servers.clearMessages();
    ASSERT_GT(tevStringParam(0, TEV_AUTH_MECHANISMS, "SCRAM-SHA-256"), 0);
    EXPECT_EQ(smtpConnect(servers.smtpPort("badsig"), servers.user(), servers.password()), TEV_E_SMTP_ERROR);
    const std::string text = errorText(TEV_E_SMTP_ERROR);
    EXPECT_EQ(text.rfind("SMTP returned error. 334 ", 0), 0u) << text;
    EXPECT_TRUE(contains(text, " [SCRAM: server signature does not match]")) << text;
    const std::string trace = log();
    EXPECT_TRUE(contains(trace, "SCRAM: server signature does not match\r\nERROR(")) << trace;
    EXPECT_FALSE(contains(trace, "AUTH SCRAM-SHA-256 ok")) << trace;
    // The error text is longer than the trace shows; its cut keeps a line end.
    EXPECT_TRUE(contains(trace, "\r\nClosing socket\r\n")) << showBytes(trace, 4000);
    EXPECT_EQ(mechanismUsed(), "");
    EXPECT_EQ(rec().socket, 0);
}

// ---------------------------------------------------------------- SMTP: OAuth 2

TEST_F(RealAuth, SmtpOAuthRightTokenSendsWrongTokenKeepsTheErrorJson) {
    TEV_USE_REAL_SERVERS(servers);
    const std::string json = R"({"status": "invalid_token", "schemes": "bearer", "scope": "mail"})";
    for (const char *mechanism : {"XOAUTH2", "OAUTHBEARER"}) {
        SCOPED_TRACE(mechanism);
        servers.clearMessages();
        ASSERT_GT(tevStringParam(0, TEV_AUTH_MECHANISMS, mechanism), 0);
        ASSERT_GT(tevStringParam(0, TEV_OAUTH_TOKEN, servers.oauthToken().c_str()), 0);
        ASSERT_EQ(smtpConnect(servers.smtpPort("sasl"), servers.user(), ""), 0) << log();
        EXPECT_EQ(mechanismUsed(), mechanism);
        EXPECT_TRUE(contains(log(), std::string("AUTH ") + mechanism + " ok\r\n")) << log();
        ASSERT_TRUE(sendOne(mechanism)) << log();
        const auto envelopes = servers.receivedEnvelopes();
        ASSERT_EQ(envelopes.size(), 1u);
        EXPECT_TRUE(contains(envelopes[0], "\nAUTH " + servers.user() + "\n")) << envelopes[0];

        ASSERT_GT(tevStringParam(0, TEV_OAUTH_TOKEN, "ya29.expired"), 0);
        EXPECT_EQ(smtpConnect(servers.smtpPort("sasl"), servers.user(), ""), TEV_E_SMTP_ERROR);
        // The error challenge was answered with the dummy response (empty, or 0x01 for OAUTHBEARER) and the
        // server then said 535.
        EXPECT_EQ(errorText(TEV_E_SMTP_ERROR),
                  "SMTP returned error. 535 5.7.8 Authentication credentials invalid\r\n" + json);
        EXPECT_EQ(rec().socket, 0);
    }
    tevStringParam(0, TEV_OAUTH_TOKEN, "");
}

// A token and no list: the library picks OAuth by itself when the server offers it.
TEST_F(RealAuth, SmtpTokenAloneChoosesOAuth) {
    TEV_USE_REAL_SERVERS(servers);
    ASSERT_GT(tevStringParam(0, TEV_OAUTH_TOKEN, servers.oauthToken().c_str()), 0);
    ASSERT_EQ(smtpConnect(servers.smtpPort("sasl"), servers.user(), ""), 0) << log();
    const std::string used = mechanismUsed();
    EXPECT_TRUE(used == "XOAUTH2" || used == "OAUTHBEARER") << used;
    EXPECT_EQ(tevClose(0), 0);
    tevStringParam(0, TEV_OAUTH_TOKEN, "");
}

// ---------------------------------------------------------------- SMTP: TEV_REQUIRE_AUTH

TEST_F(RealAuth, SmtpRequiredAuthWithNothingUsableFailsBeforeMailFrom) {
    TEV_USE_REAL_SERVERS(servers);
    tevIntegerParam(0, TEV_REQUIRE_AUTH, 1);
    struct Case {
        uint16_t port;
        const char *text;
    } cases[] = {
        {servers.smtpPlainPort(), "No usable authentication mechanism. None offered."},
        // Only the newer mechanisms, none of them chosen without a list or a token.
        {servers.smtpPort("sasl"),
         "No usable authentication mechanism. Offered: OAUTHBEARER SCRAM-SHA-1 SCRAM-SHA-256 XOAUTH2"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.port);
        EXPECT_EQ(smtpConnect(c.port, servers.user(), servers.password()), TEV_E_NO_AUTH_MECHANISM);
        EXPECT_EQ(errorText(TEV_E_NO_AUTH_MECHANISM), c.text);
        EXPECT_EQ(rec().socket, 0);
        // The session is over: a send has no connection to use.
        EXPECT_LT(tevSendEmail(0, "<bob@example.com>", nullptr, nullptr, "s", "t\r\n", nullptr), 0);
        EXPECT_FALSE(contains(log(), "MAIL FROM")) << log();
    }
    // Without the requirement the session goes on unauthenticated, as it always has.
    tevIntegerParam(0, TEV_REQUIRE_AUTH, 0);
    EXPECT_EQ(smtpConnect(servers.smtpPlainPort(), servers.user(), servers.password()), 0) << log();
    EXPECT_EQ(mechanismUsed(), "");
    EXPECT_EQ(tevClose(0), 0);
}

// ---------------------------------------------------------------- POP3 AUTH (Dovecot)

TEST_F(RealAuth, Pop3AuthWithEveryOfferedMechanismRightAndWrongPassword) {
    TEV_USE_REAL_SERVERS(servers);
    servers.clearMessages();
    tevIntegerParam(0, TEV_POP3_PORT, servers.pop3Port());
    const bool crypto = tev::platform::cryptoAvailable();
    for (const char *mechanism : {"SCRAM-SHA-256", "SCRAM-SHA-1", "CRAM-MD5", "PLAIN", "LOGIN"}) {
        SCOPED_TRACE(mechanism);
        if (!crypto && std::string(mechanism).rfind("SCRAM", 0) == 0) continue;
        ASSERT_GT(tevStringParam(0, TEV_AUTH_MECHANISMS, mechanism), 0);
        ASSERT_EQ(tevPop3Connect(0, "127.0.0.1", servers.user().c_str(), servers.password().c_str()), 0) << log();
        EXPECT_EQ(mechanismUsed(), mechanism);
        EXPECT_TRUE(contains(log(), std::string("S: AUTH ") + mechanism)) << log();
        EXPECT_EQ(tevGetEmailCount(0), 0) << log();
        EXPECT_EQ(tevClose(0), 0);

        const std::string wrong = "wrong-" + servers.password();
        EXPECT_EQ(tevPop3Connect(0, "127.0.0.1", servers.user().c_str(), wrong.c_str()), TEV_E_POP3_ERROR);
        EXPECT_EQ(errorText(TEV_E_POP3_ERROR), "POP3 returned error. -ERR [AUTH] Authentication failed.\r\n");
        EXPECT_EQ(mechanismUsed(), "");
        EXPECT_EQ(rec().socket, 0);
    }
    // What Dovecot offers is named when the list holds nothing of it.
    ASSERT_GT(tevStringParam(0, TEV_AUTH_MECHANISMS, "XOAUTH2"), 0);
    ASSERT_GT(tevStringParam(0, TEV_OAUTH_TOKEN, "ya29.token"), 0);
    EXPECT_EQ(tevPop3Connect(0, "127.0.0.1", servers.user().c_str(), servers.password().c_str()),
              TEV_E_NO_AUTH_MECHANISM);
    EXPECT_EQ(errorText(TEV_E_NO_AUTH_MECHANISM),
              "No usable authentication mechanism. Offered: PLAIN LOGIN CRAM-MD5 SCRAM-SHA-1 SCRAM-SHA-256");
    tevStringParam(0, TEV_OAUTH_TOKEN, "");
}

}  // namespace
}  // namespace tevtest
