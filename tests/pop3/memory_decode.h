// Decoding RETR replies from memory in tests: the reply whole, cut into two pieces at every byte (a sample of
// the cuts for long replies) and cut after every byte, each run on a copy of the record in a directory of its
// own; what the runs write (message file, attachment files) and the decoder's record fields are compared.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "frame/record.h"
#include "pop3/memory_fetch.h"
#include "support/trace.h"

namespace tevtest {

// A directory's entries: name -> bytes of a file, "-> target" of a symbolic link, "<dir>" of a directory.
struct Tree {
    bool exists = false;
    std::map<std::string, std::string> entries;
    bool operator==(const Tree &o) const { return exists == o.exists && entries == o.entries; }
};

inline Tree snapshotTree(const std::string &dir) {
    Tree tree;
    struct stat st;
    tree.exists = lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    if (!tree.exists) return tree;
    for (const std::string &name : listDirectory(dir)) {
        const std::string path = dir + "/" + name;
        if (lstat(path.c_str(), &st) != 0) continue;
        if (S_ISLNK(st.st_mode)) {
            char target[4096];
            const ssize_t n = readlink(path.c_str(), target, sizeof target);
            tree.entries[name] = "-> " + std::string(target, n > 0 ? static_cast<size_t>(n) : 0);
        } else if (S_ISDIR(st.st_mode)) {
            tree.entries[name] = "<dir>";
        } else {
            tree.entries[name] = readWholeFile(path);
        }
    }
    return tree;
}

inline void restoreTree(const Tree &tree, const std::string &dir) {
    if (!tree.exists) return;
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0) << dir;
    for (const auto &entry : tree.entries) {
        const std::string path = dir + "/" + entry.first;
        if (entry.second.compare(0, 3, "-> ") == 0) {
            ASSERT_EQ(symlink(entry.second.c_str() + 3, path.c_str()), 0);
        } else if (entry.second == "<dir>") {
            ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
        } else {
            ASSERT_TRUE(writeWholeFile(path, entry.second));
        }
    }
}

inline std::string replaceAll(std::string text, const std::string &from, const std::string &to) {
    if (from.empty()) return text;
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

// A scratch directory for the decoding runs, in memory (/dev/shm) when the machine has it: the runs create and
// remove many small files and directories, which a disk file system makes slow.
class ScratchDir {
public:
    ScratchDir() {
        for (const char *base : {"/dev/shm", "/tmp"}) {
            std::string pattern = std::string(base) + "/tev-replay.XXXXXX";
            if (mkdtemp(&pattern[0])) {
                path_ = pattern;
                return;
            }
        }
        ADD_FAILURE() << "no scratch directory";
    }
    ~ScratchDir() {
        if (!path_.empty()) removeTree(path_);
    }
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

// What one decoding wrote and left in the record (paths written as the reference run's directory).
struct DecodeOutcome {
    int32_t result = 0;
    std::string message;
    Tree attachments;
    std::string fields;

    bool operator==(const DecodeOutcome &o) const {
        return result == o.result && message == o.message && attachments == o.attachments && fields == o.fields;
    }
};

// The decoder's record fields after a fetch, as one text.
inline std::string decoderFields(const tev::SessionRecord &r) {
    return "decodeState=" + std::to_string(r.decodeState) + " partEncoding=" + std::to_string(r.partEncoding) +
           " boundaries=" + std::to_string(r.boundaryCount) + " main=" + std::to_string(r.mimeBoundaryLength) +
           " alt=" + std::to_string(r.altBoundaryLength) + " inline=" + std::to_string(r.inlinePart) +
           " skip=" + std::to_string(r.skipBlankLine) + " blank=" + std::to_string(r.blankLineSeen) +
           " saved=" + std::to_string(r.attachmentsSaved) + " serial=" + std::to_string(r.attachmentSerial) +
           " textBytes=" + std::to_string(r.textBytesRead) + " partBytes=" + std::to_string(r.attachmentBytesRead) +
           " list=" + r.savedAttachments + " name=" + r.attachmentFileName + " reply=" + r.lastReply +
           " open=" + std::to_string(r.fileHandle != 0) + "/" + std::to_string(r.emailFile != 0);
}

// Runs decodeMessageFromMemory on a copy of `before` in a fresh directory under root, the attachment
// directory first filled as `attachBefore`; paths in the message file are given as shownAttachDir.
inline DecodeOutcome decodeFromMemory(const tev::SessionRecord &before, const std::string &reply,
                                      const Tree &attachBefore, const std::string &root,
                                      const std::string &shownAttachDir, const std::vector<size_t> &splits) {
    const std::string dir = root + "/run";
    removeTree(dir);
    EXPECT_EQ(mkdir(dir.c_str(), 0700), 0);
    const std::string att = dir + "/att";
    restoreTree(attachBefore, att);
    auto copy = std::make_unique<tev::SessionRecord>(before);
    copy->socket = 0;
    copy->logFile = 0;
    copy->fileHandle = 0;
    copy->emailFile = 0;
    DecodeOutcome out;
    out.result = tev::decodeMessageFromMemory(*copy, "msg.txt", dir.c_str(), att.c_str(), reply.data(), reply.size(),
                                              splits.data(), splits.size());
    out.message = replaceAll(readWholeFile(dir + "/msg.txt"), att, shownAttachDir);
    out.attachments = snapshotTree(att);
    out.fields = decoderFields(*copy);
    return out;
}

// The cut positions tried for a reply of `length` bytes whose fetch wrote `files` files: all of them for short
// replies, a spread otherwise, so that every reply costs about the same.
inline std::vector<size_t> cutPositions(size_t length, size_t files) {
    std::vector<size_t> cuts;
    if (length < 2) return cuts;
    const size_t cost = length + 400 * files;
    const size_t budget = 300000 / cost < 8 ? 8 : 300000 / cost;
    const size_t step = (length - 1) / budget + 1;
    for (size_t at = 1; at < length; at += step) cuts.push_back(at);
    return cuts;
}

}  // namespace tevtest
