// Base64 for mail (RFC 2045: 57 input bytes per 76-character line, CR LF after every line) and the digest texts of
// the two challenge-response logins: CRAM-MD5 (RFC 2195) and APOP (RFC 1939).  The codecs never allocate and keep
// no state; the caller sizes every destination (see encodedBufferSize and the decoder's 3/4 + 4 rule).
#include "engine/codecs.h"

#include <cstring>

#include "frame/record.h"
#include "frame/text.h"
#include "tev32.h"

namespace tev {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr int32_t kLineInputBytes = 57;
constexpr size_t kDigestTextSize = 33;

// The user name, a blank and the 32 hex digits always fit the authentication buffer, whatever the user name holds.
static_assert(kCredentialSize + 1 + (kDigestTextSize - 1) < kAuthBufferSize, "digest response must fit authBuffer");

// Anything outside the alphabet (pad, line ends, blanks, garbage) contributes zero bits: the decoder is lenient
// because mail in the wild is.
// 6-bit value of every byte: the alphabet's characters give 0..63, every other byte (pad, line ends) 0.
struct SextetTable {
    unsigned char value[256] = {};
    constexpr SextetTable() {
        for (int i = 0; i < 26; ++i) {
            value['A' + i] = static_cast<unsigned char>(i);
            value['a' + i] = static_cast<unsigned char>(26 + i);
        }
        for (int i = 0; i < 10; ++i) value['0' + i] = static_cast<unsigned char>(52 + i);
        value[static_cast<unsigned char>('+')] = 62;
        value[static_cast<unsigned char>('/')] = 63;
    }
};
constexpr SextetTable kSextets;

inline unsigned sextet(char c) { return kSextets.value[static_cast<unsigned char>(c)]; }

}  // namespace

int32_t encodeBase64Line(const unsigned char *source, int32_t count, char *destination) {
    if (source == nullptr || destination == nullptr || count <= 0) return 0;
    int32_t out = 0;
    for (int32_t i = 0; i < count; i += 3) {
        int32_t taken = count - i < 3 ? count - i : 3;
        unsigned b1 = source[i];
        unsigned b2 = taken > 1 ? source[i + 1] : 0;
        unsigned b3 = taken > 2 ? source[i + 2] : 0;
        destination[out++] = kAlphabet[b1 >> 2];
        destination[out++] = kAlphabet[((b1 & 0x03) << 4) | (b2 >> 4)];
        destination[out++] = taken > 1 ? kAlphabet[((b2 & 0x0f) << 2) | (b3 >> 6)] : '=';
        destination[out++] = taken > 2 ? kAlphabet[b3 & 0x3f] : '=';
    }
    destination[out] = '\r';
    destination[out + 1] = '\n';
    return out;
}

int32_t decodeBase64Text(const char *text, int32_t length, unsigned char *destination) {
    if (text == nullptr || destination == nullptr || length <= 2) return 0;
    int32_t groups = length / 4;
    // Clearing a little beyond the data leaves a NUL after it, which callers treating the result as text rely on.
    std::memset(destination, 0, static_cast<size_t>(groups) * 3 + 4);
    for (int32_t g = 0; g < groups; ++g) {
        const char *in = text + 4 * g;
        unsigned a = sextet(in[0]), b = sextet(in[1]), c = sextet(in[2]), d = sextet(in[3]);
        unsigned char *out = destination + 3 * g;
        out[0] = static_cast<unsigned char>((a << 2) | (b >> 4));
        out[1] = static_cast<unsigned char>((b << 4) | (c >> 2));
        out[2] = static_cast<unsigned char>((c << 6) | d);
    }
    int32_t result = groups * 3;
    if (groups > 0) {
        const char *last = text + 4 * (groups - 1);
        if (last[2] == '=') --result;
        if (last[3] == '=') --result;
    }
    return result;
}

int64_t encodedBufferSize(int64_t length) {
    if (length <= 0) return 0;
    return 4 * ((length + 2) / 3) + 2 * ((length + kLineInputBytes - 1) / kLineInputBytes);
}

void hexDigest(const unsigned char digest[16], char text[33]) {
    static const char kHex[] = "0123456789abcdef";
    for (int i = 0; i < 16; ++i) {
        text[2 * i] = kHex[digest[i] >> 4];
        text[2 * i + 1] = kHex[digest[i] & 0x0f];
    }
    text[32] = '\0';
}

namespace {

// authBuffer = user name, a blank, the digest in hex.
void writeDigestResponse(SessionRecord &rec, const unsigned char digest[16]) {
    char hex[kDigestTextSize];
    hexDigest(digest, hex);
    int userLength = static_cast<int>(boundedLength(rec.userName, sizeof rec.userName));
    formatText(rec.authBuffer, sizeof rec.authBuffer, "%.*s %s", userLength, rec.userName, hex);
}

}  // namespace

void buildCramResponse(SessionRecord &rec) {
    // The challenge ends at the first CR (a line end the reader left behind) or at the NUL.
    size_t challengeLength = boundedLength(rec.authBuffer, sizeof rec.authBuffer);
    const void *cr = std::memchr(rec.authBuffer, '\r', challengeLength);
    if (cr != nullptr) challengeLength = static_cast<size_t>(static_cast<const char *>(cr) - rec.authBuffer);

    // The whole digest is taken before authBuffer is overwritten with the response.
    unsigned char digest[16];
    hmacMd5(rec.authBuffer, challengeLength, rec.password, boundedLength(rec.password, sizeof rec.password), digest);
    writeDigestResponse(rec, digest);
}

void buildApopArgument(SessionRecord &rec) {
    unsigned char digest[16];
    md5(rec.authBuffer, boundedLength(rec.authBuffer, sizeof rec.authBuffer), digest);
    writeDigestResponse(rec, digest);
}

}  // namespace tev

// Encodes len bytes as base64 lines of 76 characters, each followed by CR LF; no NUL is written.
extern "C" int32_t tevEncodeBuffer(const char *src, char *dst, int32_t len) {
    if (src == nullptr || dst == nullptr || len <= 0) return 0;
    // A result that an int32_t cannot carry could not be reported; such a call writes nothing.
    if (tev::encodedBufferSize(len) > INT32_MAX) return 0;
    const unsigned char *in = reinterpret_cast<const unsigned char *>(src);
    int32_t total = 0;
    while (len > 0) {
        int32_t take = len < tev::kLineInputBytes ? len : tev::kLineInputBytes;
        int32_t written = tev::encodeBase64Line(in, take, dst + total) + 2;
        total += written;
        in += take;
        len -= take;
    }
    return total;
}

// Decodes len characters of base64 text, line by line; the destination needs 3 bytes per 4 characters plus 4.
extern "C" int32_t tevDecodeBuffer(const char *src, char *dst, int32_t len) {
    if (src == nullptr || dst == nullptr || len <= 0) return 0;
    unsigned char *out = reinterpret_cast<unsigned char *>(dst);
    int32_t remaining = len;
    int32_t total = 0;
    while (remaining > 0) {
        // A segment runs to the next CR; a NUL ends the search for it, leaving the whole remainder as one segment.
        int32_t segment = 0;
        while (segment < remaining && src[segment] != '\r' && src[segment] != '\0') ++segment;
        if (segment >= remaining || src[segment] != '\r') segment = remaining;

        int32_t decoded = tev::decodeBase64Text(src, segment, out + total);
        src += segment;
        remaining -= segment;
        while (remaining > 0 && (*src == '\r' || *src == '\n')) {
            ++src;
            --remaining;
        }
        total += decoded;
    }
    return total;
}
