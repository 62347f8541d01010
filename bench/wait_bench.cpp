// Waiting and many channels: the CPU a thread spends while a server takes 3 s to answer (auto-call on, and the
// README's own driver loop with auto-call off), then 128 channels driven from one thread by a poll() loop over
// their sockets against aiosmtpd (started from tests/support/real), each sending 20 messages, with the time of
// the 128 closes, and the message rate at 128 channels against the rate at one.
//
//     wait_bench [reply delay ms (3000)] [channels (128)] [messages per channel (20)]
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tev32.h"

namespace {

double wallSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double threadCpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_THREAD, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// A server on its own thread that greets, waits `delayMs` before it answers HELO, then answers QUIT.
class SlowServer {
public:
    explicit SlowServer(int delayMs) : delayMs_(delayMs) {
        listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
            ::listen(listenFd_, 4) != 0) {
            std::perror("slow server");
            std::exit(1);
        }
        socklen_t length = sizeof addr;
        ::getsockname(listenFd_, reinterpret_cast<sockaddr *>(&addr), &length);
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~SlowServer() {
        if (thread_.joinable()) thread_.join();
        ::close(listenFd_);
    }
    uint16_t port() const { return port_; }

private:
    static void say(int fd, const char *text) { ::send(fd, text, std::strlen(text), MSG_NOSIGNAL); }
    static bool readLine(int fd) {
        char c;
        while (::recv(fd, &c, 1, 0) == 1) {
            if (c == '\n') return true;
        }
        return false;
    }
    void serve() {
        const int fd = ::accept(listenFd_, nullptr, nullptr);
        if (fd < 0) return;
        say(fd, "220 slow\r\n");
        if (readLine(fd)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(delayMs_));
            say(fd, "250 at last\r\n");
        }
        if (readLine(fd)) say(fd, "221 bye\r\n");
        char scrap[64];
        while (::recv(fd, scrap, sizeof scrap, 0) > 0) {
        }
        ::close(fd);
    }
    int delayMs_;
    int listenFd_ = -1;
    uint16_t port_ = 0;
    std::thread thread_;
};

// The README's driver loop: on 9999 or the same state again, poll() what the library says the channel waits for.
int32_t readmeLoop(int32_t ch) {
    int32_t rc, previous = 0;
    while ((rc = tevDriver(ch)) > 0) {
        if (rc == 9999 || rc == previous) {
            const int32_t events = tevStatistics(ch, TEV_STAT_WAIT_EVENTS);
            const int32_t ms = tevStatistics(ch, TEV_STAT_WAIT_MS);
            if (events != 0 || ms != 0) {
                pollfd entry{tevStatistics(ch, TEV_STAT_SOCKET), static_cast<short>(events == 1 ? POLLIN : POLLOUT), 0};
                ::poll(events != 0 ? &entry : nullptr, events != 0 ? 1 : 0, ms != 0 ? ms : -1);
            }
        }
        previous = rc;
    }
    return rc;
}

// CPU seconds the calling thread spent on a connect whose HELO reply takes delayMs.
void measureSlowReply(int delayMs, bool autoCall) {
    SlowServer server(delayMs);
    tevAttach(1);
    tevIntegerParam(0, TEV_SMTP_PORT, server.port());
    tevIntegerParam(0, TEV_AUTO_CALL, autoCall ? 1 : 0);
    const double wall0 = wallSeconds(), cpu0 = threadCpuSeconds();
    int32_t rc = tevSmtpConnect(0, "127.0.0.1", "<bench@example.com>", nullptr);
    if (!autoCall && rc == 0) rc = readmeLoop(0);
    const double wall = wallSeconds() - wall0, cpu = threadCpuSeconds() - cpu0;
    tevIntegerParam(0, TEV_AUTO_CALL, 1);
    tevIntegerParam(0, TEV_CLOSE_PAUSE, 0);
    tevClose(0);
    tevIntegerParam(0, TEV_CLOSE_PAUSE, 500);
    tevRelease();
    std::printf("  %-34s result %d, wall %.3f s, CPU %.4f s = %.2f %% of a core (target <= 2 %%)\n",
                autoCall ? "auto-call on:" : "README loop, auto-call off:", static_cast<int>(rc), wall, cpu,
                100.0 * cpu / wall);
}

// aiosmtpd from the fixture scripts, in a directory of its own; stopped with the bench.
class Aiosmtpd {
public:
    bool start() {
        char pattern[] = "/tmp/tev-wait-bench-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) return false;
        dir_ = pattern;
        int out[2];
        if (::pipe(out) != 0) return false;
        const std::string owner = std::to_string(::getpid());
        const std::string script = std::string(TEV_SOURCE_DIR) + "/tests/support/real/smtp_server.py";
        const std::string log = dir_ + "/smtp.log";
        pid_ = ::fork();
        if (pid_ == 0) {
            const int errors = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
            if (errors >= 0) ::dup2(errors, 2);
            ::dup2(out[1], 1);
            ::close(out[0]);
            ::close(out[1]);
            ::execl("/usr/bin/python3", "python3", script.c_str(), dir_.c_str(), "bench", "bench-pass",
                    "--owner-pid", owner.c_str(), static_cast<char *>(nullptr));
            ::_exit(127);
        }
        ::close(out[1]);
        std::string line;
        char c;
        pollfd p{out[0], POLLIN, 0};
        while (line.find('\n') == std::string::npos && ::poll(&p, 1, 20000) == 1 && ::read(out[0], &c, 1) == 1) {
            line += c;
        }
        ::close(out[0]);
        unsigned auth = 0, plain = 0;
        if (std::sscanf(line.c_str(), "PORTS %u %u", &auth, &plain) != 2) return false;
        port_ = static_cast<uint16_t>(plain);
        return true;
    }
    ~Aiosmtpd() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
        if (!dir_.empty()) {
            const std::string command = "rm -rf '" + dir_ + "'";
            if (std::system(command.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", dir_.c_str());
        }
    }
    uint16_t port() const { return port_; }

private:
    std::string dir_;
    pid_t pid_ = -1;
    uint16_t port_ = 0;
};

struct ChannelsResult {
    double connect = 0, send = 0, close = 0;
    int failed = 0;
};

enum class Phase { connecting, sending, closing, done, failed };

struct Channel {
    Phase phase = Phase::connecting;
    int sent = 0;
    bool ready = false;
};

// Connects `count` channels, sends `messages` from each and closes them, all from this thread: the loop polls
// the sockets the channels wait on and runs a driver step on every channel that can go on.
ChannelsResult runChannels(int count, int messages, uint16_t port) {
    std::vector<Channel> channels(static_cast<size_t>(count));
    ChannelsResult result;
    tevAttach(count);
    tevIntegerParam(0, TEV_EARLY_REPLY, 1);
    if (const char *trace = std::getenv("WAIT_BENCH_TRACE")) tevStringParam(0, TEV_LOG_FILE, trace);
    auto startNext = [&](int32_t ch) -> int32_t {
        Channel &c = channels[static_cast<size_t>(ch)];
        if (c.phase == Phase::connecting) {
            c.phase = Phase::sending;
        } else if (c.phase == Phase::sending) {
            ++c.sent;
        } else {
            c.phase = Phase::done;
            return 0;
        }
        if (c.sent < messages) {
            return tevSendEmail(ch, "<bob@example.com>", nullptr, nullptr, "bench", "A short message.\nTwo lines.",
                                nullptr);
        }
        c.phase = Phase::closing;
        return tevClose(ch);
    };
    auto runPhase = [&](Phase phase) {
        std::vector<pollfd> fds;
        std::vector<int32_t> owner;
        for (;;) {
            fds.clear();
            owner.clear();
            int timeout = 1000, active = 0;
            for (int32_t ch = 0; ch < count; ++ch) {
                if (channels[static_cast<size_t>(ch)].phase != phase) continue;
                ++active;
                const int32_t events = tevStatistics(ch, TEV_STAT_WAIT_EVENTS);
                const int32_t ms = tevStatistics(ch, TEV_STAT_WAIT_MS);
                if (events == 0 && ms == 0) {
                    timeout = 0;
                    continue;
                }
                if (events != 0) {
                    fds.push_back({tevStatistics(ch, TEV_STAT_SOCKET), static_cast<short>(events == 1 ? POLLIN : POLLOUT), 0});
                    owner.push_back(ch);
                }
                if (ms > 0 && ms < timeout) timeout = ms;
            }
            if (active == 0) return;
            if (timeout != 0 || !fds.empty()) {
                ::poll(fds.data(), fds.size(), timeout);
                for (size_t i = 0; i < fds.size(); ++i) {
                    if (fds[i].revents != 0) channels[static_cast<size_t>(owner[i])].ready = true;
                }
            }
            for (int32_t ch = 0; ch < count; ++ch) {
                Channel &c = channels[static_cast<size_t>(ch)];
                if (c.phase != phase) continue;
                if (!c.ready && !(tevStatistics(ch, TEV_STAT_WAIT_EVENTS) == 0 && tevStatistics(ch, TEV_STAT_WAIT_MS) == 0)) {
                    continue;
                }
                c.ready = false;
                int32_t rc = tevDriver(ch);
                if (rc == 0) rc = startNext(ch);
                if (rc < 0) {
                    std::fprintf(stderr, "channel %d failed: %d\n", static_cast<int>(ch), static_cast<int>(rc));
                    c.phase = Phase::failed;
                }
            }
        }
    };
    const double t0 = wallSeconds();
    for (int32_t ch = 0; ch < count; ++ch) {
        tevIntegerParam(ch, TEV_AUTO_CALL, 0);
        tevIntegerParam(ch, TEV_SMTP_PORT, port);
        if (tevSmtpConnect(ch, "127.0.0.1", "<ann@example.com>", nullptr) < 0) channels[static_cast<size_t>(ch)].phase = Phase::failed;
    }
    runPhase(Phase::connecting);
    const double t1 = wallSeconds();
    runPhase(Phase::sending);
    const double t2 = wallSeconds();
    runPhase(Phase::closing);
    const double t3 = wallSeconds();
    for (const Channel &c : channels) result.failed += c.phase != Phase::done;
    result.connect = t1 - t0;
    result.send = t2 - t1;
    result.close = t3 - t2;
    tevRelease();
    tevIntegerParam(0, TEV_EARLY_REPLY, 0);
    return result;
}

}  // namespace

int main(int argc, char **argv) {
    const int delayMs = argc > 1 ? std::atoi(argv[1]) : 3000;
    const int channels = argc > 2 ? std::atoi(argv[2]) : 128;
    const int messages = argc > 3 ? std::atoi(argv[3]) : 20;
    if (delayMs < 0 || channels < 1 || channels > TEV_MAX_CHANNELS || messages < 1) {
        std::fprintf(stderr, "usage: wait_bench [reply delay ms] [channels 1..%d] [messages]\n", TEV_MAX_CHANNELS);
        return 2;
    }
    std::printf("CPU while the server takes %d ms to answer HELO (defaults: step delay 25, poll sleep 100):\n", delayMs);
    measureSlowReply(delayMs, true);
    measureSlowReply(delayMs, false);

    Aiosmtpd server;
    if (!server.start()) {
        std::fprintf(stderr, "wait_bench: aiosmtpd did not start (needs python3-aiosmtpd)\n");
        return 1;
    }
    std::printf("aiosmtpd on port %u; early replies on, close pause 500 ms (the default):\n",
                static_cast<unsigned>(server.port()));
    const ChannelsResult one = runChannels(1, messages, server.port());
    const ChannelsResult many = runChannels(channels, messages, server.port());
    const double oneRate = messages / one.send, manyRate = static_cast<double>(channels) * messages / many.send;
    std::printf("  1 channel x %d messages:   connect %.3f s, send %.3f s = %.1f messages/s, close %.3f s, %d failed\n",
                messages, one.connect, one.send, oneRate, one.close, one.failed);
    std::printf("  %d channels x %d messages: connect %.3f s, send %.3f s = %.1f messages/s, close %.3f s "
                "(target <= 2 s), %d failed\n",
                channels, messages, many.connect, many.send, manyRate, many.close, many.failed);
    std::printf("  messages/s at %d channels / at 1 channel: %.2fx (target >= 2x)\n", channels, manyRate / oneRate);
    return many.failed == 0 && one.failed == 0 ? 0 : 1;
}
