// Gathered file writes: bytes reach the file when the buffer fills and at the close, in order; a piece larger
// than the buffer goes straight through; a failed write sticks until the file is closed.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "frame/filewrite.h"
#include "platform/platform.h"
#include "support/trace.h"

using tev::platform::FaultKind;

namespace {

class FileWritesTest : public tevtest::TempDirTest {
protected:
    void SetUp() override {
        writes = std::make_unique<tev::FileWrites>();
        tev::startWrites(*writes);
        path = tmp.file("out.bin");
        handle = tev::platform::createFile(path.c_str(), false, true);
        ASSERT_GT(handle, 0);
    }
    void TearDown() override {
        tev::platform::injectFault(FaultKind::writeFile, 0);
        if (handle != 0) tev::platform::closeFile(handle);
    }
    int32_t write(const std::string &bytes) {
        return tev::writeGathered(handle, *writes, bytes.data(), static_cast<int32_t>(bytes.size()));
    }
    std::unique_ptr<tev::FileWrites> writes;
    std::string path;
    int32_t handle = 0;
};

TEST_F(FileWritesTest, BytesWaitUntilTheBufferFillsAndReachTheFileInOrder) {
    const std::string line(1000, 'x');
    std::string all;
    const int lines = static_cast<int>(tev::kFileWriteSize / 1024);  // just under the buffer's size
    for (int i = 0; i < lines; ++i) {
        const std::string numbered = std::to_string(i) + line;
        ASSERT_EQ(write(numbered), static_cast<int32_t>(numbered.size()));
        all += numbered;
    }
    EXPECT_EQ(tevtest::readWholeFile(path), "");  // all still waiting
    const std::string more(2000, 'y');
    ASSERT_EQ(write(more), 2000);                 // does not fit: what waits goes first
    EXPECT_EQ(tevtest::readWholeFile(path), all);
    const std::string big(20000, 'z');            // larger than the buffer: straight through, after what waits
    ASSERT_EQ(write(big), 20000);
    EXPECT_EQ(tevtest::readWholeFile(path), all + more + big);
    ASSERT_EQ(write("tail"), 4);
    EXPECT_EQ(tev::closeGathered(handle, *writes), 0);
    EXPECT_EQ(handle, 0);
    EXPECT_EQ(tevtest::readWholeFile(path), all + more + big + "tail");
}

TEST_F(FileWritesTest, AFailedWriteSticksUntilTheClose) {
    ASSERT_EQ(write(std::string(8000, 'a')), 8000);
    tev::platform::injectFault(FaultKind::writeFile, 1);
    EXPECT_EQ(write(std::string(8000, 'b')), -1);  // the buffer's write failed
    EXPECT_FALSE(tev::platform::faultPending(FaultKind::writeFile));
    EXPECT_EQ(write("c"), -1);                     // nothing more reaches the file
    EXPECT_EQ(tev::flushGathered(handle, *writes), -1);
    EXPECT_EQ(tev::closeGathered(handle, *writes), -1);
    EXPECT_EQ(tevtest::readWholeFile(path), "");
    // A file opened next starts clean.
    handle = tev::platform::createFile(path.c_str(), false, true);
    ASSERT_GT(handle, 0);
    tev::startWrites(*writes);
    EXPECT_EQ(write("d"), 1);
    EXPECT_EQ(tev::closeGathered(handle, *writes), 0);
    EXPECT_EQ(tevtest::readWholeFile(path), "d");
}

}  // namespace
