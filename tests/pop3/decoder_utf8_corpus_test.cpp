// Fetching UTF-8 mail (TEV_UTF8 1) against what Python's email package reads from the same messages: the corpus
// in tests/pop3/utf8_corpus (written by its make_corpus.py) in UTF-8, ISO-8859-1, ISO-2022-JP and KOI8-R, 8bit,
// base64 and quoted-printable, with RFC 2231 names.  The message file holds every text part as get_content()
// gives it, in UTF-8, and the attachment files are named as get_filename() names them.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "pop3/decoder_fixture.h"

using tevtest::readWholeFile;
using tevtest::showBytes;

namespace {

std::string corpusDir() { return std::string(TEV_SOURCE_DIR) + "/tests/pop3/utf8_corpus/"; }

std::string withoutCr(const std::string &text) {
    std::string out;
    for (char c : text) {
        if (c != '\r') out += c;
    }
    return out;
}

std::vector<std::string> lines(const std::string &text) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

bool exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

class DecoderUtf8Corpus : public tevtest::DecoderTest, public ::testing::WithParamInterface<const char *> {
protected:
    void SetUp() override {
        DecoderTest::SetUp();
        ASSERT_EQ(tevIntegerParam(0, TEV_UTF8, 1), 1);
    }
};

TEST_P(DecoderUtf8Corpus, MessageFileAndNamesAreWhatPythonReads) {
    const std::string base = corpusDir() + GetParam();
    const std::string message = readWholeFile(base + ".eml");
    ASSERT_FALSE(message.empty()) << base;
    ASSERT_EQ(fetch(message), 0);
    const std::string file = "\n" + withoutCr(messageFile());

    // The text parts, in their order.
    size_t at = 0;
    for (int k = 1; exists(base + ".text" + std::to_string(k)); ++k) {
        const std::string text = readWholeFile(base + ".text" + std::to_string(k));
        const size_t found = file.find(text, at);
        ASSERT_NE(found, std::string::npos) << "text part " << k << " not in the message file:\n"
                                            << showBytes(text, 3000) << "\nfile:\n"
                                            << showBytes(file, 6000);
        at = found + text.size();
    }
    // The decoded Subject and From lines.
    for (const std::string &line : lines(readWholeFile(base + ".header"))) {
        EXPECT_NE(file.find("\n" + line + "\n"), std::string::npos) << line << "\n" << showBytes(file, 3000);
    }
    std::vector<std::string> expected = lines(readWholeFile(base + ".names"));
    std::vector<std::string> saved = attachments();
    std::sort(expected.begin(), expected.end());
    std::sort(saved.begin(), saved.end());
    EXPECT_EQ(saved, expected);
    // Nothing of the raw encodings is left in the file where Python decoded it.
    EXPECT_EQ(file.find("=?utf-8?"), std::string::npos) << showBytes(file, 3000);
}

INSTANTIATE_TEST_SUITE_P(Corpus, DecoderUtf8Corpus,
                         ::testing::Values("01-utf8-8bit", "02-utf8-base64", "03-utf8-qp", "04-latin1-qp",
                                           "05-latin1-8bit", "06-iso2022jp-7bit", "07-iso2022jp-base64",
                                           "08-koi8r-8bit", "09-koi8r-base64", "10-alternative-rfc2231",
                                           "11-same-names", "12-two-charsets"),
                         [](const ::testing::TestParamInfo<const char *> &info) {
                             std::string name = info.param;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return "m" + name;
                         });

}  // namespace
