// The MIME decoder with TEV_UTF8 1: encoded words of any charset iconv knows decoded to UTF-8 in the header lines
// the message file keeps (adjacent words joined, folded lines unfolded), and words that cannot be decoded (an
// unknown or over-long charset name, a word cut in the middle) kept as received, the line end always kept.
#include <gtest/gtest.h>

#include <string>

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

}  // namespace
