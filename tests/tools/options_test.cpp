// tevmail's command line: the argument parser over an option table, numbers, HOST[:PORT], and the checks of the
// options the network commands share and the mailbox commands add.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "options.h"
#include "status.h"

namespace tevmail {
namespace {

const OptionTable kTable = joinTables(
    {{{"--to", Takes::kValue}, {"--attach", Takes::kValues}, {"--html", Takes::kNothing}}, commonOptions()});

struct ParseResult {
    Parsed parsed;
    std::string problem;
    Options options;
};

ParseResult parse(const std::vector<std::string> &args, const OptionTable &table = kTable) {
    ParseResult result;
    result.parsed = parseArguments(args, table, &result.options, &result.problem);
    return result;
}

TEST(ParseArguments, ValuesSwitchesAndPositionalWords) {
    ParseResult r = parse({"--to", "a@x", "--server=h:25", "word", "-v", "--html", "--attach", "A", "--attach=B",
                           "-", "--trace=", "--", "--html", "-v"});
    ASSERT_EQ(r.parsed, Parsed::kGoOn) << r.problem;
    EXPECT_EQ(r.options.value("--to"), "a@x");
    EXPECT_EQ(r.options.value("--server"), "h:25");
    EXPECT_TRUE(r.options.has("--verbose"));  // -v
    EXPECT_TRUE(r.options.has("--html"));
    EXPECT_EQ(r.options.values("--attach"), (std::vector<std::string>{"A", "B"}));
    EXPECT_TRUE(r.options.has("--trace"));  // given, with an empty value
    EXPECT_EQ(r.options.value("--trace", "fallback"), "");
    EXPECT_FALSE(r.options.has("--timeout"));
    EXPECT_EQ(r.options.value("--timeout", "fallback"), "fallback");
    EXPECT_TRUE(r.options.values("--timeout").empty());
    // "-" alone is a word, and everything after "--" is one, even "--html" given a second time.
    EXPECT_EQ(r.options.positional, (std::vector<std::string>{"word", "-", "--html", "-v"}));
}

TEST(ParseArguments, AValueIsTakenAsItIsEvenWhenItLooksLikeAnOption) {
    ParseResult r = parse({"--to", "--html", "--server", "--help", "--trace", "a=b"});
    ASSERT_EQ(r.parsed, Parsed::kGoOn) << r.problem;
    EXPECT_EQ(r.options.value("--to"), "--html");
    EXPECT_FALSE(r.options.has("--html"));
    EXPECT_EQ(r.options.value("--server"), "--help");
    EXPECT_EQ(r.options.value("--trace"), "a=b");
    ParseResult split = parse({"--to=a=b"});  // split at the first '='
    EXPECT_EQ(split.options.value("--to"), "a=b");
}

TEST(ParseArguments, ProblemsAndHelpStopAtTheFirstOneMet) {
    struct Case {
        std::vector<std::string> args;
        Parsed parsed;
        const char *problem;
    };
    const Case cases[] = {
        {{"--bogus"}, Parsed::kBad, "unknown option --bogus"},
        {{"--bogus=1"}, Parsed::kBad, "unknown option --bogus"},
        {{"-x"}, Parsed::kBad, "unknown option -x"},
        {{"-v=1"}, Parsed::kBad, "unknown option -v=1"},  // only "--" options take "=VALUE"
        {{"--TO", "a"}, Parsed::kBad, "unknown option --TO"},
        {{"--to"}, Parsed::kBad, "--to needs a value"},
        {{"--html=yes"}, Parsed::kBad, "--html takes no value"},
        {{"--verbose="}, Parsed::kBad, "--verbose takes no value"},
        {{"--to", "a", "--to=b"}, Parsed::kBad, "--to given twice"},
        {{"--html", "--html"}, Parsed::kBad, "--html given twice"},
        {{"--verbose", "-v"}, Parsed::kBad, "--verbose given twice"},
        {{"--bogus", "--help"}, Parsed::kBad, "unknown option --bogus"},
        {{"--help", "--bogus"}, Parsed::kHelp, ""},
        {{"word", "-h"}, Parsed::kHelp, ""},
        {{"--", "--help"}, Parsed::kGoOn, ""},
        {{}, Parsed::kGoOn, ""},
    };
    for (const Case &c : cases) {
        ParseResult r = parse(c.args);
        EXPECT_EQ(r.parsed, c.parsed) << c.problem;
        EXPECT_EQ(r.problem, c.problem);
    }
    // An empty table knows no option at all.
    EXPECT_EQ(parse({"--server", "h"}, {}).problem, "unknown option --server");
}

TEST(ParseArguments, ATableGrowsByJoiningAnother) {
    const OptionTable extra = {{"--starttls", Takes::kNothing}, {"--account", Takes::kValue}};
    ParseResult r = parse({"--starttls", "--account", "work", "--server", "h"}, joinTables({kTable, extra}));
    ASSERT_EQ(r.parsed, Parsed::kGoOn) << r.problem;
    EXPECT_TRUE(r.options.has("--starttls"));
    EXPECT_EQ(r.options.value("--account"), "work");
    EXPECT_EQ(joinTables({loginOptions(), selectionOptions()}).size(),
              loginOptions().size() + selectionOptions().size());
}

TEST(ParseNumber, WholeDecimalNumbersInRangeOnly) {
    struct Case {
        const char *text;
        long low, high;
        bool ok;
        long value;
    };
    const Case cases[] = {
        {"1", 1, 65535, true, 1},
        {"65535", 1, 65535, true, 65535},
        {"0025", 1, 65535, true, 25},
        {"0", 1, 65535, false, 0},
        {"65536", 1, 65535, false, 0},
        {"2147483647", 1, INT32_MAX, true, INT32_MAX},
        {"2147483648", 1, INT32_MAX, false, 0},
        {"9999999999", 1, INT32_MAX, false, 0},   // 10 digits: parsed, then out of range
        {"00000000001", 1, INT32_MAX, false, 0},  // 11 digits: refused however small
        {"", 1, 10, false, 0},
        {"+1", 1, 10, false, 0},
        {"-1", -5, 10, false, 0},
        {" 1", 1, 10, false, 0},
        {"1 ", 1, 10, false, 0},
        {"1x", 1, 10, false, 0},
        {"0x1", 0, 10, false, 0},
    };
    for (const Case &c : cases) {
        long value = -7;
        EXPECT_EQ(parseNumber(c.text, c.low, c.high, &value), c.ok) << c.text;
        EXPECT_EQ(value, c.ok ? c.value : -7) << c.text;  // untouched when refused
    }
}

TEST(ParseServer, HostAndPortSplitAtTheLastColon) {
    struct Case {
        std::string text;
        bool ok;
        const char *host;
        int32_t port;
    };
    const std::string longest(kMaxServerName, 'h');
    const Case cases[] = {
        {"mail.example.org", true, "mail.example.org", 25},
        {"127.0.0.1:2525", true, "127.0.0.1", 2525},
        {"h:1", true, "h", 1},
        {"h:65535", true, "h", 65535},
        {"h:0", false, "", 0},
        {"h:65536", false, "", 0},
        {"h:", false, "", 0},
        {"h:25x", false, "", 0},
        {"h: 25", false, "", 0},
        {":25", false, "", 0},
        {"", false, "", 0},
        {longest, true, longest.c_str(), 25},
        {longest + ":26", true, longest.c_str(), 26},
        {longest + "h", false, "", 0},
        // IPv6: in brackets when a port follows; several ':' without brackets are an address without a port.
        {"[::1]:2525", true, "::1", 2525},
        {"[2001:db8::5]", true, "2001:db8::5", 25},
        {"::1", true, "::1", 25},
        {"a:b:25", true, "a:b:25", 25},
        {"[::1]2525", false, "", 0},
        {"[::1]:", false, "", 0},
        {"[::1]:0", false, "", 0},
        {"[::1", false, "", 0},
        {"[]:25", false, "", 0},
    };
    for (const Case &c : cases) {
        Server server;
        server.host = "untouched";
        ASSERT_EQ(parseServer(c.text, 25, &server), c.ok) << c.text;
        if (!c.ok) {
            EXPECT_EQ(server.host, "untouched");
            continue;
        }
        EXPECT_EQ(server.host, c.host);
        EXPECT_EQ(server.port, c.port);
        const bool ipv6 = strchr(c.host, ':') != nullptr;
        EXPECT_EQ(server.shown, (ipv6 ? "[" + std::string(c.host) + "]" : std::string(c.host)) + ":" +
                                    std::to_string(c.port));
    }
}

// Parses `args` with the common table and checks them as every network command does.
int common(const std::vector<std::string> &args, Common *out, std::string *problem) {
    Options options;
    EXPECT_EQ(parseArguments(args, commonOptions(), &options, problem), Parsed::kGoOn) << *problem;
    return parseCommon(options, 25, out, problem);
}

TEST(TlsOptions, EachSwitchGivesItsModeAndTheDefaultsFollowThePortAndThePassword) {
    struct Case {
        std::vector<std::string> args;
        bool sendsPassword;
        int32_t mode;
    };
    const Case cases[] = {
        // Nothing given: 465 and 995 are implicit TLS; elsewhere a password needs STARTTLS, no password goes plain.
        {{"--server", "h:465"}, false, kTlsImplicit},
        {{"--server", "h:995"}, true, kTlsImplicit},
        {{"--server", "h"}, true, kTlsStarttls},
        {{"--server", "h:587"}, true, kTlsStarttls},
        {{"--server", "h:110"}, true, kTlsStarttls},
        {{"--server", "h"}, false, kTlsNone},
        {{"--server", "[::1]:2525"}, false, kTlsNone},
        // A switch wins over every default.
        {{"--server", "h:465", "--no-tls"}, true, kTlsNone},
        {{"--server", "h", "--no-tls"}, true, kTlsNone},
        {{"--server", "h:995", "--starttls"}, true, kTlsStarttls},
        {{"--server", "h", "--starttls"}, false, kTlsStarttls},
        {{"--server", "h:25", "--tls"}, false, kTlsImplicit},
        {{"--server", "h:465", "--starttls-if-offered"}, true, kTlsIfOffered},
        {{"--server", "h", "--starttls-if-offered"}, true, kTlsIfOffered},
    };
    for (const Case &c : cases) {
        Common parsed;
        std::string problem;
        ASSERT_EQ(common(c.args, &parsed, &problem), kGoOn) << problem;
        EXPECT_EQ(chooseTlsMode(parsed, c.sendsPassword), c.mode) << c.args.back() << " " << c.sendsPassword;
    }
    // The library's own numbers for TEV_TLS_MODE.
    EXPECT_EQ(kTlsNone, 0);
    EXPECT_EQ(kTlsStarttls, 1);
    EXPECT_EQ(kTlsImplicit, 2);
    EXPECT_EQ(kTlsIfOffered, 3);
}

TEST(TlsOptions, CaFileInsecureAndConflicts) {
    Common plain;
    std::string problem;
    ASSERT_EQ(common({"--server", "h"}, &plain, &problem), kGoOn);
    EXPECT_EQ(plain.tlsMode, kTlsDefault);
    EXPECT_EQ(plain.caFile, "");
    EXPECT_FALSE(plain.insecure);

    Common given;
    ASSERT_EQ(common({"--server", "h", "--cafile", "/etc/ca.pem", "--insecure", "--tls"}, &given, &problem), kGoOn);
    EXPECT_EQ(given.tlsMode, kTlsImplicit);
    EXPECT_EQ(given.caFile, "/etc/ca.pem");
    EXPECT_TRUE(given.insecure);

    const char *const conflicting[][2] = {{"--tls", "--no-tls"},
                                          {"--starttls", "--tls"},
                                          {"--starttls-if-offered", "--starttls"},
                                          {"--no-tls", "--starttls-if-offered"}};
    for (const auto &pair : conflicting) {
        Common out;
        EXPECT_EQ(common({"--server", "h", pair[0], pair[1]}, &out, &problem), kExitUsage) << pair[0];
        EXPECT_EQ(problem, "give one of --tls, --starttls, --starttls-if-offered and --no-tls");
    }
    Common empty;
    EXPECT_EQ(common({"--server", "h", "--cafile", ""}, &empty, &problem), kExitUsage);
    EXPECT_EQ(problem, "--cafile wants a file");
}

// Parses `args` with the mailbox tables and checks them as a mailbox command would.
int mailbox(const std::vector<std::string> &args, MailboxCommand *out, std::string *problem, bool required = false,
            const char *environment = nullptr) {
    Options options;
    Parsed parsed = parseArguments(args, joinTables({loginOptions(), selectionOptions(), commonOptions()}), &options,
                                   problem);
    EXPECT_EQ(parsed, Parsed::kGoOn) << *problem;
    return parseMailbox(options, required, environment, out, problem);
}

TEST(ParseMailbox, FillsTheCommandWithDefaults) {
    MailboxCommand m;
    std::string problem;
    ASSERT_EQ(mailbox({"--server", "pop.example.org", "--user", "ann", "--password", "pw"}, &m, &problem), kGoOn)
        << problem;
    EXPECT_EQ(m.common.server.shown, "pop.example.org:110");
    EXPECT_EQ(m.common.timeoutSeconds, 0);
    EXPECT_EQ(m.common.trace, "");
    EXPECT_FALSE(m.common.verbose);
    EXPECT_EQ(m.user, "ann");
    EXPECT_EQ(m.password, "pw");
    EXPECT_FALSE(m.apop);
    EXPECT_TRUE(m.all);  // no selection: every message

    MailboxCommand n;
    ASSERT_EQ(mailbox({"--server", "h:995", "--user", "ann", "--apop", "--number", "7", "--timeout", "86400",
                       "--trace", "t.log", "-v"},
                      &n, &problem, true, "from-env"),
              kGoOn)
        << problem;
    EXPECT_EQ(n.common.server.port, 995);
    EXPECT_EQ(n.common.timeoutSeconds, 86400);
    EXPECT_EQ(n.common.trace, "t.log");
    EXPECT_TRUE(n.common.verbose);
    EXPECT_EQ(n.password, "from-env");
    EXPECT_TRUE(n.apop);
    EXPECT_FALSE(n.all);
    EXPECT_EQ(n.number, 7);
}

TEST(ParseMailbox, PasswordOptionWinsOverTheEnvironmentAndAnEmptyOneCounts) {
    MailboxCommand m;
    std::string problem;
    ASSERT_EQ(mailbox({"--server", "h", "--user", "u", "--password", "given"}, &m, &problem, false, "env"), kGoOn);
    EXPECT_EQ(m.password, "given");
    // An empty TEVMAIL_PASSWORD is a password (the empty one), not a missing one.
    MailboxCommand e;
    ASSERT_EQ(mailbox({"--server", "h", "--user", "u"}, &e, &problem, false, ""), kGoOn) << problem;
    EXPECT_EQ(e.password, "");
}

// An OAuth token (set before the check, as parseMailboxCommand does) stands in for the password.
TEST(ParseMailbox, ATokenStandsInForThePassword) {
    MailboxCommand m;
    m.oauthToken = "ya29.token";
    std::string problem;
    ASSERT_EQ(mailbox({"--server", "h", "--user", "u"}, &m, &problem), kGoOn) << problem;
    EXPECT_EQ(m.password, "");
    EXPECT_EQ(m.oauthToken, "ya29.token");
    MailboxCommand n;
    EXPECT_EQ(mailbox({"--server", "h", "--user", "u"}, &n, &problem), kExitUsage);
    EXPECT_EQ(problem, "give --password or set TEVMAIL_PASSWORD");
}

TEST(ParseMailbox, ProblemsInTheOrderTheyAreChecked) {
    const std::string u64(kMaxCredential, 'u'), u65(kMaxCredential + 1, 'u');
    struct Case {
        std::vector<std::string> args;
        bool required;
        const char *problem;
    };
    const Case cases[] = {
        {{"stray"}, false, "unexpected argument 'stray'"},  // before the missing --server
        {{"--user", "u", "--password", "p"}, false, "--server is required"},
        {{"--server", "h:0", "--user", "u"}, false,
         "--server wants HOST or HOST:PORT (a name of at most 128 characters, port 1 to 65535), not 'h:0'"},
        {{"--server", "h:65536"}, false,
         "--server wants HOST or HOST:PORT (a name of at most 128 characters, port 1 to 65535), not 'h:65536'"},
        {{"--server", "h", "--timeout", "0"}, false, "--timeout wants whole seconds (1 to 86400)"},
        {{"--server", "h", "--timeout", "86401"}, false, "--timeout wants whole seconds (1 to 86400)"},
        {{"--server", "h", "--timeout", "1.5"}, false, "--timeout wants whole seconds (1 to 86400)"},
        {{"--server", "h", "--password", "p"}, false, "--user is required"},
        {{"--server", "h", "--user", "", "--password", "p"}, false, "--user is required"},
        {{"--server", "h", "--user", "u"}, false, "give --password or set TEVMAIL_PASSWORD"},
        {{"--server", "h", "--user", "u\r", "--password", "p"}, false, "user name and password must be one line each"},
        {{"--server", "h", "--user", "u", "--password", "p\nq"}, false,
         "user name and password must be one line each"},
        {{"--server", "h", "--user", u65, "--password", "p"}, false,
         "user names and passwords have at most 64 characters"},
        {{"--server", "h", "--user", "u", "--password", u65}, false,
         "user names and passwords have at most 64 characters"},
        {{"--server", "h", "--user", "u", "--password", "p"}, true, "say which messages: --number N or --all"},
        {{"--server", "h", "--user", "u", "--password", "p", "--number", "1", "--all"}, false,
         "give --number or --all, not both"},
        {{"--server", "h", "--user", "u", "--password", "p", "--number", "0"}, false,
         "--number wants a message number (1 or more)"},
        {{"--server", "h", "--user", "u", "--password", "p", "--number", "2147483648"}, false,
         "--number wants a message number (1 or more)"},
        {{"--server", "h", "--user", u64, "--password", u64, "--number", "2147483647"}, true, ""},
        {{"--server", "h", "--user", "u", "--password", "p", "--all"}, true, ""},
    };
    for (const Case &c : cases) {
        MailboxCommand m;
        std::string problem;
        int status = mailbox(c.args, &m, &problem, c.required);
        EXPECT_EQ(status, *c.problem == '\0' ? kGoOn : kExitUsage) << c.problem;
        EXPECT_EQ(problem, c.problem);
    }
}

}  // namespace
}  // namespace tevmail
