// The SMTP session against the scripted loopback server: greeting, EHLO/HELO, the choice of authentication, the
// three AUTH exchanges byte for byte, VRFY, and every way the connect can fail.  Reply states that need no
// server (the choice of mechanism, the CRAM-MD5 challenge) are run on bytes put straight into the receive ring.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "engine/transport.h"
#include "frame/record.h"
#include "frame/text.h"
#include "platform/platform.h"
#include "smtp/session_fixture.h"
#include "support/scripted_server.h"
#include "support/trace.h"
#include "tev32.h"

using tevtest::ScriptedServer;
using tevtest::showBytes;

namespace {

class SmtpSession : public tevtest::SessionTest {};

bool contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

std::string errorText(int32_t code) {
    char buffer[512];
    tevErrorText(0, code, buffer, sizeof buffer);
    return buffer;
}

// ---------------------------------------------------------------- greeting and EHLO/HELO

TEST_F(SmtpSession, HeloCarriesDomainOfDisplayNameSenderAndNeverAuthenticates) {
    ScriptedServer srv;
    srv.send("220 mail.test ready\r\n")
        .expectLine("HELO example.com")
        .send("250-mail.test\r\n250 AUTH LOGIN\r\n");
    srv.start();
    ASSERT_EQ(connect(srv, "Ann Lee <ann@example.com>"), 0);
    EXPECT_TRUE(srv.finish(2000)) << srv.error();
    EXPECT_EQ(srv.received(), "HELO example.com\r\n");
    EXPECT_EQ(rec().nextState, 0);
    EXPECT_EQ(rec().replyCode, 250);
    EXPECT_GT(rec().socket, 0);

    // The whole trace of the connect, with the host name and the socket number (which vary) taken out.
    std::string trace = stableLog();
    const std::string localHost = "LocalHost = '";
    size_t from = trace.find(localHost), to = trace.find("'\r\n", from + localHost.size());
    ASSERT_NE(to, std::string::npos);
    trace.replace(from, to + 3 - from, "LocalHost\r\n");
    from = trace.find("Socket=");
    to = trace.find(',', from);
    ASSERT_NE(to, std::string::npos);
    trace.replace(from, to - from, "Socket=N");
    const std::string port = std::to_string(static_cast<int16_t>(srv.port()));
    EXPECT_EQ(trace, "*** tevIntegerParam(0,15," + std::to_string(srv.port()) + ")\r\n"
                     "*** tevSmtpConnect\r\n"
                     "<200>\r\n"
                     "TEV Win32 Version 3.4.2 Build 18\r\n"
                     "<101>\r\n"
                     "LocalHost\r\n"
                     "<104>\r\n"
                     "Server = '127.0.0.1'\r\n"
                     "ServerIP = 127.0.0.1\r\n"
                     "<105>\r\n"
                     "Socket=N, RemoteAddr=7f000001, RemotePort=" + port + "\r\n"
                     "<106>\r\n"
                     "<201>\r\n"
                     "P: 220 mail.test ready\r\n"
                     "r: 220 mail.test ready\r\n"
                     "<202>\r\n"
                     "S: HELO example.com\r\n"
                     "<203>\r\n"
                     "P: 250-mail.test\r\n250 AUTH LOGIN\r\n"
                     "r: 250-mail.test\r\n"
                     "r: 250 AUTH LOGIN\r\n")
        << showBytes(trace, 2000);
}

TEST_F(SmtpSession, SenderWithoutDomainGreetsWithDefaultDomain) {
    tevIntegerParam(0, TEV_USE_EHLO, 1);
    ScriptedServer srv;
    srv.send("220 hi\r\n").expectLine("EHLO localhost.localdomain").send("250-mail.test\r\n250 8BITMIME\r\n");
    srv.start();
    ASSERT_EQ(connect(srv, "Postmaster <postmaster>"), 0);  // no AUTH offered: open without authentication
    EXPECT_TRUE(srv.finish(2000)) << srv.error();
    EXPECT_EQ(srv.received(), "EHLO localhost.localdomain\r\n");
    EXPECT_EQ(tevStatistics(0, TEV_STAT_REPLY_CODE), 250);
}

TEST_F(SmtpSession, ConnectStoresInputsAndStartsClean) {
    tevIntegerParam(0, TEV_AUTO_CALL, 0);
    tevIntegerParam(0, TEV_SMTP_PORT, 2525);
    tevStringParam(0, TEV_REPLY_TO, "<old@x>");
    rec().attachmentsSaved = 7;
    feedRing("left over");
    rec().lastSocketError = -10054;
    ASSERT_EQ(tevSmtpConnect(0, "mail.example.com", "<ann@example.com>", nullptr), 0);
    EXPECT_EQ(rec().nextState, 200);
    EXPECT_EQ(rec().remotePort, 2525);
    EXPECT_EQ(tevStatistics(0, TEV_STAT_ATTACH_SAVED), 0);
    EXPECT_EQ(tev::ringCount(rec()), 0);
    EXPECT_EQ(rec().lastSocketError, 0);
    EXPECT_STREQ(rec().serverName, "mail.example.com");
    EXPECT_STREQ(rec().fromAddress, "<ann@example.com>");
    EXPECT_STREQ(rec().replyTo, "");
    ASSERT_EQ(tevSmtpConnect(0, "", "<a@b>", "<reply@x>"), 0);  // an empty server name passes the name check
    EXPECT_STREQ(rec().replyTo, "<reply@x>");
    ASSERT_EQ(tevSmtpConnect(0, "x", "<a@b>", ""), 0);
    EXPECT_STREQ(rec().replyTo, "");
    // Long texts are cut to 128 characters, never refused.
    const std::string longName(300, 'h');
    const std::string longFrom = "<" + std::string(200, 'a') + "@b>";
    ASSERT_EQ(tevSmtpConnect(0, longName.c_str(), longFrom.c_str(), longFrom.c_str()), 0);
    EXPECT_EQ(std::strlen(rec().serverName), 128u);
    EXPECT_EQ(std::strlen(rec().fromAddress), 128u);
    EXPECT_EQ(std::strlen(rec().replyTo), 128u);
}

// ---------------------------------------------------------------- bad input

TEST_F(SmtpSession, ArgumentChecksInOrder) {
    EXPECT_EQ(tevSmtpConnect(0, nullptr, nullptr, nullptr), TEV_E_NO_SERVER);
    EXPECT_EQ(rec().sessionKind, 'S');  // set before the checks
    EXPECT_EQ(tevSmtpConnect(0, "127.0.0.1", nullptr, nullptr), TEV_E_FROM_NULL);
    EXPECT_EQ(tevSmtpConnect(0, "bad@name", nullptr, nullptr), TEV_E_FROM_NULL);
    for (const char *server : {"mail@example.com", "<mail", "mail>", "ma\x01il", "mail\x7f", "mail\x80", "\xbf"}) {
        EXPECT_EQ(tevSmtpConnect(0, server, "<a@b>", nullptr), TEV_E_BAD_SERVER_NAME) << showBytes(server);
    }
    EXPECT_EQ(tevSmtpConnect(0, "m\xc0il", "", nullptr), TEV_E_EMPTY_ADDRESS);  // 0xC0 and above are allowed
    EXPECT_EQ(tevSmtpConnect(0, "127.0.0.1", "<ann@example.com", nullptr), TEV_E_MISSING_GT);
    EXPECT_EQ(tevSmtpConnect(0, "127.0.0.1", "ann@example.com> <", nullptr), TEV_E_MISSING_GT);
    EXPECT_EQ(rec().nextState, 0);
    EXPECT_EQ(tevSmtpConnect(5, "127.0.0.1", "<a@b>", nullptr), TEV_E_CHANNEL_RANGE);
    EXPECT_FALSE(contains(log(), "ERROR"));
}

TEST_F(SmtpSession, MissingOpeningBracketGoesThroughTheErrorExit) {
    rec().nextState = 272;
    EXPECT_EQ(tevSmtpConnect(0, "127.0.0.1", "ann@example.com", nullptr), TEV_E_MISSING_LT);
    EXPECT_EQ(rec().nextState, 0);
    const std::string trace = log();
    EXPECT_TRUE(contains(trace, "*** tevSmtpConnect\r\nERROR(")) << trace;
    EXPECT_TRUE(contains(trace, "): SockCode=0 TevCode=-41 PrevState=-2 ThisState=-1 NextState=272\r\n"
                                "Missing '<' delimiter in email address.Closing socket\r\n"))
        << showBytes(trace);
}

TEST_F(SmtpSession, LineBreaksInAddressesAreRefusedBeforeTheyAreStored) {
    tevStringParam(0, TEV_FROM_ADDRESS, "<old@x>");
    tevStringParam(0, TEV_REPLY_TO, "<oldreply@x>");
    tev::copyText(rec().serverName, "old.server");
    // The Reply-To address is checked (and stored) before the server name is stored.
    EXPECT_EQ(tevSmtpConnect(0, "127.0.0.1", "<ann@example.com>", "<r@x>\r\n"), TEV_E_BAD_ADDRESS_CHAR);
    EXPECT_EQ(tevSmtpConnect(0, "127.0.0.1", "<ann@example.com>", "\r"), TEV_E_BAD_ADDRESS_CHAR);
    EXPECT_STREQ(rec().replyTo, "<oldreply@x>");
    EXPECT_STREQ(rec().serverName, "old.server");
    // The sender is checked after the server name and the Reply-To address are stored.
    EXPECT_EQ(tevSmtpConnect(0, "127.0.0.1", "<ann@example.com>\r\nRSET", "<new@x>"), TEV_E_BAD_ADDRESS_CHAR);
    EXPECT_EQ(tevSmtpConnect(0, "127.0.0.1", "<ann@exa\nmple.com>", "<new@x>"), TEV_E_BAD_ADDRESS_CHAR);
    EXPECT_STREQ(rec().fromAddress, "<old@x>");
    EXPECT_STREQ(rec().replyTo, "<new@x>");
    EXPECT_EQ(rec().nextState, 0);
    EXPECT_FALSE(contains(log(), "ERROR"));
}

TEST_F(SmtpSession, VerifyUserArgumentChecks) {
    EXPECT_EQ(tevVerifyUser(0, "a"), TEV_E_SMTP_ONLY);  // no session yet
    EXPECT_EQ(tevVerifyUser(7, "a"), TEV_E_CHANNEL_RANGE);
    EXPECT_EQ(tevSmtpConnect(0, nullptr, nullptr, nullptr), TEV_E_NO_SERVER);  // the channel is now SMTP
    EXPECT_EQ(tevVerifyUser(0, nullptr), TEV_E_NO_RECIPIENT);
    EXPECT_EQ(tevVerifyUser(0, ""), TEV_E_NO_RECIPIENT);
    EXPECT_EQ(tevVerifyUser(0, "ann\r\nRSET"), TEV_E_BAD_ADDRESS_CHAR);
    EXPECT_EQ(rec().addressCursor, nullptr);
    EXPECT_EQ(rec().nextState, 0);
    tevIntegerParam(0, TEV_AUTO_CALL, 0);
    rec().deadline = 5;  // left over from an earlier operation, long past
    EXPECT_EQ(tevVerifyUser(0, "a,b"), 0);
    EXPECT_EQ(rec().nextState, 270);
    EXPECT_EQ(rec().deadline, 0u);
    EXPECT_STREQ(rec().addressCursor, "a,b");
}

// ---------------------------------------------------------------- choosing the authentication

struct AuthChoice {
    const char *reply;
    int32_t state;
};

TEST_F(SmtpSession, EhloReplySelectsMechanism) {
    tevIntegerParam(0, TEV_USE_EHLO, 1);
    const AuthChoice cases[] = {
        {"250-mail.test\r\n250-AUTH PLAIN CRAM-MD5\r\n250 OK\r\n", 150},
        {"250-mail.test\r\n250-AUTH LOGIN PLAIN\r\n250 OK\r\n", 160},
        {"250-mail.test\r\n250 AUTH LOGIN PLAIN\r\n", 160},
        {"250-mail.test\r\n250-auth login\r\n250 OK\r\n", 160},
        {"250-mail.test\r\n250-AUTH PLAIN\r\n250 OK\r\n", 170},
        {"250-mail.test\r\n250-AUTH=LOGIN\r\n250 OK\r\n", 0},
        {"250-mail.test\r\n250-SIZE 1000\r\n250 OK\r\n", 0},
        {"250-PLAIN LOGIN\r\n250 AUTH GSSAPI\r\n", 0},  // mechanisms count only after the AUTH keyword
        {"250 OK\r\n", 0},
    };
    for (const AuthChoice &c : cases) {
        tev::emptyRing(rec());
        feedRing(c.reply);
        EXPECT_EQ(runState(203), c.state) << showBytes(c.reply);
        EXPECT_EQ(tev::ringCount(rec()), 0);
    }
    tevIntegerParam(0, TEV_USE_EHLO, 0);
    feedRing("250-mail.test\r\n250 AUTH CRAM-MD5 LOGIN PLAIN\r\n");
    EXPECT_EQ(runState(203), 0);
}

// ---------------------------------------------------------------- the CRAM-MD5 challenge (no server needed)

TEST_F(SmtpSession, EmptyChallengeLeavesEmptyBuffer) {
    for (const char *reply : {"334 \r\n", "334\r\n"}) {
        tev::copyText(rec().authBuffer, "old text");
        feedRing(reply);
        EXPECT_EQ(runState(151), 152) << reply;
        EXPECT_STREQ(rec().authBuffer, "");
    }
    EXPECT_TRUE(contains(log(), "Challenge ''\r\n"));
}

TEST_F(SmtpSession, LongChallengeIsCutToTheAuthenticationBuffer) {
    std::string challenge;
    for (int i = 0; i < 200; ++i) challenge += static_cast<char>('a' + i % 26);
    char encoded[400];
    int32_t n = tevEncodeBuffer(challenge.data(), encoded, static_cast<int32_t>(challenge.size()));
    // The encoder breaks its output into 76-character lines; the reply carries it on one line.
    std::string oneLine;
    for (int32_t i = 0; i < n; ++i) {
        if (encoded[i] != '\r' && encoded[i] != '\n') oneLine += encoded[i];
    }
    feedRing("334 " + oneLine + "\r\n");
    EXPECT_EQ(runState(151), 152);
    EXPECT_EQ(std::string(rec().authBuffer), challenge.substr(0, sizeof rec().authBuffer - 1));
}

// The response to a challenge for a user name longer than 24 characters is more than 57 bytes: one line all
// the same.  (Without a socket the send fails after it is logged.)
TEST_F(SmtpSession, LongCramResponseIsOneLine) {
    setCredentials("a-rather-long-user-name-of-40-characters", "pw");
    tev::copyText(rec().authBuffer, "<1.2@x>");
    EXPECT_EQ(runState(152), TEV_E_WRITE);
    const std::string trace = log();
    const size_t at = trace.find("S: ");
    ASSERT_NE(at, std::string::npos);
    const std::string line = trace.substr(at + 3, trace.find("\r\n", at) + 2 - at - 3);
    EXPECT_EQ(line.size(), 4u * ((40 + 1 + 32 + 2) / 3) + 2) << line;
    EXPECT_EQ(line.find('\n'), line.size() - 1);
    char decoded[200] = {};
    tevDecodeBuffer(line.c_str(), decoded, static_cast<int32_t>(line.size()));
    EXPECT_EQ(std::string(decoded).substr(0, 41), "a-rather-long-user-name-of-40-characters ");
}

// ---------------------------------------------------------------- AUTH exchanges

TEST_F(SmtpSession, CramMd5ExchangeOfRfc2195) {
    tevIntegerParam(0, TEV_USE_EHLO, 1);
    setCredentials("tim", "tanstaaftanstaaf");
    ScriptedServer srv;
    srv.send("220 postoffice.reston.mci.net ESMTP\r\n")
        .expectLine("EHLO reston.mci.net")
        .send("250-postoffice.reston.mci.net\r\n250-AUTH LOGIN CRAM-MD5\r\n250 OK\r\n")
        .expectLine("AUTH CRAM-MD5")
        .send("334 PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+\r\n")
        .expectLine("dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw")
        .send("235 2.7.0 Authentication successful\r\n")
        .expectLine("QUIT")
        .send("221 bye\r\n")
        .waitForClientClose(3000);
    srv.start();
    ASSERT_EQ(connect(srv, "<tim@reston.mci.net>"), 0);
    EXPECT_EQ(tevClose(0), 0);
    EXPECT_TRUE(srv.finish(3000)) << srv.error();
    EXPECT_EQ(srv.received(), "EHLO reston.mci.net\r\n"
                              "AUTH CRAM-MD5\r\n"
                              "dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw\r\n"
                              "QUIT\r\n");
    const std::string trace = stableLog();
    EXPECT_TRUE(contains(trace, "<151>\r\nP: 334 PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+\r\n"
                                "r: 334 PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+\r\n"
                                "Challenge '<1896.697170952@postoffice.reston.mci.net>'\r\n"
                                "<152>\r\n"
                                "S: dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw\r\n"
                                "<153>\r\n"
                                "P: 235 2.7.0 Authentication successful\r\n"
                                "r: 235 2.7.0 Authentication successful\r\n"
                                "AUTH CRAM-MD5 ok\r\n"))
        << showBytes(trace, 3000);
}

TEST_F(SmtpSession, LoginExchange) {
    tevIntegerParam(0, TEV_USE_EHLO, 1);
    setCredentials("ann", "secret");
    ScriptedServer srv;
    srv.send("220 hi\r\n")
        .expectLine("EHLO example.com")
        .send("250-mail.test\r\n250 AUTH LOGIN PLAIN\r\n")
        .expectLine("AUTH LOGIN")
        .send("334 VXNlcm5hbWU6\r\n")
        .expectLine("YW5u")
        .send("334 UGFzc3dvcmQ6\r\n")
        .expectLine("c2VjcmV0")
        .send("235 ok\r\n");
    srv.start();
    ASSERT_EQ(connect(srv, "Ann <ann@example.com>"), 0);
    EXPECT_TRUE(srv.finish(2000)) << srv.error();
    EXPECT_EQ(srv.received(), "EHLO example.com\r\nAUTH LOGIN\r\nYW5u\r\nc2VjcmV0\r\n");
    EXPECT_TRUE(contains(log(), "r: 235 ok\r\nAUTH LOGIN ok\r\n"));
}

TEST_F(SmtpSession, PlainCredentialOfSixtyBytesGoesOutAsOneLine) {
    tevIntegerParam(0, TEV_USE_EHLO, 1);
    setCredentials("abcdefghijklmnopqrstuv", "0123456789ABCD");  // 22 + 14 characters: 60 bytes with the NULs
    ScriptedServer srv;
    srv.send("220 hi\r\n")
        .expectLine("EHLO example.com")
        .send("250-mail.test\r\n250 AUTH PLAIN\r\n")
        .expectLine("AUTH PLAIN YWJjZGVmZ2hpamtsbW5vcHFyc3R1dgBhYmNkZWZnaGlqa2xtbm9wcXJzdHV2ADAxMjM0NTY3ODlBQkNE")
        .send("235 ok\r\n");
    srv.start();
    ASSERT_EQ(connect(srv, "<ann@example.com>"), 0);
    EXPECT_TRUE(srv.finish(2000)) << srv.error();
    EXPECT_TRUE(contains(log(), "r: 235 ok\r\nAUTH PLAIN ok\r\n"));
}

TEST_F(SmtpSession, RefusedAuthenticationEndsConnectWithServerText) {
    tevIntegerParam(0, TEV_USE_EHLO, 1);
    setCredentials("ann", "wrong");
    ScriptedServer srv;
    srv.send("220 hi\r\n")
        .expectLine("EHLO example.com")
        .send("250 AUTH PLAIN\r\n")
        .expectLine("AUTH PLAIN YW5uAGFubgB3cm9uZw==")
        .send("535 5.7.8 Authentication credentials invalid\r\n")
        .waitForClientClose(3000);
    srv.start();
    EXPECT_EQ(connect(srv, "<ann@example.com>"), TEV_E_SMTP_ERROR);
    EXPECT_TRUE(srv.finish(3000)) << srv.error();
    EXPECT_EQ(errorText(TEV_E_SMTP_ERROR), "SMTP returned error. 535 5.7.8 Authentication credentials invalid\r\n");
    EXPECT_EQ(tevStatistics(0, TEV_STAT_REPLY_CODE), 535);
    EXPECT_EQ(rec().socket, 0);
    EXPECT_EQ(rec().nextState, 0);
    EXPECT_TRUE(contains(log(), "SockCode=0 TevCode=-49 PrevState=17"));
    EXPECT_TRUE(contains(log(), " ThisState=171 NextState=171\r\n"));
}


// The trace shows an error text in at most 127 characters.  A longer one (a long reply) is cut there and keeps a
// line end, so "Closing socket" starts a line of its own; texts that fit are written as they are.  The reply
// itself stays whole for tevErrorText.
TEST_F(SmtpSession, ErrorTextCutInTheTraceKeepsItsLineEnd) {
    const std::string prefix = "SMTP returned error. ";
    struct Case {
        std::string reply;   // the greeting, without its CR LF
        std::string traced;  // what follows the ERROR line
    } cases[] = {
        {"554 " + std::string(200, 'x'), prefix + "554 " + std::string(125 - prefix.size() - 4, 'x') + "\r\n"},
        // Exactly 127 characters with the CR LF: nothing cut.
        {"554 " + std::string(127 - prefix.size() - 6, 'y'), prefix + "554 " + std::string(127 - prefix.size() - 6, 'y') + "\r\n"},
        // 128: the line end would be cut in two.
        {"554 " + std::string(128 - prefix.size() - 6, 'z'), prefix + "554 " + std::string(125 - prefix.size() - 4, 'z') + "\r\n"},
        {"554 no", prefix + "554 no\r\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.reply.size());
        ASSERT_LE(c.traced.size(), 127u);
        ASSERT_GT(tevStringParam(0, TEV_LOG_FILE, logPath.c_str()), 0);  // a fresh trace
        ScriptedServer srv;
        srv.send(c.reply + "\r\n").waitForClientClose(3000);
        srv.start();
        EXPECT_EQ(connect(srv, "<ann@example.com>"), TEV_E_SMTP_ERROR);
        EXPECT_TRUE(srv.finish(3000)) << srv.error();
        EXPECT_EQ(errorText(TEV_E_SMTP_ERROR), prefix + c.reply + "\r\n");
        const std::string trace = log();
        EXPECT_TRUE(contains(trace, " ThisState=201 NextState=201\r\n" + c.traced + "Closing socket\r\n"))
            << showBytes(trace, 2000);
    }
}
// ---------------------------------------------------------------- VRFY

TEST_F(SmtpSession, VerifySendsEveryNameAndReturnsTheLastResult) {
    ScriptedServer srv;
    srv.send("220 hi\r\n")
        .expectLine("HELO example.com")
        .send("250 ok\r\n")
        .expectLine("VRFY a")
        .send("250 <a@example.com>\r\n")
        .expectLine("VRFY  b")
        // A refusal of several lines is read whole before the next name goes out.
        .send("550-No such user\r\n550 Really not\r\n")
        .expectLine("VRFY c")
        .send("250 <c@example.com>\r\n")
        .expectLine("VRFY d")
        .send("252 Cannot verify\r\n");
    srv.start();
    ASSERT_EQ(connect(srv, "<ann@example.com>"), 0);
    EXPECT_EQ(tevVerifyUser(0, "a, b,c"), 1);
    EXPECT_EQ(tevVerifyUser(0, "d"), 0);
    EXPECT_EQ(tevStatistics(0, TEV_STAT_VERIFY_RESULT), 0);
    EXPECT_TRUE(srv.finish(2000)) << srv.error();
    EXPECT_EQ(srv.received(), "HELO example.com\r\nVRFY a\r\nVRFY  b\r\nVRFY c\r\nVRFY d\r\n");
    EXPECT_GT(rec().socket, 0);  // the session stays open
    EXPECT_TRUE(contains(stableLog(), "*** tevVerifyUser\r\n<270>\r\n<271>\r\nS: VRFY a\r\n"));
}

TEST_F(SmtpSession, VerifyDropsAnOverlongReplyAndStopsAtAClose) {
    std::string longReply;
    for (int i = 0; i < 12; ++i) longReply += "250-" + std::string(96, 'x') + "\r\n";
    longReply += "250 end\r\n";
    ScriptedServer srv;
    srv.send("220 hi\r\n")
        .expectLine("HELO example.com")
        .send("250 ok\r\n")
        .expectLine("VRFY a")
        .send(longReply)
        .expectLine("VRFY b")
        .send("250 <b@example.com>\r\n")
        .expectLine("VRFY c")
        .close();
    srv.start();
    ASSERT_EQ(connect(srv, "<ann@example.com>"), 0);
    tevIntegerParam(0, TEV_AUTO_CALL, 0);
    ASSERT_EQ(tevVerifyUser(0, "a,b,c"), 0);
    // a: the reply overflows the reply room; the rest of it is dropped, the result is 0.
    EXPECT_EQ(drive(271), 271);
    EXPECT_EQ(drive(270), 270);
    EXPECT_EQ(tevStatistics(0, TEV_STAT_VERIFY_RESULT), 0);
    // b: read cleanly after it.
    EXPECT_EQ(drive(270), 270);
    EXPECT_EQ(tevStatistics(0, TEV_STAT_VERIFY_RESULT), 1);
    // c: the server closes instead of answering.
    EXPECT_EQ(drive(), TEV_E_SOCKET_CLOSED);
    EXPECT_EQ(rec().socket, 0);
    EXPECT_TRUE(srv.finish(2000)) << srv.error();
    EXPECT_EQ(srv.received(), "HELO example.com\r\nVRFY a\r\nVRFY b\r\nVRFY c\r\n");
}

// ---------------------------------------------------------------- connections that fail

struct Drop {
    const char *what;
    void (*script)(ScriptedServer &);
};

TEST_F(SmtpSession, ServerClosingEarlyFailsWithSocketClosed) {
    tevIntegerParam(0, TEV_USE_EHLO, 1);
    setCredentials("ann", "secret");
    const Drop drops[] = {
        {"after the greeting", [](ScriptedServer &s) { s.send("220 hi\r\n").close(); }},
        {"after EHLO", [](ScriptedServer &s) { s.send("220 hi\r\n").expectLine("EHLO example.com").close(); }},
        {"in the middle of AUTH",
         [](ScriptedServer &s) {
             s.send("220 hi\r\n")
                 .expectLine("EHLO example.com")
                 .send("250 AUTH LOGIN\r\n")
                 .expectLine("AUTH LOGIN")
                 .send("334 VXNlcm5hbWU6\r\n")
                 .expectLine("YW5u")
                 .send("334 UGFzc3")  // the prompt is cut off by the close
                 .close();
         }},
    };
    for (const Drop &drop : drops) {
        SCOPED_TRACE(drop.what);
        ScriptedServer srv;
        drop.script(srv);
        srv.start();
        EXPECT_EQ(connect(srv, "<ann@example.com>"), TEV_E_SOCKET_CLOSED);
        EXPECT_TRUE(srv.finish(2000)) << srv.error();
        EXPECT_EQ(rec().socket, 0);
        EXPECT_EQ(rec().lastSocketError, 0);
        EXPECT_TRUE(contains(log(), "TevCode=-1 "));
        EXPECT_TRUE(contains(log(), "Socket has been closed.Closing socket\r\n"));
    }
}

TEST_F(SmtpSession, ErrorCodeSplitAcrossSegmentsIsStillAnError) {
    ScriptedServer srv;
    srv.sendSplit("550 5.3.2 Service not available\r\n", {2}, 150).waitForClientClose(3000);
    srv.start();
    EXPECT_EQ(connect(srv, "<ann@example.com>"), TEV_E_SMTP_ERROR);
    EXPECT_TRUE(srv.finish(3000)) << srv.error();
    EXPECT_EQ(tevStatistics(0, TEV_STAT_REPLY_CODE), 550);
    EXPECT_EQ(errorText(TEV_E_SMTP_ERROR), "SMTP returned error. 550 5.3.2 Service not available\r\n");
    EXPECT_EQ(srv.received(), "");
}

TEST_F(SmtpSession, SilentServerTimesOut) {
    tevIntegerParam(0, TEV_RESPONSE_TIMEOUT, 300);
    ScriptedServer srv;
    srv.hold();
    srv.start();
    const uint32_t start = tev::platform::tick();
    EXPECT_EQ(connect(srv, "<ann@example.com>"), TEV_E_TIMEOUT);
    const int32_t elapsed = tev::platform::tickDiff(tev::platform::tick(), start);
    EXPECT_GE(elapsed, 300);
    EXPECT_LT(elapsed, 1500);  // the deadline, plus the 500 ms of the close
    srv.proceed();
    EXPECT_TRUE(srv.finish(2000)) << srv.error();
    EXPECT_TRUE(contains(log(), "TevCode=-8 PrevState=201 ThisState=-1 NextState=201\r\nSocket timed out."));
}

}  // namespace
