// Picking one line out of message text the application already holds: by a key it contains (tevExtractText) or
// by its number (tevExtractLine), with the keyword search of frame/text.h.
// Pure functions: no channel, no record, no I/O.
#include <cstring>

#include "frame/text.h"
#include "tev32.h"

namespace tev {

namespace {

// Copies one line into buffer (size >= 2): the characters up to and including LF, then a NUL; returns the count
// copied.  A NUL in the text ends the copy too (and is copied); the result then excludes it.  A line that does not
// fit in size - 1 characters gives 0 and leaves those characters unterminated.
int32_t copyLine(const char *from, char *buffer, int32_t size) {
    int32_t limit = size - 1;
    for (int32_t i = 0; i < limit; ++i) {
        char c = from[i];
        buffer[i] = c;
        if (c == '\n') {
            buffer[i + 1] = '\0';
            return i + 1;
        }
        if (c == '\0') return i;
    }
    return 0;
}

}  // namespace

}  // namespace tev

// Copies the line that holds key, starting at the key itself; 0 when the key is absent or the line does not fit.
extern "C" int32_t tevExtractText(const char *text, const char *key, char *buffer, int32_t size) {
    if (text == nullptr || key == nullptr || buffer == nullptr || size <= 1) return 0;
    const char *found = tev::findKeyword(text, key);
    if (found == nullptr) return 0;
    return tev::copyLine(found, buffer, size);
}

// Copies line number `line` (1 or less: the first); 0 when the text has too few line ends or the line does not fit.
extern "C" int32_t tevExtractLine(const char *text, int32_t line, char *buffer, int32_t size) {
    if (text == nullptr || buffer == nullptr || size <= 1) return 0;
    const char *start = text;
    for (int32_t skip = 1; skip < line; ++skip) {
        const char *lf = std::strchr(start, '\n');
        if (lf == nullptr) return 0;
        start = lf + 1;
    }
    return tev::copyLine(start, buffer, size);
}
