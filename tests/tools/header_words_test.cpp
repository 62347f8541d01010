// tevmail's header texts for people: encoded words of several charsets decoded to UTF-8, words that cannot be
// decoded kept, control characters made harmless, and the sender's column counted in characters.
#include <gtest/gtest.h>

#include <string>

#include "header_words.h"

namespace tevmail {
namespace {

TEST(HeaderWords, WordsOfAnyCharsetBecomeUtf8) {
    EXPECT_EQ(decodeHeaderWords("=?UTF-8?B?5pel5pys?= =?ISO-8859-1?Q?Gr=FC=DFe_aus?= Rom"), "日本Grüße aus Rom");
    EXPECT_EQ(decodeHeaderWords("=?KOI8-R?B?6dfBzg==?= <ivan@x.test>"), "Иван <ivan@x.test>");
    EXPECT_EQ(decodeHeaderWords("=?iso-2022-jp?B?GyRCRnxLXDhsGyhC?="), "日本語");
    EXPECT_EQ(decodeHeaderWords("=?utf-8*de?q?Z=C3=B6e?= x"), "Zöe x");
    EXPECT_EQ(decodeHeaderWords("plain text, no words"), "plain text, no words");
}

TEST(HeaderWords, WhatCannotBeDecodedStaysAndControlsBecomeBlanks) {
    const std::string longCharset(500, 'x');
    EXPECT_EQ(decodeHeaderWords("=?" + longCharset + "?B?5pel5pys?="), "=?" + longCharset + "?B?5pel5pys?=");
    EXPECT_EQ(decodeHeaderWords("=?no-such?q?abc?= =?utf-8?q?ok?="), "=?no-such?q?abc?= ok");
    EXPECT_EQ(decodeHeaderWords("cut =?UTF-8?B?5pel5pys"), "cut =?UTF-8?B?5pel5pys");
    EXPECT_EQ(decodeHeaderWords("=?utf-8?b?5pel?x?="), "=?utf-8?b?5pel?x?=");  // '?' is no base64
    EXPECT_EQ(decodeHeaderWords("=?utf-8?q?a=1B[31mb=0Ac?="), "a [31mb c");
    EXPECT_EQ(decodeHeaderWords("raw\x1b[2Jtext"), "raw [2Jtext");
    std::string many, expected;
    for (int i = 0; i < 10000; ++i) {
        many += " =?utf-8?q?a?=";
        expected += "a";
    }
    EXPECT_EQ(decodeHeaderWords(many), " " + expected);
}

TEST(HeaderWords, ColumnsCountCharacters) {
    EXPECT_EQ(fitColumns("Jürgen", 8), "Jürgen  ");
    EXPECT_EQ(fitColumns("日本語のテキストです", 6), "日本語...");
    EXPECT_EQ(fitColumns("abcdef", 6), "abcdef");
    EXPECT_EQ(fitColumns("abcdefg", 6), "abc...");
    EXPECT_EQ(fitColumns("\xff\xfe", 3), "\xff\xfe ");  // stray bytes count one each
}

}  // namespace
}  // namespace tevmail
