// The record of fetched messages behind 'tevmail fetch --new'.
#include <gtest/gtest.h>

#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "uidl_state.h"

namespace tevmail {
namespace {

// The names in a directory, sorted, one a line.
void runListing(const std::string &dir, std::string *out) {
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *entry = readdir(d)) {
            if (entry->d_name[0] != '.') names.push_back(entry->d_name);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    for (const std::string &name : names) *out += name + "\n";
}

TEST(UidlList, ReadsNumberAndUidLines) {
    std::vector<std::pair<int32_t, std::string>> list;
    ASSERT_TRUE(parseUidlList("+OK 2 messages\r\n1 whqtswO00WBw418f9t5JxYwZ\r\n12 QhdPYR:00WBw1Ph7x7\r\n", &list));
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0], std::make_pair(1, std::string("whqtswO00WBw418f9t5JxYwZ")));
    EXPECT_EQ(list[1], std::make_pair(12, std::string("QhdPYR:00WBw1Ph7x7")));
    std::vector<std::pair<int32_t, std::string>> empty;
    EXPECT_TRUE(parseUidlList("+OK\r\n", &empty));
    EXPECT_TRUE(empty.empty());
    for (const char *bad : {"+OK\r\nx uid\r\n", "+OK\r\n1\r\n", "+OK\r\n1 \r\n", "+OK\r\n 1 a\r\n"}) {
        std::vector<std::pair<int32_t, std::string>> out;
        EXPECT_FALSE(parseUidlList(bad, &out)) << bad;
    }
}

TEST(UidlList, PathsAndFileNamesHoldOnlySafeCharacters) {
    const char *saved = getenv("XDG_STATE_HOME");
    std::string keep = saved ? saved : "";
    setenv("XDG_STATE_HOME", "/s", 1);
    EXPECT_EQ(uidlStatePath("ann@pop.example.org:110"), "/s/tevmail/uidl/ann@pop.example.org%3A110");
    EXPECT_EQ(uidlStatePath("../x/y@h:1"), "/s/tevmail/uidl/..%2Fx%2Fy@h%3A1");
    if (saved) setenv("XDG_STATE_HOME", keep.c_str(), 1);
    else unsetenv("XDG_STATE_HOME");
    EXPECT_EQ(uidFileStem("a/b c"), "message-a%2Fb%20c");
    std::string longStem = uidFileStem(std::string(70, '%'));
    EXPECT_EQ(longStem.size(), 100u);
    EXPECT_NE(longStem, uidFileStem(std::string(69, '%') + "x"));  // the hash keeps long uids apart
}

TEST(SeenUidlsFile, RecordsSurviveARestartAndATornLastLineIsIgnored) {
    char pattern[] = "/tmp/tevmail-uidl.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string dir = pattern;
    const std::string path = dir + "/state/box";
    std::string problem;
    {
        SeenUidls seen;
        ASSERT_TRUE(seen.load(path, &problem)) << problem;  // no file yet: nothing seen
        EXPECT_EQ(seen.size(), 0u);
        ASSERT_TRUE(seen.record("uid-1", &problem)) << problem;
        ASSERT_TRUE(seen.record("uid-2", &problem)) << problem;
        ASSERT_TRUE(seen.record("uid-1", &problem)) << problem;  // once only
    }
    std::ostringstream bytes;
    bytes << std::ifstream(path, std::ios::binary).rdbuf();
    EXPECT_EQ(bytes.str(), "# tevmail: messages fetched and saved, one UIDL a line\nuid-1\nuid-2\n");
    std::ofstream(path, std::ios::binary | std::ios::app) << "uid-3";  // cut off before its line end
    SeenUidls again;
    ASSERT_TRUE(again.load(path, &problem)) << problem;
    EXPECT_TRUE(again.has("uid-1"));
    EXPECT_TRUE(again.has("uid-2"));
    EXPECT_FALSE(again.has("uid-3"));
    // No temporary file is left beside the record.
    std::string listing;
    runListing(dir + "/state", &listing);
    EXPECT_EQ(listing, "box\n");
    unlink(path.c_str());
    rmdir((dir + "/state").c_str());
    rmdir(dir.c_str());
}

}  // namespace
}  // namespace tevmail
