// tevmail's authentication options end to end against aiosmtpd and Dovecot on loopback: --auth and
// --oauth-token-file / TEVMAIL_OAUTH_TOKEN for send, list, fetch and delete; --user never sending or reading
// unauthenticated (exit 1 naming what the server offered); wrong passwords and tokens; the help texts and the
// manual page naming the options.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/real_servers.h"
#include "support/trace.h"

namespace tevtest {
namespace {

constexpr int kLimitMs = 60000;

const std::string kTevmail = std::string(TEV_BINARY_DIR) + "/tools/tevmail";

struct ToolRun {
    int status;
    std::string output;  // standard output and standard error together
};

// Runs tevmail with the arguments and nothing of the caller's TEVMAIL_ variables, but for the given ones
// ("NAME=value").
ToolRun tevmail(const std::vector<std::string> &args, const std::vector<std::string> &environment = {}) {
    std::vector<std::string> argv = {"/usr/bin/env", "-u", "TEVMAIL_PASSWORD", "-u", "TEVMAIL_OAUTH_TOKEN"};
    argv.insert(argv.end(), environment.begin(), environment.end());
    argv.push_back(kTevmail);
    argv.insert(argv.end(), args.begin(), args.end());
    ToolRun run;
    run.status = runCommand(argv, kLimitMs, &run.output);
    return run;
}

bool contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

class TevmailAuthReal : public TempDirTest {
protected:
    void SetUp() override { ASSERT_TRUE(fileExists(kTevmail)) << kTevmail << " was not built"; }

    static std::string at(uint16_t port) { return "127.0.0.1:" + std::to_string(port); }

    // A send to the server at `server` as the servers' user, with the extra options.
    static ToolRun send(const std::string &server, const std::string &subject, const std::vector<std::string> &more,
                        const std::vector<std::string> &environment = {}) {
        std::vector<std::string> args = {"send", "--server", server, "--no-tls", "--from", "ann@tev.test", "--to",
                                         "tevuser@tev.test", "--subject", subject, "--text", "body of " + subject};
        args.insert(args.end(), more.begin(), more.end());
        return tevmail(args, environment);
    }
};

TEST_F(TevmailAuthReal, SendsWithScramAndWithAnOAuthTokenInsteadOfAPassword) {
    TEV_USE_REAL_SERVERS(servers);
    servers.clearMessages();
    const std::string sasl = at(servers.smtpPort("sasl"));
    const std::string tokenFile = tmp.file("token");
    ASSERT_TRUE(writeWholeFile(tokenFile, servers.oauthToken() + "\n"));

    ToolRun scram = send(sasl, "scram", {"--user", servers.user(), "--auth", "scram-sha-256"},
                         {"TEVMAIL_PASSWORD=" + servers.password()});
    EXPECT_EQ(scram.status, 0) << scram.output;
    ToolRun fromFile = send(sasl, "xoauth2", {"--user", servers.user(), "--auth", "XOAUTH2", "--oauth-token-file",
                                              tokenFile});
    EXPECT_EQ(fromFile.status, 0) << fromFile.output;
    // The token from the environment and no --auth: OAuth is chosen because the server offers it.
    ToolRun fromEnvironment = send(sasl, "env-token", {"--user", servers.user(), "--trace", tmp.file("trace")},
                                   {"TEVMAIL_OAUTH_TOKEN=" + servers.oauthToken()});
    EXPECT_EQ(fromEnvironment.status, 0) << fromEnvironment.output;
    const std::string trace = readWholeFile(tmp.file("trace"));
    EXPECT_TRUE(contains(trace, "S: AUTH OAUTHBEARER ") || contains(trace, "S: AUTH XOAUTH2 ")) << trace;

    const std::vector<std::string> envelopes = servers.receivedEnvelopes();
    ASSERT_EQ(envelopes.size(), 3u);
    for (const std::string &envelope : envelopes) {
        EXPECT_EQ(envelope, "MAIL FROM:<ann@tev.test>\nRCPT TO:<tevuser@tev.test>\nAUTH " + servers.user() + "\n");
    }

    // A wrong token: the server's 535, and the JSON of its error challenge after it.
    ToolRun wrong = send(sasl, "never", {"--user", servers.user(), "--auth", "XOAUTH2"},
                         {"TEVMAIL_OAUTH_TOKEN=ya29.expired"});
    EXPECT_EQ(wrong.status, 1);
    EXPECT_EQ(wrong.output.rfind("tevmail: connecting to SMTP server " + sasl +
                                     ": SMTP returned error. 535 5.7.8 Authentication credentials invalid",
                                 0),
              0u)
        << wrong.output;
    EXPECT_TRUE(contains(wrong.output, R"("status": "invalid_token")")) << wrong.output;
    EXPECT_EQ(servers.receivedEnvelopes().size(), 3u);
}

TEST_F(TevmailAuthReal, UserNeverSendsUnauthenticatedAndNamesTheOffer) {
    TEV_USE_REAL_SERVERS(servers);
    servers.clearMessages();
    const std::vector<std::string> password = {"TEVMAIL_PASSWORD=" + servers.password()};
    const std::string plain = at(servers.smtpPlainPort());
    const std::string sasl = at(servers.smtpPort("sasl"));

    ToolRun noAuth = send(plain, "never", {"--user", servers.user()}, password);
    EXPECT_EQ(noAuth.status, 1);
    EXPECT_EQ(noAuth.output, "tevmail: connecting to SMTP server " + plain +
                                 ": No usable authentication mechanism. None offered. (-83)\n");
    // Only mechanisms that the default choice (CRAM-MD5, LOGIN, PLAIN) does not take.
    ToolRun newer = send(sasl, "never", {"--user", servers.user()}, password);
    EXPECT_EQ(newer.status, 1);
    EXPECT_EQ(newer.output, "tevmail: connecting to SMTP server " + sasl +
                                ": No usable authentication mechanism. Offered: OAUTHBEARER SCRAM-SHA-1 "
                                "SCRAM-SHA-256 XOAUTH2 (-83)\n");
    // --auth naming only what the server does not offer.
    ToolRun unoffered = send(at(servers.smtpAuthPort()), "never", {"--user", servers.user(), "--auth", "SCRAM-SHA-1"},
                             password);
    EXPECT_EQ(unoffered.status, 1);
    EXPECT_EQ(unoffered.output, "tevmail: connecting to SMTP server " + at(servers.smtpAuthPort()) +
                                    ": No usable authentication mechanism. Offered: CRAM-MD5 LOGIN PLAIN (-83)\n");
    EXPECT_TRUE(servers.receivedMessages().empty());

    // Without --user the plain port still takes mail, as before.
    EXPECT_EQ(send(plain, "anonymous", {}).status, 0);
    EXPECT_EQ(servers.receivedMessages().size(), 1u);
}

TEST_F(TevmailAuthReal, ListFetchAndDeleteLogInWithTheChosenMechanism) {
    TEV_USE_REAL_SERVERS(servers);
    servers.clearMessages();
    const std::vector<std::string> password = {"TEVMAIL_PASSWORD=" + servers.password()};
    ASSERT_EQ(send(at(servers.smtpAuthPort()), "for pop3", {}).status, 0);
    const std::string pop3 = at(servers.pop3Port());
    auto mailbox = [&](const std::string &command, const std::string &mechanisms, std::vector<std::string> more,
                       const std::vector<std::string> &environment) {
        std::vector<std::string> args = {command, "--server", pop3, "--no-tls", "--user", servers.user(),
                                         "--auth", mechanisms, "--trace", tmp.file(command + ".trace")};
        args.insert(args.end(), more.begin(), more.end());
        return tevmail(args, environment);
    };

    ToolRun list = mailbox("list", "SCRAM-SHA-256", {}, password);
    ASSERT_EQ(list.status, 0) << list.output;
    EXPECT_TRUE(contains(list.output, "   1 ")) << list.output;
    EXPECT_TRUE(contains(list.output, "for pop3\n")) << list.output;
    EXPECT_TRUE(contains(readWholeFile(tmp.file("list.trace")), "S: AUTH SCRAM-SHA-256 "));

    // The first offered of the list is taken (Dovecot does not offer XOAUTH2 here).
    ToolRun fetch = mailbox("fetch", "xoauth2,cram-md5,plain", {"--number", "1", "--out", tmp.file("out")}, password);
    ASSERT_EQ(fetch.status, 0) << fetch.output;
    EXPECT_TRUE(contains(readWholeFile(tmp.file("out") + "/message-1.txt"), "body of for pop3"));
    EXPECT_TRUE(contains(readWholeFile(tmp.file("fetch.trace")), "S: AUTH CRAM-MD5\r\n"));

    ToolRun remove = mailbox("delete", "SCRAM-SHA-1", {"--all"}, password);
    ASSERT_EQ(remove.status, 0) << remove.output;
    EXPECT_EQ(remove.output, "deleted 1 message\n");
    EXPECT_TRUE(contains(readWholeFile(tmp.file("delete.trace")), "S: AUTH SCRAM-SHA-1 "));
    ToolRun empty = mailbox("list", "USER", {}, password);
    EXPECT_EQ(empty.status, 0) << empty.output;
    EXPECT_EQ(empty.output, "no messages\n");

    ToolRun wrong = mailbox("list", "SCRAM-SHA-256", {}, {"TEVMAIL_PASSWORD=wrong"});
    EXPECT_EQ(wrong.status, 1);
    EXPECT_EQ(wrong.output, "tevmail: logging in to POP3 server " + pop3 +
                                ": POP3 returned error. -ERR [AUTH] Authentication failed. (-63)\n");
    // An OAuth token needs no password, but Dovecot offers no OAuth here: exit 1 naming its offer.
    ToolRun oauth = mailbox("list", "XOAUTH2,OAUTHBEARER", {}, {"TEVMAIL_OAUTH_TOKEN=ya29.token"});
    EXPECT_EQ(oauth.status, 1);
    EXPECT_EQ(oauth.output, "tevmail: logging in to POP3 server " + pop3 +
                                ": No usable authentication mechanism. Offered: PLAIN LOGIN CRAM-MD5 SCRAM-SHA-1 "
                                "SCRAM-SHA-256 (-83)\n");
}

TEST(TevmailAuthHelp, HelpTextsAndTheManualPageNameTheOptions) {
    ASSERT_TRUE(fileExists(kTevmail)) << kTevmail << " was not built";
    for (const char *command : {"send", "list", "fetch", "delete"}) {
        SCOPED_TRACE(command);
        ToolRun help = tevmail({command, "--help"});
        EXPECT_EQ(help.status, 0);
        EXPECT_TRUE(contains(help.output, "--auth")) << help.output;
        EXPECT_TRUE(contains(help.output, "--oauth-token-file")) << help.output;
    }
    const std::string manual = readWholeFile(std::string(TEV_SOURCE_DIR) + "/tools/tevmail.1");
    for (const char *part : {".SH AUTHENTICATION", "\\-\\-auth", "\\-\\-oauth\\-token\\-file", ".B TEVMAIL_OAUTH_TOKEN",
                             "SCRAM\\-SHA\\-256"}) {
        EXPECT_TRUE(contains(manual, part)) << part;
    }
}

}  // namespace
}  // namespace tevtest
