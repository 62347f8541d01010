// 'tevmail sendmail': sendmail's options as its callers pass them, the checks, and the exit statuses failures map to.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "auth_options.h"
#include "sendmail_exit.h"
#include "sendmail_options.h"
#include "status.h"

namespace tevmail {
namespace {

const OptionTable &known() {
    static const OptionTable table = joinTables({sendmailOptions(), authOptions(), commonOptions()});
    return table;
}

std::string translated(const std::vector<std::string> &words, bool expectGood = true) {
    std::vector<std::string> out;
    std::string problem;
    bool good = translateSendmailArguments(words, known(), &out, &problem);
    EXPECT_EQ(good, expectGood) << problem;
    if (!good) return "problem: " + problem;
    std::string text;
    for (const std::string &word : out) text += "[" + word + "]";
    return text;
}

TEST(SendmailArguments, WhatCronMailMuttAndGitPassBecomesTevmailsOptions) {
    // cron (Debian), mutt, mail(1), git send-email, and sendmail -t as scripts write it.
    EXPECT_EQ(translated({"-FCronDaemon", "-i", "-B8BITMIME", "-oem", "root"}), "[--ignore-dots][root]");
    EXPECT_EQ(translated({"-oem", "-oi", "--", "a@x", "-b@y"}), "[--ignore-dots][--][a@x][-b@y]");
    EXPECT_EQ(translated({"-i", "-f", "ann@x", "a@x", "b@x"}), "[--ignore-dots][--from][ann@x][a@x][b@x]");
    EXPECT_EQ(translated({"-ti", "-fann@x"}), "[--read-recipients][--ignore-dots][--from][ann@x]");
    EXPECT_EQ(translated({"-t", "-r", "ann@x", "-F", "Ann Lee", "-odi", "-bm", "-v"}),
              "[--read-recipients][--from][ann@x][--verbose]");
    EXPECT_EQ(translated({"-N", "never", "-R", "hdrs", "-V", "id", "-L", "tag", "-p", "esmtp", "-Oa=b", "-m", "-U"}),
              "");
    // Long options keep their values, even one that looks like a short option.
    EXPECT_EQ(translated({"--server", "h:25", "--password", "-t", "--no-tls", "--trace=-f", "x@y"}),
              "[--server][h:25][--password][-t][--no-tls][--trace=-f][x@y]");
    EXPECT_EQ(translated({"-h"}), "[--help]");
    // Repeated switches are no error; the account options keep their values.
    EXPECT_EQ(translated({"-i", "-oi", "-t", "-ti", "-v", "-v"}), "[--ignore-dots][--read-recipients][--verbose]");
    EXPECT_EQ(translated({"--config", "-c", "--account", "-a"}), "[--config][-c][--account][-a]");
}

TEST(SendmailArguments, ModesAndOptionsItDoesNotHaveAreRefused) {
    EXPECT_EQ(translated({"-bs"}, false), "problem: -bs is not supported: tevmail sendmail only sends a message (-bm)");
    EXPECT_EQ(translated({"-bp"}, false).rfind("problem: -bp is not supported", 0), 0u);
    EXPECT_EQ(translated({"-q"}, false), "problem: unknown option -q");
    EXPECT_EQ(translated({"-tx"}, false), "problem: unknown option -x");
    EXPECT_EQ(translated({"-t", "-f"}, false), "problem: -f needs a value");
}

int parse(const std::vector<std::string> &words, SendmailCommand *out, std::string *problem,
          const char *password = nullptr) {
    std::vector<std::string> args;
    EXPECT_TRUE(translateSendmailArguments(words, known(), &args, problem)) << *problem;
    Options options;
    EXPECT_EQ(parseArguments(args, known(), &options, problem), Parsed::kGoOn) << *problem;
    return parseSendmail(options, password, out, problem);
}

TEST(ParseSendmail, FillsTheCommand) {
    SendmailCommand c;
    std::string problem;
    ASSERT_EQ(parse({"--server", "h:587", "-t", "-oi", "-f", "Ann <ann@x>", "--user", "ann", "--", "\"Doe, J\" <j@x>, k@x",
                     "j@x", "l@x"},
                    &c, &problem, "secret"),
              kGoOn)
        << problem;
    EXPECT_EQ(c.common.server.port, 587);
    EXPECT_EQ(c.from, "ann@x");
    EXPECT_EQ(c.user, "ann");
    EXPECT_EQ(c.password, "secret");
    EXPECT_TRUE(c.readRecipients);
    EXPECT_TRUE(c.ignoreDots);
    EXPECT_FALSE(c.dryRun);
    ASSERT_EQ(c.recipients.size(), 3u);  // j@x once
    EXPECT_EQ(c.recipients[0].address, "j@x");
    EXPECT_EQ(c.recipients[2].address, "l@x");

    SendmailCommand plain;
    ASSERT_EQ(parse({"--server", "h", "a@x"}, &plain, &problem), kGoOn) << problem;
    EXPECT_EQ(plain.common.server.port, 25);
    EXPECT_EQ(plain.from, "");
    EXPECT_FALSE(plain.readRecipients);
    EXPECT_FALSE(plain.ignoreDots);
}

TEST(ParseSendmail, ProblemsAreUsageErrors) {
    struct Case {
        std::vector<std::string> words;
        const char *problem;
    } cases[] = {
        {{"a@x"}, "--server is required"},
        {{"--server", "h", "-f", "a@x, b@x", "c@x"}, "-f wants one address, not 'a@x, b@x'"},
        {{"--server", "h", "-f", "a@", "c@x"}, "-f: 'a@' is not an address (local@domain)"},
        {{"--server", "h", "team: a@x, b@x"}, "recipient: 'team: a@x' looks like a group (NAME: addresses;); list "
                                              "the addresses instead"},
        {{"--server", "h", "--user", "ann", "c@x"}, "--user needs a user name and --password (or TEVMAIL_PASSWORD)"},
        {{"--server", "h", "--password", "p", "c@x"}, "--password needs --user"},
        {{"--server", "h", "--starttls", "c@x"},
         "--starttls and --starttls-if-offered need --user (use --tls for implicit TLS without it)"},
    };
    for (const Case &k : cases) {
        SendmailCommand c;
        std::string problem;
        EXPECT_EQ(parse(k.words, &c, &problem), kSendmailUsage) << k.problem;
        EXPECT_EQ(problem.rfind(k.problem, 0), 0u) << problem;
    }
}

TEST(SendmailExit, EachFailureEndsWithTheStatusItsCallersExpect) {
    struct Case {
        int32_t code, reply, socket, state;
        int status;
    } cases[] = {
        {-49, 550, 0, 208, kSendmailUnavailable},   // a refused recipient
        {-49, 554, 0, 201, kSendmailUnavailable},   // a refusing greeting
        {-49, 451, 0, 208, kSendmailTempFail},      // greylisting
        {-49, 421, 0, 201, kSendmailTempFail},
        {-49, 452, 0, 252, kSendmailTempFail},      // the end of data
        {-49, 535, 0, 153, kSendmailNoPermission},  // CRAM-MD5 refused
        {-49, 535, 0, 171, kSendmailNoPermission},  // PLAIN
        {-49, 535, 0, 191, kSendmailNoPermission},  // SCRAM
        {-49, 454, 0, 164, kSendmailTempFail},      // LOGIN: temporary authentication failure
        {-1, 0, 0, 153, kSendmailNoPermission},     // closed after the credentials
        {-83, 250, 0, 203, kSendmailNoPermission},  // nothing usable offered
        {-36, 0, -10061, 101, kSendmailUnavailable},
        {-36, 0, -10065, 101, kSendmailUnavailable},
        {-36, 0, -10060, 101, kSendmailTempFail},
        {-36, 0, -11002, 101, kSendmailTempFail},
        {-11001, 0, -11001, 101, kSendmailUnavailable},
        {-46, 0, 0, 101, kSendmailUnavailable},
        {-8, 0, 0, 205, kSendmailTempFail},
        {-1, 0, 0, 247, kSendmailTempFail},
        {-52, 0, -10054, 247, kSendmailTempFail},
        {-80, 250, 0, 203, kSendmailUnavailable},
        {-82, 0, 0, 181, kSendmailUnavailable},
        {-85, 0, 0, 204, kSendmailUnavailable},
        {-88, 0, 0, 247, kSendmailData},
        {-35, 0, 0, 246, kSendmailIoError},
        {-55, 0, 0, 0, kSendmailOsError},
        {-41, 0, 0, 0, kSendmailSoftware},
        {0, 250, 0, 252, kSendmailOk},
    };
    for (const Case &k : cases) {
        SendFailure failure;
        failure.code = k.code;
        failure.replyCode = k.reply;
        failure.socketCode = k.socket;
        failure.lastState = k.state;
        EXPECT_EQ(sendmailExitStatus(failure), k.status) << k.code << " " << k.reply << " " << k.state;
    }
}

}  // namespace
}  // namespace tevmail
