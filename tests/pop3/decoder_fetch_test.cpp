// The MIME decoder through whole fetches from the scripted POP3 server: what reaches the message file, what goes
// to attachment files, the saved-name list and count, and the decoder's trace lines.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <string>
#include <vector>

#include "pop3/decoder_fixture.h"

using tevtest::crlf;
using tevtest::showBytes;

namespace {

class DecoderFetch : public tevtest::DecoderTest {};

TEST_F(DecoderFetch, NonMimeMessageIsWrittenUnchanged) {
    const std::string message = crlf(
        "From: Ann <ann@example.com>\n"
        "To: bob@example.com\n"
        "Subject: plain =E9 text\n"
        "Content-Type: text/plain\n"
        "\n"
        "Hello =E9 Bob,\n"
        ".a line that starts with a dot\n"
        "--not a boundary\n"
        "Content-Type: multipart/mixed; boundary=\"late\"\n");
    ASSERT_EQ(fetch(message), 0);
    EXPECT_EQ(messageFile(), message);
    EXPECT_EQ(decoderTrace(), "[Not doing MIME/2]\r\n");
    EXPECT_EQ(rec().decodeState, 0);
    EXPECT_TRUE(attachments().empty());
    EXPECT_EQ(tevStatistics(0, TEV_STAT_ATTACH_SAVED), 0);
}

TEST_F(DecoderFetch, BoundaryWithoutMimeVersionIsAssumedMime) {
    const std::string message = crlf(
        "From: a@example.com\n"
        "Content-Type: multipart/mixed; boundary=\"XX\"\n"
        "Subject: dropped after the boundary definition\n"
        "\n"
        "preamble\n"
        "--XX\n"
        "Content-Type: text/plain\n"
        "\n"
        "hello\n"
        "--XX--\n"
        "epilogue\n");
    ASSERT_EQ(fetch(message), 0);
    EXPECT_EQ(messageFile(), crlf("From: a@example.com\n"
                                  "Content-Type: multipart/mixed; boundary=\"XX\"\n"
                                  "\n"
                                  "hello\n"));
    EXPECT_EQ(decoderTrace(),
              "[MIME boundary defined 4 (--XX)]\r\n"
              "[Assuming MIME]\r\n"
              "[Boundary line found]\r\n"
              "[Looking for encoding]\r\n"
              "[Looking for encoding]\r\n"
              "[InlineFlag=0 MimeEncoding=0 FileHandle=0]\r\n"
              "[Boundary line found]\r\n"
              "[Looking for encoding]\r\n");
    EXPECT_EQ(rec().boundaryCount, 2);
}

// A MIME message's header keeps what comes up to MIME-Version and, after it, only Subject, To and From.
TEST_F(DecoderFetch, MimeTopHeaderKeepsOnlyItsAddressLines) {
    const std::string message = crlf(
        "Received: by example.com\n"
        "MIME-Version: 1.0\n"
        "Date: today\n"
        "Subject: s\n"
        "To: t@example.com\n"
        "From: f@example.com\n"
        "Content-Type: multipart/mixed; boundary=\"b1\"\n"
        "X-After: dropped\n"
        "\n"
        "--b1\n"
        "\n"
        "body\n"
        "--b1--\n");
    ASSERT_EQ(fetch(message), 0);
    EXPECT_EQ(messageFile(), crlf("Received: by example.com\n"
                                  "MIME-Version: 1.0\n"
                                  "Subject: s\n"
                                  "To: t@example.com\n"
                                  "From: f@example.com\n"
                                  "\n"
                                  "body\n"));
    EXPECT_EQ(decoderTrace(),
              "[MIME version found]\r\n"
              "[MIME boundary defined 4 (--b1)]\r\n"
              "[Boundary line found]\r\n"
              "[Looking for encoding]\r\n"
              "[InlineFlag=0 MimeEncoding=0 FileHandle=0]\r\n"
              "[Boundary line found]\r\n");
}

TEST_F(DecoderFetch, SavesANamedBase64PartWithItsNoteAndTrace) {
    const std::string message = crlf(
        "MIME-Version: 1.0\n"
        "Content-Type: multipart/mixed; boundary=\"=_b\"\n"
        "\n"
        "--=_b\n"
        "Content-Type: text/plain\n"
        "\n"
        "See the file.\n"
        "--=_b\n"
        "Content-Type: application/octet-stream\n"
        "Content-Transfer-Encoding: base64\n"
        "Content-Disposition: attachment; filename=\"data.bin\"\n"
        "\n"
        "AAECAwQFBgcICQ==\n"
        "/w==\n"
        "--=_b--\n");
    ASSERT_EQ(fetch(message), 0);
    EXPECT_EQ(attachments(), std::vector<std::string>{"data.bin"});
    EXPECT_EQ(attachment("data.bin"), std::string("\0\1\2\3\4\5\6\7\x08\x09\xff", 11));
    EXPECT_EQ(messageFile(), crlf("MIME-Version: 1.0\n\nSee the file.\n") + note("data.bin"));
    EXPECT_EQ(savedList(), "data.bin");
    EXPECT_EQ(tevStatistics(0, TEV_STAT_ATTACH_SAVED), 1);
    EXPECT_EQ(rec().attachmentSerial, 1);
    EXPECT_EQ(rec().fileHandle, 0);
    // Both base64 lines with their CR LF reached the part decoding.
    EXPECT_EQ(tevStatistics(0, TEV_STAT_ATTACH_READ), 18 + 6);
    EXPECT_EQ(decoderTrace(),
              "[MIME version found]\r\n"
              "[MIME boundary defined 5 (--=_b)]\r\n"
              "[Boundary line found]\r\n"
              "[Looking for encoding]\r\n"
              "[Looking for encoding]\r\n"
              "[InlineFlag=0 MimeEncoding=0 FileHandle=0]\r\n"
              "[Boundary line found]\r\n"
              "[Looking for encoding]\r\n"
              "[Looking for encoding]\r\n"
              "[Encoding is BASE64]\r\n"
              "[Looking for encoding]\r\n"
              "[Filename='data.bin']\r\n"
              "[AttachDir = '" + attachDir + "']\r\n"
              "[Filename = 'data.bin']\r\n"
              "[Creating '" + composedPath("data.bin") + "']\r\n"
              "[Looking for encoding]\r\n"
              "[InlineFlag=0 MimeEncoding=2 FileHandle=N]\r\n"
              "[...decode to file...]\r\n"
              "[InlineFlag=0 MimeEncoding=2 FileHandle=N]\r\n"
              "[...decode to file...]\r\n"
              "[Boundary line found]\r\n" +
                  note("data.bin"));
}

TEST_F(DecoderFetch, ParametersAreFoundInAnyCase) {
    const std::string message = crlf(
        "mime-version: 1.0\n"
        "CONTENT-TYPE: Multipart/Mixed; BOUNDARY=\"Q\"\n"
        "\n"
        "--Q\n"
        "content-transfer-encoding: BASE64\n"
        "content-disposition: ATTACHMENT; FILENAME=\"Up.TXT\"\n"
        "\n"
        "VXA=\n"
        "--Q\n"
        "Content-Type: text/plain; NAME=\"second.txt\"\n"
        "\n"
        "two\n"
        "--Q--\n");
    ASSERT_EQ(fetch(message), 0);
    EXPECT_EQ(attachments(), (std::vector<std::string>{"Up.TXT", "second.txt"}));
    EXPECT_EQ(attachment("Up.TXT"), "Up");
    EXPECT_EQ(attachment("second.txt"), "two\r\n");
    EXPECT_EQ(savedList(), "Up.TXT,second.txt");
}

TEST_F(DecoderFetch, UnquotedBoundaryCountsAtTheTopButNotForANestedPart) {
    const std::string nested = crlf(
        "--inner\n"
        "Content-Type: text/plain\n"
        "\n"
        "alternative text\n"
        "--inner--\n");
    const std::string message = crlf(
        "MIME-Version: 1.0\n"
        "Content-Type: multipart/mixed; boundary=outer\n"
        "\n"
        "--outer\n"
        "Content-Type: multipart/alternative; boundary=inner\n"
        "\n") + nested + crlf("--outer--\n");
    ASSERT_EQ(fetch(message), 0);
    EXPECT_EQ(rec().mimeBoundaryLength, 7);
    EXPECT_EQ(std::string(rec().mimeBoundary), "--outer");
    EXPECT_EQ(rec().altBoundaryLength, 0);
    // The nested part is not split: its lines reach the message file as they came.
    EXPECT_EQ(messageFile(), crlf("MIME-Version: 1.0\n\n") + nested);

    // Quoted, the same nested boundary is taken.
    const std::string quoted = crlf(
        "MIME-Version: 1.0\n"
        "Content-Type: multipart/mixed; boundary=outer\n"
        "\n"
        "--outer\n"
        "Content-Type: multipart/alternative;\n"
        "\tboundary=\"inner\"\n"
        "\n") + nested + crlf("--outer--\n");
    ASSERT_EQ(fetch(quoted), 0);
    EXPECT_EQ(rec().altBoundaryLength, 7);
    EXPECT_EQ(messageFile(), crlf("MIME-Version: 1.0\n\nalternative text\n"));
    EXPECT_NE(decoderTrace().find("[Alternate MIME boundary defined 7 (--inner)]\r\n"), std::string::npos);
}

TEST_F(DecoderFetch, InlinePartIsDecodedIntoTheMessageButInlineWithAFileNameIsSaved) {
    const std::string message = crlf(
        "MIME-Version: 1.0\n"
        "Content-Type: multipart/mixed; boundary=\"b\"\n"
        "\n"
        "--b\n"
        "Content-Type: text/plain; charset=iso-8859-1\n"
        "Content-Transfer-Encoding: quoted-printable\n"
        "Content-Disposition: inline\n"
        "\n"
        "Caf=E9 =\n"
        "au lait\n"
        "--b\n"
        "Content-Type: text/plain\n"
        "Content-Disposition: inline; filename=\"note.txt\"\n"
        "\n"
        "saved text\n"
        "--b--\n");
    ASSERT_EQ(fetch(message), 0);
    EXPECT_EQ(messageFile(), crlf("MIME-Version: 1.0\n\n") + "Caf\xE9 au lait\r\n" + note("note.txt"));
    EXPECT_EQ(attachments(), std::vector<std::string>{"note.txt"});
    EXPECT_EQ(attachment("note.txt"), "saved text\r\n");
    const std::string trace = decoderTrace();
    EXPECT_NE(trace.find("[inline]\r\n[Looking for encoding]\r\n[InlineFlag=1 MimeEncoding=3 FileHandle=0]\r\n"
                         "[...decode inline...]\r\n"),
              std::string::npos)
        << trace;
    // "inline;" is no inline part: the trace has a single [inline].
    EXPECT_EQ(trace.find("[inline]"), trace.rfind("[inline]"));
}

TEST_F(DecoderFetch, QuotedPrintableSoftLineBreakJoinsTheOutputLines) {
    const std::string message = crlf(
        "MIME-Version: 1.0\n"
        "Content-Transfer-Encoding: quoted-printable\n"
        "\n"
        "one =\n"
        "line, =3D sign, =e9 is not hex\n"
        "=\n"
        "end\n");
    ASSERT_EQ(fetch(message), 0);
    EXPECT_EQ(messageFile(), crlf("MIME-Version: 1.0\n\n") + "one line, = sign, \x09 is not hex\r\nend\r\n");
    EXPECT_NE(decoderTrace().find("[Encoding is QUOTED]\r\n[MIME w/o boundary]\r\n"), std::string::npos);
}

TEST_F(DecoderFetch, EncodedWordSubjectsAreDecoded) {
    const std::string message = crlf(
        "Subject: =?iso-8859-1?q?Caf=E9?=\n"
        "From: =?ISO-8859-1?B?Q2Fm6Q==?=\n"
        "\n"
        "body\n");
    ASSERT_EQ(fetch(message), 0);
    // Q: the markers go and the text is quoted-printable-decoded; B: the line keeps its length.
    EXPECT_EQ(messageFile(), std::string("Subject: Caf\xE9\r\n"
                                         "From: Caf\xE9      \r\n"
                                         "\r\nbody\r\n"));
    EXPECT_EQ(decoderTrace(), "[ISO8859]\r\n[ISO8859]\r\n[Not doing MIME/2]\r\n");
}

TEST_F(DecoderFetch, FoldedEncodedSubjectIsJoinedThenDecoded) {
    const std::string message = crlf(
        "Subject: =?iso-8859-1?q?Caf=E9?=\n"
        " =?iso-8859-1?q?_au_lait?=\n"
        "To: x@example.com\n"
        "\n"
        "body\n");
    ASSERT_EQ(fetch(message), 0);
    EXPECT_EQ(messageFile(), std::string("Subject: Caf\xE9_au_lait\r\nTo: x@example.com\r\n\r\nbody\r\n"));
}

TEST_F(DecoderFetch, EmptyAttachmentDirectoryGivesABackslashAndTheName) {
    char cwd[PATH_MAX];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(attachDir.c_str()), 0);
    tevtest::ScriptedServer srv;
    login(srv).expectLine("RETR 1").send(tevtest::retrReply(crlf(
        "MIME-Version: 1.0\n"
        "Content-Type: multipart/mixed; boundary=\"b\"\n"
        "\n"
        "--b\n"
        "Content-Disposition: attachment; filename=a.txt\n"
        "\n"
        "in the current directory\n"
        "--b--\n")));
    srv.start();
    ASSERT_EQ(connectPop3(srv), 0);
    const int32_t r = tevGetEmailFile(0, 1, "msg1.txt", tmp.path().c_str(), "");
    ASSERT_EQ(chdir(cwd), 0);
    ASSERT_EQ(r, 0);
    EXPECT_TRUE(srv.finish(2000)) << srv.error();
    EXPECT_EQ(std::string(rec().attachmentPath), "\\a.txt");
    EXPECT_EQ(attachment("a.txt"), "in the current directory\r\n");
    EXPECT_EQ(messageFile(), crlf("MIME-Version: 1.0\n\n") + "[Attachment saved to \"\\a.txt\"]\r\n");
    EXPECT_EQ(savedList(), "a.txt");
}

std::string twoPartsNamed(const std::string &name, const std::string &first, const std::string &second) {
    return crlf("MIME-Version: 1.0\n"
                "Content-Type: multipart/mixed; boundary=\"b\"\n"
                "\n"
                "--b\n"
                "Content-Disposition: attachment; filename=\"" + name + "\"\n"
                "\n" + first + "\n"
                "--b\n"
                "Content-Disposition: attachment; filename=\"" + name + "\"\n"
                "\n" + second + "\n"
                "--b--\n");
}

TEST_F(DecoderFetch, PartsNamedAlikeOverwriteOneFile) {
    ASSERT_EQ(fetch(twoPartsNamed("same.txt", "first", "second")), 0);
    EXPECT_EQ(attachments(), std::vector<std::string>{"same.txt"});
    EXPECT_EQ(attachment("same.txt"), "second\r\n");
    EXPECT_EQ(savedList(), "same.txt,same.txt");
    EXPECT_EQ(tevStatistics(0, TEV_STAT_ATTACH_SAVED), 2);
    EXPECT_EQ(messageFile(), crlf("MIME-Version: 1.0\n\n") + note("same.txt") + note("same.txt"));
}

TEST_F(DecoderFetch, NumberedFilesCountAcrossFetches) {
    tevIntegerParam(0, TEV_NUMBER_FILES, 1);
    tevIntegerParam(0, TEV_ATTACH_SEPARATOR, ';');
    const std::vector<int32_t> results =
        fetchAll({twoPartsNamed("same.txt", "first", "second"), twoPartsNamed("same.txt", "third", "fourth")});
    tevIntegerParam(0, TEV_ATTACH_SEPARATOR, ',');
    ASSERT_EQ(results, (std::vector<int32_t>{0, 0}));
    EXPECT_EQ(attachments(), (std::vector<std::string>{"1-same.txt", "2-same.txt", "3-same.txt", "4-same.txt"}));
    EXPECT_EQ(attachment("1-same.txt"), "first\r\n");
    EXPECT_EQ(attachment("4-same.txt"), "fourth\r\n");
    // The list and the count are the second fetch's.
    EXPECT_EQ(savedList(), "3-same.txt;4-same.txt");
    EXPECT_EQ(tevStatistics(0, TEV_STAT_ATTACH_SAVED), 2);
    EXPECT_EQ(messageFile(2), crlf("MIME-Version: 1.0\n\n") + note("3-same.txt") + note("4-same.txt"));
}

TEST_F(DecoderFetch, UnnamedBase64PartsAreSavedOnlyWhenAsked) {
    const std::string multipart = crlf(
        "MIME-Version: 1.0\n"
        "Content-Type: multipart/mixed; boundary=\"b\"\n"
        "\n"
        "--b\n"
        "Content-Type: application/octet-stream\n"
        "Content-Transfer-Encoding: base64\n"
        "\n"
        "AQID\n"
        "--b--\n");
    const std::string singlePart = crlf(
        "MIME-Version: 1.0\n"
        "Content-Type: application/octet-stream\n"
        "Content-Transfer-Encoding: base64\n"
        "\n"
        "BAUG\n");
    ASSERT_EQ(fetchAll({multipart, singlePart}), (std::vector<int32_t>{0, 0}));
    EXPECT_TRUE(attachments().empty());
    EXPECT_EQ(messageFile(1), crlf("MIME-Version: 1.0\n\nAQID\n"));
    EXPECT_EQ(messageFile(2), crlf("MIME-Version: 1.0\n\nBAUG\n"));

    tevIntegerParam(0, TEV_SAVE_UNNAMED, 1);
    ASSERT_EQ(fetchAll({multipart, singlePart}), (std::vector<int32_t>{0, 0}));
    EXPECT_EQ(attachments(), (std::vector<std::string>{"incoming.mai", "noname"}));
    EXPECT_EQ(attachment("incoming.mai"), "\1\2\3");
    EXPECT_EQ(attachment("noname"), "\4\5\6");
    EXPECT_EQ(messageFile(1), crlf("MIME-Version: 1.0\n\n") + note("incoming.mai"));
    EXPECT_EQ(messageFile(2), crlf("MIME-Version: 1.0\n\n") + note("noname"));
    EXPECT_NE(decoderTrace().find("[Encoding is BASE64]\r\n[MIME w/o boundary]\r\n[AttachDir = '"),
              std::string::npos);
}

TEST_F(DecoderFetch, AttachedMessageWithItsOwnMultipart) {
    const std::string message = crlf(
        "MIME-Version: 1.0\n"
        "Content-Type: multipart/mixed; boundary=\"outer\"\n"
        "\n"
        "--outer\n"
        "Content-Type: text/plain\n"
        "\n"
        "see attached\n"
        "--outer\n"
        "Content-Type: message/rfc822\n"
        "\n"
        "From: x@example.com\n"
        "Subject: inner\n"
        "MIME-Version: 1.0\n"
        "Content-Type: multipart/mixed; boundary=\"inner\"\n"
        "\n"
        "--inner\n"
        "Content-Type: text/plain\n"
        "\n"
        "inner text\n"
        "--inner\n"
        "Content-Type: application/octet-stream; name=\"d.bin\"\n"
        "Content-Transfer-Encoding: base64\n"
        "\n"
        "AAEC\n"
        "--inner--\n"
        "\n"
        "--outer--\n");
    ASSERT_EQ(fetch(message), 0);
    EXPECT_EQ(messageFile(), crlf("MIME-Version: 1.0\n"
                                  "\n"
                                  "see attached\n"
                                  "\n"
                                  "inner text\n") +
                                 note("d.bin"));
    EXPECT_EQ(attachment("d.bin"), std::string("\0\1\2", 3));
    const std::string trace = decoderTrace();
    EXPECT_NE(trace.find("[Looking for encoding]\r\n[Ignoring blank line]\r\n"), std::string::npos) << trace;
    EXPECT_NE(trace.find("[Alternate MIME boundary defined 7 (--inner)]\r\n"), std::string::npos) << trace;
}

TEST_F(DecoderFetch, NoteCanBeLeftOutOfTheMessageFile) {
    tevIntegerParam(0, TEV_NO_SAVE_NOTE, 1);
    const int32_t r = fetch(twoPartsNamed("n.txt", "x", "y"));
    tevIntegerParam(0, TEV_NO_SAVE_NOTE, 0);
    ASSERT_EQ(r, 0);
    EXPECT_EQ(messageFile(), crlf("MIME-Version: 1.0\n\n"));
    EXPECT_NE(decoderTrace().find(note("n.txt")), std::string::npos);
    EXPECT_EQ(tevStatistics(0, TEV_STAT_ATTACH_SAVED), 2);
}

TEST_F(DecoderFetch, AttachmentThatCannotBeCreatedGoesOnWithoutAFile) {
    attachDir = tmp.file("missing");
    const std::string message = crlf(
        "MIME-Version: 1.0\n"
        "Content-Type: multipart/mixed; boundary=\"b\"\n"
        "\n"
        "--b\n"
        "Content-Transfer-Encoding: base64\n"
        "Content-Disposition: attachment; filename=\"x.bin\"\n"
        "\n"
        "AQID\n"
        "--b--\n");
    ASSERT_EQ(fetch(message), 0);
    EXPECT_EQ(messageFile(), crlf("MIME-Version: 1.0\n\nAQID\n"));
    EXPECT_NE(decoderTrace().find("[Creating '" + composedPath("x.bin") + "']\r\n[Cannot open '" +
                                  composedPath("x.bin") + "']\r\n"),
              std::string::npos);
    EXPECT_EQ(tevStatistics(0, TEV_STAT_ATTACH_SAVED), 0);
    EXPECT_EQ(savedList(), "");
}

TEST_F(DecoderFetch, EncodedFileNamesAreDecoded) {
    const std::string message = crlf(
        "MIME-Version: 1.0\n"
        "Content-Type: multipart/mixed; boundary=\"b\"\n"
        "\n"
        "--b\n"
        "Content-Disposition: attachment;\n"
        " filename=\"=?iso-8859-1?q?r=E9sum=E9.txt?=\"\n"
        "\n"
        "q\n"
        "--b\n"
        "Content-Type: text/plain; name=\"=?iso-8859-1?b?Y2Fm6S50eHQ=?=\"\n"
        "\n"
        "b\n"
        "--b--\n");
    ASSERT_EQ(fetch(message), 0);
    EXPECT_EQ(attachments(), (std::vector<std::string>{"caf\xE9.txt", "r\xE9sum\xE9.txt"}));
    // The raw line goes into the trace with its own CR LF inside the brackets.
    const std::string trace = log();
    EXPECT_NE(trace.find("[iso-8859]\r\n[r:Content-Disposition: attachment;filename=\"=?iso-8859-1?q?r=E9sum=E9.txt?=\""
                         "\r\n]\r\n[Filename='r\xE9sum\xE9.txt']\r\n"),
              std::string::npos)
        << showBytes(trace, 4000);
}

TEST_F(DecoderFetch, CloseRecordsAnAttachmentStillBeingWritten) {
    tevtest::ScriptedServer srv;
    login(srv)
        .expectLine("RETR 1")
        .send("+OK\r\n" + crlf("MIME-Version: 1.0\n"
                               "Content-Type: multipart/mixed; boundary=\"b\"\n"
                               "\n"
                               "--b\n"
                               "Content-Disposition: attachment; filename=\"open.txt\"\n"
                               "\n"
                               "never closed by a boundary\n") +
              ".\r\n")
        .expectLine("QUIT")
        .send("+OK bye\r\n");
    srv.start();
    ASSERT_EQ(connectPop3(srv), 0);
    ASSERT_EQ(tevGetEmailFile(0, 1, "msg1.txt", tmp.path().c_str(), attachDir.c_str()), 0);
    // The end of the fetch finished the file.
    EXPECT_EQ(rec().fileHandle, 0);
    EXPECT_EQ(messageFile(), crlf("MIME-Version: 1.0\n\n") + note("open.txt"));
    EXPECT_EQ(attachment("open.txt"), "never closed by a boundary\r\n");
    EXPECT_EQ(tevClose(0), 0);
    EXPECT_TRUE(srv.finish(3000)) << srv.error();
}

}  // namespace

namespace {

TEST_F(DecoderFetch, NextFetchForgetsThePreviousMessagesStructure) {
    const std::string open = crlf(
        "MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"TOP\"\n\n--TOP\n"
        "Content-Type: multipart/alternative; boundary=\"ALT\"\n\n--ALT\nContent-Type: text/plain\n\nfirst\n");
    const std::string plain = crlf("Subject: plain\n\n--ALT\nbody\n");
    const std::vector<int32_t> results = fetchAll({open, plain});
    ASSERT_EQ(results, (std::vector<int32_t>{0, 0}));
    EXPECT_EQ(rec().altBoundaryLength, 0);
    EXPECT_EQ(rec().inlinePart, 0);
    EXPECT_EQ(messageFile(2), plain);
}

}  // namespace

namespace {

// The look-ahead for a continuation waits for the bytes it needs: a folded Subject whose continuation line
// arrives one byte at a time is joined as when it arrives whole, and so is a Content-Type continuation cut after
// its first blank; every piece is traced as received.
TEST_F(DecoderFetch, ContinuationArrivingByteByByteIsStillJoined) {
    const std::string message = crlf(
        "Subject: =?iso-8859-1?q?Caf=E9?=\n"
        " =?iso-8859-1?q?_au_lait?=\n"
        "MIME-Version: 1.0\n"
        "Content-Type: multipart/mixed;\n"
        " boundary=\"b\"\n"
        "\n"
        "--b\n"
        "Content-Disposition: attachment; filename=\"late.txt\"\n"
        "\n"
        "late\n"
        "--b--\n");
    const std::string reply = tevtest::retrReply(message);
    const size_t fold = reply.find("\r\n =?") + 2;
    const size_t fold2 = reply.find("\r\n boundary") + 2;
    tevtest::ScriptedServer srv;
    login(srv)
        .expectLine("RETR 1")
        .sendSplit(reply, {fold, fold + 1, fold + 2, fold + 3, fold2, fold2 + 1}, 30);
    srv.start();
    ASSERT_EQ(connectPop3(srv), 0);
    ASSERT_EQ(tevGetEmailFile(0, 1, "msg1.txt", tmp.path().c_str(), attachDir.c_str()), 0);
    EXPECT_TRUE(srv.finish(3000)) << srv.error();
    EXPECT_EQ(messageFile(), "Subject: Caf\xE9_au_lait\r\nMIME-Version: 1.0\r\n\r\n" + note("late.txt"));
    EXPECT_EQ(attachment("late.txt"), "late\r\n");
    // The look-ahead received the continuation's first bytes piece by piece, then the join read the line.
    EXPECT_NE(log().find("[ISO8859]\r\nP:  P: =P: ?P: isr:  =?isP: o-8859-1?q?_au_lait?="), std::string::npos)
        << showBytes(log(), 3000);
}

}  // namespace
