// The per-channel trace log: every line is written raw, exactly as its characters, only while the log is open.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tev {

struct SessionRecord;

// Writes bytes as they are.
void logBytes(SessionRecord &rec, const char *bytes, size_t length);
// Writes a NUL-terminated text.
void logText(SessionRecord &rec, const char *text);
// Formats into workBuffer and writes; a line longer than workBuffer is written whole all the same.
void logFormat(SessionRecord &rec, const char *format, ...) __attribute__((format(printf, 2, 3)));
// Writes a traffic record: a three-character prefix ("S: ", "P: ", "r: ", "R: ") and the raw bytes.
void logTraffic(SessionRecord &rec, const char *prefix, const char *bytes, size_t length);
inline bool logOpen(const SessionRecord &rec);

// "TEV Win32 Version 3.4.2 Build 18\r\n", written when a session starts.
void logVersionLine(SessionRecord &rec);

}  // namespace tev

#include "frame/record.h"

inline bool tev::logOpen(const SessionRecord &rec) { return rec.logFile != 0; }
