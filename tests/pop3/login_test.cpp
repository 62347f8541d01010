// POP3 login against the scripted loopback server: USER/PASS with its exact trace, APOP with the RFC 1939
// example, the timestamp rules, negative replies, a server that closes or never answers, and the argument checks
// of every export.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

#include "frame/record.h"
#include "frame/text.h"
#include "platform/platform.h"
#include "pop3/pop3_fixture.h"
#include "support/scripted_server.h"
#include "tev32.h"

using tevtest::ScriptedServer;
using tevtest::showBytes;

namespace {

class Pop3Login : public tevtest::Pop3Test {};

TEST_F(Pop3Login, UserPassSendsBothCommandsAndTracesEveryStep) {
    ScriptedServer srv;
    login(srv);
    srv.start();
    ASSERT_EQ(connectPop3(srv), 0);
    EXPECT_TRUE(srv.finish(2000)) << srv.error();
    EXPECT_EQ(srv.received(), loginWire());
    EXPECT_EQ(rec().nextState, 0);
    EXPECT_EQ(rec().sessionKind, 'P');
    EXPECT_EQ(tevStatistics(0, TEV_STAT_REPLY_CODE), 100);
    EXPECT_GT(rec().socket, 0);
    const std::string port = std::to_string(static_cast<int16_t>(srv.port()));
    EXPECT_EQ(traceFrom("*** tevPop3Connect"),
              "*** tevPop3Connect\r\n"
              "<300>\r\n"
              "TEV Win32 Version 3.4.2 Build 18\r\n"
              "<101>\r\n"
              "LocalHost\r\n"
              "<104>\r\n"
              "Server = '127.0.0.1'\r\n"
              "ServerIP = 127.0.0.1\r\n"
              "<105>\r\n"
              "Socket=N, RemoteAddr=7f000001, RemotePort=" + port + "\r\n"
              "<106>\r\n"
              "<301>\r\n"
              "P: +OK POP3 ready\r\n"
              "r: +OK POP3 ready\r\n"
              "<303>\r\n"
              "S: USER ann\r\n"
              "<304>\r\n"
              "P: +OK\r\n"
              "r: +OK\r\n"
              "<305>\r\n"
              "S: PASS secret\r\n"
              "<306>\r\n"
              "P: +OK logged in\r\n"
              "r: +OK logged in\r\n");
}

TEST_F(Pop3Login, ApopDigestMatchesTheRfc1939Example) {
    ScriptedServer srv;
    srv.send("+OK POP3 server ready <1896.697170952@dbc.mtview.ca.us>\r\n")
        .expectLine("APOP mrose c4c9334bac560ecc979e58001b3e22fb")
        .send("+OK maildrop has 1 message (369 octets)\r\n");
    srv.start();
    tevIntegerParam(0, TEV_USE_APOP, 1);
    tevIntegerParam(0, TEV_POP3_PORT, srv.port());
    ASSERT_EQ(tevPop3Connect(0, "127.0.0.1", "mrose", "tanstaaf"), 0);
    EXPECT_TRUE(srv.finish(2000)) << srv.error();
    EXPECT_EQ(srv.received(), "APOP mrose c4c9334bac560ecc979e58001b3e22fb\r\n");
    EXPECT_TRUE(contains(traceFrom("<301>"), "<302>\r\nS: APOP mrose c4c9334bac560ecc979e58001b3e22fb\r\n<306>\r\n"))
        << traceFrom("<301>");
}

TEST_F(Pop3Login, ApopWithoutTimestampFailsAfterTheGreetingAndSendsNothing) {
    ScriptedServer srv;
    srv.send("+OK POP3 ready\r\n").waitForClientClose(3000);
    srv.start();
    tevIntegerParam(0, TEV_USE_APOP, 1);
    EXPECT_EQ(connectPop3(srv), TEV_E_NO_APOP_TIMESTAMP);
    EXPECT_TRUE(srv.finish(3000)) << srv.error();
    EXPECT_EQ(srv.received(), "");
    EXPECT_EQ(rec().socket, 0);
    EXPECT_EQ(rec().nextState, 0);
    EXPECT_TRUE(contains(log(), "SockCode=0 TevCode=-57 PrevState=301 ThisState=302 NextState=302\r\n")) << log();
}

// The timestamp must leave room for the password and a NUL in the 132-byte buffer; it is kept whatever the login.
TEST_F(Pop3Login, TimestampIsStoredOnlyWhenItFitsWithThePassword) {
    tev::copyText(rec().pop3Password, "secret");
    struct Case {
        std::string greeting;
        std::string stored;
    };
    const std::string fits = "<" + std::string(123, 't') + ">";  // 125 + 6 + 1 = 132
    const std::string tooLong = "<" + std::string(124, 't') + ">";
    const Case cases[] = {
        {"+OK hello " + fits + "\r\n", fits},
        {"+OK hello " + tooLong + "\r\n", ""},
        {"+OK a>b <1.2@h> <x>\r\n", "<1.2@h>"},
        {"+OK open < but never closed\r\n", ""},
        {"+OK closed > only\r\n", ""},
    };
    for (const Case &c : cases) {
        tev::copyText(rec().authBuffer, "stale");
        feedRing(c.greeting);
        EXPECT_EQ(runState(301), 303) << c.greeting;
        EXPECT_EQ(std::string(rec().authBuffer), c.stored) << c.greeting;
        EXPECT_EQ(tev::ringCount(rec()), 0);
    }
}

TEST_F(Pop3Login, HugeGreetingTimestampIsIgnoredAndTheRestOfTheLineSkipped) {
    const std::string greeting = "+OK ready <" + std::string(2000, '7') + "@big.example>\r\n";
    ScriptedServer srv;
    srv.send(greeting).waitForClientClose(3000).nextConnection();
    login(srv, greeting);
    srv.start();

    tevIntegerParam(0, TEV_USE_APOP, 1);
    EXPECT_EQ(connectPop3(srv), TEV_E_NO_APOP_TIMESTAMP);
    EXPECT_EQ(rec().authBuffer[0], '\0');

    // USER/PASS still works: the greeting's tail is not taken for the reply to USER.
    tevIntegerParam(0, TEV_USE_APOP, 0);
    EXPECT_EQ(connectPop3(srv), 0);
    EXPECT_TRUE(srv.finish(3000)) << srv.error();
    EXPECT_EQ(srv.receivedOn(0), "");
    EXPECT_EQ(srv.receivedOn(1), loginWire());
    EXPECT_EQ(std::string(rec().lastReply), "+OK logged in\r\n");
}

TEST_F(Pop3Login, BadPasswordFailsWithTheServersLineInTheErrorText) {
    ScriptedServer srv;
    srv.send("+OK ready\r\n")
        .expectLine("USER ann")
        .send("+OK\r\n")
        .expectLine("PASS wrong")
        .send("-ERR [AUTH] Authentication failed.\r\n")
        .waitForClientClose(3000);
    srv.start();
    EXPECT_EQ(connectPop3(srv, "ann", "wrong"), TEV_E_POP3_ERROR);
    EXPECT_TRUE(srv.finish(3000)) << srv.error();
    EXPECT_EQ(errorText(TEV_E_POP3_ERROR), "POP3 returned error. -ERR [AUTH] Authentication failed.\r\n");
    EXPECT_EQ(tevStatistics(0, TEV_STAT_REPLY_CODE), 500);
    EXPECT_EQ(rec().socket, 0);
}

TEST_F(Pop3Login, NegativeGreetingFails) {
    ScriptedServer srv;
    srv.send("-ERR too busy\r\n").waitForClientClose(3000);
    srv.start();
    EXPECT_EQ(connectPop3(srv), TEV_E_POP3_ERROR);
    EXPECT_TRUE(srv.finish(3000)) << srv.error();
    EXPECT_EQ(srv.received(), "");
}

TEST_F(Pop3Login, ServerClosingBeforeTheStatusLineIsAFailedLogin) {
    ScriptedServer srv;
    srv.send("+OK ready\r\n").expectLine("USER ann").send("+OK\r\n").expectLine("PASS secret").close();
    srv.start();
    EXPECT_EQ(connectPop3(srv), TEV_E_SOCKET_CLOSED);
    EXPECT_TRUE(srv.finish(2000)) << srv.error();
    EXPECT_EQ(rec().socket, 0);
    EXPECT_TRUE(contains(log(), "SockCode=0 TevCode=-1 PrevState=")) << log();
    EXPECT_TRUE(contains(log(), "ThisState=306 NextState=306\r\n")) << log();
}

// "+OK" without its line end is no status: neither a close nor a stall after it lets the login succeed.
TEST_F(Pop3Login, StatusLineCutShortIsAFailedLogin) {
    for (bool closes : {true, false}) {
        ScriptedServer srv;
        srv.send("+OK ready\r\n").expectLine("USER ann").send("+OK\r\n").expectLine("PASS secret").send("+OK lo");
        if (closes) {
            srv.close();
        } else {
            srv.waitForClientClose(4000);
        }
        srv.start();
        EXPECT_EQ(connectPop3(srv), closes ? TEV_E_SOCKET_CLOSED : TEV_E_TIMEOUT) << closes;
        EXPECT_TRUE(srv.finish(4000)) << srv.error();
        EXPECT_EQ(rec().socket, 0);
        EXPECT_TRUE(contains(log(), "ThisState=306 NextState=306\r\n")) << log();
    }
}

TEST_F(Pop3Login, SilentServerTimesOutWithinTheResponseTimeout) {
    ScriptedServer srv;
    srv.waitForClientClose(5000);
    srv.start();
    const uint32_t start = tev::platform::tick();
    EXPECT_EQ(connectPop3(srv), TEV_E_TIMEOUT);
    const int32_t took = elapsedSince(start);
    EXPECT_GE(took, 1400);
    EXPECT_LT(took, 3500);
    EXPECT_TRUE(srv.finish(3000)) << srv.error();
    EXPECT_TRUE(contains(log(), "SockCode=0 TevCode=-8 PrevState=301 ThisState=-1 NextState=301\r\n")) << log();
}

TEST_F(Pop3Login, ConnectChecksItsArgumentsInOrder) {
    // No session yet: every mailbox export refuses.
    char buffer[256] = "";
    EXPECT_EQ(tevGetEmailCount(0), TEV_E_POP3_ONLY);
    EXPECT_EQ(tevGetEmailSize(0, 1), TEV_E_POP3_ONLY);
    EXPECT_EQ(tevDeleteEmail(0, 1), TEV_E_POP3_ONLY);
    EXPECT_EQ(tevGetEmailLines(0, 1, 0, buffer, sizeof buffer), TEV_E_POP3_ONLY);
    EXPECT_EQ(tevGetEmailFile(0, 1, "m", "d", "a"), TEV_E_POP3_ONLY);
    EXPECT_EQ(tevGetEmailUID(0, 1, buffer, sizeof buffer), TEV_E_POP3_ONLY);

    EXPECT_EQ(tevPop3Connect(0, nullptr, nullptr, nullptr), TEV_E_NO_SERVER);
    EXPECT_EQ(rec().sessionKind, 'P');  // set before the checks
    EXPECT_EQ(tevPop3Connect(0, "mail@host", nullptr, "pw"), TEV_E_NO_USER);
    EXPECT_EQ(tevPop3Connect(0, "mail@host", "ann", nullptr), TEV_E_NO_PASSWORD);
    EXPECT_EQ(tevPop3Connect(0, "mail@host", "ann", "pw"), TEV_E_BAD_SERVER_NAME);
    EXPECT_EQ(tevPop3Connect(0, "host\x7f", "ann", "pw"), TEV_E_BAD_SERVER_NAME);
    // A line break in a credential would smuggle a second command onto the wire.
    EXPECT_EQ(tevPop3Connect(0, "host", "ann\r\nDELE 1", "pw"), TEV_E_NO_USER);
    EXPECT_EQ(tevPop3Connect(0, "host", "ann", "pw\nDELE 1"), TEV_E_NO_PASSWORD);
    EXPECT_EQ(rec().serverName[0], '\0');  // nothing stored by a refused call
    EXPECT_EQ(tevPop3Connect(5, "host", "ann", "pw"), TEV_E_CHANNEL_RANGE);

    // Every call on the attached channel wrote its entry line, the refused ones included.
    const std::string trace = log();
    size_t entries = 0;
    for (size_t at = trace.find("*** tevPop3Connect\r\n"); at != std::string::npos;
         at = trace.find("*** tevPop3Connect\r\n", at + 1)) {
        ++entries;
    }
    EXPECT_EQ(entries, 7u);
    EXPECT_TRUE(contains(trace, "*** tevGetEmailCount\r\n*** tevGetEmailSize\r\n*** tevDelete\r\n"
                                "*** tevGetEmailLines\r\n*** tevGetEmailFile\r\n*** tevGetEmailUID\r\n"));
}

TEST_F(Pop3Login, MailboxExportsCheckTheirArgumentsBeforeSending) {
    rec().sessionKind = 'P';  // no connection: a check that passed would reach a failing send instead
    char buffer[256];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(tevGetEmailSize(0, 0), TEV_E_NO_SUCH_MESSAGE);
    EXPECT_EQ(tevDeleteEmail(0, -1), TEV_E_NO_SUCH_MESSAGE);
    EXPECT_EQ(tevGetEmailLines(0, 0, 5, buffer, sizeof buffer), TEV_E_NO_SUCH_MESSAGE);
    EXPECT_EQ(tevGetEmailLines(0, 1, 5, nullptr, 10), TEV_E_BUFFER_NULL);  // before the size check
    EXPECT_EQ(tevGetEmailLines(0, 1, 5, buffer, 127), TEV_E_BUFFER_TOO_SMALL);
    char star[] = "*";
    EXPECT_EQ(tevGetEmailLines(0, 1, 5, star, INT32_MAX), TEV_E_NO_MEMORY);
    EXPECT_EQ(tevGetEmailLines(0, 1, 5, star, -10), TEV_E_NO_MEMORY);
    EXPECT_EQ(tevGetEmailFile(0, 0, "m", "d", "a"), TEV_E_NO_SUCH_MESSAGE);
    EXPECT_EQ(tevGetEmailFile(0, 1, nullptr, "d", "a"), TEV_E_MISSING_FILENAME);
    EXPECT_EQ(tevGetEmailFile(0, 1, "m", nullptr, "a"), TEV_E_MISSING_EMAIL_PATH);
    EXPECT_EQ(tevGetEmailFile(0, 1, "m", "d", nullptr), TEV_E_MISSING_ATTACH_PATH);
    EXPECT_EQ(tevGetEmailUID(0, 1, nullptr, 200), TEV_E_BUFFER_NULL);
    EXPECT_EQ(tevGetEmailUID(0, 1, buffer, 127), TEV_E_BUFFER_TOO_SMALL);
    EXPECT_EQ(buffer[0], 'x');
    EXPECT_FALSE(contains(log(), "S: "));

    // Without a connection the command's send fails: -51, or -52 for UIDL.
    EXPECT_EQ(tevGetEmailCount(0), TEV_E_READ);
    EXPECT_EQ(tevGetEmailUID(0, -1, buffer, sizeof buffer), TEV_E_WRITE);
    EXPECT_EQ(buffer[0], '\0');  // emptied when the operation started
}

}  // namespace
