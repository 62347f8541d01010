// tevmail sendmail end to end: a message piped in, sent through aiosmtpd over STARTTLS with AUTH from a config
// file in a temporary HOME, judged by Python's email package against what went in; the dot rule without -i; each
// exit status a caller of sendmail acts on (aiosmtpd, and a scripted server for the 4xx and 5xx replies); the dry
// run and the tool called by the name "sendmail".
#include "support/real_servers.h"
#include "support/scripted_server.h"
#include "support/temp_home.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

namespace tevtest {
namespace {

constexpr int kLimitMs = 60000;
const std::string kTool = std::string(TEV_BINARY_DIR) + "/tools/tevmail";
const std::string kJudge = std::string(TEV_SOURCE_DIR) + "/tests/real/judge_prepared.py";

struct ToolRun {
    int status;
    std::string output;
};

void writeFile(const std::string &path, const std::string &bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string lfToCrLf(const std::string &text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

// A temporary HOME with a configuration file of its own, removed afterwards.
class Home : public TempHome {
public:
    Home() : TempHome("tevmail-sendmail") {}
    // Runs `program` (tevmail sendmail, unless given) with `input` as its standard input (a file path when
    // `inputIsPath`), as a user with this HOME.
    ToolRun run(const std::string &input, const std::vector<std::string> &args,
            const std::vector<std::string> &environment = {}, bool inputIsPath = false,
            const std::vector<std::string> &program = {kTool, "sendmail"}) const {
        std::string inputPath = input;
        if (!inputIsPath) {
            inputPath = path_ + "/input.eml";
            writeFile(inputPath, input);
        }
        std::vector<std::string> argv = {"/bin/sh", "-c", "exec \"$@\" < \"$0\"", inputPath, "/usr/bin/env",
                                         "-u", "TEVMAIL_PASSWORD", "-u", "XDG_CONFIG_HOME", "-u", "NETRC",
                                         "HOME=" + path_};
        argv.insert(argv.end(), environment.begin(), environment.end());
        argv.insert(argv.end(), program.begin(), program.end());
        argv.insert(argv.end(), args.begin(), args.end());
        ToolRun result;
        result.status = runCommand(argv, kLimitMs, &result.output);
        return result;
    }
};

// Written as mail programs write it: LF line ends, a folded field, UTF-8 in the header and the body, lines that
// are or begin with a dot, Bcc over two lines.
const std::string kMessage =
    "From: Ann Lee <ann@tev.test>\n"
    "To: \"Doe, John\" <john@tev.test>, kay@tev.test (Kay)\n"
    "Cc: Lee <lee@tev.test>\n"
    "Bcc: Hidden <hidden@tev.test>,\n"
    " other@tev.test\n"
    "Subject: Gr\xC3\xBC\xC3\x9F" "e, na\xC3\xAFve r\xC3\xA9sum\xC3\xA9 \xE2\x9C\x93\n"
    "Date: Mon, 7 Dec 2026 04:05:09 +0100\n"
    "Message-ID: <prepared.1@tev.test>\n"
    "MIME-Version: 1.0\n"
    "Content-Type: text/plain; charset=utf-8\n"
    "Content-Transfer-Encoding: 8bit\n"
    "X-Folded: one\n"
    "   two\n"
    "\n"
    "Gr\xC3\xBC\xC3\x9F" "e aus K\xC3\xB6ln.\n"
    ".\n"
    "..two dots\n"
    ".leading dot\n"
    "\n"
    "\tindented, and the end\n";

// What the server must receive: the same with CR LF and without the Bcc field.
std::string expectedDelivery() {
    std::string text = kMessage;
    size_t bcc = text.find("Bcc: ");
    text.erase(bcc, text.find("Subject: ") - bcc);
    return lfToCrLf(text);
}

TEST(TevmailSendmail, DeliversThePipedMessageAsItIsOverStarttlsWithAuth) {
    TEV_USE_TLS_SERVERS(servers);
    servers.clearMessages();
    Home home;
    home.writeConfig("account tls\n"
                     "  smtp_server 127.0.0.1\n"
                     "  smtp_port " + std::to_string(servers.smtpPort("starttls")) + "\n"
                     "  tls starttls\n"
                     "  cafile " + servers.caFile() + "\n"
                     "  user " + servers.user() + "\n"
                     "  password " + servers.password() + "\n"
                     "  from Configured <cfg@tev.test>\n"
                     "default tls\n");
    ToolRun sent = home.run(kMessage, {"-t", "-i", "-v"});
    ASSERT_EQ(sent.status, 0) << sent.output;
    EXPECT_NE(sent.output.find("tevmail: encrypted: TLS"), std::string::npos) << sent.output;

    std::vector<std::string> envelopes = servers.receivedEnvelopes();
    std::vector<std::string> messages = servers.receivedMessages();
    ASSERT_EQ(messages.size(), 1u);
    // The account's from is the envelope sender; every To, Cc and Bcc address is a recipient.
    EXPECT_EQ(envelopes[0], "MAIL FROM:<cfg@tev.test>\nRCPT TO:<john@tev.test>\nRCPT TO:<kay@tev.test>\n"
                            "RCPT TO:<lee@tev.test>\nRCPT TO:<hidden@tev.test>\nRCPT TO:<other@tev.test>\n"
                            "AUTH " + servers.user() + "\n");
    EXPECT_EQ(messages[0], expectedDelivery());

    const std::string delivered = home.path() + "/delivered.eml";
    writeFile(delivered, messages[0]);
    std::string verdict;
    ASSERT_EQ(runCommand({"/usr/bin/python3", kJudge, home.path() + "/input.eml", delivered}, kLimitMs, &verdict), 0)
        << verdict;
    EXPECT_EQ(verdict, "HEADERS SAME\nBCC GONE\nBODY SAME\n"
                       "SUBJECT \"Gr\xC3\xBC\xC3\x9F" "e, na\xC3\xAFve r\xC3\xA9sum\xC3\xA9 \xE2\x9C\x93\"\nDEFECTS 0\n");

    // Named on the command line with -f, without -t: only those recipients, the header's To is not read.
    servers.clearMessages();
    ToolRun named = home.run(kMessage, {"-oi", "-f", "envelope@tev.test", "--", "only@tev.test"});
    ASSERT_EQ(named.status, 0) << named.output;
    ASSERT_EQ(servers.receivedEnvelopes().size(), 1u);
    EXPECT_EQ(servers.receivedEnvelopes()[0],
              "MAIL FROM:<envelope@tev.test>\nRCPT TO:<only@tev.test>\nAUTH " + servers.user() + "\n");
    EXPECT_EQ(servers.receivedMessages()[0], expectedDelivery());
}

TEST(TevmailSendmail, WithoutIgnoreDotsALoneDotEndsTheMessage) {
    TEV_USE_REAL_SERVERS(servers);
    servers.clearMessages();
    Home home;
    const std::string plain = "127.0.0.1:" + std::to_string(servers.smtpPlainPort());
    ToolRun sent = home.run("From: a@tev.test\nTo: b@tev.test\n\nbefore\n.\nafter\n", {"--server", plain, "-t"});
    ASSERT_EQ(sent.status, 0) << sent.output;
    EXPECT_EQ(sent.output, "tevmail sendmail: warning: a line '.' ended the message; what followed it is not sent "
                           "(-i sends it too)\n");
    ASSERT_EQ(servers.receivedMessages().size(), 1u);
    EXPECT_EQ(servers.receivedMessages()[0], "From: a@tev.test\r\nTo: b@tev.test\r\n\r\nbefore\r\n");
    // The envelope sender comes from the From field when nothing else names one.
    EXPECT_EQ(servers.receivedEnvelopes()[0], "MAIL FROM:<a@tev.test>\nRCPT TO:<b@tev.test>\n");
}

TEST(TevmailSendmail, CronsMailToALocalNameGoesToTheSendersDomain) {
    TEV_USE_REAL_SERVERS(servers);
    servers.clearMessages();
    Home home;
    home.writeConfig("account box\n  smtp_server 127.0.0.1:" + std::to_string(servers.smtpPlainPort()) +
                     "\n  from Host <host@tev.test>\ndefault box\n");
    // What Debian's cron runs, and the message it writes.
    const std::string message = "From: root (Cron Daemon)\nTo: root\nSubject: Cron <root@host> job\n\noutput\n";
    ToolRun cron = home.run(message, {"-FCronDaemon", "-i", "-B8BITMIME", "-oem", "root"});
    ASSERT_EQ(cron.status, 0) << cron.output;
    ASSERT_EQ(servers.receivedEnvelopes().size(), 1u);
    EXPECT_EQ(servers.receivedEnvelopes()[0], "MAIL FROM:<host@tev.test>\nRCPT TO:<root@tev.test>\n");
    EXPECT_EQ(servers.receivedMessages()[0], lfToCrLf(message));
}

TEST(TevmailSendmail, UsageDataIoAndConfigurationFailuresStopBeforeConnecting) {
    Home home;
    // Port 1 on loopback: nothing listens, so reaching it would end with 69, not the status expected.
    const std::vector<std::string> nowhere = {"--server", "127.0.0.1:1"};
    auto with = [&](std::vector<std::string> args) {
        args.insert(args.begin(), nowhere.begin(), nowhere.end());
        return args;
    };
    const std::string good = "From: a@tev.test\nTo: b@tev.test\n\nbody\n";

    ToolRun mode = home.run(good, with({"-bs"}));
    EXPECT_EQ(mode.status, 64) << mode.output;
    EXPECT_EQ(mode.output, "tevmail sendmail: -bs is not supported: tevmail sendmail only sends a message (-bm)\n"
                           "Run 'tevmail sendmail --help' for the options.\n");
    ToolRun nobody = home.run(good, with({}));
    EXPECT_EQ(nobody.status, 64) << nobody.output;
    EXPECT_NE(nobody.output.find("no recipient: name them, or give -t"), std::string::npos) << nobody.output;
    EXPECT_EQ(home.run("To: b@tev.test\n\nx\n", with({"b@tev.test"})).status, 64);  // no sender anywhere

    ToolRun tooLong = home.run("From: a@tev.test\n\nshort\n" + std::string(999, 'x') + "\n", with({"-t", "b@tev.test"}));
    EXPECT_EQ(tooLong.status, 65) << tooLong.output;
    EXPECT_EQ(tooLong.output.rfind("tevmail sendmail: the message cannot be sent as it is: line 4: longer than 998 "
                                   "characters",
                                   0),
              0u)
        << tooLong.output;
    EXPECT_EQ(home.run("just text\n", with({"b@tev.test"})).status, 65);
    ToolRun noneNamed = home.run("From: a@tev.test\nTo: undisclosed-recipients:;\n\nx\n", with({"-t"}));
    EXPECT_EQ(noneNamed.status, 65) << noneNamed.output;
    EXPECT_EQ(noneNamed.output, "tevmail sendmail: the message names no recipient in To, Cc or Bcc\n");

    ToolRun directory = home.run("/", with({"b@tev.test"}), {}, true);
    EXPECT_EQ(directory.status, 74) << directory.output;
    EXPECT_NE(directory.output.find("cannot read standard input"), std::string::npos) << directory.output;
    ToolRun noTemp = home.run(good, with({"b@tev.test"}), {"TMPDIR=" + home.path() + "/missing"});
    EXPECT_EQ(noTemp.status, 74) << noTemp.output;

    std::string closedOutput;
    int closed = runCommand({"/bin/sh", "-c", "exec \"$@\" <&-", "sh", "/usr/bin/env", "HOME=" + home.path(), kTool,
                             "sendmail", "--server", "127.0.0.1:1", "b@tev.test"},
                            kLimitMs, &closedOutput);
    EXPECT_EQ(closed, 74) << closedOutput;
    EXPECT_EQ(closedOutput, "tevmail sendmail: standard input is closed; the message is read from it\n");

    home.writeConfig("account x\n  colour blue\n");
    ToolRun config = home.run(good, with({"b@tev.test"}));
    EXPECT_EQ(config.status, 78) << config.output;
    EXPECT_NE(config.output.find("unknown key 'colour'"), std::string::npos) << config.output;
}

TEST(TevmailSendmail, NoServerIsUnavailableAndARefusedPasswordIsNoPermission) {
    TEV_USE_TLS_SERVERS(servers);
    servers.clearMessages();
    Home home;
    const std::string message = "From: a@tev.test\nTo: b@tev.test\n\nbody\n";
    ToolRun refused = home.run(message, {"--server", "127.0.0.1:1", "--timeout", "5", "-t"});
    EXPECT_EQ(refused.status, 69) << refused.output;
    EXPECT_NE(refused.output.find("connecting to SMTP server 127.0.0.1:1"), std::string::npos) << refused.output;

    const std::string starttls = "127.0.0.1:" + std::to_string(servers.smtpPort("starttls"));
    ToolRun auth = home.run(message, {"--server", starttls, "--cafile", servers.caFile(), "--user", servers.user(),
                                  "--password", "wrong", "--timeout", "10", "-t"});
    EXPECT_EQ(auth.status, 77) << auth.output;
    ToolRun unknownCa = home.run(message, {"--server", starttls, "--user", servers.user(), "--password", "wrong",
                                       "--timeout", "10", "-t"});
    EXPECT_EQ(unknownCa.status, 69) << unknownCa.output;  // the system store does not know the test CA
    EXPECT_TRUE(servers.receivedMessages().empty());
}

// A server that takes the first recipient and answers the second with `reply`.
void refusingSecondRecipient(ScriptedServer &server, const std::string &reply) {
    server.send("220 scripted\r\n")
        .expectLinePrefix("HELO ")
        .send("250 hi\r\n")
        .expectLine("MAIL FROM:<a@tev.test>")
        .send("250 ok\r\n")
        .expectLine("RCPT TO:<first@tev.test>")
        .send("250 ok\r\n")
        .expectLine("RCPT TO:<second@tev.test>")
        .send(reply)
        .waitForClientClose(5000);
    server.start();
}

TEST(TevmailSendmail, ATransientRefusalIsTemporaryAndAPermanentOneIsNot) {
    Home home;
    const std::string message = "From: a@tev.test\nTo: first@tev.test, Second <second@tev.test>\n\nbody\n";
    struct Case {
        const char *reply;
        int status;
    } cases[] = {{"451 4.7.1 greylisted, try again later\r\n", 75}, {"550 5.1.1 no such mailbox\r\n", 69}};
    for (const Case &c : cases) {
        ScriptedServer server;
        refusingSecondRecipient(server, c.reply);
        ToolRun run = home.run(message, {"--server", "127.0.0.1:" + std::to_string(server.port()), "--timeout", "5", "-t"});
        EXPECT_TRUE(server.finish(5000)) << server.error();
        EXPECT_EQ(run.status, c.status) << run.output;
        EXPECT_EQ(run.output.rfind("tevmail: sending the message: the server refused the recipient "
                                   "<second@tev.test>: ",
                                   0),
                  0u)
            << run.output;
        EXPECT_NE(run.output.find(std::string(c.reply).substr(0, 9)), std::string::npos) << run.output;
    }
}

TEST(TevmailSendmail, AMessageLargerThanOneReadArrivesWhole) {
    // Standard input is read 64 KiB at a time: lines (a dotted one among them) and a CR LF fall across the
    // boundaries, and a lone CR ends a line there too.
    Home home;
    std::string message = "From: a@tev.test\nTo: b@tev.test\nSubject: big\n\n";
    std::string expected = lfToCrLf(message);
    for (int i = 0; message.size() < 300000; ++i) {
        std::string line = (i % 7 == 0 ? "." : "") + std::string(static_cast<size_t>(50 + i % 90), 'a' + i % 26);
        message += line + (i % 5 == 0 ? "\r\n" : i % 11 == 0 ? "\r" : "\n");
        expected += line + "\r\n";
    }
    ToolRun dry = home.run(message, {"-t", "-i", "--dry-run"});
    ASSERT_EQ(dry.status, 0) << dry.output.substr(0, 400);
    std::string lf;
    for (size_t i = 0; i < expected.size(); ++i) {
        if (expected[i] != '\r') lf += expected[i];
    }
    EXPECT_TRUE(dry.output == "MAIL FROM:<a@tev.test>\nRCPT TO:<b@tev.test>\n\n" + lf)
        << dry.output.size() << " bytes, not " << lf.size() + 45;
}

TEST(TevmailSendmail, DryRunPrintsWhatWouldGoOutAndTheNameSendmailWorksAlone) {
    Home home;
    ::mkdir((home.path() + "/bin").c_str(), 0700);
    const std::string link = home.path() + "/bin/sendmail";
    ASSERT_EQ(::symlink(kTool.c_str(), link.c_str()), 0);
    // No server anywhere, and a user: nothing is authenticated, nothing leaves the machine.
    ToolRun dry = home.run(kMessage, {"-t", "-i", "--dry-run", "--user", "ann", "--password", "pw"}, {}, false, {link});
    ASSERT_EQ(dry.status, 0) << dry.output;
    std::string expected = kMessage;
    expected.erase(expected.find("Bcc: "), expected.find("Subject: ") - expected.find("Bcc: "));
    EXPECT_EQ(dry.output, "MAIL FROM:<ann@tev.test>\nRCPT TO:<john@tev.test>\nRCPT TO:<kay@tev.test>\n"
                          "RCPT TO:<lee@tev.test>\nRCPT TO:<hidden@tev.test>\nRCPT TO:<other@tev.test>\n\n" +
                              expected);
    ToolRun help = home.run("", {"--help"}, {}, false, {link});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.output.rfind("usage: tevmail sendmail [-t]", 0), 0u) << help.output;
}

}  // namespace
}  // namespace tevtest
