// The POP3 client against a real Dovecot serving a Maildir on loopback: USER/PASS and APOP logins, STAT, LIST,
// UIDL, TOP, RETR line by line (unstuffed, byte for byte the delivered message) and raw, DELE taking effect at
// QUIT.  Messages are put into the Maildir directly, so these tests need only the POP3 server.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "pop3/pop3_fixture.h"
#include "support/real_servers.h"
#include "support/trace.h"
#include "tev32.h"

using tevtest::readWholeFile;
using tevtest::showBytes;

namespace {

// Non-MIME messages, so the fetch writes their lines as they are.  The second holds lines that the server sends
// dot-stuffed, one of them a lone "." that would end the transfer if it were not.
const std::string kFirst =
    "From: ann@tev.test\r\nTo: tevuser@tev.test\r\nSubject: first\r\n\r\nline one\r\nline two\r\n";
const std::string kSecond =
    "From: bob@tev.test\r\nTo: tevuser@tev.test\r\nSubject: second\r\n\r\n.leading dot\r\n..two dots\r\n.\r\n"
    "+OK not a status line\r\nlast line\r\n";

class Pop3Real : public tevtest::Pop3Test {
protected:
    void SetUp() override {
        Pop3Test::SetUp();
        tevIntegerParam(0, TEV_RESPONSE_TIMEOUT, 5000);
        tevIntegerParam(0, TEV_CONNECT_TIMEOUT, 5000);
    }
    void TearDown() override {
        tevIntegerParam(0, TEV_USE_APOP, 0);
        Pop3Test::TearDown();
    }

    // Delivers a message into the Maildir as the mail user owns it.
    static bool deliver(const tevtest::RealServers &servers, const std::string &name, const std::string &bytes) {
        const std::string path = servers.maildir() + "/new/" + name;
        if (!tevtest::writeWholeFile(path, bytes)) return false;
        return ::chown(path.c_str(), 65534, 65534) == 0 && ::chmod(path.c_str(), 0600) == 0;
    }

    int32_t connectReal(const tevtest::RealServers &servers, const std::string &password) {
        tevIntegerParam(0, TEV_POP3_PORT, servers.pop3Port());
        return tevPop3Connect(0, "127.0.0.1", servers.user().c_str(), password.c_str());
    }

    // The number of the message whose header holds the subject line, found with TOP; 0 when none.
    int32_t findMessage(int32_t count, const std::string &subject) {
        for (int32_t i = 1; i <= count; ++i) {
            char header[1024];
            int32_t n = tevGetEmailLines(0, i, 0, header, sizeof header - 1);
            if (n < 0) return 0;
            header[n] = '\0';
            if (contains(header, "Subject: " + subject + "\r\n")) return i;
        }
        return 0;
    }
};

TEST_F(Pop3Real, UserPassSessionCountsSizesListsAndFetches) {
    TEV_USE_REAL_SERVERS(servers);
    servers.clearMessages();
    ASSERT_TRUE(deliver(servers, "1700000001.M1P1.tev", kFirst));
    ASSERT_TRUE(deliver(servers, "1700000002.M2P2.tev", kSecond));

    ASSERT_EQ(connectReal(servers, servers.password()), 0) << log();
    ASSERT_EQ(tevGetEmailCount(0), 2);
    const int32_t first = findMessage(2, "first");
    const int32_t second = findMessage(2, "second");
    ASSERT_GT(first, 0);
    ASSERT_GT(second, 0);
    EXPECT_EQ(tevGetEmailSize(0, first), static_cast<int32_t>(kFirst.size()));
    EXPECT_EQ(tevGetEmailSize(0, second), static_cast<int32_t>(kSecond.size()));

    // UIDL: the list, then the one line of a single message, whose id is the list's.
    char list[512];
    ASSERT_GT(tevGetEmailUID(0, -1, list, sizeof list), 0);
    const std::vector<std::string> lines = tevtest::splitLines(list);
    ASSERT_EQ(lines.size(), 3u) << list;
    EXPECT_EQ(lines[0].compare(0, 3, "+OK"), 0);
    char one[256];
    ASSERT_GT(tevGetEmailUID(0, second, one, sizeof one), 0);
    EXPECT_EQ(std::string(one), "+OK " + lines[static_cast<size_t>(second)]) << one;

    // TOP with one body line into the library's buffer; the stuffed first line comes back unstuffed.
    char star[] = "*";
    const std::string top = "+OK\r\nFrom: bob@tev.test\r\nTo: tevuser@tev.test\r\nSubject: second\r\n\r\n.leading dot\r\n";
    EXPECT_EQ(tevGetEmailLines(0, second, 1, star, 4096), static_cast<int32_t>(top.size()));
    char copy[4096];
    tevDebug(0, TEV_DEBUG_BUFFER, copy, sizeof copy);
    EXPECT_EQ(std::string(copy), top);

    // RETR line by line: the file is the delivered message, byte for byte.
    EXPECT_EQ(tevGetEmailFile(0, second, "second.txt", tmp.path().c_str(), tmp.path().c_str()), 0);
    EXPECT_EQ(readWholeFile(tmp.file("second.txt")), kSecond) << showBytes(readWholeFile(tmp.file("second.txt")));
    EXPECT_EQ(tevGetEmailFile(0, first, "first.txt", tmp.path().c_str(), tmp.path().c_str()), 0);
    EXPECT_EQ(readWholeFile(tmp.file("first.txt")), kFirst);

    // Raw: everything the server sent, stuffing, status line and end line included.
    tevIntegerParam(0, TEV_DECODE_MODE, 1);
    EXPECT_EQ(tevGetEmailFile(0, second, "raw.txt", tmp.path().c_str(), tmp.path().c_str()), 0);
    std::string stuffed = kSecond;
    stuffed.replace(stuffed.find("\r\n.leading"), 3, "\r\n..");
    stuffed.replace(stuffed.find("\r\n..two"), 4, "\r\n...");
    stuffed.replace(stuffed.find("\r\n.\r\n"), 5, "\r\n..\r\n");
    EXPECT_EQ(readWholeFile(tmp.file("raw.txt")),
              "+OK " + std::to_string(kSecond.size()) + " octets\r\n" + stuffed + ".\r\n");

    EXPECT_EQ(tevClose(0), 0);
    EXPECT_EQ(tevGetEmailCount(0), TEV_E_POP3_ONLY);
}

TEST_F(Pop3Real, ApopLogsInAndBadPasswordsAreRefused) {
    TEV_USE_REAL_SERVERS(servers);
    servers.clearMessages();
    ASSERT_TRUE(deliver(servers, "1700000003.M3P3.tev", kFirst));

    tevIntegerParam(0, TEV_USE_APOP, 1);
    ASSERT_EQ(connectReal(servers, servers.password()), 0) << log();
    EXPECT_TRUE(contains(log(), "S: APOP " + servers.user() + " ")) << log();
    EXPECT_EQ(tevGetEmailCount(0), 1);
    EXPECT_EQ(tevClose(0), 0);

    EXPECT_EQ(connectReal(servers, "wrong"), TEV_E_POP3_ERROR);
    char text[256];
    tevErrorText(0, TEV_E_POP3_ERROR, text, sizeof text);
    EXPECT_EQ(std::string(text).compare(0, 26, "POP3 returned error. -ERR "), 0) << text;

    tevIntegerParam(0, TEV_USE_APOP, 0);
    EXPECT_EQ(connectReal(servers, "wrong"), TEV_E_POP3_ERROR);
    ASSERT_EQ(connectReal(servers, servers.password()), 0);
    EXPECT_EQ(tevClose(0), 0);
}

TEST_F(Pop3Real, DeleteTakesEffectAtQuit) {
    TEV_USE_REAL_SERVERS(servers);
    servers.clearMessages();
    ASSERT_TRUE(deliver(servers, "1700000004.M4P4.tev", kFirst));
    ASSERT_TRUE(deliver(servers, "1700000005.M5P5.tev", kSecond));

    ASSERT_EQ(connectReal(servers, servers.password()), 0);
    ASSERT_EQ(tevGetEmailCount(0), 2);
    const int32_t first = findMessage(2, "first");
    ASSERT_GT(first, 0);
    EXPECT_EQ(tevDeleteEmail(0, first), 0);
    EXPECT_EQ(tevDeleteEmail(0, first), 0);  // already deleted: refused, not reported
    EXPECT_EQ(tevClose(0), 0);

    ASSERT_EQ(connectReal(servers, servers.password()), 0);
    EXPECT_EQ(tevGetEmailCount(0), 1);
    EXPECT_EQ(findMessage(1, "second"), 1);
    EXPECT_EQ(tevClose(0), 0);
}

// UTF-8 mail fetched from Dovecot: a message Python's email package wrote (an alternative text and HTML, five
// attachments with RFC 2231 names) and an ISO-2022-JP base64 text; the message file holds the texts in UTF-8 as
// Python reads them, the attachment files carry the names Python reads.
TEST_F(Pop3Real, Utf8MailFromPythonDecodesAsPythonReadsIt) {
    TEV_USE_REAL_SERVERS(servers);
    servers.clearMessages();
    const std::string corpus = std::string(TEV_SOURCE_DIR) + "/tests/pop3/utf8_corpus/";
    const char *const names[] = {"10-alternative-rfc2231", "07-iso2022jp-base64"};
    ASSERT_TRUE(deliver(servers, "1700000001.M1P1.tev", readWholeFile(corpus + names[0] + ".eml")));
    ASSERT_TRUE(deliver(servers, "1700000002.M2P2.tev", readWholeFile(corpus + names[1] + ".eml")));
    ASSERT_EQ(connectReal(servers, servers.password()), 0) << log();
    ASSERT_EQ(tevIntegerParam(0, TEV_UTF8, 1), 1);
    ASSERT_EQ(tevGetEmailCount(0), 2);
    const int32_t japanese = findMessage(2, "ISO-2022-JP base64");
    ASSERT_GT(japanese, 0);
    for (const char *name : names) {
        const std::string base = corpus + name;
        const int32_t number = name == names[1] ? japanese : 3 - japanese;
        const std::string dir = tmp.file(name);
        ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
        ASSERT_EQ(tevGetEmailFile(0, number, "msg.txt", dir.c_str(), dir.c_str()), 0) << log();
        std::string file;
        for (char c : readWholeFile(dir + "/msg.txt")) {
            if (c != '\r') file += c;
        }
        size_t at = 0;
        for (int k = 1; access((base + ".text" + std::to_string(k)).c_str(), F_OK) == 0; ++k) {
            const size_t found = file.find(readWholeFile(base + ".text" + std::to_string(k)), at);
            ASSERT_NE(found, std::string::npos) << name << " text " << k << "\n" << showBytes(file, 4000);
            at = found;
        }
        const std::string expected = readWholeFile(base + ".names");
        for (size_t start = 0; start < expected.size();) {
            const size_t end = expected.find('\n', start);
            const std::string saved = expected.substr(start, end - start);
            EXPECT_EQ(access((dir + "/" + saved).c_str(), F_OK), 0) << saved;
            start = end + 1;
        }
    }
    EXPECT_EQ(tevClose(0), 0);
}

}  // namespace
