// Charset conversion to UTF-8 through iconv (glibc knows several hundred charsets) and RFC 2047 encoded words of
// any charset, B and Q, for UTF-8 mail.  Pure text functions: iconv is a library call, no I/O.
#include "pop3/charsets.h"

#include <iconv.h>

#include <cerrno>
#include <cstring>

#include "engine/codecs.h"

namespace tev::mime {

namespace {

constexpr size_t kLongestCharsetName = 64;

bool sameName(const char *name, size_t length, const char *known) {
    if (std::strlen(known) != length) return false;
    for (size_t i = 0; i < length; ++i) {
        char c = name[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != known[i]) return false;
    }
    return true;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// Charset names (RFC 2978) are letters, digits and a few marks; anything else (a '/' that would add iconv
// options, blanks, controls) is no name to hand to iconv.
bool isCharsetName(const char *name, size_t length) {
    if (length == 0 || length > kLongestCharsetName) return false;
    for (size_t i = 0; i < length; ++i) {
        const char c = name[i];
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                        c == '_' || c == '.' || c == ':' || c == '+' || c == '(' || c == ')';
        if (!ok) return false;
    }
    return true;
}

// An encoded word "=?charset?e?text?=" at p, within end: its parts, or false.
struct Word {
    const char *charset;
    size_t charsetLength;
    char encoding;
    const char *text;
    size_t textLength;
    size_t length;  // of the whole word
};

bool parseWord(const char *p, const char *end, Word &word) {
    if (end - p < 8 || p[0] != '=' || p[1] != '?') return false;
    const char *charset = p + 2;
    const char *q = charset;
    while (q < end && *q != '?' && !isBlank(*q) && *q != '\r' && *q != '\n') ++q;
    if (q >= end || *q != '?' || q == charset || q + 3 >= end || q[2] != '?') return false;
    const char encoding = static_cast<char>(q[1] | 0x20);
    if (encoding != 'b' && encoding != 'q') return false;
    const char *text = q + 3;
    const char *close = text;
    while (close + 1 < end && !(close[0] == '?' && close[1] == '=')) {
        if (isBlank(*close) || *close == '\r' || *close == '\n') return false;
        ++close;
    }
    if (close + 1 >= end) return false;
    word = {charset, static_cast<size_t>(q - charset), encoding, text, static_cast<size_t>(close - text),
            static_cast<size_t>(close + 2 - p)};
    return true;
}

// The bytes a word's text stands for.
std::string wordBytes(const Word &word) {
    std::string bytes;
    if (word.encoding == 'b') {
        std::string text(word.text, word.textLength);
        bytes.resize(text.size() + 3);
        const int32_t n = decodeBase64Text(text.c_str(), static_cast<int32_t>(text.size()),
                                           reinterpret_cast<unsigned char *>(&bytes[0]));
        bytes.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return bytes;
    }
    for (size_t i = 0; i < word.textLength; ++i) {
        const char c = word.text[i];
        if (c == '_') {
            bytes += ' ';
        } else if (c == '=' && i + 2 < word.textLength && hexDigit(word.text[i + 1]) >= 0 &&
                   hexDigit(word.text[i + 2]) >= 0) {
            bytes += static_cast<char>(hexDigit(word.text[i + 1]) * 16 + hexDigit(word.text[i + 2]));
            i += 2;
        } else {
            bytes += c;
        }
    }
    return bytes;
}

}  // namespace

bool appendAsUtf8(const char *charset, size_t charsetLength, const char *bytes, size_t length, std::string &out) {
    // RFC 2231 5: "charset*language".
    const void *star = std::memchr(charset, '*', charsetLength);
    if (star) charsetLength = static_cast<size_t>(static_cast<const char *>(star) - charset);
    if (!isCharsetName(charset, charsetLength)) return false;
    if (sameName(charset, charsetLength, "utf-8") || sameName(charset, charsetLength, "us-ascii")) {
        out.append(bytes, length);
        return true;
    }
    const std::string name(charset, charsetLength);
    iconv_t cd = iconv_open("UTF-8", name.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    std::string converted;
    char chunk[1024];
    char *in = const_cast<char *>(bytes);
    size_t inLeft = length;
    bool ok = true;
    for (bool flushing = false;;) {
        char *o = chunk;
        size_t oLeft = sizeof chunk;
        const size_t rc = flushing ? iconv(cd, nullptr, nullptr, &o, &oLeft) : iconv(cd, &in, &inLeft, &o, &oLeft);
        converted.append(chunk, static_cast<size_t>(o - chunk));
        if (rc == static_cast<size_t>(-1) && errno == E2BIG) continue;
        if (rc == static_cast<size_t>(-1)) {
            ok = false;
            break;
        }
        if (flushing) break;
        flushing = true;
    }
    iconv_close(cd);
    if (!ok) return false;
    out += converted;
    return true;
}

std::string decodeWordsToUtf8(const char *line) {
    const size_t length = std::strlen(line);
    size_t contentEnd = length;
    while (contentEnd > 0 && (line[contentEnd - 1] == '\r' || line[contentEnd - 1] == '\n')) --contentEnd;
    const char *end = line + contentEnd;
    std::string out;
    size_t blanksAt = std::string::npos;  // where the blanks after the last decoded word start in out
    for (const char *p = line; p < end;) {
        Word word;
        if (p[0] == '=' && p + 1 < end && p[1] == '?' && parseWord(p, end, word)) {
            std::string text;
            const std::string bytes = wordBytes(word);
            if (appendAsUtf8(word.charset, word.charsetLength, bytes.data(), bytes.size(), text)) {
                if (blanksAt != std::string::npos) out.resize(blanksAt);
                for (char &c : text) {
                    if (c == '\r' || c == '\n' || c == '\0') c = ' ';
                }
                out += text;
                p += word.length;
                blanksAt = out.size();
                continue;
            }
        }
        if (!isBlank(*p)) blanksAt = std::string::npos;
        out += *p++;
    }
    out.append(line + contentEnd, length - contentEnd);
    return out;
}

bool isTakenAsItIs(const char *charset) {
    const size_t length = std::strlen(charset);
    return !isCharsetName(charset, length) || sameName(charset, length, "utf-8") ||
           sameName(charset, length, "utf8") || sameName(charset, length, "us-ascii") ||
           sameName(charset, length, "ascii");
}

namespace {

// The converter of the charset a thread used last: a text part is converted line by line, and opening a
// converter for every line would cost more than converting it.  A charset iconv does not know is remembered too.
class CachedConverter {
public:
    CachedConverter() = default;
    CachedConverter(const CachedConverter &) = delete;
    CachedConverter &operator=(const CachedConverter &) = delete;
    ~CachedConverter() { close(); }

    // The converter from charset to UTF-8 in its initial state, or (iconv_t)-1.
    iconv_t get(const char *charset) {
        if (!open_ || charset_ != charset) {
            close();
            charset_ = charset;
            cd_ = iconv_open("UTF-8", charset);
            open_ = true;
        } else if (cd_ != kNone) {
            iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        }
        return cd_;
    }

private:
    static inline const iconv_t kNone = reinterpret_cast<iconv_t>(-1);
    void close() {
        if (open_ && cd_ != kNone) iconv_close(cd_);
        open_ = false;
        cd_ = kNone;
    }
    bool open_ = false;
    std::string charset_;
    iconv_t cd_ = kNone;
};

thread_local CachedConverter cachedConverter;

}  // namespace

size_t convertTextToUtf8(const char *charset, const char *bytes, size_t length, bool final, TextSink sink,
                         void *context) {
    iconv_t cd = isTakenAsItIs(charset) ? reinterpret_cast<iconv_t>(-1) : cachedConverter.get(charset);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        if (length > 0) sink(context, bytes, length);
        return length;
    }
    char *in = const_cast<char *>(bytes);
    size_t inLeft = length;
    char chunk[1024];
    while (inLeft > 0) {
        char *out = chunk;
        size_t outLeft = sizeof chunk;
        const size_t rc = iconv(cd, &in, &inLeft, &out, &outLeft);
        const int error = errno;
        if (out > chunk) sink(context, chunk, static_cast<size_t>(out - chunk));
        if (rc != static_cast<size_t>(-1)) break;
        if (error == E2BIG) continue;
        if (error == EINVAL && !final) break;  // an incomplete sequence: it comes again with the rest
        // Not valid here (or cut off at the very end): the byte goes on as it is.
        sink(context, in, 1);
        ++in;
        --inLeft;
    }
    // Back to the initial shift state (ISO-2022-JP and the like), so the next call starts where this one ends.
    char *out = chunk;
    size_t outLeft = sizeof chunk;
    iconv(cd, nullptr, nullptr, &out, &outLeft);
    if (out > chunk) sink(context, chunk, static_cast<size_t>(out - chunk));
    return length - inLeft;
}

}  // namespace tev::mime
