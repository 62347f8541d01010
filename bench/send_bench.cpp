// Sending throughput: one message with a 10 MiB attachment, and 200 messages of 2 KiB text on one session, sent
// to a minimal SMTP sink on loopback that runs on its own thread (it answers every command at once and reads the
// data in large blocks).  Prints the attachment's MB/s, messages per second, CPU seconds and the peak resident
// size, which must not grow with the attachment: the file is streamed, 57 bytes per line.
//
//     send_bench [attachment MiB (10)] [messages (200)]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "noise_file.h"
#include "tev32.h"

namespace {

// A sink that speaks just enough SMTP: 220 on connect, 250 to every command, 354 to DATA, then 250 once the data
// ends with CR LF "." CR LF, 221 to QUIT.  It keeps no more than one read block of the data.
class SmtpSink {
public:
    SmtpSink() {
        listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = 0;
        if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
            ::listen(listenFd_, 4) != 0) {
            std::perror("sink");
            std::exit(1);
        }
        socklen_t length = sizeof addr;
        ::getsockname(listenFd_, reinterpret_cast<sockaddr *>(&addr), &length);
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~SmtpSink() {
        stopping_ = true;
        ::shutdown(listenFd_, SHUT_RDWR);
        if (thread_.joinable()) thread_.join();
        ::close(listenFd_);
    }
    uint16_t port() const { return port_; }
    uint64_t dataBytes() const { return dataBytes_.load(); }
    uint32_t messages() const { return messages_.load(); }

private:
    void reply(int fd, const char *text) {
        size_t length = std::strlen(text);
        while (length > 0) {
            ssize_t n = ::send(fd, text, length, MSG_NOSIGNAL);
            if (n <= 0) return;
            text += n;
            length -= static_cast<size_t>(n);
        }
    }

    void serve() {
        int fd = ::accept(listenFd_, nullptr, nullptr);
        if (fd < 0) return;
        reply(fd, "220 sink ready\r\n");
        static char block[256 * 1024];
        std::string line;
        bool inData = false;
        // How much of CR LF "." CR LF the data has matched so far; the data starts just after a line end.
        const char *const endLine = "\r\n.\r\n";
        int matched = 2;
        while (!stopping_) {
            ssize_t n = ::recv(fd, block, sizeof block, 0);
            if (n <= 0) break;
            for (ssize_t i = 0; i < n; ++i) {
                char c = block[i];
                if (inData) {
                    ++dataBytesLocal_;
                    if (c == endLine[matched]) {
                        if (++matched == 5) {
                            inData = false;
                            dataBytes_ += dataBytesLocal_;
                            dataBytesLocal_ = 0;
                            ++messages_;
                            reply(fd, "250 accepted\r\n");
                        }
                    } else {
                        matched = c == '\r' ? 1 : 0;
                    }
                    continue;
                }
                line += c;
                if (c != '\n') continue;
                if (line.compare(0, 4, "DATA") == 0) {
                    inData = true;
                    matched = 2;
                    reply(fd, "354 go ahead\r\n");
                } else if (line.compare(0, 4, "QUIT") == 0) {
                    reply(fd, "221 bye\r\n");
                    ::close(fd);
                    return;
                } else {
                    reply(fd, "250 ok\r\n");
                }
                line.clear();
            }
        }
        ::close(fd);
    }

    int listenFd_ = -1;
    uint16_t port_ = 0;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::atomic<uint64_t> dataBytes_{0};
    std::atomic<uint32_t> messages_{0};
    uint64_t dataBytesLocal_ = 0;
};

double seconds(timeval t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; }

struct Usage {
    double wall;
    double processCpu;  // both threads: library and sink
    double mainCpu;     // the library's thread alone
    long peakRssKiB;
};

Usage usageNow() {
    rusage process{}, self{};
    ::getrusage(RUSAGE_SELF, &process);
    ::getrusage(RUSAGE_THREAD, &self);
    auto wall = std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    return Usage{wall, seconds(process.ru_utime) + seconds(process.ru_stime),
                 seconds(self.ru_utime) + seconds(self.ru_stime), process.ru_maxrss};
}

void check(int32_t rc, const char *what) {
    if (rc != 0) {
        std::fprintf(stderr, "%s failed: %d\n", what, static_cast<int>(rc));
        std::exit(1);
    }
}

}  // namespace

int main(int argc, char **argv) {
    const size_t attachmentMiB = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 10;
    const int messageCount = argc > 2 ? static_cast<int>(std::strtol(argv[2], nullptr, 10)) : 200;
    const size_t attachmentBytes = attachmentMiB << 20;

    char dir[] = "/tmp/tev-bench.XXXXXX";
    if (!::mkdtemp(dir)) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string small = std::string(dir) + "/small.bin";
    const std::string large = std::string(dir) + "/large.bin";
    if (!bench::writeNoiseFile(small, 1 << 20) || !bench::writeNoiseFile(large, attachmentBytes)) {
        std::perror("attachment");
        return 1;
    }

    SmtpSink sink;
    check(tevAttach(1) == 1 ? 0 : -1, "tevAttach");
    tevIntegerParam(0, TEV_STEP_DELAY, 0);
    tevIntegerParam(0, TEV_LINE_DELAY, 0);
    tevIntegerParam(0, TEV_POLL_SLEEP, 0);
    tevIntegerParam(0, TEV_RESPONSE_TIMEOUT, 30000);
    tevIntegerParam(0, TEV_SEND_TIMEOUT, 30000);
    tevIntegerParam(0, TEV_SMTP_PORT, sink.port());
    check(tevSmtpConnect(0, "127.0.0.1", "Bench <bench@example.com>", nullptr), "tevSmtpConnect");

    // A 1 MiB attachment first: the peak resident size after it is the baseline the large one must keep.
    check(tevSendEmail(0, "<sink@example.com>", nullptr, nullptr, "warm-up", "1 MiB", small.c_str()), "warm-up");
    const Usage before = usageNow();
    check(tevSendEmail(0, "<sink@example.com>", nullptr, nullptr, "large", "One large file.", large.c_str()),
          "large attachment");
    const Usage afterLarge = usageNow();

    std::string text;
    while (text.size() < 2048 - 64) text += "The quick brown fox jumps over the lazy dog, line after line.\r\n";
    text.resize(2048);
    const Usage beforeMany = usageNow();
    for (int i = 0; i < messageCount; ++i) {
        check(tevSendEmail(0, "<sink@example.com>", nullptr, nullptr, "small", text.c_str(), nullptr), "message");
    }
    const Usage afterMany = usageNow();
    tevClose(0);
    tevRelease();

    const double largeWall = afterLarge.wall - before.wall;
    const double manyWall = afterMany.wall - beforeMany.wall;
    std::printf("attachment: %zu MiB in %.3f s = %.1f MB/s (%.1f MiB/s); CPU %.3f s library thread, %.3f s "
                "process\n",
                attachmentMiB, largeWall, static_cast<double>(attachmentBytes) / 1e6 / largeWall,
                static_cast<double>(attachmentBytes) / 1048576.0 / largeWall, afterLarge.mainCpu - before.mainCpu,
                afterLarge.processCpu - before.processCpu);
    std::printf("messages:   %d x 2 KiB in %.3f s = %.0f messages/s; CPU %.3f s library thread, %.3f s process\n",
                messageCount, manyWall, messageCount / manyWall, afterMany.mainCpu - beforeMany.mainCpu,
                afterMany.processCpu - beforeMany.processCpu);
    std::printf("peak RSS:   %ld KiB after a 1 MiB attachment, %ld KiB after the %zu MiB one, %ld KiB at the end\n",
                before.peakRssKiB, afterLarge.peakRssKiB, attachmentMiB, afterMany.peakRssKiB);
    std::printf("sink:       %u messages, %llu data bytes\n", sink.messages(),
                static_cast<unsigned long long>(sink.dataBytes()));

    ::unlink(small.c_str());
    ::unlink(large.c_str());
    ::rmdir(dir);
    return 0;
}
