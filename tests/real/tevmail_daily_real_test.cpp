// tevmail as a daily tool, end to end: address lists as people write them (aiosmtpd), and a refused recipient
// named in the error (a scripted server that refuses the second RCPT TO).
#include "support/real_servers.h"
#include "support/scripted_server.h"
#include "support/temp_home.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>
#include <sstream>
#include <string>
#include <vector>

namespace tevtest {
namespace {

constexpr int kLimitMs = 60000;
const std::string kDailyTevmail = std::string(TEV_BINARY_DIR) + "/tools/tevmail";

struct DailyRun {
    int status;
    std::string output;
};

DailyRun runTevmail(const std::vector<std::string> &args, const std::vector<std::string> &environment = {}) {
    std::vector<std::string> argv = {"/usr/bin/env", "-u", "TEVMAIL_PASSWORD"};
    argv.insert(argv.end(), environment.begin(), environment.end());
    argv.push_back(kDailyTevmail);
    argv.insert(argv.end(), args.begin(), args.end());
    DailyRun run;
    run.status = runCommand(argv, kLimitMs, &run.output);
    return run;
}

TEST(TevmailAddresses, QuotedCommasCommentsAndNamesReachTheServerWhole) {
    TEV_USE_REAL_SERVERS(servers);
    servers.clearMessages();
    const std::string plain = "127.0.0.1:" + std::to_string(servers.smtpPlainPort());
    DailyRun send = runTevmail({"send", "--server", plain, "--from", "Sender <sender@tev.test>", "--to",
                                "\"Doe, John\" <john@tev.test>, k@tev.test (Kay)", "--cc",
                                "Lee (the boss) <lee@tev.test>", "--bcc", "\"Hidden, H\" <hidden@tev.test>",
                                "--subject", "names", "--text", "hello"});
    ASSERT_EQ(send.status, 0) << send.output;
    std::vector<std::string> envelopes = servers.receivedEnvelopes();
    std::vector<std::string> messages = servers.receivedMessages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(envelopes[0], "MAIL FROM:<sender@tev.test>\nRCPT TO:<john@tev.test>\nRCPT TO:<k@tev.test>\n"
                            "RCPT TO:<lee@tev.test>\nRCPT TO:<hidden@tev.test>\n");
    EXPECT_NE(messages[0].find("\r\nTo: =?UTF-8?Q?Doe=2C_John?= <john@tev.test>, Kay <k@tev.test>\r\n"),
              std::string::npos)
        << messages[0];
    EXPECT_NE(messages[0].find("\r\nCC: Lee <lee@tev.test>\r\n"), std::string::npos) << messages[0];
    EXPECT_EQ(messages[0].find("hidden@"), std::string::npos);
}

TEST(TevmailAddresses, GroupsAndBrokenListsStopBeforeConnecting) {
    // Port 1 on loopback: nothing may be tried there; a usage error comes first.
    DailyRun group = runTevmail(
        {"send", "--server", "127.0.0.1:1", "--from", "a@x", "--to", "team: a@x, b@y;", "--text", "x"});
    EXPECT_EQ(group.status, 2);
    EXPECT_EQ(group.output, "tevmail send: --to: 'team: a@x' looks like a group (NAME: addresses;); list the "
                            "addresses instead\nRun 'tevmail send --help' for the options.\n");
    DailyRun quote = runTevmail(
        {"send", "--server", "127.0.0.1:1", "--from", "a@x", "--to", "b@y", "--cc", "\"Doe, John <j@x>", "--text", "x"});
    EXPECT_EQ(quote.status, 2);
    EXPECT_NE(quote.output.find("--cc: unclosed quote '\"' in '\"Doe, John <j@x>'"), std::string::npos)
        << quote.output;
}

TEST(TevmailAddresses, ARefusedRecipientIsNamed) {
    ScriptedServer server;
    server.send("220 scripted\r\n")
        .expectLinePrefix("HELO ")
        .send("250 hi\r\n")
        .expectLine("MAIL FROM:<a@tev.test>")
        .send("250 ok\r\n")
        .expectLine("RCPT TO:<first@tev.test>")
        .send("250 ok\r\n")
        .expectLine("RCPT TO:<gone@tev.test>")
        .send("550 5.1.1 no such mailbox\r\n")
        .waitForClientClose(5000);
    server.start();
    DailyRun send = runTevmail({"send", "--server", "127.0.0.1:" + std::to_string(server.port()), "--timeout", "5",
                                "--from", "a@tev.test", "--to", "\"First, F\" <first@tev.test>", "--cc",
                                "Gone <gone@tev.test>, never@tev.test", "--text", "x"});
    EXPECT_TRUE(server.finish(5000)) << server.error();
    EXPECT_EQ(send.status, 1);
    EXPECT_EQ(send.output.rfind("tevmail: sending the message: the server refused the recipient <gone@tev.test>: ",
                                0),
              0u)
        << send.output;
    EXPECT_NE(send.output.find("(-49)"), std::string::npos) << send.output;
}

// A temporary HOME with its own configuration and state directories, removed afterwards.
class DailyHome : public TempHome {
public:
    DailyHome() : TempHome("tevmail-home") {}
    // The environment of a user with this HOME and no XDG directories of their own.
    std::vector<std::string> environment() const {
        return {"-u", "XDG_CONFIG_HOME", "-u", "XDG_STATE_HOME", "-u", "NETRC", "HOME=" + path_};
    }
    std::vector<std::string> files(const std::string &dir) const {
        std::vector<std::string> names;
        if (DIR *d = ::opendir((path_ + "/" + dir).c_str())) {
            while (dirent *entry = ::readdir(d)) {
                if (entry->d_name[0] != '.') names.push_back(entry->d_name);
            }
            ::closedir(d);
        }
        return names;
    }
};

size_t countOf(const std::string &text, const std::string &what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
    return count;
}

TEST(TevmailAccounts, SendFetchNewAndDeleteAfterFromAConfigFile) {
    TEV_USE_REAL_SERVERS(servers);
    servers.clearMessages();
    DailyHome home;
    const std::string config = "default box\n"
                               "account box\n"
                               "  smtp_server 127.0.0.1\n"
                               "  smtp_port " + std::to_string(servers.smtpAuthPort()) + "\n"
                               "  pop3_server 127.0.0.1:" + std::to_string(servers.pop3Port()) + "\n"
                               "  user " + servers.user() + "\n"
                               "  password " + servers.password() + "\n"
                               "  from Daily <daily@tev.test>\n"
                               "  tls no-tls\n";
    home.writeConfig(config, 0644);
    DailyRun refused = runTevmail({"config", "check"}, home.environment());
    EXPECT_EQ(refused.status, 2);
    EXPECT_NE(refused.output.find("holds a password and others may read it"), std::string::npos) << refused.output;
    home.writeConfig(config, 0600);

    DailyRun check = runTevmail({"config", "check"}, home.environment());
    ASSERT_EQ(check.status, 0) << check.output;
    EXPECT_EQ(check.output.find(servers.password()), std::string::npos) << check.output;
    EXPECT_NE(check.output.find("password: set, from the configuration file\n"), std::string::npos) << check.output;

    auto sendOne = [&](const std::string &subject) {
        DailyRun send = runTevmail({"send", "--to", "reader@tev.test", "--subject", subject, "--text", subject},
                                   home.environment());
        ASSERT_EQ(send.status, 0) << send.output;
    };
    sendOne("first");
    sendOne("second");
    ASSERT_EQ(servers.receivedEnvelopes().size(), 2u);
    EXPECT_EQ(servers.receivedEnvelopes()[0],
              "MAIL FROM:<daily@tev.test>\nRCPT TO:<reader@tev.test>\nAUTH " + servers.user() + "\n");

    const std::string out = home.path() + "/in";
    DailyRun fetch = runTevmail({"fetch", "--new", "--out", out}, home.environment());
    ASSERT_EQ(fetch.status, 0) << fetch.output;
    EXPECT_EQ(countOf(fetch.output, "message "), 2u) << fetch.output;
    EXPECT_EQ(home.files("in").size(), 2u);
    DailyRun again = runTevmail({"fetch", "--new", "--out", out}, home.environment());
    ASSERT_EQ(again.status, 0) << again.output;
    EXPECT_EQ(again.output, "no new messages\n");

    sendOne("third");
    DailyRun third = runTevmail({"fetch", "--new", "--out", out}, home.environment());
    ASSERT_EQ(third.status, 0) << third.output;
    EXPECT_EQ(countOf(third.output, "message 3: "), 1u) << third.output;
    EXPECT_EQ(countOf(third.output, "message "), 1u) << third.output;

    // The record cannot be written (its file is a directory now): the message is saved, the run fails, and the
    // next run fetches it again instead of losing it.
    sendOne("fourth");
    const std::string record = home.path() + "/.local/state/tevmail/uidl/" + servers.user() + "@127.0.0.1%3A" +
                               std::to_string(servers.pop3Port());
    std::string kept;
    {
        std::ifstream in(record, std::ios::binary);
        std::ostringstream bytes;
        bytes << in.rdbuf();
        kept = bytes.str();
    }
    EXPECT_EQ(countOf(kept, "\n"), 4u) << kept;  // the comment line and three UIDLs
    ASSERT_EQ(::rename(record.c_str(), (record + ".kept").c_str()), 0);
    ASSERT_EQ(::mkdir(record.c_str(), 0700), 0);
    ::rename((record + ".kept").c_str(), (record + "/x").c_str());
    DailyRun broken = runTevmail({"fetch", "--new", "--out", out, "--delete-after",
                                  "--config", home.path() + "/.config/tevmail/config"},
                                 home.environment());
    EXPECT_EQ(broken.status, 3) << broken.output;
    EXPECT_NE(broken.output.find("cannot record message"), std::string::npos) << broken.output;
    runCommand({"/bin/rm", "-rf", record}, 10000, nullptr);
    { std::ofstream(record, std::ios::binary) << kept; }

    sendOne("fifth");
    DailyRun rest = runTevmail({"fetch", "--new", "--delete-after", "--out", out}, home.environment());
    ASSERT_EQ(rest.status, 0) << rest.output;
    EXPECT_EQ(countOf(rest.output, "message "), 2u) << rest.output;  // the fourth again, and the fifth

    // Only what was fetched and saved in that run is gone: the first three stay on the server.
    DailyRun list = runTevmail({"list"}, home.environment());
    ASSERT_EQ(list.status, 0) << list.output;
    EXPECT_NE(list.output.find("first"), std::string::npos) << list.output;
    EXPECT_NE(list.output.find("third"), std::string::npos) << list.output;
    EXPECT_EQ(list.output.find("fourth"), std::string::npos) << list.output;
    EXPECT_EQ(list.output.find("fifth"), std::string::npos) << list.output;
    DailyRun none = runTevmail({"fetch", "--new", "--out", out}, home.environment());
    EXPECT_EQ(none.output, "no new messages\n");
}

TEST(TevmailDryRun, PrintsTheEnvelopeAndTheWholeMessageAndConnectsNowhere) {
    // No --server, and a user: nothing is authenticated, nothing leaves the machine.
    DailyRun run = runTevmail({"send", "--dry-run", "--user", "ann", "--password", "pw", "--from", "Ann <a@tev.test>",
                               "--to", "\"Doe, John\" <j@tev.test>", "--bcc", "hidden@tev.test", "--subject", "dry",
                               "--text", "line one\n.\n.dot"});
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(run.output.rfind("MAIL FROM:<a@tev.test>\nRCPT TO:<j@tev.test>\nRCPT TO:<hidden@tev.test>\n\n"
                               "Message-ID: <message-root.",
                               0),
              0u)
        << run.output;
    EXPECT_NE(run.output.find("\nTo: =?UTF-8?Q?Doe=2C_John?= <j@tev.test>\nFrom: Ann <a@tev.test>\nSubject: dry\n"),
              std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("\n\nline one\n.\n.dot\n"), std::string::npos) << run.output;
    EXPECT_EQ(run.output.find("AUTH"), std::string::npos) << run.output;
    EXPECT_EQ(run.output.find("hidden@tev.test>\n", 90), std::string::npos) << run.output;  // Bcc: envelope only
}

std::string fileText(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// The login and the UIDL list of a two-message mailbox, as the scripted POP3 server plays them.
void pop3Opening(ScriptedServer &server) {
    server.send("+OK ready\r\n")
        .expectLine("USER ann")
        .send("+OK\r\n")
        .expectLine("PASS secret")
        .send("+OK\r\n")
        .expectLine("STAT")
        .send("+OK 2 200\r\n")
        .expectLine("UIDL")
        .send("+OK\r\n1 uid-one\r\n2 uid-two\r\n.\r\n");
}

TEST(TevmailFetchNew, KilledMidFetchTheNextRunFetchesWhatWasNotRecorded) {
    DailyHome home;
    const std::string out = home.path() + "/in";
    const std::string record = home.path() + "/.local/state/tevmail/uidl/ann@127.0.0.1%3A";
    ScriptedServer first;
    pop3Opening(first);
    first.expectLine("LIST 1")
        .send("+OK 1 40\r\n")
        .expectLine("RETR 1")
        .send("+OK\r\nSubject: one\r\n\r\nbody one\r\n.\r\n")
        .expectLine("LIST 2")
        .send("+OK 2 40\r\n")
        .expectLine("RETR 2")
        .send("+OK\r\nSubject: two\r\n\r\nbody")  // and then nothing: the client waits for the rest
        .stepLimit(20000)
        .waitForClientClose(20000);
    first.start();
    std::vector<std::string> args = {"/usr/bin/env"};
    for (const std::string &e : home.environment()) args.push_back(e);
    for (const std::string &a : {kDailyTevmail, std::string("fetch"), std::string("--new"), std::string("--server"),
                                 "127.0.0.1:" + std::to_string(first.port()), std::string("--user"),
                                 std::string("ann"), std::string("--password"), std::string("secret"), std::string("--no-tls"),
                                 std::string("--timeout"), std::string("15"), std::string("--out"), out}) {
        args.push_back(a);
    }
    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    pid_t pid = -1;
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
    int spawned = posix_spawn(&pid, argv[0], &quiet, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&quiet);
    ASSERT_EQ(spawned, 0);
    // Wait (with a limit) until message 1 is recorded, then kill the tool in the middle of message 2.
    const std::string firstRecord = record + std::to_string(first.port());
    bool recorded = false;
    for (int i = 0; i < 1000 && !recorded; ++i) {
        recorded = fileText(firstRecord).find("\nuid-one\n") != std::string::npos;
        if (!recorded) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    first.finish(5000);
    ASSERT_TRUE(recorded) << fileText(firstRecord);
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(fileText(firstRecord), "# tevmail: messages fetched and saved, one UIDL a line\nuid-one\n");
    EXPECT_NE(fileText(out + "/message-uid-one.txt").find("body one"), std::string::npos);

    // The next run (same mailbox: the record is per user, host and port) fetches message 2 only.
    ScriptedServer second;
    const std::string secondRecord = record + std::to_string(second.port());
    std::ofstream(secondRecord, std::ios::binary) << fileText(firstRecord);
    pop3Opening(second);
    second.expectLine("LIST 2")
        .send("+OK 2 40\r\n")
        .expectLine("RETR 2")
        .send("+OK\r\nSubject: two\r\n\r\nbody two\r\n.\r\n")
        .expectLine("QUIT")
        .send("+OK bye\r\n")
        .waitForClientClose(5000);
    second.start();
    DailyRun rest = runTevmail({"fetch", "--new", "--server", "127.0.0.1:" + std::to_string(second.port()),
                                "--user", "ann", "--password", "secret", "--no-tls", "--timeout", "5", "--out", out},
                               home.environment());
    EXPECT_TRUE(second.finish(5000)) << second.error();
    ASSERT_EQ(rest.status, 0) << rest.output;
    EXPECT_EQ(rest.output, "message 2: " + out + "/message-uid-two.txt\n");
    EXPECT_EQ(fileText(secondRecord), "# tevmail: messages fetched and saved, one UIDL a line\nuid-one\nuid-two\n");
}

}  // namespace
}  // namespace tevtest
