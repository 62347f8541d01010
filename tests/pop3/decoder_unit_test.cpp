// The MIME decoder's pieces on their own: quoted-printable, encoded words, safe attachment names, and
// decodeMimeLine driven one line at a time on a record of its own (continuation joins read from a socket pair).
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <thread>

#include "engine/transport.h"
#include "frame/record.h"
#include "frame/text.h"
#include "platform/platform.h"
#include "pop3/decoder.h"
#include "pop3/mime_internal.h"
#include "support/trace.h"

using tevtest::showBytes;

namespace {

std::string qp(const std::string &text) {
    std::string out(text.size() + 1, '\0');
    int32_t n = tev::decodeQuotedPrintable(text.c_str(), &out[0]);
    return out.substr(0, static_cast<size_t>(n));
}

TEST(QuotedPrintable, DecodesByItsOwnRules) {
    EXPECT_EQ(qp("plain text\r\n"), "plain text\r\n");
    EXPECT_EQ(qp("Caf=E9\r\n"), "Caf\xE9\r\n");
    EXPECT_EQ(qp("soft =\r\n"), "soft ");
    EXPECT_EQ(qp("=3D=20=0A"), "= \n");
    EXPECT_EQ(qp("lower =e9 hex"), std::string("lower \x09 hex"));
    EXPECT_EQ(qp("=G1x"), std::string("\x01x"));
    EXPECT_EQ(qp("a=\"b=?c"), "a=\"b=?c");
    EXPECT_EQ(qp("under_score"), "under_score");
    EXPECT_EQ(qp("end="), "end");
    EXPECT_EQ(qp("end=4"), "end");
    EXPECT_EQ(qp("nul=00byte"), std::string("nul\0byte", 8));
    EXPECT_EQ(qp(""), "");
}

std::string unwrap(const std::string &line, tev::mime::WordEncoding mode) {
    char buffer[tev::kBigBufferSize];
    tev::copyText(buffer, line.c_str());
    tev::mime::unwrapEncodedWords(buffer, mode);
    return buffer;
}

TEST(EncodedWords, FindsOnlyIso88591Words) {
    using tev::mime::WordEncoding;
    EXPECT_EQ(tev::mime::encodedWordIn("Subject: =?ISO-8859-1?Q?x?="), WordEncoding::quoted);
    EXPECT_EQ(tev::mime::encodedWordIn("Subject: =?iso-8859-1?b?eA==?="), WordEncoding::base64);
    EXPECT_EQ(tev::mime::encodedWordIn("Subject: =?utf-8?q?x?="), WordEncoding::none);
    EXPECT_EQ(tev::mime::encodedWordIn("Subject: plain"), WordEncoding::none);
}

TEST(EncodedWords, QuotedModeRemovesAtMostTwoWordsOfMarkers) {
    using tev::mime::WordEncoding;
    EXPECT_EQ(unwrap("Subject: =?iso-8859-1?q?a?= and =?iso-8859-1?q?b?= and =?iso-8859-1?q?c?=\r\n",
                     WordEncoding::quoted),
              "Subject: a and b and =?iso-8859-1?q?c?=\r\n");
    // A word without its end cannot be decoded: it stays as received.
    EXPECT_EQ(unwrap("Subject: =?iso-8859-1?q?open\r\n", WordEncoding::quoted), "Subject: =?iso-8859-1?q?open\r\n");
    EXPECT_EQ(unwrap("From: =?iso-8859-1?", WordEncoding::quoted), "From: =?iso-8859-1?");
    EXPECT_EQ(unwrap("Subject: =?iso-8859-1?b?SGk\r\n", WordEncoding::base64), "Subject: =?iso-8859-1?b?SGk\r\n");
    // Searching starts at the fifth character.
    EXPECT_EQ(unwrap("=?iso-8859-1?q?x?=\r\n", WordEncoding::quoted), "=?iso-8859-1?q?x?=\r\n");
}

TEST(EncodedWords, Base64ModeDecodesOneWordAndKeepsTheLength) {
    using tev::mime::WordEncoding;
    const std::string in = "Subject: =?iso-8859-1?b?SGVsbG8=?= rest =?iso-8859-1?b?eA==?=\r\n";
    const std::string out = unwrap(in, WordEncoding::base64);
    EXPECT_EQ(out.size(), in.size() - 15);
    EXPECT_EQ(out, "Subject: Hello" + std::string(out.size() - 16, ' ') + "\r\n");
}

TEST(AttachmentNames, KeepOnlyTheLastComponent) {
    const std::pair<const char *, const char *> cases[] = {
        {"report.pdf", "report.pdf"}, {"../../x", "x"},      {"/etc/x", "x"},    {"..\\..\\x", "x"},
        {"C:x", "x"},                 {"C:\\dir\\x.doc", "x.doc"}, {"", "noname"}, {".", "noname"},
        {"..", "noname"},             {"dir/", "noname"},    {"a/..", "noname"}, {"...", "..."},
    };
    for (const auto &c : cases) {
        char name[tev::kNameSize];
        tev::copyText(name, c.first);
        tev::mime::keepFileNameOnly(name);
        EXPECT_EQ(std::string(name), c.second) << c.first;
    }
}

// A record of its own, decoding into files of the test's directory; the peer end of a socket pair plays the
// server for continuation joins.
class DecoderLines : public tevtest::TempDirTest {
protected:
    void SetUp() override {
        tev::settings.readTimeout.set(300);
        tev::settings.pollSleep.set(2);
        rec->decodeState = 2;
        rec->emailFile = tev::platform::createFile(tmp.file("msg.txt").c_str(), false, true);
        ASSERT_GT(rec->emailFile, 0);
        tev::copyText(rec->attachmentDirectory, tmp.path().c_str());
    }
    void TearDown() override {
        tev::closeAttachment(*rec);
        tev::platform::closeFile(rec->emailFile);
        if (rec->socket > 0) ::close(rec->socket);
        if (peer >= 0) ::close(peer);
        tev::settings.readTimeout.set(25000);
        tev::settings.pollSleep.set(100);
    }

    void connectPeer() {
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        rec->socket = fds[0] >= 3 ? fds[0] : fcntl(fds[0], F_DUPFD, 3);
        peer = fds[1];
    }
    void serverSends(const std::string &bytes) {
        ASSERT_EQ(::write(peer, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // The bytes received and not yet consumed (at most 1023).
    std::string ahead() {
        char buffer[1024];
        int32_t n = tev::peekReceived(*rec, buffer, 1023);
        return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
    }

    int32_t line(const std::string &text, char midLine = 0) {
        tev::copyText(rec->replyBuffer, text.c_str());
        rec->midLine = midLine;
        return tev::decodeMimeLine(*rec);
    }
    std::string current() { return rec->replyBuffer; }

    std::unique_ptr<tev::SessionRecord> rec = std::make_unique<tev::SessionRecord>();
    int peer = -1;
};

TEST_F(DecoderLines, TopHeaderLinesAreAllWrittenUntilTheBlankLine) {
    EXPECT_EQ(line("+OK 120 octets\r\n"), 1);
    EXPECT_EQ(line("Received: x\r\n"), 1);
    EXPECT_EQ(line("MIME-Version: 1.0\r\n"), 1);
    EXPECT_EQ(rec->decodeState, 3);
    EXPECT_EQ(line("Date: x\r\n"), 0);
    EXPECT_EQ(line("To: y\r\n"), 1);
    EXPECT_EQ(line("Content-Transfer-Encoding: 8bit\r\n"), 0);
    EXPECT_EQ(rec->partEncoding, 0);
    EXPECT_EQ(line("\r\n"), 1);
    EXPECT_EQ(rec->decodeState, 0);
    rec->decodeState = 7;
    EXPECT_EQ(line("--anything\r\n"), 1);
}

TEST_F(DecoderLines, LongBoundaryIsCutAndStillSplitsParts) {
    const std::string boundary(200, 'b');
    EXPECT_EQ(line("Content-Type: multipart/mixed; boundary=\"" + boundary + "\"\r\n"), 1);
    EXPECT_EQ(rec->decodeState, 4);
    EXPECT_EQ(rec->mimeBoundaryLength, 128);
    EXPECT_EQ(std::string(rec->mimeBoundary), "--" + boundary.substr(0, 126));
    EXPECT_EQ(line("--" + boundary + "\r\n"), 0);
    EXPECT_EQ(rec->decodeState, 5);
}

TEST_F(DecoderLines, BoundaryParameterWithoutItsEndIsNoBoundary) {
    EXPECT_EQ(line("Content-Type: multipart/mixed; boundary=\"open\r\n"), 1);
    EXPECT_EQ(line("Content-Type: multipart/mixed; boundary=\r\n"), 1);
    EXPECT_EQ(line("Content-Type: multipart/mixed; boundary=\"\"\r\n"), 1);
    EXPECT_EQ(line("Content-Type: multipart/mixed; boundary=x"), 1);  // no CR: a part of a longer line
    EXPECT_EQ(rec->mimeBoundaryLength, 0);
    EXPECT_EQ(rec->decodeState, 2);
}

// The later parts of an over-long line are data: never a boundary, a blank line or a header.
TEST_F(DecoderLines, PartsOfALongLineAreNeverBoundariesOrHeaders) {
    EXPECT_EQ(line("Content-Type: multipart/mixed; boundary=\"b\"\r\n"), 1);
    EXPECT_EQ(line("--b\r\n"), 0);
    EXPECT_EQ(line("\r\n", 1), 0);
    EXPECT_EQ(rec->decodeState, 5);
    EXPECT_EQ(line("Content-Transfer-Encoding: base64\r\n", 1), 0);
    EXPECT_EQ(rec->partEncoding, 0);
    EXPECT_EQ(line("\r\n"), 0);
    EXPECT_EQ(rec->decodeState, 6);
    EXPECT_EQ(line("--b\r\n", 1), 1);
    EXPECT_EQ(rec->decodeState, 6);
    EXPECT_EQ(line("--b--\r\n"), 0);
    EXPECT_EQ(rec->decodeState, 5);
    EXPECT_EQ(rec->boundaryCount, 2);
}

TEST_F(DecoderLines, JoinTakesTheNextLineUnstuffedButNeverTheEndLine) {
    connectPeer();
    rec->decodeState = 3;
    serverSends("..x=1\r\n.\r\n");
    EXPECT_EQ(line("Content-Type: text/plain;  \r\n"), 0);
    EXPECT_EQ(current(), "Content-Type: text/plain;.x=1\r\n");
    EXPECT_EQ(ahead(), ".\r\n");

    EXPECT_EQ(line("Content-Type: text/plain;\r\n"), 0);
    EXPECT_EQ(current(), "Content-Type: text/plain;\r\n");
    EXPECT_EQ(ahead(), ".\r\n");
}

TEST_F(DecoderLines, JoinsStopWhenTheLineBufferIsFull) {
    connectPeer();
    rec->decodeState = 3;
    const std::string first = "Content-Type: text/plain; a=" + std::string(900, 'a') + ";\r\n";
    const std::string second = "\tb=" + std::string(1000, 'b') + ";\r\n";
    const std::string third = " c=" + std::string(1010, 'c') + ";\r\n";
    serverSends(second);
    serverSends(third.substr(0, 500));
    std::thread rest([&] { serverSends(third.substr(500) + "Next: line\r\n"); });
    EXPECT_EQ(line(first), 0);
    rest.join();
    // The third line only partly fits: it is cut where the buffer ends, keeping room for CR LF and NUL.
    const std::string joined = current();
    EXPECT_EQ(joined, first.substr(0, first.size() - 2) + "b=" + std::string(1000, 'b') + ";c=" +
                          std::string(112, 'c') + "\r\n");
    EXPECT_EQ(joined.size(), tev::kBigBufferSize - 2);
    // The rest of the line that did not fit is gone; the next read starts with the next line.
    EXPECT_EQ(ahead(), "Next: line\r\n");
}

TEST_F(DecoderLines, NameLineFollowedByAnIndentedLineIsJoinedWithoutASemicolon) {
    connectPeer();
    rec->decodeState = 5;
    serverSends(" filename=\"late.txt\"\r\n\r\n");
    EXPECT_EQ(line("Content-Disposition: attachment\r\n"), 0);
    EXPECT_STREQ(rec->attachmentFileName, "late.txt");
    EXPECT_GT(rec->fileHandle, 0);
    EXPECT_EQ(ahead(), "\r\n");
}

TEST_F(DecoderLines, SavedListStaysWithinItsRoom) {
    rec->decodeState = 6;
    const std::string name(100, 'n');
    for (int i = 0; i < 12; ++i) {
        tev::copyText(rec->attachmentFileName, (name + std::to_string(i)).c_str());
        tev::mime::openAttachment(*rec);
        ASSERT_GT(rec->fileHandle, 0);
        EXPECT_EQ(tev::closeAttachment(*rec), 1);
    }
    EXPECT_EQ(tev::closeAttachment(*rec), 0);
    EXPECT_EQ(rec->attachmentsSaved, 12);
    const std::string list = rec->savedAttachments;
    // Ten names of 101 characters and nine separators fit in 1025 characters; the eleventh does not.
    EXPECT_EQ(list.size(), 10u * 101 + 9);
    EXPECT_EQ(list.substr(0, 102), name + "0,");
}

}  // namespace
