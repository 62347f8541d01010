// Clocks and sleeping: the 32-bit millisecond tick every timer of the library compares (wrap-safe through
// tickDiff), sleeps and yields, and the local time with its offset from UTC for the Date header (RFC 5322 3.3).
#include <cerrno>
#include <ctime>

#include <sched.h>

#include "platform/platform.h"

namespace tev::platform {

uint32_t tick() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);  // wraps every 49.7 days; timers compare with tickDiff
}

void yieldCpu() { sched_yield(); }

void sleepMs(int32_t ms) {
    if (ms <= 0) {
        yieldCpu();
        return;
    }
    timespec left{};
    left.tv_sec = ms / 1000;
    left.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    // A signal cuts the sleep short; carry on with what remains of it.
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

LocalTime localTime() {
    LocalTime result{};
    tzset();  // pick up a TZ the application changed since the last call
    const time_t now = time(nullptr);
    tm parts{};
    if (localtime_r(&now, &parts) == nullptr) {
        // No usable zone data: fall back to UTC, which at least carries a true offset (zero).
        if (gmtime_r(&now, &parts) == nullptr) return result;
        parts.tm_gmtoff = 0;
    }
    result.year = parts.tm_year + 1900;
    result.month = parts.tm_mon + 1;
    result.day = parts.tm_mday;
    result.hour = parts.tm_hour;
    result.minute = parts.tm_min;
    result.second = parts.tm_sec;
    result.weekday = parts.tm_wday;
    // tm_gmtoff already includes daylight-saving time.
    result.utcOffsetMinutes = static_cast<int32_t>(parts.tm_gmtoff / 60);
    return result;
}

}  // namespace tev::platform
