// Real mail servers on loopback for the end-to-end tests: aiosmtpd (SMTP, one port with AUTH PLAIN, LOGIN and
// CRAM-MD5, one without AUTH) delivering into a Maildir, and a private Dovecot serving that Maildir over POP3
// (USER/PASS and APOP). Started once per test program in a fresh directory under /tmp, stopped when the program
// exits; the scripts in support/real/ do the work, and the servers stop by themselves if the program dies.
//
//     TEST(RoundTrip, Something) {
//         TEV_USE_REAL_SERVERS(servers);          // skips the test when the servers cannot run here
//         ... connect to 127.0.0.1:servers.smtpAuthPort() ...
//     }
//
// Set TEV_REQUIRE_REAL_SERVERS=1 (CI does) to fail instead of skipping, and TEV_NO_INSTALL=1 to never run the
// package installer from a test.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tevtest {

class RealServers {
public:
    // The servers of this process, started on first use. Never null; check available().
    static RealServers &instance();

    bool available() const { return available_; }
    // Why the servers are not available (with the tail of their logs).
    const std::string &problem() const { return problem_; }
    // True when an unavailable server must fail the test instead of skipping it.
    static bool required();

    uint16_t smtpAuthPort() const { return smtpAuthPort_; }
    uint16_t smtpPlainPort() const { return smtpPlainPort_; }
    uint16_t pop3Port() const { return pop3Port_; }
    const std::string &user() const { return user_; }
    const std::string &password() const { return password_; }
    // The servers' directory, and the Maildir both of them use.
    const std::string &dir() const { return dir_; }
    std::string maildir() const { return dir_ + "/mail/Maildir"; }

    // The exact bytes of every message the SMTP server accepted, oldest first (dot-stuffing removed, without
    // the end-of-data line). A message is there before the server's 250 reply to its end of data.
    std::vector<std::string> receivedMessages() const;
    // For each of those: "MAIL FROM:<a>\n", one "RCPT TO:<b>\n" per recipient, "AUTH user\n" when authenticated.
    std::vector<std::string> receivedEnvelopes() const;
    // Removes every delivered message from the Maildir and from the received list (between tests).
    void clearMessages();

    // Stops both servers and removes the directory; called at exit. Safe to call twice.
    void stop();

private:
    RealServers() = default;
    void startAll();
    bool startSmtp();
    bool startPop3();
    std::string logTail(const std::string &file) const;
    std::vector<std::string> receivedFiles(const char *suffix) const;

    bool available_ = false;
    std::string problem_;
    std::string scripts_;
    std::string dir_;
    std::string user_ = "tevuser";
    std::string password_ = "Tev-pass.42";
    uint16_t smtpAuthPort_ = 0;
    uint16_t smtpPlainPort_ = 0;
    uint16_t pop3Port_ = 0;
    int smtpPid_ = -1;
    bool pop3Running_ = false;
};

// Runs a command (argv[0] a path) with a time limit, stdin from /dev/null, stdout and stderr into output.
// Returns its exit status, or -1 when it could not run, died of a signal or was killed at the limit.
int runCommand(const std::vector<std::string> &argv, int limitMs, std::string *output);

}  // namespace tevtest

// Binds name to the real servers; skips the test (or fails it, under TEV_REQUIRE_REAL_SERVERS) when they are
// not available.
#define TEV_USE_REAL_SERVERS(name)                                                      \
    ::tevtest::RealServers &name = ::tevtest::RealServers::instance();                  \
    if (!name.available()) {                                                            \
        if (::tevtest::RealServers::required()) GTEST_FAIL() << name.problem();         \
        GTEST_SKIP() << "real servers not available: " << name.problem();              \
    }                                                                                   \
    static_cast<void>(0)
