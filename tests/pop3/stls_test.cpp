// STLS (RFC 2595) and implicit TLS for POP3 against the scripted loopback server: CAPA after the greeting in the
// modes that want TLS, -80 when STLS is required and not offered (nothing of the login sent), the clear-text
// login when it is only wanted, and a server that pipelines a reply behind its "+OK" to STLS.
#include <gtest/gtest.h>

#include <string>

#include "frame/record.h"
#include "pop3/pop3_fixture.h"
#include "support/scripted_server.h"
#include "tev32.h"

using tevtest::ScriptedServer;
using tevtest::showBytes;

namespace {

class Pop3Tls : public tevtest::Pop3Test {};


const std::string kTlsRecordStart("\x16\x03", 2);

TEST_F(Pop3Tls, RequiredWithoutStlsInCapaEndsWithMinus80AndSendsNoCredential) {
    for (const char *capa : {"+OK\r\nUSER\r\nSTLSX\r\n.\r\n", "-ERR unknown command\r\n"}) {
        for (int autoCall : {1, 0}) {
            SCOPED_TRACE(std::string(capa) + std::to_string(autoCall));
            ScriptedServer srv;
            srv.send("+OK POP3 ready\r\n").expectLine("CAPA").send(capa).waitForClientClose(3000);
            srv.start();
            tevIntegerParam(0, TEV_AUTO_CALL, autoCall);
            tevIntegerParam(0, TEV_TLS_MODE, 1);
            int32_t rc = connectPop3(srv);
            if (!autoCall) {
                ASSERT_EQ(rc, 0);
                rc = drive();
            }
            EXPECT_EQ(rc, TEV_E_NO_STARTTLS);
            EXPECT_TRUE(srv.finish(3000)) << srv.error();
            EXPECT_EQ(srv.received(), "CAPA\r\n");
            EXPECT_EQ(rec().socket, 0);
        }
    }
}

TEST_F(Pop3Tls, IfOfferedLogsInInTheClearWhenNotOffered) {
    ScriptedServer srv;
    srv.send("+OK POP3 ready\r\n").expectLine("CAPA").send("+OK\r\nTOP\r\nUSER\r\n.\r\n");
    login(srv, "");
    srv.start();
    tevIntegerParam(0, TEV_TLS_MODE, 3);
    EXPECT_EQ(connectPop3(srv), 0);
    EXPECT_TRUE(srv.finish(3000)) << srv.error();
    EXPECT_EQ(srv.received(), std::string("CAPA\r\n") + loginWire());
}

TEST_F(Pop3Tls, TheGreetingTimestampStaysValidForApopAfterCapa) {
    ScriptedServer srv;
    srv.send("+OK POP3 server ready <1896.697170952@dbc.mtview.ca.us>\r\n")
        .expectLine("CAPA")
        .send("+OK\r\nUSER\r\n.\r\n")
        .expectLine("APOP mrose c4c9334bac560ecc979e58001b3e22fb")
        .send("+OK maildrop has 1 message (369 octets)\r\n");
    srv.start();
    tevIntegerParam(0, TEV_USE_APOP, 1);
    tevIntegerParam(0, TEV_TLS_MODE, 3);
    EXPECT_EQ(connectPop3(srv, "mrose", "tanstaaf"), 0);
    EXPECT_TRUE(srv.finish(3000)) << srv.error();
}

TEST_F(Pop3Tls, RepliesInjectedBehindTheStlsReplyAreDiscardedAndTheHandshakeFollows) {
    ScriptedServer srv;
    srv.send("+OK POP3 ready\r\n")
        .expectLine("CAPA")
        .send("+OK\r\nUSER\r\nstls\r\n.\r\n")
        .expectLine("STLS")
        .send("+OK begin TLS\r\n+OK INJECTED\r\n")
        .expect(kTlsRecordStart)
        .close();
    srv.start();
    tevIntegerParam(0, TEV_TLS_MODE, 1);
    EXPECT_EQ(connectPop3(srv), TEV_E_TLS_HANDSHAKE);
    EXPECT_TRUE(srv.finish(3000)) << srv.error();
    const std::string wire = srv.received();
    EXPECT_EQ(wire.substr(0, 12), "CAPA\r\nSTLS\r\n") << showBytes(wire, 200);
    EXPECT_EQ(wire.substr(12, 2), kTlsRecordStart);
    EXPECT_FALSE(contains(wire, "USER"));
    const std::string trace = stableLog();
    EXPECT_TRUE(contains(trace, "TLS: 14 bytes received in the clear discarded\r\n")) << trace;
    EXPECT_FALSE(contains(trace, "r: +OK INJECTED")) << trace;
    EXPECT_EQ(rec().tlsSession, nullptr);
}

TEST_F(Pop3Tls, StlsRefusedIsAPop3Error) {
    ScriptedServer srv;
    srv.send("+OK POP3 ready\r\n")
        .expectLine("CAPA")
        .send("+OK\r\nSTLS\r\n.\r\n")
        .expectLine("STLS")
        .send("-ERR not now\r\n")
        .waitForClientClose(3000);
    srv.start();
    tevIntegerParam(0, TEV_TLS_MODE, 3);
    EXPECT_EQ(connectPop3(srv), TEV_E_POP3_ERROR);
    EXPECT_TRUE(srv.finish(3000)) << srv.error();
    EXPECT_EQ(srv.received(), "CAPA\r\nSTLS\r\n");
}

TEST_F(Pop3Tls, ImplicitTlsSendsTheClientHelloBeforeAnything) {
    ScriptedServer srv;
    srv.expect(kTlsRecordStart).send("+OK not TLS\r\n").waitForClientClose(3000);
    srv.start();
    tevIntegerParam(0, TEV_TLS_MODE, 2);
    EXPECT_EQ(connectPop3(srv), TEV_E_TLS_HANDSHAKE);
    EXPECT_TRUE(srv.finish(3000)) << srv.error();
    EXPECT_TRUE(contains(stableLog(), "<106>\r\n<330>\r\n<331>\r\n")) << stableLog();
}

}  // namespace
