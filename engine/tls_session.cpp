// TLS sessions of a channel: set-up, the non-blocking handshake, the clear-text purge and the teardown.
#include "engine/tls_session.h"

#include "engine/driver.h"
#include "engine/transport.h"
#include "frame/text.h"
#include "frame/tracelog.h"
#include "frame/wait_need.h"
#include "platform/platform.h"
#include "tev32.h"

namespace tev {

namespace {

// More clear text than this after the STARTTLS reply is not a server worth reading further: the rest stays in
// the kernel, and the handshake fails on it.
constexpr int32_t kMaxDiscardedBytes = 64 * 1024;

// Keeps the session's failure reason for the error text and the trace.
void keepReason(SessionRecord &rec) {
    platform::tlsLastError(rec.tlsSession, rec.tlsReason, static_cast<int32_t>(sizeof rec.tlsReason));
}

}  // namespace

int32_t checkTlsAvailable(const SessionRecord &rec) {
    if (rec.tlsMode == 0 || platform::tlsAvailable()) return 0;
    return TEV_E_TLS_UNAVAILABLE;
}

void discardClearText(SessionRecord &rec) {
    int32_t discarded = ringCount(rec);
    emptyRing(rec);
    while (rec.socket > 0 && discarded < kMaxDiscardedBytes) {
        bool readable;
        {
            platform::LibraryLock lock;
            readable = platform::pollReady(rec.socket, platform::Readiness::readable);
        }
        if (!readable) break;
        int32_t n = platform::receiveOnce(rec.socket, rec.receiveBuffer, static_cast<int32_t>(kRingSize));
        if (n <= 0) break;  // a close shows up in the handshake
        discarded += n;
    }
    if (discarded > 0) logFormat(rec, "TLS: %d bytes received in the clear discarded\r\n", static_cast<int>(discarded));
}

int32_t beginTls(SessionRecord &rec, uint32_t now) {
    endTls(rec);
    rec.tlsReason[0] = '\0';
    platform::TlsSession *session = nullptr;
    int32_t rc = platform::tlsStart(rec.socket, rec.serverName, rec.tlsVerify != 0,
                                    rec.tlsCaFile[0] != '\0' ? rec.tlsCaFile : nullptr, &session, rec.tlsReason,
                                    static_cast<int32_t>(sizeof rec.tlsReason));
    if (rc == platform::kTlsUnavailable) return errorExit(rec, 0, TEV_E_TLS_UNAVAILABLE);
    if (rc != platform::kTlsDone) {
        logFormat(rec, "TLS: %s\r\n", rec.tlsReason);
        return errorExit(rec, 0, TEV_E_TLS_HANDSHAKE);
    }
    rec.tlsSession = session;
    rec.tlsActive = 0;
    rec.waitUntil = 0;
    rec.deadline = timerAt(now, settings.responseTimeout.get());
    return 0;
}

int32_t continueTls(SessionRecord &rec) {
    int32_t rc = platform::tlsHandshakeStep(rec.tlsSession);
    if (rc == platform::kTlsAgain) {
        if (platform::tlsWants(rec.tlsSession) == platform::kTlsWantWrite) {
            rec.waitWritable = 1;
            rec.foundNothing = kWaitWritable;
        } else {
            rec.foundNothing = kWaitReadable;
        }
        return kWaiting;
    }
    if (rc == platform::kTlsDone) {
        rec.tlsActive = 1;
        char description[96];
        platform::tlsDescribe(rec.tlsSession, description, static_cast<int32_t>(sizeof description));
        logFormat(rec, "TLS: %s\r\n", description);
        if (!rec.tlsVerify) logText(rec, "TLS: server certificate not verified\r\n");
        return 1;
    }
    keepReason(rec);
    logFormat(rec, "TLS: %s\r\n", rec.tlsReason);
    return errorExit(rec, 0, rc == platform::kTlsNotTrusted ? TEV_E_TLS_NOT_TRUSTED : TEV_E_TLS_HANDSHAKE);
}

void endTls(SessionRecord &rec) {
    if (rec.tlsSession == nullptr) return;
    platform::tlsClose(rec.tlsSession);
    rec.tlsSession = nullptr;
    rec.tlsActive = 0;
}

}  // namespace tev
