// Base64 buffers and lines, MD5, HMAC-MD5 and the CRAM-MD5 / APOP digest texts.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/codecs.h"
#include "frame/record.h"
#include "tev32.h"

namespace {

constexpr unsigned char kGuard = 0xA5;

std::string encode(const std::string &in) {
    std::string out(static_cast<size_t>(tev::encodedBufferSize(static_cast<int64_t>(in.size()))), '\0');
    int32_t n = tevEncodeBuffer(in.data(), out.empty() ? nullptr : &out[0], static_cast<int32_t>(in.size()));
    EXPECT_EQ(static_cast<size_t>(n), out.size());
    return out;
}

// Decodes into exactly the documented room (3 bytes per 4 characters, plus 4) followed by a guard region, and
// checks the guard region is untouched.
std::string decode(const std::string &text) {
    size_t room = 3 * (text.size() / 4) + 4;
    std::vector<unsigned char> dst(room + 32, kGuard);
    // Exactly-sized heap copy without a terminator, so reading past the length is caught by the sanitizer.
    std::vector<char> src(text.begin(), text.end());
    int32_t n = tevDecodeBuffer(src.data(), reinterpret_cast<char *>(dst.data()), static_cast<int32_t>(src.size()));
    for (size_t i = room; i < dst.size(); ++i) {
        EXPECT_EQ(dst[i], kGuard) << "byte " << i << " beyond the room of " << room << " was written";
    }
    EXPECT_GE(n, 0);
    EXPECT_LE(static_cast<size_t>(n), room);
    return std::string(reinterpret_cast<const char *>(dst.data()), static_cast<size_t>(n));
}

template <size_t N>
void put(char (&field)[N], const std::string &text) {
    ASSERT_LT(text.size(), N);
    std::memcpy(field, text.c_str(), text.size() + 1);
}

std::string md5Hex(const std::string &data) {
    unsigned char digest[16];
    char text[33];
    tev::md5(data.data(), data.size(), digest);
    tev::hexDigest(digest, text);
    return text;
}

std::string hmacHex(const std::string &text, const std::string &key) {
    unsigned char digest[16];
    char hex[33];
    tev::hmacMd5(text.data(), text.size(), key.data(), key.size(), digest);
    tev::hexDigest(digest, hex);
    return hex;
}

// ---- Encoding ----

TEST(Base64Encode, Rfc4648Vectors) {
    struct Case {
        const char *plain;
        const char *encoded;
    } cases[] = {{"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},       {"foob", "Zm9vYg=="},
                 {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}, {"abc", "YWJj"},       {"a", "YQ=="}};
    for (const Case &c : cases) {
        EXPECT_EQ(encode(c.plain), std::string(c.encoded) + "\r\n") << c.plain;
    }
    EXPECT_EQ(encode(""), "");
}

TEST(Base64Encode, LineBreaksEvery57InputBytes) {
    std::string in57(57, 'x'), in58(58, 'x');
    char out[200];
    EXPECT_EQ(tevEncodeBuffer(in57.data(), out, 57), 78);
    EXPECT_EQ(std::string(out + 76, 2), "\r\n");

    EXPECT_EQ(tevEncodeBuffer(in58.data(), out, 58), 84);
    EXPECT_EQ(std::string(out + 76, 2), "\r\n");
    EXPECT_EQ(std::string(out + 78, 6), "eA==\r\n");
    EXPECT_EQ(std::string(out, 4), "eHh4");

    // 114 bytes: two full lines, nothing more.
    std::string in114(114, 'x');
    EXPECT_EQ(tevEncodeBuffer(in114.data(), out, 114), 156);
    EXPECT_EQ(std::string(out + 154, 2), "\r\n");
}

TEST(Base64Encode, NothingToEncodeLeavesDestinationUntouched) {
    char out[8];
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(tevEncodeBuffer("abc", out, 0), 0);
    EXPECT_EQ(tevEncodeBuffer("abc", out, -3), 0);
    EXPECT_EQ(tevEncodeBuffer(nullptr, out, 3), 0);
    EXPECT_EQ(tevEncodeBuffer("abc", nullptr, 3), 0);
    EXPECT_EQ(std::string(out, sizeof out), std::string(8, '#'));
}

TEST(Base64Encode, LineEncoderWritesCrLfButNoNul) {
    const unsigned char in[] = {0xFB, 0xFF};
    char out[8];
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(tev::encodeBase64Line(in, 2, out), 4);
    EXPECT_EQ(std::string(out, 7), "+/8=\r\n#");
}

TEST(Base64Encode, EncodedBufferSizeIsExact) {
    EXPECT_EQ(tev::encodedBufferSize(0), 0);
    EXPECT_EQ(tev::encodedBufferSize(-1), 0);
    EXPECT_EQ(tev::encodedBufferSize(1), 6);
    EXPECT_EQ(tev::encodedBufferSize(57), 78);
    EXPECT_EQ(tev::encodedBufferSize(58), 84);
    // encode() also checks every result against the helper with an exactly-sized buffer.
    for (int n = 0; n <= 200; ++n) encode(std::string(static_cast<size_t>(n), 'q'));
}

// ---- Decoding ----

TEST(Base64Decode, Rfc4648Vectors) {
    EXPECT_EQ(decode("Zg=="), "f");
    EXPECT_EQ(decode("Zm8="), "fo");
    EXPECT_EQ(decode("Zm9v"), "foo");
    EXPECT_EQ(decode("Zm9vYg=="), "foob");
    EXPECT_EQ(decode("Zm9vYmE="), "fooba");
    EXPECT_EQ(decode("Zm9vYmFy"), "foobar");
}

TEST(Base64Decode, LinesAndLineEnds) {
    EXPECT_EQ(decode("YWJj\r\nYQ==\r\n"), "abca");
    EXPECT_EQ(decode("\r\nYWJj"), "abc");
    EXPECT_EQ(decode("YWJj\r\n\r\n\r\nYWJj"), "abcabc");
    EXPECT_EQ(decode("YWJj\nYWJj"), "abc\x01\x85\x89");  // a bare LF is not a line end: it is part of a group
}

TEST(Base64Decode, TextWithoutLineEndIsTerminated) {
    char out[8];
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(tevDecodeBuffer("YWJj", out, 4), 3);
    EXPECT_EQ(std::string(out, 7), std::string("abc\0\0\0\0", 7));
    EXPECT_EQ(out[7], '#');
}

TEST(Base64Decode, IncompleteGroupsAreIgnored) {
    EXPECT_EQ(decode("YWJjZ"), "abc");
    EXPECT_EQ(decode("YWJjZg="), "abc");
    EXPECT_EQ(decode("YWJ"), "");

    // Two characters: nothing decoded and nothing written.
    char out[8];
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(tevDecodeBuffer("YW", out, 2), 0);
    EXPECT_EQ(std::string(out, sizeof out), std::string(8, '#'));

    // Three characters: no complete group, but the room is cleared.
    unsigned char raw[8];
    std::memset(raw, '#', sizeof raw);
    EXPECT_EQ(tev::decodeBase64Text("YWJ", 3, raw), 0);
    EXPECT_EQ(raw[3], 0);
    EXPECT_EQ(raw[4], '#');
}

TEST(Base64Decode, ForeignCharactersCountAsZeroBits) {
    EXPECT_EQ(decode("Y*Jj"), decode("YAJj"));
    EXPECT_EQ(decode("Y Jj"), decode("YAJj"));
    // The pads are tested one by one, and only in the last group.
    EXPECT_EQ(decode("YQ==YWJj"), std::string("a\0\0abc", 6));
    EXPECT_EQ(decode("YWJ=").size(), 2u);
    EXPECT_EQ(decode("YW=j").size(), 2u);
    EXPECT_EQ(decode("====").size(), 1u);
}

TEST(Base64Decode, NothingToDecodeLeavesDestinationUntouched) {
    char out[8];
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(tevDecodeBuffer("YWJj", out, 0), 0);
    EXPECT_EQ(tevDecodeBuffer("YWJj", out, -1), 0);
    EXPECT_EQ(tevDecodeBuffer(nullptr, out, 4), 0);
    EXPECT_EQ(tevDecodeBuffer("YWJj", nullptr, 4), 0);
    EXPECT_EQ(std::string(out, sizeof out), std::string(8, '#'));
}

TEST(Base64Decode, StaysWithinThreeQuartersPlusFour) {
    // Segment shapes that push the cleared tail furthest: short segments, odd lengths, no line end at all.
    const char *texts[] = {"YQ==\r\nYQ==\r\nYQ==\r\n", "YWJjZGVm\r\nYWJj", "YWJjZGVmZ2g", "Zg=\r\nZg=\r\nZg=",
                           "\r\n\r\n",                 "YWJjYWJjYWJjYWJjYWJjYWJjYWJjYWJjYWJjYWJjYWJjYWJjYWJj",
                           "A\rB\rC\rD\r",            "AAAA\rAAAA\rAAA"};
    for (const char *t : texts) decode(t);
}

TEST(Base64Codec, RandomBuffersRoundTrip) {
    std::mt19937 rng(20240611);
    for (int size = 0; size <= 300; ++size) {
        std::string data(static_cast<size_t>(size), '\0');
        for (char &c : data) c = static_cast<char>(rng() & 0xFF);
        std::string text = encode(data);
        ASSERT_EQ(decode(text), data) << "size " << size;
    }
}

// ---- MD5 and HMAC-MD5 ----

TEST(Md5, Rfc1321TestSuite) {
    EXPECT_EQ(md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(md5Hex("a"), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(md5Hex("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(md5Hex("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
    EXPECT_EQ(md5Hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "d174ab98d277d9f5a5611c2c9f419d9f");
    EXPECT_EQ(md5Hex("12345678901234567890123456789012345678901234567890123456789012345678901234567890"),
              "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(Md5, PaddingBoundaries) {
    // Lengths around the 56-byte padding threshold and the 64-byte block.
    EXPECT_EQ(md5Hex(std::string(55, 'a')), "ef1772b6dff9a122358552954ad0df65");
    EXPECT_EQ(md5Hex(std::string(56, 'a')), "3b0c8ac703f828b04c6c197006d17218");
    EXPECT_EQ(md5Hex(std::string(64, 'a')), "014842d480b571495a4a0363793f7367");
}

TEST(Md5, IncrementalUpdatesMatchOneShot) {
    std::string data;
    for (int i = 0; i < 200; ++i) data.push_back(static_cast<char>(i * 7 + 3));
    const std::string expected = md5Hex(data);
    for (size_t split = 0; split <= data.size(); ++split) {
        tev::Md5Context ctx;
        tev::md5Init(ctx);
        tev::md5Update(ctx, data.data(), split);
        tev::md5Update(ctx, data.data() + split, data.size() - split);
        unsigned char digest[16];
        char hex[33];
        tev::md5Final(ctx, digest);
        tev::hexDigest(digest, hex);
        ASSERT_EQ(hex, expected) << "split at " << split;
    }
}

TEST(HmacMd5, Rfc2202TestCases) {
    std::string key25;
    for (int i = 1; i <= 25; ++i) key25.push_back(static_cast<char>(i));
    EXPECT_EQ(hmacHex("Hi There", std::string(16, '\x0b')), "9294727a3638bb1c13f48ef8158bfc9d");
    EXPECT_EQ(hmacHex("what do ya want for nothing?", "Jefe"), "750c783e6ab0b503eaa86e310a5db738");
    EXPECT_EQ(hmacHex(std::string(50, '\xdd'), std::string(16, '\xaa')), "56be34521d144c88dbb8c733f0e8b3f6");
    EXPECT_EQ(hmacHex(std::string(50, '\xcd'), key25), "697eaf0aca3a3aea3a75164746ffaa79");
    EXPECT_EQ(hmacHex("Test With Truncation", std::string(16, '\x0c')), "56461ef2342edc00f9bab995690efd4c");
    EXPECT_EQ(hmacHex("Test Using Larger Than Block-Size Key - Hash Key First", std::string(80, '\xaa')),
              "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd");
    EXPECT_EQ(hmacHex("Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data",
                      std::string(80, '\xaa')),
              "6f630fad67cda0ee1fb1f562db3aa53e");
}

// ---- Digest texts ----

TEST(DigestTexts, CramMd5Rfc2195Example) {
    const std::string expected = "tim b913a602c7eda7a495b4e6e7334d3890";
    for (const char *tail : {"", "\r\n", "\r"}) {
        auto rec = std::make_unique<tev::SessionRecord>();
        put(rec->userName, "tim");
        put(rec->password, "tanstaaftanstaaf");
        std::string challenge = std::string("<1896.697170952@postoffice.reston.mci.net>") + tail;
        put(rec->authBuffer, challenge);
        tev::buildCramResponse(*rec);
        EXPECT_EQ(std::string(rec->authBuffer), expected) << "tail length " << std::strlen(tail);
    }
}

TEST(DigestTexts, CramMd5ExchangeOnTheWire) {
    // The server's base64 challenge and the client's base64 response as printed in the RFC.
    auto rec = std::make_unique<tev::SessionRecord>();
    put(rec->userName, "tim");
    put(rec->password, "tanstaaftanstaaf");
    const char challenge[] = "PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+";
    int32_t n = tevDecodeBuffer(challenge, rec->authBuffer, static_cast<int32_t>(std::strlen(challenge)));
    EXPECT_EQ(n, 42);
    tev::buildCramResponse(*rec);
    char line[200] = {};
    int32_t len = tevEncodeBuffer(rec->authBuffer, line, static_cast<int32_t>(std::strlen(rec->authBuffer)));
    EXPECT_EQ(std::string(line, static_cast<size_t>(len)), "dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw\r\n");
}

TEST(DigestTexts, LongestCredentialsFitTheAuthBuffer) {
    auto rec = std::make_unique<tev::SessionRecord>();
    std::memset(rec->userName, 'u', tev::kMaxCredentialChars);
    std::memset(rec->password, 'p', tev::kMaxCredentialChars);
    std::memset(rec->authBuffer, 'c', sizeof rec->authBuffer - 1);
    tev::buildCramResponse(*rec);
    std::string response(rec->authBuffer);
    ASSERT_EQ(response.size(), tev::kMaxCredentialChars + 1 + 32);
    EXPECT_EQ(response.substr(0, 65), std::string(64, 'u') + " ");
    EXPECT_EQ(response.substr(65),
              hmacHex(std::string(sizeof rec->authBuffer - 1, 'c'), std::string(tev::kMaxCredentialChars, 'p')));
    EXPECT_EQ(rec->addressCursor, nullptr);

    // A challenge that fills the whole buffer without a terminator is taken up to the buffer's end.
    std::memset(rec->authBuffer, 'c', sizeof rec->authBuffer);
    tev::buildCramResponse(*rec);
    EXPECT_EQ(std::string(rec->authBuffer).substr(65),
              hmacHex(std::string(sizeof rec->authBuffer, 'c'), std::string(tev::kMaxCredentialChars, 'p')));
}

TEST(DigestTexts, ApopRfc1939Example) {
    auto rec = std::make_unique<tev::SessionRecord>();
    put(rec->userName, "mrose");
    put(rec->authBuffer, "<1896.697170952@dbc.mtview.ca.us>tanstaaf");
    tev::buildApopArgument(*rec);
    EXPECT_EQ(std::string(rec->authBuffer), "mrose c4c9334bac560ecc979e58001b3e22fb");
}

}  // namespace
