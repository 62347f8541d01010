// tevmail's own file helpers: paths, directories, file sizes, whole-file writes and the temporary file.
#include <gtest/gtest.h>

#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "system.h"

namespace tevmail {
namespace {

TEST(JoinPath, OneSlashBetween) {
    EXPECT_EQ(joinPath("", "a.txt"), "a.txt");
    EXPECT_EQ(joinPath(".", "a.txt"), "./a.txt");
    EXPECT_EQ(joinPath("out/", "a.txt"), "out/a.txt");
    EXPECT_EQ(joinPath("/", "a.txt"), "/a.txt");
    EXPECT_EQ(joinPath("out//", "a.txt"), "out//a.txt");
}

class Scratch : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tevmail-tools.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        std::string command = "rm -rf '" + dir_ + "'";
        EXPECT_EQ(system(command.c_str()), 0);
    }
    std::string dir_;
};

TEST_F(Scratch, MakeDirectoriesCreatesEveryLevelAndRefusesAFileInTheWay) {
    std::string nested = dir_ + "/a/b/c";
    EXPECT_TRUE(makeDirectories(nested));
    EXPECT_TRUE(makeDirectories(nested));        // already there
    EXPECT_TRUE(makeDirectories(nested + "/"));  // a trailing slash
    struct stat info;
    EXPECT_EQ(stat(nested.c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));

    std::string file = dir_ + "/file";
    ASSERT_TRUE(writeFile(file, "x", 1));
    EXPECT_FALSE(makeDirectories(file));
    EXPECT_FALSE(makeDirectories(file + "/below"));
}

TEST_F(Scratch, FileSizesAndWrites) {
    std::string file = dir_ + "/data";
    ASSERT_TRUE(writeFile(file, "hello\0world", 11));
    EXPECT_EQ(readableFileSize(file), 11);
    ASSERT_TRUE(writeFile(file, "", 0));  // replaced, not appended
    EXPECT_EQ(readableFileSize(file), 0);

    errno = 0;
    EXPECT_EQ(readableFileSize(dir_), -1);
    EXPECT_EQ(errno, EISDIR);
    EXPECT_EQ(readableFileSize(dir_ + "/missing"), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_FALSE(writeFile(dir_ + "/missing/data", "x", 1));
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(Scratch, ReadAllReadsToTheEnd) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::string sent(50000, 'm');
    ASSERT_EQ(write(fds[1], sent.data(), sent.size()), static_cast<ssize_t>(sent.size()));
    close(fds[1]);
    std::string got = "kept:";
    EXPECT_TRUE(readAll(fds[0], &got));
    close(fds[0]);
    EXPECT_EQ(got, "kept:" + sent);
}

TEST_F(Scratch, TemporaryFileHoldsTheBytesAndGoesAway) {
    const char *saved = getenv("TMPDIR");
    std::string previous = saved != nullptr ? saved : "";
    setenv("TMPDIR", dir_.c_str(), 1);
    std::string path;
    {
        TemporaryFile temporary;
        EXPECT_EQ(temporary.path(), "");
        ASSERT_TRUE(temporary.create("@not a file name"));
        path = temporary.path();
        EXPECT_EQ(path.rfind(dir_ + "/tevmail.", 0), 0u) << path;
        EXPECT_EQ(readableFileSize(path), 16);
    }
    EXPECT_NE(access(path.c_str(), F_OK), 0);
    if (saved != nullptr) {
        setenv("TMPDIR", previous.c_str(), 1);
    } else {
        unsetenv("TMPDIR");
    }
}

}  // namespace
}  // namespace tevmail
