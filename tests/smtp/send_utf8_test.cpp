// tevSendEmail with TEV_UTF8 1 against the scripted loopback server: the exact bytes of encoded-word headers
// (a long Subject folded at 78 columns, display names with commas and umlauts), RFC 2231 attachment names, UTF-8
// text parts as quoted-printable or base64, invalid UTF-8 sent as it is, the unique Message-ID of every message,
// and SMTPUTF8 for addresses beyond ASCII.
#include <gtest/gtest.h>

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

class SendUtf8 : public tevtest::SendTest {
protected:
    void SetUp() override {
        SendTest::SetUp();
        ASSERT_EQ(tevIntegerParam(0, TEV_UTF8, 1), 1);
    }
    std::string B() const { return boundary; }
    // One message to Bob through a HELO session; the transcript after HELO.
    std::string send(const char *to, const char *subject, const char *text, const char *attachments = nullptr,
                     const char *from = "Ann <ann@example.com>", int recipients = 1) {
        ScriptedServer srv;
        scriptMessages(srv, {recipients});
        srv.start();
        tevIntegerParam(0, TEV_SMTP_PORT, srv.port());
        EXPECT_EQ(tevSmtpConnect(0, "127.0.0.1", from, replyTo), 0);
        EXPECT_EQ(tevSendEmail(0, to, nullptr, nullptr, subject, text, attachments), 0);
        EXPECT_TRUE(srv.finish(2000)) << srv.error();
        return transcript(srv);
    }
    const char *replyTo = nullptr;
};

const char *const kBob = "Bob <bob@x.test>";
const std::string kBobEnvelope = "MAIL FROM:<ann@example.com>\r\nRCPT TO:<bob@x.test>\r\nDATA\r\n";
const std::string kId = "Message-ID: <message-root.*@example.com>\r\n";
const std::string kMailer = "X-Mailer: Orvane TEV Version 3.4\r\nDate: *\r\n";
const std::string kToFrom = "To: Bob <bob@x.test>\r\nFrom: Ann <ann@example.com>\r\n";
const std::string kEnd = "\r\n.\r\n";

TEST_F(SendUtf8, AsciiPlainMessageOnlyGainsItsMessageId) {
    EXPECT_EQ(send(kBob, "Hello", "plain words"),
              kBobEnvelope + kId + kMailer + kToFrom + "Subject: Hello\r\n\r\nplain words\r\n" + kEnd);
    const std::string id = "Message-ID: <message-root.";
    // Two messages never share an ID.
    ScriptedServer srv;
    scriptMessages(srv, {1, 1});
    srv.start();
    ASSERT_EQ(connect(srv), 0);
    EXPECT_EQ(tevSendEmail(0, kBob, nullptr, nullptr, "One", "1", nullptr), 0);
    EXPECT_EQ(tevSendEmail(0, kBob, nullptr, nullptr, "Two", "2", nullptr), 0);
    ASSERT_TRUE(srv.finish(2000)) << srv.error();
    const std::string bytes = srv.received();
    const size_t first = bytes.find(id), second = bytes.find(id, first + 1);
    ASSERT_NE(second, std::string::npos);
    const std::string a = bytes.substr(first, bytes.find('\r', first) - first);
    const std::string b = bytes.substr(second, bytes.find('\r', second) - second);
    EXPECT_NE(a, b);
    EXPECT_EQ(a.substr(a.size() - 13), "@example.com>");
}

TEST_F(SendUtf8, LongSubjectIsFoldedIntoWordsOfWholeCharacters) {
    std::string subject;
    for (int i = 0; i < 20; ++i) subject += "Grüße 日本語 ";
    const std::string expected =
        "Subject: =?utf-8?B?R3LDvMOfZSDml6XmnKzoqp4gR3LDvMOfZSDml6XmnKzoqp4gR3LDvMOf?=\r\n"
        " =?utf-8?B?ZSDml6XmnKzoqp4gR3LDvMOfZSDml6XmnKzoqp4gR3LDvMOfZSDml6XmnKzoqp4g?=\r\n"
        " =?utf-8?B?R3LDvMOfZSDml6XmnKzoqp4gR3LDvMOfZSDml6XmnKzoqp4gR3LDvMOfZSDml6U=?=\r\n"
        " =?utf-8?B?5pys6KqeIEdyw7zDn2Ug5pel5pys6KqeIEdyw7zDn2Ug5pel5pys6KqeIEdyw7w=?=\r\n"
        " =?utf-8?B?w59lIOaXpeacrOiqniBHcsO8w59lIOaXpeacrOiqniBHcsO8w59lIOaXpeacrA==?=\r\n"
        " =?utf-8?B?6KqeIEdyw7zDn2Ug5pel5pys6KqeIEdyw7zDn2Ug5pel5pys6KqeIEdyw7zDn2Ug?=\r\n"
        " =?utf-8?B?5pel5pys6KqeIEdyw7zDn2Ug5pel5pys6KqeIEdyw7zDn2Ug5pel5pys6KqeIEdy?=\r\n"
        " =?utf-8?B?w7zDn2Ug5pel5pys6KqeIEdyw7zDn2Ug5pel5pys6KqeIA==?=\r\n";
    EXPECT_EQ(send(kBob, subject.c_str(), "x"), kBobEnvelope + kId + kMailer + kToFrom + expected + "\r\nx\r\n" + kEnd);
}

TEST_F(SendUtf8, DisplayNamesBecomeWordsAndAddressesStay) {
    replyTo = "Jürgen Ä <ann@example.com>";
    // The list's own separator is ';' here, so the comma can stand in the name; the header joins with ", ".
    tevIntegerParam(0, TEV_ADDRESS_SEPARATOR, ';');
    const std::string t = send("\"Müller, Jürgen\" <jm@x.test>;Bob <bob@x.test>", "Hi", "x", nullptr,
                               "Jürgen Ä <ann@example.com>", 2);
    EXPECT_EQ(t, "MAIL FROM:<ann@example.com>\r\nRCPT TO:<jm@x.test>\r\nRCPT TO:<bob@x.test>\r\nDATA\r\n" + kId +
                     kMailer +
                     "To: =?utf-8?B?TcO8bGxlciwgSsO8cmdlbg==?= <jm@x.test>, Bob <bob@x.test>\r\n"
                     "From: =?utf-8?B?SsO8cmdlbiDDhA==?= <ann@example.com>\r\n"
                     "Reply-To: =?utf-8?B?SsO8cmdlbiDDhA==?= <ann@example.com>\r\n"
                     "Subject: Hi\r\n\r\nx\r\n" + kEnd)
        << showBytes(t, 3000);
}

TEST_F(SendUtf8, AttachmentNamesGetEncodedWordsAndRfc2231) {
    const std::string path = tmp.file("résumé 2026.pdf");
    ASSERT_TRUE(tevtest::writeWholeFile(path, "PDF"));
    const std::string longName = "Übersicht der Jahresabschlüsse für das Geschäftsjahr 2026.pdf";
    const std::string list = path + "," + path + "|" + longName;
    const std::string t = send(kBob, "Files", "See.", list.c_str());
    const std::string part = "\r\n\r\n--" + B() + "\r\n";
    EXPECT_EQ(t, kBobEnvelope + kId + kMailer + kToFrom +
                     "Subject: Files\r\n"
                     "MIME-Version: 1.0\r\n"
                     "Content-Type: multipart/mixed; boundary=\"" + B() + "\"\r\n"
                     "\r\n"
                     "--" + B() + "\r\n"
                     "Content-Type: text/plain; charset=utf-8\r\n"
                     "\r\n"
                     "See.\r\n" + part +
                     "Content-Type: application/octet-stream; name=\"=?utf-8?B?csOpc3Vtw6kgMjAyNi5w?=\r\n"
                     " =?utf-8?B?ZGY=?=\"\r\n"
                     "Content-Transfer-Encoding: base64\r\n"
                     "Content-Disposition: attachment; filename*=utf-8''r%C3%A9sum%C3%A9%202026.pdf\r\n"
                     "\r\nUERG\r\n" + part +
                     "Content-Type: application/octet-stream; name=\"=?utf-8?B?w5xiZXJzaWNodCBkZXIg?=\r\n"
                     " =?utf-8?B?SmFocmVzYWJzY2hsw7xzc2UgZsO8ciBkYXMgR2VzY2jDpGZ0c2phaHIgMjAyNi5w?=\r\n"
                     " =?utf-8?B?ZGY=?=\"\r\n"
                     "Content-Transfer-Encoding: base64\r\n"
                     "Content-Disposition: attachment;\r\n"
                     " filename*0*=utf-8''%C3%9Cbersicht%20der%20Jahresabschl%C3%BCsse%20f%C3%BCr;\r\n"
                     " filename*1*=%20das%20Gesch%C3%A4ftsjahr%202026.pdf\r\n"
                     "\r\nUERG\r\n"
                     "--" + B() + "--\r\n\r\n" + kEnd)
        << showBytes(t, 4000);
}

TEST_F(SendUtf8, JapaneseTextGoesOutAsBase64AndGermanAsQuotedPrintable) {
    EXPECT_EQ(send(kBob, "JP", "日本語のメールです。\nこんにちは"),
              kBobEnvelope + kId + kMailer + kToFrom +
                  "Subject: JP\r\nMIME-Version: 1.0\r\n"
                  "Content-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: base64\r\n\r\n"
                  "5pel5pys6Kqe44Gu44Oh44O844Or44Gn44GZ44CCDQrjgZPjgpPjgavjgaHjga8=\r\n" + kEnd);
    // One line of 100 characters: soft breaks keep every line within 76; ".", "=" and a blank before the line
    // end are escaped.
    const std::string german = "Grüße = viele " + std::string(86, 'x') + "\n.dot \nend";
    EXPECT_EQ(send(kBob, "DE", german.c_str()),
              kBobEnvelope + kId + kMailer + kToFrom +
                  "Subject: DE\r\nMIME-Version: 1.0\r\n"
                  "Content-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n"
                  "Gr=C3=BC=C3=9Fe =3D viele " + std::string(49, 'x') + "=\r\n" + std::string(37, 'x') +
                  "\r\n=2Edot=20\r\nend\r\n" + kEnd);
}

TEST_F(SendUtf8, InvalidUtf8IsSentAsItIs) {
    // Cut and stray sequences go out byte for byte (base64 is the shorter here), never dropped or replaced.
    std::string t = send(kBob, "Bad \xC3 \xFF", "a\xFF\xFE" "b\xC3\xE6\x97");
    EXPECT_EQ(t, kBobEnvelope + kId + kMailer + kToFrom +
                     "Subject: =?utf-8?B?QmFkIMMg/w==?=\r\nMIME-Version: 1.0\r\n"
                     "Content-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: base64\r\n\r\n"
                     "Yf/+YsPmlw==\r\n" + kEnd)
        << showBytes(t, 3000);
    t = send(kBob, "Q", "plain text with one bad byte \xE6\x97 here");
    EXPECT_NE(t.find("\r\n\r\nplain text with one bad byte =E6=97 here\r\n"), std::string::npos) << showBytes(t, 3000);
}

TEST_F(SendUtf8, HtmlAndItsAlternativeDeclareUtf8) {
    tevIntegerParam(0, TEV_BODY_MODE, 2);
    ASSERT_GT(tevStringParam(0, TEV_ALTERNATE_TEXT, "Viele Grüße aus der schönen Stadt\nzweite Zeile"), 0);
    const std::string t = send(kBob, "Alt", "<p>Viele Grüße aus der Stadt</p>");
    EXPECT_EQ(t, kBobEnvelope + kId + kMailer + kToFrom +
                     "Subject: Alt\r\n"
                     "MIME-Version: 1.0\r\n"
                     "Content-Type: multipart/related;type=\"multipart/alternative\";\r\n"
                     " boundary=\"" + B() + "\"\r\n"
                     "\r\n"
                     "--" + B() + "\r\n"
                     "Content-Type: multipart/alternative; boundary=\"" + B() + "ALT===\"\r\n"
                     "\r\n"
                     "--" + B() + "ALT===\r\n"
                     "Content-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: quoted-printable\r\n"
                     "\r\n"
                     "Viele Gr=C3=BC=C3=9Fe aus der sch=C3=B6nen Stadt\r\nzweite Zeile\r\n"
                     "--" + B() + "ALT===\r\n"
                     "Content-Type: text/html; charset=utf-8\r\nContent-Transfer-Encoding: quoted-printable\r\n"
                     "\r\n"
                     "<p>Viele Gr=C3=BC=C3=9Fe aus der Stadt</p>\r\n"
                     "--" + B() + "ALT===--\r\n"
                     "--" + B() + "--\r\n\r\n" + kEnd)
        << showBytes(t, 4000);
}

TEST_F(SendUtf8, TextFromAFileIsQuotedPrintableWhileItIsRead) {
    const std::string path = tmp.file("text.txt");
    ASSERT_TRUE(tevtest::writeWholeFile(path, "Grüße\r\n" + std::string(80, 'y') + "\n"));
    const std::string at = "@" + path;
    EXPECT_EQ(send(kBob, "F", at.c_str()),
              kBobEnvelope + kId + kMailer + kToFrom +
                  "Subject: F\r\nMIME-Version: 1.0\r\n"
                  "Content-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n"
                  "Gr=C3=BC=C3=9Fe\r\n" + std::string(73, 'y') + "=\r\n" + std::string(7, 'y') + "\r\n" + kEnd);
}

class SendUtf8Envelope : public SendUtf8 {
protected:
    // An EHLO session whose reply offers the given extension line; the client's bytes after EHLO.
    int32_t sendEhlo(ScriptedServer &srv, const char *extension, bool transaction) {
        tevIntegerParam(0, TEV_USE_EHLO, 1);
        srv.send("220 mail.test ready\r\n").readLine().send(std::string("250-mail.test\r\n250 ") + extension +
                                                             "\r\n");
        if (transaction) {
            srv.readLine().send("250 ok\r\n").readLine().send("250 ok\r\n");
            srv.readLine().send("354 go\r\n").readUntil("\r\n.\r\n").send("250 ok\r\n");
        }
        srv.start();
        EXPECT_EQ(connect(srv, "Jürgen <jürgen@bücher.test>"), 0);
        return tevSendEmail(0, "Zoë <zoë@x.test>", nullptr, nullptr, "S", "x", nullptr);
    }
};

TEST_F(SendUtf8Envelope, NonAsciiAddressesGoOutWithSmtpUtf8) {
    ScriptedServer srv;
    EXPECT_EQ(sendEhlo(srv, "SMTPUTF8", true), 0);
    ASSERT_TRUE(srv.finish(2000)) << srv.error();
    const std::string bytes = srv.received();
    const std::string expected =
        "EHLO bücher.test\r\nMAIL FROM:<jürgen@bücher.test> SMTPUTF8\r\nRCPT TO:<zoë@x.test>\r\nDATA\r\n"
        "Message-ID: <message-root.";
    EXPECT_EQ(bytes.substr(0, expected.size()), expected) << showBytes(bytes, 2000);
    EXPECT_NE(bytes.find("@bücher.test>\r\n"), std::string::npos);
    EXPECT_NE(bytes.find("\r\nTo: =?utf-8?B?Wm/Dqw==?= <zoë@x.test>\r\n"), std::string::npos) << showBytes(bytes, 2000);
}

TEST_F(SendUtf8Envelope, ServerWithoutSmtpUtf8FailsBeforeMail) {
    ScriptedServer srv;
    EXPECT_EQ(sendEhlo(srv, "8BITMIME", false), TEV_E_UTF8_ADDRESS);
    ASSERT_TRUE(srv.finish(2000)) << srv.error();
    EXPECT_EQ(srv.received(), "EHLO bücher.test\r\n");
    char text[128];
    ASSERT_GT(tevErrorText(0, TEV_E_UTF8_ADDRESS, text, sizeof text), 0);
    EXPECT_STREQ(text, "Server does not accept UTF-8 addresses.");
}

}  // namespace
