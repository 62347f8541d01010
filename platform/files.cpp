// Files by path and handle: create-or-truncate, open an existing regular file for reading, read, write, close and
// size.  Paths composed by the library use '\' between directory and name; both '\' and '/' separate directories.
#include <cerrno>
#include <climits>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/internal.h"
#include "platform/platform.h"

namespace tev::platform {
namespace {

// Room for the translated path: the longest path the kernel takes, with its NUL.
constexpr size_t kPathRoom = PATH_MAX;

// Translates a library path into a POSIX one in `out`.  Every '\' becomes '/'.  A path whose text starts with '\'
// was composed from an empty directory and a name ("\name"): its leading separators are dropped so that it opens
// in the current directory and never in the root directory.  A path starting with '/' stays absolute.
// Returns false when the path is missing, empty or too long.
bool translatePath(const char *path, char (&out)[kPathRoom]) {
    if (path == nullptr || path[0] == '\0') {
        errno = ENOENT;
        return false;
    }
    const char *from = path;
    if (*from == '\\') {
        while (*from == '\\' || *from == '/') ++from;
    }
    size_t length = 0;
    for (; from[length] != '\0'; ++length) {
        if (length + 1 >= kPathRoom) {
            errno = ENAMETOOLONG;
            return false;
        }
        out[length] = from[length] == '\\' ? '/' : from[length];
    }
    out[length] = '\0';
    if (length == 0) {
        errno = ENOENT;
        return false;
    }
    return true;
}

int openRetrying(const char *path, int flags, mode_t mode) {
    int fd;
    do {
        fd = open(path, flags, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

}  // namespace

namespace detail {

int moveAboveStdio(int fd) {
    if (fd < 0 || fd >= 3) return fd;
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    const int saved = errno;
    close(fd);
    errno = saved;
    return moved;
}

}  // namespace detail

int32_t createFile(const char *path, bool privateFile, bool noFollow) {
    if (detail::faultDue(FaultKind::openFile)) {
        errno = EIO;
        return -1;
    }
    char native[kPathRoom];
    if (!translatePath(path, native)) return -1;
    // Opened non-blocking and without O_TRUNC, so a FIFO or a device at the path neither hangs the open nor is
    // acted on; only a regular file is truncated and used, and then it blocks as any file does.
    int flags = O_CREAT | O_WRONLY | O_NONBLOCK | O_CLOEXEC;
    if (noFollow) flags |= O_NOFOLLOW;
    const int fd = detail::moveAboveStdio(openRetrying(native, flags, privateFile ? 0600 : 0666));
    if (fd < 3) return -1;
    struct stat info {};
    bool usable = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    if (!usable) errno = EINVAL;
    // A private file that already existed keeps no one else's permissions before anything is written to it.
    if (usable && privateFile) usable = fchmod(fd, 0600) == 0;
    if (usable) usable = ftruncate(fd, 0) == 0;
    if (usable) {
        const int status = fcntl(fd, F_GETFL);
        usable = status != -1 && fcntl(fd, F_SETFL, status & ~O_NONBLOCK) == 0;
    }
    if (!usable) {
        const int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

int32_t openForReading(const char *path) {
    if (detail::faultDue(FaultKind::openFile)) {
        errno = EIO;
        return -1;
    }
    char native[kPathRoom];
    if (!translatePath(path, native)) return -1;
    // Non-blocking, so that naming a FIFO or a device cannot hang the open; such files are refused below.
    const int fd = detail::moveAboveStdio(openRetrying(native, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC, 0));
    if (fd < 3) return -1;
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}

int32_t readFile(int32_t handle, void *buffer, int32_t count) {
    if (handle < 3) {
        errno = EBADF;
        return -1;
    }
    if (detail::faultDue(FaultKind::readFile)) {
        errno = EIO;
        return -1;
    }
    if (buffer == nullptr || count < 0) {
        errno = EFAULT;
        return -1;
    }
    ssize_t got;
    do {
        got = read(handle, buffer, static_cast<size_t>(count));
    } while (got < 0 && errno == EINTR);
    return got < 0 ? -1 : static_cast<int32_t>(got);
}

int32_t writeFile(int32_t handle, const void *buffer, int32_t count) {
    if (handle < 3) {
        errno = EBADF;
        return -1;
    }
    if (detail::faultDue(FaultKind::writeFile)) {
        errno = EIO;
        return -1;
    }
    if (count < 0 || (buffer == nullptr && count > 0)) {
        errno = EFAULT;
        return -1;
    }
    const char *bytes = static_cast<const char *>(buffer);
    int32_t done = 0;
    while (done < count) {
        const ssize_t put = write(handle, bytes + done, static_cast<size_t>(count - done));
        if (put < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (put == 0) {  // cannot happen for a regular file; never spin on it
            errno = EIO;
            return -1;
        }
        done += static_cast<int32_t>(put);
    }
    return count;
}

void closeFile(int32_t handle) {
    // Handles below 3 are not the library's.  close() is not retried after EINTR: Linux has already freed the
    // descriptor, and a retry could close one another thread just opened.
    if (handle >= 3) close(handle);
}

int64_t fileSize(int32_t handle) {
    if (handle < 3) return -1;
    struct stat info {};
    if (fstat(handle, &info) != 0) return -1;
    return static_cast<int64_t>(info.st_size);
}

bool isSameFile(int32_t handle, const char *path) {
    if (handle < 3) return false;
    char native[kPathRoom];
    if (!translatePath(path, native)) return false;
    struct stat open {}, named {};
    if (fstat(handle, &open) != 0 || stat(native, &named) != 0) return false;
    return open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

}  // namespace tev::platform
