// The error table: every code the library returns or records, with its exact English text.
#include "frame/errors.h"

#include "frame/record.h"
#include "frame/text.h"
#include "tev32.h"

namespace tev {

namespace {

struct ErrorRow {
    int32_t code;
    const char *text;
};

constexpr ErrorRow kErrorTable[] = {
    {0, "Cannot comply"},
    {-1, "Socket has been closed."},
    {-4, "WINSOCK is currently blocking."},
    {-5, "Bad status flag passed to tevStatus."},
    {-7, "Invalid socket."},
    {-8, "Socket timed out."},
    {-9, "No available sockaddr structures."},
    {-12, "No host name."},
    {-18, "Cannot create socket."},
    {-31, "Response buffer has overflowed."},
    {-32, "Bad character in email address."},
    {-34, "Cannot access WINSOCK"},
    {-35, "Cannot open file."},
    {-36, "Error attempting to connect."},
    {-37, "EMPTY email address."},
    {-38, "FromPtr is NULL."},
    {-39, "Missing '@' character in email address."},
    {-40, "Missing FROM email address."},
    {-41, "Missing '<' delimiter in email address."},
    {-43, "Missing '>' terminating email address."},
    {-44, "Not connected to server"},
    {-45, "Must have at least one recipient."},
    {-46, "Cannot find SMTP/POP3 server."},
    {-47, "Unexpected NULL pointer."},
    {-48, "ToPtr is NULL."},
    {-49, "SMTP returned error."},
    {-50, "SMTP/POP3 server not specified."},
    {-51, "Socket read error."},
    {-52, "Socket write error."},
    {-53, "Too many '@' symbols in email address."},
    {-54, "Found unexpected '>' character in email address."},
    {-55, "Cannot allocate memory."},
    {-56, "Illegal chars in server name."},
    {-57, "APOP timestamp missing."},
    {-58, "SMTP function ONLY."},
    {-59, "POP3 function ONLY."},
    {-61, "USER name not specified."},
    {-62, "PASSWORD not specified."},
    {-63, "POP3 returned error."},
    {-64, "No such message number."},
    {-65, "Missing filename."},
    {-66, "Missing email path."},
    {-67, "Cannot create file."},
    {-68, "Buffer is NULL."},
    {-69, "Buffer size < 128."},
    {-70, "Missing path for attachments."},
    {-71, "Must call tevAttach first."},
    {-72, "Already attached."},
    {-73, "Channel out of range."},
    {-80, "Server does not offer STARTTLS."},
    {-81, "TLS handshake failed."},
    {-82, "Server certificate not trusted."},
    {-83, "No usable authentication mechanism."},
    {-84, "TLS not available in this build."},
    {-85, "Server does not accept UTF-8 addresses."},
    {-88, "Message line longer than 998 characters."},
    {-10004, "Interrupted system call."},
    {-10009, "Bad file number."},
    {-10013, "Access denied."},
    {-10014, "Bad address."},
    {-10022, "Invalid argument."},
    {-10024, "Too many open files."},
    {-10035, "Would block socket in non-blocking mode."},
    {-10036, "Blocking call already in progress."},
    {-10037, "Operation already completed."},
    {-10038, "Not a valid socket"},
    {-10039, "Destination address required."},
    {-10040, "Message too big for buffer."},
    {-10041, "Protocol mismatch."},
    {-10042, "Protocol option invalid."},
    {-10043, "Protocol not supported."},
    {-10044, "Socket type not supported."},
    {-10045, "Socket operation not supported."},
    {-10047, "Socket address family not supported."},
    {-10048, "Socket address already in use."},
    {-10049, "Socket address not available."},
    {-10050, "Network error."},
    {-10051, "Cannot reach network."},
    {-10052, "Connection dropped."},
    {-10053, "Connection timed-out or aborted."},
    {-10054, "Connection reset by remote host."},
    {-10055, "Out of buffer space."},
    {-10056, "Socket already connected."},
    {-10057, "Socket not connected."},
    {-10058, "Socket functionality shut down."},
    {-10060, "Timed-out attempting to connect."},
    {-10061, "Connection refused by remote host."},
    {-10064, "Host is down"},
    {-10065, "No route to host"},
    {-10091, "Network not yet ready."},
    {-10092, "WINSOCK doesn't support requested version."},
    {-10093, "Sockets not initialized. Call WSAStartup."},
    {-11001, "Host does not exist."},
    {-11002, "Host not found. Try again."},
    {-11003, "Non-recoverable error has occurred."},
    {-11004, "No data is available."},
    {999, "None"},
};

}  // namespace

const char *errorTextOf(int32_t code) {
    for (const ErrorRow &row : kErrorTable) {
        if (row.code == 999) break;
        if (row.code == code) return row.text;
    }
    return "";
}

int32_t writeErrorText(const SessionRecord &rec, int32_t code, char *buffer, int32_t bufLen) {
    if (!buffer || bufLen < 1) return 0;
    const int32_t room = bufLen - 1;
    const char *text = errorTextOf(code);
    int32_t n = 0;
    while (n < room && text[n] != '\0') {
        buffer[n] = text[n];
        ++n;
    }
    if ((code == TEV_E_SMTP_ERROR || code == TEV_E_POP3_ERROR || code == TEV_E_CONNECT) && n < room) {
        buffer[n++] = ' ';
        const char *reply = rec.replyBuffer;
        for (size_t i = 0; n < room && i < sizeof rec.replyBuffer && reply[i] != '\0'; ++i) buffer[n++] = reply[i];
    }
    if (code == TEV_E_TLS_NOT_TRUSTED && rec.tlsReason[0] != '\0' && n < room) {
        buffer[n++] = ' ';
        for (size_t i = 0; n < room && i < sizeof rec.tlsReason && rec.tlsReason[i] != '\0'; ++i) {
            buffer[n++] = rec.tlsReason[i];
        }
    }
    if (code == TEV_E_NO_AUTH_MECHANISM && n < room) {
        const char *offered = rec.authOffered[0] != '\0' ? " Offered: " : " None offered.";
        for (size_t i = 0; n < room && offered[i] != '\0'; ++i) buffer[n++] = offered[i];
        for (size_t i = 0; n < room && i < sizeof rec.authOffered && rec.authOffered[i] != '\0'; ++i) {
            buffer[n++] = rec.authOffered[i];
        }
    }
    buffer[n] = '\0';
    return n;
}

}  // namespace tev

extern "C" int32_t tevErrorText(int32_t chan, int32_t code, char *buffer, int32_t bufLen) {
    tev::SessionRecord *rec = nullptr;
    int32_t rc = tev::checkChannel(chan, rec);
    if (rc < 0) return rc;
    return tev::writeErrorText(*rec, code, buffer, bufLen);
}
