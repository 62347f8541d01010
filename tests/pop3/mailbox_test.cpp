// POP3 mailbox operations against the scripted loopback server: STAT, LIST and DELE with their non-reporting
// replies, TOP into the library's buffer and into a caller's, UIDL, RETR line by line (status line, unstuffing,
// end line, over-long lines, message paths) and raw, servers that close or stall, and tevClose / tevCommand on a
// POP3 session.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "engine/transport.h"
#include "frame/record.h"
#include "platform/platform.h"
#include "pop3/pop3_fixture.h"
#include "support/scripted_server.h"
#include "support/trace.h"
#include "tev32.h"

using tevtest::ScriptedServer;
using tevtest::readWholeFile;
using tevtest::showBytes;

namespace {

class Pop3Mailbox : public tevtest::Pop3Test {
protected:
    int32_t fetch(int32_t message, const std::string &file, const std::string &dir) {
        return tevGetEmailFile(0, message, file.c_str(), dir.c_str(), tmp.path().c_str());
    }
};

// ---------------------------------------------------------------- STAT, LIST, DELE

TEST_F(Pop3Mailbox, StatListAndDeleReadTheirNumbersAndNeverReportNegativeReplies) {
    ScriptedServer srv;
    login(srv)
        .expectLine("STAT").send("+OK 3 1200\r\n")
        .expectLine("LIST 2").send("+OK 2 340\r\n")
        .expectLine("LIST 9").send("-ERR no such message\r\n")
        .expectLine("LIST 3").send("+OK 3\r\n")
        .expectLine("DELE 9").send("-ERR no such message\r\n")
        .expectLine("DELE 1").send("+OK message 1 deleted\r\n")
        .expectLine("STAT").send("+OK 99999999999 1\r\n")
        .expectLine("STAT").send("-ERR locked\r\n")
        .expectLine("STAT").send("+OK 2 900\r\n");
    srv.start();
    ASSERT_EQ(connectPop3(srv), 0);
    EXPECT_EQ(tevGetEmailCount(0), 3);
    EXPECT_EQ(tevStatistics(0, TEV_STAT_MESSAGE_COUNT), 3);
    EXPECT_EQ(tevGetEmailSize(0, 2), 340);
    EXPECT_EQ(tevStatistics(0, TEV_STAT_MESSAGE_SIZE), 340);
    EXPECT_EQ(tevGetEmailSize(0, 9), 0);  // negative: no error, size 0
    EXPECT_EQ(tevGetEmailSize(0, 3), 0);  // no second blank
    EXPECT_EQ(tevDeleteEmail(0, 9), 0);   // a refused deletion does not end the session
    EXPECT_EQ(tevDeleteEmail(0, 1), 0);
    EXPECT_EQ(tevGetEmailCount(0), 2147483647);  // saturates, never negative
    EXPECT_EQ(tevGetEmailCount(0), 0);

    // The same exchange driven by the application.
    tevIntegerParam(0, TEV_AUTO_CALL, 0);
    EXPECT_EQ(tevGetEmailCount(0), 0);
    EXPECT_EQ(rec().nextState, 307);
    EXPECT_EQ(drive(), 0);
    EXPECT_EQ(tevStatistics(0, TEV_STAT_MESSAGE_COUNT), 2);
    tevIntegerParam(0, TEV_AUTO_CALL, 1);

    EXPECT_TRUE(srv.finish(2000)) << srv.error();
    EXPECT_EQ(srv.received(), std::string(loginWire()) +
                                  "STAT\r\nLIST 2\r\nLIST 9\r\nLIST 3\r\nDELE 9\r\nDELE 1\r\nSTAT\r\nSTAT\r\nSTAT\r\n");
    EXPECT_GT(rec().socket, 0);
    EXPECT_TRUE(contains(stableLog(), "*** tevDelete\r\n<315>\r\nS: DELE 9\r\n<316>\r\n")) << stableLog();
}

// ---------------------------------------------------------------- TOP

TEST_F(Pop3Mailbox, TopIntoTheLibraryBufferIsReadableThroughDebugAndWriteBuffer) {
    const std::string text = "+OK\r\nSubject: hi\r\n.Hidden: dot\r\n\r\n";
    ScriptedServer srv;
    login(srv).expectLine("TOP 1 0").send("+OK\r\nSubject: hi\r\n..Hidden: dot\r\n\r\n.\r\n");
    srv.start();
    ASSERT_EQ(connectPop3(srv), 0);
    char star[] = "*";
    EXPECT_EQ(tevGetEmailLines(0, 1, -5, star, 300), static_cast<int32_t>(text.size()));
    EXPECT_TRUE(srv.finish(2000)) << srv.error();
    EXPECT_EQ(srv.received(), std::string(loginWire()) + "TOP 1 0\r\n");  // a negative count asks for 0 lines
    EXPECT_EQ(tevStatistics(0, TEV_STAT_BUFFER_USED), static_cast<int32_t>(text.size()));
    EXPECT_EQ(tevStatistics(0, TEV_STAT_TEXT_READ), static_cast<int32_t>(text.size()));

    char copy[512];
    EXPECT_EQ(tevDebug(0, TEV_DEBUG_BUFFER, copy, sizeof copy), static_cast<int32_t>(text.size()));
    EXPECT_EQ(std::string(copy), text);
    const std::string out = tmp.file("top.txt");
    EXPECT_EQ(tevStringParam(0, TEV_WRITE_BUFFER, out.c_str()), static_cast<int32_t>(text.size()));
    EXPECT_EQ(readWholeFile(out), text);
    EXPECT_TRUE(contains(stableLog(), "<311>\r\n[Saving to buffer]\r\nS: TOP 1 0\r\n<314>\r\n")) << stableLog();
}

TEST_F(Pop3Mailbox, CallerBufferTakesWhatFitsAndTheRestIsStillReadToTheEndLine) {
    std::string reply = "+OK\r\n";
    for (int i = 0; i < 9; ++i) reply += std::string(53, static_cast<char>('a' + i)) + "\r\n";
    ASSERT_EQ(reply.size(), 500u);
    ScriptedServer srv;
    login(srv).expectLine("TOP 4 10").send(reply + ".\r\n").expectLine("STAT").send("+OK 2 10\r\n");
    srv.start();
    ASSERT_EQ(connectPop3(srv), 0);
    char buffer[256];
    std::memset(buffer, 'X', sizeof buffer);
    EXPECT_EQ(tevGetEmailLines(0, 4, 10, buffer, 200), 200);
    EXPECT_EQ(std::string(buffer, 200), reply.substr(0, 200));
    EXPECT_EQ(buffer[200], 'X');  // no NUL is added
    EXPECT_EQ(tevStatistics(0, TEV_STAT_TEXT_READ), 500);
    EXPECT_EQ(tevGetEmailCount(0), 2);  // nothing of the TOP reply was left behind
    EXPECT_TRUE(srv.finish(2000)) << srv.error();
}

// ---------------------------------------------------------------- UIDL

TEST_F(Pop3Mailbox, UidlListsAllOrOneAndTerminatesTheText) {
    std::string longList = "+OK\r\n";
    for (int i = 1; i <= 10; ++i) longList += std::to_string(i) + " uid-of-message-number-" + std::to_string(i) + "\r\n";
    ScriptedServer srv;
    login(srv)
        .expectLine("UIDL").send("+OK\r\n1 whqtswO00WBw418f9t5JxYwZ\r\n2 QhdPYR:00WBw1Ph7x7\r\n.\r\n")
        .expectLine("UIDL 2").send("+OK 2 QhdPYR:00WBw1Ph7x7\r\n")
        .expectLine("UIDL").send(longList + ".\r\n")
        .expectLine("UIDL 0").send("-ERR no such message\r\n")
        .waitForClientClose(4000);
    srv.start();
    ASSERT_EQ(connectPop3(srv), 0);
    char buffer[300];
    std::memset(buffer, 'X', sizeof buffer);
    const std::string list = "+OK\r\n1 whqtswO00WBw418f9t5JxYwZ\r\n2 QhdPYR:00WBw1Ph7x7\r\n";
    EXPECT_EQ(tevGetEmailUID(0, -1, buffer, sizeof buffer), static_cast<int32_t>(list.size()));
    EXPECT_EQ(std::string(buffer), list);

    std::memset(buffer, 'X', sizeof buffer);
    EXPECT_EQ(tevGetEmailUID(0, 2, buffer, sizeof buffer), 26);
    EXPECT_EQ(std::string(buffer), "+OK 2 QhdPYR:00WBw1Ph7x7\r\n");

    // A 128-byte buffer keeps 127 characters and the NUL.
    std::memset(buffer, 'X', sizeof buffer);
    EXPECT_EQ(tevGetEmailUID(0, -1, buffer, 128), 127);
    EXPECT_EQ(std::string(buffer), longList.substr(0, 127));
    EXPECT_EQ(buffer[128], 'X');

    // Message 0 is asked for by number but read as a list: the end line never comes.
    const uint32_t start = tev::platform::tick();
    EXPECT_EQ(tevGetEmailUID(0, 0, buffer, 128), TEV_E_TIMEOUT);
    EXPECT_LT(elapsedSince(start), 4000);
    EXPECT_EQ(std::string(buffer), "-ERR no such message\r\n");
    EXPECT_TRUE(srv.finish(3000)) << srv.error();
}

// ---------------------------------------------------------------- RETR line by line

TEST_F(Pop3Mailbox, RetrWritesTheMessageUnstuffedWithoutItsStatusLine) {
    const std::string header = "From: ann@example.com\r\nSubject: lines\r\n\r\n";
    // Lines longer than one read arrive in parts; a later part is data whatever it begins with.
    const std::string looksLikeEnd = std::string(1023, 'a') + ".\r\n";
    const std::string looksStuffed = std::string(1023, 'b') + "..c\r\n";
    const std::string looksLikeStatus = std::string(1023, 'c') + "+OK\r\n";
    const std::string long1500 = std::string(1498, 'd') + "\r\n";
    const std::string wire = "+OK 9999 octets\r\n" + header + "+OK is how this body line starts\r\n" + "..\r\n" +
                             "..leading dot\r\n" + looksLikeEnd + looksStuffed + looksLikeStatus + long1500 +
                             ".a\r\n";
    const std::string expected = header + "+OK is how this body line starts\r\n" + ".\r\n" + ".leading dot\r\n" +
                                 looksLikeEnd + looksStuffed + looksLikeStatus + long1500;
    ScriptedServer srv;
    login(srv).expectLine("RETR 1").send(wire).expectLine("STAT").send("+OK 1 5\r\n");
    srv.start();
    ASSERT_EQ(connectPop3(srv), 0);
    EXPECT_EQ(fetch(1, "m1.txt", tmp.path()), 0);
    EXPECT_EQ(readWholeFile(tmp.file("m1.txt")), expected) << showBytes(readWholeFile(tmp.file("m1.txt")));
    EXPECT_EQ(tevStatistics(0, TEV_STAT_TEXT_READ), static_cast<int32_t>(expected.size()));
    EXPECT_EQ(std::string(rec().lastReply), "+OK 9999 octets\r\n");
    EXPECT_EQ(rec().emailFile, 0);
    EXPECT_EQ(tevGetEmailCount(0), 1);  // ".a" ended the fetch and nothing was left unread
    EXPECT_TRUE(srv.finish(2000)) << srv.error();
    EXPECT_EQ(srv.received(), std::string(loginWire()) + "RETR 1\r\nSTAT\r\n");
    const std::string trace = stableLog();
    EXPECT_TRUE(contains(trace, "<310>\r\nSaving email to '" + tmp.path() + "\\m1.txt'\r\nS: RETR 1\r\n<312>\r\n"))
        << trace;
    EXPECT_TRUE(contains(trace, "r: .a\r\n<313>\r\n[CLOSE]\r\n")) << trace;
}

TEST_F(Pop3Mailbox, LinesOfFiveThousandBytesPassWholeEverywhere) {
    const std::string headerLine = "X-Long: " + std::string(4990, 'h') + "\r\n";
    const std::string bodyLine = std::string(4998, 'e') + "\r\n";
    const std::string message = headerLine + "Subject: long\r\n\r\n" + bodyLine + "end\r\n";
    ScriptedServer srv;
    login(srv)
        .expectLine("RETR 1").send("+OK\r\n" + message + ".\r\n")
        .expectLine("TOP 1 1").send("+OK\r\n" + bodyLine + ".\r\n")
        .expectLine("STAT").send("+OK 3 " + std::string(5000, 'z') + "\r\n")
        .expectLine("LIST 1").send("+OK 1 77\r\n")
        .expectLine("UIDL 1").send("+OK 1 " + std::string(5000, 'u') + "\r\n")
        .expectLine("STAT").send("+OK 4 0\r\n");
    srv.start();
    ASSERT_EQ(connectPop3(srv), 0);
    EXPECT_EQ(fetch(1, "long.txt", tmp.path()), 0);
    EXPECT_EQ(readWholeFile(tmp.file("long.txt")), message);
    char star[] = "*";
    EXPECT_EQ(tevGetEmailLines(0, 1, 1, star, 12000), static_cast<int32_t>(5 + bodyLine.size()));
    std::string copy(12100, '\0');
    EXPECT_EQ(tevDebug(0, TEV_DEBUG_BUFFER, &copy[0], static_cast<int32_t>(copy.size())),
              static_cast<int32_t>(5 + bodyLine.size()));
    EXPECT_EQ(copy.c_str(), "+OK\r\n" + bodyLine);
    // An over-long status line is read to its end, so the next reply is the right one.
    EXPECT_EQ(tevGetEmailCount(0), 3);
    EXPECT_EQ(tevGetEmailSize(0, 1), 77);
    char uid[256];
    EXPECT_EQ(tevGetEmailUID(0, 1, uid, sizeof uid), 255);
    EXPECT_EQ(std::string(uid), "+OK 1 " + std::string(249, 'u'));
    EXPECT_EQ(tevGetEmailCount(0), 4);
    EXPECT_TRUE(srv.finish(3000)) << srv.error();
}

TEST_F(Pop3Mailbox, MessagePathJoinsDirectoryAndFileWithOneBackslash) {
    ScriptedServer srv;
    login(srv)
        .expectLine("RETR 1").send("+OK\r\none\r\n.\r\n")
        .expectLine("RETR 2").send("+OK\r\ntwo\r\n.\r\n")
        .expectLine("RETR 3").send("+OK\r\nthree\r\n.\r\n")
        .waitForClientClose(3000);
    srv.start();
    ASSERT_EQ(connectPop3(srv), 0);
    EXPECT_EQ(fetch(1, "a.txt", tmp.path()), 0);
    EXPECT_EQ(fetch(2, "b.txt", tmp.path() + "\\"), 0);
    char cwd[4096];
    ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(::chdir(tmp.path().c_str()), 0);
    const int32_t third = fetch(3, "c.txt", "");  // "\c.txt": the current directory, never the root
    ASSERT_EQ(::chdir(cwd), 0);
    EXPECT_EQ(third, 0);
    EXPECT_EQ(readWholeFile(tmp.file("a.txt")), "one\r\n");
    EXPECT_EQ(readWholeFile(tmp.file("b.txt")), "two\r\n");
    EXPECT_EQ(readWholeFile(tmp.file("c.txt")), "three\r\n");
    const std::string trace = stableLog();
    EXPECT_TRUE(contains(trace, "Saving email to '" + tmp.path() + "\\a.txt'\r\n")) << trace;
    EXPECT_TRUE(contains(trace, "Saving email to '" + tmp.path() + "\\b.txt'\r\n")) << trace;
    EXPECT_TRUE(contains(trace, "Saving email to '\\c.txt'\r\n")) << trace;

    // A file that cannot be created: nothing is sent and the session ends.
    EXPECT_EQ(fetch(4, "d.txt", tmp.file("missing")), TEV_E_CANNOT_CREATE_FILE);
    EXPECT_EQ(rec().emailFile, 0);
    EXPECT_EQ(rec().socket, 0);
    EXPECT_TRUE(srv.finish(3000)) << srv.error();
    EXPECT_EQ(srv.received(), std::string(loginWire()) + "RETR 1\r\nRETR 2\r\nRETR 3\r\n");
}

// ---------------------------------------------------------------- RETR raw

TEST_F(Pop3Mailbox, RawFetchWritesEveryByteAndEndsOnSilenceOrClose) {
    const std::string first = "+OK 40 octets\r\nSubject: raw\r\n\r\n..dot\r\nbody\r\n.\r\n";
    const std::string second = "+OK 11 octets\r\nshort\r\n";
    ScriptedServer srv;
    login(srv).expectLine("RETR 1").send(first).expectLine("RETR 2").send(second).close();
    srv.start();
    ASSERT_EQ(connectPop3(srv), 0);
    tevIntegerParam(0, TEV_DECODE_MODE, 1);

    uint32_t start = tev::platform::tick();
    EXPECT_EQ(fetch(1, "raw1.txt", tmp.path()), 0);
    int32_t took = elapsedSince(start);
    EXPECT_GE(took, 1000);  // the end line does not end a raw fetch: a second of silence does
    EXPECT_LT(took, 2500);
    EXPECT_EQ(readWholeFile(tmp.file("raw1.txt")), first);
    EXPECT_EQ(tevStatistics(0, TEV_STAT_TEXT_READ), static_cast<int32_t>(first.size()));
    EXPECT_EQ(tevStatistics(0, TEV_STAT_TEXT_SENT), static_cast<int32_t>(first.size()));
    EXPECT_EQ(rec().decodeState, 1);

    start = tev::platform::tick();
    EXPECT_EQ(fetch(2, "raw2.txt", tmp.path()), 0);  // a close ends a raw fetch normally
    EXPECT_LT(elapsedSince(start), 1000);
    EXPECT_EQ(readWholeFile(tmp.file("raw2.txt")), second);
    EXPECT_EQ(rec().emailFile, 0);
    EXPECT_TRUE(srv.finish(2000)) << srv.error();
    const std::string trace = stableLog();
    EXPECT_TRUE(contains(trace, "S: RETR 1\r\n<309>\r\n")) << trace;
    EXPECT_TRUE(contains(trace, "[EOF1]\r\n<313>\r\n[CLOSE]\r\n")) << trace;
}

// ---------------------------------------------------------------- servers that close or stall

TEST_F(Pop3Mailbox, ServerClosingMidMessageFailsTheFetchAndKeepsWhatArrived) {
    ScriptedServer srv;
    login(srv).expectLine("RETR 1").send("+OK\r\nSubject: cut\r\n\r\nfirst\r\n").close();
    srv.start();
    ASSERT_EQ(connectPop3(srv), 0);
    EXPECT_EQ(fetch(1, "cut.txt", tmp.path()), TEV_E_SOCKET_CLOSED);
    EXPECT_EQ(readWholeFile(tmp.file("cut.txt")), "Subject: cut\r\n\r\nfirst\r\n");
    EXPECT_EQ(rec().emailFile, 0);  // closed before the error exit
    EXPECT_EQ(rec().socket, 0);
    EXPECT_TRUE(srv.finish(2000)) << srv.error();
    EXPECT_TRUE(contains(stableLog(), "[CLOSE]\r\nERROR(")) << stableLog();
    EXPECT_TRUE(contains(stableLog(), "SockCode=0 TevCode=-1 PrevState=312 ThisState=312 NextState=312\r\n")) << stableLog();
}

TEST_F(Pop3Mailbox, ServerClosingBeforeTheEndOfTopOrUidlFails) {
    ScriptedServer srv;
    login(srv).expectLine("TOP 1 3").send("+OK\r\nSubject: x\r\n").close().nextConnection();
    login(srv).expectLine("UIDL").send("+OK\r\n1 abc\r\n").close();
    srv.start();
    ASSERT_EQ(connectPop3(srv), 0);
    char buffer[200] = "";
    EXPECT_EQ(tevGetEmailLines(0, 1, 3, buffer, sizeof buffer), TEV_E_SOCKET_CLOSED);
    EXPECT_EQ(std::string(buffer), "+OK\r\nSubject: x\r\n");  // what came stays in the buffer
    ASSERT_EQ(connectPop3(srv), 0);
    EXPECT_EQ(tevGetEmailUID(0, -1, buffer, sizeof buffer), TEV_E_SOCKET_CLOSED);
    EXPECT_EQ(std::string(buffer), "+OK\r\n1 abc\r\n");
    EXPECT_TRUE(srv.finish(2000)) << srv.error();
}

TEST_F(Pop3Mailbox, StalledFetchTimesOutAndItsFileIsClosedByTheNextFetchOrByClose) {
    ScriptedServer srv;
    login(srv).expectLine("RETR 1").send("+OK\r\nline1\r\n").waitForClientClose(4000).nextConnection();
    login(srv).expectLine("RETR 2").send("+OK\r\nline2\r\n").waitForClientClose(4000);
    srv.start();
    ASSERT_EQ(connectPop3(srv), 0);
    uint32_t start = tev::platform::tick();
    EXPECT_EQ(fetch(1, "s1.txt", tmp.path()), TEV_E_TIMEOUT);
    EXPECT_LT(elapsedSince(start), 3500);
    const int32_t leftOpen = rec().emailFile;
    ASSERT_GT(leftOpen, 0);  // a failed fetch leaves its file open

    ASSERT_EQ(connectPop3(srv), 0);
    tevIntegerParam(0, TEV_AUTO_CALL, 0);
    EXPECT_EQ(fetch(2, "s2.txt", tmp.path()), 0);
    errno = 0;
    EXPECT_EQ(::fcntl(leftOpen, F_GETFD), -1);  // the new fetch closed it before starting
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(drive(), TEV_E_TIMEOUT);
    tevIntegerParam(0, TEV_AUTO_CALL, 1);
    ASSERT_GT(rec().emailFile, 0);

    EXPECT_EQ(tevClose(0), TEV_E_WRITE);  // the connection is gone, but the file is closed
    EXPECT_EQ(rec().emailFile, 0);
    EXPECT_EQ(readWholeFile(tmp.file("s1.txt")), "line1\r\n");
    EXPECT_EQ(readWholeFile(tmp.file("s2.txt")), "line2\r\n");
    EXPECT_TRUE(srv.finish(3000)) << srv.error();
}

TEST_F(Pop3Mailbox, StatWithoutReplyTimesOut) {
    ScriptedServer srv;
    login(srv).expectLine("STAT").waitForClientClose(4000);
    srv.start();
    ASSERT_EQ(connectPop3(srv), 0);
    const uint32_t start = tev::platform::tick();
    EXPECT_EQ(tevGetEmailCount(0), TEV_E_TIMEOUT);
    const int32_t took = elapsedSince(start);
    EXPECT_GE(took, 1400);
    EXPECT_LT(took, 3000);
    EXPECT_EQ(rec().socket, 0);
    EXPECT_TRUE(srv.finish(3000)) << srv.error();
}

// ---------------------------------------------------------------- tevClose and tevCommand on POP3

TEST_F(Pop3Mailbox, CloseSendsQuitFreesTheBufferAndEndsTheSession) {
    ScriptedServer srv;
    login(srv)
        .expectLine("TOP 1 0").send("+OK\r\nSubject: s\r\n.\r\n")
        .expectLine("QUIT").send("+OK bye\r\n")
        .waitForClientClose(3000);
    srv.start();
    ASSERT_EQ(connectPop3(srv), 0);
    char star[] = "*";
    EXPECT_EQ(tevGetEmailLines(0, 1, 0, star, 200), 17);
    EXPECT_EQ(tevClose(0), 0);
    EXPECT_TRUE(srv.finish(3000)) << srv.error();
    EXPECT_EQ(rec().socket, 0);
    char copy[64];
    EXPECT_EQ(tevDebug(0, TEV_DEBUG_BUFFER, copy, sizeof copy), TEV_E_NULL_POINTER);  // slot 8 freed
    EXPECT_EQ(rec().userBuffer, nullptr);
    EXPECT_EQ(tevGetEmailCount(0), TEV_E_POP3_ONLY);
    EXPECT_TRUE(contains(stableLog(), "*** tevClose\r\n<258>\r\nS: QUIT\r\n<259>\r\nP: +OK bye\r\nr: +OK bye\r\n"
                                "Closing socket\r\n"))
        << stableLog();
}

TEST_F(Pop3Mailbox, CommandReadsOnlyTheFirstLineOfAMultiLineReply) {
    ScriptedServer srv;
    login(srv).expectLine("LIST").send("+OK 2 messages\r\n1 120\r\n2 200\r\n.\r\n");
    srv.start();
    ASSERT_EQ(connectPop3(srv), 0);
    EXPECT_EQ(tevCommand(0, "LIST"), 0);
    EXPECT_EQ(std::string(rec().lastReply), "+OK 2 messages\r\n");
    EXPECT_EQ(tevStatistics(0, TEV_STAT_REPLY_CODE), 100);
    // The rest stays in the receive ring for the next operation.
    std::string rest(static_cast<size_t>(tev::ringCount(rec())), '\0');
    for (size_t i = 0; i < rest.size(); ++i) rest[i] = rec().ringBuffer[(rec().ringRead + i) % tev::kRingCapacity];
    EXPECT_EQ(rest, "1 120\r\n2 200\r\n.\r\n");
    EXPECT_TRUE(srv.finish(2000)) << srv.error();
}

}  // namespace
