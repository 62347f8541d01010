// tevmail end to end: the command-line tool against aiosmtpd and Dovecot on loopback (send with AUTH, list, fetch
// decoded and raw, delete), and its exit statuses and messages when things go wrong (wrong password, unknown host,
// refused port, missing attachment, bad usage).
#include "support/real_servers.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace tevtest {
namespace {

constexpr int kLimitMs = 60000;

const std::string kTevmail = std::string(TEV_BINARY_DIR) + "/tools/tevmail";

struct ToolRun {
    int status;
    std::string output;  // standard output and standard error together
};

// Runs tevmail with the arguments; `password` goes through TEVMAIL_PASSWORD, as a user would keep it out of the
// shell history.
ToolRun tevmail(const std::vector<std::string> &args, const std::string &password = std::string()) {
    std::vector<std::string> argv = {"/usr/bin/env", "-u", "TEVMAIL_PASSWORD"};
    if (!password.empty()) argv.push_back("TEVMAIL_PASSWORD=" + password);
    argv.push_back(kTevmail);
    argv.insert(argv.end(), args.begin(), args.end());
    ToolRun run;
    run.status = runCommand(argv, kLimitMs, &run.output);
    return run;
}

std::string readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

void writeFile(const std::string &path, const std::string &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

bool exists(const std::string &path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0;
}

// A scratch directory, removed with everything in it.
class ScratchDir {
public:
    ScratchDir() {
        char pattern[] = "/tmp/tevmail-test.XXXXXX";
        const char *made = ::mkdtemp(pattern);
        path_ = made != nullptr ? made : "";
    }
    ~ScratchDir() {
        if (!path_.empty()) runCommand({"/bin/rm", "-rf", path_}, 10000, nullptr);
    }
    const std::string &path() const { return path_; }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// A loopback port that refuses connections: bound, never listening.
class RefusingPort {
public:
    RefusingPort() {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
            ::getsockname(fd_, reinterpret_cast<sockaddr *>(&address), &length) == 0) {
            port_ = ntohs(address.sin_port);
        }
    }
    ~RefusingPort() {
        if (fd_ >= 0) ::close(fd_);
    }
    int port() const { return port_; }

private:
    int fd_ = -1;
    int port_ = 0;
};

std::string binaryBytes(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 256) & 0xFF);
    return bytes;
}

class TevmailReal : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(exists(kTevmail)) << kTevmail << " was not built"; }
};

TEST_F(TevmailReal, SendsWithAuthThenListsFetchesAndDeletes) {
    TEV_USE_REAL_SERVERS(servers);
    servers.clearMessages();
    ScratchDir dir;
    const std::string smtp = "127.0.0.1:" + std::to_string(servers.smtpAuthPort());
    const std::string pop3 = "127.0.0.1:" + std::to_string(servers.pop3Port());
    const std::string picture = "GIF89a" + binaryBytes(3000);
    const std::string data = binaryBytes(150000);
    writeFile(dir / "page.html",
              "<html><body><p>Hello <b>reader</b></p><img src=\"cid:message-root.1\"></body></html>\n");
    writeFile(dir / "pic.gif", picture);
    writeFile(dir / "data.bin", data);

    ToolRun send = tevmail({"send", "--server", smtp, "--no-tls", "--user", servers.user(), "--from",
                        "Sender <sender@tev.test>",
                        "--to", "reader@tev.test, Second <second@tev.test>", "--cc", "copy@tev.test", "--bcc",
                        "hidden@tev.test", "--subject", "tevmail round trip", "--header", "X-Test: yes", "--html",
                        "--text-file", dir / "page.html", "--alt-text", "Hello reader (plain)", "--attach",
                        dir / "pic.gif", "--attach", dir / "data.bin|renamed.bin"},
                       servers.password());
    ASSERT_EQ(send.status, 0) << send.output;
    EXPECT_EQ(send.output, "");  // success is quiet

    std::vector<std::string> envelopes = servers.receivedEnvelopes();
    std::vector<std::string> messages = servers.receivedMessages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(envelopes[0],
              "MAIL FROM:<sender@tev.test>\nRCPT TO:<reader@tev.test>\nRCPT TO:<second@tev.test>\n"
              "RCPT TO:<copy@tev.test>\nRCPT TO:<hidden@tev.test>\nAUTH " + servers.user() + "\n");
    const std::string &wire = messages[0];
    EXPECT_NE(wire.find("\r\nTo: <reader@tev.test>, Second <second@tev.test>\r\n"), std::string::npos) << wire;
    EXPECT_NE(wire.find("\r\nSubject: tevmail round trip\r\nX-Test: yes\r\nCC: <copy@tev.test>\r\n"),
              std::string::npos);
    EXPECT_EQ(wire.find("hidden@"), std::string::npos);
    EXPECT_NE(wire.find("Content-Type: multipart/related;type=\"multipart/alternative\";"), std::string::npos);
    EXPECT_NE(wire.find("Content-Type: Image/GIF; name=\"pic.gif\"\r\nContent-ID: <message-root.1>\r\n"),
              std::string::npos);
    EXPECT_NE(wire.find("Content-Disposition: attachment; filename=\"renamed.bin\"\r\n"), std::string::npos);

    ToolRun list =
        tevmail({"list", "--server", pop3, "--no-tls", "--user", servers.user(), "--apop"}, servers.password());
    ASSERT_EQ(list.status, 0) << list.output;
    EXPECT_NE(list.output.find("   1 " + std::string(10 - std::to_string(wire.size()).size(), ' ') +
                               std::to_string(wire.size()) + "  Sender <sender@tev.test>"),
              std::string::npos)
        << list.output;
    EXPECT_NE(list.output.find("  tevmail round trip\n"), std::string::npos) << list.output;

    ToolRun fetch = tevmail({"fetch", "--server", pop3, "--no-tls", "--user", servers.user(), "--password",
                         servers.password(),
                         "--number", "1", "--out", dir / "in", "--attachments", dir / "in/files"});
    ASSERT_EQ(fetch.status, 0) << fetch.output;
    EXPECT_EQ(fetch.output, "message 1: " + (dir / "in/message-1.txt") + "\n  attachment: " +
                                (dir / "in/files/pic.gif") + "\n  attachment: " + (dir / "in/files/renamed.bin") +
                                "\n");
    EXPECT_EQ(readFile(dir / "in/files/pic.gif"), picture);
    EXPECT_EQ(readFile(dir / "in/files/renamed.bin"), data);
    std::string text = readFile(dir / "in/message-1.txt");
    EXPECT_NE(text.find("Hello reader (plain)"), std::string::npos) << text;
    EXPECT_NE(text.find("<p>Hello <b>reader</b></p>"), std::string::npos) << text;

    // --raw: the message exactly as the server received it.
    ToolRun raw = tevmail({"fetch", "--server", pop3, "--no-tls", "--user", servers.user(), "--all", "--raw", "--out",
                           dir / "raw"},
                      servers.password());
    ASSERT_EQ(raw.status, 0) << raw.output;
    EXPECT_EQ(raw.output, "message 1: " + (dir / "raw/message-1.eml") + "\n");
    EXPECT_EQ(readFile(dir / "raw/message-1.eml"), wire);

    ToolRun remove =
        tevmail({"delete", "--server", pop3, "--no-tls", "--user", servers.user(), "--all"}, servers.password());
    ASSERT_EQ(remove.status, 0) << remove.output;
    EXPECT_EQ(remove.output, "deleted 1 message\n");
    ToolRun empty = tevmail({"list", "--server", pop3, "--no-tls", "--user", servers.user()}, servers.password());
    EXPECT_EQ(empty.status, 0) << empty.output;
    EXPECT_EQ(empty.output, "no messages\n");
    ToolRun gone =
        tevmail({"fetch", "--server", pop3, "--no-tls", "--user", servers.user(), "--number", "1"}, servers.password());
    EXPECT_EQ(gone.status, 1);
    EXPECT_EQ(gone.output, "tevmail: there is no message 1 (the mailbox holds 0)\n");
}

TEST_F(TevmailReal, SendsTextFromMemoryStandardInputAndWithoutAuth) {
    TEV_USE_REAL_SERVERS(servers);
    servers.clearMessages();
    ScratchDir dir;
    const std::string plain = "127.0.0.1:" + std::to_string(servers.smtpPlainPort());
    // A text that starts with '@' is still a text, not a file name.
    ToolRun atSign = tevmail({"send", "--server", plain, "--from", "a@tev.test", "--to", "b@tev.test", "--text",
                          "@home: first line\nsecond line"});
    ASSERT_EQ(atSign.status, 0) << atSign.output;
    writeFile(dir / "body.txt", "from standard input\n");
    std::string command = "'" + kTevmail + "' send --server " + plain +
                          " --from a@tev.test --to b@tev.test --subject stdin --text-file - < '" + (dir / "body.txt") +
                          "'";
    ToolRun fromStdin;
    fromStdin.status = runCommand({"/bin/sh", "-c", command}, kLimitMs, &fromStdin.output);
    ASSERT_EQ(fromStdin.status, 0) << fromStdin.output;

    std::vector<std::string> messages = servers.receivedMessages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_NE(messages[0].find("\r\n\r\n@home: first line\r\nsecond line\r\n"), std::string::npos) << messages[0];
    EXPECT_NE(messages[1].find("\r\n\r\nfrom standard input\r\n"), std::string::npos) << messages[1];
    // The plain port offers no AUTH: the envelope shows no login.
    EXPECT_EQ(servers.receivedEnvelopes()[0], "MAIL FROM:<a@tev.test>\nRCPT TO:<b@tev.test>\n");
}

TEST_F(TevmailReal, WrongPasswordsFailWithTheServersReply) {
    TEV_USE_REAL_SERVERS(servers);
    const std::string smtp = "127.0.0.1:" + std::to_string(servers.smtpAuthPort());
    const std::string pop3 = "127.0.0.1:" + std::to_string(servers.pop3Port());

    ToolRun send = tevmail({"send", "--server", smtp, "--no-tls", "--user", servers.user(), "--password", "wrong",
                            "--from",
                        "a@tev.test", "--to", "b@tev.test", "--text", "never sent"});
    EXPECT_EQ(send.status, 1);
    EXPECT_EQ(send.output.rfind("tevmail: connecting to SMTP server " + smtp + ": SMTP returned error. 535", 0), 0u)
        << send.output;
    EXPECT_NE(send.output.find("(-49)\n"), std::string::npos) << send.output;

    for (bool apop : {false, true}) {
        std::vector<std::string> args = {"list",          "--server", pop3,   "--no-tls",
                                         "--user",        servers.user(), "--password", "wrong"};
        if (apop) args.push_back("--apop");
        ToolRun list = tevmail(args);
        EXPECT_EQ(list.status, 1) << list.output;
        EXPECT_EQ(list.output, "tevmail: logging in to POP3 server " + pop3 +
                                   ": POP3 returned error. -ERR [AUTH] Authentication failed. (-63)\n");
    }
}

TEST_F(TevmailReal, ConnectionFailuresNameTheLibraryAndSocketErrors) {
    ToolRun unknown = tevmail({"list", "--server", "no-such-host.invalid", "--user", "u", "--password", "p"});
    EXPECT_EQ(unknown.status, 1);
    EXPECT_EQ(unknown.output.rfind("tevmail: logging in to POP3 server no-such-host.invalid:110: Cannot find "
                                   "SMTP/POP3 server. (-46); ",
                                   0),
              0u)
        << unknown.output;

    RefusingPort refusing;
    ASSERT_NE(refusing.port(), 0);
    const std::string server = "127.0.0.1:" + std::to_string(refusing.port());
    ToolRun refused =
        tevmail({"send", "--server", server, "--from", "a@tev.test", "--to", "b@tev.test", "--text", "x"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.output, "tevmail: connecting to SMTP server " + server +
                                  ": Error attempting to connect. (-36); Connection refused by remote host. "
                                  "(-10061)\n");
}

TEST_F(TevmailReal, LocalProblemsAndUsageErrorsStopBeforeConnecting) {
    // Nothing listens here: a command that got as far as connecting would fail with status 1, not these.
    RefusingPort refusing;
    const std::string server = "127.0.0.1:" + std::to_string(refusing.port());
    ToolRun missing = tevmail({"send", "--server", server, "--from", "a@tev.test", "--to", "b@tev.test", "--text", "x",
                           "--attach", "/nonexistent/report.pdf|Report.pdf"});
    EXPECT_EQ(missing.status, 3);
    EXPECT_EQ(missing.output,
              "tevmail: cannot read the attachment '/nonexistent/report.pdf': No such file or directory\n");

    ToolRun noText = tevmail({"send", "--server", server, "--from", "a@tev.test", "--to", "b@tev.test", "--text-file",
                          "/nonexistent/body.txt"});
    EXPECT_EQ(noText.status, 3);

    struct Case {
        std::vector<std::string> args;
        const char *message;
    };
    const std::vector<Case> cases = {
        {{"send", "--server", server, "--to", "b@tev.test", "--text", "x"}, "--from is required"},
        {{"send", "--server", server, "--from", "a@tev.test", "--to", "b@tev.test"},
         "give the message as exactly one of --text and --text-file"},
        {{"send", "--server", server, "--from", "a@tev.test", "--to", "b@tev.test", "--text", "x", "--alt-text", "y"},
         "--alt-text needs --html"},
        {{"send", "--server", server, "--from", "a@tev.test", "--to", "b@tev.test", "--text", "x", "--header",
          "X-A: 1"},
         "--header needs --subject"},
        {{"send", "--server", server, "--from", "a@tev.test", "--to", "b@tev.test", "--text", "x", "--user", "u"},
         "--user needs a user name and --password (or TEVMAIL_PASSWORD)"},
        {{"send", "--server", "host:0", "--from", "a@tev.test", "--to", "b@tev.test", "--text", "x"},
         "--server wants HOST or HOST:PORT"},
        {{"fetch", "--server", server, "--user", "u", "--password", "p"}, "say which messages: --number N or --all"},
        {{"delete", "--server", server, "--user", "u", "--password", "p", "--number", "0"},
         "--number wants a message number"},
        {{"list", "--server", server, "--user", "u"}, "give --password or set TEVMAIL_PASSWORD"},
        {{"list", "--server", server, "--user", "u", "--password", std::string(65, 'p')},
         "user names and passwords have at most 64 characters"},
        {{"fetch", "--server", server, "--user", "u", "--password", "p", "--all", "--out", std::string(129, 'd')},
         "--out and --attachments take at most 128 characters"},
        {{"list", "--server", server, "--user", "u", "--password", "p", "--bogus"}, "unknown option --bogus"},
        {{"frobnicate"}, "unknown command 'frobnicate'"},
    };
    for (const Case &c : cases) {
        ToolRun run = tevmail(c.args);
        EXPECT_EQ(run.status, 2) << c.message << "\n" << run.output;
        EXPECT_NE(run.output.find(c.message), std::string::npos) << run.output;
    }
}

TEST_F(TevmailReal, APasswordNeverGoesOutInTheClearUnlessNoTlsSaysSo) {
    TEV_USE_REAL_SERVERS(servers);  // neither offers STARTTLS or STLS
    servers.clearMessages();
    ScratchDir dir;
    const std::string smtp = "127.0.0.1:" + std::to_string(servers.smtpAuthPort());
    const std::string pop3 = "127.0.0.1:" + std::to_string(servers.pop3Port());
    ToolRun send = tevmail({"send", "--server", smtp, "--user", servers.user(), "--from", "a@tev.test", "--to",
                            "b@tev.test", "--text", "never sent", "--trace", dir / "send.log"},
                           servers.password());
    EXPECT_EQ(send.status, 1);
    EXPECT_EQ(send.output, "tevmail: connecting to SMTP server " + smtp + ": Server does not offer STARTTLS. (-80)\n");
    ToolRun list = tevmail({"list", "--server", pop3, "--user", servers.user(), "--trace", dir / "list.log"},
                           servers.password());
    EXPECT_EQ(list.status, 1);
    EXPECT_EQ(list.output, "tevmail: logging in to POP3 server " + pop3 + ": Server does not offer STARTTLS. (-80)\n");
    EXPECT_TRUE(servers.receivedMessages().empty());
    const std::string sendLog = readFile(dir / "send.log"), listLog = readFile(dir / "list.log");
    EXPECT_NE(sendLog.find("S: EHLO "), std::string::npos) << sendLog;
    EXPECT_EQ(sendLog.find("S: AUTH"), std::string::npos) << sendLog;
    EXPECT_EQ(sendLog.find("S: MAIL"), std::string::npos) << sendLog;
    EXPECT_EQ(listLog.find("S: USER"), std::string::npos) << listLog;
    EXPECT_EQ(listLog.find("S: PASS"), std::string::npos) << listLog;
}

TEST_F(TevmailReal, SendsListsFetchesAndDeletesOverTls) {
    TEV_USE_TLS_SERVERS(servers);
    servers.clearMessages();
    ScratchDir dir;
    const std::string attachment = binaryBytes(200000);
    writeFile(dir / "data.bin", attachment);
    const std::string starttls = "127.0.0.1:" + std::to_string(servers.smtpPort("starttls"));
    const std::string implicit = "127.0.0.1:" + std::to_string(servers.smtpPort("implicit"));
    const std::string stls = "127.0.0.1:" + std::to_string(servers.pop3Port());
    const std::string pop3s = "127.0.0.1:" + std::to_string(servers.pop3sPort());
    const std::string ca = servers.caFile();

    // With a password STARTTLS is the default; --tls for implicit TLS, with or without AUTH.
    const std::vector<std::vector<std::string>> sends = {
        {"--server", starttls, "--user", servers.user()},
        {"--server", implicit, "--tls", "--user", servers.user()},
        {"--server", implicit, "--tls"},
    };
    for (const auto &how : sends) {
        std::vector<std::string> args = {"send", "--cafile", ca, "--verbose", "--from", "a@tev.test", "--to",
                                         "b@tev.test", "--subject", "over TLS", "--text", "secret text", "--attach",
                                         dir / "data.bin", "--trace", dir / "send.log"};
        args.insert(args.begin() + 1, how.begin(), how.end());
        ToolRun send = tevmail(args, servers.password());
        ASSERT_EQ(send.status, 0) << how[1] << "\n" << send.output << readFile(dir / "send.log");
        EXPECT_NE(send.output.find("\ntevmail: encrypted: TLSv1.3 TLS_"), std::string::npos) << send.output;
    }
    std::vector<std::string> envelopes = servers.receivedEnvelopes();
    ASSERT_EQ(envelopes.size(), 3u);
    EXPECT_EQ(envelopes[0], "MAIL FROM:<a@tev.test>\nRCPT TO:<b@tev.test>\nAUTH " + servers.user() + "\n");
    EXPECT_EQ(envelopes[1], envelopes[0]);
    EXPECT_EQ(envelopes[2], "MAIL FROM:<a@tev.test>\nRCPT TO:<b@tev.test>\n");

    // STLS is the default on the POP3 port; pop3s with --tls; --starttls-if-offered takes STLS when offered.
    ToolRun list = tevmail({"list", "--server", stls, "--cafile", ca, "--user", servers.user(), "--apop", "--verbose"},
                           servers.password());
    ASSERT_EQ(list.status, 0) << list.output;
    EXPECT_NE(list.output.find("tevmail: encrypted: TLSv1.3 TLS_"), std::string::npos) << list.output;
    EXPECT_NE(list.output.find("   3 "), std::string::npos) << list.output;
    ToolRun fetch = tevmail({"fetch", "--server", pop3s, "--tls", "--cafile", ca, "--user", servers.user(),
                             "--number", "2", "--out", dir / "in"},
                            servers.password());
    ASSERT_EQ(fetch.status, 0) << fetch.output;
    EXPECT_EQ(readFile(dir / "in/data.bin"), attachment);
    ToolRun remove = tevmail({"delete", "--server", stls, "--starttls-if-offered", "--cafile", ca, "--user",
                              servers.user(), "--all", "--verbose"},
                             servers.password());
    ASSERT_EQ(remove.status, 0) << remove.output;
    EXPECT_NE(remove.output.find("tevmail: encrypted: TLSv1.3 TLS_"), std::string::npos) << remove.output;
    EXPECT_NE(remove.output.find("deleted 3 messages\n"), std::string::npos) << remove.output;

    // An IPv6 server in brackets with its port.
    if (servers.ipv6()) {
        const std::string six = "[::1]:" + std::to_string(servers.smtpPort("starttls6"));
        ToolRun send = tevmail({"send", "--server", six, "--cafile", ca, "--user", servers.user(), "--from",
                                "a@tev.test", "--to", "b@tev.test", "--text", "over IPv6"},
                               servers.password());
        EXPECT_EQ(send.status, 0) << send.output;
        EXPECT_EQ(servers.receivedMessages().size(), 4u);
    }
    servers.clearMessages();
}

TEST_F(TevmailReal, CertificateFailuresExitOneWithTheReason) {
    TEV_USE_TLS_SERVERS(servers);
    const std::string ca = servers.caFile();
    struct Case {
        const char *port;
        bool withCa;
        const char *reason;
    };
    const Case cases[] = {{"wronghost", true, "IP address mismatch"},
                          {"expired", true, "certificate has expired"},
                          {"unknownca", true, "unable to get local issuer certificate"},
                          {"implicit", false, "unable to get local issuer certificate"}};  // system store only
    for (const Case &c : cases) {
        const std::string server = "127.0.0.1:" + std::to_string(servers.smtpPort(c.port));
        std::vector<std::string> send = {"send", "--server", server, "--tls", "--from", "a@tev.test", "--to",
                                         "b@tev.test", "--text", "x"};
        std::vector<std::string> list = {"list", "--server", server, "--tls", "--user", servers.user()};
        if (c.withCa) {
            for (auto *args : {&send, &list}) args->insert(args->end(), {"--cafile", ca});
        }
        const std::string text = std::string(": Server certificate not trusted. ") + c.reason + " (-82)";
        ToolRun sent = tevmail(send);
        EXPECT_EQ(sent.status, 1) << c.port;
        EXPECT_EQ(sent.output.rfind("tevmail: connecting to SMTP server " + server + text, 0), 0u) << sent.output;
        ToolRun listed = tevmail(list, servers.password());
        EXPECT_EQ(listed.status, 1) << c.port;
        EXPECT_EQ(listed.output.rfind("tevmail: logging in to POP3 server " + server + text, 0), 0u)
            << listed.output;
        // --insecure accepts the certificate (the handshake then goes on to the SMTP greeting).
        send.push_back("--insecure");
        ToolRun accepted = tevmail(send);
        EXPECT_EQ(accepted.status, 0) << c.port << "\n" << accepted.output;
    }
    servers.clearMessages();
}

TEST_F(TevmailReal, HelpVersionAndVerify) {
    for (const char *command : {"send", "list", "fetch", "delete", "verify"}) {
        ToolRun help = tevmail({command, "--help"});
        EXPECT_EQ(help.status, 0);
        EXPECT_EQ(help.output.rfind(std::string("usage: tevmail ") + command, 0), 0u) << help.output;
    }
    ToolRun help = tevmail({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.output.find("TEVMAIL_PASSWORD"), std::string::npos);
    EXPECT_NE(help.output.find("--starttls-if-offered"), std::string::npos);
    EXPECT_NE(tevmail({"send", "--help"}).output.find("  --cafile FILE "), std::string::npos);
    std::string version = tevmail({"--version"}).output;
    EXPECT_TRUE(version == "tevmail 3.4.2 (TEV32 3.4.2 build 18, TLS: yes)\n" ||
                version == "tevmail 3.4.2 (TEV32 3.4.2 build 18, TLS: no)\n")
        << version;

    ToolRun good = tevmail({"verify", "ann@tev.test", "Ann Example <ann.example@mail.tev.test>"});
    EXPECT_EQ(good.status, 0);
    EXPECT_EQ(good.output,
              "<ann@tev.test>: well formed\nAnn Example <ann.example@mail.tev.test>: well formed\n");
    ToolRun bad = tevmail({"verify", "ann@tev.test", "ann+tag@tev.test", "a@b@tev.test", "<nobody>"});
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.output,
              "<ann@tev.test>: well formed\n"
              "<ann+tag@tev.test>: Bad character in email address. (-32)\n"
              "<a@b@tev.test>: Too many '@' symbols in email address. (-53)\n"
              "<nobody>: Missing '@' character in email address. (-39)\n");
}

// list shows what mail from other clients means: the sender and subject of a message in the Maildir with
// encoded words of two charsets, decoded, the sender's column padded in characters.
TEST_F(TevmailReal, ListShowsDecodedSendersAndSubjects) {
    TEV_USE_REAL_SERVERS(servers);
    servers.clearMessages();
    const std::string message =
        "From: =?utf-8?q?J=C3=BCrgen_Gro=C3=9F?= <j@tev.test>\r\nTo: tevuser@tev.test\r\n"
        "Subject: =?UTF-8?B?5pel5pys6Kqe?=\r\n =?ISO-8859-1?Q?_und_Gr=FC=DFe?=\r\n\r\nbody\r\n";
    const std::string path = servers.maildir() + "/new/1700000001.M1P1.tev";
    writeFile(path, message);
    ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
    const std::string pop3 = "127.0.0.1:" + std::to_string(servers.pop3Port());
    ToolRun list = tevmail({"list", "--server", pop3, "--no-tls", "--user", servers.user()}, servers.password());
    ASSERT_EQ(list.status, 0) << list.output;
    const std::string size = std::to_string(message.size());
    EXPECT_EQ(list.output, "   1 " + std::string(10 - size.size(), ' ') + size +
                               "  Jürgen Groß <j@tev.test>" + std::string(8, ' ') + "  日本語 und Grüße\n")
        << list.output;
}

}  // namespace
}  // namespace tevtest
