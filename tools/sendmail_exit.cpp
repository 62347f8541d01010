// Which sysexits.h status a failed 'tevmail sendmail' ends with.

#include "sendmail_exit.h"

namespace tevmail {

namespace {

// The library's codes (tev32.h), repeated here so this file needs no library.
constexpr int32_t kSocketClosed = -1;
constexpr int32_t kTimeout = -8;
constexpr int32_t kCannotOpenFile = -35;
constexpr int32_t kConnect = -36;
constexpr int32_t kNotConnected = -44;
constexpr int32_t kSmtpError = -49;
constexpr int32_t kRead = -51;
constexpr int32_t kWrite = -52;
constexpr int32_t kNoMemory = -55;
constexpr int32_t kNoStartTls = -80;
constexpr int32_t kUtf8Address = -85;  // the last of the TLS and SMTPUTF8 codes, from -80 on
constexpr int32_t kNoAuthMechanism = -83;
constexpr int32_t kLineTooLong = -88;
constexpr int32_t kNoSockAddr = -9;
constexpr int32_t kNoHostName = -12;
constexpr int32_t kServerNotFound = -46;
constexpr int32_t kNoServer = -50;
constexpr int32_t kBadServerName = -56;
constexpr int32_t kSocketTimedOut = -10060;
constexpr int32_t kNameTryAgain = -11002;
constexpr int32_t kFirstSocketCode = -10000;

bool isTransient(int32_t replyCode) { return replyCode >= 400 && replyCode <= 499; }

// A socket-level failure: a timeout or a temporary name lookup failure may pass; a refusal or an unreachable
// host says nobody serves mail there.
int socketStatus(int32_t socketCode) {
    if (socketCode == kSocketTimedOut || socketCode == kNameTryAgain) return kSendmailTempFail;
    if (socketCode <= kFirstSocketCode) return kSendmailUnavailable;
    return kSendmailTempFail;
}

}  // namespace

bool isAuthenticationState(int32_t state) {
    return (state >= 150 && state <= 171) || state == 190 || state == 191;
}

int sendmailExitStatus(const SendFailure &failure) {
    const int32_t code = failure.code;
    if (code >= 0) return kSendmailOk;
    if (code == kNoAuthMechanism) return kSendmailNoPermission;
    if (isAuthenticationState(failure.lastState) && (code == kSmtpError || code == kSocketClosed)) {
        return code == kSmtpError && isTransient(failure.replyCode) ? kSendmailTempFail : kSendmailNoPermission;
    }
    if (code == kSmtpError) return isTransient(failure.replyCode) ? kSendmailTempFail : kSendmailUnavailable;
    if (code == kSocketClosed || code == kTimeout || code == kRead || code == kWrite || code == kNotConnected) {
        return kSendmailTempFail;
    }
    if (code == kConnect) return socketStatus(failure.socketCode);
    if (code <= kFirstSocketCode) return socketStatus(code);
    if (code <= kNoStartTls && code >= kUtf8Address) return kSendmailUnavailable;  // TLS, SMTPUTF8
    if (code == kLineTooLong) return kSendmailData;
    if (code == kCannotOpenFile) return kSendmailIoError;
    if (code == kNoMemory) return kSendmailOsError;
    // The server's name finds no server.
    if (code == kServerNotFound || code == kNoSockAddr || code == kNoHostName || code == kBadServerName ||
        code == kNoServer) {
        return kSendmailUnavailable;
    }
    return kSendmailSoftware;
}

}  // namespace tevmail
