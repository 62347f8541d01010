// How tevSendEmail fails: the checks before anything is sent (and which of them keep the session), recipients
// refused while the envelope is sent, transient replies, missing files after the part of the message that was
// already sent, a failing send in each phase, a server that closes or never answers.
#include <gtest/gtest.h>

#include <string>

#include "frame/record.h"
#include "platform/platform.h"
#include "smtp/send_fixture.h"
#include "support/scripted_server.h"
#include "support/trace.h"
#include "tev32.h"

using tevtest::ScriptedServer;
using tevtest::showBytes;

namespace {

class SendErrors : public tevtest::SendTest {
protected:
    void TearDown() override {
        tev::platform::injectFault(tev::platform::FaultKind::send, 0);
        if (rec().fileHandle > 0) tev::platform::closeFile(rec().fileHandle);
        rec().fileHandle = 0;
        SendTest::TearDown();
    }
    // The server's greeting and HELO reply.
    static ScriptedServer &greet(ScriptedServer &srv) {
        return srv.send("220 mail.test ready\r\n").readLine().send("250 ok\r\n");
    }
};

const char *const kBob = "Bob <bob@x.test>";
const std::string kBobEnvelope = "MAIL FROM:<ann@example.com>\r\nRCPT TO:<bob@x.test>\r\nDATA\r\n";
const std::string kHeaderStart =
    "X-Mailer: Orvane TEV Version 3.4\r\nDate: *\r\nTo: Bob <bob@x.test>\r\nFrom: Ann <ann@example.com>\r\n";

bool contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

TEST(SendEmailChecks, NeedsTheLibraryAndASession) {
    EXPECT_EQ(tevSendEmail(0, kBob, nullptr, nullptr, nullptr, nullptr, nullptr), TEV_E_NOT_ATTACHED);
    ASSERT_EQ(tevAttach(2), 1);
    EXPECT_EQ(tevSendEmail(2, kBob, nullptr, nullptr, nullptr, nullptr, nullptr), TEV_E_CHANNEL_RANGE);
    EXPECT_EQ(tevSendEmail(1, kBob, nullptr, nullptr, nullptr, nullptr, nullptr), TEV_E_SMTP_ONLY);
    EXPECT_EQ(tevSendEmail(1, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), TEV_E_SMTP_ONLY);
    tevRelease();
}

TEST_F(SendErrors, NoConnectionToTheServer) {
    tevtest::RefusingPort refusing;
    tevIntegerParam(0, TEV_SMTP_PORT, refusing.port());
    ASSERT_LT(tevSmtpConnect(0, "127.0.0.1", "Ann <ann@example.com>", nullptr), 0);
    EXPECT_EQ(tevSendEmail(0, kBob, nullptr, nullptr, nullptr, "x", nullptr), TEV_E_NOT_CONNECTED);
    EXPECT_EQ(rec().nextState, 0);
    const std::string trace = log();
    EXPECT_TRUE(contains(trace, "*** tevSendEmail\r\n")) << trace;
    EXPECT_FALSE(contains(trace, "*** Sending...")) << trace;
}

TEST_F(SendErrors, RecipientChecksBeforeAnythingIsSent) {
    ScriptedServer srv;
    scriptMessages(srv, {1});
    srv.waitForClientClose(3000);
    srv.start();
    ASSERT_EQ(connect(srv), 0);
    EXPECT_EQ(tevSendEmail(0, nullptr, nullptr, nullptr, "s", "x", nullptr), TEV_E_NO_RECIPIENT);
    EXPECT_EQ(tevSendEmail(0, "", kBob, nullptr, "s", "x", nullptr), TEV_E_NO_RECIPIENT);
    // These keep the session open.
    EXPECT_EQ(tevSendEmail(0, "<bob@x.test", nullptr, nullptr, "s", "x", nullptr), TEV_E_MISSING_GT);
    EXPECT_EQ(tevSendEmail(0, "bob@x.test> <", nullptr, nullptr, "s", "x", nullptr), TEV_E_MISSING_GT);
    EXPECT_EQ(tevSendEmail(0, kBob, "<di@x.test", nullptr, "s", "x", nullptr), TEV_E_MISSING_GT);
    EXPECT_EQ(tevSendEmail(0, kBob, nullptr, "<eve@x.test", "s", "x", nullptr), TEV_E_MISSING_GT);
    EXPECT_EQ(tevSendEmail(0, "Bob <bob@x.test>\r\nRSET", nullptr, nullptr, "s", "x", nullptr),
              TEV_E_BAD_ADDRESS_CHAR);
    EXPECT_EQ(tevSendEmail(0, kBob, nullptr, "<eve@x.test>\n", "s", "x", nullptr), TEV_E_BAD_ADDRESS_CHAR);
    EXPECT_GT(rec().socket, 0);
    EXPECT_FALSE(contains(log(), "ERROR"));
    EXPECT_EQ(tevSendEmail(0, kBob, nullptr, nullptr, "s", "x", nullptr), 0);
    // A first address without '<' ends the session through the error exit.
    EXPECT_EQ(tevSendEmail(0, kBob, "di@x.test", nullptr, "s", "x", nullptr), TEV_E_MISSING_LT);
    EXPECT_EQ(rec().socket, 0);
    EXPECT_EQ(rec().nextState, 0);
    EXPECT_TRUE(contains(log(), "SockCode=0 TevCode=-41 ")) << log();
    ASSERT_TRUE(srv.finish(3000)) << srv.error();
    EXPECT_EQ(transcript(srv), kBobEnvelope + kHeaderStart + "Subject: s\r\n\r\nx\r\n\r\n.\r\n");
}

TEST_F(SendErrors, EmptyListElementAfterTheFirstRecipient) {
    ScriptedServer srv;
    greet(srv).readLine().send("250 ok\r\n").readLine().send("250 ok\r\n").waitForClientClose(3000);
    srv.start();
    ASSERT_EQ(connect(srv), 0);
    EXPECT_EQ(tevSendEmail(0, "<a@x.test>,,<b@x.test>", nullptr, nullptr, "s", "x", nullptr),
              TEV_E_EMPTY_ADDRESS);
    ASSERT_TRUE(srv.finish(3000)) << srv.error();
    EXPECT_EQ(transcript(srv), "MAIL FROM:<ann@example.com>\r\nRCPT TO:<a@x.test>\r\n");
    EXPECT_EQ(rec().socket, 0);
    EXPECT_STREQ(rec().lastRecipient, "<a@x.test>");
    EXPECT_TRUE(contains(log(), "SockCode=0 TevCode=-37 PrevState=208 ThisState=206 NextState=206\r\n")) << log();
}

TEST_F(SendErrors, RejectedRecipientEndsTheSend) {
    ScriptedServer srv;
    greet(srv).readLine().send("250 ok\r\n").readLine().send("550 no such user\r\n").waitForClientClose(3000);
    srv.start();
    ASSERT_EQ(connect(srv), 0);
    EXPECT_EQ(tevSendEmail(0, "<a@x.test>,<b@x.test>", "<c@x.test>", nullptr, "s", "x", nullptr),
              TEV_E_SMTP_ERROR);
    ASSERT_TRUE(srv.finish(3000)) << srv.error();
    EXPECT_EQ(transcript(srv), "MAIL FROM:<ann@example.com>\r\nRCPT TO:<a@x.test>\r\n");
    EXPECT_EQ(tevStatistics(0, TEV_STAT_REPLY_CODE), 550);
    EXPECT_STREQ(rec().lastRecipient, "");
    char text[256];
    tevErrorText(0, TEV_E_SMTP_ERROR, text, sizeof text);
    EXPECT_TRUE(contains(text, "550 no such user")) << text;
}

TEST_F(SendErrors, TransientAndUnexpectedRepliesFailTheTransaction) {
    struct Case {
        const char *mailReply, *rcptReply, *dataReply, *endReply;
        std::string sent;  // what the client sent up to the failure
    };
    const Case cases[] = {
        {"421 busy\r\n", nullptr, nullptr, nullptr, "MAIL FROM:<ann@example.com>\r\n"},
        {"250 ok\r\n", "451 later\r\n", nullptr, nullptr, "MAIL FROM:<ann@example.com>\r\nRCPT TO:<bob@x.test>\r\n"},
        // A DATA reply that does not invite the data: no message line may reach the server as a command.
        {"250 ok\r\n", "250 ok\r\n", "250 ok\r\n", nullptr, kBobEnvelope},
        {"250 ok\r\n", "250 ok\r\n", "354 go\r\n", "452 full\r\n",
         kBobEnvelope + kHeaderStart + "Subject: s\r\n\r\nx\r\n\r\n.\r\n"},
    };
    for (const Case &c : cases) {
        ScriptedServer srv;
        greet(srv).readLine().send(c.mailReply);
        if (c.rcptReply) srv.readLine().send(c.rcptReply);
        if (c.dataReply) srv.readLine().send(c.dataReply);
        if (c.endReply) srv.readUntil("\r\n.\r\n").send(c.endReply);
        srv.waitForClientClose(3000);
        srv.start();
        ASSERT_EQ(connect(srv), 0);
        EXPECT_EQ(tevSendEmail(0, kBob, nullptr, nullptr, "s", "x", nullptr), TEV_E_SMTP_ERROR) << c.sent;
        ASSERT_TRUE(srv.finish(3000)) << srv.error();
        EXPECT_EQ(transcript(srv), c.sent) << showBytes(transcript(srv));
        EXPECT_EQ(rec().socket, 0);
    }
}

// A reply whose first line does not begin with three digits is never taken for acceptance, whatever follows it.
TEST_F(SendErrors, RepliesWithoutACodeFailTheTransaction) {
    const std::string message = kBobEnvelope + kHeaderStart + "Subject: s\r\n\r\nx\r\n\r\n.\r\n";
    struct Case {
        const char *mailReply, *rcptReply, *dataReply, *endReply;
        std::string sent;
    };
    const Case cases[] = {
        {"OK. go on\r\n", nullptr, nullptr, nullptr, "MAIL FROM:<ann@example.com>\r\n"},
        {"250 ok\r\n", "25  ok\r\n", nullptr, nullptr, "MAIL FROM:<ann@example.com>\r\nRCPT TO:<bob@x.test>\r\n"},
        // The code of a later line never stands in for the first line's.
        {"250 ok\r\n", "250 ok\r\n", "go-ahead\r\n354 go\r\n", nullptr, kBobEnvelope},
        {"250 ok\r\n", "250 ok\r\n", "354 go\r\n", "bad rejected\r\n", message},
    };
    for (const Case &c : cases) {
        ScriptedServer srv;
        greet(srv).readLine().send(c.mailReply);
        if (c.rcptReply) srv.readLine().send(c.rcptReply);
        if (c.dataReply) srv.readLine().send(c.dataReply);
        if (c.endReply) srv.readUntil("\r\n.\r\n").send(c.endReply);
        srv.waitForClientClose(3000);
        srv.start();
        ASSERT_EQ(connect(srv), 0);
        EXPECT_EQ(tevSendEmail(0, kBob, nullptr, nullptr, "s", "x", nullptr), TEV_E_SMTP_ERROR) << c.sent;
        ASSERT_TRUE(srv.finish(3000)) << srv.error();
        EXPECT_EQ(transcript(srv), c.sent) << showBytes(transcript(srv));
        EXPECT_EQ(rec().socket, 0);
    }
}

// Where no success is needed, a reply without a code is what it was: a greeting and a QUIT reply without one
// still open and close the session.
TEST_F(SendErrors, RepliesWithoutACodeStillOpenAndCloseTheSession) {
    ScriptedServer srv;
    srv.send("hey there\r\n").readLine().send("250 ok\r\n").expectLine("QUIT").send("bye now\r\n");
    srv.waitForClientClose(3000);
    srv.start();
    ASSERT_EQ(connect(srv), 0);
    EXPECT_EQ(tevStatistics(0, TEV_STAT_REPLY_CODE), 250);
    EXPECT_EQ(tevClose(0), 0);
    EXPECT_EQ(tevStatistics(0, TEV_STAT_REPLY_CODE), 0);
    ASSERT_TRUE(srv.finish(3000)) << srv.error();
    EXPECT_EQ(rec().socket, 0);
}

TEST_F(SendErrors, MissingMessageFileFailsAfterTheHeader) {
    const std::string missing = tmp.file("nope.txt");
    ScriptedServer srv;
    greet(srv).readLine().send("250 ok\r\n").readLine().send("250 ok\r\n").readLine().send("354 go\r\n");
    srv.waitForClientClose(3000);
    srv.start();
    ASSERT_EQ(connect(srv), 0);
    EXPECT_EQ(tevSendEmail(0, kBob, nullptr, nullptr, "F", ("@" + missing).c_str(), nullptr),
              TEV_E_CANNOT_OPEN_FILE);
    ASSERT_TRUE(srv.finish(3000)) << srv.error();
    EXPECT_EQ(transcript(srv), kBobEnvelope + kHeaderStart + "Subject: F\r\n\r\n");
    const std::string trace = log();
    EXPECT_TRUE(contains(trace, "<244:")) << trace;
    EXPECT_TRUE(contains(trace, "Opening message file [" + missing + "]\r\nERROR(")) << trace;
    EXPECT_TRUE(contains(trace, "SockCode=-1 TevCode=-35 PrevState=238 ThisState=244 NextState=244\r\n")) << trace;
}

TEST_F(SendErrors, MissingAttachmentFailsAfterItsPartHeader) {
    const std::string good = tmp.file("good.bin");
    ASSERT_TRUE(tevtest::writeWholeFile(good, "abc"));
    // An empty entry (two separators in a row) makes a part with an empty name whose file cannot be opened.
    const std::string list = good + ",," + good;
    ScriptedServer srv;
    greet(srv).readLine().send("250 ok\r\n").readLine().send("250 ok\r\n").readLine().send("354 go\r\n");
    srv.waitForClientClose(3000);
    srv.start();
    ASSERT_EQ(connect(srv), 0);
    EXPECT_EQ(tevSendEmail(0, kBob, nullptr, nullptr, "A", "t", list.c_str()), TEV_E_CANNOT_OPEN_FILE);
    ASSERT_TRUE(srv.finish(3000)) << srv.error();
    const std::string B = boundary;
    const std::string t = transcript(srv);
    const std::string tail = "YWJj\r\n"
                             "\r\n\r\n--" + B + "\r\n"
                             "Content-Type: application/octet-stream; name=\"\"\r\n"
                             "Content-Transfer-Encoding: base64\r\n"
                             "Content-Disposition: attachment; filename=\"\"\r\n"
                             "\r\n";
    ASSERT_GE(t.size(), tail.size());
    EXPECT_EQ(t.substr(t.size() - tail.size()), tail) << showBytes(t, 3000);
    EXPECT_TRUE(contains(log(), "Opening attachment []\r\nERROR(")) << log();
}

TEST_F(SendErrors, FailingSendsInEachPhase) {
    const std::string small = tmp.file("a.bin"), big = tmp.file("big.bin");
    ASSERT_TRUE(tevtest::writeWholeFile(small, "abc"));
    // 24 KiB of attachment (about 33 KB of base64 lines): the send queue fills once inside the attachment and
    // goes out from state 265.
    ASSERT_TRUE(tevtest::writeWholeFile(big, std::string(24 * 1024, 'z')));
    // The sends: MAIL 1, RCPT 2, DATA 3; then the message data, gathered in the send queue, goes out with the
    // end line (one send, state 251), or first in a write of the full queue from the attachment's line state.
    struct Case {
        int nth;
        const std::string *attachment;
        int32_t state;
    };
    for (const Case c : {Case{1, &small, 204}, Case{2, &small, 207}, Case{3, &small, 209}, Case{4, &small, 251},
                         Case{4, &big, 265}, Case{5, &big, 251}}) {
        ScriptedServer srv;
        scriptMessages(srv, {1});
        srv.waitForClientClose(3000);
        srv.start();
        ASSERT_EQ(connect(srv), 0);
        tev::platform::injectFault(tev::platform::FaultKind::send, c.nth);
        EXPECT_EQ(tevSendEmail(0, kBob, nullptr, nullptr, "s", "x", c.attachment->c_str()), TEV_E_WRITE) << c.nth;
        tev::platform::injectFault(tev::platform::FaultKind::send, 0);
        EXPECT_EQ(tevStatistics(0, TEV_STAT_SOCKET_ERROR), -1);
        EXPECT_EQ(rec().prevState, c.state) << c.nth;
        EXPECT_EQ(rec().socket, 0);
        EXPECT_EQ(rec().sendQueueUsed, 0) << c.nth;
        // An attachment open at the failure stays open until the session is closed.
        EXPECT_EQ(rec().fileHandle > 0, c.state == 265) << c.nth;
        if (rec().fileHandle > 0) tev::platform::closeFile(rec().fileHandle);
        rec().fileHandle = 0;
        srv.finish(3000);
    }
}

TEST_F(SendErrors, ServerClosesOrNeverAnswers) {
    {
        ScriptedServer srv;
        greet(srv).readLine().close();
        srv.start();
        ASSERT_EQ(connect(srv), 0);
        EXPECT_EQ(tevSendEmail(0, kBob, nullptr, nullptr, "s", "x", nullptr), TEV_E_SOCKET_CLOSED);
        ASSERT_TRUE(srv.finish(3000)) << srv.error();
        EXPECT_EQ(rec().socket, 0);
    }
    {
        ScriptedServer srv;
        greet(srv).readLine().silence(1500);
        srv.start();
        ASSERT_EQ(connect(srv), 0);
        tevIntegerParam(0, TEV_RESPONSE_TIMEOUT, 300);
        const uint32_t start = tev::platform::tick();
        EXPECT_EQ(tevSendEmail(0, kBob, nullptr, nullptr, "s", "x", nullptr), TEV_E_TIMEOUT);
        EXPECT_LT(tev::platform::tickDiff(tev::platform::tick(), start), 1400);
        EXPECT_TRUE(contains(log(), "TevCode=-8 PrevState=205 ThisState=-1 NextState=205")) << log();
        srv.finish(3000);
    }
}

}  // namespace
