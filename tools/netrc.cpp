// ~/.netrc, read as curl reads it.

#include "netrc.h"

#include <stdlib.h>

#include <vector>

namespace tevmail {

namespace {

// Splits the file into tokens; a "macdef" body (up to an empty line) is left out.
std::vector<std::string> netrcTokens(const std::string &text) {
    std::vector<std::string> tokens;
    size_t i = 0;
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (i < text.size()) {
        if (blank(text[i])) {
            ++i;
            continue;
        }
        if (text[i] == '#') {  // a comment runs to the end of its line
            while (i < text.size() && text[i] != '\n') ++i;
            continue;
        }
        std::string token;
        if (text[i] == '"') {
            for (++i; i < text.size() && text[i] != '"'; ++i) {
                if (text[i] == '\\' && i + 1 < text.size()) {
                    char e = text[++i];
                    token += e == 'n' ? '\n' : e == 't' ? '\t' : e == 'r' ? '\r' : e;
                } else {
                    token += text[i];
                }
            }
            ++i;
        } else {
            while (i < text.size() && !blank(text[i])) token += text[i++];
        }
        tokens.push_back(token);
        if (token == "macdef") {
            size_t end = text.find("\n\n", i);
            i = end == std::string::npos ? text.size() : end + 2;
        }
    }
    return tokens;
}

}  // namespace

NetrcEntry findNetrc(const std::string &text, const std::string &host, const std::string &user) {
    std::vector<std::string> tokens = netrcTokens(text);
    NetrcEntry fallback;
    size_t k = 0;
    while (k < tokens.size()) {
        bool isDefault = tokens[k] == "default";
        bool isMachine = tokens[k] == "machine" && k + 1 < tokens.size();
        if (!isDefault && !isMachine) {
            ++k;
            continue;
        }
        bool matches = isDefault || tokens[k + 1] == host;
        k += isDefault ? 1 : 2;
        NetrcEntry entry;
        entry.found = true;
        while (k < tokens.size() && tokens[k] != "machine" && tokens[k] != "default") {
            if (k + 1 < tokens.size() && tokens[k] == "login") entry.login = tokens[++k];
            else if (k + 1 < tokens.size() && tokens[k] == "password") entry.password = tokens[++k];
            else if (k + 1 < tokens.size() && tokens[k] == "account") ++k;
            ++k;
        }
        if (!matches || (!user.empty() && entry.login != user)) continue;
        if (!isDefault) return entry;
        if (!fallback.found) fallback = entry;
    }
    return fallback;
}

std::string netrcPath() {
    const char *given = getenv("NETRC");
    if (given != nullptr && given[0] != '\0') return given;
    const char *home = getenv("HOME");
    if (home == nullptr || home[0] == '\0') return std::string();
    return std::string(home) + "/.netrc";
}

}  // namespace tevmail
