// The states of the SMTP session (smtp/session.cpp): connect and greeting, EHLO/HELO, the AUTH exchanges and
// VRFY.
#pragma once

#include <cstdint>

namespace tev::smtpstate {

constexpr int32_t kCramMd5 = 150;          // AUTH CRAM-MD5
constexpr int32_t kCramChallenge = 151;
constexpr int32_t kCramResponse = 152;
constexpr int32_t kCramResult = 153;
constexpr int32_t kLogin = 160;            // AUTH LOGIN
constexpr int32_t kLoginUser = 162;
constexpr int32_t kLoginPassword = 163;
constexpr int32_t kLoginResult = 164;
constexpr int32_t kPlain = 170;            // AUTH PLAIN with the initial response
constexpr int32_t kPlainResult = 171;
constexpr int32_t kImplicitTls = 180;      // TLS right after the connect, before the greeting
constexpr int32_t kImplicitHandshake = 181;
constexpr int32_t kStartTls = 182;         // STARTTLS after the EHLO reply offered it
constexpr int32_t kStartTlsReply = 183;
constexpr int32_t kStartTlsHandshake = 184; // then EHLO again over TLS
constexpr int32_t kStartSession = 200;     // the version line, then the connect states
constexpr int32_t kGreeting = 201;
constexpr int32_t kHello = 202;            // EHLO or HELO
constexpr int32_t kHelloReply = 203;
constexpr int32_t kNextName = 270;         // VRFY: the next name of the list
constexpr int32_t kVerify = 271;
constexpr int32_t kVerifyReply = 272;

}  // namespace tev::smtpstate

namespace tev {

constexpr int32_t kSmtpSessionStates[] = {
    smtpstate::kCramMd5,      smtpstate::kCramChallenge, smtpstate::kCramResponse,  smtpstate::kCramResult,
    smtpstate::kLogin,        smtpstate::kLoginUser,     smtpstate::kLoginPassword, smtpstate::kLoginResult,
    smtpstate::kPlain,        smtpstate::kPlainResult,   smtpstate::kImplicitTls,   smtpstate::kImplicitHandshake,
    smtpstate::kStartTls,     smtpstate::kStartTlsReply, smtpstate::kStartTlsHandshake,
    smtpstate::kStartSession, smtpstate::kGreeting,
    smtpstate::kHello,        smtpstate::kHelloReply,    smtpstate::kNextName,      smtpstate::kVerify,
    smtpstate::kVerifyReply};

}  // namespace tev
