// SASL client mechanisms shared by SMTP AUTH (RFC 4954) and POP3 AUTH (RFC 5034): SCRAM-SHA-256 and SCRAM-SHA-1
// (RFC 5802, RFC 7677), XOAUTH2 and OAUTHBEARER (RFC 7628), CRAM-MD5 (RFC 2195), LOGIN and PLAIN (RFC 4616);
// the names of POP3's own logins (USER/PASS, APOP) for the preference list; the choice among what a server
// offers; SASLprep (RFC 4013) of a SCRAM password.  Messages are raw bytes here: the protocols base64 them.
#pragma once

#include <cstdint>
#include <string>

#include "frame/mechanisms.h"

namespace tev {

struct SessionRecord;


// SCRAM iteration counts outside this range are refused (RFC 7677 asks for at least 4096; the upper bound keeps a
// hostile server from making the client spin).
constexpr uint32_t kScramMinIterations = 4096;
constexpr uint32_t kScramMaxIterations = 100000;


// True when the blank-separated offer names the mechanism (whole names, ASCII case ignored).
bool offerNames(const char *offer, const char *name);
// The names of every "AUTH" / "AUTH=" line of an EHLO reply, blank-separated, into out (empty when none).
void collectSmtpAuthOffer(const char *reply, char *out, size_t capacity);

// What a protocol can use besides SASL mechanisms that the server offers by name.
struct LoginOptions {
    bool pop3 = false;           // USER and APOP are logins of their own; otherwise they are never usable
    bool userOffered = false;    // POP3: USER/PASS may be used
    bool apopTimestamp = false;  // POP3: the greeting carried an APOP timestamp
};
// True when the mechanism can be used on this session with these credentials and this build (SCRAM needs the
// crypto library and a password SASLprep accepts, OAuth a token) and the server offers it.
bool mechanismUsable(const SessionRecord &rec, SaslMechanism mechanism, const char *password,
                     const LoginOptions &options);
// The first usable mechanism of rec.authMechanisms; without a list, OAUTHBEARER or XOAUTH2 when a token is set
// and the server offers one.  none when nothing fits (the caller then applies its own default).
SaslMechanism choosePreferred(const SessionRecord &rec, const char *password, const LoginOptions &options);
// True when the session's choice goes beyond the default one (a preference list or a token is set).
bool extendedChoice(const SessionRecord &rec);

// Starts an exchange: records the mechanism in rec and builds the initial response (hasInitial false for
// mechanisms that wait for a challenge: LOGIN, CRAM-MD5).  0, or -1 when it cannot start (no random source).
int32_t saslBegin(SessionRecord &rec, SaslMechanism mechanism, const char *password, std::string &initial,
                  bool &hasInitial);
// Answers one decoded server challenge.  0 with the response set, or -1 when the server's message is refused
// (a SCRAM nonce that is not ours, a bad iteration count or salt, a server signature that does not match, an
// "e=" error); reason then says why, for the trace and the error text.
int32_t saslRespond(SessionRecord &rec, const std::string &challenge, const char *password, std::string &response,
                    std::string &reason);
// At the server's success reply: true when the exchange is complete on the client's side too (SCRAM: the
// server's signature has been checked).
bool saslComplete(const SessionRecord &rec);
// Forgets the exchange's state (and the SCRAM secrets it held).
void saslReset(SessionRecord &rec);
// Ends a failed exchange through the error exit with code: the reason is logged and follows the server's last
// line (without its line end) in the error text, in brackets.
int32_t saslRefuse(SessionRecord &rec, const std::string &reason, int32_t code);
// An initial response as it goes on the wire: base64, or "=" for an empty one.
std::string saslInitialResponse(const std::string &initial);

// RFC 4013 for a password: non-ASCII spaces become a space, characters mapped to nothing are removed;
// prohibited characters (controls, private use, non-characters, surrogates, ...) and invalid UTF-8 are refused
// (false).  ASCII passwords without control characters are unchanged.
bool saslPrep(const std::string &in, std::string &out);

// Base64 without line breaks; decoding stops at the first byte outside the alphabet.
std::string base64Encode(const std::string &bytes);
std::string base64Decode(const std::string &text);

// Test hook: the SCRAM client nonce to use instead of random bytes (empty: random again).  Process-wide.
void setScramNonceForTest(const char *nonce);

}  // namespace tev
