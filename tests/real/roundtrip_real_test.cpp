// The whole path with real servers: attachments sent with tevSendEmail through aiosmtpd, fetched from Dovecot with
// tevGetEmailFile and decoded by the MIME decoder must come back byte for byte, with the saved-name list and count
// right, on a message the library did not compose for the decoder's sake.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <vector>

#include "frame/record.h"
#include "support/real_servers.h"
#include "support/trace.h"
#include "tev32.h"

using tevtest::readWholeFile;
using tevtest::showBytes;

namespace {

// Bytes that look random and are the same every run.
std::string noise(size_t n, uint32_t seed) {
    std::string s(n, '\0');
    uint32_t x = seed;
    for (size_t i = 0; i < n; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        s[i] = static_cast<char>(x >> 24);
    }
    return s;
}

// A small PNG image (one pixel) followed by filler, as an image file an application would attach.
std::string pngImage() {
    const unsigned char head[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n', 0, 0, 0, 13, 'I', 'H', 'D', 'R',
                                  0, 0, 0, 1, 0, 0, 0, 1, 8, 6, 0, 0, 0, 0x1f, 0x15, 0xc4, 0x89};
    return std::string(reinterpret_cast<const char *>(head), sizeof head) + noise(2000, 9);
}

class RoundTrip : public tevtest::TempDirTest {
protected:
    void SetUp() override {
        ASSERT_EQ(tevAttach(1), 1);
        tevIntegerParam(0, TEV_STEP_DELAY, 1);
        tevIntegerParam(0, TEV_RESPONSE_TIMEOUT, 5000);
        tevIntegerParam(0, TEV_READ_TIMEOUT, 5000);
        tevIntegerParam(0, TEV_CONNECT_TIMEOUT, 5000);
        tevIntegerParam(0, TEV_POLL_SLEEP, 5);
        ASSERT_GT(tevStringParam(0, TEV_LOG_FILE, tmp.file("trace.log").c_str()), 0);
    }
    void TearDown() override {
        tevClose(0);
        tevRelease();
        tevIntegerParam(0, TEV_STEP_DELAY, 25);
        tevIntegerParam(0, TEV_RESPONSE_TIMEOUT, 25000);
        tevIntegerParam(0, TEV_READ_TIMEOUT, 25000);
        tevIntegerParam(0, TEV_CONNECT_TIMEOUT, 60000);
        tevIntegerParam(0, TEV_POLL_SLEEP, 100);
    }

    std::string file(const std::string &name, const std::string &bytes) {
        const std::string path = tmp.file("out/" + name);
        EXPECT_TRUE(tevtest::writeWholeFile(path, bytes));
        return path;
    }
    std::string log() { return readWholeFile(tmp.file("trace.log")); }
};

TEST_F(RoundTrip, AttachmentsComeBackByteForByte) {
    TEV_USE_REAL_SERVERS(servers);
    servers.clearMessages();
    for (const char *dir : {"out", "in", "att"}) ASSERT_EQ(mkdir(tmp.file(dir).c_str(), 0700), 0);
    const std::vector<std::pair<std::string, std::string>> files = {
        {"one.bin", noise(1, 1)}, {"f58.bin", noise(58, 2)}, {"big.bin", noise(1 << 20, 3)}, {"photo.png", pngImage()}};
    std::string list;
    for (const auto &f : files) list += (list.empty() ? "" : ",") + file(f.first, f.second);

    tevIntegerParam(0, TEV_SMTP_PORT, servers.smtpPlainPort());
    ASSERT_EQ(tevSmtpConnect(0, "127.0.0.1", "Ann <ann@example.com>", nullptr), 0) << log();
    ASSERT_EQ(tevSendEmail(0, "<tevuser@tev.test>", nullptr, nullptr, "Round trip", "Four files.", list.c_str()), 0)
        << log();
    ASSERT_EQ(tevClose(0), 0);

    tevIntegerParam(0, TEV_POP3_PORT, servers.pop3Port());
    ASSERT_EQ(tevPop3Connect(0, "127.0.0.1", servers.user().c_str(), servers.password().c_str()), 0) << log();
    ASSERT_EQ(tevGetEmailCount(0), 1);
    ASSERT_EQ(tevGetEmailFile(0, 1, "message.txt", tmp.file("in").c_str(), tmp.file("att").c_str()), 0) << log();

    EXPECT_EQ(tevtest::listDirectory(tmp.file("att")),
              (std::vector<std::string>{"big.bin", "f58.bin", "one.bin", "photo.png"}));
    for (const auto &f : files) {
        EXPECT_TRUE(readWholeFile(tmp.file("att/" + f.first)) == f.second) << f.first;
    }
    char saved[256];
    tevDebug(0, TEV_DEBUG_SAVED_FILES, saved, sizeof saved);
    EXPECT_STREQ(saved, "one.bin,f58.bin,big.bin,photo.png");
    EXPECT_EQ(tevStatistics(0, TEV_STAT_ATTACH_SAVED), 4);

    // The message file keeps the header up to the MIME definition, the text and one note per file.
    const std::string message = readWholeFile(tmp.file("in/message.txt"));
    EXPECT_NE(message.find("Subject: Round trip\r\n"), std::string::npos) << showBytes(message, 3000);
    EXPECT_NE(message.find("Four files."), std::string::npos) << showBytes(message, 3000);
    for (const auto &f : files) {
        const std::string note = "[Attachment saved to \"" + tmp.file("att") + "\\" + f.first + "\"]\r\n";
        EXPECT_NE(message.find(note), std::string::npos) << f.first << "\n" << showBytes(message, 3000);
    }
    EXPECT_EQ(message.find("AAAA"), std::string::npos) << "base64 text left in the message file";
}

}  // namespace
