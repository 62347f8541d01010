// No text of the application can end the data early or start a header or a line of its own: every line of the
// data that begins with '.' is stuffed, line breaks in application texts go out as CR LF, and a line break inside
// a header value continues that header.  The data ends only at the library's own end line.
#include <gtest/gtest.h>

#include <string>

#include "frame/record.h"
#include "smtp/datawriter.h"
#include "smtp/send_fixture.h"
#include "support/scripted_server.h"
#include "support/trace.h"
#include "tev32.h"

using tevtest::ScriptedServer;
using tevtest::showBytes;

namespace {

class SendTransparency : public tevtest::SendTest {};

const char *const kBob = "Bob <bob@x.test>";
const std::string kBobEnvelope = "MAIL FROM:<ann@example.com>\r\nRCPT TO:<bob@x.test>\r\nDATA\r\n";
const std::string kHeaderStart =
    "X-Mailer: Orvane TEV Version 3.4\r\nDate: *\r\nTo: Bob <bob@x.test>\r\nFrom: Ann <ann@example.com>\r\n";
const std::string kEnd = "\r\n.\r\n";
// After the closing delimiter "--B--" CR LF: the CR LF of its line, then the end of the data.
const std::string kAfterClosingDelimiter = "\r\n" + kEnd;

std::string headerValue(const char *value) {
    std::string out;
    tev::appendHeaderValue(out, value);
    return out;
}

std::string textLines(const char *text) {
    std::string out;
    tev::appendTextLines(out, text);
    return out;
}

TEST(DataLineForm, HeaderValuesContinueOnALineStartingWithABlank) {
    EXPECT_EQ(headerValue("plain"), "plain");
    EXPECT_EQ(headerValue("a\r\nb"), "a\r\n b");
    EXPECT_EQ(headerValue("a\nb\rc"), "a\r\n b\r\n c");
    EXPECT_EQ(headerValue("a\r\n folded"), "a\r\n folded");
    EXPECT_EQ(headerValue("a\n\tfolded"), "a\r\n\tfolded");
    EXPECT_EQ(headerValue("a\r\n\r\nb"), "a\r\n \r\n b");
    EXPECT_EQ(headerValue("end\r\n"), "end\r\n ");  // never an empty line, which would end the header
    EXPECT_EQ(headerValue("\n.\n"), "\r\n .\r\n ");
    EXPECT_EQ(headerValue(""), "");
}

TEST(DataLineForm, TextLinesKeepTheirLinesWithCrLf) {
    EXPECT_EQ(textLines("a\r\nb\nc\rd"), "a\r\nb\r\nc\r\nd");
    EXPECT_EQ(textLines("\r\r\n\n"), "\r\n\r\n\r\n");
    EXPECT_EQ(textLines(".\n."), ".\r\n.");  // stuffing is the writer's part
    EXPECT_EQ(textLines(nullptr), "");
}

TEST_F(SendTransparency, EveryLineStartingWithAPeriodIsStuffed) {
    ScriptedServer srv;
    scriptMessages(srv, {1});
    srv.start();
    ASSERT_EQ(connect(srv), 0);
    const char *text = "first\r\n.\r\n..\r\n.hidden\r\n. \r\nlast\n.\n.";
    EXPECT_EQ(tevSendEmail(0, kBob, nullptr, nullptr, "Dots", text, nullptr), 0);
    ASSERT_TRUE(srv.finish(2000)) << srv.error();
    EXPECT_EQ(transcript(srv),
              kBobEnvelope + kHeaderStart +
                  "Subject: Dots\r\n\r\nfirst\r\n..\r\n...\r\n..hidden\r\n.. \r\nlast\r\n..\r\n..\r\n" + kEnd)
        << showBytes(transcript(srv), 3000);
    // The counters keep the lengths before stuffing.
    EXPECT_EQ(tevStatistics(0, TEV_STAT_TEXT_SENT), 7 + 3 + 4 + 9 + 4 + 6 + 3 + 3);
}

TEST_F(SendTransparency, ApplicationTextsCannotEndTheDataOrInjectLines) {
    const std::string att = tmp.file("a.bin");
    ASSERT_TRUE(tevtest::writeWholeFile(att, "x"));
    const std::string list = att + "|na\r\n.\r\nme.txt";
    tevIntegerParam(0, TEV_BODY_MODE, 1);
    ASSERT_GT(tevStringParam(0, TEV_ALTERNATE_TEXT, "alt\r\n.\r\nmore\n.\nQUIT\r..x"), 0);
    ASSERT_GT(tevStringParam(0, TEV_HEADER_LINES, "X-A: 1\n.\nX-B: 2"), 0);
    ScriptedServer srv;
    scriptMessages(srv, {1});
    srv.start();
    ASSERT_EQ(connect(srv), 0);
    tevStringParam(0, TEV_REPLY_TO, "Desk <desk@x.test>");
    EXPECT_EQ(tevSendEmail(0, kBob, nullptr, nullptr, "s\r\n.\r\nRCPT TO:<x@y>\n.\nend", "body", list.c_str()), 0);
    ASSERT_TRUE(srv.finish(2000)) << srv.error();
    const std::string B = boundary;
    EXPECT_EQ(transcript(srv),
              kBobEnvelope + kHeaderStart +
                  "Reply-To: Desk <desk@x.test>\r\n"
                  "Subject: s\r\n .\r\n RCPT TO:<x@y>\r\n .\r\n end\r\n"
                  "X-A: 1\r\n..\r\nX-B: 2\r\n"
                  "MIME-Version: 1.0\r\n"
                  "Content-Type: multipart/mixed; boundary=\"" + B + "\"\r\n"
                  "\r\n"
                  "--" + B + "\r\n"
                  "Content-Type: multipart/alternative; boundary=\"" + B + "ALT===\"\r\n"
                  "\r\n"
                  "--" + B + "ALT===\r\n"
                  "Content-Type: text/plain\r\n"
                  "\r\n"
                  "alt\r\n..\r\nmore\r\n..\r\nQUIT\r\n...x\r\n"
                  "--" + B + "ALT===\r\n"
                  "Content-Type: text/plain\r\n"
                  "Content-Transfer-Encoding: quoted-printable\r\n"
                  "\r\n"
                  "body\r\n"
                  "--" + B + "ALT===--\r\n"
                  "\r\n\r\n--" + B + "\r\n"
                  "Content-Type: application/octet-stream; name=\"na\r\n .\r\n me.txt\"\r\n"
                  "Content-Transfer-Encoding: base64\r\n"
                  "Content-Disposition: attachment; filename=\"na\r\n .\r\n me.txt\"\r\n"
                  "\r\n"
                  "eA==\r\n"
                  "--" + B + "--\r\n" + kAfterClosingDelimiter)
        << showBytes(transcript(srv), 4000);
}

TEST_F(SendTransparency, CustomPartHeadersAreStuffedToo) {
    tevIntegerParam(0, TEV_BODY_MODE, 9);
    tevStringParam(0, TEV_CONTENT_TYPE, "Content-Type: text/plain\n.");
    tevStringParam(0, TEV_TRANSFER_ENCODING, "Content-Transfer-Encoding: quoted-printable\r.");
    ScriptedServer srv;
    scriptMessages(srv, {1});
    srv.start();
    ASSERT_EQ(connect(srv), 0);
    EXPECT_EQ(tevSendEmail(0, kBob, nullptr, nullptr, "C", ".", nullptr), 0);
    ASSERT_TRUE(srv.finish(2000)) << srv.error();
    const std::string B = boundary;
    EXPECT_EQ(transcript(srv),
              kBobEnvelope + kHeaderStart +
                  "Subject: C\r\n"
                  "MIME-Version: 1.0\r\n"
                  "Content-Type: multipart/mixed; boundary=\"" + B + "\"\r\n"
                  "\r\n"
                  "--" + B + "\r\n"
                  "Content-Type: text/plain\r\n..\r\n"
                  "Content-Transfer-Encoding: quoted-printable\r\n..\r\n"
                  "\r\n"
                  "..\r\n"
                  "--" + B + "--\r\n" + kAfterClosingDelimiter)
        << showBytes(transcript(srv), 4000);
}

}  // namespace
