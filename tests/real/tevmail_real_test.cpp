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

    ToolRun send = tevmail({"send", "--server", smtp, "--user", servers.user(), "--from", "Sender <sender@tev.test>",
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

    ToolRun list = tevmail({"list", "--server", pop3, "--user", servers.user(), "--apop"}, servers.password());
    ASSERT_EQ(list.status, 0) << list.output;
    EXPECT_NE(list.output.find("   1 " + std::string(10 - std::to_string(wire.size()).size(), ' ') +
                               std::to_string(wire.size()) + "  Sender <sender@tev.test>"),
              std::string::npos)
        << list.output;
    EXPECT_NE(list.output.find("  tevmail round trip\n"), std::string::npos) << list.output;

    ToolRun fetch = tevmail({"fetch", "--server", pop3, "--user", servers.user(), "--password", servers.password(),
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
    ToolRun raw = tevmail({"fetch", "--server", pop3, "--user", servers.user(), "--all", "--raw", "--out", dir / "raw"},
                      servers.password());
    ASSERT_EQ(raw.status, 0) << raw.output;
    EXPECT_EQ(raw.output, "message 1: " + (dir / "raw/message-1.eml") + "\n");
    EXPECT_EQ(readFile(dir / "raw/message-1.eml"), wire);

    ToolRun remove = tevmail({"delete", "--server", pop3, "--user", servers.user(), "--all"}, servers.password());
    ASSERT_EQ(remove.status, 0) << remove.output;
    EXPECT_EQ(remove.output, "deleted 1 message\n");
    ToolRun empty = tevmail({"list", "--server", pop3, "--user", servers.user()}, servers.password());
    EXPECT_EQ(empty.status, 0) << empty.output;
    EXPECT_EQ(empty.output, "no messages\n");
    ToolRun gone = tevmail({"fetch", "--server", pop3, "--user", servers.user(), "--number", "1"}, servers.password());
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

    ToolRun send = tevmail({"send", "--server", smtp, "--user", servers.user(), "--password", "wrong", "--from",
                        "a@tev.test", "--to", "b@tev.test", "--text", "never sent"});
    EXPECT_EQ(send.status, 1);
    EXPECT_EQ(send.output.rfind("tevmail: connecting to SMTP server " + smtp + ": SMTP returned error. 535", 0), 0u)
        << send.output;
    EXPECT_NE(send.output.find("(-49)\n"), std::string::npos) << send.output;

    for (bool apop : {false, true}) {
        std::vector<std::string> args = {"list", "--server", pop3, "--user", servers.user(), "--password", "wrong"};
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

TEST_F(TevmailReal, HelpVersionAndVerify) {
    for (const char *command : {"send", "list", "fetch", "delete", "verify"}) {
        ToolRun help = tevmail({command, "--help"});
        EXPECT_EQ(help.status, 0);
        EXPECT_EQ(help.output.rfind(std::string("usage: tevmail ") + command, 0), 0u) << help.output;
    }
    ToolRun help = tevmail({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.output.find("TEVMAIL_PASSWORD"), std::string::npos);
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

}  // namespace
}  // namespace tevtest
