// RFC 5322 address lists as people write them, and the elements tevmail hands to the library.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "addresses.h"
#include "recipients.h"

namespace tevmail {
namespace {

// "name|address" per mailbox, joined by "; ", or "error: <problem>".
std::string parsed(const std::string &text) {
    std::vector<Mailbox> list;
    std::string problem;
    if (!parseAddressList(text, &list, &problem)) return "error: " + problem;
    std::string shown;
    for (const Mailbox &m : list) shown += (shown.empty() ? "" : "; ") + m.name + "|" + m.address;
    return shown;
}

TEST(AddressList, ReadsNamesQuotesCommentsAndEmptyElements) {
    const char *const cases[][2] = {
        {"a@x", "|a@x"},
        {"\"Doe, John\" <john@example.org>", "Doe, John|john@example.org"},
        {"\"Doe, John\" <j@x>, k@y", "Doe, John|j@x; |k@y"},
        {"Ann Lee <a@x> (work), (ignored) <b@y>", "Ann Lee|a@x; |b@y"},
        {"a@x (Ann, from work)", "Ann, from work|a@x"},
        {",a@x,, ,b@y,", "|a@x; |b@y"},
        {"\"a\\\"b\" <q@x>", "a\"b|q@x"},
        {"\"odd local\"@x", "error: tevmail cannot send to '\"odd local\"@x': it holds ',', '<', '>' or a blank"},
        {"\"first.last\"@x", "|first.last@x"},
        {"x@[192.0.2.1]", "|x@[192.0.2.1]"},
        {"", ""},
        {"team: a@x, b@y;", "error: 'team: a@x' looks like a group (NAME: addresses;); list the addresses instead"},
        {"a@x; b@y", "error: ';' ends a group, and tevmail takes no groups; separate addresses with ','"},
        {"\"Doe, John <j@x>", "error: unclosed quote '\"' in '\"Doe, John <j@x>'"},
        {"Ann (oops <a@x>", "error: unclosed comment '(' in 'Ann (oops <a@x>'"},
        {"Ann <a@x", "error: 'Ann <a@x' is not an address: '<' wants one '>' at the end"},
        {"Ann <a@x> b@y", "error: 'Ann <a@x> b@y' is not an address: '<' wants one '>' at the end"},
        {"just words", "error: 'just words' is not an address (local@domain)"},
        {"a@x\nBcc: b@y", "error: an address list must be one line"},
    };
    for (const auto &c : cases) EXPECT_EQ(parsed(c[0]), c[1]) << c[0];
}

TEST(AddressList, ElementsNeverHoldTheSeparatorOrASecondBracket) {
    const char *const cases[][2] = {
        {"a@x", "<a@x>"},
        {"Ann Lee <a@x>", "Ann Lee <a@x>"},
        {"\"Ann Q. Lee\" <a@x>", "\"Ann Q. Lee\" <a@x>"},
        {"\"Doe, John\" <j@x>", "=?UTF-8?Q?Doe=2C_John?= <j@x>"},
        {"\"a <b> c\" <j@x>", "=?UTF-8?Q?a_=3Cb=3E_c?= <j@x>"},
        {"\"Jos\xC3\xA9, Z\" <j@x>", "=?UTF-8?Q?Jos=C3=A9=2C_Z?= <j@x>"},
    };
    for (const auto &c : cases) {
        std::vector<Mailbox> list;
        std::string problem;
        ASSERT_TRUE(parseAddressList(c[0], &list, &problem)) << problem;
        ASSERT_EQ(list.size(), 1u);
        EXPECT_EQ(libraryElement(list[0]), c[1]) << c[0];
    }
    std::vector<Mailbox> list;
    std::string problem;
    ASSERT_TRUE(parseAddressList("\"Doe, John\" <j@x>, k@y, \"Lee, A\" <a@z>", &list, &problem));
    EXPECT_EQ(libraryList(list), "=?UTF-8?Q?Doe=2C_John?= <j@x>, <k@y>, =?UTF-8?Q?Lee=2C_A?= <a@z>");
}

TEST(AddressList, LongNamesBecomeSeveralEncodedWordsWithoutSplittingACharacter) {
    std::string name;
    for (int i = 0; i < 40; ++i) name += "\xC3\xA9";  // 40 x U+00E9, six characters each when encoded
    Mailbox mailbox{name + ",", "a@x"};
    std::string element = libraryElement(mailbox);
    size_t start = 0, words = 0, encoded = 0;
    while (start < element.size() && element.compare(start, 2, "=?") == 0) {
        size_t end = element.find("?=", start + 10) + 2;
        EXPECT_LE(end - start, 75u);
        std::string word = element.substr(start, end - start);
        EXPECT_EQ(word.find("=C3?="), std::string::npos) << word;  // never a lead byte alone at a word's end
        encoded += word.size() - 12;
        ++words;
        start = end + 1;
    }
    EXPECT_GE(words, 4u);
    EXPECT_EQ(encoded, 40u * 6u + 3u);
    EXPECT_EQ(element.substr(start), "<a@x>");
}

TEST(RecipientTrail, NamesTheRecipientWhoseReplyFailed) {
    std::vector<Mailbox> envelope = {{"", "a@x"}, {"B", "b@y"}, {"", "c@z"}};
    RecipientTrail second;
    for (int32_t state : {204, 205, 206, 9999, 207, 208, 208, 206, 207, 9999, 208}) second.onState(state);
    ASSERT_NE(second.refused(envelope), nullptr);
    EXPECT_EQ(second.refused(envelope)->address, "b@y");
    EXPECT_EQ(sendingWhat(second.refused(envelope)),
              "sending the message: the server refused the recipient <b@y>");

    RecipientTrail mailFrom;  // the MAIL FROM reply failed: no recipient to blame
    for (int32_t state : {204, 205, 205}) mailFrom.onState(state);
    EXPECT_EQ(mailFrom.refused(envelope), nullptr);
    EXPECT_EQ(sendingWhat(nullptr), "sending the message");

    RecipientTrail data;  // every RCPT TO passed; DATA failed
    for (int32_t state : {206, 207, 208, 206, 207, 208, 206, 207, 208, 209, 210}) data.onState(state);
    EXPECT_EQ(data.refused(envelope), nullptr);
}

}  // namespace
}  // namespace tevmail

namespace tevmail {
namespace {

TEST(HeaderAddressList, GroupsStandForTheirMembers) {
    std::vector<Mailbox> out;
    std::string problem;
    ASSERT_TRUE(parseHeaderAddressList("a@x, Team (the team): B <b@x>, c@x; , undisclosed-recipients:;, d@x", &out,
                                       &problem))
        << problem;
    ASSERT_EQ(out.size(), 4u);
    EXPECT_EQ(out[1].name, "B");
    EXPECT_EQ(out[3].address, "d@x");
    EXPECT_FALSE(parseHeaderAddressList("a@x;", &out, &problem));
    EXPECT_FALSE(parseAddressList("g: a@x;", &out, &problem));  // the command line still takes no groups
}

}  // namespace
}  // namespace tevmail
