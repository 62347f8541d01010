// Session control against the scripted loopback server: QUIT step by step and automatically, raw commands on
// SMTP and POP3 sessions, and tevAbort.
#include <gtest/gtest.h>
#include <fcntl.h>

#include <cstring>
#include <string>

#include "engine/driver.h"
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

bool contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

class SessionControl : public tevtest::SessionTest {
protected:
    // A script that greets and accepts HELO; the test adds what follows.
    static ScriptedServer &greet(ScriptedServer &srv) {
        return srv.send("220 hi\r\n").expectLine("HELO example.com").send("250 ok\r\n");
    }
    int32_t open(const ScriptedServer &srv) { return connect(srv, "<ann@example.com>"); }

    // A bare connection (the connect states only) made to look like a POP3 session.
    int32_t openPop3(const ScriptedServer &srv) {
        tev::copyText(rec().serverName, "127.0.0.1");
        rec().remotePort = srv.port();
        rec().nextState = 101;
        rec().afterConnectState = 0;
        tevIntegerParam(0, TEV_AUTO_CALL, 0);
        int32_t r = drive();
        rec().sessionKind = 'P';
        tevIntegerParam(0, TEV_AUTO_CALL, 1);
        return r;
    }
};

TEST_F(SessionControl, QuitStepByStepWithAutoCallOff) {
    ScriptedServer srv;
    greet(srv).expectLine("NOOP").send("250 ok\r\n").expectLine("QUIT").send("221 bye\r\n").waitForClientClose(3000);
    srv.start();
    ASSERT_EQ(open(srv), 0);
    tevIntegerParam(0, TEV_AUTO_CALL, 0);
    // A raw command driven by hand is not failed by a deadline an earlier operation left behind.
    rec().deadline = tev::timerAt(tev::platform::tick(), -100);
    ASSERT_EQ(tevCommand(0, "NOOP"), 0);
    EXPECT_EQ(drive(), 0);
    ASSERT_EQ(tevClose(0), 0);
    EXPECT_EQ(rec().nextState, 258);
    EXPECT_EQ(tevDriver(0), 259);  // QUIT is sent at once: the socket is writable
    int32_t r;
    const uint32_t start = tev::platform::tick();
    while ((r = tevDriver(0)) == 259 || r == 9999) {
        ASSERT_LT(tev::platform::tickDiff(tev::platform::tick(), start), 3000);
    }
    EXPECT_EQ(r, 0);
    EXPECT_EQ(rec().socket, 0);
    EXPECT_EQ(rec().sessionKind, 'S');  // only the automatic close ends the session's bookkeeping
    EXPECT_TRUE(srv.finish(3000)) << srv.error();
    EXPECT_EQ(srv.received(), "HELO example.com\r\nNOOP\r\nQUIT\r\n");
    EXPECT_TRUE(contains(stableLog(), "*** tevClose\r\n<258>\r\nS: QUIT\r\n<259>\r\nP: 221 bye\r\nr: 221 bye\r\n"
                                      "Closing socket\r\n"))
        << showBytes(log(), 3000);
}

TEST_F(SessionControl, RawCommandsAndAutomaticClose) {
    const std::string command40 = "XCMD 01234567890123456789012345678901234";
    ASSERT_EQ(command40.size(), 40u);
    ScriptedServer srv;
    greet(srv)
        .expectLine("NOOP")
        .send("250 2.0.0 ok\r\n")
        .expectLine(command40.substr(0, 32))
        .send("250-one\r\n250 two\r\n")
        .expectLine("QUIT")
        .send("221 bye\r\n")
        .waitForClientClose(3000);
    srv.start();
    ASSERT_EQ(open(srv), 0);
    EXPECT_EQ(tevCommand(0, "NOOP"), 0);
    EXPECT_EQ(tevStatistics(0, TEV_STAT_REPLY_CODE), 250);
    EXPECT_EQ(tevCommand(0, command40.c_str()), 0);
    EXPECT_STREQ(rec().rawCommand, command40.substr(0, 32).c_str());
    EXPECT_STREQ(rec().replyBuffer, "250-one\r\n250 two\r\n");  // every line of the reply is read
    // A file a failed send was still reading is closed with the session, and is no saved attachment.
    const int32_t reading = tev::platform::createFile(tmp.file("attached.txt").c_str(), false, true);
    ASSERT_GT(reading, 2);
    rec().fileHandle = reading;
    ASSERT_EQ(tevClose(0), 0);
    EXPECT_EQ(rec().fileHandle, 0);
    EXPECT_EQ(fcntl(reading, F_GETFD), -1);
    EXPECT_EQ(tevStatistics(0, TEV_STAT_ATTACH_SAVED), 0);
    EXPECT_TRUE(srv.finish(3000)) << srv.error();
    EXPECT_EQ(srv.received(), "HELO example.com\r\nNOOP\r\n" + command40.substr(0, 32) + "\r\nQUIT\r\n");
    // The closed session is no session at all any more.
    EXPECT_EQ(rec().sessionKind, 0);
    EXPECT_EQ(tevCommand(0, "NOOP"), TEV_E_BAD_SERVER_NAME);
    EXPECT_EQ(tevVerifyUser(0, "x"), TEV_E_SMTP_ONLY);
    EXPECT_TRUE(contains(log(), "*** tevCommand\r\n"));
}

TEST_F(SessionControl, ServerThatClosesAfterQuitHasClosedTheSession) {
    ScriptedServer srv;
    greet(srv).expectLine("QUIT").close();
    srv.start();
    ASSERT_EQ(open(srv), 0);
    EXPECT_EQ(tevClose(0), 0);
    EXPECT_TRUE(srv.finish(3000)) << srv.error();
    EXPECT_EQ(rec().socket, 0);
    EXPECT_FALSE(contains(log(), "ERROR"));
}

TEST_F(SessionControl, RefusedRawCommandEndsTheSession) {
    ScriptedServer srv;
    greet(srv).expectLine("XBAD").send("500 5.5.1 unknown\r\n").waitForClientClose(3000);
    srv.start();
    ASSERT_EQ(open(srv), 0);
    EXPECT_EQ(tevCommand(0, "XBAD"), TEV_E_SMTP_ERROR);
    EXPECT_EQ(rec().socket, 0);
    EXPECT_TRUE(srv.finish(3000)) << srv.error();
    EXPECT_TRUE(contains(log(), "TevCode=-49 PrevState=29"));
}

TEST_F(SessionControl, Pop3CommandReadsOneLineAndQuit) {
    ScriptedServer srv;
    srv.expectLine("LIST")
        .send("+OK 2 messages\r\n1 100\r\n2 200\r\n.\r\n")
        .expectLine("QUIT")
        .send("+OK bye\r\n")
        .waitForClientClose(3000);
    srv.start();
    ASSERT_EQ(openPop3(srv), 0);
    EXPECT_EQ(tevCommand(0, "LIST"), 0);
    EXPECT_EQ(tevStatistics(0, TEV_STAT_REPLY_CODE), 100);
    EXPECT_STREQ(rec().lastReply, "+OK 2 messages\r\n");
    // The rest of the listing is left for the next read.
    std::string rest;
    char line[64];
    while (rest.size() < 17) {
        int32_t n = tev::readLine(rec(), line, sizeof line, 1000, 100);
        ASSERT_GT(n, 0) << rest;
        rest.append(line, static_cast<size_t>(n));
    }
    EXPECT_EQ(rest, "1 100\r\n2 200\r\n.\r\n");
    // An attachment the decoder was still writing is finished and recorded by the close.
    tev::copyText(rec().attachmentPath, tmp.file("part.bin").c_str());
    rec().fileHandle = tev::platform::createFile(rec().attachmentPath, false, true);
    ASSERT_GT(rec().fileHandle, 2);
    EXPECT_EQ(tevClose(0), 0);
    EXPECT_EQ(rec().fileHandle, 0);
    EXPECT_EQ(tevStatistics(0, TEV_STAT_ATTACH_SAVED), 1);
    EXPECT_TRUE(contains(log(), "*** tevClose\r\n[Attachment saved to \"" + tmp.file("part.bin") + "\"]\r\n"));
    EXPECT_TRUE(srv.finish(3000)) << srv.error();
    EXPECT_TRUE(contains(stableLog(), "S: QUIT\r\n<259>\r\nP: +OK bye\r\nr: +OK bye\r\nClosing socket\r\n"))
        << showBytes(log(), 3000);
}

TEST_F(SessionControl, AbortClosesConnectionAndFilesThenCloseFails) {
    ScriptedServer srv;
    greet(srv).waitForClientClose(3000);
    srv.start();
    ASSERT_EQ(open(srv), 0);
    const int32_t message = tev::platform::createFile(tmp.file("message.txt").c_str(), false, true);
    const int32_t attachment = tev::platform::createFile(tmp.file("part.bin").c_str(), false, true);
    ASSERT_GT(message, 2);
    ASSERT_GT(attachment, 2);
    rec().emailFile = message;
    rec().fileHandle = attachment;
    tevIntegerParam(0, TEV_AUTO_CALL, 0);

    EXPECT_EQ(tevAbort(0), 1);
    EXPECT_EQ(rec().autoCall, 1);
    EXPECT_EQ(rec().socket, 0);
    EXPECT_EQ(rec().emailFile, 0);
    EXPECT_EQ(rec().fileHandle, 0);
    EXPECT_EQ(fcntl(message, F_GETFD), -1);
    EXPECT_EQ(fcntl(attachment, F_GETFD), -1);
    EXPECT_TRUE(srv.finish(3000)) << srv.error();
    EXPECT_TRUE(contains(log(), "*** tevAbort\r\nClosing socket\r\n"));

    EXPECT_EQ(tevClose(0), TEV_E_WRITE);
    EXPECT_EQ(tevStatistics(0, TEV_STAT_SOCKET_ERROR), -1);
    EXPECT_TRUE(contains(log(), "S: QUIT\r\nERROR("));
    EXPECT_TRUE(contains(log(), "Socket write error.Socket has been closed.Closing socket\r\n"));
}

TEST_F(SessionControl, ArgumentAndChannelChecks) {
    EXPECT_EQ(tevAbort(1), 1);  // an idle channel
    EXPECT_EQ(tevCommand(0, nullptr), TEV_E_NULL_POINTER);
    EXPECT_EQ(tevCommand(0, "NOOP"), TEV_E_BAD_SERVER_NAME);
    EXPECT_STREQ(rec().rawCommand, "NOOP");
    EXPECT_EQ(rec().nextState, 0);
    EXPECT_EQ(tevClose(2), TEV_E_CHANNEL_RANGE);
    EXPECT_EQ(tevAbort(-1), TEV_E_CHANNEL_RANGE);
    EXPECT_EQ(tevCommand(128, "NOOP"), TEV_E_CHANNEL_RANGE);
    // A close on a channel that never connected cannot send QUIT.
    EXPECT_EQ(tevClose(0), TEV_E_WRITE);
    EXPECT_TRUE(contains(log(), "*** tevCommand\r\n*** tevCommand\r\n*** tevClose\r\n"));
}

}  // namespace

// Outside any fixture: nothing attached.
TEST(SessionControlDetached, NeedAttach) {
    EXPECT_EQ(tevClose(0), TEV_E_NOT_ATTACHED);
    EXPECT_EQ(tevAbort(0), TEV_E_NOT_ATTACHED);
    EXPECT_EQ(tevCommand(0, "NOOP"), TEV_E_NOT_ATTACHED);
    EXPECT_EQ(tevSmtpConnect(0, "a", "<b@c>", nullptr), TEV_E_NOT_ATTACHED);
    EXPECT_EQ(tevVerifyUser(0, "a"), TEV_E_NOT_ATTACHED);
}
