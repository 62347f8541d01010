// Address texts and lists: the strict check tevVerifyFormat, the light check of the sending functions, and the
// walk over a list that the RCPT loop makes.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "frame/record.h"
#include "smtp/address.h"
#include "support/trace.h"
#include "tev32.h"

namespace {

struct FormatCase {
    const char *address;
    int32_t expected;
};

TEST(VerifyFormat, Rules) {
    const FormatCase cases[] = {
        {"<ann.lee-3@mail.example.com>", 1},
        {"Ann Lee <ann@example.com>", 1},
        {"<a_b/c$d&e'f@x.y>", 1},
        {"<ann@example.com> trailing text, not examined", 1},
        {"<ann@example.com>,broken", 1},  // only the first element counts
        {"ann@example.com", TEV_E_MISSING_LT},
        {"<ann@example.com", TEV_E_MISSING_GT},
        {"> <ann@example.com", TEV_E_MISSING_GT},
        {"<>", TEV_E_NULL_POINTER},
        {"<annexample>", TEV_E_MISSING_AT},
        {"<a@b@c>", TEV_E_TOO_MANY_AT},
        {"<@example.com>", TEV_E_EMPTY_ADDRESS},
        {"<ann@>", TEV_E_EMPTY_ADDRESS},
        {"<ann+tag@example.com>", TEV_E_BAD_ADDRESS_CHAR},
        {"<ann @example.com>", TEV_E_BAD_ADDRESS_CHAR},
        {"<ann@example.com+>", TEV_E_BAD_ADDRESS_CHAR},
        {"<ann<@example.com>", TEV_E_BAD_ADDRESS_CHAR},
        {"<ann\r\n@example.com>", TEV_E_BAD_ADDRESS_CHAR},
        {"<ann\x7f@example.com>", TEV_E_BAD_ADDRESS_CHAR},
        {"<ann\xe9@example.com>", TEV_E_BAD_ADDRESS_CHAR},
        {"Lee, Ann <ann@example.com>", TEV_E_MISSING_LT},  // the comma ends the first element
        {"", TEV_E_EMPTY_ADDRESS},
    };
    for (const FormatCase &c : cases) {
        EXPECT_EQ(tevVerifyFormat(c.address), c.expected) << tevtest::showBytes(c.address);
    }
    EXPECT_EQ(tevVerifyFormat(nullptr), TEV_E_NULL_POINTER);
}

// The two '@' rule stops at the second '@', before a bad character further on is seen.
TEST(VerifyFormat, SecondAtWinsOverLaterBadCharacter) {
    EXPECT_EQ(tevVerifyFormat("<a@b@c d>"), TEV_E_TOO_MANY_AT);
    EXPECT_EQ(tevVerifyFormat("<a d@b@c>"), TEV_E_BAD_ADDRESS_CHAR);
}

class AddressList : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(tevAttach(1), 1); }
    void TearDown() override {
        tevIntegerParam(0, TEV_ADDRESS_SEPARATOR, ',');
        tevRelease();
    }
    tev::SessionRecord &rec() { return *tev::channelTable[0].record; }

    // Walks a list as the RCPT loop does; returns the addresses cut out, joined by '|', and checks that the
    // list is whole again after every step.
    std::string walk(char *list) {
        const std::string original = list;
        std::string seen;
        rec().addressCursor = list;
        while (rec().addressCursor[0] != '\0') {
            if (tev::nextListAddress(rec()) != 0) return seen + "|ERROR";
            if (!seen.empty()) seen += '|';
            seen += rec().currentAddress;
            tev::restoreListSeparator(rec());
            EXPECT_EQ(std::string(list), original);
        }
        return seen;
    }
};

TEST_F(AddressList, FindInElementStopsAtSeparator) {
    const char text[] = "ab,c<d";
    EXPECT_EQ(tev::findInElement(text, 'b'), text + 1);
    EXPECT_EQ(tev::findInElement(text, '<'), nullptr);
    EXPECT_EQ(tev::findInElement(text, 'z'), nullptr);
    EXPECT_EQ(tev::findInElement(nullptr, 'a'), nullptr);
    tevIntegerParam(0, TEV_ADDRESS_SEPARATOR, ';');
    EXPECT_EQ(tev::findInElement(text, '<'), text + 4);
}

TEST_F(AddressList, CheckAddressField) {
    tev::SessionRecord &r = rec();
    EXPECT_EQ(tev::checkAddressField(r, nullptr, false), TEV_E_EMPTY_ADDRESS);
    EXPECT_EQ(tev::checkAddressField(r, "", true), TEV_E_EMPTY_ADDRESS);
    EXPECT_EQ(tev::checkAddressField(r, "<a@b>", false), 0);
    EXPECT_EQ(tev::checkAddressField(r, "<no-at-sign>", false), 0);  // nothing between the brackets is looked at
    EXPECT_EQ(tev::checkAddressField(r, "<a@b>, broken", true), 0);   // only the first element
    EXPECT_EQ(tev::checkAddressField(r, "<a@b", false), TEV_E_MISSING_GT);
    EXPECT_EQ(tev::checkAddressField(r, "a@b> <", false), TEV_E_MISSING_GT);
    EXPECT_EQ(tev::checkAddressField(r, "<a@b>\r\nRCPT TO:<c@d>", false), TEV_E_BAD_ADDRESS_CHAR);
    EXPECT_EQ(tev::checkAddressField(r, "<a@b>,<c\n@d>", true), TEV_E_BAD_ADDRESS_CHAR);
    // List mode looks for '<' only in the first element; the whole text would have one.
    EXPECT_EQ(tev::checkAddressField(r, "Lee, Ann <a@b>", false), 0);
    r.nextState = 207;
    EXPECT_EQ(tev::checkAddressField(r, "Lee, Ann <a@b>", true), TEV_E_MISSING_LT);
    EXPECT_EQ(r.nextState, 0);  // the missing '<' goes through the error exit
    EXPECT_EQ(r.lastSocketError, 0);
}

TEST_F(AddressList, WalksListsElementByElement) {
    char plain[] = "<a@x>,Bee <b@y> trailer, <c@z>";
    EXPECT_EQ(walk(plain), "<a@x>|<b@y> trailer|<c@z>");
    char endsInSeparator[] = "<a@x>,";
    EXPECT_EQ(walk(endsInSeparator), "<a@x>");
    tevIntegerParam(0, TEV_ADDRESS_SEPARATOR, ';');
    char semicolons[] = "Lee, Ann <a@x>;Bo <b@y>";
    EXPECT_EQ(walk(semicolons), "<a@x>|<b@y>");
}

TEST_F(AddressList, ElementWithoutBracketFailsWithEmptyAddress) {
    char list[] = "<a@x>,,<c@z>";
    rec().addressCursor = list;
    ASSERT_EQ(tev::nextListAddress(rec()), 0);
    tev::restoreListSeparator(rec());
    EXPECT_EQ(tev::nextListAddress(rec()), TEV_E_EMPTY_ADDRESS);
}

// A separator set to NUL never walks the cursor past the end of the text.
TEST_F(AddressList, NulSeparatorTakesTheWholeRest) {
    tevIntegerParam(0, TEV_ADDRESS_SEPARATOR, 0);
    char list[] = "<a@x>,<b@y>";
    rec().addressCursor = list;
    ASSERT_EQ(tev::nextListAddress(rec()), 0);
    EXPECT_STREQ(rec().currentAddress, "<a@x>,<b@y>");
    EXPECT_EQ(rec().separatorPos, nullptr);
    EXPECT_STREQ(rec().addressCursor, "");
}

}  // namespace
