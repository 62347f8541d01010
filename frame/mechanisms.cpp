// Mechanism names and preference lists (frame/mechanisms.h).
#include "frame/mechanisms.h"

#include <vector>

#include "frame/text.h"

namespace tev {
namespace {

struct MechanismRow {
    SaslMechanism mechanism;
    const char *name;
};
constexpr MechanismRow kMechanisms[] = {
    {SaslMechanism::scramSha256, "SCRAM-SHA-256"}, {SaslMechanism::scramSha1, "SCRAM-SHA-1"},
    {SaslMechanism::xoauth2, "XOAUTH2"},           {SaslMechanism::oauthbearer, "OAUTHBEARER"},
    {SaslMechanism::cramMd5, "CRAM-MD5"},          {SaslMechanism::login, "LOGIN"},
    {SaslMechanism::plain, "PLAIN"},               {SaslMechanism::user, "USER"},
    {SaslMechanism::apop, "APOP"},
};

std::string upper(const std::string &text) {
    std::string out = text;
    for (char &c : out) c = upperAscii(c);
    return out;
}

// Splits at blanks and commas.
std::vector<std::string> words(const char *text) {
    std::vector<std::string> out;
    std::string word;
    for (const char *p = text;; ++p) {
        const char c = *p;
        if (c == '\0' || c == ' ' || c == ',' || c == '\t' || c == '\r' || c == '\n') {
            if (!word.empty()) out.push_back(word);
            word.clear();
            if (c == '\0') break;
        } else {
            word += c;
        }
    }
    return out;
}

}  // namespace

const char *mechanismName(SaslMechanism mechanism) {
    for (const MechanismRow &row : kMechanisms) {
        if (row.mechanism == mechanism) return row.name;
    }
    return "";
}

SaslMechanism mechanismByName(const std::string &name) {
    const std::string wanted = upper(name);
    for (const MechanismRow &row : kMechanisms) {
        if (wanted == row.name) return row.mechanism;
    }
    return SaslMechanism::none;
}

bool normaliseMechanismList(const char *text, char *out, size_t capacity) {
    std::string list;
    for (const std::string &word : words(text)) {
        if (mechanismByName(word) == SaslMechanism::none) return false;
        if (!list.empty()) list += ' ';
        list += upper(word);
    }
    if (list.size() + 1 > capacity) return false;
    copyText(out, capacity, list.c_str());
    return true;
}

std::string upperText(const std::string &text) { return upper(text); }

std::vector<std::string> mechanismWords(const char *text) { return words(text); }

}  // namespace tev
