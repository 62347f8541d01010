// Accounts: the configuration file, ~/.netrc, and the order in which the command line, the file and netrc win.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "config.h"
#include "netrc.h"

namespace tevmail {
namespace {

class ConfigFiles : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tevmail-config.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        for (const std::string &file : files_) unlink(file.c_str());
        rmdir(dir_.c_str());
    }
    std::string write(const std::string &name, const std::string &text, mode_t mode) {
        std::string path = dir_ + "/" + name;
        std::ofstream(path, std::ios::binary) << text;
        chmod(path.c_str(), mode);
        files_.push_back(path);
        return path;
    }
    std::string dir_;
    std::vector<std::string> files_;
};

const char kWork[] =
    "# accounts\n"
    "default work\n"
    "account work\n"
    "  server mail.example.org   # both protocols\n"
    "  smtp_port 587\n"
    "  tls starttls\n"
    "  cafile /etc/ca#1.pem\n"
    "  user ann\n"
    "  password pa55 word\n"
    "  from Ann Lee <ann@example.org>\n"
    "account home\n"
    "  smtp_server smtp.home.test:2525\n"
    "  pop3_server pop.home.test\n"
    "  user kay\n"
    "  passwordeval printf 'from-eval\\nsecond line\\n'\n";

const OptionTable kSendLike = {{"--server", Takes::kValue}, {"--user", Takes::kValue},
                               {"--password", Takes::kValue}, {"--from", Takes::kValue},
                               {"--to", Takes::kValue},      {"--starttls", Takes::kNothing},
                               {"--no-tls", Takes::kNothing}, {"--cafile", Takes::kValue}};

std::string joined(const std::vector<std::string> &args) {
    std::string text;
    for (const std::string &arg : args) text += (text.empty() ? "" : " ") + arg;
    return text;
}

TEST_F(ConfigFiles, ParsesAccountsAndRefusesMistakes) {
    ConfigFile config;
    std::string problem;
    ASSERT_TRUE(parseConfig(kWork, "c", &config, &problem)) << problem;
    EXPECT_EQ(config.defaultName, "work");
    ASSERT_EQ(config.accounts.size(), 2u);
    EXPECT_EQ(config.accounts[0].value("password"), "pa55 word");
    EXPECT_EQ(config.accounts[0].value("cafile"), "/etc/ca#1.pem");  // '#' inside a word is no comment
    EXPECT_EQ(config.accounts[0].value("server"), "mail.example.org");
    EXPECT_TRUE(config.holdsPassword);
    const char *const bad[][2] = {
        {"server x\n", "c:1: 'server' stands before any 'account NAME' line"},
        {"account a\nsevrer x\n", "c:2: unknown key 'sevrer'"},
        {"account a\naccount a\n", "c:2: a second account 'a'"},
        {"account a\ntls maybe\n", "c:2: tls wants tls, starttls, starttls-if-offered or no-tls, not 'maybe'"},
        {"default b\naccount a\n", "c: 'default b' names no account"},
    };
    for (const auto &c : bad) {
        ConfigFile other;
        EXPECT_FALSE(parseConfig(c[0], "c", &other, &problem)) << c[0];
        EXPECT_EQ(problem, c[1]);
    }
}

TEST_F(ConfigFiles, AFileWithAPasswordOthersCanReadIsRefused) {
    std::string open = write("open", kWork, 0644);
    std::string group = write("group", kWork, 0640);
    std::string closed = write("closed", kWork, 0600);
    std::string noPassword = write("nopassword", "account a\nserver x\npasswordeval true\n", 0644);
    ConfigFile config;
    std::string problem;
    EXPECT_FALSE(loadConfig(open, true, &config, &problem));
    EXPECT_EQ(problem, "the configuration file '" + open + "' holds a password and others may read it; run: chmod "
                       "600 '" + open + "'");
    ConfigFile second;
    EXPECT_FALSE(loadConfig(group, true, &second, &problem));
    ConfigFile third;
    EXPECT_TRUE(loadConfig(closed, true, &third, &problem)) << problem;
    ConfigFile fourth;
    EXPECT_TRUE(loadConfig(noPassword, true, &fourth, &problem)) << problem;
    ConfigFile missing;
    EXPECT_TRUE(loadConfig(dir_ + "/none", false, &missing, &problem));
    EXPECT_TRUE(missing.accounts.empty());
    EXPECT_FALSE(loadConfig(dir_ + "/none", true, &missing, &problem));
    EXPECT_EQ(problem, "cannot read the configuration file '" + dir_ + "/none': No such file or directory");
}

TEST_F(ConfigFiles, CommandLineWinsThenTheAccountThenNetrc) {
    std::string path = write("config", kWork, 0600);
    const std::string netrc = "machine mail.example.org login ann password from-netrc\n"
                              "machine smtp.home.test login other password other-pw\n"
                              "default login anon password anon-pw\n";
    struct Case {
        std::vector<std::string> args;
        const char *env;
        std::string expected;
    } cases[] = {
        {{"--config", path, "--to", "b@x"}, nullptr,
         "--server mail.example.org:587 --user ann --from Ann Lee <ann@example.org> --cafile /etc/ca#1.pem "
         "--starttls --password pa55 word --to b@x"},
        // Options given win, and TLS given in any form keeps the account's word out.
        {{"--config=" + path, "--server", "other.test", "--from=me@x", "--no-tls", "--cafile", "/mine"}, nullptr,
         "--user ann --password pa55 word --server other.test --from=me@x --no-tls --cafile /mine"},
        // Another user: the account's password is not theirs; netrc has none for them on this host, so the default.
        {{"--config", path, "--user", "bob"}, nullptr,
         "--server mail.example.org:587 --from Ann Lee <ann@example.org> --cafile /etc/ca#1.pem --starttls "
         "--user bob"},
        {{"--config", path, "--password", "typed"}, nullptr,
         "--server mail.example.org:587 --user ann --from Ann Lee <ann@example.org> --cafile /etc/ca#1.pem "
         "--starttls --password typed"},
        {{"--config", path}, "from-environment",
         "--server mail.example.org:587 --user ann --from Ann Lee <ann@example.org> --cafile /etc/ca#1.pem "
         "--starttls"},
        // passwordeval: its first line.
        {{"--config", path, "--account", "home"}, nullptr,
         "--server smtp.home.test:2525 --user kay --password from-eval"},
        // No account at all: netrc gives user and password by host.
        {{"--config", dir_ + "/empty", "--server", "smtp.home.test"}, nullptr,
         "--user other --password other-pw --server smtp.home.test"},
    };
    write("empty", "", 0600);
    for (const Case &c : cases) {
        std::vector<std::string> args = c.args;
        Resolved resolved;
        std::string problem;
        ASSERT_TRUE(applyAccount(&args, kSendLike, Protocol::kSmtp, c.env, netrc, &resolved, &problem))
            << problem << " " << joined(c.args);
        EXPECT_EQ(joined(args), c.expected) << joined(c.args);
    }
    std::vector<std::string> pop = {"--config", path};
    Resolved resolved;
    std::string problem;
    ASSERT_TRUE(applyAccount(&pop, {{"--server", Takes::kValue}, {"--user", Takes::kValue},
                                    {"--password", Takes::kValue}},
                             Protocol::kPop3, nullptr, netrc, &resolved, &problem));
    EXPECT_EQ(joined(pop), "--server mail.example.org --user ann --password pa55 word");
    EXPECT_EQ(resolved.unappliedTls, "starttls");  // no --starttls in this table: said, not dropped silently
    std::vector<std::string> unknown = {"--config", path, "--account", "nope"};
    EXPECT_FALSE(applyAccount(&unknown, kSendLike, Protocol::kSmtp, nullptr, netrc, &resolved, &problem));
    EXPECT_EQ(problem, "no account 'nope' in " + path);
    std::string evalProblem;
    std::string password;
    EXPECT_FALSE(evalPassword("exit 3", &password, &evalProblem));
    EXPECT_EQ(evalProblem, "passwordeval 'exit 3' failed");
}

TEST_F(ConfigFiles, ConfigCheckPrintsTheAccountButNoSecret) {
    std::string path = write("config", kWork, 0600);
    std::string problem;
    bool ok = false;
    std::string text = describeAccount({"--config", path}, "", &problem, &ok);
    ASSERT_TRUE(ok) << problem;
    EXPECT_EQ(text, "account: work\nfile: " + path +
                        "\nsmtp server: mail.example.org:587\nuser: ann\npassword: set, from the configuration file\n"
                        "from: Ann Lee <ann@example.org>\ntls: starttls\ncafile: /etc/ca#1.pem\n"
                        "oauth token file: (none)\npop3 server: mail.example.org\n");
    text = describeAccount({"--config", path, "--account", "home"}, "", &problem, &ok);
    ASSERT_TRUE(ok) << problem;
    EXPECT_EQ(text.find("from-eval"), std::string::npos) << text;
    EXPECT_NE(text.find("password: set, from passwordeval\n"), std::string::npos) << text;
    EXPECT_NE(text.find("pop3 server: pop.home.test\n"), std::string::npos) << text;
    text = describeAccount({"--config", path, "--account", "home", "--user", "zed"},
                           "machine smtp.home.test login zed password netrc-secret\n", &problem, &ok);
    EXPECT_EQ(text.find("netrc-secret"), std::string::npos) << text;
    EXPECT_NE(text.find("password: set, from ~/.netrc\n"), std::string::npos) << text;
}

TEST(Netrc, ReadsMachinesDefaultsQuotesAndSkipsMacros) {
    const std::string text = "# mine\n"
                             "machine a.test login ann password one\n"
                             "macdef init\nmachine a.test login evil password evil\n\n"
                             "machine a.test\n  login bob\n  password \"two words\\\"q\"\n"
                             "default login anon password anon-pw\n";
    NetrcEntry first = findNetrc(text, "a.test", "");
    EXPECT_TRUE(first.found);
    EXPECT_EQ(first.login, "ann");
    EXPECT_EQ(first.password, "one");
    NetrcEntry bob = findNetrc(text, "a.test", "bob");
    EXPECT_EQ(bob.password, "two words\"q");
    EXPECT_EQ(findNetrc(text, "a.test", "evil").login, "");  // from a macro body: no entry; default wants anon
    EXPECT_FALSE(findNetrc(text, "a.test", "evil").found);
    NetrcEntry other = findNetrc(text, "b.test", "");
    EXPECT_EQ(other.login, "anon");
    EXPECT_EQ(other.password, "anon-pw");
    EXPECT_FALSE(findNetrc("machine a.test login x password y\n", "b.test", "").found);
}

TEST(ConfigPath, XdgThenHomeThenTheGivenFile) {
    const char *savedXdg = getenv("XDG_CONFIG_HOME");
    const char *savedHome = getenv("HOME");
    std::string xdg = savedXdg ? savedXdg : "", home = savedHome ? savedHome : "";
    setenv("XDG_CONFIG_HOME", "/x/config", 1);
    setenv("HOME", "/home/ann", 1);
    EXPECT_EQ(configPath(""), "/x/config/tevmail/config");
    EXPECT_EQ(configPath("/given"), "/given");
    unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(configPath(""), "/home/ann/.config/tevmail/config");
    if (savedXdg) setenv("XDG_CONFIG_HOME", xdg.c_str(), 1);
    if (savedHome) setenv("HOME", home.c_str(), 1);
    else unsetenv("HOME");
}

}  // namespace
}  // namespace tevmail
