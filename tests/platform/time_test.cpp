// Time: the wrapping tick, sleeps, the local time with its UTC offset, and the notice line.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include <gtest/gtest.h>

#include "platform/platform.h"

using namespace tev::platform;

namespace {

TEST(TimeTest, TickDiffIsSafeAcrossTheWrap) {
    EXPECT_EQ(tickDiff(5u, 0xFFFFFFFBu), 10);
    EXPECT_EQ(tickDiff(0xFFFFFFFBu, 5u), -10);
    EXPECT_EQ(tickDiff(0x80000010u, 0x7FFFFFF0u), 32);
    EXPECT_EQ(tickDiff(7u, 7u), 0);
}

TEST(TimeTest, SleepAdvancesTheTick) {
    const uint32_t start = tick();
    sleepMs(30);
    const int32_t slept = tickDiff(tick(), start);
    EXPECT_GE(slept, 30);
    EXPECT_LT(slept, 2000);

    const uint32_t again = tick();
    sleepMs(0);
    sleepMs(-50);  // yields only
    yieldCpu();
    EXPECT_LT(tickDiff(tick(), again), 40);
}

// Sets TZ for the duration of a test and restores the previous value.
class ZoneGuard {
public:
    explicit ZoneGuard(const char *zone) {
        const char *old = std::getenv("TZ");
        hadZone = old != nullptr;
        if (hadZone) previous = old;
        setenv("TZ", zone, 1);
    }
    ~ZoneGuard() {
        if (hadZone) {
            setenv("TZ", previous.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }

private:
    bool hadZone = false;
    std::string previous;
};

TEST(TimeTest, LocalTimeCarriesTheZoneOffset) {
    {
        ZoneGuard zone("Asia/Kolkata");
        EXPECT_EQ(localTime().utcOffsetMinutes, 330);
    }
    {
        ZoneGuard zone("IST-5:30");  // the same zone as a POSIX rule, no zone files needed
        EXPECT_EQ(localTime().utcOffsetMinutes, 330);
    }
    {
        ZoneGuard zone("XST9:30");  // west of UTC: negative
        EXPECT_EQ(localTime().utcOffsetMinutes, -570);
    }
    ZoneGuard zone("UTC0");
    // Fields match the UTC calendar; retry once if the minute turns between the two readings.
    for (int attempt = 0; attempt < 2; ++attempt) {
        const time_t now = time(nullptr);
        tm expected{};
        gmtime_r(&now, &expected);
        const LocalTime local = localTime();
        if (local.minute != expected.tm_min) continue;
        EXPECT_EQ(local.utcOffsetMinutes, 0);
        EXPECT_EQ(local.year, expected.tm_year + 1900);
        EXPECT_EQ(local.month, expected.tm_mon + 1);
        EXPECT_EQ(local.day, expected.tm_mday);
        EXPECT_EQ(local.hour, expected.tm_hour);
        EXPECT_EQ(local.weekday, expected.tm_wday);
        return;
    }
    ADD_FAILURE() << "local time never matched the UTC calendar";
}

TEST(NoticeTest, WritesOneInfoLineOnStandardError) {
    char name[] = "/tmp/tev-notice-XXXXXX";
    const int capture = mkstemp(name);
    ASSERT_GE(capture, 0);
    unlink(name);
    std::fflush(stderr);
    const int savedStderr = dup(2);
    ASSERT_GE(savedStderr, 0);
    dup2(capture, 2);
    notice("Memory block 3 of channel 0 is damaged.");
    dup2(savedStderr, 2);
    close(savedStderr);

    char text[128] = {};
    const ssize_t got = pread(capture, text, sizeof text - 1, 0);
    close(capture);
    ASSERT_GT(got, 0);
    EXPECT_EQ(std::string(text, static_cast<size_t>(got)), "Info: Memory block 3 of channel 0 is damaged.\n");
}

}  // namespace
