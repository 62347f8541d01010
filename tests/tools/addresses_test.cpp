// Address lists as tevmail's user writes them, turned into the library's form.
#include <gtest/gtest.h>

#include <string>

#include "addresses.h"

namespace tevmail {
namespace {

TEST(NormaliseAddress, BareAddressesGetAngleBrackets) {
    const char *const cases[][2] = {
        {"a@example.org", "<a@example.org>"},
        {" \ta@example.org\t ", "<a@example.org>"},
        {"Ann Lee <a@example.org>", "Ann Lee <a@example.org>"},
        {"  <a@example.org>  ", "<a@example.org>"},
        {"<a@example.org", "<a@example.org"},  // the library's check reports the missing '>'
        {"a@example.org>", "a@example.org>"},
        {"a b@example.org", "<a b@example.org>"},
        {"", ""},
        {" \t ", ""},
    };
    for (const auto &c : cases) EXPECT_EQ(normaliseAddress(c[0]), c[1]) << c[0];
}

TEST(NormaliseList, SplitsAtCommasAndDropsEmptyElements) {
    const char *const cases[][2] = {
        {"a@x", "<a@x>"},
        {"a@x, Name <b@y>", "<a@x>, Name <b@y>"},
        {"a@x,b@y,c@z", "<a@x>, <b@y>, <c@z>"},
        {",a@x,, ,b@y,", "<a@x>, <b@y>"},
        {",", ""},
        {" , \t, ", ""},
        {"", ""},
        // A quoted display name with a comma is split there too: the halves become two elements, "<\"Doe>" and
        // "John\" <j@x>", and the library then refuses the first as an address.
        {"\"Doe, John\" <j@x>, k@y", "<\"Doe>, John\" <j@x>, <k@y>"},
    };
    for (const auto &c : cases) EXPECT_EQ(normaliseList(c[0]), c[1]) << c[0];
}

TEST(NormaliseList, KeepsEveryRecipientOfALongList) {
    std::string list, expected;
    for (int i = 0; i < 2000; ++i) {
        std::string address = "user" + std::to_string(i) + "@" + std::string(200, 'd') + ".example";
        list += (i % 2 == 0 ? " " : "") + address + ",";
        if (!expected.empty()) expected += ", ";
        expected += "<" + address + ">";
    }
    EXPECT_EQ(normaliseList(list), expected);
}

}  // namespace
}  // namespace tevmail
