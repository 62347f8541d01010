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

// ---- Sockets (IPv4 TCP) ----
// Winsock-style error number for an errno value (EINTR -> 10004, ... unknown -> 10050).
int32_t mapSocketError(int err);
// Creates a close-on-exec IPv4 stream socket moved to descriptor 3 or above, with Nagle's delay off (commands
// and the end of a message leave at once); returns it or a negated error.
int32_t createSocket();
// Switches non-blocking mode on or off; returns 1 or a negated error.
int32_t setNonBlocking(int32_t sock, bool on);
// Starts a connect to address:port (host byte order).  Non-blocking socket: 1 when connected or in progress
// (EINPROGRESS), else a negated error.  Blocking socket: connects non-blocking internally and waits at most
// `timeoutMs`; past it returns -10060.
int32_t connectTo(int32_t sock, uint32_t address, uint16_t port, int32_t timeoutMs);
// Sends once with MSG_NOSIGNAL; returns bytes sent or -1.  SO_SNDTIMEO bounds a blocking send.  `more` tells
// the kernel further bytes follow at once (MSG_MORE), so lines of one message share segments; the next send
// without it pushes everything out.
int32_t sendOnce(int32_t sock, const void *data, int32_t length, bool more = false);
// Sets the send time-out of a socket (ms).
void setSendTimeout(int32_t sock, int32_t timeoutMs);
// Receives once; returns bytes received (>0), 0 at an orderly close, or -1 on failure.  EINTR is retried.
int32_t receiveOnce(int32_t sock, void *buffer, int32_t length);
// Closes a socket the library opened (no linger time is set).  Returns 1 or a negated error.
int32_t closeSocket(int32_t sock);
// Local IPv4 address of a socket in host byte order; 0 when it has none.
uint32_t localAddress(int32_t sock);
// Host name into buffer (NUL-terminated, cut to size); returns 1 or a negated error.
int32_t hostName(char *buffer, int32_t size);
// Resolves a host name to its first IPv4 address (host byte order); returns 1 and sets address, or
// -11001 (unknown host), -11002 (temporary failure), -11003 (non-recoverable), -11004 (no IPv4 address).
int32_t resolveIPv4(const char *name, uint32_t &address);

// Readiness, zero wait (poll()).  An invalid descriptor (closed, 0) reports the condition as holding.
enum class Readiness { readable, writable, error };
bool pollReady(int32_t sock, Readiness what);

// ---- Fault injection for tests ----
// When set to n > 0, the n-th following call of the given kind fails (sends -1, receives -1, connects
// -10061, file creations/opens -1); 0 disables.  Process-wide, for tests only.
enum class FaultKind { send, receive, connect, openFile };
void injectFault(FaultKind kind, int32_t nth);

}  // namespace tev::platform
