// The message-text reader and line encoder on their own: plain wrapping, '~' for unprintable bytes, HTML lines,
// quoted-printable escapes and soft breaks, the refills of the 2048-byte window from memory and from a file, and
// the clamped line length.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frame/record.h"
#include "platform/platform.h"
#include "smtp/textreader.h"
#include "support/trace.h"
#include "tev32.h"

namespace {

using Lines = std::vector<std::string>;

class TextEncoder : public tevtest::TempDirTest {
protected:
    void SetUp() override { ASSERT_EQ(tevAttach(1), 1); }
    void TearDown() override {
        if (rec().fileHandle > 0) tev::platform::closeFile(rec().fileHandle);
        rec().fileHandle = 0;
        tevRelease();
        tev::settings.pass8Bit.set(0);
        tev::settings.maxLineLength.set(78);
        tev::settings.softLineLength.set(61);
    }

    tev::SessionRecord &rec() { return *tev::channelTable[0].record; }

    // Every line the encoder builds for a text in memory, in the given body mode.
    Lines encode(const std::string &text, int32_t mode) {
        source = text;
        rec().bodyMode = mode;
        rec().messageText = source.data();
        rec().textInMemory = 1;
        rec().pendingChar = 0;
        rec().textBytesRead = 0;
        tev::resetTextReader(rec());
        return drain();
    }

    // The same for a text read from a file.
    Lines encodeFile(const std::string &bytes, int32_t mode) {
        const std::string path = tmp.file("text.txt");
        EXPECT_TRUE(tevtest::writeWholeFile(path, bytes));
        rec().bodyMode = mode;
        rec().fileHandle = tev::platform::openForReading(path.c_str());
        EXPECT_GT(rec().fileHandle, 0);
        rec().textInMemory = 0;
        rec().pendingChar = 0;
        rec().textBytesRead = 0;
        tev::resetTextReader(rec());
        Lines lines = drain();
        tev::platform::closeFile(rec().fileHandle);
        rec().fileHandle = 0;
        return lines;
    }

    Lines drain() {
        Lines lines;
        for (int guard = 0; guard < 100000; ++guard) {
            int32_t n = tev::encodeTextLine(rec(), line);
            if (n < 0) return lines;
            EXPECT_EQ(static_cast<size_t>(n), std::string(line).size());
            lines.emplace_back(line, static_cast<size_t>(n));
        }
        ADD_FAILURE() << "the encoder never reported the end of the text";
        return lines;
    }

    std::string source;
    char line[tev::kLongestTextLine + 1];
};

std::string letters(size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) s += static_cast<char>('a' + i % 26);
    return s;
}

TEST_F(TextEncoder, PlainLinesWrapAtTheLineLengthOrAfterABlank) {
    const std::string hundred = letters(100);
    EXPECT_EQ(encode(hundred + "\r\nnext\r\n", 0), (Lines{hundred.substr(0, 78), hundred.substr(78), "next"}));

    std::string withBlank = letters(64) + " " + letters(35);  // the blank is the 65th character
    EXPECT_EQ(encode(withBlank, 0), (Lines{letters(64) + " ", letters(35)}));

    // A blank before the soft length does not break the line; one at it does.
    std::string early = letters(30) + " " + letters(29) + " " + letters(40);  // blanks at 31 and 61
    EXPECT_EQ(encode(early, 0), (Lines{letters(30) + " " + letters(29) + " ", letters(40)}));
}

TEST_F(TextEncoder, LineEndsAndTheEndOfTheText) {
    EXPECT_EQ(encode("", 0), Lines{});
    EXPECT_EQ(encode("one", 0), Lines{"one"});
    EXPECT_EQ(encode("one\n", 0), Lines{"one"});
    EXPECT_EQ(encode("one\r\n\r\ntwo\n\n", 0), (Lines{"one", "", "two", ""}));
    EXPECT_EQ(encode("\n", 0), Lines{""});
    EXPECT_EQ(encode("a\rb", 0), Lines{"ab"});  // a CR alone is dropped
    // A '.' line stays as it is here: the data writer stuffs it.
    EXPECT_EQ(encode("x\n.\n..\n.y", 0), (Lines{"x", ".", "..", ".y"}));
}

TEST_F(TextEncoder, UnprintableBytesBecomeTildeUnlessPassed) {
    const std::string text = "a\tb\xE9" "c\x01\x7F";
    EXPECT_EQ(encode(text, 0), Lines{"a~b~c~~"});
    EXPECT_EQ(encode(text, 2), Lines{"a~b~c~~"});
    tev::settings.pass8Bit.set(1);
    EXPECT_EQ(encode(text, 0), Lines{text});
}

TEST_F(TextEncoder, HtmlLinesAreNotWrappedButSplitAt998) {
    const std::string long100 = letters(100) + " " + letters(100);
    EXPECT_EQ(encode(long100, 2), Lines{long100});
    const std::string huge = letters(2500);
    EXPECT_EQ(encode(huge + "\nend", 2),
              (Lines{huge.substr(0, 998), huge.substr(998, 998), huge.substr(1996), "end"}));
}

TEST_F(TextEncoder, QuotedPrintableEscapesAndSoftBreaks) {
    EXPECT_EQ(encode("caf\xE9 = 1\tx", 1), Lines{"caf=E9 =3D 1=09x"});
    const std::string hundred = letters(100);
    EXPECT_EQ(encode(hundred, 1), (Lines{hundred.substr(0, 77) + "=", hundred.substr(77)}));
    // A '.' as the 78th character keeps the line one longer, so no line starts with it.
    std::string dotted = letters(77) + "." + letters(22);
    EXPECT_EQ(encode(dotted, 4), (Lines{letters(77) + ".=", letters(22)}));
    // An escape that passes the length makes the line 79 characters before the soft break.
    std::string escaped = letters(76) + "\xE9" + letters(10);
    EXPECT_EQ(encode(escaped, 3), (Lines{letters(76) + "=E9=", letters(10)}));
    // A line of exactly 77 characters gets a soft break before its line end.
    EXPECT_EQ(encode(letters(77) + "\nz", 1), (Lines{letters(77) + "=", "", "z"}));
    // Every mode other than plain and HTML encodes quoted-printable.
    for (int32_t mode : {1, 3, 4, 5, 7, 9, 15}) EXPECT_EQ(encode("=", mode), Lines{"=3D"}) << mode;
}

TEST_F(TextEncoder, ClampedLineLength) {
    tev::settings.maxLineLength.set(100000);
    tev::settings.softLineLength.set(100000);
    const std::string huge = letters(3000);
    // However long the setting, no line passes 998 characters.
    EXPECT_EQ(encode(huge, 0),
              (Lines{huge.substr(0, 998), huge.substr(998, 998), huge.substr(1996, 998), huge.substr(2994)}));
    Lines quoted = encode(std::string(3000, '\xFF'), 1);
    ASSERT_FALSE(quoted.empty());
    for (const std::string &l : quoted) EXPECT_LE(l.size(), 998u);
    EXPECT_GE(quoted[0].size(), 996u);
    tev::settings.maxLineLength.set(0);
    tev::settings.softLineLength.set(-18);
    EXPECT_EQ(encode("abc", 0), (Lines{"a", "b", "c"}));
    EXPECT_EQ(encode("a=", 1), (Lines{"a=", "=3D="}));
}

TEST_F(TextEncoder, LongTextsAcrossManyWindowRefills) {
    std::string text;
    Lines expected;
    for (int i = 0; i < 400; ++i) {
        std::string l = letters(static_cast<size_t>(i % 90));
        text += l + "\r\n";
        if (l.size() >= 78) {
            // A line that reaches the length ends there; its own line end then ends an empty one.
            expected.push_back(l.substr(0, 78));
            expected.push_back(l.substr(78));
        } else {
            expected.push_back(l);
        }
    }
    EXPECT_EQ(encode(text, 0), expected);
    EXPECT_EQ(rec().textBytesRead, static_cast<int32_t>(text.size()));
    EXPECT_EQ(encodeFile(text, 0), expected);
    EXPECT_EQ(rec().textBytesRead, static_cast<int32_t>(text.size()));
}

TEST_F(TextEncoder, NulInAFileEndsTheLine) {
    EXPECT_EQ(encodeFile(std::string("ab\0cd\n", 6), 0), (Lines{"ab", "cd"}));
    // Read ahead in quoted-printable mode, a NUL is skipped.
    EXPECT_EQ(encodeFile(std::string("ab\0cd", 5), 1), Lines{"abcd"});
}

}  // namespace
