// Header texts beyond ASCII and beyond one line: unique Message-IDs, folding at 998 characters, RFC 2047 encoded
// words (B encoding of UTF-8, never splitting a sequence), RFC 2231 file-name parameters with continuations, and
// quoted-printable or base64 text parts.  Pure text functions; the random bytes and the clock come from platform/.
#include "smtp/header_encoding.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <vector>

#include "engine/codecs.h"
#include "platform/platform.h"

namespace tev {

namespace {

constexpr char kHex[] = "0123456789ABCDEF";
constexpr char kWordOpen[] = "=?utf-8?B?";
constexpr size_t kWordOverhead = sizeof kWordOpen - 1 + 2;  // "=?utf-8?B?" and "?="
constexpr size_t kBase64Line = 57;                          // bytes per 76-character base64 line

std::atomic<uint32_t> messageIdCounter{0};

void appendHex(std::string &out, uint64_t value, int digits) {
    for (int i = digits - 1; i >= 0; --i) out += kHex[(value >> (4 * i)) & 0x0F];
}

// Length of the UTF-8 sequence that starts at p (at most `left` bytes there); 1 for a byte that does not start
// a valid sequence, so invalid input goes out byte by byte.
size_t sequenceLength(const unsigned char *p, size_t left) {
    const unsigned char c = p[0];
    size_t n = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 1;
    if (n == 1 || n > left) return 1;
    for (size_t i = 1; i < n; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 1;
    }
    return n;
}

// Base64 of up to 57 bytes, without a line end.
void appendBase64(std::string &out, const unsigned char *bytes, size_t count) {
    char line[80];
    const int32_t n = encodeBase64Line(bytes, static_cast<int32_t>(count), line);
    out.append(line, static_cast<size_t>(n));
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// Applies `fix` to every line of `lines` longer than kMaxWireLine (the line without its CR LF).
template <typename Fix>
void forEachLongLine(std::string &lines, Fix fix) {
    size_t start = 0;
    while (start < lines.size()) {
        size_t end = lines.find("\r\n", start);
        if (end == std::string::npos) end = lines.size();
        if (end - start > kMaxWireLine) {
            // fix returns where the rest of the line starts again (after an inserted CR LF), or npos.
            const size_t next = fix(lines, start, end);
            if (next != std::string::npos) {
                start = next;
                continue;
            }
        }
        start = end + 2;
    }
}

// Trims blanks at both ends of [from, to) of text.
void trimBlanks(const char *text, size_t &from, size_t &to) {
    while (from < to && isBlank(text[from])) ++from;
    while (to > from && isBlank(text[to - 1])) --to;
}

// A display name as the text it stands for: without its enclosing double quotes and quoting backslashes.
std::string unquotedName(const char *text, size_t from, size_t to) {
    if (to - from >= 2 && text[from] == '"' && text[to - 1] == '"') {
        std::string name;
        for (size_t i = from + 1; i + 1 < to; ++i) {
            if (text[i] == '\\' && i + 2 < to) ++i;
            name += text[i];
        }
        return name;
    }
    return std::string(text + from, to - from);
}

// Appends one list element (display name and address) with its display name encoded when it holds non-ASCII.
void appendAddressElement(std::string &out, const char *element, size_t length, size_t &column) {
    size_t from = 0, to = length;
    trimBlanks(element, from, to);
    const void *open = std::memchr(element + from, '<', to - from);
    const size_t at = open ? static_cast<size_t>(static_cast<const char *>(open) - element) : to;
    size_t nameEnd = at;
    size_t nameStart = from;
    trimBlanks(element, nameStart, nameEnd);
    const std::string name = unquotedName(element, nameStart, nameEnd);
    const std::string address(element + at, to - at);
    if (!hasNonAscii(name.c_str()) || name.empty()) {
        const std::string whole(element + from, to - from);
        if (column > 1 && column + whole.size() > kFoldColumn) {
            out += "\r\n ";
            column = 1;
        }
        out += whole;
        column += whole.size();
        return;
    }
    if (column + kWordOverhead + 4 > kFoldColumn) {
        out += "\r\n ";
        column = 1;
    }
    column = appendEncodedWords(out, name.data(), name.size(), column);
    if (!address.empty()) {
        if (column + 1 + address.size() > kFoldColumn) {
            out += "\r\n";
            column = 0;
        }
        out += ' ';
        out += address;
        column += 1 + address.size();
    }
}

// Percent-encoding of RFC 2231 / RFC 5987: attribute characters stay, every other byte becomes %XX.
bool isAttributeChar(unsigned char c) {
    if (c <= 32 || c >= 127) return false;
    return std::strchr("*'%()<>@,;:\\\"/[]?=", c) == nullptr;
}

}  // namespace

std::string uniqueMessageId(const char *from) {
    unsigned char random[8];
    platform::randomBytes(random, sizeof random);
    std::string id("<message-root.");
    appendHex(id, platform::epochMs(), 11);
    id += '.';
    appendHex(id, messageIdCounter.fetch_add(1, std::memory_order_relaxed), 8);
    id += '.';
    for (unsigned char b : random) appendHex(id, b, 2);
    id += '@';
    std::string domain;
    const char *open = from ? std::strchr(from, '<') : nullptr;
    const char *atSign = open ? std::strchr(open, '@') : nullptr;
    if (atSign) {
        for (const char *p = atSign + 1; *p != '\0' && *p != '>'; ++p) {
            const unsigned char c = static_cast<unsigned char>(*p);
            // Only what a domain may hold: nothing of the application's text can break the header.
            if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
                c == '-' || c >= 0x80) {
                domain += static_cast<char>(c);
            }
        }
    }
    id += domain.empty() ? "localhost" : domain;
    id += '>';
    return id;
}

void foldLongLines(std::string &lines) {
    forEachLongLine(lines, [](std::string &text, size_t start, size_t end) -> size_t {
        // A fold needs text before it: not the blanks after the header's name, nor those that start a line.
        size_t first = start;
        if (!isBlank(text[start])) {
            const size_t colon = text.find(':', start);
            first = colon < end ? colon + 1 : start;
        }
        while (first < end && isBlank(text[first])) ++first;
        // The last blank that keeps the first line within the limit; else the first blank after it.
        size_t fold = std::string::npos;
        for (size_t i = start + kMaxWireLine; i > first; --i) {
            if (isBlank(text[i])) {
                fold = i;
                break;
            }
        }
        if (fold == std::string::npos) {
            for (size_t i = std::max(first, start + kMaxWireLine) + 1; i < end; ++i) {
                if (isBlank(text[i])) {
                    fold = i;
                    break;
                }
            }
        }
        if (fold == std::string::npos) return std::string::npos;
        text.insert(fold, "\r\n");
        return fold + 2;
    });
}

void splitLongLines(std::string &lines) {
    forEachLongLine(lines, [](std::string &text, size_t start, size_t) -> size_t {
        text.insert(start + kMaxWireLine, "\r\n");
        return start + kMaxWireLine + 2;
    });
}

bool hasNonAscii(const char *text) {
    if (!text) return false;
    for (const char *p = text; *p != '\0'; ++p) {
        if (static_cast<unsigned char>(*p) >= 0x80) return true;
    }
    return false;
}

size_t appendEncodedWords(std::string &out, const char *text, size_t length, size_t column) {
    const auto *bytes = reinterpret_cast<const unsigned char *>(text);
    size_t pos = 0;
    bool first = true;
    do {
        if (!first || column + kWordOverhead + 4 > kFoldColumn) {
            out += "\r\n ";
            column = 1;
        }
        first = false;
        // Whole base64 groups that fit the line: 3 bytes per 4 characters.
        size_t room = (kFoldColumn - column - kWordOverhead) / 4 * 3;
        if (room > kBase64Line) room = kBase64Line;
        size_t take = 0;
        while (pos + take < length) {
            const size_t n = sequenceLength(bytes + pos + take, length - pos - take);
            if (take + n > room) break;
            take += n;
        }
        out += kWordOpen;
        if (take > 0) appendBase64(out, bytes + pos, take);
        out += "?=";
        column += kWordOverhead + (take + 2) / 3 * 4;
        pos += take;
    } while (pos < length);
    return column;
}

std::string encodedHeaderValue(const char *name, const char *text) {
    std::string line(name);
    appendEncodedWords(line, text, std::strlen(text), line.size());
    return line;
}

std::string encodedAddressHeader(const char *name, const char *list, char separator) {
    std::string line(name);
    size_t column = line.size();
    const char *p = list;
    bool first = true;
    while (*p != '\0' || first) {
        // One element: up to the separator that is not inside double quotes.
        const char *start = p;
        bool quoted = false;
        while (*p != '\0' && (quoted || *p != separator || separator == '\0')) {
            if (*p == '"') quoted = !quoted;
            if (*p == '\\' && quoted && p[1] != '\0') ++p;
            ++p;
        }
        if (!first) {
            line += ',';
            ++column;
            if (column + 1 < kFoldColumn) {
                line += ' ';
                ++column;
            }
        }
        first = false;
        appendAddressElement(line, start, static_cast<size_t>(p - start), column);
        if (*p == '\0') break;
        ++p;
    }
    return line;
}

std::string encodedNameParameter(const char *name, size_t column) {
    std::string out("; name=\"");
    column += out.size();
    appendEncodedWords(out, name, std::strlen(name), column);
    out += '"';
    return out;
}

std::string extendedFileNameParameter(const char *name, size_t column) {
    // Percent-encode sequence by sequence, so a continuation never splits one.
    std::vector<std::string> pieces;
    const auto *bytes = reinterpret_cast<const unsigned char *>(name);
    const size_t length = std::strlen(name);
    for (size_t pos = 0; pos < length;) {
        const size_t n = sequenceLength(bytes + pos, length - pos);
        std::string piece;
        for (size_t i = 0; i < n; ++i) {
            const unsigned char c = bytes[pos + i];
            if (isAttributeChar(c)) {
                piece += static_cast<char>(c);
            } else {
                piece += '%';
                piece += kHex[c >> 4];
                piece += kHex[c & 0x0F];
            }
        }
        pieces.push_back(piece);
        pos += n;
    }
    std::string all;
    for (const std::string &piece : pieces) all += piece;
    const std::string single = "filename*=utf-8''" + all;
    if (column + 2 + single.size() <= kFoldColumn) return "; " + single;
    if (1 + single.size() + 1 <= kFoldColumn) return ";\r\n " + single;
    // Continuations filename*0*=utf-8''..., filename*1*=..., each on a line of its own.
    std::string out;
    size_t index = 0;
    size_t next = 0;
    while (next < pieces.size()) {
        std::string head = "filename*" + std::to_string(index) + "*=" + (index == 0 ? "utf-8''" : "");
        std::string value;
        // At least one piece per line; the ';' after it must fit too.
        while (next < pieces.size() &&
               (value.empty() || 1 + head.size() + value.size() + pieces[next].size() + 1 <= kFoldColumn)) {
            value += pieces[next++];
        }
        out += ";\r\n ";
        out += head;
        out += value;
        ++index;
    }
    return out;
}

std::string quotedPrintableText(const char *text) {
    std::string out;
    std::string line;
    const auto *p = reinterpret_cast<const unsigned char *>(text);
    auto flush = [&](bool soft) {
        if (soft) line += '=';
        out += line;
        out += "\r\n";
        line.clear();
    };
    while (*p != '\0') {
        const unsigned char c = *p++;
        if (c == '\r' && *p == '\n') continue;
        if (c == '\n' || c == '\r') {
            flush(false);
            continue;
        }
        const bool lineEndNext = *p == '\0' || *p == '\n' || *p == '\r';
        std::string piece;
        // A blank before a line end is escaped: it would be taken for padding and dropped.
        const bool literal = (c >= 33 && c <= 126 && c != '=') || ((c == ' ' || c == '\t') && !lineEndNext);
        if (literal) {
            piece += static_cast<char>(c);
        } else {
            piece += '=';
            piece += kHex[c >> 4];
            piece += kHex[c & 0x0F];
        }
        // 75 characters and the soft break's '=' stay within 76; a line never starts with a '.'.
        if (line.size() + piece.size() > 75) flush(true);
        if (line.empty() && piece == ".") piece = "=2E";
        line += piece;
    }
    if (!line.empty()) flush(false);
    return out;
}

std::string base64Text(const char *text) {
    // The text in canonical form: every line break as CR LF.
    std::string canonical;
    for (const char *p = text; *p != '\0'; ++p) {
        if (*p == '\r' && p[1] == '\n') continue;
        if (*p == '\r' || *p == '\n') {
            canonical += "\r\n";
            continue;
        }
        canonical += *p;
    }
    std::string out;
    const auto *bytes = reinterpret_cast<const unsigned char *>(canonical.data());
    for (size_t pos = 0; pos < canonical.size(); pos += kBase64Line) {
        const size_t n = canonical.size() - pos < kBase64Line ? canonical.size() - pos : kBase64Line;
        appendBase64(out, bytes + pos, n);
        out += "\r\n";
    }
    return out;
}

std::string shorterTextEncoding(const char *text, bool &base64) {
    std::string quoted = quotedPrintableText(text);
    std::string encoded = base64Text(text);
    base64 = encoded.size() < quoted.size();
    return base64 ? encoded : quoted;
}

}  // namespace tev
