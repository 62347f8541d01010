// TLS sessions of the platform layer against the TLS fixtures (aiosmtpd with implicit TLS, Dovecot's pop3s) on
// loopback, over the library's own blocking sockets: verification with the test CA (IP literals of both families
// and DNS names), each kind of untrusted certificate with its reason, verification off, the TLS 1.2 floor, reads
// byte by byte with the session's pending count, a large write checked byte for byte by the server, orderly close
// and no SIGPIPE, failures of the socket and of the peer.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "support/real_servers.h"
#include "support/scripted_server.h"

using namespace tev::platform;

namespace {

constexpr uint32_t kLoopback = 0x7F000001u;
constexpr int kLimitMs = 5000;
const char kSmtpGreeting[] = "220 mail.tev.test TEV test server\r\n";

// The TLS servers, in a build with TLS.
#define USE_TLS_SERVERS(name)                                         \
    if (tlsAvailable() == 0) GTEST_SKIP() << "built without TLS";    \
    TEV_USE_TLS_SERVERS(name)

bool waitSocket(int fd, int32_t wants, int ms) {
    pollfd entry{fd, static_cast<short>(wants == kTlsWantWrite ? POLLOUT : POLLIN), 0};
    return poll(&entry, 1, ms) == 1;
}

// A library socket connected to 127.0.0.1:port (blocking, as the library leaves it after the connect).
int32_t connectLoopback(uint16_t port) {
    const int32_t sock = createSocket();
    if (sock < 0) return sock;
    const int32_t rc = connectTo(sock, kLoopback, port, kLimitMs);
    if (rc != 1) {
        closeSocket(sock);
        return rc;
    }
    setSendTimeout(sock, kLimitMs);
    return sock;
}

// One TLS connection: the socket and its session, both closed at the end.
struct Client {
    ~Client() {
        tlsClose(session);
        if (sock > 0) closeSocket(sock);
    }

    // Connects and starts a session; false (with why) when either fails.
    bool open(uint16_t port, const char *name, bool verify, const std::string &caFile) {
        sock = connectLoopback(port);
        if (sock <= 0) {
            why = "connect failed: " + std::to_string(sock);
            return false;
        }
        return start(name, verify, caFile);
    }
    bool start(const char *name, bool verify, const std::string &caFile) {
        char reason[256];
        const int32_t rc = tlsStart(sock, name, verify, caFile.c_str(), &session, reason, sizeof reason);
        why = reason;
        return rc == kTlsDone && session != nullptr;
    }

    // Runs the handshake to its end, waiting for the socket as it asks; its last result.
    int32_t handshake() {
        for (int round = 0; round < 1000; ++round) {
            const int32_t rc = tlsHandshakeStep(session);
            if (rc != kTlsAgain) {
                char reason[256];
                tlsLastError(session, reason, sizeof reason);
                why = reason;
                return rc;
            }
            if (!waitSocket(sock, tlsWants(session), kLimitMs)) return kTlsAgain;
        }
        return kTlsAgain;
    }

    // Reads at most `length` bytes, waiting (bounded) while no whole record is there; as tlsRead.
    int32_t read(char *buffer, int32_t length) {
        for (int round = 0; round < 1000; ++round) {
            const int32_t got = tlsRead(session, buffer, length);
            if (got != kTlsWouldBlock) return got;
            if (!waitSocket(sock, tlsWants(session), kLimitMs)) return kTlsWouldBlock;
        }
        return kTlsWouldBlock;
    }

    // Reads up to and including the next LF, `chunk` bytes per read; empty at a close or failure.
    std::string readLine(int32_t chunk = 1) {
        std::string line;
        char buffer[512];
        while (line.empty() || line.back() != '\n') {
            const int32_t got = read(buffer, chunk < 512 ? chunk : 512);
            if (got <= 0) return std::string();
            line.append(buffer, static_cast<size_t>(got));
        }
        return line;
    }

    // An SMTP reply, all its lines; empty at a close or failure.
    std::string readReply() {
        std::string reply;
        for (;;) {
            std::string line = readLine(64);
            if (line.empty()) return std::string();
            reply += line;
            if (line.size() < 4 || line[3] != '-') return reply;
        }
    }

    bool send(const std::string &bytes) {
        return tlsWrite(session, bytes.data(), static_cast<int32_t>(bytes.size()), kLimitMs) ==
               static_cast<int32_t>(bytes.size());
    }

    std::string describe() const {
        char text[128];
        tlsDescribe(session, text, sizeof text);
        return text;
    }

    int32_t sock = 0;
    TlsSession *session = nullptr;
    std::string why;
};

TEST(TlsSession, ABuildWithoutTlsSaysSo) {
    if (tlsAvailable() == 1) GTEST_SKIP() << "built with TLS";
    TlsSession *session = nullptr;
    char reason[64];
    EXPECT_EQ(tlsStart(3, "localhost", true, nullptr, &session, reason, sizeof reason), kTlsUnavailable);
    EXPECT_EQ(session, nullptr);
    EXPECT_STREQ(reason, "TLS not available in this build");
    EXPECT_EQ(tlsHandshakeStep(nullptr), kTlsFailed);
}

TEST(TlsSession, VerifiesTheGoodCertificateByAddressOrName) {
    USE_TLS_SERVERS(servers);
    // The certificate names IP:127.0.0.1, IP:::1 and DNS:localhost; an IPv6 literal is checked as an address
    // with or without its brackets.
    for (const char *name : {"127.0.0.1", "localhost", "::1", "[::1]"}) {
        SCOPED_TRACE(name);
        Client client;
        ASSERT_TRUE(client.open(servers.smtpPort("implicit"), name, true, servers.caFile())) << client.why;
        EXPECT_EQ(client.describe(), "");
        ASSERT_EQ(client.handshake(), kTlsDone) << client.why;
        EXPECT_EQ(client.describe().rfind("TLSv1.3 TLS_", 0), 0u) << client.describe();
        EXPECT_EQ(client.readLine(), kSmtpGreeting);
        ASSERT_TRUE(client.send("QUIT\r\n"));
        EXPECT_EQ(client.readLine(), "221 Bye\r\n");
    }
}

TEST(TlsSession, VerifiesOverIPv6) {
    USE_TLS_SERVERS(servers);
    if (!servers.ipv6()) GTEST_SKIP() << "no ::1 on this machine";
    const int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 3);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    address.sin6_port = htons(servers.smtpPort("implicit6"));
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    Client client;
    client.sock = fd;
    ASSERT_TRUE(client.start("::1", true, servers.caFile())) << client.why;
    ASSERT_EQ(client.handshake(), kTlsDone) << client.why;
    EXPECT_EQ(client.readLine(), kSmtpGreeting);
}

struct Untrusted {
    const char *port;
    const char *name;
    bool caFile;
    const char *reason;
};

TEST(TlsSession, RefusesUntrustedCertificatesWithTheirReason) {
    USE_TLS_SERVERS(servers);
    const Untrusted cases[] = {
        {"wronghost", "localhost", true, "hostname mismatch"},
        {"wronghost", "127.0.0.1", true, "IP address mismatch"},
        {"implicit", "mail.tev.test", true, "hostname mismatch"},
        {"implicit", "127.0.0.2", true, "IP address mismatch"},
        {"implicit", "::2", true, "IP address mismatch"},
        {"expired", "127.0.0.1", true, "certificate has expired"},
        {"unknownca", "127.0.0.1", true, "unable to get local issuer certificate"},
        // The system store knows nothing of the test CA.
        {"implicit", "127.0.0.1", false, "unable to get local issuer certificate"},
    };
    for (const Untrusted &c : cases) {
        SCOPED_TRACE(std::string(c.port) + " as " + c.name);
        Client client;
        ASSERT_TRUE(client.open(servers.smtpPort(c.port), c.name, true, c.caFile ? servers.caFile() : ""))
            << client.why;
        EXPECT_EQ(client.handshake(), kTlsNotTrusted);
        EXPECT_EQ(client.why, c.reason);
        // A failed session reads, writes and holds nothing.
        char byte = 0;
        EXPECT_EQ(tlsRead(client.session, &byte, 1), kTlsFailed);
        EXPECT_EQ(tlsWrite(client.session, "x", 1, 100), kTlsFailed);
        EXPECT_EQ(tlsPending(client.session), 0);
        EXPECT_EQ(client.describe(), "");
    }
}

TEST(TlsSession, WithoutVerificationAcceptsAnyCertificate) {
    USE_TLS_SERVERS(servers);
    for (const char *port : {"wronghost", "expired", "unknownca"}) {
        SCOPED_TRACE(port);
        Client client;
        ASSERT_TRUE(client.open(servers.smtpPort(port), "mail.example.org", false, "")) << client.why;
        ASSERT_EQ(client.handshake(), kTlsDone) << client.why;
        EXPECT_EQ(client.readLine(), kSmtpGreeting);
    }
}

TEST(TlsSession, NeedsTls12OrNewer) {
    USE_TLS_SERVERS(servers);
    Client old;
    ASSERT_TRUE(old.open(servers.smtpPort("tls11"), "127.0.0.1", true, servers.caFile())) << old.why;
    // The server gives up on a hello without TLS 1.1 (it closes without an alert).
    EXPECT_EQ(old.handshake(), kTlsFailed);
    EXPECT_FALSE(old.why.empty());

    Client tls12;
    ASSERT_TRUE(tls12.open(servers.smtpPort("tls12"), "127.0.0.1", true, servers.caFile())) << tls12.why;
    ASSERT_EQ(tls12.handshake(), kTlsDone) << tls12.why;
    EXPECT_EQ(tls12.describe().rfind("TLSv1.2 ", 0), 0u) << tls12.describe();
    EXPECT_EQ(tls12.readLine(), kSmtpGreeting);
}

TEST(TlsSession, StartRefusesWhatCannotWork) {
    USE_TLS_SERVERS(servers);
    Client client;
    client.sock = connectLoopback(servers.smtpPort("implicit"));
    ASSERT_GT(client.sock, 0);
    char reason[256] = "old";
    TlsSession *session = reinterpret_cast<TlsSession *>(&client);
    EXPECT_EQ(tlsStart(client.sock, "127.0.0.1", true, "/nonexistent/ca.pem", &session, reason, sizeof reason),
              kTlsFailed);
    EXPECT_EQ(session, nullptr);
    EXPECT_EQ(std::string(reason).rfind("cannot load the CA file: ", 0), 0u) << reason;
    EXPECT_EQ(tlsStart(client.sock, "", false, nullptr, &session, reason, sizeof reason), kTlsFailed);
    EXPECT_STREQ(reason, "no usable server name");
    EXPECT_EQ(tlsStart(0, "localhost", false, nullptr, &session, reason, sizeof reason), kTlsFailed);
    EXPECT_EQ(session, nullptr);
    // A reason is cut to the room given.
    EXPECT_EQ(tlsStart(client.sock, "[]", false, nullptr, &session, reason, 5), kTlsFailed);
    EXPECT_STREQ(reason, "no u");
    tlsClose(nullptr);
}

TEST(TlsSession, ReadsByteByByteFromWhatOneRecordHolds) {
    USE_TLS_SERVERS(servers);
    Client client;
    ASSERT_TRUE(client.open(servers.pop3sPort(), "127.0.0.1", true, servers.caFile())) << client.why;
    ASSERT_EQ(client.handshake(), kTlsDone) << client.why;

    // The greeting arrives in one record: after its first byte the rest waits inside the session, where the
    // socket's readiness cannot see it.
    char byte = 0;
    ASSERT_EQ(client.read(&byte, 1), 1);
    EXPECT_EQ(byte, '+');
    const int32_t rest = tlsPending(client.session);
    ASSERT_GT(rest, 10);
    std::string greeting(1, byte);
    for (int32_t i = 0; i < rest; ++i) {
        ASSERT_EQ(tlsRead(client.session, &byte, 1), 1);
        greeting += byte;
        EXPECT_EQ(tlsPending(client.session), rest - i - 1);
    }
    EXPECT_EQ(greeting.rfind("+OK Dovecot (Debian) ready. <", 0), 0u) << greeting;
    EXPECT_EQ(greeting.substr(greeting.size() - 3), ">\r\n");

    // Dovecot writes the whole CAPA answer at once: several lines decrypted by one read.
    ASSERT_TRUE(client.send("CAPA\r\n"));
    char head[4];
    ASSERT_EQ(client.read(head, 4), 4);
    EXPECT_EQ(std::string(head, 4), "+OK\r");
    std::string capabilities;
    char buffer[64];
    while (tlsPending(client.session) > 0) {
        const int32_t got = tlsRead(client.session, buffer, sizeof buffer);
        ASSERT_GT(got, 0);
        capabilities.append(buffer, static_cast<size_t>(got));
    }
    EXPECT_EQ(capabilities.substr(0, 1), "\n");
    EXPECT_NE(capabilities.find("\r\nUSER\r\n"), std::string::npos) << capabilities;
    EXPECT_EQ(capabilities.substr(capabilities.size() - 3), ".\r\n") << capabilities;

    ASSERT_TRUE(client.send("QUIT\r\n"));
    EXPECT_EQ(client.readLine(64), "+OK Logging out\r\n");
    EXPECT_EQ(client.read(buffer, sizeof buffer), 0);  // an orderly close
}

TEST(TlsSession, SendsALargeMessageInOneWrite) {
    USE_TLS_SERVERS(servers);
    Client client;
    ASSERT_TRUE(client.open(servers.smtpPort("implicit"), "localhost", true, servers.caFile())) << client.why;
    ASSERT_EQ(client.handshake(), kTlsDone) << client.why;
    ASSERT_EQ(client.readReply(), kSmtpGreeting);
    ASSERT_TRUE(client.send("EHLO client.tev.test\r\n"));
    ASSERT_EQ(client.readReply().substr(0, 4), "250-");
    ASSERT_TRUE(client.send("MAIL FROM:<a@tev.test>\r\n"));
    ASSERT_EQ(client.readReply().substr(0, 3), "250");
    ASSERT_TRUE(client.send("RCPT TO:<b@tev.test>\r\n"));
    ASSERT_EQ(client.readReply().substr(0, 3), "250");
    ASSERT_TRUE(client.send("DATA\r\n"));
    ASSERT_EQ(client.readReply().substr(0, 3), "354");

    // About 3 MB: far more than the socket buffers hold, so the write waits for the server many times.
    std::string message = "Subject: large\r\n\r\n";
    for (int i = 0; message.size() < 3000000; ++i) {
        message += "line " + std::to_string(i) + " " + std::string(static_cast<size_t>(i % 200), 'a' + i % 26) +
                   "\r\n";
    }
    ASSERT_TRUE(client.send(message + ".\r\n"));
    const std::string reply = client.readReply();
    EXPECT_EQ(reply, "250 2.0.0 Message accepted for delivery\r\n");
    ASSERT_FALSE(servers.receivedMessages().empty());
    EXPECT_TRUE(servers.receivedMessages().back() == message) << "the server received other bytes";
    servers.clearMessages();
}

TEST(TlsSession, BytesWrittenWithMoreWaitForTheNextWriteWithoutIt) {
    USE_TLS_SERVERS(servers);
    servers.clearMessages();
    Client client;
    ASSERT_TRUE(client.open(servers.smtpPort("implicit"), "localhost", true, servers.caFile())) << client.why;
    ASSERT_EQ(client.handshake(), kTlsDone) << client.why;
    ASSERT_EQ(client.readReply(), kSmtpGreeting);
    ASSERT_TRUE(client.send("EHLO client.tev.test\r\n"));
    ASSERT_EQ(client.readReply().substr(0, 4), "250-");
    auto held = [&client](const std::string &bytes) {
        return tlsWrite(client.session, bytes.data(), static_cast<int32_t>(bytes.size()), kLimitMs, true) ==
               static_cast<int32_t>(bytes.size());
    };

    // Held: the server sees no command, so nothing comes back.
    ASSERT_TRUE(held("MAIL FROM:<a@tev.test>\r\n"));
    EXPECT_FALSE(waitSocket(client.sock, kTlsWantRead, 200));
    // The next plain write sends both, in order.
    ASSERT_TRUE(client.send("RCPT TO:<b@tev.test>\r\n"));
    EXPECT_EQ(client.readReply().substr(0, 3), "250");
    EXPECT_EQ(client.readReply().substr(0, 3), "250");
    ASSERT_TRUE(client.send("DATA\r\n"));
    ASSERT_EQ(client.readReply().substr(0, 3), "354");

    // Lines of every length up to 999 bytes, about 200 KB in all: the held bytes fill up many times over.
    std::string message = "Subject: held\r\n\r\n";
    ASSERT_TRUE(held(message));
    for (int i = 0; message.size() < 200000; ++i) {
        const std::string line = std::to_string(i) + std::string(static_cast<size_t>(i * 37 % 990), 'a' + i % 26) +
                                 "\r\n";
        ASSERT_TRUE(held(line));
        message += line;
    }
    ASSERT_TRUE(held(".\r\n"));
    EXPECT_FALSE(waitSocket(client.sock, kTlsWantRead, 200));  // the end of data is still held
    EXPECT_EQ(tlsWrite(client.session, "", 0, kLimitMs), 0);   // an empty plain write sends it
    EXPECT_EQ(client.readReply(), "250 2.0.0 Message accepted for delivery\r\n");
    ASSERT_EQ(servers.receivedMessages().size(), 1u);
    EXPECT_TRUE(servers.receivedMessages().back() == message) << "the server received other bytes";
    servers.clearMessages();
}

TEST(TlsSession, ClosedPeerEndsReadsAndWritesWithoutSignal) {
    USE_TLS_SERVERS(servers);
    Client client;
    ASSERT_TRUE(client.open(servers.smtpPort("implicit"), "127.0.0.1", true, servers.caFile())) << client.why;
    ASSERT_EQ(client.handshake(), kTlsDone) << client.why;
    ASSERT_EQ(client.readLine(), kSmtpGreeting);
    ASSERT_TRUE(client.send("QUIT\r\n"));
    EXPECT_EQ(client.readLine(), "221 Bye\r\n");
    char buffer[16];
    EXPECT_EQ(client.read(buffer, sizeof buffer), 0);
    // Writing into the closed connection fails (EPIPE or a reset) instead of raising SIGPIPE.
    const std::string block(65536, 'x');
    int32_t rc = 0;
    for (int i = 0; i < 100 && rc != kTlsFailed; ++i) rc = tlsWrite(client.session, block.data(), 65536, kLimitMs);
    EXPECT_EQ(rc, kTlsFailed);
    char reason[128];
    EXPECT_GT(tlsLastError(client.session, reason, sizeof reason), 0);
}

TEST(TlsSession, HandshakeFailsOnPeerAndSocketFaults) {
    if (tlsAvailable() == 0) GTEST_SKIP() << "built without TLS";
    // A server that speaks plaintext instead of TLS.
    {
        tevtest::ScriptedServer server;
        server.send("220 plain text here, no TLS at all\r\n").silence(300);
        server.start();
        Client client;
        ASSERT_TRUE(client.open(server.port(), "localhost", true, "")) << client.why;
        EXPECT_EQ(client.handshake(), kTlsFailed);
        EXPECT_FALSE(client.why.empty());
    }
    // A server that closes at once.
    {
        tevtest::ScriptedServer server;
        server.close();
        server.start();
        Client client;
        ASSERT_TRUE(client.open(server.port(), "localhost", false, "")) << client.why;
        EXPECT_EQ(client.handshake(), kTlsFailed);
        EXPECT_FALSE(client.why.empty());
    }
    // The session's socket calls count for injected faults.
    for (FaultKind kind : {FaultKind::send, FaultKind::receive}) {
        tevtest::ScriptedServer server;
        server.silence(1000);
        server.start();
        Client client;
        ASSERT_TRUE(client.open(server.port(), "localhost", false, "")) << client.why;
        injectFault(kind, 1);
        EXPECT_EQ(client.handshake(), kTlsFailed);
        injectFault(kind, 0);
        EXPECT_EQ(client.why, "Connection reset by peer");
    }
}

}  // namespace
