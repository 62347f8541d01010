// The SMTP session (RFC 5321): tevSmtpConnect and its states (greeting, EHLO/HELO, the choice of authentication
// and the AUTH exchanges CRAM-MD5 (RFC 2195), LOGIN and PLAIN (RFC 4954, RFC 4616)), and address verification
// with VRFY (tevVerifyUser).  Every AUTH argument goes out as one unbroken base64 line followed by CR LF.
#include <algorithm>
#include <cstring>
#include <string>

#include "smtp/session.h"

#include "engine/codecs.h"
#include "engine/connect.h"
#include "engine/driver.h"
#include "engine/sasl.h"
#include "engine/tls_session.h"
#include "engine/transport.h"
#include "frame/record.h"
#include "frame/slots.h"
#include "frame/text.h"
#include "frame/tracelog.h"
#include "platform/platform.h"
#include "smtp/address.h"
#include "tev32.h"

namespace tev {

namespace {

using namespace smtpstate;

// The EHLO/HELO argument when the sender address has no domain to offer: the conventional name of an
// unnamed host, which every server accepts and which reveals nothing about the machine.
constexpr char kDefaultGreetingDomain[] = "localhost.localdomain";

// Waits for the socket to take the greeting command; a socket that does not drain shows up in the send.
constexpr int32_t kGreetingWritableWaitMs = 1000;

constexpr char kAuthPlainPrefix[] = "AUTH PLAIN ";
// Largest PLAIN credential: user, NUL, user, NUL, password.
constexpr size_t kPlainCredentialMax = 3 * kMaxCredentialChars + 2;

// Characters of one unbroken base64 line for `length` bytes, CR LF and NUL included.
constexpr size_t encodedLineSize(size_t length) { return 4 * ((length + 2) / 3) + 3; }

static_assert(sizeof kAuthPlainPrefix - 1 + encodedLineSize(kPlainCredentialMax) <= kBigBufferSize,
              "the AUTH PLAIN line must fit the command buffer");
static_assert(encodedLineSize(kAuthBufferSize) <= kBigBufferSize, "an AUTH argument must fit the command buffer");

// Encodes length bytes as one base64 line without breaks, followed by CR LF and a NUL; returns the characters
// before the NUL (0 for an empty argument, which writes only the NUL).  capacity must hold encodedLineSize().
size_t encodeUnbrokenLine(const unsigned char *bytes, size_t length, char *out, size_t capacity) {
    if (length == 0 || capacity < encodedLineSize(length)) {
        if (capacity > 0) out[0] = '\0';
        return 0;
    }
    size_t written = 0;
    // The line encoder works in chunks of 57 bytes (a multiple of 3, so no padding inside the line); each chunk's
    // CR LF is overwritten by the next chunk.
    for (size_t done = 0; done < length;) {
        size_t take = length - done < 57 ? length - done : 57;
        written += static_cast<size_t>(encodeBase64Line(bytes + done, static_cast<int32_t>(take), out + written));
        done += take;
    }
    out[written] = '\r';
    out[written + 1] = '\n';
    out[written + 2] = '\0';
    return written + 2;
}

// Sends the text of authBuffer as one base64 line (nothing at all for an empty text).
int32_t sendAuthArgument(SessionRecord &rec) {
    size_t length = boundedLength(rec.authBuffer, sizeof rec.authBuffer);
    encodeUnbrokenLine(reinterpret_cast<const unsigned char *>(rec.authBuffer), length, rec.commandBuffer,
                       sizeof rec.commandBuffer);
    return sendText(rec, rec.commandBuffer);
}

// True when the session must not go on without authenticating: TEV_REQUIRE_AUTH with a user name set.
bool authRequired(const SessionRecord &rec) { return rec.requireAuth && rec.userName[0] != '\0'; }

// True when a reply has begun to arrive; a state that reads a reply does nothing until then, so its wait is
// bounded by the deadline armed before.
bool replyWaiting(SessionRecord &rec) { return waitReadable(rec, 0); }

// Reads a reply in a state where any failure ends the session: 1 when read, 0 when nothing has come yet, or
// the error exit's code.
int32_t readReplyOrFail(SessionRecord &rec) {
    if (!replyWaiting(rec)) return 0;
    int32_t rc = readSmtpReply(rec);
    if (rc < 0) return errorExit(rec, 0, rc);
    return 1;
}

// Reads and drops the rest of a reply whose reader stopped before its last line (a multi-line error reply, or
// one too long for the reply room), so that the next command's reply is not taken for it.  lineStart holds the
// part of the current line already read (empty when the reader stopped at a line end).  0 once the last line
// has gone by, -1 when the connection closed, -8 when the rest does not come in time.
int32_t skipRestOfReply(SessionRecord &rec, const char *lineStart, size_t startLength) {
    const uint32_t limit = platform::tick() + static_cast<uint32_t>(settings.pollSleep.get()) +
                           static_cast<uint32_t>(settings.responseTimeout.get());
    const int32_t furtherWait = settings.responseTimeout.get() <= 1 ? 0 : 1;
    char head[4];  // the first characters of the current line: its code and the character that ends a reply
    size_t headLength = 0;
    for (size_t i = 0; i < startLength && headLength < sizeof head; ++i) head[headLength++] = lineStart[i];
    char chunk[256];
    while (platform::tickDiff(platform::tick(), limit) < 0) {
        int32_t n = readLine(rec, chunk, sizeof chunk, 0, furtherWait);
        if (n < 0) return n;
        if (n == 0) {
            waitReadable(rec, std::max<int32_t>(0, platform::tickDiff(limit, platform::tick())));
            continue;
        }
        for (int32_t i = 0; i < n && headLength < sizeof head; ++i) head[headLength++] = chunk[i];
        if (chunk[n - 1] != '\n') continue;
        if (headLength == sizeof head && (head[3] == ' ' || head[3] == '\r')) return 0;
        headLength = 0;
    }
    return TEV_E_TIMEOUT;
}

// After the reader gave up early (-49 after a first line, -31 when the room was full), drops what is left of
// the reply.  0, or the code that ends the session.
int32_t skipUnreadReplyLines(SessionRecord &rec, int32_t readerResult) {
    const char *text = rec.replyBuffer;
    size_t length = boundedLength(text, sizeof rec.replyBuffer);
    if (readerResult == TEV_E_SMTP_ERROR) {
        // replyBuffer holds the reply's first line, whole.
        if (length >= 4 && (text[3] == ' ' || text[3] == '\r')) return 0;
        return skipRestOfReply(rec, text, 0);
    }
    // The room is full: the line being read starts after the last complete one.
    size_t lineStart = length;
    while (lineStart > 0 && text[lineStart - 1] != '\n') --lineStart;
    return skipRestOfReply(rec, text + lineStart, length - lineStart);
}

// ---------------------------------------------------------------- connect, greeting, EHLO/HELO

// 200: the session's first state; the connect states hand over to 201 (to 180 first with implicit TLS).
int32_t startSession(SessionRecord &rec, uint32_t) {
    beginConnect(rec, rec.tlsMode == 2 ? kImplicitTls : kGreeting);
    return 0;
}

// ---------------------------------------------------------------- TLS (RFC 8314 implicit, RFC 3207 STARTTLS)

// True when a reply line (after its code and separator) names the extension.
bool offersExtension(const char *reply, const char *keyword) {
    for (const char *line = reply; *line != '\0';) {
        if (std::strlen(line) > 4 && beginsWithWord(line + 4, keyword)) return true;
        const char *lf = std::strchr(line, '\n');
        if (lf == nullptr) break;
        line = lf + 1;
    }
    return false;
}

// 180: the TLS session on the fresh connection.
int32_t startImplicitTls(SessionRecord &rec, uint32_t now) {
    if (int32_t rc = beginTls(rec, now)) return rc;
    rec.nextState = kImplicitHandshake;
    return 0;
}

// 181: the handshake; the greeting follows over TLS.
int32_t stepImplicitHandshake(SessionRecord &rec, uint32_t now) {
    int32_t rc = continueTls(rec);
    if (rc != 1) return rc;
    rec.deadline = timerAt(now, settings.responseTimeout.get());
    rec.nextState = kGreeting;
    return 0;
}

// 182: STARTTLS.
int32_t sendStartTls(SessionRecord &rec, uint32_t now) {
    copyText(rec.commandBuffer, "STARTTLS");
    int32_t rc = sendLine(rec, rec.commandBuffer);
    if (rc < 0) return errorExit(rec, rc, TEV_E_WRITE);
    armReplyTimers(rec, now, settings.stepDelay.get());
    rec.nextState = kStartTlsReply;
    return 0;
}

// 183: the reply to STARTTLS must be 220; whatever came with it in the clear is thrown away unread.
int32_t readStartTlsReply(SessionRecord &rec, uint32_t now) {
    int32_t rc = readReplyOrFail(rec);
    if (rc <= 0) return rc;
    if (rec.replyCode != 220) return errorExit(rec, 0, TEV_E_SMTP_ERROR);
    discardClearText(rec);
    if ((rc = beginTls(rec, now)) != 0) return rc;
    rec.nextState = kStartTlsHandshake;
    return 0;
}

// 184: the handshake; EHLO is sent again over TLS and only its reply counts.
int32_t stepStartTlsHandshake(SessionRecord &rec, uint32_t now) {
    int32_t rc = continueTls(rec);
    if (rc != 1) return rc;
    rec.deadline = timerAt(now, settings.responseTimeout.get());
    rec.nextState = kHello;
    return 0;
}

// 201: the server's greeting.
int32_t readGreeting(SessionRecord &rec, uint32_t now) {
    int32_t rc = readReplyOrFail(rec);
    if (rc <= 0) return rc;
    armSendPause(rec, now, settings.stepDelay.get());
    rec.deadline = timerAt(now, settings.responseTimeout.get());
    rec.nextState = kHello;
    return 0;
}

// 202: EHLO or HELO with the sender's domain.
int32_t sendGreeting(SessionRecord &rec, uint32_t now) {
    // HELO cannot learn of STARTTLS or AUTH: a session that requires either ends before anything is sent.
    if (rec.tlsMode == 1 && !rec.useEhlo && !rec.tlsActive) return errorExit(rec, 0, TEV_E_NO_STARTTLS);
    if (!rec.useEhlo && authRequired(rec)) return errorExit(rec, 0, TEV_E_NO_AUTH_MECHANISM);
    rec.textBytesRead = 0;
    rec.attachmentBytesRead = 0;
    rec.textBytesSent = 0;
    rec.attachmentBytesSent = 0;
    const char *verb = rec.useEhlo ? "EHLO" : "HELO";
    const char *at = std::strchr(rec.fromAddress, '@');
    if (at != nullptr) {
        // "Ann <ann@example.com>" gives "example.com": the command ends at the address's closing bracket.
        formatText(rec.commandBuffer, sizeof rec.commandBuffer, "%s %s", verb, at + 1);
        if (char *close = std::strchr(rec.commandBuffer, '>')) *close = '\0';
    } else {
        formatText(rec.commandBuffer, sizeof rec.commandBuffer, "%s %s", verb, kDefaultGreetingDomain);
    }
    waitWritableFor(rec, kGreetingWritableWaitMs);
    int32_t rc = sendLine(rec, rec.commandBuffer);
    if (rc < 0) return errorExit(rec, rc, TEV_E_WRITE);
    armReplyTimers(rec, now, 2 * settings.stepDelay.get() + 200);
    rec.nextState = kHelloReply;
    return 0;
}

// The AUTH state of a mechanism chosen from the preference list (or for the OAuth token); kIdle for none.
int32_t preferredAuthentication(SessionRecord &rec) {
    const SaslMechanism mechanism = choosePreferred(rec, rec.password, LoginOptions{});
    switch (mechanism) {
    case SaslMechanism::none: return kIdle;
    case SaslMechanism::cramMd5: return kCramMd5;
    case SaslMechanism::login: return kLogin;
    case SaslMechanism::plain: return kPlain;
    default: rec.saslMechanism = static_cast<int32_t>(mechanism); return kSaslAuth;
    }
}

// The AUTH state that answers the server's offer, or kIdle for none.  A preference list decides alone; an OAuth
// token alone prefers OAUTHBEARER and XOAUTH2.  Otherwise the mechanisms are looked for from the "AUTH " keyword
// on, each with the blank before its name, in order of preference.
int32_t chooseAuthentication(SessionRecord &rec) {
    if (!rec.useEhlo) return kIdle;
    collectSmtpAuthOffer(rec.replyBuffer, rec.authOffered, sizeof rec.authOffered);
    if (extendedChoice(rec)) {
        const int32_t state = preferredAuthentication(rec);
        if (state != kIdle || rec.authMechanisms[0] != '\0') return state;
    }
    const char *offer = findKeyword(rec.replyBuffer, "AUTH ");
    if (offer == nullptr) return kIdle;
    static const struct {
        const char *keyword;
        int32_t state;
    } kMechanisms[] = {{" CRAM-MD5", kCramMd5}, {" LOGIN", kLogin}, {" =LOGIN", kLogin}, {" PLAIN", kPlain}};
    for (const auto &mechanism : kMechanisms) {
        if (findKeyword(offer, mechanism.keyword) != nullptr) return mechanism.state;
    }
    return kIdle;
}

// 203: the EHLO/HELO reply; the session is open unless an authentication follows.
int32_t readGreetingReply(SessionRecord &rec, uint32_t) {
    int32_t rc = readReplyOrFail(rec);
    if (rc <= 0) return rc;
    rec.smtpUtf8Offered = rec.useEhlo && offersExtension(rec.replyBuffer, "SMTPUTF8") ? 1 : 0;
    if ((rec.tlsMode == 1 || rec.tlsMode == 3) && !rec.tlsActive && rec.useEhlo) {
        if (offersExtension(rec.replyBuffer, "STARTTLS")) {
            rec.nextState = kStartTls;
            return 0;
        }
        if (rec.tlsMode == 1) return errorExit(rec, 0, TEV_E_NO_STARTTLS);
    }
    rec.nextState = chooseAuthentication(rec);
    if (rec.nextState == kIdle && authRequired(rec)) return errorExit(rec, 0, TEV_E_NO_AUTH_MECHANISM);
    return 0;
}

// ---------------------------------------------------------------- AUTH CRAM-MD5

// 150
int32_t sendAuthCramMd5(SessionRecord &rec, uint32_t now) {
    copyText(rec.commandBuffer, "AUTH CRAM-MD5");
    int32_t rc = sendLine(rec, rec.commandBuffer);
    if (rc < 0) return errorExit(rec, rc, TEV_E_WRITE);
    armReplyTimers(rec, now, 2 * settings.stepDelay.get());
    rec.nextState = kCramChallenge;
    return 0;
}

// 151: the challenge, decoded as far as authBuffer holds it (a longer one is cut, and the server then refuses
// the response); an empty challenge leaves authBuffer empty.
int32_t readCramChallenge(SessionRecord &rec, uint32_t) {
    int32_t rc = readReplyOrFail(rec);
    if (rc <= 0) return rc;
    size_t replyLength = boundedLength(rec.replyBuffer, sizeof rec.replyBuffer);
    rec.authBuffer[0] = '\0';
    if (replyLength > 4) {
        // 3 bytes for every 4 characters, plus the 4 the decoder clears beyond its output.
        char decoded[kBigBufferSize * 3 / 4 + 8];
        int32_t n = tevDecodeBuffer(rec.replyBuffer + 4, decoded, static_cast<int32_t>(replyLength - 4));
        size_t keep = n > 0 ? static_cast<size_t>(n) : 0;
        if (keep > sizeof rec.authBuffer - 1) keep = sizeof rec.authBuffer - 1;
        std::memcpy(rec.authBuffer, decoded, keep);
        rec.authBuffer[keep] = '\0';
    }
    logFormat(rec, "Challenge '%s'\r\n", rec.authBuffer);
    rec.nextState = kCramResponse;
    return 0;
}

// 152: "user <hex HMAC-MD5>", base64.
int32_t sendCramResponse(SessionRecord &rec, uint32_t now) {
    buildCramResponse(rec);
    int32_t rc = sendAuthArgument(rec);
    if (rc < 0) return errorExit(rec, rc, TEV_E_WRITE);
    armReplyTimers(rec, now, settings.stepDelay.get() + 200);
    rec.nextState = kCramResult;
    return 0;
}

// 153
int32_t readCramResult(SessionRecord &rec, uint32_t) {
    int32_t rc = readReplyOrFail(rec);
    if (rc <= 0) return rc;
    logText(rec, "AUTH CRAM-MD5 ok\r\n");
    rec.authenticatedWith = static_cast<int32_t>(SaslMechanism::cramMd5);
    rec.nextState = kIdle;
    return 0;
}

// ---------------------------------------------------------------- AUTH LOGIN

// 160
int32_t sendAuthLogin(SessionRecord &rec, uint32_t now) {
    copyText(rec.commandBuffer, "AUTH LOGIN");
    int32_t rc = sendLine(rec, rec.commandBuffer);
    if (rc < 0) return errorExit(rec, rc, TEV_E_WRITE);
    armReplyTimers(rec, now, 2 * settings.stepDelay.get() + 200);
    rec.nextState = kLoginUser;
    return 0;
}

// 162: the user-name prompt (its text is not examined), then the user name.
int32_t sendLoginUser(SessionRecord &rec, uint32_t now) {
    int32_t rc = readReplyOrFail(rec);
    if (rc <= 0) return rc;
    copyText(rec.authBuffer, rec.userName);
    rc = sendAuthArgument(rec);
    if (rc < 0) return errorExit(rec, rc, TEV_E_WRITE);
    armReplyTimers(rec, now, settings.stepDelay.get());
    rec.nextState = kLoginPassword;
    return 0;
}

// 163: the password prompt, then the password.
int32_t sendLoginPassword(SessionRecord &rec, uint32_t now) {
    int32_t rc = readReplyOrFail(rec);
    if (rc <= 0) return rc;
    copyText(rec.authBuffer, rec.password);
    rc = sendAuthArgument(rec);
    if (rc < 0) return errorExit(rec, rc, TEV_E_WRITE);
    armReplyTimers(rec, now, settings.stepDelay.get() + 200);
    rec.nextState = kLoginResult;
    return 0;
}

// 164
int32_t readLoginResult(SessionRecord &rec, uint32_t) {
    int32_t rc = readReplyOrFail(rec);
    if (rc <= 0) return rc;
    logText(rec, "AUTH LOGIN ok\r\n");
    rec.authenticatedWith = static_cast<int32_t>(SaslMechanism::login);
    rec.nextState = kIdle;
    return 0;
}

// ---------------------------------------------------------------- AUTH PLAIN

// 170: "AUTH PLAIN" with the initial response user NUL user NUL password.
int32_t sendAuthPlain(SessionRecord &rec, uint32_t now) {
    unsigned char credential[kPlainCredentialMax];
    size_t userLength = boundedLength(rec.userName, sizeof rec.userName);
    size_t passwordLength = boundedLength(rec.password, sizeof rec.password);
    if (userLength > kMaxCredentialChars) userLength = kMaxCredentialChars;
    if (passwordLength > kMaxCredentialChars) passwordLength = kMaxCredentialChars;
    size_t length = 0;
    std::memcpy(credential + length, rec.userName, userLength);
    length += userLength;
    credential[length++] = '\0';
    std::memcpy(credential + length, rec.userName, userLength);
    length += userLength;
    credential[length++] = '\0';
    std::memcpy(credential + length, rec.password, passwordLength);
    length += passwordLength;

    size_t prefix = copyText(rec.commandBuffer, kAuthPlainPrefix);
    size_t encoded = encodeUnbrokenLine(credential, length, rec.commandBuffer + prefix,
                                        sizeof rec.commandBuffer - prefix);
    int32_t rc = sendBytes(rec, rec.commandBuffer, static_cast<int32_t>(prefix + encoded));
    if (rc < 0) return errorExit(rec, rc, TEV_E_WRITE);
    armReplyTimers(rec, now, 2 * settings.stepDelay.get());
    rec.nextState = kPlainResult;
    return 0;
}

// 171
int32_t readPlainResult(SessionRecord &rec, uint32_t) {
    int32_t rc = readReplyOrFail(rec);
    if (rc <= 0) return rc;
    logText(rec, "AUTH PLAIN ok\r\n");
    rec.authenticatedWith = static_cast<int32_t>(SaslMechanism::plain);
    rec.nextState = kIdle;
    return 0;
}

// ---------------------------------------------------------------- VRFY

// 270: cuts the next name out of the list; the list is used up when nothing is left of it.
int32_t takeNextName(SessionRecord &rec, uint32_t now) {
    rec.currentAddress = rec.addressCursor;
    if (rec.currentAddress == nullptr || rec.currentAddress[0] == '\0') {
        rec.nextState = kIdle;
        return 0;
    }
    const char separator = settings.addressSeparator.get();
    char *cut = separator != '\0' ? std::strchr(rec.currentAddress, separator) : nullptr;
    if (cut != nullptr) {
        *cut = '\0';
        rec.addressCursor = cut + 1;
    } else {
        rec.addressCursor = emptyText;
    }
    armWritableStart(rec, now);
    rec.nextState = kVerify;
    return 0;
}

// 271: the name goes out whole, however long.
int32_t sendVerify(SessionRecord &rec, uint32_t now) {
    std::string line = "VRFY ";
    line += rec.currentAddress ? rec.currentAddress : "";
    copyText(rec.commandBuffer, line.c_str());
    int32_t rc = sendLine(rec, line.c_str());
    if (rc < 0) return errorExit(rec, rc, TEV_E_WRITE);
    armReplyTimers(rec, now, settings.stepDelay.get());
    rec.nextState = kVerifyReply;
    return 0;
}

// 272: the whole reply is read, error replies included, before the next name; a refusal only makes the result
// 0.  A connection that closes, or a reply that never completes, ends the verification.
int32_t readVerifyReply(SessionRecord &rec, uint32_t) {
    if (!replyWaiting(rec)) return 0;
    int32_t rc = readSmtpReply(rec);
    if (rc == TEV_E_SMTP_ERROR || rc == TEV_E_RESPONSE_OVERFLOW) {
        int32_t skipped = skipUnreadReplyLines(rec, rc);
        if (skipped < 0) return errorExit(rec, 0, skipped);
    } else if (rc < 0) {
        return errorExit(rec, 0, rc);
    }
    rec.verifyResult = (rc >= 0 && rec.replyCode == 250) ? 1 : 0;
    rec.nextState = kNextName;
    return 0;
}

}  // namespace

StateStep smtpSessionStep(int32_t state) {
    switch (state) {
    case kCramMd5: return sendAuthCramMd5;
    case kCramChallenge: return readCramChallenge;
    case kCramResponse: return sendCramResponse;
    case kCramResult: return readCramResult;
    case kLogin: return sendAuthLogin;
    case kLoginUser: return sendLoginUser;
    case kLoginPassword: return sendLoginPassword;
    case kLoginResult: return readLoginResult;
    case kPlain: return sendAuthPlain;
    case kPlainResult: return readPlainResult;
    case kImplicitTls: return startImplicitTls;
    case kImplicitHandshake: return stepImplicitHandshake;
    case kStartTls: return sendStartTls;
    case kStartTlsReply: return readStartTlsReply;
    case kStartTlsHandshake: return stepStartTlsHandshake;
    case kStartSession: return startSession;
    case kGreeting: return readGreeting;
    case kHello: return sendGreeting;
    case kHelloReply: return readGreetingReply;
    case kNextName: return takeNextName;
    case kVerify: return sendVerify;
    case kVerifyReply: return readVerifyReply;
    default: return smtpSaslStep(state);
    }
}

}  // namespace tev

using namespace tev;

extern "C" int32_t tevSmtpConnect(int32_t chan, const char *server, const char *from, const char *replyTo) {
    SessionRecord *rec = nullptr;
    int32_t rc = checkChannel(chan, rec);
    if (rc < 0) return rc;
    rec->sessionKind = 'S';
    logText(*rec, "*** tevSmtpConnect\r\n");
    if (server == nullptr) return TEV_E_NO_SERVER;
    if ((rc = checkTlsAvailable(*rec)) < 0) return rc;
    if (from == nullptr) return TEV_E_FROM_NULL;
    if (!checkServerName(server)) return TEV_E_BAD_SERVER_NAME;
    if (replyTo != nullptr && replyTo[0] != '\0') {
        if (hasLineBreak(replyTo)) return TEV_E_BAD_ADDRESS_CHAR;
        copyText(rec->replyTo, replyTo, kMaxNameChars);
    } else {
        rec->replyTo[0] = '\0';
    }
    copyText(rec->serverName, server, kMaxNameChars);
    rc = checkAddressField(*rec, from, false);
    if (rc < 0) return rc;
    copyText(rec->fromAddress, from, kMaxNameChars);

    rec->remotePort = rec->smtpPort;
    rec->waitWritable = 0;
    rec->nextState = smtpstate::kStartSession;
    rec->afterConnectState = kIdle;
    rec->lastSocketError = 0;
    rec->attachmentsSaved = 0;
    rec->authenticatedWith = 0;
    rec->authOffered[0] = '\0';
    saslReset(*rec);
    endTls(*rec);
    emptyRing(*rec);
    rec->waitUntil = 0;
    rec->deadline = 0;
    if (!rec->autoCall) return 0;
    return runAutoCall(chan);
}

extern "C" int32_t tevVerifyUser(int32_t chan, const char *names) {
    SessionRecord *rec = nullptr;
    int32_t rc = checkChannel(chan, rec);
    if (rc < 0) return rc;
    if (rec->sessionKind != 'S') return TEV_E_SMTP_ONLY;
    logText(*rec, "*** tevVerifyUser\r\n");
    if (names == nullptr || names[0] == '\0') return TEV_E_NO_RECIPIENT;
    // A line break in a name would end the VRFY line and send the rest as a command of its own.
    if (hasLineBreak(names)) return TEV_E_BAD_ADDRESS_CHAR;
    rec->addressCursor = copyToSlot(chan, 1, names);
    if (rec->addressCursor == nullptr) return TEV_E_NO_MEMORY;
    rec->nextState = smtpstate::kNextName;
    rec->afterConnectState = kIdle;
    rec->lastSocketError = 0;
    // Timers left by the operation before (a deadline long past) must not fail this one, also when the
    // application drives the states itself.
    rec->waitUntil = 0;
    rec->deadline = 0;
    if (!rec->autoCall) return 0;
    rc = runAutoCall(chan);
    return rc < 0 ? rc : rec->verifyResult;
}
