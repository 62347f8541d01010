// Bounded text helpers: the only way fixed buffers of the record are written.  Every helper takes the capacity
// in bytes (NUL included), never writes past it, and always terminates.  Also the small text rules several
// modules share: keyword search, line-break checks, counters, dotted addresses and MIME delimiter lines.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace tev {

// Copies at most `maxChars` characters of `src` (and never more than capacity - 1) into dst; returns the count.
size_t copyText(char *dst, size_t capacity, const char *src, size_t maxChars = SIZE_MAX);

// Appends src to the NUL-terminated text in dst, cut to the capacity; returns the new length.
size_t appendText(char *dst, size_t capacity, const char *src);

// printf into dst, cut to the capacity; returns the full length the text would have had (as vsnprintf), so a
// result >= capacity tells the caller it was cut.
int formatText(char *dst, size_t capacity, const char *format, ...) __attribute__((format(printf, 3, 4)));
int formatTextV(char *dst, size_t capacity, const char *format, va_list args);

// Length of a text held in a fixed buffer: stops at the capacity when no NUL is found.
inline size_t boundedLength(const char *text, size_t capacity) {
    const void *nul = std::memchr(text, 0, capacity);
    return nul ? static_cast<size_t>(static_cast<const char *>(nul) - text) : capacity;
}

template <size_t N>
size_t copyText(char (&dst)[N], const char *src, size_t maxChars = SIZE_MAX) {
    return copyText(dst, N, src, maxChars);
}
template <size_t N>
size_t appendText(char (&dst)[N], const char *src) {
    return appendText(dst, N, src);
}

// ASCII case folding (a-z to A-Z only); other bytes are compared as they are.
inline char upperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// True when the first strlen(name) characters of line equal name, ASCII letters without regard to case.
bool headerNameMatches(const char *line, const char *name);

// True when line begins with word (ASCII letters without regard to case) followed by the end of the text, a blank,
// CR or LF: a capability line naming the word ("STARTTLS", "STLS").
inline bool beginsWithWord(const char *line, const char *word) {
    if (!headerNameMatches(line, word)) return false;
    const char next = line[std::strlen(word)];
    return next == '\0' || next == ' ' || next == '\r' || next == '\n';
}

// Parses at most 10 leading decimal digits in 64 bits, saturating at 2147483647; 0 when there are none.
// `consumed` (optional) receives the number of digits read.
int32_t parseDecimal(const char *text, int *consumed = nullptr);

// First position of keyword in text (ASCII letters without regard to case, the keyword's last character not
// compared), or null.  A one-character keyword never matches; an empty keyword matches at the start.
const char *findKeyword(const char *text, const char *keyword);

// True when the text holds a CR or an LF: such a text would end a command line early.
inline bool hasLineBreak(const char *text) { return std::strpbrk(text, "\r\n") != nullptr; }

// Adds to a 32-bit counter; the transfer counters wrap like the statistics that show them, without signed overflow.
inline void addToCounter(int32_t &counter, int32_t amount) {
    counter = static_cast<int32_t>(static_cast<uint32_t>(counter) + static_cast<uint32_t>(amount));
}
// The sum of two counters, wrapping as they do.
inline int32_t counterSum(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

// "a.b.c.d" of an address in host byte order into buffer; 0 (nothing written) when size is below 17, else the
// text's length.
int32_t formatDottedAddress(uint32_t address, char *buffer, int32_t size);

// A MIME delimiter line (RFC 2046 5.1.1): "--", the boundary, suffix ("" for a delimiter, "--" for the closing
// one, or the rest of a derived boundary), CR LF.
std::string delimiterLine(const char *boundary, const char *suffix);

}  // namespace tev
