// The MIME decoder on any message, decoded from memory as a RETR fetch decodes it: after every input no file
// may exist outside the message directory and the attachment directory (both in a temporary directory of this
// run; the working directory is watched too: relative names would land there), every file is closed, and the result is the end line's 0 or the
// close's -1.
//
// Input: a RETR reply when it begins with "+OK" (used as it is), otherwise a message that is framed as a server
// sends it (LF line ends made CR LF, lines beginning with '.' stuffed, "+OK" line before and "." line after), so
// any message file is a seed.  The input's size picks the options: bit 0 numbers attachment files, bit 1 saves
// unnamed parts, (size / 4) % 61 cuts the reply into pieces of that many bytes (0: one piece).
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "frame/record.h"
#include "pop3/decoder.h"
#include "pop3/memory_fetch.h"
#include "tev32.h"

namespace {

struct Dirs {
    std::string top, mail, att;
    std::vector<std::string> cwdEntries;  // the working directory's entries at the start
};

std::vector<std::string> entries(const std::string &dir) {
    std::vector<std::string> names;
    DIR *d = opendir(dir.c_str());
    if (!d) __builtin_trap();
    while (const dirent *e = readdir(d)) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    }
    closedir(d);
    return names;
}

std::vector<std::string> sorted(std::vector<std::string> names) {
    std::sort(names.begin(), names.end());
    return names;
}

bool isRegularFile(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

const Dirs &dirs() {
    static const Dirs made = [] {
        Dirs d;
        // TEV_FUZZ_SCRATCH: where the run's directory goes (scripts/fuzz.sh removes it after the run).
        const char *scratch = std::getenv("TEV_FUZZ_SCRATCH");
        for (const char *base : {scratch ? scratch : "/dev/shm", "/tmp"}) {
            std::string pattern = std::string(base) + "/tev-fuzz-decoder.XXXXXX";
            if (mkdtemp(&pattern[0])) {
                d.top = pattern;
                break;
            }
        }
        if (d.top.empty()) __builtin_trap();
        d.mail = d.top + "/mail";
        d.att = d.top + "/att";
        for (const std::string *dir : {&d.mail, &d.att}) {
            if (mkdir(dir->c_str(), 0700) != 0) __builtin_trap();
        }
        d.cwdEntries = sorted(entries("."));
        return d;
    }();
    return made;
}

// Only regular files directly in the two directories; nothing in the working directory or beside them.  Empties
// both for the next input.
void checkAndClear(const Dirs &d) {
    std::vector<std::string> top = entries(d.top);
    if (top.size() != 2) __builtin_trap();
    if (sorted(entries(".")) != d.cwdEntries) __builtin_trap();
    for (const std::string *dir : {&d.mail, &d.att}) {
        for (const std::string &name : entries(*dir)) {
            const std::string path = *dir + "/" + name;
            if (!isRegularFile(path)) __builtin_trap();
            if (*dir == d.mail && name != "msg.txt") __builtin_trap();
            unlink(path.c_str());
        }
    }
}

std::string frame(const uint8_t *data, size_t size) {
    std::string reply = "+OK\r\n";
    bool lineStart = true;
    for (size_t i = 0; i < size; ++i) {
        const char c = static_cast<char>(data[i]);
        if (lineStart && c == '.') reply += '.';
        if (c == '\n' && (i == 0 || data[i - 1] != '\r')) reply += '\r';
        reply += c;
        lineStart = c == '\n';
    }
    if (!lineStart) reply += "\r\n";
    reply += ".\r\n";
    return reply;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 1 << 16) return 0;
    const Dirs &d = dirs();
    const bool raw = size >= 3 && std::memcmp(data, "+OK", 3) == 0;
    const std::string reply = raw ? std::string(reinterpret_cast<const char *>(data), size) : frame(data, size);
    std::vector<size_t> cuts;
    const size_t step = (size / 4) % 61;
    if (step > 0) {
        for (size_t at = step; at < reply.size(); at += step) cuts.push_back(at);
    }

    auto rec = std::make_unique<tev::SessionRecord>();
    rec->decodeState = tev::kDecodeTopHeader;
    rec->numberAttachmentFiles = (size & 1) != 0;
    rec->saveUnnamedParts = (size & 2) != 0;
    rec->utf8 = (size & 4) != 0;  // UTF-8 mail: charsets, RFC 2231 names, copy numbers
    const int32_t rc = tev::decodeMessageFromMemory(*rec, "msg.txt", d.mail.c_str(), d.att.c_str(), reply.data(),
                                                    reply.size(), cuts.data(), cuts.size());
    if (rc != 0 && rc != TEV_E_SOCKET_CLOSED) __builtin_trap();
    if (rec->fileHandle != 0 || rec->emailFile != 0) __builtin_trap();
    if (!isRegularFile(d.mail + "/msg.txt")) __builtin_trap();
    if (rec->attachmentsSaved < 0 || rec->savedAttachments[sizeof rec->savedAttachments - 1] != '\0') {
        __builtin_trap();
    }
    checkAndClear(d);
    return 0;
}
