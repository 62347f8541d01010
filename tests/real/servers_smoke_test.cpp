// Proves the real-server fixtures with plain sockets (not the library): a message sent to aiosmtpd with AUTH is
// stored byte for byte and fetched again from Dovecot; the AUTH mechanisms and APOP work as the library's
// end-to-end tests expect.
#include "support/real_servers.h"

#include "engine/codecs.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

namespace tevtest {
namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string base64(const std::string &bytes) {
    const char *alphabet = kAlphabet;
    std::string out;
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) | (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                     static_cast<unsigned char>(bytes[i + 2]);
        for (int shift : {18, 12, 6, 0}) out += alphabet[(v >> shift) & 63];
    }
    if (i < bytes.size()) {
        unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
        if (i + 1 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += i + 1 < bytes.size() ? alphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::string unbase64(const std::string &text) {
    std::string out;
    unsigned v = 0;
    int bits = 0;
    for (char c : text) {
        const char *p = std::strchr(kAlphabet, c);
        if (c == '\0' || p == nullptr) continue;
        v = ((v << 6) | static_cast<unsigned>(p - kAlphabet)) & 0xFFFFFF;
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((v >> bits) & 0xFF);
        }
    }
    return out;
}

std::string hex(const unsigned char digest[16]) {
    char text[33];
    tev::hexDigest(digest, text);
    return text;
}

// A line-oriented client with a 5 s limit on every read.
class LineClient {
public:
    explicit LineClient(uint16_t port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        timeval tv{5, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(port);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
    }
    ~LineClient() { ::close(fd_); }
    bool connected() const { return connected_; }

    void send(const std::string &bytes) {
        ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
    }
    void sendLine(const std::string &line) { send(line + "\r\n"); }

    // One line with its CR LF; "" when nothing complete came within the limit or the server closed.
    std::string readLine() {
        for (;;) {
            size_t lf = buffer_.find('\n');
            if (lf != std::string::npos) {
                std::string line = buffer_.substr(0, lf + 1);
                buffer_.erase(0, lf + 1);
                return line;
            }
            char chunk[4096];
            ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
            if (n <= 0) return std::string();
            buffer_.append(chunk, static_cast<size_t>(n));
        }
    }
    // A whole SMTP reply (all lines up to the one whose code is followed by a blank).
    std::string readSmtpReply() {
        std::string reply;
        for (;;) {
            std::string line = readLine();
            reply += line;
            if (line.size() < 4 || line[3] == ' ') return reply;
        }
    }
    // The lines of a POP3 multi-line answer up to the end line, un-stuffed, the end line left out.
    std::string readPop3Body() {
        std::string body;
        for (;;) {
            std::string line = readLine();
            if (line.empty() || line == ".\r\n") return body;
            body += line.compare(0, 2, "..") == 0 ? line.substr(1) : line;
        }
    }
    std::string command(const std::string &line) {
        sendLine(line);
        return readSmtpReply();
    }
    std::string pop3(const std::string &line) {
        sendLine(line);
        return readLine();
    }

private:
    int fd_ = -1;
    bool connected_ = false;
    std::string buffer_;
};

std::string uniqueSubject() {
    return "smoke " + std::to_string(::getpid()) + "." +
           std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
}

TEST(RealServersSmoke, SmtpMessageIsStoredExactlyAndFetchedOverPop3) {
    TEV_USE_REAL_SERVERS(servers);
    const std::string subject = uniqueSubject();
    const std::string message = "From: ann@tev.test\r\nTo: bob@tev.test\r\nSubject: " + subject +
                                "\r\n\r\nfirst line\r\n.leading dot\r\n\r\nlast line\r\n";
    {
        LineClient smtp(servers.smtpAuthPort());
        ASSERT_TRUE(smtp.connected());
        EXPECT_EQ(smtp.readSmtpReply().compare(0, 18, "220 mail.tev.test "), 0);
        std::string ehlo = smtp.command("EHLO client.tev.test");
        EXPECT_NE(ehlo.find("250-AUTH CRAM-MD5 LOGIN PLAIN\r\n"), std::string::npos) << ehlo;
        EXPECT_EQ(smtp.command("AUTH PLAIN " + base64(std::string(1, '\0') + servers.user() + '\0' +
                                                      servers.password())),
                  "235 2.7.0 Authentication successful\r\n");
        EXPECT_EQ(smtp.command("MAIL FROM:<ann@tev.test>").substr(0, 4), "250 ");
        EXPECT_EQ(smtp.command("RCPT TO:<bob@tev.test>").substr(0, 4), "250 ");
        EXPECT_EQ(smtp.command("DATA").substr(0, 4), "354 ");
        std::string stuffed = message;
        stuffed.replace(stuffed.find("\r\n.leading"), 3, "\r\n..");
        smtp.send(stuffed + ".\r\n");
        EXPECT_EQ(smtp.readSmtpReply(), "250 2.0.0 Message accepted for delivery\r\n");
        EXPECT_EQ(smtp.command("QUIT").substr(0, 4), "221 ");
    }

    std::vector<std::string> received = servers.receivedMessages();
    ASSERT_FALSE(received.empty());
    EXPECT_EQ(received.back(), message);
    std::vector<std::string> envelopes = servers.receivedEnvelopes();
    ASSERT_EQ(envelopes.size(), received.size());
    EXPECT_EQ(envelopes.back(), "MAIL FROM:<ann@tev.test>\nRCPT TO:<bob@tev.test>\nAUTH " + servers.user() + "\n");

    LineClient pop(servers.pop3Port());
    ASSERT_TRUE(pop.connected());
    EXPECT_EQ(pop.readLine().compare(0, 4, "+OK "), 0);
    EXPECT_EQ(pop.pop3("USER " + servers.user()).substr(0, 3), "+OK");
    EXPECT_EQ(pop.pop3("PASS " + servers.password()), "+OK Logged in.\r\n");
    std::string stat = pop.pop3("STAT");
    unsigned count = 0, octets = 0;
    ASSERT_EQ(std::sscanf(stat.c_str(), "+OK %u %u", &count, &octets), 2) << stat;
    EXPECT_EQ(count, received.size());
    bool found = false;
    for (unsigned i = 1; i <= count && !found; ++i) {
        std::string status = pop.pop3("RETR " + std::to_string(i));
        ASSERT_EQ(status.substr(0, 3), "+OK") << status;
        std::string body = pop.readPop3Body();
        if (body.find("Subject: " + subject + "\r\n") == std::string::npos) continue;
        found = true;
        EXPECT_EQ(body, message);
        EXPECT_EQ(status, "+OK " + std::to_string(message.size()) + " octets\r\n");
    }
    EXPECT_TRUE(found);
    EXPECT_EQ(pop.pop3("QUIT").substr(0, 3), "+OK");
}

TEST(RealServersSmoke, SmtpPortsOfferAuthOnlyWhereTheyShould) {
    TEV_USE_REAL_SERVERS(servers);
    LineClient plain(servers.smtpPlainPort());
    ASSERT_TRUE(plain.connected());
    plain.readSmtpReply();
    std::string ehlo = plain.command("EHLO client.tev.test");
    EXPECT_EQ(ehlo.find("AUTH"), std::string::npos) << ehlo;
    EXPECT_EQ(plain.command("MAIL FROM:<a@tev.test>").substr(0, 4), "250 ");
    EXPECT_EQ(plain.command("QUIT").substr(0, 4), "221 ");
}

TEST(RealServersSmoke, SmtpLoginAndCramMd5) {
    TEV_USE_REAL_SERVERS(servers);
    {
        LineClient smtp(servers.smtpAuthPort());
        smtp.readSmtpReply();
        smtp.command("EHLO client.tev.test");
        EXPECT_EQ(smtp.command("AUTH LOGIN"), "334 VXNlcm5hbWU6\r\n");  // "Username:"
        EXPECT_EQ(smtp.command(base64(servers.user())), "334 UGFzc3dvcmQ6\r\n");  // "Password:"
        EXPECT_EQ(smtp.command(base64(servers.password())), "235 2.7.0 Authentication successful\r\n");
    }
    {
        LineClient smtp(servers.smtpAuthPort());
        smtp.readSmtpReply();
        smtp.command("EHLO client.tev.test");
        std::string challenge = smtp.command("AUTH CRAM-MD5");
        ASSERT_EQ(challenge.substr(0, 4), "334 ");
        std::string decoded = unbase64(challenge.substr(4, challenge.size() - 6));
        EXPECT_EQ(decoded.front(), '<');
        EXPECT_EQ(decoded.back(), '>');
        unsigned char digest[16];
        tev::hmacMd5(decoded.data(), decoded.size(), servers.password().data(), servers.password().size(), digest);
        EXPECT_EQ(smtp.command(base64(servers.user() + " " + hex(digest))),
                  "235 2.7.0 Authentication successful\r\n");
    }
    {
        LineClient smtp(servers.smtpAuthPort());
        smtp.readSmtpReply();
        smtp.command("EHLO client.tev.test");
        EXPECT_EQ(smtp.command("AUTH PLAIN " + base64(std::string(1, '\0') + servers.user() + '\0' + "wrong")),
                  "535 5.7.8 Authentication credentials invalid\r\n");
    }
}

TEST(RealServersSmoke, Pop3ApopLoginAndNoPenaltyAfterAFailure) {
    TEV_USE_REAL_SERVERS(servers);
    auto apop = [&](const std::string &password) {
        LineClient pop(servers.pop3Port());
        std::string greeting = pop.readLine();
        size_t open = greeting.find('<');
        size_t close = greeting.find('>', open);
        if (greeting.compare(0, 28, "+OK Dovecot (Debian) ready. ") != 0 || open == std::string::npos ||
            close == std::string::npos)
            return "bad greeting: " + greeting;
        std::string text = greeting.substr(open, close - open + 1) + password;
        unsigned char digest[16];
        tev::md5(text.data(), text.size(), digest);
        return pop.pop3("APOP " + servers.user() + " " + hex(digest));
    };
    EXPECT_EQ(apop(servers.password()), "+OK Logged in.\r\n");
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(apop("wrong"), "-ERR [AUTH] Authentication failed.\r\n");
    EXPECT_EQ(apop(servers.password()), "+OK Logged in.\r\n");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));

    LineClient pop(servers.pop3Port());
    pop.readLine();
    pop.pop3("USER " + servers.user());
    EXPECT_EQ(pop.pop3("PASS wrong"), "-ERR [AUTH] Authentication failed.\r\n");
}

}  // namespace
}  // namespace tevtest
