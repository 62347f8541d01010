// What TLS costs: the same 10 MiB send and the same 10 MiB fetch and decode, in the clear and over TLS, in one run
// against the same loopback servers: aiosmtpd (its AUTH port in the clear, STARTTLS required, implicit TLS) and
// Dovecot (USER/PASS in the clear and with STLS on its POP3 port, implicit TLS on its pop3s port), started from the
// test fixtures' scripts with a test CA made for the run.  Each case runs `rounds` times; the best wall time counts.
// Prints wall and client CPU seconds per case and the TLS / clear ratio of both.
//
//     tls_bench [attachment MiB (10)] [rounds (3)]
//
// Needs root (Dovecot's private instance), python3-aiosmtpd, dovecot-pop3d and the openssl command; exits 77 when
// they are missing.
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "noise_file.h"
#include "tev32.h"

namespace {

const std::string kScripts = std::string(TEV_SOURCE_DIR) + "/tests/support/real";
const char kUser[] = "bench";
const char kPassword[] = "Bench-pass.7";

// Runs argv to its end; its exit status, or -1.
int run(const std::vector<std::string> &args) {
    std::vector<char *> argv;
    for (const std::string &arg : args) argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t pid = ::fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

// A free loopback port (free when asked; the server binds it a moment later).
uint16_t freePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    uint16_t port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &length) == 0) {
        port = ntohs(addr.sin_port);
    }
    if (fd >= 0) ::close(fd);
    return port;
}

// Both servers of the run in one scratch directory; stopped and removed at the end.
class Servers {
public:
    bool start(const std::string &dir) {
        dir_ = dir;
        if (run({"/bin/sh", kScripts + "/make_test_ca.sh", dir + "/certs"}) != 0) return fail("make_test_ca.sh");
        if (!startSmtp()) return false;
        for (int attempt = 0; attempt < 3 && pop3Port_ == 0; ++attempt) {
            uint16_t port = freePort(), tlsPort = freePort();
            if (port == 0 || tlsPort == 0 || port == tlsPort) continue;
            if (run({"/bin/bash", kScripts + "/dovecot.sh", "start", "--tls", dir + "/certs", std::to_string(tlsPort),
                     dir, std::to_string(port), kUser, kPassword, std::to_string(::getpid())}) == 0) {
                pop3Port_ = port;
                pop3sPort_ = tlsPort;
            }
        }
        return pop3Port_ != 0 || fail("dovecot.sh start");
    }
    ~Servers() {
        if (smtpPid_ > 0) {
            ::kill(smtpPid_, SIGTERM);
            ::waitpid(smtpPid_, nullptr, 0);
        }
        if (pop3Port_ != 0) run({"/bin/bash", kScripts + "/dovecot.sh", "stop", dir_});
        if (!dir_.empty()) run({"/bin/rm", "-rf", dir_});
    }
    uint16_t smtp(const char *name) const {
        for (const auto &entry : smtpPorts_) {
            if (entry.first == name) return entry.second;
        }
        return 0;
    }
    uint16_t pop3() const { return pop3Port_; }
    uint16_t pop3s() const { return pop3sPort_; }
    std::string caFile() const { return dir_ + "/certs/ca.pem"; }
    // Removes what the SMTP server delivered after the first message, which stays for the fetches.
    void keepFirstMessageOnly() {
        for (const char *sub : {"/mail/Maildir/new", "/received"}) {
            std::vector<std::string> names = list(dir_ + sub);
            std::sort(names.begin(), names.end());
            std::set<std::string> &kept = kept_[sub];
            if (kept.empty()) {
                kept.insert(names.begin(), names.end());
                continue;
            }
            for (const std::string &name : names) {
                if (!kept.count(name)) ::unlink((dir_ + sub + "/" + name).c_str());
            }
        }
    }

private:
    static bool fail(const char *what) {
        std::fprintf(stderr, "tls_bench: %s failed\n", what);
        return false;
    }
    static std::vector<std::string> list(const std::string &path) {
        std::vector<std::string> names;
        if (DIR *d = ::opendir(path.c_str())) {
            while (dirent *e = ::readdir(d)) {
                if (e->d_name[0] != '.') names.push_back(e->d_name);
            }
            ::closedir(d);
        }
        return names;
    }
    bool startSmtp() {
        int out[2];
        if (::pipe(out) != 0) return fail("pipe");
        const std::string pid = std::to_string(::getpid()), certs = dir_ + "/certs";
        const std::string log = dir_ + "/smtp.log";
        smtpPid_ = ::fork();
        if (smtpPid_ == 0) {
            int errors = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
            if (errors >= 0) ::dup2(errors, 2);  // aiosmtpd's warnings stay out of the figures
            ::dup2(out[1], 1);
            ::close(out[0]);
            ::close(out[1]);
            ::execl("/usr/bin/python3", "python3", (kScripts + "/smtp_server.py").c_str(), dir_.c_str(), kUser,
                    kPassword, "--owner-pid", pid.c_str(), "--tls-dir", certs.c_str(), static_cast<char *>(nullptr));
            ::_exit(127);
        }
        ::close(out[1]);
        // "PORTS <auth> <noauth> name=<port> ..." once everything listens.
        std::string line;
        char c;
        pollfd p{out[0], POLLIN, 0};
        while (line.find('\n') == std::string::npos && ::poll(&p, 1, 20000) == 1 && ::read(out[0], &c, 1) == 1) {
            line += c;
        }
        ::close(out[0]);
        unsigned auth = 0, plain = 0;
        int used = 0;
        if (std::sscanf(line.c_str(), "PORTS %u %u%n", &auth, &plain, &used) != 2) return fail("smtp_server.py");
        smtpPorts_.push_back({"auth", static_cast<uint16_t>(auth)});
        const char *rest = line.c_str() + used;
        char name[32];
        unsigned port = 0;
        int step = 0;
        while (std::sscanf(rest, " %31[^=]=%u%n", name, &port, &step) == 2) {
            smtpPorts_.push_back({name, static_cast<uint16_t>(port)});
            rest += step;
        }
        return smtp("starttls") != 0 && smtp("implicit") != 0;
    }

    std::string dir_;
    pid_t smtpPid_ = -1;
    std::vector<std::pair<std::string, uint16_t>> smtpPorts_;
    uint16_t pop3Port_ = 0, pop3sPort_ = 0;
    std::map<std::string, std::set<std::string>> kept_;
};

struct Clock {
    double wall;
    double cpu;
};

Clock now() {
    rusage self{};
    ::getrusage(RUSAGE_SELF, &self);
    auto sec = [](timeval t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
    return Clock{std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(),
                 sec(self.ru_utime) + sec(self.ru_stime)};
}

void check(int32_t rc, const char *what) {
    if (rc == 0) return;
    char text[512];
    tevErrorText(0, rc, text, sizeof text);
    std::fprintf(stderr, "tls_bench: %s failed: %s (%d)\n", what, text, static_cast<int>(rc));
    std::exit(1);
}

struct Case {
    const char *name;
    int32_t tlsMode;
};

// The timed part of one case: the transfer only (connect, handshake and login are outside).
struct Best {
    double wall = 1e9;
    double cpu = 1e9;
    std::string tls;
    void keep(const Clock &start, const Clock &end) {
        wall = std::min(wall, end.wall - start.wall);
        cpu = std::min(cpu, end.cpu - start.cpu);
    }
};

void useTls(int32_t mode, const Servers &servers) {
    tevIntegerParam(0, TEV_TLS_MODE, mode);
    tevStringParam(0, TEV_TLS_CA_FILE, servers.caFile().c_str());
}

std::string tlsDescription() {
    if (tevStatistics(0, TEV_STAT_TLS) != 1) return "clear";
    char text[128];
    return tevDebug(0, TEV_DEBUG_TLS, text, sizeof text) > 0 ? text : "TLS";
}

Best sendOnce(const Case &c, uint16_t port, const std::string &file, Servers &servers, int rounds) {
    Best best;
    for (int round = 0; round < rounds; ++round) {
        tevIntegerParam(0, TEV_SMTP_PORT, port);
        tevIntegerParam(0, TEV_USE_EHLO, 1);
        tevStringParam(0, TEV_AUTH_USER, kUser);
        tevStringParam(0, TEV_AUTH_PASSWORD, kPassword);
        useTls(c.tlsMode, servers);
        check(tevSmtpConnect(0, "127.0.0.1", "Bench <bench@example.com>", nullptr), "tevSmtpConnect");
        best.tls = tlsDescription();
        Clock start = now();
        check(tevSendEmail(0, "<sink@example.com>", nullptr, nullptr, "large", "One large file.", file.c_str()),
              "tevSendEmail");
        best.keep(start, now());
        tevClose(0);
        servers.keepFirstMessageOnly();
    }
    return best;
}

Best fetchOnce(const Case &c, uint16_t port, const std::string &dir, Servers &servers, int rounds) {
    Best best;
    for (int round = 0; round < rounds; ++round) {
        tevIntegerParam(0, TEV_POP3_PORT, port);
        useTls(c.tlsMode, servers);
        check(tevPop3Connect(0, "127.0.0.1", kUser, kPassword), "tevPop3Connect");
        best.tls = tlsDescription();
        Clock start = now();
        check(tevGetEmailFile(0, 1, "message.txt", dir.c_str(), dir.c_str()), "tevGetEmailFile");
        best.keep(start, now());
        tevClose(0);
    }
    return best;
}

void print(const char *what, const char *name, const Best &best, double mib, const Best *clear) {
    std::printf("  %-6s %-22s %7.3f s  %7.1f MiB/s  client CPU %6.3f s", what, name, best.wall, mib / best.wall,
                best.cpu);
    if (clear != nullptr) std::printf("  x%.2f of clear (CPU x%.2f)", best.wall / clear->wall, best.cpu / clear->cpu);
    std::printf("  [%s]\n", best.tls.c_str());
}

}  // namespace

int main(int argc, char **argv) {
    const size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 10;
    const int rounds = argc > 2 ? std::max(1, static_cast<int>(std::strtol(argv[2], nullptr, 10))) : 3;
    if (::geteuid() != 0 || run({"/bin/sh", kScripts + "/install_servers.sh", "--check"}) != 0 ||
        ::access("/usr/bin/openssl", X_OK) != 0) {
        std::fprintf(stderr, "tls_bench: needs root, aiosmtpd, Dovecot and openssl (tests/support/real)\n");
        return 77;
    }
    char scratch[] = "/tmp/tev-tls-bench.XXXXXX";
    if (!::mkdtemp(scratch)) return 1;
    ::chmod(scratch, 0755);  // Dovecot's mail user passes through it
    const std::string dir = scratch;
    const std::string attachment = dir + "/large.bin";
    const std::string out = dir + "/out";
    if (!bench::writeNoiseFile(attachment, mib << 20) || ::mkdir(out.c_str(), 0700) != 0) return 1;

    {
        Servers servers;
        if (!servers.start(dir)) return 1;
        if (tevAttach(1) != 1) return 1;
        tevIntegerParam(0, TEV_STEP_DELAY, 0);
        tevIntegerParam(0, TEV_LINE_DELAY, 0);
        tevIntegerParam(0, TEV_POLL_SLEEP, 0);
        tevIntegerParam(0, TEV_RESPONSE_TIMEOUT, 60000);
        tevIntegerParam(0, TEV_SEND_TIMEOUT, 60000);
        tevIntegerParam(0, TEV_READ_TIMEOUT, 60000);

        const Case clear{"clear", 0}, starttls{"STARTTLS / STLS", 1}, implicit{"implicit TLS", 2};
        // The first send puts the message the fetches read into the Maildir (and warms the servers up).
        sendOnce(clear, servers.smtp("auth"), attachment, servers, 1);
        std::printf("tls_bench: %zu MiB attachment, best of %d rounds, loopback aiosmtpd and Dovecot\n", mib, rounds);
        Best sendClear = sendOnce(clear, servers.smtp("auth"), attachment, servers, rounds);
        Best sendStart = sendOnce(starttls, servers.smtp("starttls"), attachment, servers, rounds);
        Best sendImplicit = sendOnce(implicit, servers.smtp("implicit"), attachment, servers, rounds);
        const double mimeMiB = static_cast<double>(mib);
        print("send", clear.name, sendClear, mimeMiB, nullptr);
        print("send", starttls.name, sendStart, mimeMiB, &sendClear);
        print("send", implicit.name, sendImplicit, mimeMiB, &sendClear);

        Best fetchClear = fetchOnce(clear, servers.pop3(), out, servers, rounds);
        Best fetchStart = fetchOnce(starttls, servers.pop3(), out, servers, rounds);
        Best fetchImplicit = fetchOnce(implicit, servers.pop3s(), out, servers, rounds);
        print("fetch", clear.name, fetchClear, mimeMiB, nullptr);
        print("fetch", starttls.name, fetchStart, mimeMiB, &fetchClear);
        print("fetch", implicit.name, fetchImplicit, mimeMiB, &fetchClear);
        tevRelease();
        const double worst = std::max({sendStart.wall / sendClear.wall, sendImplicit.wall / sendClear.wall,
                                       fetchStart.wall / fetchClear.wall, fetchImplicit.wall / fetchClear.wall});
        std::printf("tls_bench: worst TLS / clear wall ratio x%.2f (target at most x1.50)\n", worst);
    }
    return 0;
}
