// TLS client sessions over the library's sockets, through OpenSSL 3.  The session talks to its socket through a
// BIO of its own rather than OpenSSL's socket BIO: that one writes with write(2), which raises SIGPIPE on a
// closed connection, and blocks on a blocking socket.  Ours sends with MSG_NOSIGNAL and never waits
// (MSG_DONTWAIT on every call), so the socket keeps its blocking mode for the rest of the library and a record
// that has only partly arrived never blocks the thread.
#include <cerrno>
#include <cstring>

#include <poll.h>

#include "platform/internal.h"
#include "platform/platform.h"

#ifdef TEV_HAVE_TLS
#include <arpa/inet.h>
#include <sys/socket.h>

#include <cstdint>
#include <new>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>
#endif

namespace tev::platform {
namespace {

// Copies text into buffer (NUL-terminated, cut to size); returns the length copied.
int32_t copyText(const char *text, char *buffer, int32_t size) {
    if (buffer == nullptr || size < 1) return 0;
    const size_t length = text == nullptr ? 0 : strnlen(text, static_cast<size_t>(size) - 1);
    if (length > 0) std::memcpy(buffer, text, length);
    buffer[length] = '\0';
    return static_cast<int32_t>(length);
}

}  // namespace

#ifdef TEV_HAVE_TLS

struct TlsSession {
    SSL_CTX *context = nullptr;
    SSL *ssl = nullptr;
    int fd = -1;
    bool verify = true;
    bool broken = false;   // a fatal error happened: no close_notify may follow
    int32_t wants = 0;     // kTlsWantRead / kTlsWantWrite after the last kTlsAgain or kTlsWouldBlock
    int lastErrno = 0;     // errno of the last failed socket call of the BIO
    char reason[256] = {};
};

namespace {

// Appends text to the NUL-terminated text in buffer, cut to size.
void appendText(const char *text, char *buffer, int32_t size) {
    if (buffer == nullptr || size < 1) return;
    const size_t used = strnlen(buffer, static_cast<size_t>(size) - 1);
    copyText(text, buffer + used, size - static_cast<int32_t>(used));
}

TlsSession *sessionOf(BIO *bio) { return static_cast<TlsSession *>(BIO_get_data(bio)); }

bool wouldBlock(int err) { return err == EAGAIN || err == EWOULDBLOCK; }

int bioWrite(BIO *bio, const char *data, int length) {
    BIO_clear_retry_flags(bio);
    TlsSession *session = sessionOf(bio);
    if (detail::faultDue(FaultKind::send)) {
        session->lastErrno = ECONNRESET;
        return -1;
    }
    ssize_t sent;
    do {
        sent = send(session->fd, data, static_cast<size_t>(length), MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (sent < 0 && errno == EINTR);
    if (sent >= 0) return static_cast<int>(sent);
    if (wouldBlock(errno)) {
        BIO_set_retry_write(bio);
    } else {
        session->lastErrno = errno;
    }
    return -1;
}

int bioRead(BIO *bio, char *buffer, int length) {
    BIO_clear_retry_flags(bio);
    TlsSession *session = sessionOf(bio);
    if (detail::faultDue(FaultKind::receive)) {
        session->lastErrno = ECONNRESET;
        return -1;
    }
    ssize_t got;
    do {
        got = recv(session->fd, buffer, static_cast<size_t>(length), MSG_DONTWAIT);
    } while (got < 0 && errno == EINTR);
    if (got >= 0) return static_cast<int>(got);  // 0: the peer closed
    if (wouldBlock(errno)) {
        BIO_set_retry_read(bio);
    } else {
        session->lastErrno = errno;
    }
    return -1;
}

long bioControl(BIO *, int command, long, void *) {
    // Nothing is buffered here, so a flush is always complete; every other request is unsupported.
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

int bioCreate(BIO *bio) {
    BIO_set_init(bio, 1);
    return 1;
}

int bioDestroy(BIO *) { return 1; }  // the socket belongs to the caller

// The method of the socket BIO, made once (never freed: sessions of any thread use it until the process ends).
const BIO_METHOD *socketMethod() {
    static BIO_METHOD *const method = [] {
        BIO_METHOD *made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "tev socket");
        if (made != nullptr) {
            BIO_meth_set_write(made, bioWrite);
            BIO_meth_set_read(made, bioRead);
            BIO_meth_set_ctrl(made, bioControl);
            BIO_meth_set_create(made, bioCreate);
            BIO_meth_set_destroy(made, bioDestroy);
        }
        return made;
    }();
    return method;
}

// strerror_r comes in two forms; both give a text here.
[[maybe_unused]] const char *errorText(int result, const char *buffer) { return result == 0 ? buffer : "error"; }
[[maybe_unused]] const char *errorText(const char *text, const char *) { return text; }

void setReason(TlsSession *session, const char *text) { copyText(text, session->reason, sizeof session->reason); }

// The newest OpenSSL error of this thread as a reason ("tlsv1 alert protocol version"), or `otherwise`.
void setOpenSslReason(TlsSession *session, const char *otherwise) {
    const unsigned long code = ERR_peek_last_error();
    const char *text = code != 0 ? ERR_reason_error_string(code) : nullptr;
    if (text != nullptr) {
        setReason(session, text);
    } else if (code != 0) {
        ERR_error_string_n(code, session->reason, sizeof session->reason);
    } else {
        setReason(session, otherwise);
    }
}

// Records why the last call failed with SSL error `err`, and that the session is broken.
void recordFailure(TlsSession *session, int err) {
    session->broken = true;
    session->wants = 0;
    if (err == SSL_ERROR_SYSCALL && session->lastErrno != 0) {
        char text[128] = {};
        setReason(session, errorText(strerror_r(session->lastErrno, text, sizeof text), text));
    } else if (err == SSL_ERROR_SYSCALL || err == SSL_ERROR_ZERO_RETURN) {
        setOpenSslReason(session, "the connection was closed");
    } else {
        setOpenSslReason(session, "TLS protocol error");
    }
}

// Clears what the previous call left, before the next call into OpenSSL.
void beginCall(TlsSession *session) {
    ERR_clear_error();
    session->lastErrno = 0;
}

// The part of a server name that the certificate must carry: without the brackets of "[::1]".
bool bareName(const char *serverName, char *buffer, int32_t size) {
    const char *start = serverName;
    size_t length = std::strlen(serverName);
    if (length >= 2 && serverName[0] == '[' && serverName[length - 1] == ']') {
        ++start;
        length -= 2;
    }
    if (length == 0 || length >= static_cast<size_t>(size)) return false;
    std::memcpy(buffer, start, length);
    buffer[length] = '\0';
    return true;
}

bool isIpLiteral(const char *name) {
    unsigned char address[16];
    return inet_pton(AF_INET, name, address) == 1 || inet_pton(AF_INET6, name, address) == 1;
}

// Records why setting up a session failed; returns false.
bool failSetup(TlsSession *session, const char *otherwise) {
    setOpenSslReason(session, otherwise);
    return false;
}

// Sets up the context and the connection of a new session; false with the reason set on failure.
bool prepare(TlsSession *session, const char *serverName, const char *caFile) {
    session->context = SSL_CTX_new(TLS_client_method());
    if (session->context == nullptr) return failSetup(session, "cannot create a TLS context");
    SSL_CTX *context = session->context;
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    // A peer that closes without close_notify ends the stream as an orderly close does: every protocol here
    // ends its own replies, so a cut-off reply is still noticed by the reader.
    SSL_CTX_set_options(context, SSL_OP_IGNORE_UNEXPECTED_EOF);
    // Read-ahead stays off: OpenSSL then reads no further than the record it decrypts, so nothing received can
    // hide in the session without tlsPending counting it.
    SSL_CTX_set_read_ahead(context, 0);

    char name[256];
    if (serverName == nullptr || !bareName(serverName, name, sizeof name)) {
        setReason(session, "no usable server name");
        return false;
    }
    const bool ipLiteral = isIpLiteral(name);

    if (session->verify) {
        SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
        const bool loaded = caFile != nullptr && caFile[0] != '\0'
                                ? SSL_CTX_load_verify_locations(context, caFile, nullptr) == 1
                                : SSL_CTX_set_default_verify_paths(context) == 1;
        if (!loaded) {
            setOpenSslReason(session, "cannot load the trusted certificates");
            char why[sizeof session->reason];
            copyText(session->reason, why, sizeof why);
            setReason(session, "cannot load the CA file: ");
            appendText(why, session->reason, sizeof session->reason);
            return false;
        }
    } else {
        SSL_CTX_set_verify(context, SSL_VERIFY_NONE, nullptr);
    }

    session->ssl = SSL_new(context);
    if (session->ssl == nullptr) return failSetup(session, "cannot create a TLS connection");
    SSL *ssl = session->ssl;
    if (!ipLiteral && SSL_set_tlsext_host_name(ssl, name) != 1) {
        return failSetup(session, "cannot set the server name");
    }
    if (session->verify) {
        SSL_set_hostflags(ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        const int named = ipLiteral ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), name)
                                    : SSL_set1_host(ssl, name);
        if (named != 1) return failSetup(session, "cannot set the name to verify");
    }

    const BIO_METHOD *method = socketMethod();
    BIO *bio = method != nullptr ? BIO_new(method) : nullptr;
    if (bio == nullptr) return failSetup(session, "cannot create the socket BIO");
    BIO_set_data(bio, session);
    SSL_set_bio(ssl, bio, bio);  // the connection owns it now
    SSL_set_connect_state(ssl);
    return true;
}

void freeSession(TlsSession *session) {
    SSL_free(session->ssl);
    SSL_CTX_free(session->context);
    delete session;
    ERR_clear_error();  // nothing of this session stays in the thread's error queue
}

// Waits at most timeoutMs for `events` on fd (signals restart the wait with the time left); true when ready.
bool waitFor(int fd, short events, int32_t timeoutMs) {
    short revents = 0;
    return detail::pollFor(fd, events, timeoutMs, revents) > 0;
}

}  // namespace

int32_t tlsAvailable() { return 1; }

int32_t tlsStart(int32_t sock, const char *serverName, bool verify, const char *caFile, TlsSession **out,
                 char *reason, int32_t reasonSize) {
    copyText("", reason, reasonSize);
    if (out == nullptr) return kTlsFailed;
    *out = nullptr;
    if (sock < 3) {
        copyText("not a socket of the library", reason, reasonSize);
        return kTlsFailed;
    }
    auto *session = new (std::nothrow) TlsSession;
    if (session == nullptr) {
        copyText("out of memory", reason, reasonSize);
        return kTlsFailed;
    }
    session->fd = sock;
    session->verify = verify;
    ERR_clear_error();
    if (!prepare(session, serverName, caFile)) {
        copyText(session->reason, reason, reasonSize);
        freeSession(session);
        return kTlsFailed;
    }
    *out = session;
    return kTlsDone;
}

int32_t tlsHandshakeStep(TlsSession *session) {
    if (session == nullptr || session->broken) return kTlsFailed;
    beginCall(session);
    const int rc = SSL_do_handshake(session->ssl);
    if (rc == 1) {
        session->wants = 0;
        return kTlsDone;
    }
    const int err = SSL_get_error(session->ssl, rc);
    if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
        session->wants = err == SSL_ERROR_WANT_READ ? kTlsWantRead : kTlsWantWrite;
        return kTlsAgain;
    }
    // Without verification the result is recorded but never ends the handshake, so it explains nothing then.
    const long verified = SSL_get_verify_result(session->ssl);
    if (session->verify && verified != X509_V_OK) {
        session->broken = true;
        session->wants = 0;
        setReason(session, X509_verify_cert_error_string(verified));
        return kTlsNotTrusted;
    }
    recordFailure(session, err);
    return kTlsFailed;
}

int32_t tlsWants(const TlsSession *session) { return session == nullptr ? 0 : session->wants; }

int32_t tlsLastError(const TlsSession *session, char *buffer, int32_t size) {
    return copyText(session == nullptr ? "" : session->reason, buffer, size);
}

int32_t tlsRead(TlsSession *session, void *buffer, int32_t length) {
    if (session == nullptr || buffer == nullptr || length <= 0 || session->broken) return kTlsFailed;
    beginCall(session);
    size_t got = 0;
    if (SSL_read_ex(session->ssl, buffer, static_cast<size_t>(length), &got) == 1) {
        session->wants = 0;
        return static_cast<int32_t>(got);
    }
    const int err = SSL_get_error(session->ssl, 0);
    switch (err) {
    case SSL_ERROR_WANT_READ:
        session->wants = kTlsWantRead;
        return kTlsWouldBlock;
    case SSL_ERROR_WANT_WRITE:
        session->wants = kTlsWantWrite;
        return kTlsWouldBlock;
    case SSL_ERROR_ZERO_RETURN:
        session->wants = 0;
        return 0;
    case SSL_ERROR_SYSCALL:
        if (session->lastErrno == 0 && ERR_peek_error() == 0) {
            session->broken = true;  // an EOF: no close_notify can be exchanged any more
            session->wants = 0;
            return 0;
        }
        break;
    default:
        break;
    }
    recordFailure(session, err);
    return kTlsFailed;
}

int32_t tlsWrite(TlsSession *session, const void *data, int32_t length, int32_t timeoutMs) {
    if (session == nullptr || length < 0 || (data == nullptr && length > 0) || session->broken) return kTlsFailed;
    if (length == 0) return 0;
    const uint32_t start = tick();
    for (;;) {
        beginCall(session);
        size_t written = 0;
        // Partial writes are off: success means every byte is on its way.  A retry must pass the same bytes.
        if (SSL_write_ex(session->ssl, data, static_cast<size_t>(length), &written) == 1) {
            session->wants = 0;
            return length;
        }
        const int err = SSL_get_error(session->ssl, 0);
        short events = 0;
        if (err == SSL_ERROR_WANT_WRITE) {
            events = POLLOUT;
        } else if (err == SSL_ERROR_WANT_READ) {
            events = POLLIN;  // a key update or renegotiation needs the peer's answer first
        } else {
            recordFailure(session, err);
            return kTlsFailed;
        }
        const int32_t left = timeoutMs - tickDiff(tick(), start);
        if (left <= 0 || !waitFor(session->fd, events, left)) {
            session->broken = true;
            session->wants = 0;
            setReason(session, "timed out while sending");
            return kTlsFailed;
        }
    }
}

int32_t tlsWait(const TlsSession *session, int32_t timeoutMs) {
    if (session == nullptr || session->broken) return 0;
    const short events = session->wants == kTlsWantWrite ? POLLOUT : POLLIN;
    return waitFor(session->fd, events, timeoutMs < 0 ? 0 : timeoutMs) ? 1 : 0;
}

int32_t tlsPending(const TlsSession *session) {
    return session == nullptr || session->broken ? 0 : SSL_pending(session->ssl);
}

void tlsDescribe(const TlsSession *session, char *buffer, int32_t size) {
    copyText("", buffer, size);
    if (session == nullptr || !SSL_is_init_finished(session->ssl)) return;
    copyText(SSL_get_version(session->ssl), buffer, size);
    appendText(" ", buffer, size);
    appendText(SSL_get_cipher_name(session->ssl), buffer, size);
}

void tlsClose(TlsSession *session) {
    if (session == nullptr) return;
    if (!session->broken && SSL_is_init_finished(session->ssl)) {
        beginCall(session);
        SSL_shutdown(session->ssl);  // once: sends close_notify if the socket takes it now, waits for nothing
    }
    freeSession(session);
}

#else  // no TLS in this build

struct TlsSession {};

namespace {
constexpr char kNoTls[] = "TLS not available in this build";
}

int32_t tlsAvailable() { return 0; }
int32_t tlsStart(int32_t, const char *, bool, const char *, TlsSession **out, char *reason, int32_t reasonSize) {
    if (out != nullptr) *out = nullptr;
    copyText(kNoTls, reason, reasonSize);
    return kTlsUnavailable;
}
int32_t tlsHandshakeStep(TlsSession *) { return kTlsFailed; }
int32_t tlsWants(const TlsSession *) { return 0; }
int32_t tlsLastError(const TlsSession *, char *buffer, int32_t size) { return copyText(kNoTls, buffer, size); }
int32_t tlsRead(TlsSession *, void *, int32_t) { return kTlsFailed; }
int32_t tlsWrite(TlsSession *, const void *, int32_t, int32_t) { return kTlsFailed; }
int32_t tlsWait(const TlsSession *, int32_t) { return 0; }
int32_t tlsPending(const TlsSession *) { return 0; }
void tlsDescribe(const TlsSession *, char *buffer, int32_t size) { copyText("", buffer, size); }
void tlsClose(TlsSession *) {}

#endif

}  // namespace tev::platform
