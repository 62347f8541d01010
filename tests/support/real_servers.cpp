// Starts and stops the loopback SMTP and POP3 servers of the end-to-end tests through the scripts in
// support/real/, with a time limit on every step.
#include "support/real_servers.h"

#include "support/scripted_server.h"
#include "support/trace.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>
#include <thread>

extern char **environ;

namespace tevtest {

namespace {

constexpr int kInstallCheckLimitMs = 30000;
constexpr int kInstallLimitMs = 240000;  // inside the 300 s a test may take
constexpr int kSmtpStartLimitMs = 20000;
constexpr int kPop3StartLimitMs = 30000;
constexpr int kStopLimitMs = 15000;
constexpr int kCertificatesLimitMs = 20000;

int64_t nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

bool envFlag(const char *name) {
    const char *value = std::getenv(name);
    return value != nullptr && *value != '\0' && std::strcmp(value, "0") != 0;
}

// The scripts sit beside this file in the source tree.  __FILE__ may be relative to the build directory (a build
// tree inside the sources), which is not where the tests run, so the source directory comes first.
std::string scriptsDir() {
    if (const char *dir = std::getenv("TEV_REAL_SCRIPTS")) return dir;
#ifdef TEV_SOURCE_DIR
    return std::string(TEV_SOURCE_DIR) + "/tests/support/real";
#endif
    std::string file = __FILE__;
    size_t slash = file.rfind('/');
    return (slash == std::string::npos ? std::string(".") : file.substr(0, slash)) + "/real";
}

// Waits for a child until deadline; kills its process group at the deadline. Returns the wait status or -1.
int reap(pid_t pid, int64_t deadline) {
    int status = 0;
    for (;;) {
        pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) return status;
        if (r < 0 && errno != EINTR) return -1;
        if (nowMs() >= deadline) {
            ::kill(-pid, SIGKILL);
            ::kill(pid, SIGKILL);
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// Parses "name=port" words into ports; false when a word is not one.
bool parseNamedPorts(const std::string &words, std::map<std::string, uint16_t> &ports) {
    std::istringstream in(words);
    std::string word;
    while (in >> word) {
        const size_t equals = word.find('=');
        if (equals == std::string::npos || equals == 0) return false;
        unsigned port = 0;
        if (std::sscanf(word.c_str() + equals + 1, "%u", &port) != 1 || port == 0 || port > 65535) return false;
        ports[word.substr(0, equals)] = static_cast<uint16_t>(port);
    }
    return true;
}

struct Spawn {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    Spawn() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attr);
        // Its own process group (so a time-out can kill everything it started), default signal handling.
        sigset_t none, defaults;
        sigemptyset(&none);
        sigemptyset(&defaults);
        for (int sig : {SIGPIPE, SIGTERM, SIGINT, SIGHUP, SIGCHLD}) sigaddset(&defaults, sig);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        posix_spawnattr_setpgroup(&attr, 0);
        posix_spawnattr_setsigmask(&attr, &none);
        posix_spawnattr_setsigdefault(&attr, &defaults);
    }
    ~Spawn() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
    }
    pid_t run(const std::vector<std::string> &argv) {
        std::vector<char *> args;
        for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        pid_t pid = -1;
        if (posix_spawn(&pid, args[0], &actions, &attr, args.data(), environ) != 0) return -1;
        return pid;
    }
};

}  // namespace

int runCommand(const std::vector<std::string> &argv, int limitMs, std::string *output) {
    int64_t deadline = nowMs() + limitMs;
    int fds[2];
    if (argv.empty() || ::pipe2(fds, O_CLOEXEC) != 0) return -1;
    Spawn spawn;
    posix_spawn_file_actions_addopen(&spawn.actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&spawn.actions, fds[1], 1);
    posix_spawn_file_actions_adddup2(&spawn.actions, fds[1], 2);
    pid_t pid = spawn.run(argv);
    ::close(fds[1]);
    if (pid < 0) {
        ::close(fds[0]);
        return -1;
    }
    char buffer[4096];
    for (;;) {
        pollfd pfd = {fds[0], POLLIN, 0};
        int64_t left = deadline - nowMs();
        if (left <= 0) break;
        int n = ::poll(&pfd, 1, static_cast<int>(std::min<int64_t>(left, 1000)));
        if (n < 0 && errno != EINTR) break;
        if (n <= 0) continue;
        ssize_t got = ::read(fds[0], buffer, sizeof buffer);
        if (got > 0) {
            if (output != nullptr) output->append(buffer, static_cast<size_t>(got));
        } else if (got == 0 || errno != EINTR) {
            break;  // every writer is gone
        }
    }
    ::close(fds[0]);
    int status = reap(pid, deadline);
    if (status < 0 || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

bool RealServers::required() { return envFlag("TEV_REQUIRE_REAL_SERVERS"); }

// Never destroyed: the exit handlers stop the servers, and a static destructor must not run after them.
RealServers &RealServers::instance() {
    static RealServers *servers = nullptr;
    static std::once_flag once;
    std::call_once(once, [] {
        servers = new RealServers(false);
        servers->startAll();
        std::atexit([] { servers->stop(); });
    });
    return *servers;
}

RealServers &RealServers::tlsInstance() {
    static RealServers *servers = nullptr;
    static std::once_flag once;
    std::call_once(once, [] {
        servers = new RealServers(true);
        servers->startAll();
        std::atexit([] { servers->stop(); });
    });
    return *servers;
}

uint16_t RealServers::smtpPort(const std::string &name) const {
    const auto found = smtpPorts_.find(name);
    return found == smtpPorts_.end() ? 0 : found->second;
}

void RealServers::startAll() {
    scripts_ = scriptsDir();
    if (::geteuid() != 0) {
        problem_ = "the real servers need root (Dovecot's private instance and the 65534-owned Maildir)";
        return;
    }
    std::string out;
    const std::string installer = scripts_ + "/install_servers.sh";
    if (runCommand({"/bin/sh", installer, "--check"}, kInstallCheckLimitMs, &out) != 0) {
        if (envFlag("TEV_NO_INSTALL")) {
            problem_ = "aiosmtpd or Dovecot is not installed (run " + installer + ")";
            return;
        }
        out.clear();
        if (runCommand({"/bin/sh", installer}, kInstallLimitMs, &out) != 0) {
            problem_ = "installing the servers failed: " + out;
            return;
        }
    }

    char pattern[] = "/tmp/tev-real.XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        problem_ = "mkdtemp failed: " + std::string(std::strerror(errno));
        return;
    }
    dir_ = pattern;
    ::chmod(dir_.c_str(), 0755);

    ipv6_ = tls_ && haveIPv6Loopback();
    if ((tls_ && !makeCertificates()) || !startSmtp() || !startPop3()) {
        std::string why = problem_;
        stop();
        problem_ = why;
        return;
    }
    available_ = true;
}

bool RealServers::makeCertificates() {
    std::string out;
    if (runCommand({"/bin/sh", scripts_ + "/make_test_ca.sh", certsDir()}, kCertificatesLimitMs, &out) != 0) {
        problem_ = "making the test certificates failed: " + out;
        return false;
    }
    return true;
}

bool RealServers::startSmtp() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        problem_ = "pipe failed";
        return false;
    }
    Spawn spawn;
    const std::string log = dir_ + "/smtp.log";
    posix_spawn_file_actions_addopen(&spawn.actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&spawn.actions, fds[1], 1);
    posix_spawn_file_actions_addopen(&spawn.actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    std::vector<std::string> argv = {"/usr/bin/python3", scripts_ + "/smtp_server.py", dir_, user_, password_,
                                     "--owner-pid", std::to_string(::getpid()), "--oauth-token", oauthToken_};
    if (tls_) argv.insert(argv.end(), {"--tls-dir", certsDir()});
    if (ipv6_) argv.push_back("--ipv6");
    smtpPid_ = spawn.run(argv);
    ::close(fds[1]);
    if (smtpPid_ < 0) {
        ::close(fds[0]);
        problem_ = "cannot run /usr/bin/python3";
        return false;
    }

    // The one line "PORTS <auth> <noauth>" says it listens.
    std::string line;
    int64_t deadline = nowMs() + kSmtpStartLimitMs;
    while (line.find('\n') == std::string::npos && nowMs() < deadline) {
        pollfd pfd = {fds[0], POLLIN, 0};
        int n = ::poll(&pfd, 1, static_cast<int>(std::max<int64_t>(1, deadline - nowMs())));
        if (n <= 0) continue;
        char buffer[256];
        ssize_t got = ::read(fds[0], buffer, sizeof buffer);
        if (got <= 0) break;
        line.append(buffer, static_cast<size_t>(got));
    }
    ::close(fds[0]);
    unsigned authPort = 0, plainPort = 0;
    int used = 0;
    if (std::sscanf(line.c_str(), "PORTS %u %u%n", &authPort, &plainPort, &used) != 2 || authPort == 0 ||
        authPort > 65535 || plainPort == 0 || plainPort > 65535 ||
        !parseNamedPorts(line.substr(static_cast<size_t>(used)), smtpPorts_)) {
        problem_ = "the SMTP server did not start (said \"" + showBytes(line) + "\"): " + logTail(log);
        return false;
    }
    smtpAuthPort_ = static_cast<uint16_t>(authPort);
    smtpPlainPort_ = static_cast<uint16_t>(plainPort);
    return true;
}

bool RealServers::startPop3() {
    std::string out;
    // The port is chosen free here and taken by Dovecot a moment later; another process may win the race, so
    // a failed start is tried again with a new port.
    for (int attempt = 0; attempt < 3; ++attempt) {
        const uint16_t port = freeLoopbackPort();
        const uint16_t tlsPort = tls_ ? freeLoopbackPort() : 0;
        if (tls_ && tlsPort == port) continue;
        std::vector<std::string> argv = {"/bin/bash", scripts_ + "/dovecot.sh", "start"};
        if (tls_) argv.insert(argv.end(), {"--tls", certsDir(), std::to_string(tlsPort)});
        if (ipv6_) argv.push_back("--ipv6");
        argv.insert(argv.end(), {dir_, std::to_string(port), user_, password_, std::to_string(::getpid())});
        out.clear();
        int rc = runCommand(argv, kPop3StartLimitMs, &out);
        pop3Running_ = true;  // also after a failure: stop cleans up whatever is left
        if (rc == 0) {
            pop3Port_ = port;
            pop3sPort_ = tlsPort;
            return true;
        }
    }
    problem_ = "Dovecot did not start: " + out;
    return false;
}

void RealServers::stop() {
    if (smtpPid_ > 0) {
        ::kill(smtpPid_, SIGTERM);
        (void)reap(smtpPid_, nowMs() + 3000);  // kills it when SIGTERM was not enough
        smtpPid_ = -1;
    }
    if (pop3Running_) {
        runCommand({"/bin/bash", scripts_ + "/dovecot.sh", "stop", dir_}, kStopLimitMs, nullptr);
        pop3Running_ = false;
    }
    if (!dir_.empty() && !envFlag("TEV_KEEP_REAL_DIR")) removeTree(dir_);
    available_ = false;
    if (problem_.empty()) problem_ = "the servers have been stopped";
}

std::string RealServers::logTail(const std::string &file) const {
    std::string text = readWholeFile(file);
    if (text.size() > 2000) text = "..." + text.substr(text.size() - 2000);
    return text;
}

std::vector<std::string> RealServers::receivedFiles(const char *suffix) const {
    std::vector<std::pair<long, std::string>> numbered;
    const std::string received = dir_ + "/received";
    const size_t suffixLength = std::strlen(suffix);
    for (const std::string &name : listDirectory(received)) {
        if (name.size() <= suffixLength || name.compare(name.size() - suffixLength, suffixLength, suffix) != 0)
            continue;
        std::string number = name.substr(0, name.size() - suffixLength);
        if (number.empty() || number.size() > 9 ||
            number.find_first_not_of("0123456789") != std::string::npos)
            continue;
        numbered.emplace_back(std::stol(number), received + "/" + name);
    }
    std::sort(numbered.begin(), numbered.end());
    std::vector<std::string> contents;
    for (const auto &entry : numbered) contents.push_back(readWholeFile(entry.second));
    return contents;
}

std::vector<std::string> RealServers::receivedMessages() const { return receivedFiles(".eml"); }

std::vector<std::string> RealServers::receivedEnvelopes() const { return receivedFiles(".envelope"); }

void RealServers::clearMessages() {
    for (const char *sub : {"/new", "/cur"}) {
        const std::string path = maildir() + sub;
        for (const std::string &name : listDirectory(path)) ::unlink((path + "/" + name).c_str());
    }
    const std::string received = dir_ + "/received";
    for (const std::string &name : listDirectory(received)) ::unlink((received + "/" + name).c_str());
}

}  // namespace tevtest
