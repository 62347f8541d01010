// The system services tevmail uses itself: clock, sleep, local files.

#include "system.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <vector>

namespace tevmail {

double nowSeconds() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

void sleepMilliseconds(long ms) {
    struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&pause, nullptr);
}

void waitForDescriptor(int fd, int events, long ms) {
    if (events == 0 || fd <= 0) {
        if (ms > 0) sleepMilliseconds(ms);
        return;
    }
    struct pollfd entry = {fd, static_cast<short>(events == 1 ? POLLIN : POLLOUT), 0};
    poll(&entry, 1, ms > 0 ? static_cast<int>(ms) : -1);
}

int64_t readableFileSize(const std::string &path) {
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat info;
    int rc = fstat(fd, &info);
    int saved = errno;
    close(fd);
    if (rc != 0) {
        errno = saved;
        return -1;
    }
    if (!S_ISREG(info.st_mode)) {
        errno = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
        return -1;
    }
    return static_cast<int64_t>(info.st_size);
}

bool makeDirectories(const std::string &path) {
    std::string partial;
    size_t pos = 0;
    while (pos <= path.size()) {
        size_t slash = path.find('/', pos);
        if (slash == std::string::npos) slash = path.size();
        partial = path.substr(0, slash);
        if (!partial.empty() && mkdir(partial.c_str(), 0777) != 0 && errno != EEXIST) return false;
        pos = slash + 1;
    }
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string joinPath(const std::string &directory, const std::string &name) {
    if (directory.empty()) return name;
    if (directory.back() == '/') return directory + name;
    return directory + "/" + name;
}

long readSome(int fd, char *buffer, size_t size) {
    for (;;) {
        ssize_t n = read(fd, buffer, size);
        if (n < 0 && errno == EINTR) continue;
        return static_cast<long>(n);
    }
}

bool isOpenDescriptor(int fd) { return fcntl(fd, F_GETFD) != -1; }

// Writes all `length` bytes to `fd` (retrying short writes); false with errno set.
static bool writeAll(int fd, const char *bytes, size_t length) {
    size_t done = 0;
    while (done < length) {
        ssize_t n = write(fd, bytes + done, length - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// Writes all of `bytes` to `fd` and closes it; false with errno set.
static bool writeAllAndClose(int fd, const char *bytes, size_t length) {
    if (!writeAll(fd, bytes, length)) {
        int saved = errno;
        close(fd);
        errno = saved;
        return false;
    }
    return close(fd) == 0;
}

bool readAll(int fd, std::string *out) {
    char chunk[65536];
    for (;;) {
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        out->append(chunk, static_cast<size_t>(n));
    }
}

bool writeFile(const std::string &path, const char *bytes, size_t length) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    return writeAllAndClose(fd, bytes, length);
}

TemporaryFile::~TemporaryFile() {
    if (fd_ >= 0) close(fd_);
    if (!path_.empty()) unlink(path_.c_str());
}

bool TemporaryFile::openForWriting() {
    const char *dir = getenv("TMPDIR");
    std::string pattern = std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/tevmail.XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    fd_ = mkostemp(name.data(), O_CLOEXEC);
    if (fd_ < 0) return false;
    path_ = name.data();
    return true;
}

bool TemporaryFile::append(const std::string &bytes) {
    if (fd_ < 0) {
        errno = EBADF;
        return false;
    }
    return writeAll(fd_, bytes.data(), bytes.size());
}

bool TemporaryFile::finishWriting() {
    int fd = fd_;
    fd_ = -1;
    return fd >= 0 && close(fd) == 0;
}

bool TemporaryFile::create(const std::string &bytes) {
    if (!openForWriting()) return false;
    int fd = fd_;
    fd_ = -1;
    return writeAllAndClose(fd, bytes.data(), bytes.size());
}

}  // namespace tevmail
