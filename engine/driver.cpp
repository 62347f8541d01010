// The driver: runs one state of a channel's state machine per call, with the wait and deadline timers, the
// step bookkeeping, the error exit, and the auto-call loop every starting function shares.
#include "engine/driver.h"

#include <initializer_list>

#include "engine/connect.h"
#include "engine/transport.h"
#include "frame/errors.h"
#include "frame/filewrite.h"
#include "frame/tracelog.h"
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

int32_t errorExit(SessionRecord &rec, int32_t sockCode, int32_t tevCode) {
    if (logOpen(rec)) {
        logFormat(rec, "ERROR(%ld): SockCode=%d TevCode=%d PrevState=%d ThisState=%d NextState=%d\r\n",
                  static_cast<long>(static_cast<int32_t>(platform::tick())), static_cast<int>(sockCode),
                  static_cast<int>(tevCode), static_cast<int>(rec.prevState), static_cast<int>(rec.thisState),
                  static_cast<int>(rec.nextState));
        char text[128];
        if (tevCode < 0) {
            writeErrorText(rec, tevCode, text, sizeof text);
            logText(rec, text);
        }
        if (sockCode < 0) {
            writeErrorText(rec, sockCode, text, sizeof text);
            logText(rec, text);
        }
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

int32_t driveOnce(SessionRecord &rec) {
    rec.commandBuffer[0] = '\0';
    rec.replyBuffer[0] = '\0';
    const uint32_t now = platform::tick();
    if (rec.waitUntil != 0 && platform::tickDiff(rec.waitUntil, now) > 0) {
        platform::yieldCpu();
        return kWaiting;
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
        platform::yieldCpu();
        return kWaiting;
    }
    rec.waitWritable = 0;
    rec.thisState = rec.nextState;
    if (rec.thisState > kIdle) ++rec.stepCount;
    if (rec.thisState != rec.prevState) {
        logFormat(rec, "<%3d:%ld>\r\n", static_cast<int>(rec.thisState), static_cast<long>(static_cast<int32_t>(now)));
    }
    if (rec.thisState == kIdle) {
        rec.thisState = kNoState;
        rec.waitUntil = 0;
        rec.deadline = 0;
        return 0;
    }
    if (StateStep step = findStep(rec.thisState)) {
        int32_t result = step(rec, now);
        if (result < 0) {
            rec.thisState = kNoState;
            return result;
        }
        if (result == kWaiting) {
            // The state waits for its socket and runs again at the next call.
            rec.prevState = rec.thisState;
            rec.thisState = kNoState;
            platform::yieldCpu();
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
    // The driver already yields whenever it has to wait; between steps that made progress the processor is
    // offered only now and then, so a long transfer is not slowed by a system call per line.
    constexpr uint32_t kYieldEvery = 32;
    uint32_t calls = 0;
    int32_t result;
    while ((result = tevDriver(channel)) > 0) {
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
