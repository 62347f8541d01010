// tevmail as a daily tool, end to end: address lists as people write them (aiosmtpd), and a refused recipient
// named in the error (a scripted server that refuses the second RCPT TO).
#include "support/real_servers.h"
#include "support/scripted_server.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace tevtest
