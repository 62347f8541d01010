// The Date header line.  The zone is the true offset from UTC with its minutes (+0530, -0930): the offset
// already includes daylight-saving time, so nothing is added for it.
#include "frame/dateline.h"

#include <cstdlib>

#include "frame/text.h"

namespace tev {

int formatDateLine(char *buffer, size_t capacity, const platform::LocalTime &t) {
    static const char *const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char *const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const char *day = kDays[(t.weekday % 7 + 7) % 7];
    const char *month = kMonths[((t.month - 1) % 12 + 12) % 12];
    int32_t offset = t.utcOffsetMinutes;
    char sign = offset >= 0 ? '+' : '-';
    int32_t absolute = std::abs(offset) % (100 * 60);
    int n = formatText(buffer, capacity, "Date: %s, %d %s %d %d:%02d:%02d %c%02d%02d", day, t.day, month, t.year,
                       t.hour, t.minute, t.second, sign, static_cast<int>(absolute / 60),
                       static_cast<int>(absolute % 60));
    return n < static_cast<int>(capacity) ? n : static_cast<int>(capacity) - 1;
}

int buildDateLine(char *buffer, size_t capacity) { return formatDateLine(buffer, capacity, platform::localTime()); }

}  // namespace tev
