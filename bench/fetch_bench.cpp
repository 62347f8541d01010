// Fetch-and-decode benchmark: a POP3 server thread on loopback streams one message with a base64 attachment
// (76-character lines, generated as it is sent, so the process holds no copy of the message), and the library
// fetches it with tevGetEmailFile, decoding the attachment into a file.  Prints the throughput over the decoded
// attachment bytes, the fetching thread's CPU seconds and the process's peak resident set size, for a small and a
// large attachment, so that a memory use growing with the message would show.  Then the same size as a base64
// ISO-8859-1 text part written into the message file, as received (TEV_UTF8 0) and converted to UTF-8
// (TEV_UTF8 1), with the ratio of the two times.
//
//     fetch_bench [MiB]        (default 10)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "tev32.h"

namespace {

constexpr size_t kLineBytes = 57;  // input bytes of one 76-character base64 line
int utf8Mode = 0;                   // TEV_UTF8 as last set

// A reproducible byte stream: xorshift64*.
struct ByteSource {
    uint64_t state = 0x9E3779B97F4A7C15ull;
    unsigned char next() {
        state ^= state >> 12;
        state ^= state << 25;
        state ^= state >> 27;
        return static_cast<unsigned char>((state * 0x2545F4914F6CDD1Dull) >> 56);
    }
};

// FNV-1a over the attachment's bytes, to check the decoded file.
struct Digest {
    uint64_t value = 0xcbf29ce484222325ull;
    void add(const unsigned char *bytes, size_t n) {
        for (size_t i = 0; i < n; ++i) value = (value ^ bytes[i]) * 0x100000001b3ull;
    }
};

void encodeLine(const unsigned char *in, size_t n, std::string &out) {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (size_t i = 0; i < n; i += 3) {
        unsigned a = in[i], b = i + 1 < n ? in[i + 1] : 0, c = i + 2 < n ? in[i + 2] : 0;
        out += kAlphabet[a >> 2];
        out += kAlphabet[((a & 3) << 4) | (b >> 4)];
        out += i + 1 < n ? kAlphabet[((b & 15) << 2) | (c >> 6)] : '=';
        out += i + 2 < n ? kAlphabet[c & 63] : '=';
    }
    out += "\r\n";
}

bool sendAll(int fd, const std::string &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool readCommand(int fd, std::string &pending, std::string &line) {
    for (;;) {
        size_t lf = pending.find('\n');
        if (lf != std::string::npos) {
            line = pending.substr(0, lf + 1);
            pending.erase(0, lf + 1);
            return true;
        }
        char buffer[512];
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        pending.append(buffer, static_cast<size_t>(n));
    }
}

// Serves one POP3 session: login, RETR 1 (the generated message), QUIT.  `text`: the payload is Latin-1 text
// in a base64 text part instead of random bytes in an attachment.
void serve(int listenFd, size_t attachmentBytes, Digest *digest, bool text) {
    int fd = ::accept(listenFd, nullptr, nullptr);
    if (fd < 0) return;
    std::string pending, line;
    sendAll(fd, "+OK bench ready\r\n");
    while (readCommand(fd, pending, line)) {
        if (line.compare(0, 4, "RETR") == 0) {
            std::string out =
                "+OK message follows\r\n"
                "From: bench@example.com\r\n"
                "Subject: benchmark\r\n"
                "MIME-Version: 1.0\r\n"
                "Content-Type: multipart/mixed; boundary=\"=====bench=====\"\r\n"
                "\r\n"
                "--=====bench=====\r\n"
                "Content-Type: text/plain\r\n"
                "\r\n"
                "The attachment follows.\r\n"
                "--=====bench=====\r\n"
                + std::string(text ? "Content-Type: text/plain; charset=iso-8859-1\r\n"
                                     "Content-Transfer-Encoding: base64\r\n"
                                   : "Content-Type: application/octet-stream\r\n"
                                     "Content-Transfer-Encoding: base64\r\n"
                                     "Content-Disposition: attachment; filename=\"payload.bin\"\r\n") +
                "\r\n";
            // One block of random bytes, encoded once and sent as often as the size needs, keeps the server
            // far faster than the client without holding the whole message.
            constexpr size_t kBlockLines = 1150;
            ByteSource source;
            std::string raw(kBlockLines * kLineBytes, '\0');
            for (size_t i = 0; i < raw.size(); ++i) {
                // Text: letters, a fifth of them Latin-1 letters above 127, a line end every 64 bytes.
                const unsigned char r = source.next();
                raw[i] = static_cast<char>(!text ? r : i % 64 == 63 ? '\n' : r % 5 == 0 ? 0xe0 + r % 28 : 'a' + r % 26);
            }
            const auto *rawBytes = reinterpret_cast<const unsigned char *>(raw.data());
            std::string block;
            for (size_t i = 0; i < kBlockLines; ++i) encodeLine(rawBytes + i * kLineBytes, kLineBytes, block);
            size_t left = attachmentBytes;
            bool ok = sendAll(fd, out);
            out.clear();
            while (ok && left >= raw.size()) {
                digest->add(rawBytes, raw.size());
                ok = sendAll(fd, block);
                left -= raw.size();
            }
            for (size_t pos = 0; left > 0; pos += kLineBytes) {
                size_t n = left < kLineBytes ? left : kLineBytes;
                digest->add(rawBytes + pos, n);
                encodeLine(rawBytes + pos, n, out);
                left -= n;
            }
            out += "--=====bench=====--\r\n.\r\n";
            sendAll(fd, out);
        } else if (line.compare(0, 4, "QUIT") == 0) {
            sendAll(fd, "+OK bye\r\n");
            break;
        } else {
            sendAll(fd, "+OK\r\n");
        }
    }
    ::close(fd);
}

double seconds(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

long peakRssKb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

bool fileDigest(const std::string &path, Digest &digest, size_t &size) {
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    unsigned char buffer[65536];
    size = 0;
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) {
        digest.add(buffer, n);
        size += n;
    }
    std::fclose(f);
    return true;
}

// One fetch of a message with an attachment of the given size; false when anything went wrong.  With `text`
// the payload is a text part and its time is stored in *textSeconds.
bool runOnce(size_t attachmentBytes, const std::string &dir, bool text = false, double *textSeconds = nullptr) {
    int listenFd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (listenFd < 0 || ::bind(listenFd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        ::listen(listenFd, 1) != 0 || ::getsockname(listenFd, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        std::perror("listen");
        return false;
    }
    Digest sent;
    std::thread server(serve, listenFd, attachmentBytes, &sent, text);

    tevIntegerParam(0, TEV_POP3_PORT, ntohs(addr.sin_port));
    int32_t rc = tevPop3Connect(0, "127.0.0.1", "bench", "bench");
    double wall = 0, cpu = 0;
    if (rc == 0) {
        const double wall0 = seconds(CLOCK_MONOTONIC), cpu0 = seconds(CLOCK_THREAD_CPUTIME_ID);
        rc = tevGetEmailFile(0, 1, "message.txt", dir.c_str(), dir.c_str());
        wall = seconds(CLOCK_MONOTONIC) - wall0;
        cpu = seconds(CLOCK_THREAD_CPUTIME_ID) - cpu0;
    }
    const int32_t saved = tevStatistics(0, TEV_STAT_ATTACH_SAVED);
    tevClose(0);
    server.join();
    ::close(listenFd);

    if (text) {
        struct stat info {};
        const bool written = ::stat((dir + "/message.txt").c_str(), &info) == 0;
        const double mb = static_cast<double>(attachmentBytes) / 1e6;
        std::printf("text part  %8.2f MiB, TEV_UTF8 %d: fetch %d, message file %lld bytes; %.3f s, %.1f MB/s, "
                    "CPU %.3f s\n",
                    static_cast<double>(attachmentBytes) / 1048576.0, utf8Mode, rc,
                    written ? static_cast<long long>(info.st_size) : -1LL, wall, wall > 0 ? mb / wall : 0.0, cpu);
        if (textSeconds) *textSeconds = wall;
        return rc == 0 && written && static_cast<size_t>(info.st_size) >= attachmentBytes;
    }
    Digest received;
    size_t size = 0;
    const bool same = fileDigest(dir + "/payload.bin", received, size) && size == attachmentBytes &&
                      received.value == sent.value;
    const double mb = static_cast<double>(attachmentBytes) / 1e6;
    std::printf("attachment %8.2f MiB: fetch %d, saved %d, content %s; %.3f s, %.1f MB/s decoded "
                "(%.1f MB/s on the wire), CPU %.3f s, peak RSS %ld KiB\n",
                static_cast<double>(attachmentBytes) / 1048576.0, rc, saved, same ? "identical" : "DIFFERENT",
                wall, wall > 0 ? mb / wall : 0.0, wall > 0 ? mb * 4.0 / 3.0 * 78.0 / 76.0 / wall : 0.0, cpu,
                peakRssKb());
    return rc == 0 && saved == 1 && same;
}

}  // namespace

int main(int argc, char **argv) {
    const double mib = argc > 1 ? std::atof(argv[1]) : 10.0;
    const size_t bytes = static_cast<size_t>(mib * 1048576.0);
    const char *base = std::getenv("TEV_BENCH_DIR");
    std::string dirText = std::string(base ? base : "/tmp") + "/tev-bench.XXXXXX";
    char *dirTemplate = &dirText[0];
    if (!mkdtemp(dirTemplate)) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string dir = dirTemplate;

    if (tevAttach(1) != 1) return 1;
    tevIntegerParam(0, TEV_STEP_DELAY, 0);
    tevIntegerParam(0, TEV_RESPONSE_TIMEOUT, 3000);
    tevIntegerParam(0, TEV_READ_TIMEOUT, 3000);
    tevIntegerParam(0, TEV_CONNECT_TIMEOUT, 3000);
    tevIntegerParam(0, TEV_POLL_SLEEP, 1);

    bool ok = runOnce(bytes / 10 > 0 ? bytes / 10 : 1, dir);
    ok = runOnce(bytes, dir) && ok;
    double asReceived = 0, converted = 0;
    tevIntegerParam(0, TEV_UTF8, utf8Mode = 0);
    ok = runOnce(bytes, dir, true, &asReceived) && ok;
    tevIntegerParam(0, TEV_UTF8, utf8Mode = 1);
    ok = runOnce(bytes, dir, true, &converted) && ok;
    if (asReceived > 0) std::printf("text part converted / as received: %.2f\n", converted / asReceived);
    tevRelease();

    std::remove((dir + "/payload.bin").c_str());
    std::remove((dir + "/message.txt").c_str());
    ::rmdir(dir.c_str());
    return ok ? 0 : 1;
}
