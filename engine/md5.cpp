// MD5 message digest (RFC 1321) and HMAC-MD5 (RFC 2104), used by the CRAM-MD5 and APOP logins.
// Portable: bytes are assembled into little-endian words explicitly, so host byte order does not matter.
#include <cstring>

#include "engine/codecs.h"

namespace tev {

namespace {

constexpr size_t kMd5BlockSize = 64;

inline uint32_t rotateLeft(uint32_t x, unsigned n) { return (x << n) | (x >> (32 - n)); }

inline uint32_t loadLittle32(const unsigned char *p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

inline void storeLittle32(unsigned char *p, uint32_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
}

// Per-step shift amounts and the sine-derived constants T[i] = floor(abs(sin(i + 1)) * 2^32).
constexpr unsigned kShift[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                                 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                                 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                                 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};

constexpr uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

void md5Transform(uint32_t state[4], const unsigned char block[kMd5BlockSize]) {
    uint32_t x[16];
    for (int i = 0; i < 16; ++i) x[i] = loadLittle32(block + 4 * i);

    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (int i = 0; i < 64; ++i) {
        uint32_t f;
        int g;
        switch (i / 16) {
        case 0:
            f = (b & c) | (~b & d);
            g = i;
            break;
        case 1:
            f = (b & d) | (c & ~d);
            g = (5 * i + 1) % 16;
            break;
        case 2:
            f = b ^ c ^ d;
            g = (3 * i + 5) % 16;
            break;
        default:
            f = c ^ (b | ~d);
            g = (7 * i) % 16;
            break;
        }
        uint32_t next = d;
        d = c;
        c = b;
        b = b + rotateLeft(a + f + kSine[i] + x[g], kShift[i]);
        a = next;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

}  // namespace

void md5Init(Md5Context &ctx) {
    ctx.state[0] = 0x67452301;
    ctx.state[1] = 0xefcdab89;
    ctx.state[2] = 0x98badcfe;
    ctx.state[3] = 0x10325476;
    ctx.bitCount = 0;
    std::memset(ctx.block, 0, sizeof ctx.block);
}

void md5Update(Md5Context &ctx, const void *data, size_t length) {
    if (length == 0) return;
    const unsigned char *input = static_cast<const unsigned char *>(data);
    size_t used = static_cast<size_t>((ctx.bitCount >> 3) % kMd5BlockSize);
    // The message length is kept modulo 2^64 bits, as the padding rule defines it.
    ctx.bitCount += static_cast<uint64_t>(length) << 3;

    if (used > 0) {
        size_t room = kMd5BlockSize - used;
        if (length < room) {
            std::memcpy(ctx.block + used, input, length);
            return;
        }
        std::memcpy(ctx.block + used, input, room);
        md5Transform(ctx.state, ctx.block);
        input += room;
        length -= room;
    }
    while (length >= kMd5BlockSize) {
        md5Transform(ctx.state, input);
        input += kMd5BlockSize;
        length -= kMd5BlockSize;
    }
    if (length > 0) std::memcpy(ctx.block, input, length);
}

void md5Final(Md5Context &ctx, unsigned char digest[16]) {
    unsigned char lengthBytes[8];
    uint64_t bits = ctx.bitCount;
    for (int i = 0; i < 8; ++i) lengthBytes[i] = static_cast<unsigned char>(bits >> (8 * i));

    // One 0x80 byte, then zeros up to 56 bytes modulo 64, then the original length in bits.
    static const unsigned char padding[kMd5BlockSize] = {0x80};
    size_t used = static_cast<size_t>((bits >> 3) % kMd5BlockSize);
    size_t padLength = used < 56 ? 56 - used : 120 - used;
    md5Update(ctx, padding, padLength);
    md5Update(ctx, lengthBytes, sizeof lengthBytes);

    for (int i = 0; i < 4; ++i) storeLittle32(digest + 4 * i, ctx.state[i]);
    // The context may have held key material (HMAC pads); leave nothing behind.
    std::memset(&ctx, 0, sizeof ctx);
}

void md5(const void *data, size_t length, unsigned char digest[16]) {
    Md5Context ctx;
    md5Init(ctx);
    md5Update(ctx, data, length);
    md5Final(ctx, digest);
}

void hmacMd5(const void *text, size_t textLength, const void *key, size_t keyLength, unsigned char digest[16]) {
    unsigned char keyBlock[kMd5BlockSize] = {};
    if (keyLength > kMd5BlockSize) {
        md5(key, keyLength, keyBlock);  // RFC 2104: long keys are replaced by their hash
    } else if (keyLength > 0) {
        std::memcpy(keyBlock, key, keyLength);
    }

    unsigned char pad[kMd5BlockSize];
    unsigned char innerDigest[16];
    Md5Context ctx;

    for (size_t i = 0; i < kMd5BlockSize; ++i) pad[i] = static_cast<unsigned char>(keyBlock[i] ^ 0x36);
    md5Init(ctx);
    md5Update(ctx, pad, sizeof pad);
    md5Update(ctx, text, textLength);
    md5Final(ctx, innerDigest);

    for (size_t i = 0; i < kMd5BlockSize; ++i) pad[i] = static_cast<unsigned char>(keyBlock[i] ^ 0x5c);
    md5Init(ctx);
    md5Update(ctx, pad, sizeof pad);
    md5Update(ctx, innerDigest, sizeof innerDigest);
    md5Final(ctx, digest);
}

}  // namespace tev
