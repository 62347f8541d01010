// The options of 'tevmail send': what they become, the problems in the order they are reported, and the
// attachment list handed to the library.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "send_options.h"
#include "status.h"

namespace tevmail {
namespace {

// The arguments a send needs, then `more`.
std::vector<std::string> withBasics(const std::vector<std::string> &more) {
    std::vector<std::string> args = {"--server", "smtp.example.org", "--from", "a@x", "--to", "b@y", "--text", "hi"};
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

int send(const std::vector<std::string> &args, SendCommand *out, std::string *problem,
         const char *environment = nullptr) {
    Options options;
    Parsed parsed = parseArguments(args, joinTables({sendOptions(), commonOptions()}), &options, problem);
    EXPECT_EQ(parsed, Parsed::kGoOn) << *problem;
    return parseSend(options, environment, out, problem);
}

TEST(ParseSend, FillsTheCommand) {
    SendCommand s;
    std::string problem;
    ASSERT_EQ(send({"--server", "h:2525", "--from", " Ann <a@x> ", "--to", "b@y, C <c@z>,", "--cc", "d@w",
                    "--reply-to", "r@x", "--subject", "Hello", "--text-file", "-", "--html", "--alt-text", "plain",
                    "--attach", "one.pdf", "--attach", "two.gif|Logo.gif", "--header", "X-A: 1", "--header",
                    "X-B:2", "--user", "ann", "--password", "pw", "--timeout", "5"},
                   &s, &problem),
              kGoOn)
        << problem;
    EXPECT_EQ(s.common.server.shown, "h:2525");
    EXPECT_EQ(s.common.timeoutSeconds, 5);
    EXPECT_EQ(s.from, "Ann <a@x>");
    EXPECT_EQ(s.to, "<b@y>, C <c@z>");
    EXPECT_EQ(s.cc, "<d@w>");
    EXPECT_EQ(s.bcc, "");
    EXPECT_EQ(s.replyTo, "<r@x>");
    EXPECT_EQ(s.subject, "Hello");
    EXPECT_FALSE(s.textInline);
    EXPECT_EQ(s.textFile, "-");
    EXPECT_TRUE(s.html);
    EXPECT_TRUE(s.hasAltText);
    EXPECT_EQ(s.altText, "plain");
    EXPECT_EQ(s.attachments, (std::vector<std::string>{"one.pdf", "two.gif|Logo.gif"}));
    EXPECT_EQ(s.headers, (std::vector<std::string>{"X-A: 1", "X-B:2"}));
    EXPECT_EQ(s.user, "ann");
    EXPECT_EQ(s.password, "pw");

    SendCommand plain;
    ASSERT_EQ(send(withBasics({}), &plain, &problem, "ignored without --user"), kGoOn) << problem;
    EXPECT_EQ(plain.common.server.port, 25);
    EXPECT_TRUE(plain.textInline);
    EXPECT_EQ(plain.text, "hi");
    EXPECT_EQ(plain.replyTo, "");
    EXPECT_EQ(plain.user, "");  // no AUTH, whatever the environment holds
    EXPECT_FALSE(plain.html);
    EXPECT_FALSE(plain.hasAltText);
}

TEST(ParseSend, PasswordFromTheEnvironment) {
    SendCommand s;
    std::string problem;
    ASSERT_EQ(send(withBasics({"--user", "ann"}), &s, &problem, "secret"), kGoOn) << problem;
    EXPECT_EQ(s.password, "secret");
    SendCommand both;
    ASSERT_EQ(send(withBasics({"--user", "ann", "--password", "given"}), &both, &problem, "secret"), kGoOn);
    EXPECT_EQ(both.password, "given");
    // Without --user a long password in the environment is never used, so it is no problem.
    SendCommand unused;
    EXPECT_EQ(send(withBasics({}), &unused, &problem, std::string(100, 'p').c_str()), kGoOn) << problem;
}

TEST(ParseSend, ATokenStandsInForThePassword) {
    SendCommand s;
    s.haveToken = true;
    std::string problem;
    ASSERT_EQ(send(withBasics({"--user", "ann"}), &s, &problem), kGoOn) << problem;
    EXPECT_EQ(s.user, "ann");
    EXPECT_EQ(s.password, "");
    SendCommand t;
    t.haveToken = true;
    EXPECT_EQ(send(withBasics({"--user", ""}), &t, &problem), kExitUsage);  // the user is still needed
}

TEST(ParseSend, ProblemsInTheOrderTheyAreChecked) {
    const std::string long65(kMaxCredential + 1, 'u');
    struct Case {
        std::vector<std::string> args;
        const char *problem;
    };
    const Case cases[] = {
        {{"stray", "--to", "b@y"}, "unexpected argument 'stray'"},
        {{"--from", "a@x", "--to", "b@y", "--text", "x"}, "--server is required"},
        {{"--server", "h:65536", "--from", "a@x"},
         "--server wants HOST or HOST:PORT (a name of at most 128 characters, port 1 to 65535), not 'h:65536'"},
        {{"--server", "h", "--to", "b@y", "--text", "x"}, "--from is required"},
        {{"--server", "h", "--from", "a@x", "--text", "x"}, "--to is required"},
        {{"--server", "h", "--from", "a@x", "--to", "b@y"},
         "give the message as exactly one of --text and --text-file"},
        {withBasics({"--text-file", "f"}), "give the message as exactly one of --text and --text-file"},
        {withBasics({"--alt-text", "y"}), "--alt-text needs --html"},
        {withBasics({"--header", "X-A: 1"}), "--header needs --subject (extra header lines follow the Subject line)"},
        {withBasics({"--subject", "", "--header", "X-A: 1"}),
         "--header needs --subject (extra header lines follow the Subject line)"},
        {withBasics({"--subject", "s", "--header", "X-A: 1", "--header", "Bad Name: 1"}),
         "--header wants one line \"Name: value\", not 'Bad Name: 1'"},
        {withBasics({"--user", "u"}), "--user needs a user name and --password (or TEVMAIL_PASSWORD)"},
        {withBasics({"--user", "", "--password", "p"}),
         "--user needs a user name and --password (or TEVMAIL_PASSWORD)"},
        {withBasics({"--password", "p"}), "--password needs --user"},
        {withBasics({"--user", long65, "--password", "p"}), "user names and passwords have at most 64 characters"},
        {withBasics({"--user", "u", "--password", long65}), "user names and passwords have at most 64 characters"},
        {withBasics({"--starttls"}),
         "--starttls and --starttls-if-offered need --user (use --tls for implicit TLS without it)"},
        {withBasics({"--starttls-if-offered"}),
         "--starttls and --starttls-if-offered need --user (use --tls for implicit TLS without it)"},
        {{"--server", "h", "--from", "a@x", "--to", " , ,", "--text", "x"}, "--to names no address"},
    };
    for (const Case &c : cases) {
        SendCommand s;
        std::string problem;
        EXPECT_EQ(send(c.args, &s, &problem), kExitUsage) << c.problem;
        EXPECT_EQ(problem, c.problem);
    }
}

TEST(IsHeaderLine, OneLineWithANameWithoutBlanks) {
    EXPECT_TRUE(isHeaderLine("X-Test: yes"));
    EXPECT_TRUE(isHeaderLine("X-Test:"));
    EXPECT_TRUE(isHeaderLine("X-Test:a: b"));
    EXPECT_FALSE(isHeaderLine(": value"));
    EXPECT_FALSE(isHeaderLine("X-Test"));
    EXPECT_FALSE(isHeaderLine(""));
    EXPECT_FALSE(isHeaderLine("X Test: yes"));
    EXPECT_FALSE(isHeaderLine("X\tTest: yes"));
    EXPECT_FALSE(isHeaderLine("X-Test: yes\r\nBcc: <b@y>"));
    EXPECT_FALSE(isHeaderLine("X-Test: yes\n"));
}

TEST(AttachmentList, PathsAndASeparatorNoEntryHolds) {
    EXPECT_EQ(attachmentPath("report.pdf"), "report.pdf");
    EXPECT_EQ(attachmentPath("report.pdf|Report 2024.pdf"), "report.pdf");
    EXPECT_EQ(attachmentPath("a|b|c"), "a");
    EXPECT_EQ(attachmentPath("|name"), "");

    EXPECT_EQ(pickListSeparator({}), ',');
    EXPECT_EQ(pickListSeparator({"a.txt", "b.txt"}), ',');
    EXPECT_EQ(pickListSeparator({"a,1.txt", "b.txt"}), ';');
    EXPECT_EQ(pickListSeparator({"a,1.txt", "b;2.txt"}), '\t');
    EXPECT_EQ(pickListSeparator({"a,;\t.txt"}), '\x1f');
    EXPECT_EQ(pickListSeparator({"a,;.txt", "\t\x1f"}), 0);

    EXPECT_EQ(joinList({}, ','), "");
    EXPECT_EQ(joinList({"a"}, ','), "a");
    EXPECT_EQ(joinList({"a,1", "b|B"}, ';'), "a,1;b|B");
}

}  // namespace
}  // namespace tevmail
