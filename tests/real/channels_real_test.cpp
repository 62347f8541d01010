// Many channels at once against aiosmtpd: the example that drives 128 channels from one poll() loop, and closes
// asked for all at once but driven one after another, whose limits start only when each close is driven.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/real_servers.h"
#include "tev32.h"

namespace tevtest {
namespace {

bool contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

class ManyChannels : public ::testing::Test {
protected:
    void TearDown() override {
        tevRelease();
        tevIntegerParam(0, TEV_STEP_DELAY, 25);
        tevIntegerParam(0, TEV_RESPONSE_TIMEOUT, 25000);
        tevIntegerParam(0, TEV_POLL_SLEEP, 100);
        tevIntegerParam(0, TEV_CLOSE_PAUSE, 500);
        tevIntegerParam(0, TEV_EARLY_REPLY, 0);
    }
};

#ifdef TEV_EXAMPLE_CHANNELS
TEST_F(ManyChannels, TheExampleConnectsSendsAndClosesAHundredAndTwentyEightChannelsFromOneThread) {
    TEV_USE_REAL_SERVERS(servers);
    servers.clearMessages();
    std::string output;
    const int status = runCommand({TEV_EXAMPLE_CHANNELS, "127.0.0.1", std::to_string(servers.smtpPlainPort()),
                                   "<ann@example.com>", "<bob@example.com>", "128", "2"},
                                  120000, &output);
    EXPECT_EQ(status, 0) << output;
    EXPECT_TRUE(contains(output, "128 channels, 2 messages each")) << output;
    EXPECT_TRUE(contains(output, "; 0 failed")) << output;
    EXPECT_EQ(servers.receivedMessages().size(), 256u);
}
#endif

TEST_F(ManyChannels, ClosesDrivenOneAfterAnotherAreNotFailedByTheTimeTheOthersTook) {
    TEV_USE_REAL_SERVERS(servers);
    constexpr int32_t kChannels = 24;
    constexpr int32_t kPauseMs = 250;
    ASSERT_EQ(tevAttach(kChannels), 1);
    tevIntegerParam(0, TEV_STEP_DELAY, 1);
    tevIntegerParam(0, TEV_POLL_SLEEP, 5);
    // Each reply has seconds to come, but closing them all one after another takes longer than that.
    tevIntegerParam(0, TEV_RESPONSE_TIMEOUT, 2500);
    tevIntegerParam(0, TEV_CLOSE_PAUSE, kPauseMs);
    for (int32_t ch = 0; ch < kChannels; ++ch) {
        tevIntegerParam(ch, TEV_SMTP_PORT, servers.smtpPlainPort());
        ASSERT_EQ(tevSmtpConnect(ch, "127.0.0.1", "<ann@example.com>", nullptr), 0) << ch;
        tevIntegerParam(ch, TEV_AUTO_CALL, 0);
    }
    for (int32_t ch = 0; ch < kChannels; ++ch) ASSERT_EQ(tevClose(ch), 0);
    const uint32_t start = tev::platform::tick();
    std::vector<int32_t> results;
    for (int32_t ch = 0; ch < kChannels; ++ch) {
        int32_t r;
        const uint32_t channelStart = tev::platform::tick();
        while ((r = tevDriver(ch)) > 0 && tev::platform::tickDiff(tev::platform::tick(), channelStart) < 20000) {
            tev::platform::sleepMs(1);
        }
        results.push_back(r);
    }
    EXPECT_GE(tev::platform::tickDiff(tev::platform::tick(), start), kChannels * kPauseMs);
    EXPECT_EQ(results, std::vector<int32_t>(kChannels, 0));
}

}  // namespace
}  // namespace tevtest
