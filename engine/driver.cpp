// The driver: runs one state of a channel's state machine per call, with the wait and deadline timers, the
// step bookkeeping, the error exit, and the auto-call loop every starting function shares.
#include "engine/driver.h"

#include <initializer_list>

#include "engine/connect.h"
#include "engine/transport.h"
#include "engine/wait.h"
#include "frame/errors.h"
#include "frame/filewrite.h"
#include "frame/tracelog.h"
#include "frame/wait_need.h"
#include "platform/platform.h"
#include "tev32.h"

namespace tev {

StateStep findStep(int32_t state) {
    for (StateStep (*lookup)(int32_t) :
         {connectStep, smtpSessionStep, smtpSendStep, smtpMimeStep, controlStep, pop3Step}) {
        if (StateStep step = lookup(state)) return step;
    }
    return nullptr;
}

namespace {

// The error exit's trace shows a code's text as tevErrorText gives it in this many bytes.
constexpr int32_t kTraceErrorTextSize = 128;

// Writes the text of a failing code to the trace, without a line end of its own.  A text too long for the
// 128 bytes (a long server reply in it) is cut there and ended with CR LF, so the line end it lost does not
// make the next trace line run onto it.
void logErrorText(SessionRecord &rec, int32_t code) {
    char text[kTraceErrorTextSize + 1];
    const int32_t n = writeErrorText(rec, code, text, sizeof text);
    if (n == kTraceErrorTextSize) {
        int32_t end = kTraceErrorTextSize - 3;  // CR LF and the NUL still fit in 128 bytes
        while (end > 0 && (text[end - 1] == '\r' || text[end - 1] == '\n')) --end;
        text[end] = '\r';
        text[end + 1] = '\n';
        text[end + 2] = '\0';
    }
    logText(rec, text);
}

}  // namespace

int32_t errorExit(SessionRecord &rec, int32_t sockCode, int32_t tevCode) {
    if (logOpen(rec)) {
        logFormat(rec, "ERROR(%ld): SockCode=%d TevCode=%d PrevState=%d ThisState=%d NextState=%d\r\n",
                  static_cast<long>(static_cast<int32_t>(platform::tick())), static_cast<int>(sockCode),
                  static_cast<int>(tevCode), static_cast<int>(rec.prevState), static_cast<int>(rec.thisState),
                  static_cast<int>(rec.nextState));
        if (tevCode < 0) logErrorText(rec, tevCode);
        if (sockCode < 0) logErrorText(rec, sockCode);
    }
    if (tevCode < 0) {
        rec.nextState = kIdle;
        rec.prevState = rec.thisState;
        rec.thisState = kNoState;
        rec.lastSocketError = sockCode;
        // What the failed operation had queued goes out before the close, as each line did when it was sent on
        // its own (a queue whose write failed is empty already; after a time-out the connection is stuck and the
        // queue is dropped with it); a fetch's files get what has arrived.
        if (tevCode != TEV_E_TIMEOUT) flushSendQueue(rec);
        flushFileWrites(rec);
        logText(rec, "Closing socket\r\n");
        closeSocket(rec);
    }
    platform::yieldCpu();
    return tevCode;
}

int32_t driveOnce(SessionRecord &rec, bool yieldWhenWaiting) {
    rec.commandBuffer[0] = '\0';
    rec.replyBuffer[0] = '\0';
    const uint32_t now = platform::tick();
    if (rec.waitUntil != 0 && platform::tickDiff(rec.waitUntil, now) > 0) {
        // With TEV_EARLY_REPLY a pause before a reply ends as soon as the reply can be read (the one before a
        // connect is checked, as soon as the connection is up).
        const uint8_t early = earlyPauseEvents(rec, now);
        const bool ended = early == kWaitReadable   ? holdsReceivedData(rec) || isReadable(rec)
                           : early == kWaitWritable ? isWritable(rec)
                                                    : false;
        if (!ended) {
            platform::yieldCpu();
            return kWaiting;
        }
        rec.waitUntil = 0;  // over: the states that follow do not wait for the rest of it
    } else {
        rec.waitUntil = 0;  // run out (or none): forgotten, so asking what the channel waits for needs no clock
    }
    // An idle channel has nothing to time out: a deadline left by its last operation must not end a healthy
    // session when the application calls the driver again later.
    if (rec.nextState != kIdle && rec.deadline != 0 && platform::tickDiff(now, rec.deadline) > 0) {
        const bool connecting = rec.nextState == connectstate::kAwaitConnected;
        const int32_t rc = errorExit(rec, 0, TEV_E_TIMEOUT);
        // A connect still pending at its deadline timed out, as a blocking connect says with its socket code;
        // the trace keeps the driver's own "SockCode=0".
        if (connecting) rec.lastSocketError = TEV_SOCK_ETIMEDOUT;
        return rc;
    }
    if (rec.waitWritable && !isWritable(rec)) {
        // A writable wait that has no limit yet gets one from the first call that drives it (a close's limit
        // starts when the close is driven, not when it was asked for).
        if (rec.deadline == 0) rec.deadline = timerAt(now, settings.responseTimeout.get());
        platform::yieldCpu();
        return kWaiting;
    }
    rec.waitWritable = 0;
    rec.thisState = rec.nextState;
    if (rec.thisState > kIdle) ++rec.stepCount;
    // The idle step that ends the pause after a close adds no state line: the trace of the close is complete.
    const bool quiet = rec.thisState == kIdle && rec.quietIdle;
    rec.quietIdle = 0;
    if (rec.thisState != rec.prevState && !quiet) {
        logFormat(rec, "<%3d:%ld>\r\n", static_cast<int>(rec.thisState), static_cast<long>(static_cast<int32_t>(now)));
    }
    if (rec.thisState == kIdle) {
        rec.thisState = kNoState;
        rec.waitUntil = 0;
        rec.deadline = 0;
        return 0;
    }
    if (StateStep step = findStep(rec.thisState)) {
        rec.foundNothing = kWaitNone;
        int32_t result = step(rec, now);
        // What the step found it waits for, kept for the auto-call loop and the wait statistics.
        rec.waitNeed = result < 0 ? kWaitNone : rec.foundNothing;
        rec.waitNeedState = rec.thisState;
        if (result < 0) {
            rec.thisState = kNoState;
            return result;
        }
        if (result == kWaiting) {
            // The state waits for its socket and runs again at the next call.
            rec.prevState = rec.thisState;
            rec.thisState = kNoState;
            if (yieldWhenWaiting || rec.waitNeed == kWaitNone) platform::yieldCpu();
            return kWaiting;
        }
    } else {
        logFormat(rec, "ERROR! Unknown state %d\r\n", static_cast<int>(rec.thisState));
    }
    rec.prevState = rec.thisState;
    rec.thisState = kNoState;
    return rec.nextState;
}

int32_t runAutoCall(int32_t channel) {
    SessionRecord *rec = nullptr;
    if (checkChannel(channel, rec) < 0) return tevDriver(channel);
    // A call that made no progress (9999, or a state that found no reply yet) is followed by a wait in poll()
    // or asleep until the channel's timer; between steps that made progress the processor is offered only now
    // and then, so a long transfer is not slowed by system calls that only give the core away.
    constexpr uint32_t kYieldEvery = 1024;
    uint32_t calls = 0;
    int32_t result;
    for (;;) {
        // The channel is checked before every step, as tevDriver does (another thread may release it).
        if ((result = checkChannel(channel, rec)) < 0) break;
        if ((result = driveOnce(*rec, false)) <= 0) break;
        waitBeforeNextStep(*rec);
        if (++calls % kYieldEvery == 0) platform::yieldCpu();
    }
    return result;
}

}  // namespace tev

extern "C" int32_t tevDriver(int32_t chan) {
    tev::SessionRecord *rec = nullptr;
    int32_t rc = tev::checkChannel(chan, rec);
    if (rc < 0) return rc;
    return tev::driveOnce(*rec);
}
