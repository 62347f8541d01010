// Driving the library: one channel per command, each operation run by tevmail's own tevDriver loop.

#include "session.h"

#include <tev32.h>

#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "output.h"
#include "status.h"
#include "system.h"

namespace tevmail {

// tevDriver answers 9999 while a channel waits for its next tick or for a writable socket.
constexpr int32_t kDriverWaiting = 9999;

static volatile sig_atomic_t g_interrupted = 0;

static void onInterrupt(int) {
    if (g_interrupted) _exit(kExitInterrupted);
    g_interrupted = 1;
}

void installInterruptHandlers() {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

int32_t drive(int32_t started, Progress *progress, StateWatch *watch) {
    if (started != 0) return started;
    int32_t previous = 0;
    int64_t previousCounters = -1;
    for (;;) {
        if (g_interrupted) {
            tevAbort(kChannel);
            if (progress != nullptr) progress->finish();
            return kInterrupted;
        }
        int32_t result = tevDriver(kChannel);
        if (progress != nullptr) progress->update();
        if (watch != nullptr && result > 0) watch->onState(result);
        if (result <= 0) {
            if (progress != nullptr) progress->finish();
            return result;
        }
        // A state that waits for a reply comes back with the same number and moves no byte; a short sleep then
        // keeps the loop from spinning while the server thinks. A state that repeats because it sends or receives
        // one line per step is moving bytes and runs again at once.
        int64_t counters = static_cast<int64_t>(tevStatistics(kChannel, TEV_STAT_TOTAL_READ)) +
                           tevStatistics(kChannel, TEV_STAT_TOTAL_SENT) + tevStatistics(kChannel, TEV_STAT_BUFFER_USED);
        if (result == kDriverWaiting) {
            sleepMilliseconds(2);
        } else if (result == previous && counters == previousCounters) {
            sleepMilliseconds(1);
        }
        previous = result;
        previousCounters = counters;
    }
}

Library::Library() : attached_(tevAttach(1)) {}

Library::~Library() {
    if (attached_ == 1) tevRelease();
}

int applyCommon(const Common &common) {
    if (!common.trace.empty() && tevStringParam(kChannel, TEV_LOG_FILE, common.trace.c_str()) < 0) {
        fprintf(stderr, "tevmail: cannot create the trace file '%s'\n", common.trace.c_str());
        return kExitLocalFile;
    }
    tevIntegerParam(kChannel, TEV_AUTO_CALL, 0);
    // The connect step then waits for the outcome itself (at most the connect timeout), and a refused or timed-out
    // connect reports its socket error (-10061, -10060) instead of the bare "Error attempting to connect.".
    tevIntegerParam(kChannel, TEV_BLOCKING, 1);
    // Its users type UTF-8: texts, subjects and names go out as current mail clients send them, and fetched
    // mail is decoded to UTF-8.
    tevIntegerParam(kChannel, TEV_UTF8, 1);
    if (common.timeoutSeconds > 0) {
        int32_t ms = static_cast<int32_t>(common.timeoutSeconds * 1000);
        tevIntegerParam(kChannel, TEV_RESPONSE_TIMEOUT, ms);
        tevIntegerParam(kChannel, TEV_CONNECT_TIMEOUT, ms);
        tevIntegerParam(kChannel, TEV_TRANSFER_TIMEOUT, ms);
    }
    return kGoOn;
}

int32_t applyTls(const Common &common, bool sendsPassword) {
    const int32_t mode = chooseTlsMode(common, sendsPassword);
    tevIntegerParam(kChannel, TEV_TLS_MODE, mode);
    if (mode == kTlsNone) return mode;
    if (!common.caFile.empty()) tevStringParam(kChannel, TEV_TLS_CA_FILE, common.caFile.c_str());
    tevIntegerParam(kChannel, TEV_TLS_VERIFY, common.insecure ? 0 : 1);
    return mode;
}

}  // namespace tevmail
