// The layers hold: frame/ includes neither engine/ nor a protocol, engine/ includes no protocol, and smtp/ and
// pop3/ never include each other.  Reads the #include lines of every source of those folders.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// The project folders each layer may not include from.
const std::map<std::string, std::set<std::string>> kForbidden = {
    {"frame", {"engine", "smtp", "pop3", "tools"}},
    {"engine", {"smtp", "pop3", "tools"}},
    {"smtp", {"pop3", "tools"}},
    {"pop3", {"smtp", "tools"}},
};

// The quoted includes of a file, with their line numbers.
std::vector<std::pair<int, std::string>> includesOf(const fs::path &file) {
    // No <regex> here: GCC 12's optimiser warns inside it under -Werror.
    auto skipBlanks = [](const std::string &s, size_t i) {
        while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
        return i;
    };
    std::vector<std::pair<int, std::string>> found;
    std::ifstream in(file);
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        size_t i = skipBlanks(line, 0);
        if (i >= line.size() || line[i] != '#') continue;
        i = skipBlanks(line, i + 1);
        if (line.compare(i, 7, "include") != 0) continue;
        i = skipBlanks(line, i + 7);
        if (i >= line.size() || line[i] != '"') continue;
        size_t end = line.find('"', i + 1);
        if (end == std::string::npos) continue;
        found.emplace_back(number, line.substr(i + 1, end - i - 1));
    }
    return found;
}

TEST(Layers, NoIncludeCrossesALayerUpwardsOrBetweenProtocols) {
    const fs::path root(TEV_SOURCE_DIR);
    int files = 0;
    for (const auto &[layer, forbidden] : kForbidden) {
        ASSERT_TRUE(fs::is_directory(root / layer)) << layer;
        for (const auto &entry : fs::directory_iterator(root / layer)) {
            const std::string ext = entry.path().extension().string();
            if (ext != ".cpp" && ext != ".h") continue;
            ++files;
            for (const auto &[number, target] : includesOf(entry.path())) {
                // An include relative to the file's own folder stays inside its layer.
                const std::string top = target.substr(0, target.find('/'));
                const bool crosses = target.find('/') != std::string::npos && forbidden.count(top) != 0;
                EXPECT_FALSE(crosses) << fs::relative(entry.path(), root).string() << ":" << number
                                      << " includes " << target;
            }
        }
    }
    EXPECT_GT(files, 20);
}

TEST(Layers, IncludeReaderSeesIncludes) {
    // The reader itself: a file known to include the record must show that include.
    const auto found = includesOf(fs::path(TEV_SOURCE_DIR) / "engine" / "driver.h");
    bool record = false;
    for (const auto &include : found) record = record || include.second == "frame/record.h";
    EXPECT_TRUE(record);
}

}  // namespace
