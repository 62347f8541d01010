// The record of fetched messages for 'tevmail fetch --new'.

#include "uidl_state.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "system.h"

namespace tevmail {

namespace {

std::string escaped(const std::string &text) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || strchr(".-_@", c)) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

bool writeAllTo(int fd, const std::string &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

bool parseUidlList(const std::string &text, std::vector<std::pair<int32_t, std::string>> *out) {
    size_t start = text.find('\n');  // the status line
    if (start == std::string::npos) return text.empty() || text.compare(0, 3, "+OK") == 0;
    ++start;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        start = end == std::string::npos ? text.size() : end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        size_t blank = line.find(' ');
        if (blank == std::string::npos || blank == 0 || blank + 1 >= line.size()) return false;
        long number = 0;
        for (size_t k = 0; k < blank; ++k) {
            if (line[k] < '0' || line[k] > '9' || number > 100000000) return false;
            number = number * 10 + (line[k] - '0');
        }
        out->emplace_back(static_cast<int32_t>(number), line.substr(blank + 1));
    }
    return true;
}

std::string uidlStatePath(const std::string &mailbox) {
    const char *state = getenv("XDG_STATE_HOME");
    std::string base;
    if (state != nullptr && state[0] == '/') {
        base = state;
    } else {
        const char *home = getenv("HOME");
        if (home == nullptr || home[0] == '\0') return std::string();
        base = std::string(home) + "/.local/state";
    }
    return base + "/tevmail/uidl/" + escaped(mailbox);
}

std::string uidFileStem(const std::string &uid) {
    std::string stem = "message-" + escaped(uid);
    if (stem.size() <= 100) return stem;
    uint64_t hash = 1469598103934665603ull;  // FNV-1a
    for (unsigned char c : uid) hash = (hash ^ c) * 1099511628211ull;
    char tail[24];
    snprintf(tail, sizeof tail, "-%016llx", static_cast<unsigned long long>(hash));
    return stem.substr(0, 100 - strlen(tail)) + tail;
}

bool SeenUidls::load(const std::string &path, std::string *problem) {
    path_ = path;
    FILE *file = fopen(path.c_str(), "rb");
    if (file == nullptr) {
        if (errno == ENOENT) return true;
        *problem = "cannot read '" + path + "': " + strerror(errno);
        return false;
    }
    std::string text;
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, file)) > 0) text.append(chunk, got);
    fclose(file);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) break;  // a line without its end was never completely written
        std::string uid = text.substr(start, end - start);
        start = end + 1;
        if (uid.empty() || uid[0] == '#') continue;
        if (seen_.insert(uid).second) order_.push_back(uid);
    }
    return true;
}

bool SeenUidls::record(const std::string &uid, std::string *problem) {
    if (has(uid)) return true;
    size_t slash = path_.rfind('/');
    std::string dir = slash == std::string::npos ? std::string(".") : path_.substr(0, slash);
    if (!makeDirectories(dir)) {
        *problem = "cannot create '" + dir + "': " + strerror(errno);
        return false;
    }
    std::string text = "# tevmail: messages fetched and saved, one UIDL a line\n";
    for (const std::string &seen : order_) text += seen + "\n";
    text += uid + "\n";
    std::string temporary = path_ + ".tmp." + std::to_string(getpid());
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    bool good = fd >= 0 && writeAllTo(fd, text) && fsync(fd) == 0;
    int saved = errno;
    if (fd >= 0 && close(fd) != 0 && good) {
        good = false;
        saved = errno;
    }
    if (good && rename(temporary.c_str(), path_.c_str()) != 0) {
        good = false;
        saved = errno;
    }
    if (!good) {
        unlink(temporary.c_str());
        *problem = "cannot record message '" + uid + "' in '" + path_ + "': " + strerror(saved);
        return false;
    }
    // The rename itself is durable once the directory is.
    int dirFd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        fsync(dirFd);
        close(dirFd);
    }
    seen_.insert(uid);
    order_.push_back(uid);
    return true;
}

}  // namespace tevmail
