// The crypto primitives of platform/crypto.h over OpenSSL 3's libcrypto (EVP digests, HMAC, PKCS5_PBKDF2_HMAC,
// RAND_bytes).  Without TLS in the build every call reports failure.
#include "platform/crypto.h"

#ifdef TEV_HAVE_TLS
#include <climits>

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#endif

namespace tev::platform {

size_t digestSize(HashKind kind) { return kind == HashKind::sha1 ? 20 : 32; }

#ifdef TEV_HAVE_TLS

namespace {
const EVP_MD *digestOf(HashKind kind) { return kind == HashKind::sha1 ? EVP_sha1() : EVP_sha256(); }
}  // namespace

bool cryptoAvailable() { return true; }

bool hashDigest(HashKind kind, const void *data, size_t length, unsigned char *out) {
    unsigned int size = 0;
    return EVP_Digest(data, length, out, &size, digestOf(kind), nullptr) == 1 && size == digestSize(kind);
}

bool hmacDigest(HashKind kind, const void *key, size_t keyLength, const void *data, size_t length,
                unsigned char *out) {
    if (keyLength > INT_MAX) return false;
    unsigned int size = 0;
    return HMAC(digestOf(kind), key, static_cast<int>(keyLength), static_cast<const unsigned char *>(data), length,
                out, &size) != nullptr &&
           size == digestSize(kind);
}

bool pbkdf2(HashKind kind, const void *password, size_t passwordLength, const void *salt, size_t saltLength,
            uint32_t iterations, unsigned char *out) {
    if (passwordLength > INT_MAX || saltLength > INT_MAX || iterations == 0 || iterations > INT_MAX) return false;
    return PKCS5_PBKDF2_HMAC(static_cast<const char *>(password), static_cast<int>(passwordLength),
                             static_cast<const unsigned char *>(salt), static_cast<int>(saltLength),
                             static_cast<int>(iterations), digestOf(kind), static_cast<int>(digestSize(kind)),
                             out) == 1;
}

bool randomBytes(unsigned char *out, size_t length) {
    return length <= INT_MAX && RAND_bytes(out, static_cast<int>(length)) == 1;
}

#else

bool cryptoAvailable() { return false; }
bool hashDigest(HashKind, const void *, size_t, unsigned char *) { return false; }
bool hmacDigest(HashKind, const void *, size_t, const void *, size_t, unsigned char *) { return false; }
bool pbkdf2(HashKind, const void *, size_t, const void *, size_t, uint32_t, unsigned char *) { return false; }
bool randomBytes(unsigned char *, size_t) { return false; }

#endif

}  // namespace tev::platform
