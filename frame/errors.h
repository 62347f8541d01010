// The error table and the texts of codes.
#pragma once

#include <cstdint>

namespace tev {

struct SessionRecord;

// Text of a code, or "" when the code has no row.
const char *errorTextOf(int32_t code);
// tevErrorText after the channel check: writes the text (and, for -36, -49, -63, a blank and the record's
// replyBuffer) into buffer, at most bufLen - 1 characters and a NUL; returns the characters written.
int32_t writeErrorText(const SessionRecord &rec, int32_t code, char *buffer, int32_t bufLen);

}  // namespace tev
