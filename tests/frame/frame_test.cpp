// Attach and release, guarded slots, parameters, error texts, trace log, tevDebug and tevStatistics.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "frame/record.h"
#include "frame/slots.h"
#include "frame/text.h"
#include "support/trace.h"
#include "tev32.h"

using tevtest::readWholeFile;

namespace {

class Attached : public tevtest::TempDirTest {
protected:
    void SetUp() override { ASSERT_EQ(tevAttach(4), 1); }
    void TearDown() override { tevRelease(); }
    std::string openLog(int chan = 0) {
        std::string path = tmp.file("trace" + std::to_string(chan) + ".log");
        EXPECT_GT(tevStringParam(chan, TEV_LOG_FILE, path.c_str()), 0);
        return path;
    }
    tev::SessionRecord &rec(int chan) { return *tev::channelTable[chan].record; }
};

TEST(AttachTest, CountsAndStates) {
    tevRelease();
    EXPECT_EQ(tevRelease(), 1);  // detached: still 1
    EXPECT_EQ(tevStatistics(0, TEV_STAT_VERSION), TEV_E_NOT_ATTACHED);
    EXPECT_EQ(tevAttach(0), 1);  // attaches nothing
    EXPECT_EQ(tevStatistics(0, TEV_STAT_VERSION), TEV_E_NOT_ATTACHED);
    EXPECT_EQ(tevAttach(129), TEV_E_CHANNEL_RANGE);
    EXPECT_EQ(tevAttach(-1), TEV_E_CHANNEL_RANGE);
    ASSERT_EQ(tevAttach(128), 1);
    EXPECT_EQ(tevAttach(4), TEV_E_ALREADY_ATTACHED);
    EXPECT_EQ(tevStatistics(127, TEV_STAT_BUILD), 18);
    EXPECT_EQ(tevStatistics(128, TEV_STAT_BUILD), TEV_E_CHANNEL_RANGE);
    EXPECT_EQ(tevRelease(), 1);
    ASSERT_EQ(tevAttach(4), 1);
    char buf[8];
    for (int chan : {4, -1, 65536, INT32_MIN}) {
        EXPECT_EQ(tevStatistics(chan, TEV_STAT_VERSION), TEV_E_CHANNEL_RANGE) << chan;
        EXPECT_EQ(tevIntegerParam(chan, TEV_STEP_DELAY, 1), TEV_E_CHANNEL_RANGE);
        EXPECT_EQ(tevStringParam(chan, TEV_REPLY_TO, "x"), TEV_E_CHANNEL_RANGE);
        EXPECT_EQ(tevErrorText(chan, -1, buf, sizeof buf), TEV_E_CHANNEL_RANGE);
        EXPECT_EQ(tevDriver(chan), TEV_E_CHANNEL_RANGE);
        EXPECT_EQ(tevClose(chan), TEV_E_CHANNEL_RANGE);
        EXPECT_EQ(tevGetEmailCount(chan), TEV_E_CHANNEL_RANGE);
    }
    EXPECT_EQ(tevStatistics(3, TEV_STAT_VERSION), TEV_VERSION);
    const tev::SessionRecord &r = *tev::channelTable[3].record;
    EXPECT_EQ(r.channel, 3);
    EXPECT_EQ(r.prevState, -2);
    EXPECT_EQ(r.thisState, -1);
    EXPECT_EQ(r.autoCall, 1);
    EXPECT_EQ(r.smtpPort, 25);
    EXPECT_EQ(r.pop3Port, 110);
    EXPECT_EQ(r.imageTypes, 1);
    EXPECT_EQ(r.nonBlockingConnect, 1);
    std::string base = tev::boundaryBase;
    EXPECT_EQ(base.rfind("=====_TEV", 0), 0u);
    EXPECT_EQ(base.substr(base.size() - 6), "_=====");
    tevRelease();
    EXPECT_EQ(tevErrorText(0, -1, buf, sizeof buf), TEV_E_NOT_ATTACHED);
}

TEST_F(Attached, ReleaseWritesLastLogLineHighestChannelFirst) {
    std::string log2 = openLog(2);
    std::string log1 = openLog(1);
    tevRelease();
    EXPECT_EQ(readWholeFile(log2), "Releasing channel 2\r\n");
    EXPECT_EQ(readWholeFile(log1), "Releasing channel 1\r\n");
    ASSERT_EQ(tevAttach(4), 1);
}

TEST_F(Attached, SlotsAreGuarded) {
    std::string log = openLog(0);
    EXPECT_EQ(tev::copyToSlot(0, 4, ""), nullptr);
    EXPECT_EQ(readWholeFile(log), "AllocAndCopy Error 1: Chan=0, Index=4, Code=0\r\n");
    char *text = tev::copyToSlot(0, 4, "subject");
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(tev::checkSlot(4), 1);
    EXPECT_EQ(tev::slotSize(4), 9);  // length + 2
    EXPECT_EQ(tev::allocateSlot(4, 10), tev::kSlotInUse);
    EXPECT_EQ(tev::allocateSlot(1280, 10), tev::kSlotOutOfRange);
    EXPECT_EQ(tev::checkSlot(5), tev::kSlotEmpty);
    ASSERT_NE(tev::copyToSlot(0, 6, "later"), nullptr);
    rec(0).subject = text;
    text[9] = '!';  // the byte after the data: the trailing guard
    EXPECT_EQ(tev::checkSlot(4), tev::kSlotDamaged);
    tev::freeChannelSlots(0, 1, 9);
    EXPECT_NE(readWholeFile(log).find("FreeMemory Error: Chan=0, Index=4, Code=-106\r\n"), std::string::npos);
    EXPECT_EQ(tev::checkSlot(6), 1);  // the freeing stopped at the damaged slot
    EXPECT_NE(rec(0).subject, nullptr);
    testing::internal::CaptureStderr();
    EXPECT_EQ(tevDebug(TEV_DEBUG_MEMORY_CHECK, 0, nullptr, 0), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Info: Memory Corrupted (tevDebug): ID=4 Err=-106\n");
    text[9] = 'z';  // repair so release frees it
}

TEST_F(Attached, IntegerParameters) {
    std::string log = openLog(1);
    for (int code : {4, 7, 20, 0, 31, -1}) EXPECT_EQ(tevIntegerParam(1, code, 5), -1) << code;
    EXPECT_EQ(readWholeFile(log).find("*** tevIntegerParam(1,4,5)\r\n"), 0u);
    EXPECT_EQ(tevIntegerParam(1, TEV_LINE_LENGTH, 78), 1);
    EXPECT_EQ(tev::settings.maxLineLength.get(), 78);
    EXPECT_EQ(tev::settings.softLineLength.get(), 60);
    tevIntegerParam(1, TEV_LINE_LENGTH, 78);
    EXPECT_EQ(tevIntegerParam(1, TEV_TRANSFER_TIMEOUT, 5000), 1);
    EXPECT_EQ(tev::settings.sendTimeout.get(), 5000);
    EXPECT_EQ(tev::settings.readTimeout.get(), 5000);
    tevIntegerParam(1, TEV_SEND_TIMEOUT, 7);
    EXPECT_EQ(tev::settings.sendTimeout.get(), 7);
    EXPECT_EQ(tev::settings.readTimeout.get(), 5000);
    EXPECT_EQ(tevIntegerParam(1, TEV_BLOCKING, 1), 1);
    EXPECT_EQ(rec(1).nonBlockingConnect, 0);
    tevIntegerParam(1, TEV_BLOCKING, 0);
    EXPECT_EQ(rec(1).nonBlockingConnect, 1);
    tevIntegerParam(1, TEV_AUTO_CALL, 3);
    EXPECT_EQ(rec(1).autoCall, 1);
    rec(1).waitUntil = 5;
    tevIntegerParam(1, TEV_AUTO_CALL, 2);
    EXPECT_EQ(rec(1).autoCall, 0);
    EXPECT_EQ(rec(1).waitUntil, 0u);
    tevIntegerParam(1, TEV_SMTP_PORT, 65561);
    EXPECT_EQ(rec(1).smtpPort, 25);
    tevIntegerParam(1, TEV_ADDRESS_SEPARATOR, 59);
    EXPECT_EQ(tev::settings.addressSeparator.get(), ';');
    tevIntegerParam(2, TEV_ADDRESS_SEPARATOR, ',');
    tevIntegerParam(1, TEV_DECODE_MODE, 0x1FFFF);
    EXPECT_EQ(rec(1).decodeState, -1);
    tevIntegerParam(1, TEV_BODY_MODE, 0x13);
    EXPECT_EQ(rec(1).bodyMode, 3);
    // Restore the process-wide defaults other tests rely on.
    tevIntegerParam(1, TEV_TRANSFER_TIMEOUT, 25000);
}

TEST_F(Attached, StringParameters) {
    EXPECT_EQ(tevStringParam(0, TEV_REPLY_TO, nullptr), TEV_E_NULL_POINTER);
    EXPECT_EQ(tevStringParam(0, 99, "x"), -1);
    EXPECT_EQ(tevStringParam(0, TEV_REPLY_TO, std::string(200, 'r').c_str()), 128);
    EXPECT_EQ(std::string(rec(0).replyTo), std::string(128, 'r'));
    EXPECT_EQ(tevStringParam(0, TEV_FROM_ADDRESS, "<a@b>\r\nRCPT TO:<x@y>"), TEV_E_BAD_ADDRESS_CHAR);
    EXPECT_EQ(std::string(rec(0).fromAddress), "");
    EXPECT_EQ(tevStringParam(0, TEV_HEADER_LINES, "ab\n"), 3);
    EXPECT_STREQ(rec(0).extraHeaders, "ab");
    EXPECT_EQ(tevStringParam(0, TEV_HEADER_LINES, "X-One: 1"), 4);
    EXPECT_EQ(tevStringParam(0, TEV_ADD_HEADER_LINE, "X-Two: 2\r\n"), 2);
    EXPECT_STREQ(rec(0).extraHeaders, "X-One: 1\r\nX-Two: 2");
    EXPECT_EQ(tevStringParam(0, TEV_HEADER_LINES, ""), 0);
    EXPECT_EQ(rec(0).extraHeaders, nullptr);
    EXPECT_EQ(tevStringParam(0, TEV_ALTERNATE_TEXT, "first"), 5);
    EXPECT_EQ(tevStringParam(0, TEV_ALTERNATE_TEXT, "second"), 0);
    EXPECT_STREQ(rec(0).alternateText, "first");
    EXPECT_EQ(tevStringParam(0, TEV_LOG_TEXT, "nothing"), 0);
    EXPECT_EQ(tevStringParam(0, TEV_WRITE_BUFFER, tmp.file("top").c_str()), TEV_E_NULL_POINTER);
    EXPECT_EQ(tevStringParam(0, TEV_CONTENT_TYPE, std::string(100, 'c').c_str()), 64);
    EXPECT_EQ(tevStringParam(0, TEV_TRANSFER_ENCODING, ""), 0);
    EXPECT_EQ(tev::customTransferEncodingLength, 0);
    EXPECT_EQ(tevStringParam(0, TEV_AUTH_USER, std::string(70, 'u').c_str()), 64);
    EXPECT_EQ(tevStringParam(0, TEV_LOG_FILE, tmp.file("no/such/dir/log").c_str()), -1);
    EXPECT_EQ(rec(0).logFile, 0);
}

TEST_F(Attached, LogFileReopenAndText) {
    std::string first = openLog(0);
    std::string second = tmp.file("second.log");
    ASSERT_GT(tevStringParam(0, TEV_LOG_FILE, second.c_str()), 0);
    EXPECT_GT(tevStringParam(0, TEV_LOG_TEXT, "hello"), 0);
    EXPECT_EQ(readWholeFile(first), "*** tevStringParam(0,20," + second + ")\r\n");
    EXPECT_EQ(readWholeFile(second), "*** tevStringParam(0,52,hello)\r\nhello\r\n");
}

// The trace log and the TOP-buffer file are created only as regular files: a FIFO (even one with a reader), a
// device or a directory is refused at once, and so is a symbolic link in place of the log.  A log that existed
// already is made owner-only before anything is written to it.
TEST_F(Attached, LogAndBufferFilesAreRegularFilesOnly) {
    const std::string fifo = tmp.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    ASSERT_GE(tev::allocateSlot(8, 16), 0);
    std::memcpy(tev::slotData(8), "top text", 9);
    for (const std::string &special : {fifo, std::string("/dev/null"), tmp.path()}) {
        EXPECT_EQ(tevStringParam(0, TEV_LOG_FILE, special.c_str()), -1) << special;
        EXPECT_EQ(rec(0).logFile, 0) << special;
        EXPECT_EQ(tevStringParam(0, TEV_WRITE_BUFFER, special.c_str()), TEV_E_CANNOT_CREATE_FILE) << special;
    }
    char drained[16];
    EXPECT_LE(::read(reader, drained, sizeof drained), 0);  // nothing was written into the FIFO
    ::close(reader);

    const std::string target = tmp.file("target");
    ASSERT_TRUE(tevtest::writeWholeFile(target, "keep"));
    ASSERT_EQ(symlink(target.c_str(), tmp.file("link.log").c_str()), 0);
    EXPECT_EQ(tevStringParam(0, TEV_LOG_FILE, tmp.file("link.log").c_str()), -1);
    EXPECT_EQ(rec(0).logFile, 0);
    EXPECT_EQ(readWholeFile(target), "keep");

    const std::string old = tmp.file("old.log");
    ASSERT_TRUE(tevtest::writeWholeFile(old, "earlier secrets"));
    ASSERT_EQ(chmod(old.c_str(), 0644), 0);
    ASSERT_GT(tevStringParam(0, TEV_LOG_FILE, old.c_str()), 0);
    struct stat info {};
    ASSERT_EQ(stat(old.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(info.st_size, 0);
}

TEST_F(Attached, ErrorTexts) {
    char buf[128];
    EXPECT_EQ(tevErrorText(0, -52, buf, 64), 19);
    EXPECT_STREQ(buf, "Socket write error.");
    EXPECT_EQ(tevErrorText(0, -52, buf, 8), 7);
    EXPECT_STREQ(buf, "Socket ");
    EXPECT_EQ(tevErrorText(0, 0, buf, sizeof buf), 13);
    EXPECT_STREQ(buf, "Cannot comply");
    EXPECT_EQ(tevErrorText(0, -2, buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(tevErrorText(0, -106, buf, sizeof buf), 0);
    EXPECT_EQ(tevErrorText(0, 999, buf, sizeof buf), 0);
    EXPECT_EQ(tevErrorText(0, -10061, buf, sizeof buf), 34);
    std::string reply = "550 No such user\r\n";  // 16 characters plus CR LF
    tev::copyText(rec(0).replyBuffer, reply.c_str());
    EXPECT_EQ(tevErrorText(0, -49, buf, sizeof buf), 39);
    EXPECT_EQ(std::string(buf), "SMTP returned error. " + reply);
    char small[21];
    std::memset(small, '#', sizeof small);
    EXPECT_EQ(tevErrorText(0, -49, small, sizeof small), 20);
    EXPECT_STREQ(small, "SMTP returned error.");
    EXPECT_EQ(tevErrorText(0, -52, nullptr, 10), 0);
    EXPECT_EQ(tevErrorText(0, -52, buf, 0), 0);
    char one[1] = {'#'};
    EXPECT_EQ(tevErrorText(0, -52, one, 1), 0);
    EXPECT_EQ(one[0], '\0');
}

TEST_F(Attached, DebugCodes) {
    char buf[64];
    EXPECT_EQ(tevDebug(0, 23, nullptr, 10), 0);
    tevRelease();
    EXPECT_EQ(tevDebug(0, 99, nullptr, 10), 0);        // null buffer before the channel check
    EXPECT_EQ(tevDebug(TEV_DEBUG_MEMORY_CHECK, 0, nullptr, 0), 0);  // works detached
    EXPECT_EQ(tevDebug(0, 99, buf, sizeof buf), TEV_E_NOT_ATTACHED);
    ASSERT_EQ(tevAttach(4), 1);
    EXPECT_EQ(tevDebug(0, 99, buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "?");
    tev::copyText(rec(0).lastReply, "0123456789\r\n");
    EXPECT_EQ(tevDebug(0, TEV_DEBUG_LAST_REPLY, buf, sizeof buf), 10);
    EXPECT_STREQ(buf, "0123456789\r\n");
    rec(0).serverAddress = 0xC0A8010A;
    EXPECT_EQ(tevDebug(0, TEV_DEBUG_SERVER_IP, buf, 16), 0);
    EXPECT_EQ(tevDebug(0, TEV_DEBUG_SERVER_IP, buf, 17), 12);
    EXPECT_STREQ(buf, "192.168.1.10");
    EXPECT_EQ(tevDebug(0, TEV_DEBUG_LOCAL_IP, buf, sizeof buf), 0);  // no socket
    EXPECT_EQ(tevDebug(0, TEV_DEBUG_BUFFER, buf, sizeof buf), TEV_E_NULL_POINTER);
    EXPECT_STREQ(buf, "");
    tev::copyText(rec(0).lastRecipient, "<someone@example.com>");
    EXPECT_EQ(tevDebug(0, TEV_DEBUG_LAST_RECIPIENT, buf, 8), 7);
    EXPECT_STREQ(buf, "<someon");
    EXPECT_EQ(tevDebug(0, TEV_DEBUG_DATE_LINE, buf, sizeof buf), 0);
    EXPECT_EQ(std::string(buf).rfind("Date: ", 0), 0u);
}

TEST_F(Attached, Statistics) {
    EXPECT_EQ(tevStatistics(0, TEV_STAT_VERSION), 834);
    EXPECT_EQ(tevStatistics(0, TEV_STAT_BUILD), 18);
    for (int code : {0, 5, 6, 7, 8, 9, 21, 23, 25, 28}) EXPECT_EQ(tevStatistics(0, code), -1) << code;
    rec(0).textBytesRead = 10;
    rec(0).attachmentBytesRead = 5;
    rec(0).textBytesSent = 7;
    rec(0).attachmentBytesSent = 8;
    EXPECT_EQ(tevStatistics(0, TEV_STAT_TOTAL_READ), 15);
    EXPECT_EQ(tevStatistics(0, TEV_STAT_TOTAL_SENT), 15);
    EXPECT_EQ(tevStatistics(0, TEV_STAT_SOCKET), 0);
    // Without a socket the error test holds, as for a failed connect.
    EXPECT_EQ(tevStatistics(0, TEV_STAT_CONNECTED), TEV_E_CONNECT);
}

TEST_F(Attached, DriverIdleAndNoLogNoFile) {
    std::string log = openLog(0);
    EXPECT_EQ(tevDriver(0), 0);
    EXPECT_EQ(tevDriver(0), 0);
    EXPECT_EQ(rec(0).stepCount, 0);
    EXPECT_EQ(rec(0).prevState, -2);
    std::string text = readWholeFile(log);
    // Each idle call writes the state line for state 0: prevState never becomes 0.
    size_t first = text.find("<  0:");
    ASSERT_NE(first, std::string::npos);
    EXPECT_NE(text.find("<  0:", first + 1), std::string::npos);
    EXPECT_EQ(tevDriver(1), 0);
    EXPECT_EQ(tmp.list().size(), 1u);  // channel 1 has no log: nothing was created
}

}  // namespace
