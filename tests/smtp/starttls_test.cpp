// STARTTLS and implicit TLS in front of the scripted loopback server: what goes out in the clear in each TLS mode,
// the mode that requires STARTTLS ending with -80 before any credential or HELO, and a server that pipelines
// replies behind its "220" to STARTTLS (they are thrown away, never read as replies).  The handshakes themselves
// run against real servers (tests/real); here the server only checks that a TLS ClientHello follows.
#include <gtest/gtest.h>

#include <string>

#include "frame/record.h"
#include "smtp/session_fixture.h"
#include "support/scripted_server.h"
#include "support/trace.h"
#include "tev32.h"

using tevtest::ScriptedServer;
using tevtest::showBytes;

namespace {

class SmtpTls : public tevtest::SessionTest {
protected:
    void SetUp() override {
        SessionTest::SetUp();
        tevIntegerParam(0, TEV_USE_EHLO, 1);
        setCredentials("ann", "secret");
    }
    std::string errorText(int32_t code) {
        char buffer[256];
        tevErrorText(0, code, buffer, sizeof buffer);
        return buffer;
    }
};

bool contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

// The first bytes of a TLS handshake record (ClientHello), whatever version the record layer names.
const std::string kTlsRecordStart("\x16\x03", 2);

constexpr char kEhloWithoutTls[] = "250-mail.test\r\n250 AUTH PLAIN\r\n";
constexpr char kEhloWithTls[] = "250-mail.test\r\n250-STARTTLS\r\n250 AUTH PLAIN\r\n";

TEST_F(SmtpTls, RequiredButNotOfferedEndsWithMinus80BeforeAnyCredential) {
    for (int autoCall : {1, 0}) {
        SCOPED_TRACE(autoCall);
        ScriptedServer srv;
        srv.send("220 mail.test\r\n").expectLine("EHLO example.com").send(kEhloWithoutTls).waitForClientClose(3000);
        srv.start();
        tevIntegerParam(0, TEV_AUTO_CALL, autoCall);
        tevIntegerParam(0, TEV_TLS_MODE, 1);
        int32_t rc = connect(srv, "<ann@example.com>");
        if (!autoCall) {
            ASSERT_EQ(rc, 0);
            rc = drive();
        }
        EXPECT_EQ(rc, TEV_E_NO_STARTTLS);
        EXPECT_TRUE(srv.finish(3000)) << srv.error();
        EXPECT_EQ(srv.received(), "EHLO example.com\r\n");
        EXPECT_EQ(rec().socket, 0);
        EXPECT_EQ(tevStatistics(0, TEV_STAT_TLS), 0);
    }
    EXPECT_EQ(errorText(TEV_E_NO_STARTTLS), "Server does not offer STARTTLS.");
}

TEST_F(SmtpTls, RequiredWithHeloSendsNothingAtAll) {
    ScriptedServer srv;
    srv.send("220 mail.test\r\n").waitForClientClose(3000);
    srv.start();
    tevIntegerParam(0, TEV_USE_EHLO, 0);
    tevIntegerParam(0, TEV_TLS_MODE, 1);
    EXPECT_EQ(connect(srv, "<ann@example.com>"), TEV_E_NO_STARTTLS);
    EXPECT_TRUE(srv.finish(3000)) << srv.error();
    EXPECT_EQ(srv.received(), "");
}

TEST_F(SmtpTls, IfOfferedGoesOnInTheClearWhenNotOffered) {
    ScriptedServer srv;
    srv.send("220 mail.test\r\n")
        .expectLine("EHLO example.com")
        .send(kEhloWithoutTls)
        .expectLine("AUTH PLAIN YW5uAGFubgBzZWNyZXQ=")
        .send("235 ok\r\n");
    srv.start();
    tevIntegerParam(0, TEV_TLS_MODE, 3);
    EXPECT_EQ(connect(srv, "<ann@example.com>"), 0);
    EXPECT_TRUE(srv.finish(3000)) << srv.error();
    EXPECT_EQ(srv.received(), "EHLO example.com\r\nAUTH PLAIN YW5uAGFubgBzZWNyZXQ=\r\n");
}

TEST_F(SmtpTls, ModeZeroIgnoresAnOfferedStarttls) {
    ScriptedServer srv;
    srv.send("220 mail.test\r\n")
        .expectLine("EHLO example.com")
        .send(kEhloWithTls)
        .expectLine("AUTH PLAIN YW5uAGFubgBzZWNyZXQ=")
        .send("235 ok\r\n");
    srv.start();
    EXPECT_EQ(connect(srv, "<ann@example.com>"), 0);
    EXPECT_TRUE(srv.finish(3000)) << srv.error();
    EXPECT_FALSE(contains(srv.received(), "STARTTLS"));
}

// RFC 3207 section 6 / CVE-2011-0411: replies pipelined behind "220" in the same segment are never read.
TEST_F(SmtpTls, RepliesInjectedBehindTheStarttlsReplyAreDiscardedAndTheHandshakeFollows) {
    for (int mode : {1, 3}) {
        SCOPED_TRACE(mode);
        ScriptedServer srv;
        srv.send("220 mail.test\r\n")
            .expectLine("EHLO example.com")
            .send("250-mail.test\r\n250-starttls\r\n250 AUTH PLAIN\r\n")
            .expectLine("STARTTLS")
            .send("220 go ahead\r\n250-INJECTED\r\n250 AUTH PLAIN\r\n")
            .expect(kTlsRecordStart)
            .close();
        srv.start();
        tevIntegerParam(0, TEV_TLS_MODE, mode);
        EXPECT_EQ(connect(srv, "<ann@example.com>"), TEV_E_TLS_HANDSHAKE);
        EXPECT_TRUE(srv.finish(3000)) << srv.error();
        const std::string wire = srv.received();
        EXPECT_EQ(wire.substr(0, 28), "EHLO example.com\r\nSTARTTLS\r\n") << showBytes(wire, 200);
        EXPECT_EQ(wire.substr(28, 2), kTlsRecordStart);
        EXPECT_FALSE(contains(wire, "AUTH"));
        const std::string trace = stableLog();
        EXPECT_TRUE(contains(trace, "r: 220 go ahead\r\n<183>") || contains(trace, "r: 220 go ahead\r\n")) << trace;
        EXPECT_TRUE(contains(trace, "TLS: 30 bytes received in the clear discarded\r\n")) << trace;
        EXPECT_FALSE(contains(trace, "r: 250-INJECTED")) << trace;
        EXPECT_TRUE(contains(trace, "<184>\r\n")) << trace;
        EXPECT_EQ(rec().socket, 0);
        EXPECT_EQ(rec().tlsSession, nullptr);
        tevStringParam(0, TEV_LOG_FILE, logPath.c_str());  // a fresh log for the next mode
    }
}

TEST_F(SmtpTls, StarttlsRefusedIsAnSmtpError) {
    ScriptedServer srv;
    srv.send("220 mail.test\r\n")
        .expectLine("EHLO example.com")
        .send(kEhloWithTls)
        .expectLine("STARTTLS")
        .send("454 TLS not available\r\n")
        .waitForClientClose(3000);
    srv.start();
    tevIntegerParam(0, TEV_TLS_MODE, 1);
    EXPECT_EQ(connect(srv, "<ann@example.com>"), TEV_E_SMTP_ERROR);
    EXPECT_TRUE(srv.finish(3000)) << srv.error();
    EXPECT_EQ(srv.received(), "EHLO example.com\r\nSTARTTLS\r\n");
}

TEST_F(SmtpTls, ImplicitTlsSendsTheClientHelloFirstAndReadsNoGreetingInTheClear) {
    ScriptedServer srv;
    srv.expect(kTlsRecordStart).send("220 not TLS\r\n").waitForClientClose(3000);
    srv.start();
    tevIntegerParam(0, TEV_TLS_MODE, 2);
    EXPECT_EQ(connect(srv, "<ann@example.com>"), TEV_E_TLS_HANDSHAKE);
    EXPECT_TRUE(srv.finish(3000)) << srv.error();
    EXPECT_EQ(srv.received().substr(0, 2), kTlsRecordStart);
    const std::string trace = stableLog();
    EXPECT_TRUE(contains(trace, "<106>\r\n<180>\r\n<181>\r\n")) << trace;
    EXPECT_FALSE(contains(trace, "<201>")) << trace;
}

TEST_F(SmtpTls, CodesAndTexts) {
    EXPECT_EQ(tevIntegerParam(0, TEV_TLS_MODE, 4), -1);
    EXPECT_EQ(tevIntegerParam(0, TEV_TLS_MODE, -1), -1);
    EXPECT_EQ(rec().tlsMode, 0);
    EXPECT_EQ(tevIntegerParam(0, TEV_TLS_MODE, 2), 1);
    EXPECT_EQ(rec().tlsMode, 2);
    EXPECT_EQ(rec().tlsVerify, 1);
    EXPECT_EQ(tevIntegerParam(0, TEV_TLS_VERIFY, 0), 1);
    EXPECT_EQ(rec().tlsVerify, 0);
    EXPECT_EQ(tevStringParam(0, TEV_TLS_CA_FILE, "/tmp/ca.pem"), 11);
    EXPECT_STREQ(rec().tlsCaFile, "/tmp/ca.pem");
    EXPECT_EQ(tevStatistics(0, TEV_STAT_TLS), 0);
    char buffer[64] = "x";
    EXPECT_EQ(tevDebug(0, TEV_DEBUG_TLS, buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(errorText(TEV_E_TLS_HANDSHAKE), "TLS handshake failed.");
    EXPECT_EQ(errorText(TEV_E_TLS_UNAVAILABLE), "TLS not available in this build.");
    EXPECT_EQ(errorText(TEV_E_TLS_NOT_TRUSTED), "Server certificate not trusted.");
    tev::copyText(rec().tlsReason, "certificate has expired");
    EXPECT_EQ(errorText(TEV_E_TLS_NOT_TRUSTED), "Server certificate not trusted. certificate has expired");
    EXPECT_EQ(errorText(-83), "");  // not a code of this library
}

}  // namespace
