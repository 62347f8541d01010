// Fetched lines and decoded attachment bytes are gathered before they reach their files: whatever has arrived
// is on disk when the fetch is broken off (tevAbort, tevClose, a failure), and a file that cannot be written is
// never reported saved, also when the failure shows only as the last bytes are written.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "frame/record.h"
#include "platform/platform.h"
#include "pop3/decoder.h"
#include "pop3/memory_fetch.h"
#include "pop3/pop3_fixture.h"
#include "support/scripted_server.h"
#include "support/trace.h"
#include "tev32.h"

using tev::platform::FaultKind;
using tevtest::ScriptedServer;
using tevtest::readWholeFile;

namespace {

class FetchBuffering : public tevtest::Pop3Test {
protected:
    void TearDown() override {
        tev::platform::injectFault(FaultKind::writeFile, 0);
        Pop3Test::TearDown();
    }

    // A message whose attachment arrives in part: the text part and three base64 lines of "a.bin", no end.
    static std::string partialMessage() {
        return "+OK\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b\"\r\n\r\n"
               "--b\r\nContent-Type: text/plain\r\n\r\nhello there\r\n"
               "--b\r\nContent-Transfer-Encoding: base64\r\nContent-Disposition: attachment; filename=\"a.bin\"\r\n\r\n" +
               base64Lines();
    }
    static std::string base64Lines() {
        // 3 x 57 bytes "abc...": each line decodes to 57 bytes.
        return "YWJjYWJjYWJjYWJjYWJjYWJjYWJjYWJjYWJjYWJjYWJjYWJjYWJjYWJjYWJjYWJjYWJjYWJjYWJj\r\n"
               "ZGVmZGVmZGVmZGVmZGVmZGVmZGVmZGVmZGVmZGVmZGVmZGVmZGVmZGVmZGVmZGVmZGVmZGVmZGVm\r\n"
               "Z2hpZ2hpZ2hpZ2hpZ2hpZ2hpZ2hpZ2hpZ2hpZ2hpZ2hpZ2hpZ2hpZ2hpZ2hpZ2hpZ2hpZ2hpZ2hp\r\n";
    }
    static std::string decodedBytes() {
        std::string bytes;
        for (const char *three : {"abc", "def", "ghi"}) {
            for (int i = 0; i < 19; ++i) bytes += three;
        }
        return bytes;
    }

    // Starts the fetch with the driver in the test's hands and runs it until every line sent so far is decoded.
    void fetchUntilAllArrivedIsDecoded() {
        tevIntegerParam(0, TEV_AUTO_CALL, 0);
        ASSERT_EQ(tevGetEmailFile(0, 1, "m.txt", tmp.path().c_str(), tmp.path().c_str()), 0);
        const int32_t expected = static_cast<int32_t>(base64Lines().size());
        const uint32_t start = tev::platform::tick();
        while (rec().attachmentBytesRead < expected && elapsedSince(start) < 3000) {
            ASSERT_GT(tevDriver(0), 0);
        }
        ASSERT_EQ(rec().attachmentBytesRead, expected);
        ASSERT_GT(rec().fileHandle, 0);
        tevIntegerParam(0, TEV_AUTO_CALL, 1);
    }
};

TEST_F(FetchBuffering, AbortMidFetchLeavesEveryArrivedByteInTheFiles) {
    ScriptedServer srv;
    login(srv).expectLine("RETR 1").send(partialMessage()).waitForClientClose(4000);
    srv.start();
    ASSERT_EQ(connectPop3(srv), 0);
    fetchUntilAllArrivedIsDecoded();
    EXPECT_EQ(tevAbort(0), 1);
    EXPECT_EQ(rec().fileHandle, 0);
    EXPECT_EQ(rec().emailFile, 0);
    EXPECT_EQ(readWholeFile(tmp.file("a.bin")), decodedBytes());
    const std::string text = readWholeFile(tmp.file("m.txt"));
    EXPECT_TRUE(contains(text, "hello there\r\n")) << text;
    EXPECT_FALSE(contains(text, "[Attachment saved")) << text;  // an abort records nothing
    EXPECT_EQ(tevStatistics(0, TEV_STAT_ATTACH_SAVED), 0);
    EXPECT_TRUE(srv.finish(3000)) << srv.error();
}

TEST_F(FetchBuffering, CloseMidFetchWritesAndRecordsTheAttachment) {
    ScriptedServer srv;
    login(srv).expectLine("RETR 1").send(partialMessage()).expectLine("QUIT").send("+OK bye\r\n")
        .waitForClientClose(4000);
    srv.start();
    ASSERT_EQ(connectPop3(srv), 0);
    fetchUntilAllArrivedIsDecoded();
    EXPECT_EQ(tevClose(0), 0);
    EXPECT_EQ(readWholeFile(tmp.file("a.bin")), decodedBytes());
    const std::string text = readWholeFile(tmp.file("m.txt"));
    EXPECT_TRUE(contains(text, "hello there\r\n")) << text;
    EXPECT_TRUE(contains(text, "[Attachment saved to \"" + tmp.path() + "\\a.bin\"]\r\n")) << text;
    EXPECT_EQ(tevStatistics(0, TEV_STAT_ATTACH_SAVED), 1);
    EXPECT_TRUE(srv.finish(3000)) << srv.error();
}

TEST_F(FetchBuffering, FailedFetchHasWrittenWhatArrivedBeforeTheNextCall) {
    ScriptedServer srv;
    login(srv).expectLine("RETR 1").send(partialMessage()).close();
    srv.start();
    ASSERT_EQ(connectPop3(srv), 0);
    EXPECT_EQ(tevGetEmailFile(0, 1, "m.txt", tmp.path().c_str(), tmp.path().c_str()), TEV_E_SOCKET_CLOSED);
    EXPECT_EQ(readWholeFile(tmp.file("a.bin")), decodedBytes());
    EXPECT_TRUE(contains(readWholeFile(tmp.file("m.txt")), "hello there\r\n"));
    EXPECT_TRUE(srv.finish(3000)) << srv.error();
}

TEST_F(FetchBuffering, MessageFileThatCannotTakeItsLastBytesFailsTheFetch) {
    ScriptedServer srv;
    login(srv).expectLine("RETR 1").send("+OK\r\nSubject: s\r\n\r\nbody\r\n.\r\n");
    srv.start();
    ASSERT_EQ(connectPop3(srv), 0);
    // The lines wait in the buffer: the first write of the file is the one at the end of the fetch.  (The trace
    // log is set aside, as its writes would count too.)
    const int32_t logFile = rec().logFile;
    rec().logFile = 0;
    tev::platform::injectFault(FaultKind::writeFile, 1);
    EXPECT_EQ(tevGetEmailFile(0, 1, "m.txt", tmp.path().c_str(), tmp.path().c_str()), -1);
    EXPECT_FALSE(tev::platform::faultPending(FaultKind::writeFile));
    rec().logFile = logFile;
    EXPECT_EQ(rec().emailFile, 0);
    EXPECT_EQ(rec().prevState, 313);  // the end of the fetch, where the file is closed, failed
    EXPECT_EQ(rec().socket, 0);
    EXPECT_TRUE(srv.finish(3000)) << srv.error();
}

TEST_F(FetchBuffering, AttachmentWhoseLastBytesCannotBeWrittenIsNotSaved) {
    const std::string reply =
        "+OK\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b\"\r\n\r\n"
        "--b\r\nContent-Transfer-Encoding: base64\r\nContent-Disposition: attachment; filename=\"a.bin\"\r\n\r\n"
        "AQID\r\n--b--\r\n.\r\n";
    auto owned = std::make_unique<tev::SessionRecord>();
    tev::SessionRecord &record = *owned;
    record.decodeState = tev::kDecodeTopHeader;
    tev::platform::injectFault(FaultKind::writeFile, 1);  // the attachment's one write, at its boundary
    EXPECT_EQ(tev::decodeMessageFromMemory(record, "m.txt", tmp.path().c_str(), tmp.path().c_str(), reply.data(),
                                           reply.size()),
              0);
    EXPECT_FALSE(tev::platform::faultPending(FaultKind::writeFile));
    EXPECT_EQ(record.attachmentsSaved, 0);
    EXPECT_STREQ(record.savedAttachments, "");
    EXPECT_EQ(record.fileHandle, 0);
    EXPECT_FALSE(contains(readWholeFile(tmp.file("m.txt")), "[Attachment saved")) << readWholeFile(tmp.file("m.txt"));
}

}  // namespace
