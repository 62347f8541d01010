// Where a fetch may write: the message file and attachment files only as regular files (a FIFO or a device at
// the path is refused at once), directories of up to 4095 characters taken whole and longer ones refused before
// anything is created, and an attachment never written over the message file of its own fetch.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "pop3/decoder_fixture.h"

using tevtest::crlf;
using tevtest::readWholeFile;
using tevtest::retrReply;
using tevtest::ScriptedServer;
using tevtest::showBytes;

namespace {

std::string withAttachment(const std::string &name, const std::string &body) {
    return crlf("MIME-Version: 1.0\n"
                "Content-Type: multipart/mixed; boundary=\"b\"\n"
                "\n"
                "--b\n"
                "Content-Disposition: attachment; filename=\"" + name + "\"\n"
                "\n" + body + "\n"
                "--b--\n");
}

class FetchPaths : public tevtest::DecoderTest {
protected:
    void TearDown() override {
        for (int fd : readers) ::close(fd);
        DecoderTest::TearDown();
    }

    // Logs in and fetches message 1 into dir\file with the attachments in attach.  `served`: the server answers
    // RETR with the message; otherwise the fetch must not get as far as sending RETR.
    int32_t fetchInto(const std::string &message, const std::string &file, const std::string &dir,
                      const std::string &attach, bool served = true) {
        ScriptedServer srv;
        login(srv);
        if (served) srv.expectLine("RETR 1").send(retrReply(message));
        srv.start();
        if (connectPop3(srv) != 0) {
            ADD_FAILURE() << "login failed: " << srv.error();
            return -9999;
        }
        const int32_t r = tevGetEmailFile(0, 1, file.c_str(), dir.c_str(), attach.c_str());
        if (rec().socket != 0) tevAbort(0);
        EXPECT_TRUE(srv.finish(3000)) << srv.error();
        wire = srv.received();
        return r;
    }

    // A FIFO with a reader waiting at its other end: a blocking open for writing would succeed on it.
    void fifoWithReader(const std::string &path) {
        ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
        const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        readers.push_back(fd);
    }
    bool fifoGotNothing() const {
        char scrap[64];
        return ::read(readers.back(), scrap, sizeof scrap) <= 0;
    }

    std::string wire;
    std::vector<int> readers;
};

TEST_F(FetchPaths, MessageFileThatIsNotARegularFileIsRefused) {
    fifoWithReader(tmp.file("fifo"));
    EXPECT_EQ(fetchInto("x\r\n", "fifo", tmp.path(), attachDir, false), TEV_E_CANNOT_CREATE_FILE);
    EXPECT_EQ(wire, std::string(loginWire()));  // RETR never sent
    EXPECT_TRUE(fifoGotNothing());
    EXPECT_EQ(rec().emailFile, 0);
    EXPECT_EQ(fetchInto("x\r\n", "null", "/dev", attachDir, false), TEV_E_CANNOT_CREATE_FILE);
    EXPECT_EQ(fetchInto("x\r\n", "att", tmp.path(), attachDir, false), TEV_E_CANNOT_CREATE_FILE);
}

TEST_F(FetchPaths, AttachmentThatIsNotARegularFileIsNotOpened) {
    fifoWithReader(attachDir + "/part.bin");
    ASSERT_EQ(fetchInto(withAttachment("part.bin", "payload"), "msg1.txt", tmp.path(), attachDir), 0);
    EXPECT_TRUE(fifoGotNothing());
    const std::string trace = log();
    EXPECT_NE(trace.find("[Cannot open '" + composedPath("part.bin") + "']\r\n"), std::string::npos) << trace;
    EXPECT_EQ(tevStatistics(0, TEV_STAT_ATTACH_SAVED), 0);
    EXPECT_EQ(savedList(), "");
}

// A directory is never cut: one whose first 128 characters name an existing directory (its parent) still gets
// the files, not the parent.
TEST_F(FetchPaths, LongDirectoriesAreTakenWhole) {
    const std::string parent = tmp.path() + "/" + std::string(127 - tmp.path().size(), 'p');
    ASSERT_EQ(parent.size(), 128u);
    const std::string mail = parent + "/" + std::string(60, 'm');
    const std::string attach = parent + "/" + std::string(60, 'a');
    for (const std::string &d : {parent, mail, attach}) ASSERT_EQ(mkdir(d.c_str(), 0700), 0) << d;
    ASSERT_EQ(fetchInto(withAttachment("a.txt", "payload"), "msg1.txt", mail, attach), 0);
    EXPECT_EQ(tevtest::listDirectory(parent),
              (std::vector<std::string>{std::string(60, 'a'), std::string(60, 'm')}));
    EXPECT_EQ(tevtest::listDirectory(mail), std::vector<std::string>{"msg1.txt"});
    EXPECT_EQ(readWholeFile(attach + "/a.txt"), "payload\r\n");
    EXPECT_EQ(savedList(), "a.txt");
    EXPECT_NE(readWholeFile(mail + "/msg1.txt").find("[Attachment saved to \"" + attach + "\\a.txt\"]\r\n"),
              std::string::npos);
}

TEST_F(FetchPaths, DirectoriesOf4095CharactersFitAndLongerOnesAreRefused) {
    const std::string longest = "/" + std::string(4094, 'd');
    // The composed paths are whole in the trace; the system then refuses a path that long.
    EXPECT_EQ(fetchInto("x\r\n", "msg1.txt", longest, attachDir, false), TEV_E_CANNOT_CREATE_FILE);
    EXPECT_NE(log().find("Saving email to '" + longest + "\\msg1.txt'\r\n"), std::string::npos);
    ASSERT_EQ(fetchInto(withAttachment("a.txt", "payload"), "msg1.txt", tmp.path(), longest), 0);
    EXPECT_NE(log().find("[Creating '" + longest + "\\a.txt']\r\n"), std::string::npos);
    EXPECT_NE(log().find("[Cannot open '" + longest + "\\a.txt']\r\n"), std::string::npos);

    // One character more: refused before anything is created or sent, the session kept.
    const std::string tooLong = longest + "d";
    const std::vector<std::string> before = tmp.list();
    EXPECT_EQ(fetchInto("", "new.txt", tooLong, attachDir, false), TEV_E_MISSING_EMAIL_PATH);
    EXPECT_EQ(wire, std::string(loginWire()));
    EXPECT_EQ(fetchInto("", "new.txt", tmp.path(), tooLong, false), TEV_E_MISSING_ATTACH_PATH);
    EXPECT_EQ(wire, std::string(loginWire()));
    EXPECT_EQ(tmp.list(), before);
}

// An attachment named like the message file in the same directory gets a numbered name, however the directory
// is spelled; with numbered names on, a name that is still the message file is numbered once more.
TEST_F(FetchPaths, AttachmentNeverOverwritesTheMessageFile) {
    ASSERT_EQ(fetchInto(withAttachment("msg1.txt", "payload"), "msg1.txt", tmp.path(), tmp.path()), 0);
    EXPECT_EQ(readWholeFile(tmp.file("1-msg1.txt")), "payload\r\n");
    EXPECT_EQ(readWholeFile(tmp.file("msg1.txt")),
              crlf("MIME-Version: 1.0\n\n") + "[Attachment saved to \"" + tmp.path() + "\\1-msg1.txt\"]\r\n");
    EXPECT_EQ(savedList(), "1-msg1.txt");

    ASSERT_EQ(fetchInto(withAttachment("msg2.txt", "second"), "msg2.txt", tmp.path(), tmp.path() + "/."), 0);
    EXPECT_EQ(readWholeFile(tmp.file("2-msg2.txt")), "second\r\n");
    EXPECT_NE(readWholeFile(tmp.file("msg2.txt")).find("MIME-Version: 1.0\r\n"), std::string::npos);

    tevIntegerParam(0, TEV_NUMBER_FILES, 1);
    ASSERT_EQ(fetchInto(withAttachment("a.txt", "third"), "3-a.txt", tmp.path(), tmp.path()), 0);
    EXPECT_EQ(readWholeFile(tmp.file("3-3-a.txt")), "third\r\n");
    EXPECT_NE(readWholeFile(tmp.file("3-a.txt")).find("MIME-Version: 1.0\r\n"), std::string::npos);
    // An attachment with a name of its own is saved as always.
    ASSERT_EQ(fetchInto(withAttachment("b.txt", "fourth"), "msg4.txt", tmp.path(), tmp.path()), 0);
    EXPECT_EQ(readWholeFile(tmp.file("4-b.txt")), "fourth\r\n");
}

// UTF-8 mail: the number that keeps an attachment off the message file never lands on a name this fetch
// created already; that name gets a copy number instead.
TEST_F(FetchPaths, NumberKeepingOffTheMessageFileNeverTakesAnEarlierName) {
    ASSERT_EQ(tevIntegerParam(0, TEV_UTF8, 1), 1);
    const std::string message = crlf("MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"b\"\n\n"
                                     "--b\nContent-Disposition: attachment; filename=\"2-msg1.txt\"\n\nfirst\n"
                                     "--b\nContent-Disposition: attachment; filename=\"msg1.txt\"\n\nsecond\n--b--\n");
    ASSERT_EQ(fetchInto(message, "msg1.txt", tmp.path(), tmp.path()), 0);
    EXPECT_EQ(readWholeFile(tmp.file("2-msg1.txt")), "first\r\n");
    EXPECT_EQ(readWholeFile(tmp.file("2-msg1 (2).txt")), "second\r\n");
    EXPECT_EQ(savedList(), "2-msg1.txt,2-msg1 (2).txt");
}

}  // namespace
