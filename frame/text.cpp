// Bounded text helpers for the fixed buffers of the record, and the text rules several modules share.
#include "frame/text.h"

#include <cstdio>

namespace tev {

size_t copyText(char *dst, size_t capacity, const char *src, size_t maxChars) {
    if (capacity == 0) return 0;
    size_t n = 0;
    size_t limit = capacity - 1 < maxChars ? capacity - 1 : maxChars;
    if (src) {
        while (n < limit && src[n] != '\0') {
            dst[n] = src[n];
            ++n;
        }
    }
    dst[n] = '\0';
    return n;
}

size_t appendText(char *dst, size_t capacity, const char *src) {
    if (capacity == 0) return 0;
    size_t used = boundedLength(dst, capacity);
    if (used >= capacity) {
        dst[capacity - 1] = '\0';
        return capacity - 1;
    }
    return used + copyText(dst + used, capacity - used, src);
}

int formatTextV(char *dst, size_t capacity, const char *format, va_list args) {
    if (capacity == 0) return 0;
    int n = std::vsnprintf(dst, capacity, format, args);
    if (n < 0) {
        dst[0] = '\0';
        return 0;
    }
    return n;
}

int formatText(char *dst, size_t capacity, const char *format, ...) {
    va_list args;
    va_start(args, format);
    int n = formatTextV(dst, capacity, format, args);
    va_end(args);
    return n;
}

bool headerNameMatches(const char *line, const char *name) {
    for (size_t i = 0; name[i] != '\0'; ++i) {
        if (line[i] == '\0' || upperAscii(line[i]) != upperAscii(name[i])) return false;
    }
    return true;
}

int32_t parseDecimal(const char *text, int *consumed) {
    int64_t value = 0;
    int i = 0;
    while (i < 10 && text[i] >= '0' && text[i] <= '9') {
        value = value * 10 + (text[i] - '0');
        ++i;
    }
    if (consumed) *consumed = i;
    return value > INT32_MAX ? INT32_MAX : static_cast<int32_t>(value);
}

const char *findKeyword(const char *text, const char *keyword) {
    if (text == nullptr || keyword == nullptr) return nullptr;
    size_t keyLength = std::strlen(keyword);
    if (keyLength == 0) return text;
    // The last character of the keyword is never compared, so "Subject:" also finds "Subject" followed by any
    // character; a one-character keyword therefore has nothing to compare and matches nowhere.
    if (keyLength == 1) return nullptr;
    size_t compared = keyLength - 1;
    size_t textLength = std::strlen(text);
    if (keyLength > textLength) return nullptr;
    for (size_t pos = 0; pos + keyLength <= textLength; ++pos) {
        size_t i = 0;
        while (i < compared && upperAscii(text[pos + i]) == upperAscii(keyword[i])) ++i;
        if (i == compared) return text + pos;
    }
    return nullptr;
}

int32_t formatDottedAddress(uint32_t address, char *buffer, int32_t size) {
    if (!buffer || size < 17) return 0;
    return formatText(buffer, static_cast<size_t>(size), "%d.%d.%d.%d", static_cast<int>(address >> 24),
                      static_cast<int>((address >> 16) & 0xFF), static_cast<int>((address >> 8) & 0xFF),
                      static_cast<int>(address & 0xFF));
}

std::string delimiterLine(const char *boundary, const char *suffix) {
    std::string line("--");
    line += boundary;
    line += suffix;
    line += "\r\n";
    return line;
}

}  // namespace tev
