// The TEV32 side of bench/compare.sh: one operation against the loopback servers the script started, timed with
// the monotonic clock; prints the milliseconds on standard output (and nothing else), or a message on standard
// error and exit status 1.  The settings are what an application that wants speed would choose: no step delay,
// no poll sleep, and (where the library has them) early replies and no close pause.
//
//     compare_client send-whole SMTP_PORT FILE         connect, send FILE as an attachment, close
//     compare_client send-open  SMTP_PORT FILE         the same, timing the send alone
//     compare_client send-many  SMTP_PORT COUNT BYTES  connect, COUNT messages of BYTES of text, close
//     compare_client fetch      POP3_PORT USER PASSWORD N DIR   connect, fetch message N decoded into DIR, close
//     compare_client fetch-open POP3_PORT USER PASSWORD N DIR   the same, timing the fetch alone
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tev32.h"

namespace {

constexpr int32_t kEarlyReply = 104;  // integer parameters of the library's extensions
constexpr int32_t kClosePause = 105;

double nowMs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) * 1000.0 + static_cast<double>(t.tv_nsec) / 1e6;
}

int fail(const char *what, int32_t rc) {
    char text[256] = "";
    tevErrorText(0, rc, text, sizeof text);
    std::fprintf(stderr, "compare_client: %s: %d %s\n", what, static_cast<int>(rc), text);
    tevRelease();
    return 1;
}

void quickSettings() {
    tevIntegerParam(0, TEV_STEP_DELAY, 0);
    tevIntegerParam(0, TEV_LINE_DELAY, 0);
    tevIntegerParam(0, TEV_POLL_SLEEP, 0);
    tevIntegerParam(0, TEV_RESPONSE_TIMEOUT, 60000);
    tevIntegerParam(0, TEV_SEND_TIMEOUT, 60000);
    tevIntegerParam(0, kEarlyReply, 1);  // -1 (ignored) where the library does not know it
    tevIntegerParam(0, kClosePause, 0);
}

int32_t smtpConnect(const char *port) {
    tevIntegerParam(0, TEV_SMTP_PORT, std::atoi(port));
    return tevSmtpConnect(0, "127.0.0.1", "Bench <bench@example.com>", nullptr);
}

int sendWhole(const char *port, const char *file, bool timeSendOnly) {
    double start = nowMs();
    int32_t rc = smtpConnect(port);
    if (rc != 0) return fail("tevSmtpConnect", rc);
    if (timeSendOnly) start = nowMs();
    rc = tevSendEmail(0, "<bench@tev.test>", nullptr, nullptr, "compare", "One attachment.", file);
    if (rc != 0) return fail("tevSendEmail", rc);
    const double sent = nowMs();
    rc = tevClose(0);
    if (rc != 0) return fail("tevClose", rc);
    std::printf("%.1f\n", (timeSendOnly ? sent : nowMs()) - start);
    return 0;
}

int sendMany(const char *port, int count, size_t bytes) {
    std::string text;
    while (text.size() < bytes) text += "The quick brown fox jumps over the lazy dog, line after line of it.\r\n";
    text.resize(bytes);
    const double start = nowMs();
    int32_t rc = smtpConnect(port);
    if (rc != 0) return fail("tevSmtpConnect", rc);
    for (int i = 0; i < count; ++i) {
        rc = tevSendEmail(0, "<bench@tev.test>", nullptr, nullptr, "small", text.c_str(), nullptr);
        if (rc != 0) return fail("tevSendEmail", rc);
    }
    rc = tevClose(0);
    if (rc != 0) return fail("tevClose", rc);
    std::printf("%.1f\n", nowMs() - start);
    return 0;
}

int fetch(const char *port, const char *user, const char *password, int message, const char *dir,
          bool timeFetchOnly) {
    tevIntegerParam(0, TEV_POP3_PORT, std::atoi(port));
    double start = nowMs();
    int32_t rc = tevPop3Connect(0, "127.0.0.1", user, password);
    if (rc != 0) return fail("tevPop3Connect", rc);
    if (timeFetchOnly) start = nowMs();
    rc = tevGetEmailFile(0, message, "message.txt", dir, dir);
    if (rc != 0) return fail("tevGetEmailFile", rc);
    const double fetched = nowMs();
    rc = tevClose(0);
    if (rc != 0) return fail("tevClose", rc);
    std::printf("%.1f\n", (timeFetchOnly ? fetched : nowMs()) - start);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: compare_client send-whole|send-open|send-many|fetch PORT ...\n");
        return 2;
    }
    if (tevAttach(1) != 1) return 1;
    quickSettings();
    // TEV_COMPARE_TRACE=FILE: the library's trace log, to see where the time of a run goes.
    if (const char *trace = std::getenv("TEV_COMPARE_TRACE")) tevStringParam(0, TEV_LOG_FILE, trace);
    const std::string mode = argv[1];
    int status = 2;
    if ((mode == "send-whole" || mode == "send-open") && argc == 4) {
        status = sendWhole(argv[2], argv[3], mode == "send-open");
    } else if (mode == "send-many" && argc == 5) {
        status = sendMany(argv[2], std::atoi(argv[3]), std::strtoul(argv[4], nullptr, 10));
    } else if ((mode == "fetch" || mode == "fetch-open") && argc == 7) {
        status = fetch(argv[2], argv[3], argv[4], std::atoi(argv[5]), argv[6], mode == "fetch-open");
    } else {
        std::fprintf(stderr, "compare_client: bad arguments for %s\n", mode.c_str());
    }
    if (status != 1) tevRelease();
    return status;
}
