// SMTP AUTH beyond CRAM-MD5, LOGIN and PLAIN against the scripted server: SCRAM-SHA-1 and SCRAM-SHA-256 byte for
// byte (the RFC example exchanges, client nonce fixed), a wrong server signature, a hostile iteration count,
// XOAUTH2's error challenge, OAUTHBEARER, the preference list, and TEV_REQUIRE_AUTH on and off.
#include <gtest/gtest.h>

#include <string>

#include "engine/sasl.h"
#include "platform/crypto.h"
#include "smtp/session_fixture.h"
#include "support/scripted_server.h"
#include "tev32.h"

using tevtest::ScriptedServer;

namespace {

// Base64 through the library's public encoder (tested on its own), without its line ends.
std::string b64(const std::string &bytes) {
    std::string out(bytes.size() * 2 + 8, '\0');
    int32_t n = tevEncodeBuffer(bytes.data(), &out[0], static_cast<int32_t>(bytes.size()));
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    std::string clean;
    for (char c : out) {
        if (c != '\r' && c != '\n') clean += c;
    }
    return clean;
}

class SmtpSasl : public tevtest::SessionTest {
protected:
    void SetUp() override {
        tevtest::SessionTest::SetUp();
        tevIntegerParam(0, TEV_USE_EHLO, 1);
        setCredentials("user", "pencil");
    }
    void TearDown() override {
        tev::setScramNonceForTest(nullptr);
        tevtest::SessionTest::TearDown();
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
    ScriptedServer &greet(ScriptedServer &srv, const std::string &authLine) {
        return srv.send("220 mail.test\r\n").expectLine("EHLO example.com").send("250-mail.test\r\n" + authLine);
    }
};

struct Exchange {
    const char *mechanism, *nonce, *serverFirst, *clientFinal, *serverFinal;
};
const Exchange kExchanges[] = {
    {"SCRAM-SHA-1", "fyko+d2lbbFgONRv9qkxdawL",
     "r=fyko+d2lbbFgONRv9qkxdawL3rfcNHYJY1ZVvWVs7j,s=QSXCR+Q6sek8bf92,i=4096",
     "c=biws,r=fyko+d2lbbFgONRv9qkxdawL3rfcNHYJY1ZVvWVs7j,p=v0X8v3Bz2T0CJGbJQyF0X+HI4Ts=",
     "v=rmF9pqV8S7suAoZWja4dJRkFsKQ="},
    {"SCRAM-SHA-256", "rOprNGfwEbeRWgbNEkqO",
     "r=rOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=4096",
     "c=biws,r=rOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0,p=dHzbZapWIk4jUhN+Ute9ytag9zjfMHgsqmmiz7AndVQ=",
     "v=6rriTRBi23WpRR/wtup+mMhUZUn/dB5nLTJRsjl95G4="},
};

TEST_F(SmtpSasl, ScramExchangesByteForByte) {
    if (!tev::platform::cryptoAvailable()) GTEST_SKIP() << "built without the crypto library";
    for (const Exchange &x : kExchanges) {
        SCOPED_TRACE(x.mechanism);
        ASSERT_GT(tevStringParam(0, TEV_AUTH_MECHANISMS, x.mechanism), 0);
        tev::setScramNonceForTest(x.nonce);
        ScriptedServer srv;
        const std::string first = std::string("n,,n=user,r=") + x.nonce;
        greet(srv, "250 AUTH PLAIN SCRAM-SHA-1 SCRAM-SHA-256 XOAUTH2\r\n")
            .expectLine(std::string("AUTH ") + x.mechanism + " " + b64(first))
            .send("334 " + b64(x.serverFirst) + "\r\n")
            .expectLine(b64(x.clientFinal))
            .send("334 " + b64(x.serverFinal) + "\r\n")
            .expectLine("")
            .send("235 2.7.0 ok\r\n");
        srv.start();
        EXPECT_EQ(connect(srv, "<ann@example.com>"), 0);
        EXPECT_TRUE(srv.finish(2000)) << srv.error();
        EXPECT_EQ(mechanismUsed(), x.mechanism);
        EXPECT_NE(log().find(std::string("AUTH ") + x.mechanism + " ok\r\n"), std::string::npos);
    }
}

TEST_F(SmtpSasl, WrongOrMissingServerSignatureFailsEvenWhenTheServerAccepts) {
    if (!tev::platform::cryptoAvailable()) GTEST_SKIP() << "built without the crypto library";
    const Exchange &x = kExchanges[1];
    tevStringParam(0, TEV_AUTH_MECHANISMS, "SCRAM-SHA-256");
    {
        tev::setScramNonceForTest(x.nonce);
        ScriptedServer srv;
        greet(srv, "250 AUTH SCRAM-SHA-256\r\n")
            .readLine()
            .send("334 " + b64(x.serverFirst) + "\r\n")
            .expectLine(b64(x.clientFinal))
            .send("334 " + b64("v=AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=") + "\r\n")
            .silence(150)
            .send("235 2.7.0 ok\r\n");
        srv.start();
        EXPECT_EQ(connect(srv, "<ann@example.com>"), TEV_E_SMTP_ERROR);
        srv.finish(2000);
        // Nothing answers the bad signature: the session ends at once.
        EXPECT_EQ(srv.received().find(b64(x.clientFinal) + "\r\n"), srv.received().size() - b64(x.clientFinal).size() - 2);
        EXPECT_NE(errorText(TEV_E_SMTP_ERROR).find("[SCRAM: server signature does not match]"), std::string::npos)
            << errorText(TEV_E_SMTP_ERROR);
        EXPECT_EQ(mechanismUsed(), "");
        EXPECT_EQ(rec().socket, 0);
    }
    {
        tev::setScramNonceForTest(x.nonce);
        ScriptedServer srv;
        greet(srv, "250 AUTH SCRAM-SHA-256\r\n")
            .readLine()
            .send("334 " + b64(x.serverFirst) + "\r\n")
            .expectLine(b64(x.clientFinal))
            .send("235 2.7.0 ok\r\n");
        srv.start();
        EXPECT_EQ(connect(srv, "<ann@example.com>"), TEV_E_SMTP_ERROR);
        EXPECT_TRUE(srv.finish(2000)) << srv.error();
        EXPECT_NE(errorText(TEV_E_SMTP_ERROR).find("235 2.7.0 ok [SCRAM: success without the server's signature]"),
                  std::string::npos)
            << errorText(TEV_E_SMTP_ERROR);
    }
}

TEST_F(SmtpSasl, HostileIterationCountIsRefusedBeforeAnyWork) {
    if (!tev::platform::cryptoAvailable()) GTEST_SKIP() << "built without the crypto library";
    tevStringParam(0, TEV_AUTH_MECHANISMS, "SCRAM-SHA-1");
    tev::setScramNonceForTest("abc");
    ScriptedServer srv;
    greet(srv, "250 AUTH SCRAM-SHA-1\r\n")
        .expectLine("AUTH SCRAM-SHA-1 " + b64("n,,n=user,r=abc"))
        .send("334 " + b64("r=abcdef,s=QSXCR+Q6sek8bf92,i=2147483647") + "\r\n")
        .silence(100);
    srv.start();
    const uint32_t start = tev::platform::tick();
    EXPECT_EQ(connect(srv, "<ann@example.com>"), TEV_E_SMTP_ERROR);
    EXPECT_LT(tev::platform::tickDiff(tev::platform::tick(), start), 1000);
    srv.finish(2000);
    EXPECT_EQ(srv.received(), "EHLO example.com\r\nAUTH SCRAM-SHA-1 " + b64("n,,n=user,r=abc") + "\r\n");
    EXPECT_NE(log().find("SCRAM: iteration count 2147483647 outside 4096..100000\r\n"), std::string::npos);
}

TEST_F(SmtpSasl, XOAuth2ErrorChallengeGetsTheEmptyResponseAndItsJsonReachesTheErrorText) {
    // A token alone prefers OAuth over the default choice.
    const std::string token(1500, 't');  // longer than the command buffer's base64 room: sent whole
    ASSERT_EQ(tevStringParam(0, TEV_OAUTH_TOKEN, token.c_str()), 1500);
    const std::string json = R"({"status":"400","schemes":"Bearer","scope":"https://mail.google.com/"})";
    ScriptedServer srv;
    greet(srv, "250 AUTH LOGIN PLAIN XOAUTH2\r\n")
        .expectLine("AUTH XOAUTH2 " + b64("user=user\x01" "auth=Bearer " + token + "\x01\x01"))
        .send("334 " + b64(json) + "\r\n")
        .expectLine("")
        .send("535-5.7.8 Username and Password not accepted.\r\n535 5.7.8 Learn more\r\n");
    srv.start();
    EXPECT_EQ(connect(srv, "<ann@example.com>"), TEV_E_SMTP_ERROR);
    EXPECT_TRUE(srv.finish(2000)) << srv.error();
    const std::string text = errorText(TEV_E_SMTP_ERROR);
    EXPECT_EQ(text.compare(0, 21, "SMTP returned error. "), 0) << text;
    EXPECT_NE(text.find("535-5.7.8 Username and Password not accepted.\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find(json), std::string::npos) << text;
    EXPECT_EQ(mechanismUsed(), "");
}

TEST_F(SmtpSasl, OAuthBearerAndPreferenceListOverTheDefaultChoice) {
    tevStringParam(0, TEV_OAUTH_TOKEN, "tok");
    ASSERT_EQ(tevStringParam(0, TEV_AUTH_MECHANISMS, "oauthbearer,xoauth2"), 19);
    {
        ScriptedServer srv;
        const std::string port = std::to_string(srv.port());
        greet(srv, "250-AUTH XOAUTH2 OAUTHBEARER\r\n250 OK\r\n")
            .expectLine("AUTH OAUTHBEARER " +
                        b64("n,a=user,\x01host=127.0.0.1\x01port=" + port + "\x01" "auth=Bearer tok\x01\x01"))
            .send("235 ok\r\n");
        srv.start();
        EXPECT_EQ(connect(srv, "<ann@example.com>"), 0);
        EXPECT_TRUE(srv.finish(2000)) << srv.error();
        EXPECT_EQ(mechanismUsed(), "OAUTHBEARER");
    }
    {
        // OAUTHBEARER's error challenge is answered with a single 0x01.
        ScriptedServer srv;
        greet(srv, "250 AUTH OAUTHBEARER\r\n").readLine().send("334 " + b64("{\"status\":\"invalid_token\"}") + "\r\n")
            .expectLine(b64("\x01")).send("535 no\r\n");
        srv.start();
        EXPECT_EQ(connect(srv, "<ann@example.com>"), TEV_E_SMTP_ERROR);
        EXPECT_TRUE(srv.finish(2000)) << srv.error();
        EXPECT_NE(errorText(TEV_E_SMTP_ERROR).find("{\"status\":\"invalid_token\"}"), std::string::npos);
    }
    {
        // The list decides over the default order: PLAIN before LOGIN, through PLAIN's own states.
        tevStringParam(0, TEV_AUTH_MECHANISMS, "SCRAM-SHA-256 PLAIN LOGIN");
        ScriptedServer srv;
        greet(srv, "250 AUTH LOGIN PLAIN CRAM-MD5\r\n")
            .expectLine("AUTH PLAIN " + b64(std::string("user\0user\0pencil", 16)))
            .send("235 ok\r\n");
        srv.start();
        EXPECT_EQ(connect(srv, "<ann@example.com>"), 0);
        EXPECT_TRUE(srv.finish(2000)) << srv.error();
        EXPECT_EQ(mechanismUsed(), "PLAIN");
    }
    EXPECT_EQ(tevStringParam(0, TEV_AUTH_MECHANISMS, "PLAIN NTLM"), -1);
    EXPECT_EQ(tevStringParam(0, TEV_OAUTH_TOKEN, std::string(4097, 'x').c_str()), -1);
    EXPECT_EQ(tevStringParam(0, TEV_OAUTH_TOKEN, "a\r\nQUIT"), -1);
}

TEST_F(SmtpSasl, NothingUsableGoesOnUnlessAuthenticationIsRequired) {
    for (int required : {0, 1}) {
        SCOPED_TRACE(required);
        EXPECT_EQ(tevIntegerParam(0, TEV_REQUIRE_AUTH, required), 1);
        ScriptedServer srv;
        greet(srv, "250-AUTH SCRAM-SHA-256 XOAUTH2\r\n250 SIZE 1000\r\n").silence(100);
        srv.start();
        const int32_t rc = connect(srv, "<ann@example.com>");
        srv.finish(2000);
        EXPECT_EQ(srv.received(), "EHLO example.com\r\n");
        if (required == 0) {
            EXPECT_EQ(rc, 0);  // the default choice finds nothing and the session is open, as always
            EXPECT_GT(rec().socket, 0);
        } else {
            EXPECT_EQ(rc, TEV_E_NO_AUTH_MECHANISM);
            EXPECT_EQ(errorText(TEV_E_NO_AUTH_MECHANISM),
                      "No usable authentication mechanism. Offered: SCRAM-SHA-256 XOAUTH2");
            EXPECT_EQ(rec().socket, 0);
            // The session is gone: no MAIL FROM can follow.
            EXPECT_LT(tevSendEmail(0, "<bob@example.com>", nullptr, nullptr, "s", "m", nullptr), 0);
        }
    }
    // A list that names nothing offered, and an offer of no AUTH at all.
    tevStringParam(0, TEV_AUTH_MECHANISMS, "CRAM-MD5");
    for (const char *ehlo : {"250 AUTH LOGIN\r\n", "250 8BITMIME\r\n"}) {
        ScriptedServer srv;
        greet(srv, ehlo).silence(50);
        srv.start();
        EXPECT_EQ(connect(srv, "<ann@example.com>"), TEV_E_NO_AUTH_MECHANISM) << ehlo;
        srv.finish(2000);
    }
    EXPECT_EQ(errorText(TEV_E_NO_AUTH_MECHANISM), "No usable authentication mechanism. None offered.");
    // HELO can never authenticate: nothing is sent at all.
    tevIntegerParam(0, TEV_USE_EHLO, 0);
    ScriptedServer srv;
    srv.send("220 mail.test\r\n").silence(100);
    srv.start();
    EXPECT_EQ(connect(srv, "<ann@example.com>"), TEV_E_NO_AUTH_MECHANISM);
    srv.finish(2000);
    EXPECT_EQ(srv.received(), "");
    // Without a user name there is nothing to require.
    setCredentials("", "");
    ScriptedServer open;
    open.send("220 mail.test\r\n").expectLine("HELO example.com").send("250 ok\r\n");
    open.start();
    EXPECT_EQ(connect(open, "<ann@example.com>"), 0);
    EXPECT_TRUE(open.finish(2000)) << open.error();
}

}  // namespace
