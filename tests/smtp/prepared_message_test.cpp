// A prepared message (integer parameter 110): the application's text is the whole message and goes out as it is
// after the envelope: line ends as CR LF, lines starting with '.' stuffed, no header or MIME part of the library,
// no line longer than 998 characters.
#include <gtest/gtest.h>

#include <string>

#include "smtp/send_fixture.h"
#include "support/scripted_server.h"
#include "support/trace.h"
#include "tev32.h"

using tevtest::ScriptedServer;
using tevtest::showBytes;

namespace {

class PreparedMessage : public tevtest::SendTest {};

const std::string kEnvelope = "MAIL FROM:<ann@example.com>\r\nRCPT TO:<bob@x.test>\r\nDATA\r\n";

TEST_F(PreparedMessage, GoesOutAsItIsWithLineEndsAndStuffingOnly) {
    ScriptedServer srv;
    scriptMessages(srv, {1, 1});
    srv.waitForClientClose(3000);
    srv.start();
    ASSERT_EQ(connect(srv), 0);
    ASSERT_EQ(tevIntegerParam(0, TEV_PREPARED_MESSAGE, 1), 1);
    tevIntegerParam(0, TEV_BODY_MODE, 2);  // not used: the message carries its own structure
    // Bare LF, CR LF and a lone CR; a lone dot, a dotted line, 8-bit UTF-8, an empty line, no end at the end.
    const std::string message = "From: Ann <ann@example.com>\nSubject: caf\xC3\xA9\r\n\r\nline\r.\n..two\n\nlast";
    EXPECT_EQ(tevSendEmail(0, "<bob@x.test>", nullptr, nullptr, "ignored", message.c_str(), nullptr), 0);
    // From a file, ending with its line end: no empty line is added before the end line.
    std::string file = tmp.file("prepared.eml");
    tevtest::writeWholeFile(file, "Subject: f\n\nbody\n");
    std::string at = "@" + file;
    EXPECT_EQ(tevSendEmail(0, "<bob@x.test>", nullptr, nullptr, nullptr, at.c_str(), nullptr), 0);
    tevClose(0);
    ASSERT_TRUE(srv.finish(3000)) << srv.error();
    EXPECT_EQ(showBytes(transcript(srv)),
              showBytes(kEnvelope + "From: Ann <ann@example.com>\r\nSubject: caf\xC3\xA9\r\n\r\nline\r\n..\r\n...two\r\n"
                                    "\r\nlast\r\n.\r\n" +
                        kEnvelope + "Subject: f\r\n\r\nbody\r\n.\r\nQUIT\r\n"));
}

TEST_F(PreparedMessage, ALineLongerThan998CharactersEndsTheSend) {
    ScriptedServer srv;
    srv.send("220 mail.test ready\r\n").readLine().send("250 ok\r\n");
    srv.readLine().send("250 ok\r\n").readLine().send("250 ok\r\n").readLine().send("354 go\r\n");
    srv.waitForClientClose(3000);
    srv.start();
    ASSERT_EQ(connect(srv), 0);
    tevIntegerParam(0, TEV_PREPARED_MESSAGE, 1);
    std::string fits = "Subject: x\n\n" + std::string(998, 'a') + "\n";
    std::string tooLong = fits + std::string(999, 'b') + "\nnever\n";
    EXPECT_EQ(tevSendEmail(0, "<bob@x.test>", nullptr, nullptr, nullptr, tooLong.c_str(), nullptr),
              TEV_E_LINE_TOO_LONG);
    ASSERT_TRUE(srv.finish(3000)) << srv.error();
    std::string sent = transcript(srv);
    EXPECT_NE(sent.find(std::string(998, 'a') + "\r\n"), std::string::npos);
    EXPECT_EQ(sent.find("bbb"), std::string::npos);
    EXPECT_EQ(sent.find("never"), std::string::npos);
    char text[128];
    ASSERT_GT(tevErrorText(0, TEV_E_LINE_TOO_LONG, text, sizeof text), 0);
    EXPECT_STREQ(text, "Message line longer than 998 characters.");
}

TEST_F(PreparedMessage, ANulByteInTheFileIsSentAndDoesNotEndTheMessage) {
    ScriptedServer srv;
    scriptMessages(srv, {1});
    srv.waitForClientClose(3000);
    srv.start();
    ASSERT_EQ(connect(srv), 0);
    tevIntegerParam(0, TEV_PREPARED_MESSAGE, 1);
    // A NUL at the start of a line, inside one, and as the last byte.
    static const char kBytes[] = "Subject: n\n\n\0starts\nmid\0dle\r\nrest\n\0";
    const std::string bytes(kBytes, sizeof kBytes - 1);
    std::string file = tmp.file("nul.eml");
    tevtest::writeWholeFile(file, bytes);
    std::string at = "@" + file;
    EXPECT_EQ(tevSendEmail(0, "<bob@x.test>", nullptr, nullptr, nullptr, at.c_str(), nullptr), 0);
    tevClose(0);
    ASSERT_TRUE(srv.finish(3000)) << srv.error();
    static const char kSent[] = "Subject: n\r\n\r\n\0starts\r\nmid\0dle\r\nrest\r\n\0\r\n.\r\nQUIT\r\n";
    EXPECT_EQ(showBytes(transcript(srv)), showBytes(kEnvelope + std::string(kSent, sizeof kSent - 1)));
}

TEST_F(PreparedMessage, OffByDefaultAndOnlyZeroOrOne) {
    EXPECT_EQ(rec().preparedMessage, 0);
    EXPECT_EQ(tevIntegerParam(0, TEV_PREPARED_MESSAGE, 7), 1);
    EXPECT_EQ(rec().preparedMessage, 1);
    EXPECT_EQ(tevIntegerParam(0, TEV_PREPARED_MESSAGE, 0), 1);
    EXPECT_EQ(rec().preparedMessage, 0);
}

}  // namespace
