// POP3 session: tevPop3Connect and the login states 300-306 (greeting, USER/PASS or APOP), plus what every POP3
// operation shares.  RFC 1939: status lines are judged by their first character; APOP digests the greeting's
// timestamp followed by the password with MD5.
#include "pop3/session.h"

#include <cstring>

#include "engine/codecs.h"
#include "engine/connect.h"
#include "engine/control.h"
#include "engine/tls_session.h"
#include "engine/transport.h"
#include "frame/tracelog.h"
#include "tev32.h"

namespace tev::pop3 {

int32_t startOperation(SessionRecord &rec, int32_t firstState, bool waitForWritable) {
    rec.nextState = firstState;
    rec.afterConnectState = kIdle;
    rec.lastSocketError = 0;
    rec.waitUntil = 0;
    if (waitForWritable) {
        armWritableStart(rec, platform::tick());
    } else {
        rec.waitWritable = 0;
        rec.deadline = 0;
    }
    if (!rec.autoCall) return 0;
    return runAutoCall(rec.channel);
}

int32_t sendCommand(SessionRecord &rec, int32_t failCode) {
    int32_t rc = sendLine(rec, rec.commandBuffer);
    return rc < 0 ? errorExit(rec, rc, failCode) : 0;
}

namespace {

// A close finishes a fetch's files as the end of the fetch does.  Registered when the library is loaded, so
// every POP3 session has it.
[[maybe_unused]] const bool kHooksRegistered = (registerSessionHooks('P', SessionHooks{closeFetchFiles}), true);

// A status reply has arrived when bytes are buffered or the socket is readable; this never waits.
bool replyWaiting(SessionRecord &rec) { return waitReadable(rec, 0); }

// The greeting's timestamp, from its first '<' to the first '>' after it, goes to authBuffer when the buffer can
// also take the password (and its NUL) behind it; otherwise authBuffer stays empty and APOP cannot be used.
void storeApopTimestamp(SessionRecord &rec) {
    rec.authBuffer[0] = '\0';
    const char *open = std::strchr(rec.replyBuffer, '<');
    if (!open) return;
    const char *close = std::strchr(open, '>');
    if (!close) return;
    size_t length = static_cast<size_t>(close - open) + 1;
    size_t passwordLength = boundedLength(rec.pop3Password, sizeof rec.pop3Password);
    if (length + passwordLength + 1 > sizeof rec.authBuffer) return;
    std::memcpy(rec.authBuffer, open, length);
    rec.authBuffer[length] = '\0';
}

// Reads a login status reply; 0 on a positive one, else the error exit.  A connection that closes before the
// status line is a failed login, not a positive reply.
int32_t readLoginReply(SessionRecord &rec) {
    int32_t rc = readPop3Reply(rec);
    if (rc < 0) return errorExit(rec, 0, rc);
    return 0;
}

// 300: the version line, then the connect states, which hand over to the greeting (to 330 first with implicit
// TLS).
int32_t beginSession(SessionRecord &rec, uint32_t) {
    beginConnect(rec, rec.tlsMode == 2 ? kImplicitTls : kGreeting);
    return 0;
}

// The first login state: USER or APOP.
int32_t loginState(const SessionRecord &rec) { return rec.useApop ? kApop : kUser; }

// 301: the greeting; its APOP timestamp is kept whichever login follows, also across STLS.
int32_t readGreeting(SessionRecord &rec, uint32_t now) {
    if (!replyWaiting(rec)) return 0;
    if (int32_t rc = readLoginReply(rec)) return rc;
    storeApopTimestamp(rec);
    const bool wantsStls = (rec.tlsMode == 1 || rec.tlsMode == 3) && !rec.tlsActive;
    rec.nextState = wantsStls ? kCapa : loginState(rec);
    armStepDelay(rec, now);
    armReplyTime(rec, now);
    return 0;
}

// ---------------------------------------------------------------- TLS (RFC 8314 implicit, RFC 2595 STLS)

// 330: the TLS session on the fresh connection.
int32_t startImplicitTls(SessionRecord &rec, uint32_t now) {
    if (int32_t rc = beginTls(rec, now)) return rc;
    rec.nextState = kImplicitHandshake;
    return 0;
}

// 331: the handshake; the greeting follows over TLS.
int32_t stepImplicitHandshake(SessionRecord &rec, uint32_t now) {
    int32_t rc = continueTls(rec);
    if (rc != 1) return rc;
    armReplyTime(rec, now);
    rec.nextState = kGreeting;
    return 0;
}

// 332: CAPA (RFC 2449).
int32_t sendCapa(SessionRecord &rec, uint32_t now) {
    copyText(rec.commandBuffer, "CAPA");
    if (int32_t rc = sendCommand(rec, TEV_E_WRITE)) return rc;
    rec.nextState = kCapaReply;
    armStepDelay(rec, now);
    armReplyTime(rec, now);
    return 0;
}

// Where a session goes that cannot have STLS: on in the clear when TLS is only wanted, else -80.
int32_t withoutStls(SessionRecord &rec) {
    if (rec.tlsMode == 1) return errorExit(rec, 0, TEV_E_NO_STARTTLS);
    rec.nextState = loginState(rec);
    return 0;
}

// 333: the capability list, read to its end line; STLS on a line of its own means the server offers TLS.  A
// server without CAPA (-ERR) offers no STLS.
int32_t readCapaReply(SessionRecord &rec, uint32_t) {
    if (!replyWaiting(rec)) return 0;
    int32_t rc = readPop3Reply(rec);
    if (rc == TEV_E_POP3_ERROR) return withoutStls(rec);
    if (rc < 0) return errorExit(rec, 0, rc);
    bool offered = false;
    bool lineStart = true;
    char line[kRingSize];
    for (;;) {
        int32_t n = readLine(rec, line, static_cast<int32_t>(sizeof line), settings.readTimeout.get(),
                             settings.responseTimeout.get());
        if (n < 0) return errorExit(rec, 0, TEV_E_SOCKET_CLOSED);
        if (n == 0) return errorExit(rec, 0, TEV_E_TIMEOUT);
        line[n] = '\0';
        if (lineStart) {
            if (std::strcmp(line, ".\r\n") == 0 || std::strcmp(line, ".\n") == 0) break;
            if (beginsWithWord(line, "STLS")) offered = true;
        }
        lineStart = line[n - 1] == '\n';
    }
    if (!offered) return withoutStls(rec);
    rec.waitWritable = 1;
    rec.nextState = kStls;
    return 0;
}

// 334: STLS.
int32_t sendStls(SessionRecord &rec, uint32_t now) {
    copyText(rec.commandBuffer, "STLS");
    if (int32_t rc = sendCommand(rec, TEV_E_WRITE)) return rc;
    rec.nextState = kStlsReply;
    armStepDelay(rec, now);
    armReplyTime(rec, now);
    return 0;
}

// 335: the reply to STLS; whatever came with it in the clear is thrown away unread.
int32_t readStlsReply(SessionRecord &rec, uint32_t now) {
    if (!replyWaiting(rec)) return 0;
    if (int32_t rc = readLoginReply(rec)) return rc;
    discardClearText(rec);
    if (int32_t rc = beginTls(rec, now)) return rc;
    rec.nextState = kStlsHandshake;
    return 0;
}

// 336: the handshake; the login follows over TLS.
int32_t stepStlsHandshake(SessionRecord &rec, uint32_t now) {
    int32_t rc = continueTls(rec);
    if (rc != 1) return rc;
    armReplyTime(rec, now);
    rec.waitWritable = 1;
    rec.nextState = loginState(rec);
    return 0;
}

// 302: "APOP user digest".
int32_t sendApop(SessionRecord &rec, uint32_t now) {
    if (rec.authBuffer[0] == '\0') return errorExit(rec, 0, TEV_E_NO_APOP_TIMESTAMP);
    appendText(rec.authBuffer, rec.pop3Password);
    buildApopArgument(rec);
    formatText(rec.commandBuffer, sizeof rec.commandBuffer, "APOP %s", rec.authBuffer);
    if (int32_t rc = sendCommand(rec, TEV_E_READ)) return rc;
    rec.nextState = kLoginResult;
    armPasswordDelay(rec, now);
    armReplyTime(rec, now);
    return 0;
}

// 303: "USER name".
int32_t sendUser(SessionRecord &rec, uint32_t now) {
    formatText(rec.commandBuffer, sizeof rec.commandBuffer, "USER %s", rec.userName);
    if (int32_t rc = sendCommand(rec, TEV_E_READ)) return rc;
    rec.nextState = kUserReply;
    armStepDelay(rec, now);
    armReplyTime(rec, now);
    return 0;
}

// 304: the reply to USER.
int32_t readUserReply(SessionRecord &rec, uint32_t) {
    if (!replyWaiting(rec)) {
        platform::sleepMs(settings.pollSleep.get());
        return 0;
    }
    if (int32_t rc = readLoginReply(rec)) return rc;
    rec.waitWritable = 1;
    rec.nextState = kPass;
    return 0;
}

// 305: "PASS password".
int32_t sendPass(SessionRecord &rec, uint32_t now) {
    formatText(rec.commandBuffer, sizeof rec.commandBuffer, "PASS %s", rec.pop3Password);
    if (int32_t rc = sendCommand(rec, TEV_E_READ)) return rc;
    rec.nextState = kLoginResult;
    armPasswordDelay(rec, now);
    armReplyTime(rec, now);
    return 0;
}

// 306: the reply to PASS or APOP; a positive one means logged in.
int32_t readLoginResult(SessionRecord &rec, uint32_t) {
    if (!replyWaiting(rec)) {
        platform::sleepMs(settings.pollSleep.get());
        return 0;
    }
    if (int32_t rc = readLoginReply(rec)) return rc;
    rec.nextState = kIdle;
    return 0;
}

}  // namespace
}  // namespace tev::pop3

namespace tev {

StateStep pop3Step(int32_t state) {
    switch (state) {
    case pop3::kBeginSession: return pop3::beginSession;
    case pop3::kGreeting: return pop3::readGreeting;
    case pop3::kApop: return pop3::sendApop;
    case pop3::kUser: return pop3::sendUser;
    case pop3::kUserReply: return pop3::readUserReply;
    case pop3::kPass: return pop3::sendPass;
    case pop3::kLoginResult: return pop3::readLoginResult;
    case pop3::kImplicitTls: return pop3::startImplicitTls;
    case pop3::kImplicitHandshake: return pop3::stepImplicitHandshake;
    case pop3::kCapa: return pop3::sendCapa;
    case pop3::kCapaReply: return pop3::readCapaReply;
    case pop3::kStls: return pop3::sendStls;
    case pop3::kStlsReply: return pop3::readStlsReply;
    case pop3::kStlsHandshake: return pop3::stepStlsHandshake;
    default: return pop3::mailboxStep(state);
    }
}

}  // namespace tev

using namespace tev;

extern "C" int32_t tevPop3Connect(int32_t chan, const char *server, const char *user, const char *password) {
    SessionRecord *rec = nullptr;
    int32_t rc = checkChannel(chan, rec);
    if (rc < 0) return rc;
    logText(*rec, "*** tevPop3Connect\r\n");
    rec->sessionKind = 'P';
    if (!server) return TEV_E_NO_SERVER;
    // A line break in a credential would let the caller's text end the command early and inject another.
    if (!user || hasLineBreak(user)) return TEV_E_NO_USER;
    if (!password || hasLineBreak(password)) return TEV_E_NO_PASSWORD;
    if (!checkServerName(server)) return TEV_E_BAD_SERVER_NAME;
    if ((rc = checkTlsAvailable(*rec)) < 0) return rc;
    copyText(rec->serverName, server, kMaxNameChars);
    copyText(rec->userName, user, kMaxCredentialChars);
    copyText(rec->pop3Password, password, kMaxCredentialChars);
    rec->messageCount = 0;
    rec->attachmentsSaved = 0;
    rec->authBuffer[0] = '\0';
    endTls(*rec);
    emptyRing(*rec);
    rec->remotePort = rec->pop3Port;
    return pop3::startOperation(*rec, pop3::kBeginSession, false);
}
