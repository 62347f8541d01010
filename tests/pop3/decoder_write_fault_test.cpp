// The MIME decoder when a file write fails, at every write of a message with two attachments: the result is 0 or
// the failed write's, every file is closed, and an attachment is reported saved only when its file is whole.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>
#include <memory>
#include <string>

#include "frame/record.h"
#include "platform/platform.h"
#include "pop3/decoder.h"
#include "pop3/memory_fetch.h"
#include "support/trace.h"

using tev::platform::FaultKind;

namespace {

class DecoderWriteFault : public tevtest::TempDirTest {};

TEST_F(DecoderWriteFault, AttachmentNotSavedWhenItsFileCannotBeWritten) {
    const std::string reply =
        "+OK\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b\"\r\n\r\n"
        "--b\r\nContent-Type: text/plain\r\n\r\nhello\r\n"
        "--b\r\nContent-Transfer-Encoding: base64\r\nContent-Disposition: attachment; filename=\"a.bin\"\r\n\r\n"
        "AQID\r\nBAUG\r\n"
        "--b\r\nContent-Disposition: attachment; filename=\"b.txt\"\r\n\r\none\r\ntwo\r\n--b--\r\n.\r\n";
    const std::map<std::string, std::string> whole = {{"a.bin", "\1\2\3\4\5\6"}, {"b.txt", "one\r\ntwo\r\n"}};
    const std::string mail = tmp.file("mail"), att = tmp.file("att");
    ASSERT_EQ(mkdir(mail.c_str(), 0700), 0);
    ASSERT_EQ(mkdir(att.c_str(), 0700), 0);
    int n = 1;
    for (; n < 100; ++n) {
        tevtest::removeTree(att);
        ASSERT_EQ(mkdir(att.c_str(), 0700), 0);
        auto rec = std::make_unique<tev::SessionRecord>();
        rec->decodeState = tev::kDecodeTopHeader;
        tev::platform::injectFault(FaultKind::writeFile, n);
        const int32_t rc = tev::decodeMessageFromMemory(*rec, "msg.txt", mail.c_str(), att.c_str(), reply.data(),
                                                        reply.size());
        const bool met = !tev::platform::faultPending(FaultKind::writeFile);
        tev::platform::injectFault(FaultKind::writeFile, 0);
        const std::string where = "write fault " + std::to_string(n);
        EXPECT_TRUE(rc == 0 || rc == -1) << where << ": " << rc;
        EXPECT_EQ(rec->fileHandle, 0) << where;
        EXPECT_EQ(rec->emailFile, 0) << where;
        int saved = 0;
        const std::string list = rec->savedAttachments;
        for (const auto &f : whole) {
            if (list.find(f.first) == std::string::npos) continue;
            ++saved;
            EXPECT_EQ(tevtest::readWholeFile(att + "/" + f.first), f.second) << where << ": reported saved";
        }
        EXPECT_EQ(rec->attachmentsSaved, saved) << where << " list " << list;
        if (!met) {
            EXPECT_EQ(rc, 0);
            EXPECT_EQ(list, "a.bin,b.txt");
            break;
        }
    }
    // Writes are gathered per file: the message file and each attachment get at least one write.
    EXPECT_GT(n, 3) << "the message file and both attachments are written";
}

}  // namespace
