// The MIME decoder against messages written to hurt: file names that try to leave the attachment directory, a
// symbolic link in its place, over-long boundaries, lines and headers, a header that never ends, many parts.
// Every fetch must end normally with every file inside the attachment directory.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "pop3/decoder_fixture.h"

using tevtest::crlf;
using tevtest::showBytes;

namespace {

class DecoderHostile : public tevtest::DecoderTest {
protected:
    std::string namedPart(const std::string &disposition, const std::string &body) {
        return "--b\r\nContent-Disposition: attachment; " + disposition + "\r\n\r\n" + body + "\r\n";
    }
    std::string multipart(const std::string &parts) {
        return crlf("MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"b\"\n\n") + parts + "--b--\r\n";
    }
    // Nothing but the fetch's own files in the test directory.
    void expectNothingOutside() {
        EXPECT_EQ(tmp.list(), (std::vector<std::string>{"att", "msg1.txt", "trace.log"}));
    }
};

TEST_F(DecoderHostile, FileNamesNeverLeaveTheAttachmentDirectory) {
    const std::string message = multipart(namedPart("filename=\"../../x1\"", "one") +
                                          namedPart("filename=\"/etc/tev-x2\"", "two") +
                                          namedPart("filename=\"..\\\\..\\\\x3\"", "three") +
                                          namedPart("filename=\"C:x4\"", "four") +
                                          namedPart("filename=\"=?iso-8859-1?q?..=2F..=2Fx5?=\"", "five") +
                                          namedPart("filename=\"\"", "empty") +
                                          namedPart("filename=\".\"", "dot") +
                                          namedPart("filename=..", "dotdot"));
    ASSERT_EQ(fetch(message), 0);
    EXPECT_EQ(attachments(), (std::vector<std::string>{"noname", "tev-x2", "x1", "x3", "x4", "x5"}));
    EXPECT_EQ(attachment("x1"), "one\r\n");
    EXPECT_EQ(attachment("x3"), "three\r\n");
    EXPECT_EQ(attachment("x5"), "five\r\n");
    EXPECT_EQ(attachment("noname"), "dotdot\r\n");
    EXPECT_FALSE(tevtest::fileExists("/etc/tev-x2"));
    expectNothingOutside();
    EXPECT_EQ(savedList(), "x1,tev-x2,x3,x4,x5,noname,noname");
    // A quoted empty name is no name: that part stays in the message file.
    EXPECT_NE(messageFile().find("\r\nempty\r\n"), std::string::npos) << showBytes(messageFile(), 2000);
}

TEST_F(DecoderHostile, SymbolicLinkInPlaceOfTheFileIsNotFollowed) {
    const std::string target = tmp.file("target");
    ASSERT_TRUE(tevtest::writeWholeFile(target, "untouched"));
    ASSERT_EQ(symlink(target.c_str(), (attachDir + "/link.txt").c_str()), 0);
    ASSERT_EQ(fetch(multipart(namedPart("filename=\"link.txt\"", "payload"))), 0);
    EXPECT_EQ(tevtest::readWholeFile(target), "untouched");
    EXPECT_NE(log().find("[Cannot open '" + composedPath("link.txt") + "']\r\n"), std::string::npos);
    EXPECT_EQ(tevStatistics(0, TEV_STAT_ATTACH_SAVED), 0);
}

TEST_F(DecoderHostile, BoundaryOf200CharactersStillSplitsTheParts) {
    const std::string boundary(200, 'x');
    const std::string message = crlf("MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"" + boundary +
                                     "\"\n\n--" + boundary +
                                     "\nContent-Transfer-Encoding: base64\n"
                                     "Content-Disposition: attachment; filename=\"long.bin\"\n\nAQID\n--" +
                                     boundary + "--\n");
    ASSERT_EQ(fetch(message), 0);
    EXPECT_EQ(attachment("long.bin"), "\1\2\3");
    EXPECT_EQ(rec().mimeBoundaryLength, 128);
    EXPECT_EQ(rec().boundaryCount, 2);
}

TEST_F(DecoderHostile, HeaderContinuedFiftyTimes) {
    std::string folded = "Subject: =?iso-8859-1?q?a?=\n";
    for (int i = 0; i < 50; ++i) folded += " =?iso-8859-1?q?b?=\n";
    std::string typeLine = "Content-Type: multipart/mixed;\n";
    for (int i = 0; i < 50; ++i) typeLine += "\tp" + std::to_string(i) + "=v;\n";
    typeLine += "\tboundary=\"b\"\n";
    const std::string body = crlf("\n--b\nContent-Disposition: attachment; filename=\"f.txt\"\n\nx\n--b--\n");
    ASSERT_EQ(fetch(crlf(folded + "MIME-Version: 1.0\n" + typeLine) + body), 0);
    // Joins are bounded: one continuation for the subject, a few for the content type (whose boundary they
    // never reach), so the message is not split into parts.
    std::string expected = "Subject: ab\r\n";
    for (int i = 1; i < 50; ++i) expected += " =?iso-8859-1?q?b?=\r\n";
    expected += "MIME-Version: 1.0\r\n" + body;
    EXPECT_EQ(messageFile(), expected);
    EXPECT_TRUE(attachments().empty());
}

TEST_F(DecoderHostile, Base64LineOf5000CharactersIsDecodedInParts) {
    const std::string message =
        multipart(namedPart("filename=\"wide.bin\"\r\nContent-Transfer-Encoding: base64", std::string(5000, 'A')) +
                  namedPart("filename=\"after.bin\"\r\nContent-Transfer-Encoding: base64", "AQID"));
    ASSERT_EQ(fetch(message), 0);
    // The line arrives as reads of 1023, 1023, 1023, 1023 and 910 bytes; each is decoded by its whole groups.
    EXPECT_EQ(attachment("wide.bin"), std::string(4 * 765 + 681, '\0'));
    EXPECT_EQ(attachment("after.bin"), "\1\2\3");
}

TEST_F(DecoderHostile, PartHeaderThatNeverEnds) {
    std::string parts = "--b\r\nContent-Type: text/plain\r\n";
    for (int i = 0; i < 5000; ++i) parts += "X-Header-" + std::to_string(i) + ": value\r\n";
    ASSERT_EQ(fetch(crlf("MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"b\"\n\n") + parts), 0);
    EXPECT_EQ(messageFile(), crlf("MIME-Version: 1.0\n\n"));
    EXPECT_EQ(rec().decodeState, 5);
    expectNothingOutside();
}

TEST_F(DecoderHostile, ThousandParts) {
    std::string parts;
    for (int i = 0; i < 1000; ++i) parts += namedPart("filename=\"f" + std::to_string(i) + ".txt\"", "p");
    ASSERT_EQ(fetch(multipart(parts)), 0);
    EXPECT_EQ(attachments().size(), 1000u);
    EXPECT_EQ(tevStatistics(0, TEV_STAT_ATTACH_SAVED), 1000);
    const std::string list = savedList();
    EXPECT_LE(list.size(), 1025u);
    EXPECT_EQ(list.substr(0, 14), "f0.txt,f1.txt,");
    EXPECT_EQ(list.back(), 't');
    expectNothingOutside();
}

TEST_F(DecoderHostile, HeaderWordsThatCannotBeDecodedKeepTheLineEnd) {
    // A word of another charset at the end of a Q-decoded line, a word cut before its end, and words decoding to
    // CR LF: each header keeps its own line, and a word that cannot be decoded stays as received.
    const std::string message = crlf("Subject: =?iso-8859-1?q?a?= =?UTF-8?B?5pel5pys?=\nX-Next: after\n"
                                     "Subject: =?iso-8859-1?q?cut\nX-Two: 2\n"
                                     "From: =?iso-8859-1?b?YQ0KYg==?=\nX-Three: 3\n"
                                     "Subject: =?iso-8859-1?q?x=0D=0Ay?=\nX-Four: 4\n\nbody\n");
    ASSERT_EQ(fetch(message), 0);
    EXPECT_EQ(messageFile(), crlf("Subject: a =?UTF-8?B?5pel5pys?=\nX-Next: after\n"
                                  "Subject: =?iso-8859-1?q?cut\nX-Two: 2\n"
                                  "From: a  b" + std::string(6, ' ') + "\nX-Three: 3\n"
                                  "Subject: x  y\nX-Four: 4\n\nbody\n"))
        << showBytes(messageFile(), 2000);
}

}  // namespace
