// The trace log of a channel: raw writes, straight to the file, only while the log is open.
#include "frame/tracelog.h"

#include <cstdarg>
#include <cstdio>
#include <string>

#include "frame/text.h"
#include "platform/platform.h"
#include "tev32.h"

namespace tev {

void logBytes(SessionRecord &rec, const char *bytes, size_t length) {
    if (rec.logFile == 0 || !bytes || length == 0) return;
    while (length > 0) {
        int32_t part = length > 0x40000000u ? 0x40000000 : static_cast<int32_t>(length);
        if (platform::writeFile(rec.logFile, bytes, part) < 0) return;  // a log that cannot be written is ignored
        bytes += part;
        length -= static_cast<size_t>(part);
    }
}

void logText(SessionRecord &rec, const char *text) {
    if (rec.logFile == 0 || !text) return;
    logBytes(rec, text, std::strlen(text));
}

void logFormat(SessionRecord &rec, const char *format, ...) {
    if (rec.logFile == 0) return;
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int n = formatTextV(rec.workBuffer, sizeof rec.workBuffer, format, args);
    va_end(args);
    if (n >= 0 && static_cast<size_t>(n) < sizeof rec.workBuffer) {
        logBytes(rec, rec.workBuffer, static_cast<size_t>(n));
    } else if (n > 0) {
        // A line quoting a long application text is written whole, never cut.
        std::string line(static_cast<size_t>(n) + 1, '\0');
        std::vsnprintf(&line[0], line.size(), format, again);
        logBytes(rec, line.data(), static_cast<size_t>(n));
    }
    va_end(again);
}

void logTraffic(SessionRecord &rec, const char *prefix, const char *bytes, size_t length) {
    if (rec.logFile == 0) return;
    logBytes(rec, prefix, 3);
    logBytes(rec, bytes, length);
}

void logVersionLine(SessionRecord &rec) {
    logFormat(rec, "TEV Win32 Version %d.%d.%d Build %d\r\n", (TEV_VERSION >> 8) & 0xFF, (TEV_VERSION >> 4) & 0xF,
              TEV_VERSION & 0xF, TEV_BUILD);
}

}  // namespace tev
