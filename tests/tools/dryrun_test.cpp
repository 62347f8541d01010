// The dry-run listener's answers and the message it hands back.
#include <gtest/gtest.h>

#include <string>

#include "dryrun.h"

namespace tevmail {
namespace {

TEST(DryRun, AnswersLikeAServerThatTakesEverything) {
    bool data = true;
    EXPECT_EQ(dryRunReply("EHLO host", &data), "250-dry-run\r\n250 8BITMIME\r\n");  // no AUTH offered
    EXPECT_FALSE(data);
    EXPECT_EQ(dryRunReply("helo host", &data), "250 dry-run\r\n");
    EXPECT_EQ(dryRunReply("MAIL FROM:<a@x>", &data), "250 ok\r\n");
    EXPECT_EQ(dryRunReply("DATA", &data), "354 go on\r\n");
    EXPECT_TRUE(data);
    EXPECT_EQ(dryRunReply("QUIT", &data), "221 dry-run\r\n");
    EXPECT_FALSE(data);
}

TEST(DryRun, UndoesStuffingAndLineEnds) {
    EXPECT_EQ(unstuffedMessage("Subject: x\r\n\r\n..\r\n..dot\r\nplain\r\n"), "Subject: x\n\n.\n.dot\nplain\n");
    EXPECT_EQ(unstuffedMessage(""), "");
    EXPECT_EQ(unstuffedMessage("no end"), "no end\n");
}

TEST(DryRun, ASessionThatNeverComesStillEnds) {
    DryRunServer server;
    ASSERT_TRUE(server.start());
    EXPECT_GT(server.port(), 0);
    server.finish();  // nobody connected: finish wakes the thread and returns
    EXPECT_EQ(server.envelope(), "");
    EXPECT_EQ(server.message(), "");
}

}  // namespace
}  // namespace tevmail
