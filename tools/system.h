// The few system services tevmail uses itself: a monotonic clock, sleeping, and local files (sizes, directories,
// whole-file reads and writes, a temporary file). Failures leave errno set for the caller's message.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace tevmail {

double nowSeconds();  // monotonic
void sleepMilliseconds(long ms);
// Sleeps in poll() until `fd` is readable (events 1) or writable (events 2), or `ms` have passed (0 = no limit
// when events are given); with events 0 only sleeps `ms`.  A signal ends the wait early.
void waitForDescriptor(int fd, int events, long ms);

// Size of a readable regular file, or -1 with errno set (EISDIR for a directory, EINVAL for another kind).
int64_t readableFileSize(const std::string &path);

// mkdir -p: true when `path` is a directory afterwards.
bool makeDirectories(const std::string &path);

// `name` inside `directory` ("" for none), with exactly one '/' between them when the directory ends in one.
std::string joinPath(const std::string &directory, const std::string &name);

// Appends everything up to end of file from `fd`; false with errno set on a read error.
bool readAll(int fd, std::string *out);

// Reads what is there from `fd`, at most `size` bytes: the count, 0 at the end, -1 with errno set.
long readSome(int fd, char *buffer, size_t size);

// True when `fd` is an open descriptor (a program started with standard input closed has none).
bool isOpenDescriptor(int fd);

// Creates or replaces `path` with `length` bytes; false with errno set.
bool writeFile(const std::string &path, const char *bytes, size_t length);

// A file that exists for one run of the tool (message text from standard input, or a text that starts with '@').
class TemporaryFile {
public:
    TemporaryFile() = default;
    TemporaryFile(const TemporaryFile &) = delete;
    TemporaryFile &operator=(const TemporaryFile &) = delete;
    ~TemporaryFile();
    // Creates the file in $TMPDIR (else /tmp) with the given bytes; false with errno set on failure.
    bool create(const std::string &bytes);
    // Writing the file piece by piece: creates it empty, appends, and closes it; each false with errno set.
    bool openForWriting();
    bool append(const std::string &bytes);
    bool finishWriting();
    const std::string &path() const { return path_; }

private:
    std::string path_;
    int fd_ = -1;  // open while the file is written piece by piece
};

}  // namespace tevmail
