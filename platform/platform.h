// The only layer that calls the operating system: files, time, the process-wide lock, sockets, the notice.
// Descriptors the library opens are close-on-exec and 3 or above, so 0 always means "none".
// Socket failures are reported as negated Winsock-style numbers (EINTR -> -10004, ... see mapSocketError).
#pragma once

#include <cstddef>
#include <cstdint>

namespace tev::platform {

// ---- Files ----
// Creates or truncates a regular file (mode 0666 less the umask, or 0600 when `privateFile`: an existing private
// file is set to 0600 too).  Anything but a regular file at the path (a FIFO, a device, a directory) is refused at
// once, never waited for.  '\' and '/' both separate directories; a path starting with a separator whose
// directory part is empty ("\name") opens "name" in the current directory.  `noFollow` refuses a symbolic link as
// the last component.  Returns a blocking handle >= 3, or -1.
int32_t createFile(const char *path, bool privateFile, bool noFollow);
// Opens an existing regular file for reading (non-blocking open, no symbolic-link follow); anything but a regular
// file is refused.  Returns a handle >= 3, or -1.
int32_t openForReading(const char *path);
// Reads up to `count` bytes; returns the number read (0 at end of file) or -1.  EINTR is retried.
int32_t readFile(int32_t handle, void *buffer, int32_t count);
// Writes all `count` bytes (retrying short writes and EINTR); returns `count` or -1.
int32_t writeFile(int32_t handle, const void *buffer, int32_t count);
// Closes a handle the library opened; handles below 3 are ignored.
void closeFile(int32_t handle);
// Size of an open file in bytes, or -1.
int64_t fileSize(int32_t handle);
// True when `path` names the very file open as `handle` (same device and inode); false when either is missing.
bool isSameFile(int32_t handle, const char *path);

// ---- Time ----
// 32-bit millisecond tick of the monotonic clock; compare ticks with tickDiff, never with < or >.
uint32_t tick();
// Signed distance a - b between two ticks, safe across the 32-bit wrap.
inline int32_t tickDiff(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b); }
// Sleeps `ms` milliseconds; 0 or below yields the processor.
void sleepMs(int32_t ms);
void yieldCpu();

struct LocalTime {
    int year, month, day, hour, minute, second, weekday;  // month 1..12, weekday 0 = Sunday
    int32_t utcOffsetMinutes;                               // east of UTC positive, DST included
};
LocalTime localTime();
// Milliseconds since 1970 (UTC wall clock).
uint64_t epochMs();

// ---- Random bytes ----
// Fills `count` bytes from the kernel's random source (never blocks; the clock fills in when it cannot).
void randomBytes(void *buffer, size_t count);

// ---- Process-wide lock ----
void lockLibrary();
void unlockLibrary();
struct LibraryLock {
    LibraryLock() { lockLibrary(); }
    ~LibraryLock() { unlockLibrary(); }
    LibraryLock(const LibraryLock &) = delete;
    LibraryLock &operator=(const LibraryLock &) = delete;
};

// ---- Notice ----
// One line "Info: <message>" on standard error.
void notice(const char *message);

// ---- Sockets (TCP over IPv4 or IPv6) ----
// Winsock-style error number for an errno value (EINTR -> 10004, ... unknown -> 10050).
int32_t mapSocketError(int err);
// Creates a close-on-exec stream socket (IPv4, or IPv6 when `ipv6`) moved to descriptor 3 or above, with Nagle's
// delay off (commands and the end of a message leave at once); returns it or a negated error.
int32_t createSocket(bool ipv6 = false);
// Switches non-blocking mode on or off; returns 1 or a negated error.
int32_t setNonBlocking(int32_t sock, bool on);
// Starts a connect to address:port (host byte order).  Non-blocking socket: 1 when connected or in progress
// (EINPROGRESS), else a negated error.  Blocking socket: connects non-blocking internally and waits at most
// `timeoutMs`; past it returns -10060.
int32_t connectTo(int32_t sock, uint32_t address, uint16_t port, int32_t timeoutMs);
// As connectTo, on an IPv6 socket to a 16-byte address (network order) with its scope (interface index of a
// link-local address, 0 = none).
int32_t connectTo6(int32_t sock, const uint8_t address[16], uint32_t scope, uint16_t port, int32_t timeoutMs);
// The error a failed non-blocking connect left on the socket (SO_ERROR), negated (-10061 refused, ...); 0 when
// there is none or it cannot be read (no socket of the library).  Reading it clears it, so only the connect's own failure path calls this, never a readiness test.
int32_t pendingSocketError(int32_t sock);
// Sends once with MSG_NOSIGNAL; returns bytes sent or -1.  SO_SNDTIMEO bounds a blocking send.  `more` tells
// the kernel further bytes follow at once (MSG_MORE), so lines of one message share segments; the next send
// without it pushes everything out.
int32_t sendOnce(int32_t sock, const void *data, int32_t length, bool more = false);
// Sends all `length` bytes, waiting for room in the kernel's buffer as needed but never longer than
// `timeoutMs` in all (the socket's own send time-out plays no part); `more` as for sendOnce.  Returns `length`,
// or -1 (errno ETIMEDOUT at the limit; part of the bytes may have gone out).  Counts as one send for faults.
int32_t sendWithin(int32_t sock, const void *data, int32_t length, int32_t timeoutMs, bool more = false);
// Sets the send time-out of a socket (ms).
void setSendTimeout(int32_t sock, int32_t timeoutMs);
// Receives once; returns bytes received (>0), 0 at an orderly close, or -1 on failure.  EINTR is retried.
int32_t receiveOnce(int32_t sock, void *buffer, int32_t length);
// Closes a socket the library opened (no linger time is set).  Returns 1 or a negated error.
int32_t closeSocket(int32_t sock);
// Local IPv4 address of a socket in host byte order; 0 when it has none (or is an IPv6 socket).
uint32_t localAddress(int32_t sock);
// Local address of an IPv6 socket (16 bytes, network order); false when it has none (or is an IPv4 socket).
bool localAddress6(int32_t sock, uint8_t address[16]);
// Host name into buffer (NUL-terminated, cut to size); returns 1 or a negated error.
int32_t hostName(char *buffer, int32_t size);
// Resolves a host name to its first IPv4 address (host byte order); returns 1 and sets address, or
// -11001 (unknown host), -11002 (temporary failure), -11003 (non-recoverable), -11004 (no IPv4 address).
int32_t resolveIPv4(const char *name, uint32_t &address);
// Resolves a host name to its first IPv6 address (16 bytes, network order) and its scope; the same results as
// resolveIPv4 (-11004: no IPv6 address).
int32_t resolveIPv6(const char *name, uint8_t address[16], uint32_t &scope);
// A numeric IPv6 address ("::1", "fe80::1%eth0"; no brackets) into 16 bytes and its scope, without a lookup;
// false when the text is not one.
bool parseIPv6(const char *text, uint8_t address[16], uint32_t &scope);
// Room that formatIPv6 needs: the longest text ("ffff:...:255.255.255.255") and its NUL.
constexpr int32_t kIPv6TextSize = 46;
// An IPv6 address in its shortest standard text ("::1", "2001:db8::5"); returns the length, or 0 (nothing
// written) when size is below kIPv6TextSize.
int32_t formatIPv6(const uint8_t address[16], char *buffer, int32_t size);

// Readiness, zero wait (poll()).  An invalid descriptor (closed, 0) reports the condition as holding.
enum class Readiness { readable, writable, error };
bool pollReady(int32_t sock, Readiness what);
// Both of pollReady's writable and readable tests from one zero-wait poll.
void pollWritableReadable(int32_t sock, bool &writable, bool &readable);
// What waitSocket waits for: a bit set of these.
constexpr int32_t kSocketReadable = 1;
constexpr int32_t kSocketWritable = 2;
// Sleeps in poll() until the socket is ready for one of `events` (readable includes a hang-up or an error) or
// `ms` have passed (0 does not wait).  1 when ready, 0 when the time ran out.  No lock is taken: a wait never
// holds up other channels.  An invalid descriptor (closed, 0) is ready at once, as the readiness tests say.
int32_t waitSocket(int32_t sock, int32_t events, int32_t ms);

// ---- TLS (OpenSSL 3; a build without it answers every call with kTlsUnavailable) ----
// A client session over a connected socket of the library.  The socket keeps its blocking mode: the session's
// own I/O goes through a socket BIO of this layer that reads with recv(MSG_DONTWAIT) and writes with
// send(MSG_NOSIGNAL | MSG_DONTWAIT), so no call here blocks except tlsWrite's bounded wait, and SIGPIPE is never
// raised.  The session never closes the socket.  TLS 1.2 is the lowest version; sessions are independent (one
// SSL_CTX each), so any thread may drive its own.  OpenSSL reads no further than the record it decrypts, so data
// waiting for a session is always either readable on the socket or counted by tlsPending.
struct TlsSession;
constexpr int32_t kTlsDone = 1;          // tlsStart, tlsHandshakeStep: ready
constexpr int32_t kTlsAgain = 0;         // tlsHandshakeStep: wait for tlsWants() and call again
constexpr int32_t kTlsFailed = -1;       // any call: failed (reason from tlsLastError)
constexpr int32_t kTlsNotTrusted = -2;   // tlsHandshakeStep: the certificate or its name failed verification
constexpr int32_t kTlsWouldBlock = -2;   // tlsRead: no whole record yet; poll the socket and read again
constexpr int32_t kTlsUnavailable = -3;  // tlsStart: this build has no TLS
// What a waiting session needs from its socket: kTlsWantRead (readable) or kTlsWantWrite (writable).
constexpr int32_t kTlsWantRead = 1;
constexpr int32_t kTlsWantWrite = 2;

// 1 when this build has TLS, 0 when not.
int32_t tlsAvailable();
// Prepares a client session on `sock` (no I/O yet).  SNI is `serverName` unless it is an IP literal ("[::1]" and
// "::1" both are); with `verify` the chain must lead to a CA of `caFile` (PEM; null or "" = the system store) and
// the certificate must name `serverName` (a DNS name, or the IP address of a literal); without it anything is
// accepted.  Returns kTlsDone with *out set, kTlsFailed (reason copied into `reason` when given; a CA file that
// cannot be read, ...) or kTlsUnavailable, with *out null.
int32_t tlsStart(int32_t sock, const char *serverName, bool verify, const char *caFile, TlsSession **out,
                 char *reason = nullptr, int32_t reasonSize = 0);
// Goes on with the handshake as far as the socket allows without waiting: kTlsDone, kTlsAgain (see tlsWants),
// kTlsNotTrusted (verification failed; tlsLastError gives the reason, e.g. "certificate has expired") or
// kTlsFailed (any other failure: protocol version, alert, reset, closed).
int32_t tlsHandshakeStep(TlsSession *session);
// What the last kTlsAgain or kTlsWouldBlock waits for: kTlsWantRead or kTlsWantWrite (0 when nothing).
int32_t tlsWants(const TlsSession *session);
// Copies the reason of the last failure (NUL-terminated, cut to size; empty when none); returns its length.
int32_t tlsLastError(const TlsSession *session, char *buffer, int32_t size);
// Reads decrypted bytes once, without waiting: >0 bytes, 0 at an orderly close (close_notify, or the peer's
// EOF), kTlsWouldBlock when no whole record has arrived, kTlsFailed on an error.  EINTR is retried.
int32_t tlsRead(TlsSession *session, void *buffer, int32_t length);
// Sends all `length` bytes, waiting (poll) for the socket as the session needs, at most `timeoutMs` in all;
// returns `length` or kTlsFailed (also at the time limit: part of a record may have gone out, so the session
// is then unusable).  With `more` (as MSG_MORE) the bytes may be held, up to one full record, and go out with
// a later write: the next one without `more` sends everything held first.
int32_t tlsWrite(TlsSession *session, const void *data, int32_t length, int32_t timeoutMs, bool more = false);
// Waits at most `timeoutMs` for what the session last wanted (readable when nothing); 1 when ready, 0 when not.
int32_t tlsWait(const TlsSession *session, int32_t timeoutMs);
// Decrypted bytes held by the session that tlsRead returns without touching the socket.
int32_t tlsPending(const TlsSession *session);
// "<protocol> <cipher>", for example "TLSv1.3 TLS_AES_256_GCM_SHA384" (empty before the handshake is done).
void tlsDescribe(const TlsSession *session, char *buffer, int32_t size);
// Sends close_notify when the socket takes it at once, then frees the session (null is ignored).  The socket
// stays open.
void tlsClose(TlsSession *session);

// ---- Fault injection for tests ----
// When set to n > 0, the n-th following call of the given kind fails (sends -1, receives -1, connects
// -10061, file creations/opens -1, file reads and writes -1 with EIO; a TLS session's socket reads and writes
// count as receives and sends); 0 disables.  Process-wide, for tests only.
enum class FaultKind { send, receive, connect, openFile, readFile, writeFile };
void injectFault(FaultKind kind, int32_t nth);
// True while an injected fault of this kind has not fallen due.
bool faultPending(FaultKind kind);

}  // namespace tev::platform
