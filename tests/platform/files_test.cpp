// File layer: create/truncate, private mode, symbolic-link and special-file refusal, '\' path translation,
// descriptors above the standard streams, and injected open failures.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "platform/platform.h"

namespace fs = std::filesystem;
using namespace tev::platform;

namespace {

class FilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tev-files-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override {
        injectFault(FaultKind::openFile, 0);
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
    std::string path(const std::string &name) const { return dir + "/" + name; }
    static std::string contents(const std::string &file) {
        std::ifstream in(file, std::ios::binary);
        std::ostringstream all;
        all << in.rdbuf();
        return all.str();
    }
    std::string dir;
};

TEST_F(FilesTest, CreateTruncatesAndReadsBack) {
    const std::string file = path("m.txt");
    int32_t h = createFile(file.c_str(), false, false);
    ASSERT_GE(h, 3);
    EXPECT_EQ(writeFile(h, "hello world", 11), 11);
    EXPECT_EQ(fileSize(h), 11);
    closeFile(h);

    h = createFile(file.c_str(), false, true);  // the same file again: truncated
    ASSERT_GE(h, 3);
    EXPECT_EQ(fileSize(h), 0);
    EXPECT_EQ(writeFile(h, "abc", 3), 3);
    EXPECT_EQ(writeFile(h, "", 0), 0);
    closeFile(h);
    EXPECT_EQ(contents(file), "abc");

    h = openForReading(file.c_str());
    ASSERT_GE(h, 3);
    EXPECT_EQ(fileSize(h), 3);
    char buffer[8] = {};
    EXPECT_EQ(readFile(h, buffer, 2), 2);
    EXPECT_EQ(std::string(buffer, 2), "ab");
    EXPECT_EQ(readFile(h, buffer, 8), 1);
    EXPECT_EQ(buffer[0], 'c');
    EXPECT_EQ(readFile(h, buffer, 8), 0);
    EXPECT_EQ(writeFile(h, "x", 1), -1);  // opened read-only
    closeFile(h);

    EXPECT_EQ(openForReading(path("missing").c_str()), -1);
    EXPECT_EQ(openForReading(nullptr), -1);
    EXPECT_EQ(createFile("", false, false), -1);
    EXPECT_EQ(readFile(0, buffer, 1), -1);  // the standard streams are never the library's
    EXPECT_EQ(fileSize(0), -1);
}

TEST_F(FilesTest, ModesFollowPrivacyAndUmask) {
    const mode_t oldMask = umask(022);
    const int32_t open = createFile(path("open.txt").c_str(), false, false);
    const int32_t secret = createFile(path("trace.log").c_str(), true, false);
    umask(oldMask);
    ASSERT_GE(open, 3);
    ASSERT_GE(secret, 3);
    closeFile(open);
    closeFile(secret);
    struct stat info {};
    ASSERT_EQ(stat(path("open.txt").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);
    ASSERT_EQ(stat(path("trace.log").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST_F(FilesTest, SymbolicLinkRefusedWhenAsked) {
    const std::string target = path("target.txt");
    std::ofstream(target) << "keep";
    ASSERT_EQ(symlink(target.c_str(), path("link.txt").c_str()), 0);

    EXPECT_EQ(createFile(path("link.txt").c_str(), false, true), -1);
    EXPECT_EQ(contents(target), "keep");  // not truncated through the link
    EXPECT_EQ(openForReading(path("link.txt").c_str()), -1);

    const int32_t h = createFile(path("link.txt").c_str(), false, false);
    ASSERT_GE(h, 3);
    closeFile(h);
    EXPECT_EQ(contents(target), "");
}

TEST_F(FilesTest, DirectoryAndFifoRefusedWithoutHanging) {
    ASSERT_EQ(mkdir(path("sub").c_str(), 0700), 0);
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(openForReading(path("sub").c_str()), -1);
    EXPECT_EQ(openForReading(path("fifo").c_str()), -1);  // no writer: a blocking open would wait forever
    EXPECT_EQ(openForReading("/dev/null"), -1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

// A file the library creates must be a regular file: a FIFO (with or without a reader), a device or a directory
// at the path is refused at once, and nothing is written to it.
TEST_F(FilesTest, CreateRefusesWhatIsNotARegularFile) {
    ASSERT_EQ(mkdir(path("sub").c_str(), 0700), 0);
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
    const int reader = open(path("fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    const auto start = std::chrono::steady_clock::now();
    for (bool privateFile : {false, true}) {
        const int32_t h = createFile(path("fifo").c_str(), privateFile, true);
        if (h > 0) closeFile(h);
        ASSERT_EQ(h, -1) << "a FIFO with a reader was opened";  // stop here: the next open would block
    }
    close(reader);
    for (bool privateFile : {false, true}) {
        EXPECT_EQ(createFile(path("fifo").c_str(), privateFile, true), -1);  // no reader: never a hang
        EXPECT_EQ(createFile("/dev/null", privateFile, false), -1);
        EXPECT_EQ(createFile(path("sub").c_str(), privateFile, false), -1);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    // An ordinary file is still truncated, and its descriptor blocks as before.
    std::ofstream(path("plain.txt")) << "old text";
    const int32_t h = createFile(path("plain.txt").c_str(), false, true);
    ASSERT_GE(h, 3);
    EXPECT_EQ(fcntl(h, F_GETFL) & O_NONBLOCK, 0);
    EXPECT_EQ(fileSize(h), 0);
    closeFile(h);
}

// A private file (the trace log) that already exists loses every permission but the owner's before it is used.
TEST_F(FilesTest, ExistingPrivateFileBecomesOwnerOnly) {
    std::ofstream(path("trace.log")) << "old";
    ASSERT_EQ(chmod(path("trace.log").c_str(), 0644), 0);
    const int32_t h = createFile(path("trace.log").c_str(), true, true);
    ASSERT_GE(h, 3);
    struct stat info {};
    ASSERT_EQ(fstat(h, &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(info.st_size, 0);
    closeFile(h);
}

// The same file by identity, whatever separators or spellings the path uses.
TEST_F(FilesTest, SameFileComparesIdentity) {
    const int32_t h = createFile(path("m.txt").c_str(), false, true);
    ASSERT_GE(h, 3);
    EXPECT_TRUE(isSameFile(h, (dir + "\\m.txt").c_str()));
    EXPECT_TRUE(isSameFile(h, (dir + "/./m.txt").c_str()));
    EXPECT_FALSE(isSameFile(h, path("other.txt").c_str()));
    EXPECT_FALSE(isSameFile(0, path("m.txt").c_str()));
    closeFile(h);
}

TEST_F(FilesTest, BackslashPathsTranslate) {
    ASSERT_EQ(mkdir(path("x").c_str(), 0700), 0);
    // A directory and a name joined with '\'.
    int32_t h = createFile((dir + "/x\\y.txt").c_str(), false, true);
    ASSERT_GE(h, 3);
    EXPECT_EQ(writeFile(h, "1", 1), 1);
    closeFile(h);
    EXPECT_EQ(contents(path("x/y.txt")), "1");
    h = openForReading((dir + "\\x\\y.txt").c_str());
    ASSERT_GE(h, 3);
    closeFile(h);

    // An empty directory and a name: the current directory, never the root.
    char *previous = getcwd(nullptr, 0);
    ASSERT_NE(previous, nullptr);
    ASSERT_EQ(chdir(dir.c_str()), 0);
    const int32_t here = createFile("\\name.txt", false, true);
    const int32_t nested = createFile("\\x\\z.txt", false, true);
    const int32_t back = openForReading("\\name.txt");
    EXPECT_EQ(chdir(previous), 0);
    std::free(previous);
    ASSERT_GE(here, 3);
    ASSERT_GE(nested, 3);
    ASSERT_GE(back, 3);
    closeFile(here);
    closeFile(nested);
    closeFile(back);
    EXPECT_TRUE(fs::exists(path("name.txt")));
    EXPECT_TRUE(fs::exists(path("x/z.txt")));
    EXPECT_FALSE(fs::exists("/name.txt"));
}

TEST_F(FilesTest, DescriptorsStayAboveStandardStreamsAndCloseOnExec) {
    const int savedStdin = dup(0);
    ASSERT_GE(savedStdin, 0);
    close(0);  // the lowest free descriptor is now 0
    const int32_t created = createFile(path("a.txt").c_str(), false, false);
    const int32_t opened = openForReading(path("a.txt").c_str());
    const bool zeroStillFree = fcntl(0, F_GETFD) == -1;
    dup2(savedStdin, 0);
    close(savedStdin);

    EXPECT_TRUE(zeroStillFree);
    ASSERT_GE(created, 3);
    ASSERT_GE(opened, 3);
    EXPECT_NE(fcntl(created, F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_NE(fcntl(opened, F_GETFD) & FD_CLOEXEC, 0);
    closeFile(created);
    closeFile(opened);
    closeFile(0);  // ignored: not the library's
    EXPECT_NE(fcntl(0, F_GETFD), -1);
}

TEST_F(FilesTest, InjectedOpenFailureHitsTheNthOpen) {
    std::ofstream(path("r.txt")) << "r";
    injectFault(FaultKind::openFile, 2);
    const int32_t first = createFile(path("1.txt").c_str(), false, false);
    EXPECT_GE(first, 3);
    EXPECT_EQ(openForReading(path("r.txt").c_str()), -1);  // the second open of either kind
    EXPECT_FALSE(fs::exists(path("2.txt")));
    const int32_t third = openForReading(path("r.txt").c_str());
    EXPECT_GE(third, 3);  // the counter is spent
    closeFile(first);
    closeFile(third);
}

}  // namespace
