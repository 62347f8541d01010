// tevSendEmail against the scripted loopback server: the exact bytes of every message layout (plain text, plain
// text with attachments, the quoted-printable modes, HTML with and without an alternative text, inline images),
// the envelope of To, CC and BCC lists, and the header options.  The Date line is masked in every transcript.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "frame/record.h"
#include "smtp/send_fixture.h"
#include "support/scripted_server.h"
#include "support/trace.h"
#include "tev32.h"

using tevtest::ScriptedServer;
using tevtest::showBytes;

namespace {

class SendLayout : public tevtest::SendTest {
protected:
    std::string file(const std::string &name, const std::string &bytes) {
        std::string path = tmp.file(name);
        EXPECT_TRUE(tevtest::writeWholeFile(path, bytes));
        return path;
    }
    std::string B() const { return boundary; }
};

const char *const kBob = "Bob <bob@x.test>";
const std::string kBobEnvelope = "MAIL FROM:<ann@example.com>\r\nRCPT TO:<bob@x.test>\r\nDATA\r\n";
const std::string kHeaderStart =
    "X-Mailer: Orvane TEV Version 3.4\r\nDate: *\r\nTo: Bob <bob@x.test>\r\nFrom: Ann <ann@example.com>\r\n";
const std::string kEnd = "\r\n.\r\n";
// After the closing delimiter "--B--" CR LF: the CR LF of its line, then the end of the data.
const std::string kAfterClosingDelimiter = "\r\n" + kEnd;

std::string letters(size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) s += static_cast<char>('a' + i % 26);
    return s;
}

std::string bytes0To(int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += static_cast<char>(i);
    return s;
}

bool contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

TEST_F(SendLayout, PlainTextIsNotMimeAndWrapsItsLines) {
    ScriptedServer srv;
    scriptMessages(srv, {1});
    srv.start();
    ASSERT_EQ(connect(srv), 0);
    const std::string text = "line one\r\n" + letters(100) + "\r\n" + letters(64) + " " + letters(35) + "\nlast";
    EXPECT_EQ(tevSendEmail(0, kBob, nullptr, nullptr, "Hello", text.c_str(), nullptr), 0);
    ASSERT_TRUE(srv.finish(2000)) << srv.error();
    EXPECT_EQ(tevtest::SendTest::transcript(srv),
              kBobEnvelope + kHeaderStart + "Subject: Hello\r\n\r\nline one\r\n" + letters(78) + "\r\n" +
                  letters(100).substr(78) + "\r\n" + letters(64) + " \r\n" + letters(35) + "\r\nlast\r\n" + kEnd)
        << showBytes(transcript(srv), 2000);
    EXPECT_EQ(tevStatistics(0, TEV_STAT_TEXT_READ), static_cast<int32_t>(text.size()));
    EXPECT_EQ(tevStatistics(0, TEV_STAT_TEXT_SENT), 10 + 80 + 24 + 67 + 37 + 6);
    EXPECT_EQ(tevStatistics(0, TEV_STAT_ATTACH_SENT), 0);
    EXPECT_EQ(rec().nextState, 0);
    EXPECT_STREQ(rec().lastRecipient, "<bob@x.test>");
    const std::string trace = log();
    EXPECT_TRUE(contains(trace, "S: HELO example.com\r\n")) << trace;
    EXPECT_TRUE(contains(trace, "*** tevSendEmail\r\n*** Sending...\r\n")) << showBytes(trace, 3000);
    EXPECT_TRUE(contains(trace, "S: line one\r\nS: " + letters(78) + "\r\n")) << showBytes(trace, 3000);
    EXPECT_TRUE(contains(trace, "S: \r\n.\r\n")) << showBytes(trace, 3000);
}

TEST_F(SendLayout, PlainTextWithAttachments) {
    const std::string empty = file("empty.bin", "");
    const std::string data = file("data58.bin", bytes0To(58));
    const std::string list = empty + "," + data + "|report.pdf";
    ScriptedServer srv;
    scriptMessages(srv, {1});
    srv.start();
    ASSERT_EQ(connect(srv), 0);
    EXPECT_EQ(tevSendEmail(0, kBob, nullptr, nullptr, "Files", "See the files.", list.c_str()), 0);
    ASSERT_TRUE(srv.finish(2000)) << srv.error();
    EXPECT_EQ(transcript(srv),
              kBobEnvelope + kHeaderStart +
                  "Subject: Files\r\n"
                  "MIME-Version: 1.0\r\n"
                  "Content-Type: multipart/mixed; boundary=\"" + B() + "\"\r\n"
                  "\r\n"
                  "--" + B() + "\r\n"
                  "Content-Type: text/plain\r\n"
                  "\r\n"
                  "See the files.\r\n"
                  "\r\n\r\n--" + B() + "\r\n"
                  "Content-Type: application/octet-stream; name=\"empty.bin\"\r\n"
                  "Content-Transfer-Encoding: base64\r\n"
                  "Content-Disposition: attachment; filename=\"empty.bin\"\r\n"
                  "\r\n"
                  "\r\n\r\n--" + B() + "\r\n"
                  "Content-Type: application/octet-stream; name=\"report.pdf\"\r\n"
                  "Content-Transfer-Encoding: base64\r\n"
                  "Content-Disposition: attachment; filename=\"report.pdf\"\r\n"
                  "\r\n"
                  "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4vMDEyMzQ1Njc4\r\n"
                  "OQ==\r\n"
                  "--" + B() + "--\r\n" + kAfterClosingDelimiter)
        << showBytes(transcript(srv), 3000);
    EXPECT_EQ(tevStatistics(0, TEV_STAT_ATTACH_READ), 58);
    EXPECT_EQ(tevStatistics(0, TEV_STAT_ATTACH_SENT), 78 + 6);
    EXPECT_EQ(tevStatistics(0, TEV_STAT_TOTAL_SENT), 16 + 84);
    EXPECT_EQ(rec().fileHandle, 0);
    const std::string trace = log();
    EXPECT_TRUE(contains(trace, "Opening attachment [" + empty + "]\r\n")) << trace;
    EXPECT_TRUE(contains(trace, "Opening attachment [" + data + "]\r\n")) << trace;
}

TEST_F(SendLayout, QuotedPrintableModes) {
    struct Mode {
        int32_t bodyMode;
        const char *contentType;
        const char *customType;
        const char *customEncoding;
        const char *partHeader;  // what follows the first delimiter up to the text
    };
    const Mode modes[] = {
        {1, nullptr, "", "",
         "Content-Type: text/plain\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n"},
        {3, nullptr, "", "",
         "Content-Type: text/enriched\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n"},
        {4, nullptr, "", "",
         "Content-Type: text/plain; charset=iso-8859-1\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n"},
        {9, nullptr, "Content-Type: text/plain; charset=utf-8", "Content-Transfer-Encoding: Quoted-Printable",
         "Content-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: Quoted-Printable\r\n\r\n"},
        // Mode 9 without a custom type sends an empty line in its place.
        {9, nullptr, "", "", "\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n"},
        {7, nullptr, "", "", "Content-Type: text/plain\r\n\r\n"},
    };
    const std::string text = "caf\xE9 = ok\r\n" + letters(100) + "\r\n" + letters(77) + "." + letters(5);
    const std::string encoded = "caf=E9 =3D ok\r\n" + letters(77) + "=\r\n" + letters(100).substr(77) + "\r\n" +
                                letters(77) + ".=\r\n" + letters(5) + "\r\n";
    ScriptedServer srv;
    scriptMessages(srv, std::vector<int>(std::size(modes), 1));
    srv.start();
    ASSERT_EQ(connect(srv), 0);
    std::string expected;
    for (const Mode &m : modes) {
        tevIntegerParam(0, TEV_BODY_MODE, m.bodyMode);
        tevStringParam(0, TEV_CONTENT_TYPE, m.customType);
        tevStringParam(0, TEV_TRANSFER_ENCODING, m.customEncoding);
        EXPECT_EQ(tevSendEmail(0, kBob, nullptr, nullptr, "QP", text.c_str(), nullptr), 0) << m.bodyMode;
        expected += kBobEnvelope + kHeaderStart +
                    "Subject: QP\r\n"
                    "MIME-Version: 1.0\r\n"
                    "Content-Type: multipart/mixed; boundary=\"" + B() + "\"\r\n"
                    "\r\n"
                    "--" + B() + "\r\n" + m.partHeader + encoded + "--" + B() + "--\r\n" + kAfterClosingDelimiter;
    }
    ASSERT_TRUE(srv.finish(2000)) << srv.error();
    EXPECT_EQ(transcript(srv), expected) << showBytes(transcript(srv), 6000);
}

TEST_F(SendLayout, HtmlWithInlineImagesAndAnAttachment) {
    const std::string gif = file("a.GIF", "GIF89a");
    const std::string jpg = file("photo.jpg", "GIF89a");
    const std::string jpeg = file("b.jpeg", "GIF89a");
    const std::string list = gif + "," + jpg + "," + jpeg;
    tevIntegerParam(0, TEV_BODY_MODE, 2);
    ScriptedServer srv;
    scriptMessages(srv, {1, 1, 1});
    srv.start();
    ASSERT_EQ(connect(srv), 0);
    const std::string html = "<html><body><img src=\"cid:message-root.1\"></body></html>";
    EXPECT_EQ(tevSendEmail(0, kBob, nullptr, nullptr, "Pictures", html.c_str(), list.c_str()), 0);
    auto part = [&](const std::string &type, const std::string &name, const std::string &disposition,
                    const std::string &id) {
        return "\r\n\r\n--" + B() + "\r\nContent-Type: " + type + "; name=\"" + name + "\"\r\n" + id +
               "Content-Transfer-Encoding: base64\r\nContent-Disposition: " + disposition + "; filename=\"" + name +
               "\"\r\n\r\nR0lGODlh\r\n";
    };
    const std::string htmlHead = kBobEnvelope + "Message-ID: <message-root.*@example.com>\r\n" + kHeaderStart +
                                 "Subject: Pictures\r\n"
                                 "MIME-Version: 1.0\r\n"
                                 "Content-Type: multipart/related; boundary=\"" + B() + "\"\r\n"
                                 "\r\n"
                                 "--" + B() + "\r\n"
                                 "Content-Type: text/html\r\n"
                                 "\r\n" + html + "\r\n";
    std::string expected = htmlHead +
                           part("Image/GIF", "a.GIF", "inline", "Content-ID: <message-root.1>\r\n") +
                           part("Image/JPEG", "photo.jpg", "inline", "Content-ID: <message-root.2>\r\n") +
                           part("application/octet-stream", "b.jpeg", "attachment", "") + "--" + B() + "--\r\n" +
                           kAfterClosingDelimiter;
    // The serial starts again with every message; without image types an image is an ordinary attachment.
    EXPECT_EQ(tevSendEmail(0, kBob, nullptr, nullptr, "Pictures", html.c_str(), jpg.c_str()), 0);
    expected += htmlHead + part("Image/JPEG", "photo.jpg", "inline", "Content-ID: <message-root.1>\r\n") + "--" +
                B() + "--\r\n" + kAfterClosingDelimiter;
    tevIntegerParam(0, TEV_IMAGE_TYPES, 0);
    EXPECT_EQ(tevSendEmail(0, kBob, nullptr, nullptr, "Pictures", html.c_str(), gif.c_str()), 0);
    expected += htmlHead + part("application/octet-stream", "a.GIF", "attachment", "") + "--" + B() + "--\r\n" + kAfterClosingDelimiter;
    ASSERT_TRUE(srv.finish(2000)) << srv.error();
    EXPECT_EQ(transcript(srv), expected) << showBytes(transcript(srv), 6000);
}

TEST_F(SendLayout, ShortNamesAreNotImagesAndShownNamesComeAfterTheSeparator) {
    const std::string gif = file("pic.gif", "GIF89a");
    // ".gif" as the whole shown name is not an image; a name after the separator names the part.
    const std::string list = gif + "|.gif," + gif + "|Holiday Photo.GIF," + gif + "|dir\\shown.bin";
    ScriptedServer srv;
    scriptMessages(srv, {1});
    srv.start();
    ASSERT_EQ(connect(srv), 0);
    EXPECT_EQ(tevSendEmail(0, kBob, nullptr, nullptr, "Names", nullptr, list.c_str()), 0);
    ASSERT_TRUE(srv.finish(2000)) << srv.error();
    const std::string t = transcript(srv);
    EXPECT_TRUE(contains(t, "--" + B() + "\r\nContent-Type: application/octet-stream; name=\".gif\"\r\n"
                            "Content-Transfer-Encoding: base64\r\n"
                            "Content-Disposition: attachment; filename=\".gif\"\r\n\r\nR0lGODlh\r\n"))
        << showBytes(t, 4000);
    EXPECT_TRUE(contains(t, "Content-Type: Image/GIF; name=\"Holiday Photo.GIF\"\r\nContent-ID: <message-root.1>\r\n"
                            "Content-Transfer-Encoding: base64\r\n"
                            "Content-Disposition: inline; filename=\"Holiday Photo.GIF\"\r\n\r\nR0lGODlh\r\n"))
        << showBytes(t, 4000);
    // The file-name part is taken from the whole entry, so a '\' in the shown name cuts it too.
    EXPECT_TRUE(contains(t, "name=\"shown.bin\"")) << showBytes(t, 4000);
    // Without a text the part holds no line at all.
    EXPECT_TRUE(contains(t, "Content-Type: text/plain\r\n\r\n\r\n\r\n--")) << showBytes(t, 4000);
}

TEST_F(SendLayout, HtmlWithAlternativeText) {
    tevIntegerParam(0, TEV_BODY_MODE, 2);
    ASSERT_EQ(tevStringParam(0, TEV_ALTERNATE_TEXT, "Plain version\r\nline 2"), 21);
    ScriptedServer srv;
    scriptMessages(srv, {1});
    srv.start();
    ASSERT_EQ(connect(srv), 0);
    EXPECT_EQ(tevSendEmail(0, kBob, nullptr, nullptr, "Alt", "<p>hi</p>", nullptr), 0);
    ASSERT_TRUE(srv.finish(2000)) << srv.error();
    EXPECT_EQ(transcript(srv),
              kBobEnvelope + "Message-ID: <message-root.*@example.com>\r\n" + kHeaderStart +
                  "Subject: Alt\r\n"
                  "MIME-Version: 1.0\r\n"
                  "Content-Type: multipart/related;type=\"multipart/alternative\";\r\n"
                  " boundary=\"" + B() + "\"\r\n"
                  "\r\n"
                  "--" + B() + "\r\n"
                  "Content-Type: multipart/alternative; boundary=\"" + B() + "ALT===\"\r\n"
                  "\r\n"
                  "--" + B() + "ALT===\r\n"
                  "Content-Type: text/plain\r\n"
                  "\r\n"
                  "Plain version\r\nline 2\r\n"
                  "--" + B() + "ALT===\r\n"
                  "Content-Type: text/html\r\n"
                  "\r\n"
                  "<p>hi</p>\r\n"
                  "--" + B() + "ALT===--\r\n"
                  "--" + B() + "--\r\n" + kAfterClosingDelimiter)
        << showBytes(transcript(srv), 4000);
}

TEST_F(SendLayout, QuotedPrintableWithAlternativeAndAttachment) {
    const std::string att = file("notes.txt", "abc");
    tevIntegerParam(0, TEV_BODY_MODE, 1);
    tevStringParam(0, TEV_ALTERNATE_TEXT, "alt");
    ScriptedServer srv;
    scriptMessages(srv, {1});
    srv.start();
    ASSERT_EQ(connect(srv), 0);
    EXPECT_EQ(tevSendEmail(0, kBob, nullptr, nullptr, "Mixed", "main=", att.c_str()), 0);
    ASSERT_TRUE(srv.finish(2000)) << srv.error();
    EXPECT_EQ(transcript(srv),
              kBobEnvelope + kHeaderStart +
                  "Subject: Mixed\r\n"
                  "MIME-Version: 1.0\r\n"
                  "Content-Type: multipart/mixed; boundary=\"" + B() + "\"\r\n"
                  "\r\n"
                  "--" + B() + "\r\n"
                  "Content-Type: multipart/alternative; boundary=\"" + B() + "ALT===\"\r\n"
                  "\r\n"
                  "--" + B() + "ALT===\r\n"
                  "Content-Type: text/plain\r\n"
                  "\r\n"
                  "alt\r\n"
                  "--" + B() + "ALT===\r\n"
                  "Content-Type: text/plain\r\n"
                  "Content-Transfer-Encoding: quoted-printable\r\n"
                  "\r\n"
                  "main=3D\r\n"
                  "--" + B() + "ALT===--\r\n"
                  "\r\n\r\n--" + B() + "\r\n"
                  "Content-Type: application/octet-stream; name=\"notes.txt\"\r\n"
                  "Content-Transfer-Encoding: base64\r\n"
                  "Content-Disposition: attachment; filename=\"notes.txt\"\r\n"
                  "\r\n"
                  "YWJj\r\n"
                  "--" + B() + "--\r\n" + kAfterClosingDelimiter)
        << showBytes(transcript(srv), 4000);
}

TEST_F(SendLayout, PlainBodyDropsTheAlternativeText) {
    ASSERT_EQ(tevStringParam(0, TEV_ALTERNATE_TEXT, "alt"), 3);
    ScriptedServer srv;
    scriptMessages(srv, {1});
    srv.start();
    ASSERT_EQ(connect(srv), 0);
    EXPECT_EQ(tevSendEmail(0, kBob, nullptr, nullptr, "Plain", "text", nullptr), 0);
    ASSERT_TRUE(srv.finish(2000)) << srv.error();
    EXPECT_EQ(transcript(srv), kBobEnvelope + kHeaderStart + "Subject: Plain\r\n\r\ntext\r\n" + kEnd);
    EXPECT_EQ(rec().alternateText, nullptr);
    EXPECT_EQ(tevStringParam(0, TEV_ALTERNATE_TEXT, "again"), 5);  // it can be set anew
}

TEST_F(SendLayout, ToCcAndBccEnvelopeWithoutBccHeader) {
    ScriptedServer srv;
    scriptMessages(srv, {4});
    srv.start();
    ASSERT_EQ(connect(srv), 0);
    EXPECT_EQ(tevSendEmail(0, "Bob <bob@x.test>, Cy <cy@x.test>", "Di <di@x.test>", "<eve@x.test>", "Hi", "x",
                           nullptr),
              0);
    ASSERT_TRUE(srv.finish(2000)) << srv.error();
    EXPECT_EQ(transcript(srv),
              envelope({"<bob@x.test>", "<cy@x.test>", "<di@x.test>", "<eve@x.test>"}) +
                  "X-Mailer: Orvane TEV Version 3.4\r\nDate: *\r\n"
                  "To: Bob <bob@x.test>, Cy <cy@x.test>\r\n"
                  "From: Ann <ann@example.com>\r\n"
                  "Subject: Hi\r\n"
                  "CC: Di <di@x.test>\r\n"
                  "\r\nx\r\n" + kEnd)
        << showBytes(transcript(srv), 3000);
    EXPECT_STREQ(rec().lastRecipient, "<eve@x.test>");
    EXPECT_STREQ(rec().toList, "Bob <bob@x.test>, Cy <cy@x.test>");  // the separators are back
}

TEST_F(SendLayout, SemicolonSeparatedListsAndTrailingSeparator) {
    tevIntegerParam(0, TEV_ADDRESS_SEPARATOR, ';');
    ScriptedServer srv;
    scriptMessages(srv, {2});
    srv.start();
    ASSERT_EQ(connect(srv), 0);
    EXPECT_EQ(tevSendEmail(0, "Lee, Bob <bob@x.test>;<cy@x.test>;", nullptr, nullptr, nullptr, "x", nullptr), 0);
    ASSERT_TRUE(srv.finish(2000)) << srv.error();
    EXPECT_EQ(transcript(srv), envelope({"<bob@x.test>", "<cy@x.test>"}) +
                                   "X-Mailer: Orvane TEV Version 3.4\r\nDate: *\r\n"
                                   "To: Lee, Bob <bob@x.test>;<cy@x.test>;\r\n"
                                   "From: Ann <ann@example.com>\r\n\r\nx\r\n" + kEnd)
        << showBytes(transcript(srv), 3000);
}

TEST_F(SendLayout, HeaderOptions) {
    ScriptedServer srv;
    scriptMessages(srv, {1, 1, 1, 1});
    srv.start();
    ASSERT_EQ(connect(srv), 0);
    ASSERT_EQ(tevStringParam(0, TEV_HEADER_LINES, "X-One: 1"), 4);
    ASSERT_EQ(tevStringParam(0, TEV_ADD_HEADER_LINE, "X-Two: 2"), 4);
    tevStringParam(0, TEV_REPLY_TO, "Desk <desk@example.com>");
    // Without a subject the extra header lines stay out; with one they follow it.
    EXPECT_EQ(tevSendEmail(0, kBob, nullptr, nullptr, nullptr, "a", nullptr), 0);
    EXPECT_EQ(tevSendEmail(0, kBob, nullptr, nullptr, "S", "b", nullptr), 0);
    // No To line; an empty subject counts as none.
    tevIntegerParam(0, TEV_NO_TO_HEADER, 1);
    tevStringParam(0, TEV_HEADER_LINES, "");
    EXPECT_EQ(tevSendEmail(0, kBob, "", "", "", "", ""), 0);
    // The empty text sends no line; the end of data is still an empty line and the '.' line.
    tevIntegerParam(0, TEV_NO_TO_HEADER, 0);
    EXPECT_EQ(tevSendEmail(0, kBob, nullptr, nullptr, "E", nullptr, nullptr), 0);
    ASSERT_TRUE(srv.finish(2000)) << srv.error();
    const std::string replyTo = "Reply-To: Desk <desk@example.com>\r\n";
    EXPECT_EQ(transcript(srv),
              kBobEnvelope + kHeaderStart + replyTo + "\r\na\r\n" + kEnd +
                  kBobEnvelope + kHeaderStart + replyTo + "Subject: S\r\nX-One: 1\r\nX-Two: 2\r\n\r\nb\r\n" + kEnd +
                  kBobEnvelope + "X-Mailer: Orvane TEV Version 3.4\r\nDate: *\r\nFrom: Ann <ann@example.com>\r\n" +
                  replyTo + "\r\n" + kEnd +
                  kBobEnvelope + kHeaderStart + replyTo + "Subject: E\r\n\r\n" + kEnd)
        << showBytes(transcript(srv), 4000);
}

TEST_F(SendLayout, UnprintableBytesInPlainText) {
    ScriptedServer srv;
    scriptMessages(srv, {1, 1});
    srv.start();
    ASSERT_EQ(connect(srv), 0);
    const char *text = "tab\there caf\xE9";
    EXPECT_EQ(tevSendEmail(0, kBob, nullptr, nullptr, "8", text, nullptr), 0);
    tevIntegerParam(0, TEV_PASS_8BIT, 1);
    EXPECT_EQ(tevSendEmail(0, kBob, nullptr, nullptr, "8", text, nullptr), 0);
    ASSERT_TRUE(srv.finish(2000)) << srv.error();
    EXPECT_EQ(transcript(srv), kBobEnvelope + kHeaderStart + "Subject: 8\r\n\r\ntab~here caf~\r\n" + kEnd +
                                   kBobEnvelope + kHeaderStart + "Subject: 8\r\n\r\n" + text + "\r\n" + kEnd);
}

TEST_F(SendLayout, MessageTextFromAFile) {
    const std::string path = file("body.txt", "from a file\r\n.\r\nend\r\n");
    ScriptedServer srv;
    scriptMessages(srv, {1});
    srv.start();
    ASSERT_EQ(connect(srv), 0);
    EXPECT_EQ(tevSendEmail(0, kBob, nullptr, nullptr, "F", ("@" + path).c_str(), nullptr), 0);
    ASSERT_TRUE(srv.finish(2000)) << srv.error();
    EXPECT_EQ(transcript(srv),
              kBobEnvelope + kHeaderStart + "Subject: F\r\n\r\nfrom a file\r\n..\r\nend\r\n" + kEnd);
    EXPECT_EQ(rec().fileHandle, 0);
    EXPECT_EQ(tevStatistics(0, TEV_STAT_TEXT_READ), 21);
    EXPECT_TRUE(contains(log(), "Opening message file [" + path + "]\r\n"));
}

TEST_F(SendLayout, LongListsSubjectsAndTextsAreSentWhole) {
    std::string to;
    std::vector<std::string> rcpts;
    for (int i = 0; i < 60; ++i) {
        std::string address = "<recipient" + std::to_string(i) + "@a-rather-long-domain-name.example>";
        to += (i ? ", " : "") + std::string("Recipient Number ") + std::to_string(i) + " " + address;
        rcpts.push_back(address);
    }
    ASSERT_GT(to.size(), 4000u);
    const std::string subject = letters(3000);
    const std::string alternative = letters(5000);
    const std::string htmlLine = letters(3000);
    tevIntegerParam(0, TEV_BODY_MODE, 2);
    tevStringParam(0, TEV_ALTERNATE_TEXT, alternative.c_str());
    ScriptedServer srv;
    scriptMessages(srv, {60});
    srv.start();
    ASSERT_EQ(connect(srv), 0);
    EXPECT_EQ(tevSendEmail(0, to.c_str(), nullptr, nullptr, subject.c_str(), htmlLine.c_str(), nullptr), 0);
    ASSERT_TRUE(srv.finish(3000)) << srv.error();
    const std::string t = transcript(srv);
    EXPECT_EQ(t.substr(0, envelope(rcpts).size()), envelope(rcpts));
    // No line on the wire passes 998 characters: the To line is folded at the last blank that keeps it within,
    // the alternative text and the HTML line are split; a Subject without a blank goes out whole.
    std::string folded = to;
    for (size_t start = 0; folded.size() - start + 4 > 998;) {
        size_t blank = folded.rfind(' ', start + 998 - (start == 0 ? 4 : 0));
        folded.insert(blank, "\r\n");
        start = blank + 2;
    }
    EXPECT_TRUE(contains(t, "\r\nTo: " + folded + "\r\n")) << showBytes(t, 6000);
    EXPECT_TRUE(contains(t, "\r\nSubject: " + subject + "\r\n"));
    std::string split;
    for (size_t at = 0; at < alternative.size(); at += 998) split += alternative.substr(at, 998) + "\r\n";
    EXPECT_TRUE(contains(t, "\r\n\r\n" + split + "--" + B() + "ALT===\r\n"));
    EXPECT_TRUE(contains(t, "\r\n\r\n" + htmlLine.substr(0, 998) + "\r\n" + htmlLine.substr(998, 998) + "\r\n" +
                                htmlLine.substr(1996, 998) + "\r\n" + htmlLine.substr(2994) + "\r\n--"));
    size_t longest = 0;
    for (size_t at = 0, end; (end = t.find("\r\n", at)) != std::string::npos; at = end + 2) {
        if (t.compare(at, 9, "Subject: ") != 0) longest = std::max(longest, end - at);
    }
    EXPECT_LE(longest, 998u);
}

TEST_F(SendLayout, DelimiterAfterTheTextFollowsTheByteAfterTheLastRead) {
    // A DATA reply one byte shorter than the reply before it leaves that reply's LF just after it in the reply
    // buffer; the first attachment's delimiter then has one line end before it instead of two.
    const std::string att = file("a.bin", "abc");
    ScriptedServer srv;
    srv.send("220 mail.test ready\r\n").readLine().send("250 ok\r\n");
    srv.readLine().send("250 ok\r\n").readLine().send("250 ok\r\n");
    srv.readLine().send("354 g\r\n").readUntil("\r\n.\r\n").send("250 ok\r\n");
    srv.start();
    ASSERT_EQ(connect(srv), 0);
    EXPECT_EQ(tevSendEmail(0, kBob, nullptr, nullptr, "D", "t", att.c_str()), 0);
    ASSERT_TRUE(srv.finish(2000)) << srv.error();
    EXPECT_TRUE(contains(transcript(srv), "\r\n\r\nt\r\n\r\n--" + B() + "\r\nContent-Type: application/octet-stream"))
        << showBytes(transcript(srv), 3000);
}

TEST_F(SendLayout, DrivenByTheApplication) {
    tevIntegerParam(0, TEV_AUTO_CALL, 0);
    ScriptedServer srv;
    scriptMessages(srv, {1});
    srv.start();
    tevIntegerParam(0, TEV_SMTP_PORT, srv.port());
    ASSERT_EQ(tevSmtpConnect(0, "127.0.0.1", "Ann <ann@example.com>", nullptr), 0);
    const uint32_t start = tev::platform::tick();
    int32_t r;
    do r = tevDriver(0);
    while (r > 0 && tev::platform::tickDiff(tev::platform::tick(), start) < 5000);
    ASSERT_EQ(r, 0);
    const uint32_t before = tev::platform::tick();
    ASSERT_EQ(tevSendEmail(0, kBob, nullptr, nullptr, "A", "text", nullptr), 0);
    EXPECT_EQ(rec().nextState, 204);
    EXPECT_EQ(rec().waitWritable, 1);
    // The first step's wait for a writable socket has a limit of its own.
    EXPECT_GE(tev::platform::tickDiff(rec().deadline, before), 1500);
    EXPECT_LE(tev::platform::tickDiff(rec().deadline, tev::platform::tick()), 1500);
    EXPECT_FALSE(contains(log(), "*** Sending..."));
    std::vector<int32_t> states;
    do {
        r = tevDriver(0);
        if (r != 9999 && (states.empty() || states.back() != r)) states.push_back(r);
    } while (r > 0 && tev::platform::tickDiff(tev::platform::tick(), start) < 5000);
    ASSERT_EQ(r, 0);
    EXPECT_EQ(states, (std::vector<int32_t>{205, 206, 207, 208, 209, 210, 221, 223, 224, 225, 227, 233, 238, 240,
                                            241, 251, 252, 0}));
    ASSERT_TRUE(srv.finish(2000)) << srv.error();
    EXPECT_EQ(transcript(srv), kBobEnvelope + kHeaderStart + "Subject: A\r\n\r\ntext\r\n" + kEnd);
}

}  // namespace
