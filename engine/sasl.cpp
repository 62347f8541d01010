// SASL client mechanisms for SMTP and POP3 (see engine/sasl.h).  SCRAM's hashes, HMAC and PBKDF2 come from the
// platform layer (libcrypto); CRAM-MD5 uses the library's own HMAC-MD5.
#include "engine/sasl.h"

#include <cctype>
#include <cstring>
#include <vector>

#include "engine/codecs.h"
#include "engine/driver.h"
#include "frame/mechanisms.h"
#include "frame/record.h"
#include "frame/text.h"
#include "frame/tracelog.h"
#include "platform/crypto.h"

namespace tev {
namespace {

// The 24 random bytes of a client nonce give 32 base64 characters, none of them ','.
constexpr size_t kNonceBytes = 24;
std::string testNonce;

bool isScram(SaslMechanism m) { return m == SaslMechanism::scramSha256 || m == SaslMechanism::scramSha1; }
platform::HashKind hashOf(SaslMechanism m) {
    return m == SaslMechanism::scramSha1 ? platform::HashKind::sha1 : platform::HashKind::sha256;
}

// RFC 5802 5.1: ',' and '=' in a user name are written "=2C" and "=3D".
std::string escapeSaslName(const char *name) {
    std::string out;
    for (const char *p = name; *p != '\0'; ++p) {
        if (*p == ',') out += "=2C";
        else if (*p == '=') out += "=3D";
        else out += *p;
    }
    return out;
}

// The value of attribute `key` ("r", "s", "i", "v", "e") in a SCRAM message "a=...,b=...", or false.
bool scramAttribute(const std::string &message, char key, std::string &value) {
    size_t pos = 0;
    while (pos <= message.size()) {
        size_t end = message.find(',', pos);
        if (end == std::string::npos) end = message.size();
        if (end - pos >= 2 && message[pos] == key && message[pos + 1] == '=') {
            value = message.substr(pos + 2, end - pos - 2);
            return true;
        }
        pos = end + 1;
    }
    return false;
}

bool hmac(SaslMechanism m, const unsigned char *key, size_t keyLength, const std::string &data,
          unsigned char *out) {
    return platform::hmacDigest(hashOf(m), key, keyLength, data.data(), data.size(), out);
}

// Answers the server-first message with the client-final message and keeps the server signature to expect.
int32_t scramClientFinal(SessionRecord &rec, const std::string &serverFirst, const char *password,
                         std::string &response, std::string &reason) {
    const SaslMechanism m = static_cast<SaslMechanism>(rec.saslMechanism);
    std::string nonce, salt64, count;
    if (serverFirst.compare(0, 2, "m=") == 0) {
        reason = "SCRAM: unsupported mandatory extension";
        return -1;
    }
    if (!scramAttribute(serverFirst, 'r', nonce) || !scramAttribute(serverFirst, 's', salt64) ||
        !scramAttribute(serverFirst, 'i', count)) {
        reason = "SCRAM: malformed server-first message";
        return -1;
    }
    const char *bare = rec.scramClientFirstBare;
    const char *ours = std::strstr(bare, ",r=");
    const std::string clientNonce = ours ? ours + 3 : "";
    if (clientNonce.empty() || nonce.size() <= clientNonce.size() || nonce.compare(0, clientNonce.size(), clientNonce) != 0) {
        reason = "SCRAM: server nonce does not extend the client nonce";
        return -1;
    }
    int digits = 0;
    const int32_t iterations = parseDecimal(count.c_str(), &digits);
    if (digits == 0 || static_cast<size_t>(digits) != count.size() || iterations < 0 ||
        static_cast<uint32_t>(iterations) < kScramMinIterations ||
        static_cast<uint32_t>(iterations) > kScramMaxIterations) {
        reason = "SCRAM: iteration count " + count.substr(0, 16) + " outside " + std::to_string(kScramMinIterations) +
                 ".." + std::to_string(kScramMaxIterations);
        return -1;
    }
    const std::string salt = base64Decode(salt64);
    if (salt.empty()) {
        reason = "SCRAM: empty salt";
        return -1;
    }
    std::string prepared;
    if (!saslPrep(password, prepared)) {
        reason = "SCRAM: password refused by SASLprep";
        return -1;
    }
    const size_t size = platform::digestSize(hashOf(m));
    unsigned char salted[platform::kMaxDigestSize], clientKey[platform::kMaxDigestSize];
    unsigned char storedKey[platform::kMaxDigestSize], clientSignature[platform::kMaxDigestSize];
    unsigned char serverKey[platform::kMaxDigestSize];
    const std::string withoutProof = "c=biws,r=" + nonce;
    const std::string authMessage = std::string(bare) + "," + serverFirst + "," + withoutProof;
    bool ok = platform::pbkdf2(hashOf(m), prepared.data(), prepared.size(), salt.data(), salt.size(),
                               static_cast<uint32_t>(iterations), salted) &&
              hmac(m, salted, size, "Client Key", clientKey) &&
              platform::hashDigest(hashOf(m), clientKey, size, storedKey) &&
              hmac(m, storedKey, size, authMessage, clientSignature) &&
              hmac(m, salted, size, "Server Key", serverKey) &&
              hmac(m, serverKey, size, authMessage, rec.scramServerSignature);
    if (!ok) {
        reason = "SCRAM: crypto library failed";
        return -1;
    }
    std::string proof(size, '\0');
    for (size_t i = 0; i < size; ++i) proof[i] = static_cast<char>(clientKey[i] ^ clientSignature[i]);
    response = withoutProof + ",p=" + base64Encode(proof);
    std::memset(salted, 0, sizeof salted);
    std::memset(clientKey, 0, sizeof clientKey);
    return 0;
}

int32_t scramCheckServerFinal(SessionRecord &rec, const std::string &serverFinal, std::string &reason) {
    std::string value;
    if (scramAttribute(serverFinal, 'e', value)) {
        reason = "SCRAM: server error " + value.substr(0, 64);
        return -1;
    }
    const size_t size = platform::digestSize(hashOf(static_cast<SaslMechanism>(rec.saslMechanism)));
    const std::string signature = scramAttribute(serverFinal, 'v', value) ? base64Decode(value) : std::string();
    unsigned char difference = signature.size() == size ? 0 : 1;
    for (size_t i = 0; i < size && i < signature.size(); ++i) {
        difference |= static_cast<unsigned char>(signature[i] ^ static_cast<char>(rec.scramServerSignature[i]));
    }
    if (difference != 0) {
        reason = "SCRAM: server signature does not match";
        return -1;
    }
    rec.scramVerified = 1;
    return 0;
}

// Decodes one UTF-8 sequence at text[pos]; false for an invalid one.
bool nextCodePoint(const std::string &text, size_t &pos, uint32_t &cp) {
    const unsigned char c = static_cast<unsigned char>(text[pos]);
    size_t extra;
    if (c < 0x80) { cp = c; extra = 0; }
    else if (c >= 0xC2 && c <= 0xDF) { cp = c & 0x1F; extra = 1; }
    else if (c >= 0xE0 && c <= 0xEF) { cp = c & 0x0F; extra = 2; }
    else if (c >= 0xF0 && c <= 0xF4) { cp = c & 0x07; extra = 3; }
    else return false;
    if (pos + extra >= text.size()) return false;
    for (size_t i = 1; i <= extra; ++i) {
        const unsigned char d = static_cast<unsigned char>(text[pos + i]);
        if ((d & 0xC0) != 0x80) return false;
        cp = (cp << 6) | (d & 0x3F);
    }
    // Overlong forms and values beyond U+10FFFF.
    if ((extra == 2 && cp < 0x800) || (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF))) return false;
    pos += extra + 1;
    return true;
}

bool inRange(uint32_t cp, uint32_t low, uint32_t high) { return cp >= low && cp <= high; }

// RFC 3454 C.1.2.
bool nonAsciiSpace(uint32_t cp) {
    return cp == 0xA0 || cp == 0x1680 || inRange(cp, 0x2000, 0x200B) || cp == 0x202F || cp == 0x205F ||
           cp == 0x3000;
}
// RFC 3454 B.1.
bool mappedToNothing(uint32_t cp) {
    return cp == 0xAD || cp == 0x34F || cp == 0x1806 || inRange(cp, 0x180B, 0x180D) || inRange(cp, 0x200B, 0x200D) ||
           cp == 0x2060 || inRange(cp, 0xFE00, 0xFE0F) || cp == 0xFEFF;
}
// RFC 3454 C.2 to C.9 (the tables RFC 4013 prohibits).
bool prohibited(uint32_t cp) {
    return cp < 0x20 || cp == 0x7F || inRange(cp, 0x80, 0x9F) || cp == 0x6DD || cp == 0x70F || cp == 0x180E ||
           inRange(cp, 0x2028, 0x2029) || inRange(cp, 0x2060, 0x2063) || inRange(cp, 0x206A, 0x206F) ||
           inRange(cp, 0xFFF9, 0xFFFD) || inRange(cp, 0x1D173, 0x1D17A) || inRange(cp, 0xE000, 0xF8FF) ||
           inRange(cp, 0xF0000, 0xFFFFD) || inRange(cp, 0x100000, 0x10FFFD) || inRange(cp, 0xFDD0, 0xFDEF) ||
           (cp & 0xFFFE) == 0xFFFE || inRange(cp, 0xD800, 0xDFFF) || inRange(cp, 0x2FF0, 0x2FFB) ||
           cp == 0x340 || cp == 0x341 || cp == 0x200E || cp == 0x200F || inRange(cp, 0x202A, 0x202E) ||
           cp == 0xE0001 || inRange(cp, 0xE0020, 0xE007F);
}

}  // namespace

bool offerNames(const char *offer, const char *name) {
    const std::string wanted = upperText(name);
    for (const std::string &word : mechanismWords(offer)) {
        if (upperText(word) == wanted) return true;
    }
    return false;
}

void collectSmtpAuthOffer(const char *reply, char *out, size_t capacity) {
    std::string names;
    for (const char *line = reply; *line != '\0';) {
        const char *lf = std::strchr(line, '\n');
        const size_t length = lf ? static_cast<size_t>(lf - line) : std::strlen(line);
        if (length > 8 && headerNameMatches(line + 4, "AUTH") && (line[8] == ' ' || line[8] == '=')) {
            const std::string rest(line + 9, length - 9);
            for (const std::string &word : mechanismWords(rest.c_str())) {
                if (offerNames(names.c_str(), word.c_str())) continue;
                if (!names.empty()) names += ' ';
                names += upperText(word);
            }
        }
        if (lf == nullptr) break;
        line = lf + 1;
    }
    copyText(out, capacity, names.c_str());
}

bool extendedChoice(const SessionRecord &rec) { return rec.authMechanisms[0] != '\0' || rec.oauthToken[0] != '\0'; }

bool mechanismUsable(const SessionRecord &rec, SaslMechanism mechanism, const char *password,
                     const LoginOptions &options) {
    switch (mechanism) {
    case SaslMechanism::none: return false;
    case SaslMechanism::user: return options.pop3 && options.userOffered;
    case SaslMechanism::apop: return options.pop3 && options.apopTimestamp;
    default: break;
    }
    if (!offerNames(rec.authOffered, mechanismName(mechanism))) return false;
    if (isScram(mechanism)) {
        std::string prepared;
        return platform::cryptoAvailable() && saslPrep(password, prepared);
    }
    if (mechanism == SaslMechanism::xoauth2 || mechanism == SaslMechanism::oauthbearer) {
        return rec.oauthToken[0] != '\0';
    }
    return true;
}

SaslMechanism choosePreferred(const SessionRecord &rec, const char *password, const LoginOptions &options) {
    if (rec.authMechanisms[0] != '\0') {
        for (const std::string &word : mechanismWords(rec.authMechanisms)) {
            const SaslMechanism m = mechanismByName(word);
            if (mechanismUsable(rec, m, password, options)) return m;
        }
        return SaslMechanism::none;
    }
    if (rec.oauthToken[0] != '\0') {
        for (SaslMechanism m : {SaslMechanism::oauthbearer, SaslMechanism::xoauth2}) {
            if (mechanismUsable(rec, m, password, options)) return m;
        }
    }
    return SaslMechanism::none;
}

int32_t saslRefuse(SessionRecord &rec, const std::string &reason, int32_t code) {
    logFormat(rec, "%s\r\n", reason.c_str());
    size_t length = boundedLength(rec.replyBuffer, sizeof rec.replyBuffer);
    while (length > 0 && (rec.replyBuffer[length - 1] == '\n' || rec.replyBuffer[length - 1] == '\r')) --length;
    rec.replyBuffer[length] = '\0';
    appendText(rec.replyBuffer, (" [" + reason + "]").c_str());
    saslReset(rec);
    return errorExit(rec, 0, code);
}

std::string saslInitialResponse(const std::string &initial) { return initial.empty() ? "=" : base64Encode(initial); }

void saslReset(SessionRecord &rec) {
    rec.saslMechanism = 0;
    rec.saslStep = 0;
    rec.scramVerified = 0;
    rec.saslDeferred = 0;
    rec.saslNote[0] = '\0';
    std::memset(rec.scramClientFirstBare, 0, sizeof rec.scramClientFirstBare);
    std::memset(rec.scramServerSignature, 0, sizeof rec.scramServerSignature);
}

int32_t saslBegin(SessionRecord &rec, SaslMechanism mechanism, const char *password, std::string &initial,
                  bool &hasInitial) {
    saslReset(rec);
    rec.saslMechanism = static_cast<int32_t>(mechanism);
    initial.clear();
    hasInitial = true;
    const std::string user = rec.userName;
    switch (mechanism) {
    case SaslMechanism::scramSha256:
    case SaslMechanism::scramSha1: {
        std::string nonce = testNonce;
        if (nonce.empty()) {
            unsigned char bytes[kNonceBytes];
            if (!platform::randomBytes(bytes, sizeof bytes)) return -1;
            nonce = base64Encode(std::string(reinterpret_cast<char *>(bytes), sizeof bytes));
        }
        const std::string bare = "n=" + escapeSaslName(rec.userName) + ",r=" + nonce;
        if (bare.size() + 1 > sizeof rec.scramClientFirstBare) return -1;
        copyText(rec.scramClientFirstBare, bare.c_str());
        initial = "n,," + bare;
        return 0;
    }
    case SaslMechanism::xoauth2:
        initial = "user=" + user + "\x01" "auth=Bearer " + rec.oauthToken + "\x01\x01";
        return 0;
    case SaslMechanism::oauthbearer:
        initial = "n,a=" + escapeSaslName(rec.userName) + ",\x01" "host=" + rec.serverName + "\x01" "port=" +
                  std::to_string(rec.remotePort) + "\x01" "auth=Bearer " + rec.oauthToken + "\x01\x01";
        return 0;
    case SaslMechanism::plain:
        initial = std::string(1, '\0') + user + std::string(1, '\0') + password;
        return 0;
    default:
        hasInitial = false;
        return 0;
    }
}

int32_t saslRespond(SessionRecord &rec, const std::string &challenge, const char *password, std::string &response,
                    std::string &reason) {
    const SaslMechanism m = static_cast<SaslMechanism>(rec.saslMechanism);
    const int32_t step = rec.saslStep++;
    response.clear();
    switch (m) {
    case SaslMechanism::scramSha256:
    case SaslMechanism::scramSha1:
        if (step == 0) return scramClientFinal(rec, challenge, password, response, reason);
        if (step == 1) return scramCheckServerFinal(rec, challenge, reason);
        reason = "SCRAM: unexpected challenge";
        return -1;
    case SaslMechanism::xoauth2:
    case SaslMechanism::oauthbearer:
        // The error challenge (RFC 7628 3.2.2): kept for the error text, answered so the server can finish.
        copyText(rec.saslNote, challenge.c_str());
        if (m == SaslMechanism::oauthbearer) response = "\x01";
        return 0;
    case SaslMechanism::login:
        response = step == 0 ? rec.userName : (step == 1 ? password : "");
        return 0;
    case SaslMechanism::cramMd5: {
        unsigned char digest[16];
        char hex[33];
        hmacMd5(challenge.data(), challenge.size(), password, std::strlen(password), digest);
        hexDigest(digest, hex);
        response = std::string(rec.userName) + " " + hex;
        return 0;
    }
    default: return 0;
    }
}

bool saslComplete(const SessionRecord &rec) {
    return !isScram(static_cast<SaslMechanism>(rec.saslMechanism)) || rec.scramVerified == 1;
}

bool saslPrep(const std::string &in, std::string &out) {
    out.clear();
    for (size_t pos = 0; pos < in.size();) {
        uint32_t cp = 0;
        const size_t start = pos;
        if (!nextCodePoint(in, pos, cp)) return false;
        if (nonAsciiSpace(cp)) {
            out += ' ';
            continue;
        }
        if (mappedToNothing(cp)) continue;
        if (prohibited(cp)) return false;
        out.append(in, start, pos - start);
    }
    return true;
}

std::string base64Encode(const std::string &bytes) {
    std::string out;
    char line[80];
    for (size_t done = 0; done < bytes.size(); done += 57) {
        const size_t take = bytes.size() - done < 57 ? bytes.size() - done : 57;
        int32_t n = encodeBase64Line(reinterpret_cast<const unsigned char *>(bytes.data() + done),
                                     static_cast<int32_t>(take), line);
        out.append(line, static_cast<size_t>(n));
    }
    return out;
}

std::string base64Decode(const std::string &text) {
    size_t length = 0;
    while (length < text.size() && (std::isalnum(static_cast<unsigned char>(text[length])) || text[length] == '+' ||
                                    text[length] == '/' || text[length] == '=')) {
        ++length;
    }
    std::vector<unsigned char> bytes(length / 4 * 3 + 4);
    int32_t n = decodeBase64Text(text.data(), static_cast<int32_t>(length), bytes.data());
    return std::string(reinterpret_cast<char *>(bytes.data()), n > 0 ? static_cast<size_t>(n) : 0);
}

void setScramNonceForTest(const char *nonce) { testNonce = nonce ? nonce : ""; }

}  // namespace tev
