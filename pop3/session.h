// What the POP3 login states (pop3/session.cpp) and the mailbox states (pop3/mailbox.cpp) share: starting an
// operation, the timers the states arm, and command sending.  Internal to pop3/.
#pragma once

#include <cstdint>

#include "engine/driver.h"
#include "frame/record.h"
#include "frame/text.h"
#include "platform/platform.h"

namespace tev::pop3 {

// The login states (pop3/session.cpp).
constexpr int32_t kBeginSession = 300;  // the version line, then the connect states
constexpr int32_t kGreeting = 301;
constexpr int32_t kApop = 302;
constexpr int32_t kUser = 303;
constexpr int32_t kUserReply = 304;
constexpr int32_t kPass = 305;
constexpr int32_t kLoginResult = 306;   // the reply to PASS or APOP
constexpr int32_t kImplicitTls = 330;   // TLS right after the connect, before the greeting
constexpr int32_t kImplicitHandshake = 331;
constexpr int32_t kCapa = 332;          // CAPA after the greeting, to learn of STLS
constexpr int32_t kCapaReply = 333;
constexpr int32_t kStls = 334;
constexpr int32_t kStlsReply = 335;
constexpr int32_t kStlsHandshake = 336; // then the login over TLS
constexpr int32_t kAuth = 340;          // AUTH with a SASL mechanism (RFC 5034)
constexpr int32_t kAuthReply = 341;     // its continuations and result

// The mailbox states (pop3/mailbox.cpp).
constexpr int32_t kStat = 307;
constexpr int32_t kStatReply = 308;
constexpr int32_t kFetchRaw = 309;
constexpr int32_t kRetr = 310;
constexpr int32_t kTop = 311;
constexpr int32_t kFetchLine = 312;
constexpr int32_t kEndFetch = 313;
constexpr int32_t kTopLine = 314;
constexpr int32_t kDele = 315;
constexpr int32_t kDeleReply = 316;
constexpr int32_t kList = 317;
constexpr int32_t kListReply = 318;
constexpr int32_t kUidl = 320;
constexpr int32_t kUidlLine = 321;

constexpr int32_t kPop3LoginStates[] = {kBeginSession, kGreeting,   kApop,     kUser,      kUserReply,
                                        kPass,         kLoginResult, kImplicitTls, kImplicitHandshake, kCapa,
                                        kCapaReply,    kStls,        kStlsReply, kStlsHandshake, kAuth,
                                        kAuthReply};
constexpr int32_t kPop3MailboxStates[] = {kStat, kStatReply, kFetchRaw, kRetr,     kTop,  kFetchLine, kEndFetch,
                                          kTopLine, kDele, kDeleReply, kList, kListReply, kUidl, kUidlLine};

// Sets nextState to firstState with clean timers and, when autoCall is on, drives the channel until the
// operation ends.  With waitForWritable the first state waits for a writable socket, bounded by a deadline of
// responseTimeout so a socket that never drains ends with -8.  Returns 0 (autoCall off) or the last driver result.
int32_t startOperation(SessionRecord &rec, int32_t firstState, bool waitForWritable);

// The pause before a step that reads a reply.
inline void armStepDelay(SessionRecord &rec, uint32_t now) { armReplyPause(rec, now, settings.stepDelay.get()); }
// Credentials get a longer pause: servers answer them more slowly.
inline void armPasswordDelay(SessionRecord &rec, uint32_t now) {
    armReplyPause(rec, now, settings.stepDelay.get() + 200);
}
// How long the reply (or the next line of a multi-line reply) may take.
inline void armReplyTime(SessionRecord &rec, uint32_t now) {
    rec.deadline = timerAt(now, settings.responseTimeout.get());
}

// Sends commandBuffer with CR LF; 0, or errorExit with the send's result and failCode.
int32_t sendCommand(SessionRecord &rec, int32_t failCode);

// The mailbox states 307-321; nullptr for any other number.
StateStep mailboxStep(int32_t state);

// Finishes a fetch's files: the attachment being written is recorded with its note, the message file closed.
// Also what the session control uses to finish them when a POP3 session is closed.
// 0, or -1 when a write of the message file failed (its content is not whole).
int32_t closeFetchFiles(SessionRecord &rec);

}  // namespace tev::pop3
