// Hashes, HMAC, PBKDF2 and random bytes for SASL SCRAM (RFC 5802, RFC 7677), through OpenSSL's libcrypto.  A build
// without TLS has none of them: cryptoAvailable() is false and every other call fails, so SCRAM is never offered.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tev::platform {

enum class HashKind { sha1, sha256 };
constexpr size_t kMaxDigestSize = 32;

// True when this build has the functions below.
bool cryptoAvailable();
// Bytes of a digest of the kind: 20 or 32.
size_t digestSize(HashKind kind);
// Each writes digestSize(kind) bytes to out and returns true; false when the build has no crypto library.
bool hashDigest(HashKind kind, const void *data, size_t length, unsigned char *out);
bool hmacDigest(HashKind kind, const void *key, size_t keyLength, const void *data, size_t length, unsigned char *out);
bool pbkdf2(HashKind kind, const void *password, size_t passwordLength, const void *salt, size_t saltLength,
            uint32_t iterations, unsigned char *out);
// Fills out with bytes from the system's cryptographic random source; false when none is available.
bool randomBytes(unsigned char *out, size_t length);

}  // namespace tev::platform
