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
// The longest single wait of the driver loop.
constexpr long kLongestWaitMs = 250;

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
        // 9999, or the same state again: the library says what the channel waits for (its socket readable or
        // writable, a timer, or nothing when the state moved bytes and can run again at once), and the loop
        // sleeps in poll() on that instead of spinning while the server thinks.
        if (result == kDriverWaiting || result == previous) {
            const int32_t events = tevStatistics(kChannel, TEV_STAT_WAIT_EVENTS);
            const int32_t ms = tevStatistics(kChannel, TEV_STAT_WAIT_MS);
            if (events != 0 || ms != 0) {
                // Bounded, so an interrupt is seen soon even when the library names no timer.
                long limit = ms > 0 && ms < kLongestWaitMs ? ms : kLongestWaitMs;
                waitForDescriptor(tevStatistics(kChannel, TEV_STAT_SOCKET), events, limit);
            }
        }
        previous = result;
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
    // A one-shot tool needs neither the fixed pauses before replies nor the pause after closing its socket.
    tevIntegerParam(kChannel, TEV_EARLY_REPLY, 1);
    tevIntegerParam(kChannel, TEV_CLOSE_PAUSE, 0);
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
