// The exit statuses of 'tevmail sendmail', as programs that pipe mail into sendmail read them (sysexits.h): a
// temporary failure (75) is worth trying again later, any other failure is not.
#pragma once

#include <stdint.h>

namespace tevmail {

enum SendmailExit {
    kSendmailOk = 0,
    kSendmailUsage = 64,        // EX_USAGE: the command line
    kSendmailData = 65,         // EX_DATAERR: the message read from standard input
    kSendmailUnavailable = 69,  // EX_UNAVAILABLE: no server there, TLS failed, a permanent (5xx) refusal
    kSendmailSoftware = 70,     // EX_SOFTWARE: the library refused what tevmail gave it
    kSendmailOsError = 71,      // EX_OSERR: the library could not start or allocate
    kSendmailIoError = 74,      // EX_IOERR: standard input, the temporary file or the trace file
    kSendmailTempFail = 75,     // EX_TEMPFAIL: a 4xx reply, a timeout, a connection lost
    kSendmailNoPermission = 77, // EX_NOPERM: authentication refused or impossible
    kSendmailConfig = 78,       // EX_CONFIG: the configuration file
};

// The library's SMTP states that authenticate (AUTH CRAM-MD5, LOGIN, PLAIN and the SASL mechanisms).
bool isAuthenticationState(int32_t state);

// What a failed connect or send left behind.
struct SendFailure {
    int32_t code = 0;        // the library's result, negative
    int32_t replyCode = 0;   // the server's last reply code (TEV_STAT_REPLY_CODE), 0 for none
    int32_t socketCode = 0;  // the socket-level code (TEV_STAT_SOCKET_ERROR), 0 for none
    int32_t lastState = 0;   // the last state the driver named before the failure
};

int sendmailExitStatus(const SendFailure &failure);

}  // namespace tevmail
