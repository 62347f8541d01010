// POP3 session: tevPop3Connect and the login states 300-306 (greeting, USER/PASS or APOP), STLS, and AUTH with
// SASL mechanisms chosen from CAPA (RFC 5034, states 340-341), plus what every POP3 operation shares.  RFC 1939:
// status lines are judged by their first character; APOP digests the greeting's timestamp followed by the
// password with MD5.
#include "pop3/session.h"

#include <cstring>
#include <string>

#include "engine/codecs.h"
#include "engine/connect.h"
#include "engine/control.h"
#include "engine/sasl.h"
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
void finishFetchFiles(SessionRecord &rec) { closeFetchFiles(rec); }
[[maybe_unused]] const bool kHooksRegistered = (registerSessionHooks('P', SessionHooks{finishFetchFiles}), true);

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

// Where the login goes: the default USER or APOP, or, with a preference list or an OAuth token, the first
// usable choice among what CAPA offered.  A list that names nothing usable fails with -83 (a POP3 session
// cannot go on unauthenticated); a token alone falls back to the default.
int32_t enterLogin(SessionRecord &rec) {
    if (!extendedChoice(rec)) {
        rec.nextState = loginState(rec);
        return 0;
    }
    LoginOptions options;
    options.pop3 = true;
    options.userOffered = rec.capaUser != 0;
    options.apopTimestamp = rec.authBuffer[0] != '\0';
    const SaslMechanism mechanism = choosePreferred(rec, rec.pop3Password, options);
    switch (mechanism) {
    case SaslMechanism::none:
        if (rec.authMechanisms[0] != '\0') return errorExit(rec, 0, TEV_E_NO_AUTH_MECHANISM);
        rec.nextState = loginState(rec);
        return 0;
    case SaslMechanism::user: rec.nextState = kUser; return 0;
    case SaslMechanism::apop: rec.nextState = kApop; return 0;
    default:
        rec.saslMechanism = static_cast<int32_t>(mechanism);
        rec.nextState = kAuth;
        return 0;
    }
}

// 301: the greeting; its APOP timestamp is kept whichever login follows, also across STLS.
int32_t readGreeting(SessionRecord &rec, uint32_t now) {
    if (!replyWaiting(rec)) return 0;
    if (int32_t rc = readLoginReply(rec)) return rc;
    storeApopTimestamp(rec);
    const bool wantsStls = (rec.tlsMode == 1 || rec.tlsMode == 3) && !rec.tlsActive;
    armSendPause(rec, now, settings.stepDelay.get());  // the next step sends CAPA, APOP, USER or AUTH
    armReplyTime(rec, now);
    if (wantsStls || extendedChoice(rec)) {
        rec.nextState = kCapa;
        return 0;
    }
    return enterLogin(rec);
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
    return enterLogin(rec);
}

// Keeps what a capability line says about logging in: the SASL mechanisms and USER.
void noteLoginCapability(SessionRecord &rec, const char *line) {
    if (beginsWithWord(line, "USER")) rec.capaUser = 1;
    if (beginsWithWord(line, "SASL")) {
        std::string names = line + 4;
        while (!names.empty() && (names.back() == '\n' || names.back() == '\r')) names.pop_back();
        copyText(rec.authOffered, names.c_str() + (names.empty() ? 0 : 1));
    }
}

// 333: the capability list, read to its end line; STLS on a line of its own means the server offers TLS, SASL
// and USER what the login may use.  A server without CAPA (-ERR) offers no STLS and no SASL, and USER/PASS is
// taken to work.  After STLS the list is read again: only what the server says over TLS counts.
int32_t readCapaReply(SessionRecord &rec, uint32_t) {
    if (!replyWaiting(rec)) return 0;
    int32_t rc = readPop3Reply(rec);
    rec.authOffered[0] = '\0';
    rec.capaUser = rc == TEV_E_POP3_ERROR ? 1 : 0;
    const bool wantsStls = (rec.tlsMode == 1 || rec.tlsMode == 3) && !rec.tlsActive;
    if (rc == TEV_E_POP3_ERROR) return wantsStls ? withoutStls(rec) : enterLogin(rec);
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
            noteLoginCapability(rec, line);
        }
        lineStart = line[n - 1] == '\n';
    }
    if (!wantsStls) return enterLogin(rec);
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
    if (extendedChoice(rec)) {
        rec.nextState = kCapa;
        return 0;
    }
    return enterLogin(rec);
}

// ---------------------------------------------------------------- AUTH (RFC 5034)

// RFC 5034 4: an AUTH command with its initial response may not exceed 255 octets; a longer response waits for
// the server's first (empty) continuation instead.
constexpr size_t kMaxAuthCommandOctets = 255;

// Sends one line of the exchange.
int32_t sendAuthLine(SessionRecord &rec, const std::string &line, uint32_t now) {
    copyText(rec.commandBuffer, line.c_str());
    int32_t rc = sendLine(rec, line.c_str());
    if (rc < 0) return errorExit(rec, rc, TEV_E_READ);
    rec.nextState = kAuthReply;
    armPasswordDelay(rec, now);
    armReplyTime(rec, now);
    return 0;
}

// 340: "AUTH <mechanism> [initial response]".
int32_t sendAuth(SessionRecord &rec, uint32_t now) {
    const SaslMechanism mechanism = static_cast<SaslMechanism>(rec.saslMechanism);
    std::string initial;
    bool hasInitial = false;
    if (saslBegin(rec, mechanism, rec.pop3Password, initial, hasInitial) < 0) {
        return errorExit(rec, 0, TEV_E_NO_AUTH_MECHANISM);
    }
    std::string line = std::string("AUTH ") + mechanismName(mechanism);
    if (hasInitial) {
        const std::string encoded = saslInitialResponse(initial);
        if (line.size() + 1 + encoded.size() + 2 <= kMaxAuthCommandOctets) {
            line += " " + encoded;
        } else {
            rec.saslDeferred = 1;
        }
    }
    return sendAuthLine(rec, line, now);
}

// 341: a continuation ("+ challenge") is answered and the state stays; +OK ends the login; -ERR fails it, with
// the JSON of an OAuth error challenge behind the server's line in the error text.
int32_t readAuthReply(SessionRecord &rec, uint32_t now) {
    if (!replyWaiting(rec)) {
        platform::sleepMs(settings.pollSleep.get());
        return 0;
    }
    int32_t rc = readPop3Reply(rec);
    if (rc < 0) {
        if (rc == TEV_E_POP3_ERROR && rec.saslNote[0] != '\0') {
            size_t length = boundedLength(rec.replyBuffer, sizeof rec.replyBuffer);
            if (length == 0 || rec.replyBuffer[length - 1] != '\n') appendText(rec.replyBuffer, "\r\n");
            appendText(rec.replyBuffer, rec.saslNote);
        }
        saslReset(rec);
        return errorExit(rec, 0, rc);
    }
    if (std::strncmp(rec.replyBuffer, "+OK", 3) == 0) {
        if (!saslComplete(rec)) {
            return saslRefuse(rec, "SCRAM: success without the server's signature", TEV_E_POP3_ERROR);
        }
        rec.authenticatedWith = rec.saslMechanism;
        saslReset(rec);
        rec.nextState = kIdle;
        return 0;
    }
    if (rec.replyBuffer[0] != '+') return errorExit(rec, 0, TEV_E_SOCKET_CLOSED);
    if (rec.saslDeferred) {
        std::string initial;
        bool hasInitial = false;
        saslBegin(rec, static_cast<SaslMechanism>(rec.saslMechanism), rec.pop3Password, initial, hasInitial);
        return sendAuthLine(rec, base64Encode(initial), now);
    }
    std::string text(rec.replyBuffer, boundedLength(rec.replyBuffer, sizeof rec.replyBuffer));
    const std::string challenge = base64Decode(text.size() > 2 ? text.substr(2) : std::string());
    std::string response, reason;
    if (saslRespond(rec, challenge, rec.pop3Password, response, reason) < 0) {
        return saslRefuse(rec, reason, TEV_E_POP3_ERROR);
    }
    return sendAuthLine(rec, base64Encode(response), now);
}

// 302: "APOP user digest".
int32_t sendApop(SessionRecord &rec, uint32_t now) {
    if (rec.authBuffer[0] == '\0') return errorExit(rec, 0, TEV_E_NO_APOP_TIMESTAMP);
    appendText(rec.authBuffer, rec.pop3Password);
    buildApopArgument(rec);
    formatText(rec.commandBuffer, sizeof rec.commandBuffer, "APOP %s", rec.authBuffer);
    if (int32_t rc = sendCommand(rec, TEV_E_READ)) return rc;
    rec.saslMechanism = static_cast<int32_t>(SaslMechanism::apop);
    rec.nextState = kLoginResult;
    armPasswordDelay(rec, now);
    armReplyTime(rec, now);
    return 0;
}

// 303: "USER name".
int32_t sendUser(SessionRecord &rec, uint32_t now) {
    formatText(rec.commandBuffer, sizeof rec.commandBuffer, "USER %s", rec.userName);
    if (int32_t rc = sendCommand(rec, TEV_E_READ)) return rc;
    rec.saslMechanism = static_cast<int32_t>(SaslMechanism::user);
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
    rec.authenticatedWith = rec.saslMechanism;
    rec.saslMechanism = 0;
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
    case pop3::kAuth: return pop3::sendAuth;
    case pop3::kAuthReply: return pop3::readAuthReply;
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
    rec->authenticatedWith = 0;
    rec->authOffered[0] = '\0';
    rec->capaUser = 0;
    saslReset(*rec);
    endTls(*rec);
    emptyRing(*rec);
    rec->remotePort = rec->pop3Port;
    return pop3::startOperation(*rec, pop3::kBeginSession, false);
}
