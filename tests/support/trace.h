// Small file helpers for tests: read a whole file (trace logs, fetched messages, attachments), show bytes
// readably in failure messages, and a unique temporary directory under /tmp that is removed with everything in it.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tevtest {

// The whole file as bytes; empty when it cannot be read (use fileExists to tell the two apart).
std::string readWholeFile(const std::string &path);
bool fileExists(const std::string &path);
// Writes bytes to a file (created or truncated); false when that fails.
bool writeWholeFile(const std::string &path, const std::string &bytes);

// Splits text after every LF; each element keeps its own line end (CR LF or LF), a last unterminated part stays.
std::vector<std::string> splitLines(const std::string &text);
// Bytes as printable text for failure messages: CR, LF, TAB as \r \n \t, other unprintable bytes as \xNN,
// cut after maxBytes input bytes with "..." appended.
std::string showBytes(const std::string &bytes, size_t maxBytes = 400);

// A fresh directory /tmp/tev-test.XXXXXX, removed recursively when the object goes away.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &path() const { return path_; }
    // path() + "/" + name.
    std::string file(const std::string &name) const;
    // Names of the entries in path() + "/" + sub (sorted, without "." and "..").
    std::vector<std::string> list(const std::string &sub = "") const;

private:
    std::string path_;
};

// Recursively removes a directory tree (does not follow symbolic links); true when nothing is left.
bool removeTree(const std::string &path);
// Names of the entries of a directory, sorted, without "." and "..".
std::vector<std::string> listDirectory(const std::string &path);

// A test fixture with its own temporary directory, tmp.
class TempDirTest : public ::testing::Test {
protected:
    TempDir tmp;
};

}  // namespace tevtest
