// Real mail servers on loopback for the end-to-end tests: aiosmtpd (SMTP, one port with AUTH PLAIN, LOGIN and
// CRAM-MD5, one without AUTH, and smtpPort("sasl") / smtpPort("badsig") with SCRAM and OAuth) delivering into a
// Maildir, and a private Dovecot serving that Maildir over POP3 (USER/PASS, APOP, and AUTH PLAIN, LOGIN,
// CRAM-MD5, SCRAM-SHA-1 and SCRAM-SHA-256). Started once per test program in a fresh directory under /tmp, stopped when the program
// exits; the scripts in support/real/ do the work, and the servers stop by themselves if the program dies.
//
//     TEST(RoundTrip, Something) {
//         TEV_USE_REAL_SERVERS(servers);          // skips the test when the servers cannot run here
//         ... connect to 127.0.0.1:servers.smtpAuthPort() ...
//     }
//
// A second, separate set serves TLS (its own directory, Maildir and processes; the test CA made by
// support/real/make_test_ca.sh in dir()/certs):
//
//     TEST(Tls, Something) {
//         TEV_USE_TLS_SERVERS(servers);
//         ... implicit TLS at 127.0.0.1:servers.smtpPort("implicit"), trusting servers.caFile() ...
//     }
//
// Set TEV_REQUIRE_REAL_SERVERS=1 (CI does) to fail instead of skipping, and TEV_NO_INSTALL=1 to never run the
// package installer from a test.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace tevtest {

class RealServers {
public:
    // The servers of this process, started on first use. Never null; check available().
    static RealServers &instance();
    // The TLS servers of this process, started on first use (independent of instance()). Never null.
    static RealServers &tlsInstance();

    bool available() const { return available_; }
    // Why the servers are not available (with the tail of their logs).
    const std::string &problem() const { return problem_; }
    // True when an unavailable server must fail the test instead of skipping it.
    static bool required();

    uint16_t smtpAuthPort() const { return smtpAuthPort_; }
    uint16_t smtpPlainPort() const { return smtpPlainPort_; }
    uint16_t pop3Port() const { return pop3Port_; }

    // ---- TLS set only (tlsInstance()); every port serves 127.0.0.1 unless its name ends in 6 (::1) ----
    // SMTP ports by name, 0 when not served. All offer AUTH PLAIN, LOGIN and CRAM-MD5 for user():
    //   "starttls"   STARTTLS offered and required (530 before it), AUTH only after it
    //   "offer"      STARTTLS offered, not required, AUTH in the clear too
    //   "implicit"   TLS from the first byte, good certificate (IP:127.0.0.1, IP:::1, DNS:localhost)
    //   "wronghost" (DNS:other.tev.test), "expired" (January 2020), "unknownca" (a CA nobody trusts): implicit
    //                TLS with a certificate that fails verification; the handshake fails before any greeting,
    //                so these serve the failure tests of either protocol
    //   "auth6", "starttls6", "implicit6"   as "auth" (smtpAuthPort), "starttls", "implicit" on ::1 (ipv6())
    // Both sets, clear text:
    //   "sasl"       AUTH SCRAM-SHA-1 SCRAM-SHA-256 (user() and password()), XOAUTH2 OAUTHBEARER (user() and
    //                oauthToken(); a wrong token gets the JSON error challenge, then 535), nothing else
    //   "badsig"     as "sasl", but the SCRAM server signature is wrong (one bit flipped); the 235 still follows
    // smtpAuthPort() and smtpPlainPort() serve the clear text ports of instance() (no STARTTLS).
    uint16_t smtpPort(const std::string &name) const;
    // Dovecot with `ssl = required`: pop3Port() offers STLS (plaintext logins still work from loopback), this one
    // is implicit TLS (as port 995). Both on ::1 too when ipv6().
    uint16_t pop3sPort() const { return pop3sPort_; }
    bool tls() const { return tls_; }
    // True when the ports ending in 6 (and Dovecot's on ::1) are served: this machine has ::1.
    bool ipv6() const { return ipv6_; }
    // The test CA (PEM) and the directory of every certificate and key (see make_test_ca.sh).
    std::string caFile() const { return dir_ + "/certs/ca.pem"; }
    std::string certsDir() const { return dir_ + "/certs"; }
    const std::string &user() const { return user_; }
    const std::string &password() const { return password_; }
    // The OAuth 2 access token the "sasl" and "badsig" ports accept for user().
    const std::string &oauthToken() const { return oauthToken_; }
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
    explicit RealServers(bool tls) : tls_(tls) {}
    void startAll();
    bool makeCertificates();
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
    std::string oauthToken_ = "ya29.tev-test-token_42";
    uint16_t smtpAuthPort_ = 0;
    uint16_t smtpPlainPort_ = 0;
    uint16_t pop3Port_ = 0;
    uint16_t pop3sPort_ = 0;
    std::map<std::string, uint16_t> smtpPorts_;
    bool tls_ = false;
    bool ipv6_ = false;
    int smtpPid_ = -1;
    bool pop3Running_ = false;
};

// Runs a command (argv[0] a path) with a time limit, stdin from /dev/null, stdout and stderr into output.
// Returns its exit status, or -1 when it could not run, died of a signal or was killed at the limit.
int runCommand(const std::vector<std::string> &argv, int limitMs, std::string *output);

}  // namespace tevtest

// Binds name to the real servers; skips the test (or fails it, under TEV_REQUIRE_REAL_SERVERS) when they are
// not available.
#define TEV_USE_REAL_SERVERS(name) TEV_USE_SERVERS_OF_(name, instance, "real servers")
// As TEV_USE_REAL_SERVERS, for the TLS servers.
#define TEV_USE_TLS_SERVERS(name) TEV_USE_SERVERS_OF_(name, tlsInstance, "TLS servers")

#define TEV_USE_SERVERS_OF_(name, which, what)                                          \
    ::tevtest::RealServers &name = ::tevtest::RealServers::which();                     \
    if (!name.available()) {                                                            \
        if (::tevtest::RealServers::required()) GTEST_FAIL() << name.problem();         \
        GTEST_SKIP() << what " not available: " << name.problem();                     \
    }                                                                                   \
    static_cast<void>(0)
