// The MIME decoder with TEV_UTF8 1: encoded words of any charset iconv knows decoded to UTF-8 in the header lines
// the message file keeps (adjacent words joined, folded lines unfolded), and words that cannot be decoded (an
// unknown or over-long charset name, a word cut in the middle) kept as received, the line end always kept.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "pop3/decoder_fixture.h"

using tevtest::crlf;
using tevtest::showBytes;

namespace {

class DecoderUtf8 : public tevtest::DecoderTest {
protected:
    void SetUp() override {
        DecoderTest::SetUp();
        ASSERT_EQ(tevIntegerParam(0, TEV_UTF8, 1), 1);
    }
};

TEST_F(DecoderUtf8, WordsOfEveryCharsetBecomeUtf8) {
    const std::string message =
        crlf("Subject: =?UTF-8?B?5pel5pys?= =?ISO-8859-1?Q?Gr=FC=DFe_aus?= Rom\n"
             "From: =?KOI8-R?B?6dfBzg==?= <ivan@x.test>\n"
             "To: =?iso-2022-jp?B?GyRCRnxLXDhsGyhC?= <jp@x.test>,\n"
             "  =?utf-8?q?Z=C3=B6e?= <zoe@x.test>\n"
             "X-Plain: no words here\n\nbody =?UTF-8?B?5pel5pys?=\n");
    ASSERT_EQ(fetch(message), 0);
    EXPECT_EQ(messageFile(), crlf("Subject: 日本Grüße aus Rom\nFrom: Иван <ivan@x.test>\n"
                                  "To: 日本語 <jp@x.test>, Zöe <zoe@x.test>\n"
                                  "X-Plain: no words here\n\nbody =?UTF-8?B?5pel5pys?=\n"))
        << showBytes(messageFile(), 2000);
}

TEST_F(DecoderUtf8, MimeTopHeaderLinesAreDecodedToo) {
    const std::string message = crlf("Subject: =?utf-8?B?5pel5pys?=\n =?utf-8?B?6Kqe?=\nMIME-Version: 1.0\n"
                                     "From: =?iso-8859-15?q?=A4uro?= <e@x.test>\n"
                                     "Content-Type: text/plain\n\ntext\n");
    ASSERT_EQ(fetch(message), 0);
    EXPECT_EQ(messageFile(), crlf("Subject: 日本語\nMIME-Version: 1.0\nFrom: €uro <e@x.test>\n\ntext\n"))
        << showBytes(messageFile(), 2000);
}

TEST_F(DecoderUtf8, WordsThatCannotBeDecodedStayAsReceived) {
    const std::string longCharset(500, 'x');
    const std::string message = crlf("Subject: =?" + longCharset + "?B?5pel5pys?= end\n"
                                     "Subject: =?no-such-charset?q?abc?= =?utf-8?q?ok?=\n"
                                     "Subject: cut =?UTF-8?B?5pel5pys\nX-Next: after\n"
                                     "Subject: =?utf-8?q?a=0D=0Ab?= =?utf-8?b?AA==?=\n\nbody\n");
    ASSERT_EQ(fetch(message), 0);
    EXPECT_EQ(messageFile(), crlf("Subject: =?" + longCharset + "?B?5pel5pys?= end\n"
                                  "Subject: =?no-such-charset?q?abc?= ok\n"
                                  "Subject: cut =?UTF-8?B?5pel5pys\nX-Next: after\n"
                                  "Subject: a  b \n\nbody\n"))
        << showBytes(messageFile(), 3000);
}

TEST_F(DecoderUtf8, TenThousandAdjacentWordsStayWithinTheLine) {
    std::string subject = "Subject:";
    for (int i = 0; i < 10000; ++i) subject += " =?utf-8?q?a?=";
    ASSERT_EQ(fetch(crlf(subject + "\nX-After: 1\n\nbody\n")), 0);
    const std::string file = messageFile();
    // The line arrives in parts: the words of the first are decoded (a word cut at its end stays as it is), the
    // rest follows as received; the line stays one line and the next header keeps its own.
    ASSERT_EQ(file.compare(0, 20, "Subject: aaaaaaaaaaa"), 0) << showBytes(file, 500);
    EXPECT_EQ(file.find("\r\n"), file.size() - std::string("\r\nX-After: 1\r\n\r\nbody\r\n").size())
        << showBytes(file, 500);
    const std::string ending = " =?utf-8?q?a?=\r\nX-After: 1\r\n\r\nbody\r\n";
    EXPECT_EQ(file.substr(file.size() - ending.size()), ending);
}

// A multipart message decoded whole: a Latin-1 quoted-printable text and a base64 ISO-8859-1 text without a
// last line end become UTF-8 in the message file, an RFC 2231 name in sections names the attachment file.
TEST_F(DecoderUtf8, PartsBecomeUtf8TextAndNamedFiles) {
    const std::string message = crlf(
        "Subject: parts\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"b\"\n\n--b\n"
        "Content-Type: text/plain; charset=\"iso-8859-1\"\nContent-Transfer-Encoding: quoted-printable\n\n"
        "Caf=E9 cr=E8me, tr=E8s lo=\nng\n--b\n"
        "Content-Type: text/plain;\n charset=iso-8859-1\nContent-Transfer-Encoding: base64\n\nR3L832UsIEv2bG4=\n--b\n"
        "Content-Type: application/octet-stream\nContent-Transfer-Encoding: base64\n"
        "Content-Disposition: attachment;\n filename*0*=iso-8859-1'de'R%E9sum%E9;\n\tfilename*1=\" 2026.pdf\"\n\n"
        "YWJj\n--b--\n");
    ASSERT_EQ(fetch(message), 0);
    EXPECT_EQ(messageFile(), crlf("Subject: parts\nMIME-Version: 1.0\n\nCafé crème, très long\n") +
                                 "Grüße, Köln" + note("Résumé 2026.pdf"))
        << showBytes(messageFile(), 2000);
    EXPECT_EQ(attachment("Résumé 2026.pdf"), "abc");
    EXPECT_EQ(savedList(), "Résumé 2026.pdf");
}

// Text that cannot be converted is written as it is: an unknown charset, a name too long or not a charset name,
// bytes that are not valid in the declared charset (each passed on, the rest converted).
TEST_F(DecoderUtf8, TextThatCannotBeConvertedIsKeptAsReceived) {
    const std::string part = "--b\nContent-Type: text/plain; charset=";
    const std::string message = crlf(
        "MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"b\"\n\n" +
        part + std::string(500, 'k') + "\nContent-Transfer-Encoding: 8bit\n\nl\xe4nger\n" +
        part + "x-no-such-charset\n\nunbekannt \xe4\n" +
        part + "\"iso-8859-1//TRANSLIT\"\n\nkein Name \xe4\n" +
        part + "utf-8\nContent-Transfer-Encoding: base64\n\nb2sg//4gZW5kCg==\n" +
        part + "euc-jp\n\n\xc6\xfc\xcb\xdc \xa4\n--b--\n");
    ASSERT_EQ(fetch(message), 0);
    EXPECT_EQ(messageFile(), crlf("MIME-Version: 1.0\n\nl\xe4nger\nunbekannt \xe4\nkein Name \xe4\n") +
                                 "ok \xff\xfe end\n" + "日本 \xa4\r\n")
        << showBytes(messageFile(), 2000);
}

// Hostile names: a 500-byte charset (the bytes kept), an encoded word cut in the middle (kept as received),
// control characters, 10,000 sections (the line room holds what it can; the name is cut to 128 bytes without
// splitting a character), and separators inside the decoded name.
TEST_F(DecoderUtf8, HostileNamesStayWithinTheirLimits) {
    std::string sections;
    for (int i = 0; i < 10000; ++i) sections += ";\n filename*" + std::to_string(i) + "*=%C3%A4";
    auto named = [](const std::string &disposition) {
        return "--b\nContent-Type: application/octet-stream\nContent-Disposition: attachment" + disposition +
               "\n\nx\n";
    };
    const std::string message = crlf(
        "MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"b\"\n\n" +
        named("; filename*=" + std::string(500, 'c') + "''abc%41%E4") +
        named("; filename=\"=?UTF-8?B?5pel5pys\"") + named("; filename*=utf-8''a%0Ab%00c%7F.txt") +
        named(sections) + named("; filename*=utf-8''..%2F..%2Fx%5Cy%3Az.txt") + "--b--\n");
    ASSERT_EQ(fetch(message), 0);
    std::string umlauts;
    for (int i = 0; i < 64; ++i) umlauts += "ä";
    std::vector<std::string> expected = {"abcA\xe4", "=?UTF-8?B?5pel5pys", "a_b_c_.txt", umlauts, "z.txt"};
    std::vector<std::string> saved = attachments();
    std::sort(expected.begin(), expected.end());
    std::sort(saved.begin(), saved.end());
    EXPECT_EQ(saved, expected);
}

// A name given twice in one fetch gets a copy number before its extension (a name without one gets it at the
// end); the next fetch starts with no name taken, so it replaces the file as before.
TEST_F(DecoderUtf8, NameTakenInThisFetchGetsACopyNumber) {
    auto named = [](const std::string &name, const std::string &body) {
        return "--b\nContent-Type: application/octet-stream\nContent-Disposition: attachment; filename=\"" +
               name + "\"\n\n" + body + "\n";
    };
    const std::string head = "MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"b\"\n\n";
    const std::string first = crlf(head + named("a.txt", "one") + named("a.txt", "two") + named("a", "three") +
                                   named("a", "four") + "--b--\n");
    const std::string second = crlf(head + named("a.txt", "six") + "--b--\n");
    const std::vector<int32_t> results = fetchAll({first, second});
    ASSERT_EQ(results, (std::vector<int32_t>{0, 0}));
    EXPECT_EQ(attachment("a.txt"), "six\r\n");
    EXPECT_EQ(attachment("a (2).txt"), "two\r\n");
    EXPECT_EQ(attachment("a"), "three\r\n");
    EXPECT_EQ(attachment("a (2)"), "four\r\n");
}

}  // namespace
