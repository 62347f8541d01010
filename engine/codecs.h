// Base64 (RFC 2045 lines of 57 input bytes), MD5 (RFC 1321), HMAC-MD5 (RFC 2104) and the digest texts of
// CRAM-MD5 (RFC 2195) and APOP (RFC 1939).  No allocation, no I/O.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tev {

struct SessionRecord;

// Encodes count bytes (1..57) as one base64 line followed by CR LF; returns the characters before the CR LF.
int32_t encodeBase64Line(const unsigned char *source, int32_t count, char *destination);
// Decodes the complete 4-character groups of text; clears 3 * groups + 4 destination bytes first.
int32_t decodeBase64Text(const char *text, int32_t length, unsigned char *destination);
// Bytes tevEncodeBuffer writes for length input bytes.
int64_t encodedBufferSize(int64_t length);

struct Md5Context {
    uint32_t state[4];
    uint64_t bitCount;
    unsigned char block[64];
};
void md5Init(Md5Context &ctx);
void md5Update(Md5Context &ctx, const void *data, size_t length);
void md5Final(Md5Context &ctx, unsigned char digest[16]);
void md5(const void *data, size_t length, unsigned char digest[16]);
void hmacMd5(const void *text, size_t textLength, const void *key, size_t keyLength, unsigned char digest[16]);
// 16 bytes to 32 lowercase hex digits and a NUL.
void hexDigest(const unsigned char digest[16], char text[33]);

// Replaces the CRAM-MD5 challenge in authBuffer (up to its first CR) by "user <hmac hex>".
void buildCramResponse(SessionRecord &rec);
// Replaces timestamp+password in authBuffer by "user <md5 hex>".
void buildApopArgument(SessionRecord &rec);

}  // namespace tev
