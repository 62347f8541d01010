// tevmail's text helpers: trimming, one-line library texts, header field values, sizes for people.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "text.h"

namespace tevmail {
namespace {

TEST(Trim, BlanksAndTabsOnly) {
    EXPECT_EQ(trim("  a b\t "), "a b");
    EXPECT_EQ(trim(" \t "), "");
    EXPECT_EQ(trim(""), "");
    EXPECT_EQ(trim("\r\nx\r\n"), "\r\nx\r\n");  // line ends are not blanks
    EXPECT_TRUE(hasLineBreak("a\rb"));
    EXPECT_TRUE(hasLineBreak("a\n"));
    EXPECT_FALSE(hasLineBreak("a\tb"));
}

std::string line(const char *text) { return oneLine(text, strlen(text)); }

TEST(OneLine, ReplyLinesJoinedByABar) {
    EXPECT_EQ(line("SMTP returned error.\r\n535 5.7.8 bad credentials\r\n"),
              "SMTP returned error. | 535 5.7.8 bad credentials");
    EXPECT_EQ(line("a\r\n\r\n\nb"), "a | b");  // a run of line ends is one break
    EXPECT_EQ(line("a\rb"), "ab");            // a lone CR is dropped
    EXPECT_EQ(line("  text  \r\n"), "text");
    EXPECT_EQ(line(""), "");
    // A text that starts with a line end keeps the bar in front (the library's texts never do).
    EXPECT_EQ(line("\r\nx"), "| x");
    const char withNul[] = {'a', '\0', 'b'};
    EXPECT_EQ(oneLine(withNul, sizeof withNul), std::string("a\0b", 3));  // the length counts, not a NUL
}

TEST(HeaderValue, FindsUnfoldsAndStopsAtTheEndOfTheHeader) {
    const std::string header =
        "Return-Path: <r@x>\r\n"
        "From-Name: not this\r\n"
        "FROM: Ann Lee\r\n"
        "\t<ann@example.org>\r\n"
        "Subject: =?UTF-8?B?SGVsbG8=?=\r\n"
        "X-Empty:\r\n"
        "X-Blank:    \r\n"
        "Folded: one\r\n"
        "   two  \r\n"
        "\tthree\r\n"
        "Lf-Only: yes\n"
        "  more\n"
        "From: second\r\n"
        "\r\n"
        "After: the body\r\n";
    struct Case {
        const char *name;
        const char *value;
    };
    const Case cases[] = {
        {"From", "Ann Lee <ann@example.org>"},  // any case, the first occurrence, folded lines joined
        {"from-name", "not this"},
        {"Subject", "=?UTF-8?B?SGVsbG8=?="},  // encoded words stay encoded
        {"X-Empty", ""},
        {"X-Blank", ""},
        {"Folded", "one two three"},
        {"Lf-Only", "yes more"},
        {"After", ""},  // in the body
        {"Missing", ""},
        {"Return", ""},  // a prefix of a name is not the name
    };
    for (const Case &c : cases) EXPECT_EQ(headerValue(header, c.name), c.value) << c.name;

    EXPECT_EQ(headerValue("Subject : spaced\r\n", "Subject"), "");  // a blank before the colon: not this field
    EXPECT_EQ(headerValue("Subject", "Subject"), "");
    EXPECT_EQ(headerValue("Subject:x", "Subject"), "x");  // no line end at all
    EXPECT_EQ(headerValue("Subject: a\r\n ", "Subject"), "a");
    EXPECT_EQ(headerValue("\r\nSubject: x\r\n", "Subject"), "");  // an empty header
    EXPECT_EQ(headerValue("", "Subject"), "");
}

TEST(HeaderValue, OverlongValuesComeBackWhole) {
    std::string value(100000, 'v');
    std::string header = "To: " + value + "\r\n " + value + "\r\n\r\n";
    EXPECT_EQ(headerValue(header, "To"), value + " " + value);
}

TEST(HumanSize, UnitsAtTheirBoundaries) {
    EXPECT_EQ(humanSize(0), "0 B");
    EXPECT_EQ(humanSize(1023), "1023 B");
    EXPECT_EQ(humanSize(1024), "1.0 KiB");
    EXPECT_EQ(humanSize(1536), "1.5 KiB");
    EXPECT_EQ(humanSize(1024 * 1024 - 1), "1024.0 KiB");  // rounded, still counted in KiB
    EXPECT_EQ(humanSize(1024 * 1024), "1.0 MiB");
    EXPECT_EQ(humanSize(int64_t{5} * 1024 * 1024 * 1024), "5120.0 MiB");
}

}  // namespace
}  // namespace tevmail
