// The decoder's regression corpus: tests/pop3/golden/<case>/ holds reply.txt (the bytes a server sends for RETR:
// status line, dot-stuffed message, end line), optionally before.txt (a reply decoded first on the same record,
// its output not kept) and options (lines "number" and "unnamed" for TEV_NUMBER_FILES and TEV_SAVE_UNNAMED), and
// the expected output: expected/msg.txt (attachment paths written as @ATT@) and expected/att/ with every
// attachment file.  Each case is decoded from memory whole and cut in two at every position; every run must
// give the expected bytes exactly.  TEV_GOLDEN_UPDATE=1 writes the expected files instead (review them).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "pop3/decoder.h"
#include "pop3/memory_decode.h"
#include "support/trace.h"

using tevtest::DecodeOutcome;
using tevtest::Tree;

namespace {

std::string goldenRoot() { return std::string(TEV_SOURCE_DIR) + "/tests/pop3/golden"; }

std::unique_ptr<tev::SessionRecord> recordFor(const std::string &dir, const std::string &scratch) {
    auto rec = std::make_unique<tev::SessionRecord>();
    rec->decodeState = tev::kDecodeTopHeader;
    const std::string options = tevtest::readWholeFile(dir + "/options");
    rec->numberAttachmentFiles = options.find("number") != std::string::npos;
    rec->saveUnnamedParts = options.find("unnamed") != std::string::npos;
    if (tevtest::fileExists(dir + "/before.txt")) {
        const std::string before = tevtest::readWholeFile(dir + "/before.txt");
        const std::string att = scratch + "/before";
        mkdir(att.c_str(), 0700);
        EXPECT_EQ(tev::decodeMessageFromMemory(*rec, "before.txt", scratch.c_str(), att.c_str(), before.data(),
                                               before.size()),
                  0);
    }
    return rec;
}

void writeExpected(const std::string &dir, const DecodeOutcome &got) {
    const std::string expected = dir + "/expected";
    tevtest::removeTree(expected);
    ASSERT_EQ(mkdir(expected.c_str(), 0755), 0);
    ASSERT_TRUE(tevtest::writeWholeFile(expected + "/msg.txt", got.message));
    tevtest::restoreTree(got.attachments, expected + "/att");
}

TEST(DecoderGolden, EveryCaseGivesItsExpectedFilesHoweverTheReplyIsCut) {
    const std::vector<std::string> cases = tevtest::listDirectory(goldenRoot());
    ASSERT_GE(cases.size(), 9u);
    for (const std::string &name : cases) {
        SCOPED_TRACE(name);
        const std::string dir = goldenRoot() + "/" + name;
        const std::string reply = tevtest::readWholeFile(dir + "/reply.txt");
        ASSERT_FALSE(reply.empty());
        tevtest::ScratchDir scratch;
        const std::unique_ptr<tev::SessionRecord> before = recordFor(dir, scratch.path());
        auto run = [&](const std::vector<size_t> &cuts) {
            return tevtest::decodeFromMemory(*before, reply, Tree{true, {}}, scratch.path(), "@ATT@", cuts);
        };
        const DecodeOutcome whole = run({});
        EXPECT_EQ(whole.result, 0);
        if (std::getenv("TEV_GOLDEN_UPDATE")) {
            writeExpected(dir, whole);
            continue;
        }
        const std::string expectedMessage = tevtest::readWholeFile(dir + "/expected/msg.txt");
        const Tree expectedFiles = tevtest::snapshotTree(dir + "/expected/att");
        EXPECT_EQ(tevtest::showBytes(whole.message, 5000), tevtest::showBytes(expectedMessage, 5000));
        EXPECT_TRUE(whole.attachments.entries == expectedFiles.entries);
        for (size_t cut = 1; cut < reply.size(); ++cut) {
            const DecodeOutcome got = run({cut});
            if (got == whole) continue;
            ADD_FAILURE() << "cut at " << cut << ": " << tevtest::showBytes(got.message, 3000);
            break;
        }
    }
}

}  // namespace
