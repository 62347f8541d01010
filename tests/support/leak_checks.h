// Checks that an operation left nothing behind: the process's open descriptors (each told by what it refers to,
// so a descriptor closed and reused for something else counts as changed) and the files under a directory.
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "support/trace.h"

namespace tevtest {

// Every open descriptor of this process and what it refers to ("socket:[inode]", a path, "pipe:[inode]").
inline std::map<int, std::string> openDescriptors() {
    std::map<int, std::string> fds;
    DIR *dir = opendir("/proc/self/fd");
    if (!dir) return fds;
    const int own = dirfd(dir);
    while (const dirent *e = readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        const int fd = static_cast<int>(std::strtol(e->d_name, nullptr, 10));
        if (fd == own) continue;
        char target[512];
        const ssize_t n = readlink((std::string("/proc/self/fd/") + e->d_name).c_str(), target, sizeof target);
        fds[fd] = std::string(target, n > 0 ? static_cast<size_t>(n) : 0);
    }
    closedir(dir);
    return fds;
}

// What differs between two descriptor sets, "" when nothing: "+fd target" opened, "-fd target" closed.
inline std::string descriptorChanges(const std::map<int, std::string> &before,
                                     const std::map<int, std::string> &after) {
    std::string changes;
    for (const auto &fd : after) {
        const auto was = before.find(fd.first);
        if (was == before.end() || was->second != fd.second) {
            changes += "+" + std::to_string(fd.first) + " " + fd.second + "\n";
        }
    }
    for (const auto &fd : before) {
        const auto now = after.find(fd.first);
        if (now == after.end() || now->second != fd.second) {
            changes += "-" + std::to_string(fd.first) + " " + fd.second + "\n";
        }
    }
    return changes;
}

// The entries under root that are not allowed: anything but the directories in `dirs` (names relative to root)
// and regular files directly in them.  "" when nothing else is there.
inline std::string strayEntries(const std::string &root, const std::set<std::string> &dirs) {
    std::string stray;
    for (const std::string &name : listDirectory(root)) {
        struct stat st {};
        const std::string path = root + "/" + name;
        if (lstat(path.c_str(), &st) != 0) continue;
        if (!S_ISDIR(st.st_mode) || dirs.count(name) == 0) {
            stray += path + "\n";
            continue;
        }
        for (const std::string &inner : listDirectory(path)) {
            if (lstat((path + "/" + inner).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) stray += path + "/" + inner + "\n";
        }
    }
    return stray;
}

// Empties the given directories under root (regular files only live there).
inline void emptyDirectories(const std::string &root, const std::set<std::string> &dirs) {
    for (const std::string &dir : dirs) {
        for (const std::string &name : listDirectory(root + "/" + dir)) unlink((root + "/" + dir + "/" + name).c_str());
    }
}

}  // namespace tevtest
