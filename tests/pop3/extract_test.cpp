// Keyword search and the two line-extraction exports.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "pop3/extract.h"
#include "tev32.h"

namespace {

const char kHeaders[] = "From: a\r\nSubject: Hi\r\n";

// A buffer pre-filled with a marker, so tests can see exactly which bytes were written.
struct Buffer {
    char bytes[64];
    Buffer() { std::memset(bytes, '#', sizeof bytes); }
    std::string upTo(size_t n) const { return std::string(bytes, n); }
};

// ---- findKeyword ----

TEST(FindKeyword, FindsFirstMatchWithoutRegardToCase) {
    const char text[] = "subject one SUBJECT: two";
    EXPECT_EQ(tev::findKeyword(text, "Subject:"), text);
    EXPECT_EQ(tev::findKeyword(kHeaders, "SUBJECT:"), kHeaders + 9);
    EXPECT_EQ(tev::findKeyword(kHeaders, "from:"), kHeaders);
}

TEST(FindKeyword, LastKeywordCharacterIsNotCompared) {
    const char text[] = "zzSubjectX";
    EXPECT_EQ(tev::findKeyword(text, "Subject:"), text + 2);
    const char two[] = "xab";
    EXPECT_EQ(tev::findKeyword(two, "a?"), two + 1);  // a two-character keyword is decided by its first character
    EXPECT_EQ(tev::findKeyword(two, "b?"), nullptr);  // ... but the second must still fit
}

TEST(FindKeyword, KeywordMustFitInTheText) {
    // The uncompared last character still has to be there.
    EXPECT_EQ(tev::findKeyword("zzSubject", "Subject:"), nullptr);
    EXPECT_EQ(tev::findKeyword("Subject", "Subject:"), nullptr);
    EXPECT_EQ(tev::findKeyword("", "ab"), nullptr);
    const char exact[] = "Subject?";
    EXPECT_EQ(tev::findKeyword(exact, "Subject:"), exact);
}

TEST(FindKeyword, DegenerateKeywords) {
    const char text[] = "abc";
    EXPECT_EQ(tev::findKeyword(text, ""), text);
    const char empty[] = "";
    EXPECT_EQ(tev::findKeyword(empty, ""), empty);
    EXPECT_EQ(tev::findKeyword(text, "a"), nullptr);
    EXPECT_EQ(tev::findKeyword(text, "c"), nullptr);
    EXPECT_EQ(tev::findKeyword(nullptr, "ab"), nullptr);
    EXPECT_EQ(tev::findKeyword(text, nullptr), nullptr);
}

TEST(FindKeyword, OnlyAsciiLettersAreFolded) {
    EXPECT_EQ(tev::findKeyword("x[y", "{y?"), nullptr);        // '{' is '[' + 0x20 but no letter
    EXPECT_EQ(tev::findKeyword("x\xe9y", "\xc9y?"), nullptr);  // Latin-1 e-acute is not folded
    EXPECT_NE(tev::findKeyword("x@yz", "@Y?"), nullptr);
}

// ---- tevExtractText ----

TEST(ExtractText, CopiesFromTheKeyToTheLineEnd) {
    Buffer buf;
    EXPECT_EQ(tevExtractText(kHeaders, "Subject:", buf.bytes, 64), 13);
    EXPECT_EQ(buf.upTo(15), std::string("Subject: Hi\r\n\0#", 15));

    Buffer lower;
    EXPECT_EQ(tevExtractText(kHeaders, "subject", lower.bytes, 64), 13);
    EXPECT_STREQ(lower.bytes, "Subject: Hi\r\n");

    // The copy starts at the key, not at the start of its line.
    Buffer mid;
    EXPECT_EQ(tevExtractText("X-Subject: y\nnext\n", "Subject:", mid.bytes, 64), 11);
    EXPECT_STREQ(mid.bytes, "Subject: y\n");
}

TEST(ExtractText, LastLineWithoutLineEnd) {
    Buffer buf;
    EXPECT_EQ(tevExtractText("To: b\nSubject: end", "Subject:", buf.bytes, 64), 12);
    EXPECT_EQ(buf.upTo(14), std::string("Subject: end\0#", 14));
}

TEST(ExtractText, NotFoundOrBadArguments) {
    Buffer buf;
    EXPECT_EQ(tevExtractText(kHeaders, "Date:", buf.bytes, 64), 0);
    EXPECT_EQ(tevExtractText(kHeaders, "S", buf.bytes, 64), 0);
    EXPECT_EQ(tevExtractText(kHeaders, ":", buf.bytes, 64), 0);
    EXPECT_EQ(tevExtractText(nullptr, "Subject:", buf.bytes, 64), 0);
    EXPECT_EQ(tevExtractText(kHeaders, nullptr, buf.bytes, 64), 0);
    EXPECT_EQ(tevExtractText(kHeaders, "Subject:", nullptr, 64), 0);
    EXPECT_EQ(tevExtractText(kHeaders, "Subject:", buf.bytes, 1), 0);
    EXPECT_EQ(tevExtractText(kHeaders, "Subject:", buf.bytes, 0), 0);
    EXPECT_EQ(tevExtractText(kHeaders, "Subject:", buf.bytes, -5), 0);
    EXPECT_EQ(buf.upTo(64), std::string(64, '#'));
}

TEST(ExtractText, EmptyKeyTakesTheFirstLine) {
    Buffer buf;
    EXPECT_EQ(tevExtractText(kHeaders, "", buf.bytes, 64), 9);
    EXPECT_STREQ(buf.bytes, "From: a\r\n");
}

// ---- Line copy limits (shared by both exports) ----

TEST(ExtractLine, LineTooLongLeavesUnterminatedPrefix) {
    std::string text = std::string(100, 'x') + "\n";
    Buffer buf;
    EXPECT_EQ(tevExtractLine(text.c_str(), 1, buf.bytes, 16), 0);
    EXPECT_EQ(buf.upTo(17), std::string(15, 'x') + "##");
}

TEST(ExtractLine, BufferSizeBoundaries) {
    {
        Buffer buf;  // "ab\n" needs exactly 4 bytes: three characters and the NUL
        EXPECT_EQ(tevExtractLine("ab\ncd", 1, buf.bytes, 4), 3);
        EXPECT_EQ(buf.upTo(5), std::string("ab\n\0#", 5));
    }
    {
        Buffer buf;
        EXPECT_EQ(tevExtractLine("ab\ncd", 1, buf.bytes, 3), 0);
        EXPECT_EQ(buf.upTo(3), "ab#");
    }
    {
        Buffer buf;  // a final line of three characters meets its NUL only with room for four copies
        EXPECT_EQ(tevExtractLine("abc", 1, buf.bytes, 4), 0);
        EXPECT_EQ(buf.upTo(4), "abc#");
        EXPECT_EQ(tevExtractLine("abc", 1, buf.bytes, 5), 3);
        EXPECT_EQ(buf.upTo(5), std::string("abc\0#", 5));
    }
    {
        Buffer buf;  // size 2: room for a lone LF or an empty remainder only
        EXPECT_EQ(tevExtractLine("\nx", 1, buf.bytes, 2), 1);
        EXPECT_EQ(buf.upTo(3), std::string("\n\0#", 3));
        EXPECT_EQ(tevExtractLine("x\n", 1, buf.bytes, 2), 0);
        EXPECT_EQ(buf.upTo(2), std::string("x\0", 2));
    }
}

// ---- tevExtractLine ----

TEST(ExtractLine, LineNumbers) {
    Buffer second;
    EXPECT_EQ(tevExtractLine(kHeaders, 2, second.bytes, 64), 13);
    EXPECT_EQ(second.upTo(15), std::string("Subject: Hi\r\n\0#", 15));

    Buffer third;  // the empty remainder after the last LF: its NUL is copied
    EXPECT_EQ(tevExtractLine(kHeaders, 3, third.bytes, 64), 0);
    EXPECT_EQ(third.upTo(2), std::string("\0#", 2));

    Buffer fourth;  // there is no third LF
    EXPECT_EQ(tevExtractLine(kHeaders, 4, fourth.bytes, 64), 0);
    EXPECT_EQ(fourth.upTo(64), std::string(64, '#'));

    for (int32_t first : {1, 0, -7, INT32_MIN}) {
        Buffer buf;
        EXPECT_EQ(tevExtractLine(kHeaders, first, buf.bytes, 64), 9) << first;
        EXPECT_STREQ(buf.bytes, "From: a\r\n");
    }

    Buffer far;
    EXPECT_EQ(tevExtractLine(kHeaders, INT32_MAX, far.bytes, 64), 0);
    EXPECT_EQ(far.upTo(64), std::string(64, '#'));
}

TEST(ExtractLine, BadArguments) {
    Buffer buf;
    EXPECT_EQ(tevExtractLine(nullptr, 1, buf.bytes, 64), 0);
    EXPECT_EQ(tevExtractLine(kHeaders, 1, nullptr, 64), 0);
    EXPECT_EQ(tevExtractLine(kHeaders, 1, buf.bytes, 1), 0);
    EXPECT_EQ(tevExtractLine(kHeaders, 1, buf.bytes, 0), 0);
    EXPECT_EQ(tevExtractLine(kHeaders, 1, buf.bytes, INT32_MIN), 0);
    EXPECT_EQ(buf.upTo(64), std::string(64, '#'));
}

}  // namespace
