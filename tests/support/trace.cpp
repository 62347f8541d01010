// File helpers and the temporary directory of the tests.
#include "support/trace.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace tevtest {

std::string readWholeFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::string();
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

bool fileExists(const std::string &path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

bool writeWholeFile(const std::string &path, const std::string &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

std::vector<std::string> splitLines(const std::string &text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t lf = text.find('\n', start);
        size_t end = lf == std::string::npos ? text.size() : lf + 1;
        lines.push_back(text.substr(start, end - start));
        start = end;
    }
    return lines;
}

std::string showBytes(const std::string &bytes, size_t maxBytes) {
    std::string out;
    size_t n = std::min(bytes.size(), maxBytes);
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        switch (c) {
        case '\r': out += "\\r"; break;
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        case '\\': out += "\\\\"; break;
        default:
            if (c >= 0x20 && c < 0x7f) {
                out += static_cast<char>(c);
            } else {
                char hex[8];
                std::snprintf(hex, sizeof hex, "\\x%02X", c);
                out += hex;
            }
        }
    }
    if (n < bytes.size()) out += "...";
    return out;
}

namespace {
int removeEntry(const char *path, const struct stat *, int, struct FTW *) {
    ::remove(path);
    return 0;  // keep going; whatever stays is reported by the caller
}
}  // namespace

bool removeTree(const std::string &path) {
    if (!fileExists(path)) return true;
    ::nftw(path.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
    return !fileExists(path);
}

std::vector<std::string> listDirectory(const std::string &path) {
    std::vector<std::string> names;
    DIR *dir = ::opendir(path.c_str());
    if (dir == nullptr) return names;
    while (struct dirent *entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

TempDir::TempDir() {
    char pattern[] = "/tmp/tev-test.XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        ADD_FAILURE() << "mkdtemp failed, errno " << errno;
        return;
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    if (!path_.empty()) removeTree(path_);
}

std::string TempDir::file(const std::string &name) const { return path_ + "/" + name; }

std::vector<std::string> TempDir::list(const std::string &sub) const {
    return listDirectory(sub.empty() ? path_ : path_ + "/" + sub);
}

}  // namespace tevtest
