// RFC 2047 encoded words in header values (B and Q, any charset iconv knows) decoded to UTF-8, for tevmail's
// listings.  The tool sees only the library's public header, so it decodes here on its own.
#include "header_words.h"

#include <errno.h>
#include <iconv.h>
#include <string.h>

namespace tevmail {

namespace {

const size_t kLongestCharset = 64;

int base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

bool decodeBase64(const std::string &text, std::string &out) {
    unsigned bits = 0;
    int count = 0;
    for (char c : text) {
        if (c == '=') break;
        const int v = base64Value(c);
        if (v < 0) return false;
        bits = (bits << 6) | static_cast<unsigned>(v);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out += static_cast<char>((bits >> count) & 0xff);
        }
    }
    return true;
}

std::string decodeQ(const std::string &text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '_') {
            out += ' ';
        } else if (text[i] == '=' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 && hexValue(text[i + 2]) >= 0) {
            out += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

bool isCharsetName(const std::string &name) {
    if (name.empty() || name.size() > kLongestCharset) return false;
    for (char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                        c == '_' || c == '.' || c == ':' || c == '+' || c == '(' || c == ')';
        if (!ok) return false;
    }
    return true;
}

// `bytes` in `charset` as UTF-8; false when iconv does not know the charset or the bytes are not valid in it.
bool toUtf8(std::string charset, const std::string &bytes, std::string &out) {
    const size_t star = charset.find('*');  // RFC 2231 language
    if (star != std::string::npos) charset.erase(star);
    if (!isCharsetName(charset)) return false;
    iconv_t cd = iconv_open("UTF-8", charset.c_str());
    if (cd == (iconv_t)-1) return false;
    std::string converted;
    char *in = const_cast<char *>(bytes.data());
    size_t inLeft = bytes.size();
    bool ok = true;
    for (bool flushing = false;;) {
        char chunk[512];
        char *o = chunk;
        size_t oLeft = sizeof chunk;
        const size_t rc = flushing ? iconv(cd, NULL, NULL, &o, &oLeft) : iconv(cd, &in, &inLeft, &o, &oLeft);
        converted.append(chunk, static_cast<size_t>(o - chunk));
        if (rc == (size_t)-1 && errno == E2BIG) continue;
        if (rc == (size_t)-1) {
            ok = false;
            break;
        }
        if (flushing) break;
        flushing = true;
    }
    iconv_close(cd);
    if (ok) out = converted;
    return ok;
}

// The encoded word "=?charset?e?text?=" at `at`: its decoded text and its length, or false.
bool decodeWordAt(const std::string &value, size_t at, std::string &text, size_t &length) {
    if (value.compare(at, 2, "=?") != 0) return false;
    const size_t q1 = value.find('?', at + 2);
    if (q1 == std::string::npos || q1 + 2 >= value.size() || value[q1 + 2] != '?') return false;
    const size_t end = value.find("?=", q1 + 3);
    if (end == std::string::npos) return false;
    const std::string encoded = value.substr(q1 + 3, end - (q1 + 3));
    if (encoded.find_first_of(" \t") != std::string::npos) return false;
    std::string bytes;
    const char encoding = value[q1 + 1];
    if (encoding == 'B' || encoding == 'b') {
        if (!decodeBase64(encoded, bytes)) return false;
    } else if (encoding == 'Q' || encoding == 'q') {
        bytes = decodeQ(encoded);
    } else {
        return false;
    }
    if (!toUtf8(value.substr(at + 2, q1 - (at + 2)), bytes, text)) return false;
    length = end + 2 - at;
    return true;
}

}  // namespace

std::string decodeHeaderWords(const std::string &value) {
    std::string out;
    size_t blanksAt = std::string::npos;  // where the blanks after the last decoded word start in out
    for (size_t at = 0; at < value.size();) {
        std::string text;
        size_t length = 0;
        if (decodeWordAt(value, at, text, length)) {
            if (blanksAt != std::string::npos) out.resize(blanksAt);
            out += text;
            at += length;
            blanksAt = out.size();
            continue;
        }
        if (value[at] != ' ' && value[at] != '\t') blanksAt = std::string::npos;
        out += value[at++];
    }
    for (char &c : out) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f) c = ' ';
    }
    return out;
}

std::string fitColumns(const std::string &text, size_t columns) {
    // Offsets where each character starts.
    std::string out;
    size_t characters = 0;
    std::string::size_type cutAt = std::string::npos;
    for (size_t i = 0; i < text.size(); ++characters) {
        if (columns >= 3 && characters == columns - 3) cutAt = i;
        size_t next = i + 1;
        if ((static_cast<unsigned char>(text[i]) & 0xc0) == 0xc0) {
            while (next < text.size() && (static_cast<unsigned char>(text[next]) & 0xc0) == 0x80) ++next;
        }
        i = next;
    }
    if (characters > columns) {
        if (columns < 3) return std::string(columns, '.');
        return text.substr(0, cutAt) + "...";
    }
    return text + std::string(columns - characters, ' ');
}

}  // namespace tevmail
