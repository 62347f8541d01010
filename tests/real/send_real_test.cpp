// Every message layout sent through a real SMTP server (aiosmtpd on loopback), then parsed by an independent
// judge, Python's email package (judge_message.py): the structure, the headers, the decoded texts and the
// attachments byte for byte must be what the application asked for.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "frame/record.h"
#include "support/real_servers.h"
#include "support/trace.h"
#include "tev32.h"

namespace tevtest {
namespace {

class RealSend : public TempDirTest {
protected:
    void SetUp() override {
        ASSERT_EQ(tevAttach(1), 1);
        tevIntegerParam(0, TEV_STEP_DELAY, 1);
        tevIntegerParam(0, TEV_RESPONSE_TIMEOUT, 5000);
        tevIntegerParam(0, TEV_POLL_SLEEP, 5);
        ASSERT_GT(tevStringParam(0, TEV_LOG_FILE, tmp.file("trace.log").c_str()), 0);
    }
    void TearDown() override {
        tevClose(0);
        tevRelease();
        tev::settings.stepDelay.set(25);
        tev::settings.responseTimeout.set(25000);
        tev::settings.pollSleep.set(100);
        tev::customContentType[0] = '\0';
    }

    // Opens a session on the server's port without AUTH; false when that fails.
    bool connectTo(RealServers &servers) {
        servers.clearMessages();
        tevIntegerParam(0, TEV_SMTP_PORT, servers.smtpPlainPort());
        int32_t rc = tevSmtpConnect(0, "127.0.0.1", "Ann <ann@example.com>", nullptr);
        EXPECT_EQ(rc, 0) << readWholeFile(tmp.file("trace.log"));
        return rc == 0;
    }

    // The judge's account of the one message the server received (attachments land in tmp/parts).
    std::string judgeReceived(RealServers &servers) {
        std::vector<std::string> messages = servers.receivedMessages();
        EXPECT_EQ(messages.size(), 1u);
        if (messages.size() != 1) return "";
        received = messages[0];
        const std::string path = tmp.file("message.eml");
        EXPECT_TRUE(writeWholeFile(path, received));
        const std::string parts = tmp.file("parts");
        EXPECT_EQ(runCommand({"/bin/mkdir", "-p", parts}, 5000, nullptr), 0);
        std::string output;
        const std::string judge = std::string(TEV_SOURCE_DIR) + "/tests/real/judge_message.py";
        int status = runCommand({"/usr/bin/python3", judge, path, parts}, 30000, &output);
        EXPECT_EQ(status, 0) << output;
        // The unique part of a Message-ID differs per run.
        const std::string id = "HEADER Message-ID \"<message-root.";
        const size_t at = output.find(id);
        const size_t end = at == std::string::npos ? at : output.find('@', at);
        if (end != std::string::npos) output.replace(at + id.size(), end - at - id.size(), "*");
        return output;
    }

    std::string part(const std::string &path) { return readWholeFile(tmp.file("parts/" + path + ".bin")); }

    std::string file(const std::string &name, const std::string &bytes) {
        std::string path = tmp.file(name);
        EXPECT_TRUE(writeWholeFile(path, bytes));
        return path;
    }

    std::string received;
};

const char *const kBob = "Bob <bob@x.test>";
const std::string kHeaders =
    "HEADER X-Mailer \"Orvane TEV Version 3.4\"\n"
    "HEADER Date parsed\n"
    "HEADER To \"Bob <bob@x.test>\"\n"
    "HEADER From \"Ann <ann@example.com>\"\n";

std::string letters(size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) s += static_cast<char>('a' + i % 26);
    return s;
}

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

TEST_F(RealSend, PlainText) {
    TEV_USE_REAL_SERVERS(servers);
    ASSERT_TRUE(connectTo(servers));
    const std::string text = "Hello Bob,\r\n.\r\n..\r\n.start\r\n" + letters(100) + "\r\nbye";
    ASSERT_EQ(tevSendEmail(0, kBob, nullptr, nullptr, "Plain", text.c_str(), nullptr), 0);
    EXPECT_EQ(judgeReceived(servers),
              kHeaders + "HEADER Subject \"Plain\"\n"
                         "NODE 1 text/plain\n"
                         "TEXT 1 \"Hello Bob,\\r\\n.\\r\\n..\\r\\n.start\\r\\n" +
                  letters(78) + "\\r\\n" + letters(100).substr(78) + "\\r\\nbye\\r\\n\\r\\n\"\n");
    EXPECT_EQ(servers.receivedEnvelopes(),
              std::vector<std::string>{"MAIL FROM:<ann@example.com>\nRCPT TO:<bob@x.test>\n"});
}

TEST_F(RealSend, AttachmentsArriveByteForByte) {
    TEV_USE_REAL_SERVERS(servers);
    const std::string one = noise(1, 1), fiftySeven = noise(57, 2), fiftyEight = noise(58, 3);
    const std::string mebibyte = noise(1 << 20, 4);
    const std::string list = file("one.bin", one) + "," + file("f57.bin", fiftySeven) + "," +
                             file("f58.bin", fiftyEight) + "|Fifty eight.dat," + file("big.bin", mebibyte) + "," +
                             file("empty.bin", "");
    ASSERT_TRUE(connectTo(servers));
    ASSERT_EQ(tevSendEmail(0, kBob, nullptr, nullptr, "Files", "Four files.", list.c_str()), 0);
    EXPECT_EQ(judgeReceived(servers),
              kHeaders + "HEADER Subject \"Files\"\n"
                         "HEADER MIME-Version \"1.0\"\n"
                         "HEADER Content-Type \"multipart/mixed; boundary=\\\"" + tev::boundaryBase + "\\\"\"\n"
                         "NODE 1 multipart/mixed\n"
                         "NODE 1.1 text/plain\n"
                         "TEXT 1.1 \"Four files.\\r\\n\\r\\n\"\n"
                         "NODE 1.2 application/octet-stream disposition=attachment filename=\"one.bin\"\n"
                         "FILE 1.2 1\n"
                         "NODE 1.3 application/octet-stream disposition=attachment filename=\"f57.bin\"\n"
                         "FILE 1.3 57\n"
                         "NODE 1.4 application/octet-stream disposition=attachment filename=\"Fifty eight.dat\"\n"
                         "FILE 1.4 58\n"
                         "NODE 1.5 application/octet-stream disposition=attachment filename=\"big.bin\"\n"
                         "FILE 1.5 1048576\n"
                         "NODE 1.6 application/octet-stream disposition=attachment filename=\"empty.bin\"\n"
                         "FILE 1.6 0\n");
    EXPECT_TRUE(part("1.2") == one);
    EXPECT_TRUE(part("1.3") == fiftySeven);
    EXPECT_TRUE(part("1.4") == fiftyEight);
    EXPECT_TRUE(part("1.5") == mebibyte);
    EXPECT_EQ(tevStatistics(0, TEV_STAT_ATTACH_READ), 1 + 57 + 58 + (1 << 20));
}

TEST_F(RealSend, QuotedPrintableModes) {
    TEV_USE_REAL_SERVERS(servers);
    const std::string longLine = letters(77) + "." + letters(100);
    struct Mode {
        int32_t bodyMode;
        const char *customType;
        std::string text;
        std::string judged;  // the judge's lines from the text part on
    };
    const Mode modes[] = {
        {1, "", "a = b\r\n" + longLine,
         "NODE 1.1 text/plain\nTEXT 1.1 \"a = b\\r\\n" + longLine + "\"\n"},
        {3, "", "<bold>x</bold> = y", "NODE 1.1 text/enriched\nTEXT 1.1 \"<bold>x</bold> = y\"\n"},
        {4, "", "caf\xE9 =\tz", "NODE 1.1 text/plain\nTEXT 1.1 \"caf\\u00e9 =\\tz\"\n"},
        {9, "Content-Type: text/plain; charset=utf-8", "caf\xC3\xA9 \xE2\x82\xAC",
         "NODE 1.1 text/plain\nTEXT 1.1 \"caf\\u00e9 \\u20ac\"\n"},
        // Without a transfer-encoding line the reader gets the encoded text as it is.
        {7, "", "a = b", "NODE 1.1 text/plain\nTEXT 1.1 \"a =3D b\"\n"},
    };
    for (const Mode &m : modes) {
        ASSERT_TRUE(connectTo(servers));
        tevIntegerParam(0, TEV_BODY_MODE, m.bodyMode);
        tevStringParam(0, TEV_CONTENT_TYPE, m.customType);
        ASSERT_EQ(tevSendEmail(0, kBob, nullptr, nullptr, "QP", m.text.c_str(), nullptr), 0) << m.bodyMode;
        EXPECT_EQ(judgeReceived(servers),
                  kHeaders + "HEADER Subject \"QP\"\n"
                             "HEADER MIME-Version \"1.0\"\n"
                             "HEADER Content-Type \"multipart/mixed; boundary=\\\"" + tev::boundaryBase + "\\\"\"\n"
                             "NODE 1 multipart/mixed\n" + m.judged)
            << m.bodyMode;
        tevClose(0);
    }
}

TEST_F(RealSend, HtmlWithAlternativeAndInlineImages) {
    TEV_USE_REAL_SERVERS(servers);
    const std::string gif = noise(300, 5), jpg = noise(1000, 6), doc = noise(10, 7);
    const std::string list = file("logo.gif", gif) + "," + file("photo.JPG", jpg) + "|Photo.JPG," +
                             file("doc.pdf", doc);
    tevIntegerParam(0, TEV_BODY_MODE, 2);
    ASSERT_GT(tevStringParam(0, TEV_ALTERNATE_TEXT, "Plain words.\r\n.\r\nEnd."), 0);
    ASSERT_TRUE(connectTo(servers));
    const char *html = "<html><body>\r\n<img src=\"cid:message-root.1\"><img src=\"cid:message-root.2\">\r\n.\r\n"
                       "</body></html>";
    ASSERT_EQ(tevSendEmail(0, kBob, nullptr, nullptr, "Web", html, list.c_str()), 0);
    EXPECT_EQ(judgeReceived(servers),
              "HEADER Message-ID \"<message-root.*@example.com>\"\n" + kHeaders +
                  "HEADER Subject \"Web\"\n"
                  "HEADER MIME-Version \"1.0\"\n"
                  "HEADER Content-Type \"multipart/related; type=\\\"multipart/alternative\\\"; boundary=\\\"" +
                  tev::boundaryBase + "\\\"\"\n"
                  "NODE 1 multipart/related\n"
                  "NODE 1.1 multipart/alternative\n"
                  "NODE 1.1.1 text/plain\n"
                  "TEXT 1.1.1 \"Plain words.\\r\\n.\\r\\nEnd.\"\n"
                  "NODE 1.1.2 text/html\n"
                  "TEXT 1.1.2 \"<html><body>\\r\\n<img src=\\\"cid:message-root.1\\\"><img "
                  "src=\\\"cid:message-root.2\\\">\\r\\n.\\r\\n</body></html>\"\n"
                  "NODE 1.2 image/gif disposition=inline filename=\"logo.gif\" cid=<message-root.1>\n"
                  "FILE 1.2 300\n"
                  "NODE 1.3 image/jpeg disposition=inline filename=\"Photo.JPG\" cid=<message-root.2>\n"
                  "FILE 1.3 1000\n"
                  "NODE 1.4 application/octet-stream disposition=attachment filename=\"doc.pdf\"\n"
                  "FILE 1.4 10\n");
    EXPECT_TRUE(part("1.2") == gif);
    EXPECT_TRUE(part("1.3") == jpg);
    EXPECT_TRUE(part("1.4") == doc);
}

TEST_F(RealSend, RecipientsAndHeaderTexts) {
    TEV_USE_REAL_SERVERS(servers);
    ASSERT_TRUE(connectTo(servers));
    tevStringParam(0, TEV_HEADER_LINES, "X-Ticket: 42\nX-Queue: mail");
    tevStringParam(0, TEV_REPLY_TO, "Desk <desk@example.com>");
    ASSERT_EQ(tevSendEmail(0, "Bob <bob@x.test>, Cy <cy@x.test>", "Di <di@x.test>", "<eve@x.test>",
                           "Two\r\n.\r\nlines\n.\nand more", "Body.", nullptr),
              0);
    EXPECT_EQ(judgeReceived(servers),
              "HEADER X-Mailer \"Orvane TEV Version 3.4\"\n"
              "HEADER Date parsed\n"
              "HEADER To \"Bob <bob@x.test>, Cy <cy@x.test>\"\n"
              "HEADER From \"Ann <ann@example.com>\"\n"
              "HEADER Reply-To \"Desk <desk@example.com>\"\n"
              "HEADER Subject \"Two . lines . and more\"\n"
              "HEADER X-Ticket \"42\"\n"
              "HEADER X-Queue \"mail\"\n"
              "HEADER CC \"Di <di@x.test>\"\n"
              "NODE 1 text/plain\n"
              "TEXT 1 \"Body.\\r\\n\\r\\n\"\n");
    EXPECT_EQ(servers.receivedEnvelopes(),
              std::vector<std::string>{"MAIL FROM:<ann@example.com>\nRCPT TO:<bob@x.test>\nRCPT TO:<cy@x.test>\n"
                                       "RCPT TO:<di@x.test>\nRCPT TO:<eve@x.test>\n"});
    EXPECT_EQ(received.find("eve"), std::string::npos);
}

// UTF-8 mail as a current reader sees it: the decoded Subject, display names, texts and attachment names equal
// what the application gave, and the parser finds no defect.
TEST_F(RealSend, Utf8MessageReadsBackAsGiven) {
    TEV_USE_REAL_SERVERS(servers);
    std::string subject;
    for (int i = 0; i < 20; ++i) subject += "Grüße 日本語 ";
    const std::string japanese = "日本語のメールです。\nこんにちは";
    const std::string list = file("résumé 2026.pdf", "PDF") + "," + file("a.bin", "x") +
                             "|Übersicht der Jahresabschlüsse für das Geschäftsjahr 2026.pdf";
    ASSERT_TRUE(connectTo(servers));
    tevIntegerParam(0, TEV_UTF8, 1);
    tevIntegerParam(0, TEV_ADDRESS_SEPARATOR, ';');
    ASSERT_EQ(tevSendEmail(0, "\"Müller, Jürgen\" <bob@x.test>;Zoë <zoe@x.test>", nullptr, nullptr,
                           subject.c_str(), japanese.c_str(), list.c_str()),
              0);
    tevIntegerParam(0, TEV_ADDRESS_SEPARATOR, ',');
    const std::string judged = judgeReceived(servers);
    EXPECT_EQ(judged.find("DEFECT"), std::string::npos) << judged;
    EXPECT_NE(judged.find("HEADER To \"\\\"M\\u00fcller, J\\u00fcrgen\\\" <bob@x.test>, Zo\\u00eb <zoe@x.test>\"\n"),
              std::string::npos)
        << judged;
    const auto json = [](const std::string &utf8) {
        // What json.dumps writes for a text: every character beyond ASCII as \uXXXX.
        std::string out;
        for (size_t i = 0; i < utf8.size();) {
            const unsigned char c = static_cast<unsigned char>(utf8[i]);
            uint32_t cp = c;
            size_t n = 1;
            if (c >= 0xE0) cp = c & 0x0F, n = 3;
            else if (c >= 0xC0) cp = c & 0x1F, n = 2;
            for (size_t k = 1; k < n; ++k) cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
            i += n;
            if (cp == '\n') {
                out += "\\r\\n";
            } else if (cp < 0x80) {
                out += static_cast<char>(cp);
            } else {
                out += "\\u";
                for (int shift = 12; shift >= 0; shift -= 4) out += "0123456789abcdef"[(cp >> shift) & 0x0F];
            }
        }
        return out;
    };
    EXPECT_NE(judged.find("HEADER Subject \"" + json(subject) + "\"\n"), std::string::npos) << judged;
    EXPECT_NE(judged.find("TEXT 1.1 \"" + json(japanese) + "\"\n"), std::string::npos) << judged;
    EXPECT_NE(judged.find(" filename=\"" + json("résumé 2026.pdf") + "\"\n"), std::string::npos) << judged;
    EXPECT_NE(judged.find(" filename=\"" + json("Übersicht der Jahresabschlüsse für das Geschäftsjahr 2026.pdf") +
                          "\"\n"),
              std::string::npos)
        << judged;
    EXPECT_EQ(part("1.2"), "PDF");
}

}  // namespace
}  // namespace tevtest
