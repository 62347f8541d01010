// Text decoding for the MIME decoder: quoted-printable lines (RFC 2045 6.7) and ISO-8859-1 encoded words in
// header lines (RFC 2047, Q and B encodings).  Pure functions on NUL-terminated text; no I/O.
#include <cstring>

#include "engine/codecs.h"
#include "pop3/decoder.h"
#include "pop3/extract.h"
#include "pop3/mime_internal.h"

namespace tev {

namespace {

// Only digits and upper-case A-F are hexadecimal here; anything else counts as 0.
int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 0;
}

}  // namespace

int32_t decodeQuotedPrintable(const char *text, char *out) {
    int32_t produced = 0;
    const char *in = text;
    while (*in != '\0') {
        if (*in != '=') {
            out[produced++] = *in++;
            continue;
        }
        const char next = in[1];
        if (next == '\r') break;  // soft line break: the line end is not part of the text
        if (next == '"' || next == '?') {
            // "=" before a quote or '?' stands for itself (encoded-word remnants in names and subjects)
            out[produced++] = '=';
            ++in;
            continue;
        }
        if (next == '\0' || in[2] == '\0') break;
        out[produced++] = static_cast<char>(hexValue(next) * 16 + hexValue(in[2]));
        in += 3;
    }
    out[produced] = '\0';
    return produced;
}

namespace mime {

namespace {

constexpr char kWordMarker[] = "=?iso-8859-1?";  // the search compares all but its last character
constexpr size_t kMarkerWithEncoding = 15;       // "=?iso-8859-1?q?"

// Removes count characters at pos from a line of length `length` (fewer when the line ends sooner).
size_t removeAt(char *line, size_t length, size_t pos, size_t count) {
    if (pos >= length) return length;
    if (count > length - pos) count = length - pos;
    std::memmove(line + pos, line + pos + count, length - pos - count + 1);
    return length - count;
}

// Decodes the B word whose text runs from wordStart to the '?' at wordEnd; the line keeps its length.
void decodeBase64Word(char *line, size_t length, size_t wordStart, size_t wordEnd) {
    unsigned char decoded[kLineRoom];
    const size_t span = length - wordStart;  // from the word to the end of the line
    int32_t n = decodeBase64Text(line + wordStart, static_cast<int32_t>(wordEnd - wordStart), decoded);
    size_t produced = n > 0 ? static_cast<size_t>(n) : 0;
    // The word text is at least as long as what it decodes to, so this never grows the line; the check keeps
    // that true whatever the input.
    if (span < 2 || produced > span - 2) produced = span >= 2 ? span - 2 : 0;
    // A decoded CR, LF or NUL would end the header line early or start a new one: each becomes a blank.
    for (size_t i = 0; i < produced; ++i) {
        if (decoded[i] == '\r' || decoded[i] == '\n' || decoded[i] == '\0') decoded[i] = ' ';
    }
    std::memcpy(line + wordStart, decoded, produced);
    size_t pos = wordStart + produced;
    const size_t lineEnd = span >= 2 ? length - 2 : wordStart + produced;
    while (pos < lineEnd) line[pos++] = ' ';
    if (pos + 3 > kLineRoom) pos = kLineRoom - 3;
    line[pos++] = '\r';
    line[pos++] = '\n';
    line[pos] = '\0';
}

}  // namespace

WordEncoding encodedWordIn(const char *text) {
    if (findKeyword(text, "=?iso-8859-1?q?")) return WordEncoding::quoted;
    if (findKeyword(text, "=?iso-8859-1?b?")) return WordEncoding::base64;
    return WordEncoding::none;
}

void unwrapEncodedWords(char *line, WordEncoding mode) {
    size_t length = std::strlen(line);
    size_t searchStart = 4;
    for (int round = 0; round < 2; ++round) {
        if (searchStart > length) return;
        const char *marker = findKeyword(line + searchStart, kWordMarker);
        if (!marker) return;
        const size_t wordStart = static_cast<size_t>(marker - line);
        // A word without its end cannot be decoded: it stays as received, markers and all.
        if (wordStart + kMarkerWithEncoding > length ||
            !findKeyword(line + wordStart + kMarkerWithEncoding, "?=")) {
            return;
        }
        length = removeAt(line, length, wordStart, kMarkerWithEncoding);
        const char *close = findKeyword(line + wordStart, "?=");
        if (!close) return;
        const size_t wordEnd = static_cast<size_t>(close - line);
        if (mode == WordEncoding::base64) {
            decodeBase64Word(line, length, wordStart, wordEnd);
            return;
        }
        length = removeAt(line, length, wordEnd, 2);
        searchStart = wordStart;
    }
}

namespace {

// Length of an encoded word "=?charset?x?text?=" at p (from its "=?" through its "?="), or 0 when none starts
// there.
size_t encodedWordLength(const char *p) {
    if (p[0] != '=' || p[1] != '?') return 0;
    int marks = 0;
    for (const char *q = p + 2; *q != '\0' && *q != '\r' && *q != '\n'; ++q) {
        if (*q != '?') continue;
        if (marks >= 2 && q[1] == '=') return static_cast<size_t>(q + 2 - p);
        ++marks;
    }
    return 0;
}

}  // namespace

int32_t decodeHeaderQuoted(const char *line, char *out, size_t capacity) {
    if (capacity < 3) return 0;
    size_t length = std::strlen(line);
    size_t contentEnd = length;
    while (contentEnd > 0 && (line[contentEnd - 1] == '\r' || line[contentEnd - 1] == '\n')) --contentEnd;
    // The line end is kept whatever the text holds; room for it and the NUL is set aside.
    const size_t room = capacity - 1 - (length - contentEnd);
    size_t produced = 0;
    size_t in = 0;
    while (in < contentEnd && produced < room) {
        const size_t word = encodedWordLength(line + in);
        if (word > 0 && in + word <= contentEnd) {
            // A word of another charset stays as received.
            const size_t n = word < room - produced ? word : room - produced;
            std::memcpy(out + produced, line + in, n);
            produced += n;
            in += word;
            continue;
        }
        char c = line[in];
        if (c == '=' && in + 1 < contentEnd && line[in + 1] != '"' && line[in + 1] != '?') {
            if (in + 2 >= contentEnd) {
                out[produced++] = line[in++];
                continue;
            }
            c = static_cast<char>(hexValue(line[in + 1]) * 16 + hexValue(line[in + 2]));
            in += 3;
        } else {
            ++in;
        }
        // A decoded CR, LF or NUL would end the header line early or start a new one.
        out[produced++] = (c == '\r' || c == '\n' || c == '\0') ? ' ' : c;
    }
    std::memcpy(out + produced, line + contentEnd, length - contentEnd);
    produced += length - contentEnd;
    out[produced] = '\0';
    return static_cast<int32_t>(produced);
}

}  // namespace mime
}  // namespace tev
