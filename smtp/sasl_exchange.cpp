// SMTP AUTH (RFC 4954) with the SASL mechanisms of engine/sasl.h that have no states of their own: SCRAM-SHA-256,
// SCRAM-SHA-1 (RFC 5802, RFC 7677), XOAUTH2 and OAUTHBEARER (RFC 7628).  The AUTH command carries the initial
// response; every 334 challenge is answered with one unbroken base64 line; a 235 counts only once the exchange
// is complete on the client's side too (SCRAM: the server's signature matched).
#include <string>

#include "engine/driver.h"
#include "engine/sasl.h"
#include "engine/transport.h"
#include "frame/record.h"
#include "frame/text.h"
#include "frame/tracelog.h"
#include "smtp/session.h"
#include "tev32.h"

namespace tev {
namespace {

using namespace smtpstate;

// Sends a line, keeping what fits of it in commandBuffer as every command does.
int32_t sendAuthLine(SessionRecord &rec, const std::string &line, uint32_t now, int32_t delayMs) {
    copyText(rec.commandBuffer, line.c_str());
    int32_t rc = sendLine(rec, line.c_str());
    if (rc < 0) return errorExit(rec, rc, TEV_E_WRITE);
    armReplyTimers(rec, now, delayMs);
    rec.nextState = kSaslReply;
    return 0;
}

// 190: "AUTH <mechanism> <initial response>" ("=" for an empty one).
int32_t sendSaslAuth(SessionRecord &rec, uint32_t now) {
    const SaslMechanism mechanism = static_cast<SaslMechanism>(rec.saslMechanism);
    std::string initial;
    bool hasInitial = false;
    if (saslBegin(rec, mechanism, rec.password, initial, hasInitial) < 0) {
        return errorExit(rec, 0, TEV_E_NO_AUTH_MECHANISM);
    }
    std::string line = std::string("AUTH ") + mechanismName(mechanism);
    if (hasInitial) line += " " + saslInitialResponse(initial);
    return sendAuthLine(rec, line, now, 2 * settings.stepDelay.get());
}

// 191: a 334 challenge is answered and the state stays; 235 ends the exchange; anything else fails it.  The
// JSON of an OAuth error challenge follows the final reply in the error text.
int32_t readSaslReply(SessionRecord &rec, uint32_t now) {
    if (!waitReadable(rec, 0)) return 0;
    int32_t rc = readSmtpReply(rec);
    if (rc >= 0 && rec.replyCode == 334) {
        size_t length = boundedLength(rec.replyBuffer, sizeof rec.replyBuffer);
        std::string text(rec.replyBuffer, length);
        const std::string challenge = base64Decode(text.size() > 4 ? text.substr(4) : std::string());
        std::string response, reason;
        if (saslRespond(rec, challenge, rec.password, response, reason) < 0) {
            return saslRefuse(rec, reason, TEV_E_SMTP_ERROR);
        }
        return sendAuthLine(rec, base64Encode(response), now, settings.stepDelay.get() + 200);
    }
    if (rc >= 0 && rec.replyCode >= 200 && rec.replyCode < 300) {
        if (!saslComplete(rec)) {
            return saslRefuse(rec, "SCRAM: success without the server's signature", TEV_E_SMTP_ERROR);
        }
        logFormat(rec, "AUTH %s ok\r\n", mechanismName(static_cast<SaslMechanism>(rec.saslMechanism)));
        rec.authenticatedWith = rec.saslMechanism;
        saslReset(rec);
        rec.nextState = kIdle;
        return 0;
    }
    if (rec.saslNote[0] != '\0') {
        size_t length = boundedLength(rec.replyBuffer, sizeof rec.replyBuffer);
        if (length == 0 || rec.replyBuffer[length - 1] != '\n') appendText(rec.replyBuffer, "\r\n");
        appendText(rec.replyBuffer, rec.saslNote);
    }
    saslReset(rec);
    return errorExit(rec, 0, rc < 0 ? rc : TEV_E_SMTP_ERROR);
}

}  // namespace

StateStep smtpSaslStep(int32_t state) {
    switch (state) {
    case kSaslAuth: return sendSaslAuth;
    case kSaslReply: return readSaslReply;
    default: return nullptr;
    }
}

}  // namespace tev
