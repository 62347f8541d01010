// TLS end to end with the test CA: aiosmtpd with STARTTLS required and with implicit TLS (each AUTH mechanism
// over TLS, a 1 MiB attachment judged by Python's email package), Dovecot with `ssl = required` (STLS and
// implicit TLS, USER/PASS and APOP, a 1 MiB message fetched and decoded byte for byte), and the certificates that
// must fail: wrong host name, expired, unknown CA (-82 with the reason), and the TLS 1.1-only server (-81).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <vector>

#include "frame/record.h"
#include "platform/platform.h"
#include "support/real_servers.h"
#include "support/trace.h"
#include "tev32.h"

using tevtest::readWholeFile;
using tevtest::RealServers;
using tevtest::showBytes;

namespace {

bool contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

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

class RealTls : public tevtest::TempDirTest {
protected:
    void SetUp() override {
        ASSERT_EQ(tevAttach(1), 1);
        tevIntegerParam(0, TEV_STEP_DELAY, 1);
        tevIntegerParam(0, TEV_RESPONSE_TIMEOUT, 5000);
        tevIntegerParam(0, TEV_READ_TIMEOUT, 5000);
        tevIntegerParam(0, TEV_CONNECT_TIMEOUT, 5000);
        tevIntegerParam(0, TEV_POLL_SLEEP, 5);
        tevIntegerParam(0, TEV_USE_EHLO, 1);
        ASSERT_GT(tevStringParam(0, TEV_LOG_FILE, tmp.file("trace.log").c_str()), 0);
    }
    void TearDown() override {
        tevAbort(0);
        tevRelease();
        tevIntegerParam(0, TEV_STEP_DELAY, 25);
        tevIntegerParam(0, TEV_RESPONSE_TIMEOUT, 25000);
        tevIntegerParam(0, TEV_READ_TIMEOUT, 25000);
        tevIntegerParam(0, TEV_CONNECT_TIMEOUT, 60000);
        tevIntegerParam(0, TEV_POLL_SLEEP, 100);
    }
    tev::SessionRecord &rec() { return *tev::channelTable[0].record; }
    std::string log() { return readWholeFile(tmp.file("trace.log")); }
    std::string errorText(int32_t code) {
        char buffer[256];
        tevErrorText(0, code, buffer, sizeof buffer);
        return buffer;
    }
    std::string tlsDescription() {
        char buffer[128];
        tevDebug(0, TEV_DEBUG_TLS, buffer, sizeof buffer);
        return buffer;
    }
    void useTls(RealServers &servers, int32_t mode) {
        tevIntegerParam(0, TEV_TLS_MODE, mode);
        tevStringParam(0, TEV_TLS_CA_FILE, servers.caFile().c_str());
    }
    void smtpCredentials(RealServers &servers) {
        tevStringParam(0, TEV_AUTH_USER, servers.user().c_str());
        tevStringParam(0, TEV_AUTH_PASSWORD, servers.password().c_str());
    }
    // Drives a connect with autoCall off; once the EHLO reply over TLS is read, the mechanism's first state is
    // taken instead of the preferred one (the server offers all three).
    int32_t connectDriven(int32_t mechanismState) {
        tevIntegerParam(0, TEV_AUTO_CALL, 0);
        int32_t r = tevSmtpConnect(0, "127.0.0.1", "Ann <ann@example.com>", nullptr);
        const uint32_t start = tev::platform::tick();
        bool chosen = false;
        while (r >= 0 && (r = tevDriver(0)) > 0 && tev::platform::tickDiff(tev::platform::tick(), start) < 10000) {
            if (!chosen && rec().tlsActive && rec().prevState == 203 && r == 150) {
                rec().nextState = mechanismState;
                chosen = true;
            }
        }
        tevIntegerParam(0, TEV_AUTO_CALL, 1);
        EXPECT_TRUE(chosen) << log();
        return r;
    }
    // The judge's lines for the one message the SMTP server received; decoded parts land in tmp/parts.
    std::string judgeReceived(RealServers &servers) {
        std::vector<std::string> messages = servers.receivedMessages();
        EXPECT_EQ(messages.size(), 1u);
        if (messages.size() != 1) return "";
        const std::string path = tmp.file("message.eml");
        EXPECT_TRUE(tevtest::writeWholeFile(path, messages[0]));
        const std::string parts = tmp.file("parts");
        EXPECT_EQ(mkdir(parts.c_str(), 0700), 0);
        std::string output;
        const std::string judge = std::string(TEV_SOURCE_DIR) + "/tests/real/judge_message.py";
        EXPECT_EQ(tevtest::runCommand({"/usr/bin/python3", judge, path, parts}, 30000, &output), 0) << output;
        return output;
    }
};

TEST_F(RealTls, StarttlsRequiredEachMechanismAuthenticatesOverTls) {
    TEV_USE_TLS_SERVERS(servers);
    for (int32_t mechanism : {150, 160, 170}) {
        SCOPED_TRACE(mechanism);
        tevIntegerParam(0, TEV_SMTP_PORT, servers.smtpPort("starttls"));
        useTls(servers, 1);
        smtpCredentials(servers);
        ASSERT_EQ(connectDriven(mechanism), 0) << log();
        EXPECT_EQ(tevStatistics(0, TEV_STAT_TLS), 1);
        EXPECT_TRUE(contains(tlsDescription(), "TLSv1.3 ")) << tlsDescription();
        const std::string trace = log();
        // The second EHLO goes out over TLS, and the AUTH follows it; the trace keeps the plaintext.
        const size_t tlsLine = trace.find("TLS: TLSv1.3 ");
        ASSERT_NE(tlsLine, std::string::npos) << trace;
        EXPECT_LT(trace.find("S: STARTTLS\r\n"), tlsLine);
        EXPECT_GT(trace.find("S: AUTH "), tlsLine);
        EXPECT_GT(trace.rfind("S: EHLO example.com\r\n"), tlsLine);
        EXPECT_TRUE(contains(trace, "ok\r\n")) << trace;
        EXPECT_EQ(tevClose(0), 0);
        tevStringParam(0, TEV_LOG_FILE, tmp.file("trace.log").c_str());
    }
}

TEST_F(RealTls, AMebibyteAttachmentOverStarttlsAndImplicitTls) {
    TEV_USE_TLS_SERVERS(servers);
    const std::string bytes = noise(1 << 20, 7);
    const std::string path = tmp.file("big.bin");
    ASSERT_TRUE(tevtest::writeWholeFile(path, bytes));
    for (const char *port : {"starttls", "implicit"}) {
        SCOPED_TRACE(port);
        servers.clearMessages();
        tevIntegerParam(0, TEV_SMTP_PORT, servers.smtpPort(port));
        useTls(servers, std::string(port) == "implicit" ? 2 : 1);
        smtpCredentials(servers);
        ASSERT_EQ(tevSmtpConnect(0, "127.0.0.1", "Ann <ann@example.com>", nullptr), 0) << log();
        ASSERT_EQ(tevStatistics(0, TEV_STAT_TLS), 1);
        ASSERT_EQ(tevSendEmail(0, "<tevuser@tev.test>", nullptr, nullptr, "Over TLS", "One big file.", path.c_str()),
                  0)
            << log();
        EXPECT_EQ(tevClose(0), 0);
        const std::vector<std::string> envelopes = servers.receivedEnvelopes();
        ASSERT_EQ(envelopes.size(), 1u);
        EXPECT_TRUE(contains(envelopes[0], "AUTH tevuser\n")) << envelopes[0];
        const std::string judged = judgeReceived(servers);
        EXPECT_TRUE(contains(judged, "NODE 1 multipart/mixed\nNODE 1.1 text/plain\nTEXT 1.1 \"One big file.\\r\\n"
                                     "\\r\\n\"\nNODE 1.2 application/octet-stream disposition=attachment "
                                     "filename=\"big.bin\"\nFILE 1.2 1048576\n"))
            << judged;
        EXPECT_FALSE(contains(judged, "DEFECT")) << judged;
        EXPECT_TRUE(readWholeFile(tmp.file("parts/1.2.bin")) == bytes);
        ASSERT_EQ(std::system(("rm -rf " + tmp.file("parts")).c_str()), 0);
    }
}

TEST_F(RealTls, CertificatesThatMustFailAndConnectWithoutVerification) {
    TEV_USE_TLS_SERVERS(servers);
    const struct {
        const char *port;
        const char *reason;
    } kCases[] = {{"wronghost", "Server certificate not trusted. IP address mismatch"},
                  {"expired", "Server certificate not trusted. certificate has expired"},
                  {"unknownca", "Server certificate not trusted. unable to get local issuer certificate"}};
    for (const auto &c : kCases) {
        SCOPED_TRACE(c.port);
        tevIntegerParam(0, TEV_SMTP_PORT, servers.smtpPort(c.port));
        useTls(servers, 2);
        smtpCredentials(servers);
        tevIntegerParam(0, TEV_TLS_VERIFY, 1);
        ASSERT_GT(tevStringParam(0, TEV_LOG_FILE, tmp.file("trace.log").c_str()), 0);
        EXPECT_EQ(tevSmtpConnect(0, "127.0.0.1", "<ann@example.com>", nullptr), TEV_E_TLS_NOT_TRUSTED) << log();
        EXPECT_EQ(errorText(TEV_E_TLS_NOT_TRUSTED), c.reason);
        EXPECT_EQ(rec().socket, 0);
        EXPECT_FALSE(contains(log(), "\nS: ")) << log();

        tevIntegerParam(0, TEV_TLS_VERIFY, 0);
        EXPECT_EQ(tevSmtpConnect(0, "127.0.0.1", "<ann@example.com>", nullptr), 0) << log();
        EXPECT_EQ(tevStatistics(0, TEV_STAT_TLS), 1);
        EXPECT_TRUE(contains(log(), "TLS: server certificate not verified\r\n")) << log();
        EXPECT_EQ(tevClose(0), 0);
    }
    // A name is checked as a name.
    tevIntegerParam(0, TEV_SMTP_PORT, servers.smtpPort("wronghost"));
    tevIntegerParam(0, TEV_TLS_VERIFY, 1);
    EXPECT_EQ(tevSmtpConnect(0, "localhost", "<ann@example.com>", nullptr), TEV_E_TLS_NOT_TRUSTED);
    EXPECT_EQ(errorText(TEV_E_TLS_NOT_TRUSTED), "Server certificate not trusted. hostname mismatch");
    // Without the CA file the system store is used, which does not know the test CA.
    tevIntegerParam(0, TEV_SMTP_PORT, servers.smtpPort("implicit"));
    tevIntegerParam(0, TEV_TLS_VERIFY, 1);
    tevStringParam(0, TEV_TLS_CA_FILE, "");
    EXPECT_EQ(tevSmtpConnect(0, "127.0.0.1", "<ann@example.com>", nullptr), TEV_E_TLS_NOT_TRUSTED);
    // A server that speaks only TLS 1.1 is refused.
    tevStringParam(0, TEV_TLS_CA_FILE, servers.caFile().c_str());
    tevIntegerParam(0, TEV_SMTP_PORT, servers.smtpPort("tls11"));
    EXPECT_EQ(tevSmtpConnect(0, "127.0.0.1", "<ann@example.com>", nullptr), TEV_E_TLS_HANDSHAKE);
    // The host name is checked against the name given: "localhost" is in the good certificate.
    tevIntegerParam(0, TEV_SMTP_PORT, servers.smtpPort("implicit"));
    EXPECT_EQ(tevSmtpConnect(0, "localhost", "<ann@example.com>", nullptr), 0) << log();
    EXPECT_EQ(tevClose(0), 0);
}

TEST_F(RealTls, Pop3StlsAndImplicitWithUserPassAndApop) {
    TEV_USE_TLS_SERVERS(servers);
    for (int autoCall : {1, 0}) {
        for (int32_t mode : {1, 2}) {
            for (int apop : {0, 1}) {
                SCOPED_TRACE(std::to_string(autoCall) + " " + std::to_string(mode) + " " + std::to_string(apop));
                tevIntegerParam(0, TEV_POP3_PORT, mode == 2 ? servers.pop3sPort() : servers.pop3Port());
                useTls(servers, mode);
                tevIntegerParam(0, TEV_USE_APOP, apop);
                tevIntegerParam(0, TEV_AUTO_CALL, autoCall);
                int32_t rc = tevPop3Connect(0, "127.0.0.1", servers.user().c_str(), servers.password().c_str());
                const uint32_t start = tev::platform::tick();
                if (!autoCall && rc == 0) {
                    do {
                        rc = tevDriver(0);
                    } while (rc > 0 && tev::platform::tickDiff(tev::platform::tick(), start) < 10000);
                }
                EXPECT_EQ(rc, 0) << log();
                EXPECT_EQ(tevStatistics(0, TEV_STAT_TLS), 1);
                tevIntegerParam(0, TEV_AUTO_CALL, 1);
                EXPECT_GE(tevGetEmailCount(0), 0) << log();
                EXPECT_EQ(tevClose(0), 0);
            }
        }
    }
    const std::string trace = log();
    EXPECT_TRUE(contains(trace, "S: CAPA\r\n")) << trace;
    EXPECT_TRUE(contains(trace, "S: STLS\r\n")) << trace;
    EXPECT_TRUE(contains(trace, "S: PASS " + servers.password() + "\r\n")) << trace;
    EXPECT_TRUE(contains(trace, "S: APOP tevuser ")) << trace;
}

TEST_F(RealTls, AMebibyteMessageFetchedOverStlsDecodesByteForByte) {
    TEV_USE_TLS_SERVERS(servers);
    servers.clearMessages();
    for (const char *dir : {"out", "in", "att"}) ASSERT_EQ(mkdir(tmp.file(dir).c_str(), 0700), 0);
    const std::string bytes = noise(1 << 20, 11);
    const std::string path = tmp.file("out/big.bin");
    ASSERT_TRUE(tevtest::writeWholeFile(path, bytes));
    tevIntegerParam(0, TEV_SMTP_PORT, servers.smtpPort("implicit"));
    useTls(servers, 2);
    smtpCredentials(servers);
    ASSERT_EQ(tevSmtpConnect(0, "127.0.0.1", "Ann <ann@example.com>", nullptr), 0) << log();
    ASSERT_EQ(tevSendEmail(0, "<tevuser@tev.test>", nullptr, nullptr, "Fetch", "Big.", path.c_str()), 0) << log();
    ASSERT_EQ(tevClose(0), 0);

    for (int32_t mode : {1, 2}) {
        SCOPED_TRACE(mode);
        tevIntegerParam(0, TEV_POP3_PORT, mode == 2 ? servers.pop3sPort() : servers.pop3Port());
        useTls(servers, mode);
        ASSERT_EQ(tevPop3Connect(0, "127.0.0.1", servers.user().c_str(), servers.password().c_str()), 0) << log();
        ASSERT_EQ(tevGetEmailCount(0), 1);
        ASSERT_EQ(tevGetEmailFile(0, 1, "message.txt", tmp.file("in").c_str(), tmp.file("att").c_str()), 0) << log();
        EXPECT_TRUE(readWholeFile(tmp.file("att/big.bin")) == bytes);
        EXPECT_EQ(tevClose(0), 0);
        ASSERT_EQ(std::remove(tmp.file("att/big.bin").c_str()), 0);
    }
}

}  // namespace
