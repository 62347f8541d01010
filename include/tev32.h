/* TEV32: client-side e-mail library (SMTP with AUTH and MIME composition, POP3 with a MIME decoder).
 * Flat C interface: every function returns an int32_t, a non-negative result or a negative TEV_E_* code.
 * Usable from C and C++. Link with -ltev32 (pkg-config: tev32). */
#ifndef TEV32_H
#define TEV32_H

#include <stdint.h>

#if defined(TEV32_BUILDING) && defined(__GNUC__)
#define TEV_API __attribute__((visibility("default")))
#else
#define TEV_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Attach and release ---- */
TEV_API int32_t tevAttach(int32_t channels);
TEV_API int32_t tevRelease(void);

/* ---- Parameters ---- */
TEV_API int32_t tevIntegerParam(int32_t chan, int32_t code, int32_t value);
TEV_API int32_t tevStringParam(int32_t chan, int32_t code, const char *text);

/* ---- Errors and diagnostics ---- */
TEV_API int32_t tevErrorText(int32_t chan, int32_t code, char *buffer, int32_t bufLen);
TEV_API int32_t tevDebug(int32_t chan, int32_t code, char *buffer, int32_t bufLen);
TEV_API int32_t tevStatistics(int32_t chan, int32_t code);

/* ---- Session control and the driver ---- */
TEV_API int32_t tevClose(int32_t chan);
TEV_API int32_t tevAbort(int32_t chan);
TEV_API int32_t tevCommand(int32_t chan, const char *command);
TEV_API int32_t tevDriver(int32_t chan);

/* ---- Base64 buffers ---- */
TEV_API int32_t tevEncodeBuffer(const char *src, char *dst, int32_t len);
TEV_API int32_t tevDecodeBuffer(const char *src, char *dst, int32_t len);

/* ---- SMTP ---- */
TEV_API int32_t tevSmtpConnect(int32_t chan, const char *server, const char *from, const char *replyTo);
TEV_API int32_t tevVerifyUser(int32_t chan, const char *names);
TEV_API int32_t tevSendEmail(int32_t chan, const char *to, const char *cc, const char *bcc,
                             const char *subject, const char *message, const char *attachments);
TEV_API int32_t tevVerifyFormat(const char *address);

/* ---- POP3 ---- */
TEV_API int32_t tevPop3Connect(int32_t chan, const char *server, const char *user, const char *password);
TEV_API int32_t tevGetEmailCount(int32_t chan);
TEV_API int32_t tevGetEmailSize(int32_t chan, int32_t message);
TEV_API int32_t tevGetEmailLines(int32_t chan, int32_t message, int32_t lines, char *buffer, int32_t size);
TEV_API int32_t tevGetEmailFile(int32_t chan, int32_t message, const char *fileName,
                                const char *emailDir, const char *attachDir);
TEV_API int32_t tevGetEmailUID(int32_t chan, int32_t message, char *buffer, int32_t size);
TEV_API int32_t tevDeleteEmail(int32_t chan, int32_t message);

/* ---- Text extraction (no channel) ---- */
TEV_API int32_t tevExtractText(const char *text, const char *key, char *buffer, int32_t size);
TEV_API int32_t tevExtractLine(const char *text, int32_t line, char *buffer, int32_t size);

/* ---- Integer parameter codes (tevIntegerParam) ---- */
#define TEV_STEP_DELAY          1  /* process: ms before a step that reads a reply (25) */
#define TEV_RESPONSE_TIMEOUT    2  /* process: reply deadline, ms (25000) */
#define TEV_CONNECT_TIMEOUT     3  /* process: connect deadline, ms (60000) */
#define TEV_LINE_DELAY          5  /* process: ms between message lines (0) */
#define TEV_TRANSFER_TIMEOUT    6  /* process: send and read timeouts together, ms */
#define TEV_BODY_MODE           8  /* channel: body mode 0..15 */
#define TEV_AUTO_CALL           9  /* channel: protocol calls drive themselves (1) */
#define TEV_NUMBER_FILES       10  /* channel: number saved attachment files */
#define TEV_SEND_TIMEOUT       11  /* process: ms per message line sent (25000) */
#define TEV_READ_TIMEOUT       12  /* process: ms a POP3 read waits (25000) */
#define TEV_POLL_SLEEP         13  /* process: ms between readiness polls (100) */
#define TEV_SAVE_UNNAMED       14  /* channel: save unnamed base64 parts as "noname" */
#define TEV_SMTP_PORT          15  /* channel: SMTP port (25) */
#define TEV_POP3_PORT          16  /* channel: POP3 port (110) */
#define TEV_LINE_LENGTH        17  /* process: longest text line (78); soft length = value - 18 */
#define TEV_BLOCKING           18  /* channel: nonzero = blocking connect */
#define TEV_PASS_8BIT          19  /* process: keep control and 8-bit bytes in plain text */
#define TEV_NO_SAVE_NOTE       21  /* process: no note line for saved attachments */
#define TEV_NO_TO_HEADER       22  /* process: omit the To: header line */
#define TEV_ADDRESS_SEPARATOR  23  /* process: separator of address lists (',') */
#define TEV_CLEANUP_ON_RELEASE 24  /* process: tevRelease cleans up sockets (1) */
#define TEV_ATTACH_SEPARATOR   25  /* process: separator of attachment lists (',') */
#define TEV_NAME_SEPARATOR     26  /* process: path|shown-name separator ('|') */
#define TEV_IMAGE_TYPES        27  /* channel: image content types for image files (1) */
#define TEV_DECODE_MODE        28  /* channel: 1 = save fetched messages raw */
#define TEV_USE_EHLO           29  /* channel: greet with EHLO and authenticate */
#define TEV_USE_APOP           30  /* channel: log in to POP3 with APOP */
#define TEV_TLS_MODE          100  /* channel: 0 none, 1 STARTTLS/STLS required, 2 implicit TLS, 3 STARTTLS if offered */
#define TEV_TLS_VERIFY        101  /* channel: verify the server certificate and its name (1) */
#define TEV_REQUIRE_AUTH      102  /* channel: 1 = no usable AUTH mechanism fails the connect with -83 (0) */
#define TEV_UTF8              103  /* channel: 1 = compose and decode UTF-8 mail (encoded words, charsets) (0) */
#define TEV_EARLY_REPLY       104  /* process: 1 = the pause before reading a reply ends once it is readable (0) */
#define TEV_CLOSE_PAUSE       105  /* process: ms to pause after closing a socket, 0..500 (500) */
#define TEV_PREPARED_MESSAGE  110  /* channel: 1 = the message text is a complete message, sent as it is */

/* ---- String parameter codes (tevStringParam) ---- */
#define TEV_LOG_FILE           20  /* channel: open the trace log */
#define TEV_WRITE_BUFFER       41  /* channel: write the library-owned TOP buffer to a file */
#define TEV_REPLY_TO           50  /* channel: Reply-To address */
#define TEV_HEADER_LINES       51  /* channel: replace the extra header lines */
#define TEV_LOG_TEXT           52  /* channel: write a line into the trace log */
#define TEV_FROM_ADDRESS       53  /* channel: sender address */
#define TEV_CONTENT_TYPE       54  /* process: custom content-type line (body mode 9) */
#define TEV_TRANSFER_ENCODING  55  /* process: custom transfer-encoding line */
#define TEV_ADD_HEADER_LINE    56  /* channel: append an extra header line */
#define TEV_AUTH_PASSWORD      57  /* channel: SMTP AUTH password */
#define TEV_AUTH_USER          58  /* channel: SMTP AUTH / POP3 user name */
#define TEV_ALTERNATE_TEXT     59  /* channel: alternative plain-text part */
#define TEV_TLS_CA_FILE       100  /* channel: PEM file of trusted CAs (default: the system store) */
#define TEV_OAUTH_TOKEN       101  /* channel: OAuth 2 access token; enables XOAUTH2 / OAUTHBEARER */
#define TEV_AUTH_MECHANISMS   102  /* channel: mechanisms in order of preference, e.g. "SCRAM-SHA-256 CRAM-MD5" */

/* ---- Statistic codes (tevStatistics) ---- */
#define TEV_STAT_STEPS          2
#define TEV_STAT_REPLY_CODE     3
#define TEV_STAT_SOCKET_ERROR   4
#define TEV_STAT_TEXT_READ     10
#define TEV_STAT_ATTACH_READ   11
#define TEV_STAT_TOTAL_READ    12
#define TEV_STAT_TEXT_SENT     13
#define TEV_STAT_ATTACH_SENT   14
#define TEV_STAT_TOTAL_SENT    15
#define TEV_STAT_VERSION       16
#define TEV_STAT_MESSAGE_COUNT 17
#define TEV_STAT_MESSAGE_SIZE  18
#define TEV_STAT_BUFFER_USED   19
#define TEV_STAT_CONNECTED     20
#define TEV_STAT_ATTACH_SAVED  22
#define TEV_STAT_VERIFY_RESULT 24
#define TEV_STAT_BUILD         26
#define TEV_STAT_SOCKET        27
#define TEV_STAT_TLS          100  /* 1 while the session is encrypted */
#define TEV_STAT_WAIT_EVENTS  101  /* what the channel waits for: 1 readable, 2 writable, 0 a timer or nothing */
#define TEV_STAT_WAIT_MS      102  /* ms until its timer; 0 = none (with events 0: call tevDriver now) */

/* ---- Debug codes (tevDebug) ---- */
#define TEV_DEBUG_MEMORY_CHECK   (-2)  /* passed as the channel */
#define TEV_DEBUG_DATE_LINE     (-12)
#define TEV_DEBUG_LAST_REPLY      23
#define TEV_DEBUG_SERVER_IP       25  /* dotted IPv4 (buffer of 17+) or IPv6 text (46+) */
#define TEV_DEBUG_LOCAL_IP        28  /* the same for the socket's local address */
#define TEV_DEBUG_SAVED_FILES     29
#define TEV_DEBUG_LAST_RECIPIENT  30
#define TEV_DEBUG_BUFFER          40
#define TEV_DEBUG_TLS            100  /* protocol and cipher of the TLS session */
#define TEV_DEBUG_AUTH_MECHANISM 101  /* the mechanism the session authenticated with, or empty */

/* ---- Library constants ---- */
#define TEV_VERSION      834  /* 0x342: 3.4.2 */
#define TEV_BUILD         18
#define TEV_MAX_CHANNELS 128

/* ---- Error codes ---- */
#define TEV_E_CANNOT_COMPLY          0
#define TEV_E_SOCKET_CLOSED        (-1)
#define TEV_E_BLOCKING             (-4)
#define TEV_E_BAD_STATUS_FLAG      (-5)
#define TEV_E_INVALID_SOCKET       (-7)
#define TEV_E_TIMEOUT              (-8)
#define TEV_E_NO_SOCKADDR          (-9)
#define TEV_E_NO_HOST_NAME        (-12)
#define TEV_E_CANNOT_CREATE_SOCKET (-18)
#define TEV_E_RESPONSE_OVERFLOW   (-31)
#define TEV_E_BAD_ADDRESS_CHAR    (-32)
#define TEV_E_NO_SOCKET_LIBRARY   (-34)
#define TEV_E_CANNOT_OPEN_FILE    (-35)
#define TEV_E_CONNECT             (-36)
#define TEV_E_EMPTY_ADDRESS       (-37)
#define TEV_E_FROM_NULL           (-38)
#define TEV_E_MISSING_AT          (-39)
#define TEV_E_MISSING_FROM        (-40)
#define TEV_E_MISSING_LT          (-41)
#define TEV_E_MISSING_GT          (-43)
#define TEV_E_NOT_CONNECTED       (-44)
#define TEV_E_NO_RECIPIENT        (-45)
#define TEV_E_SERVER_NOT_FOUND    (-46)
#define TEV_E_NULL_POINTER        (-47)
#define TEV_E_TO_NULL             (-48)
#define TEV_E_SMTP_ERROR          (-49)
#define TEV_E_NO_SERVER           (-50)
#define TEV_E_READ                (-51)
#define TEV_E_WRITE               (-52)
#define TEV_E_TOO_MANY_AT         (-53)
#define TEV_E_UNEXPECTED_GT       (-54)
#define TEV_E_NO_MEMORY           (-55)
#define TEV_E_BAD_SERVER_NAME     (-56)
#define TEV_E_NO_APOP_TIMESTAMP   (-57)
#define TEV_E_SMTP_ONLY           (-58)
#define TEV_E_POP3_ONLY           (-59)
#define TEV_E_NO_USER             (-61)
#define TEV_E_NO_PASSWORD         (-62)
#define TEV_E_POP3_ERROR          (-63)
#define TEV_E_NO_SUCH_MESSAGE     (-64)
#define TEV_E_MISSING_FILENAME    (-65)
#define TEV_E_MISSING_EMAIL_PATH  (-66)
#define TEV_E_CANNOT_CREATE_FILE  (-67)
#define TEV_E_BUFFER_NULL         (-68)
#define TEV_E_BUFFER_TOO_SMALL    (-69)
#define TEV_E_MISSING_ATTACH_PATH (-70)
#define TEV_E_NOT_ATTACHED        (-71)
#define TEV_E_ALREADY_ATTACHED    (-72)
#define TEV_E_CHANNEL_RANGE       (-73)
#define TEV_E_NO_STARTTLS         (-80)
#define TEV_E_TLS_HANDSHAKE       (-81)
#define TEV_E_TLS_NOT_TRUSTED     (-82)  /* the text names the verification failure */
#define TEV_E_NO_AUTH_MECHANISM   (-83)  /* the text names what the server offered */
#define TEV_E_TLS_UNAVAILABLE     (-84)
#define TEV_E_UTF8_ADDRESS        (-85)  /* a non-ASCII address and no SMTPUTF8 offered */
#define TEV_E_LINE_TOO_LONG       (-88)  /* a prepared message line is longer than 998 characters */

/* Socket-level codes: the classic Winsock numbers, negated, on every platform. */
#define TEV_SOCK_EINTR           (-10004)
#define TEV_SOCK_EBADF           (-10009)
#define TEV_SOCK_EACCES          (-10013)
#define TEV_SOCK_EFAULT          (-10014)
#define TEV_SOCK_EINVAL          (-10022)
#define TEV_SOCK_EMFILE          (-10024)
#define TEV_SOCK_EWOULDBLOCK     (-10035)
#define TEV_SOCK_EINPROGRESS     (-10036)
#define TEV_SOCK_EALREADY        (-10037)
#define TEV_SOCK_ENOTSOCK        (-10038)
#define TEV_SOCK_EDESTADDRREQ    (-10039)
#define TEV_SOCK_EMSGSIZE        (-10040)
#define TEV_SOCK_EPROTOTYPE      (-10041)
#define TEV_SOCK_ENOPROTOOPT     (-10042)
#define TEV_SOCK_EPROTONOSUPPORT (-10043)
#define TEV_SOCK_ESOCKTNOSUPPORT (-10044)
#define TEV_SOCK_EOPNOTSUPP      (-10045)
#define TEV_SOCK_EAFNOSUPPORT    (-10047)
#define TEV_SOCK_EADDRINUSE      (-10048)
#define TEV_SOCK_EADDRNOTAVAIL   (-10049)
#define TEV_SOCK_ENETDOWN        (-10050)
#define TEV_SOCK_ENETUNREACH     (-10051)
#define TEV_SOCK_ENETRESET       (-10052)
#define TEV_SOCK_ECONNABORTED    (-10053)
#define TEV_SOCK_ECONNRESET      (-10054)
#define TEV_SOCK_ENOBUFS         (-10055)
#define TEV_SOCK_EISCONN         (-10056)
#define TEV_SOCK_ENOTCONN        (-10057)
#define TEV_SOCK_ESHUTDOWN       (-10058)
#define TEV_SOCK_ETIMEDOUT       (-10060)
#define TEV_SOCK_ECONNREFUSED    (-10061)
#define TEV_SOCK_EHOSTDOWN       (-10064)
#define TEV_SOCK_EHOSTUNREACH    (-10065)
#define TEV_SOCK_SYSNOTREADY     (-10091)
#define TEV_SOCK_VERNOTSUPPORTED (-10092)
#define TEV_SOCK_NOTINITIALISED  (-10093)
#define TEV_SOCK_HOST_NOT_FOUND  (-11001)
#define TEV_SOCK_TRY_AGAIN       (-11002)
#define TEV_SOCK_NO_RECOVERY     (-11003)
#define TEV_SOCK_NO_DATA         (-11004)

#ifdef __cplusplus
}
#endif

#endif /* TEV32_H */
