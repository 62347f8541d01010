// tevmail's authentication options (tools/auth_options.h).
#include "auth_options.h"

#include <fstream>
#include <iterator>

#include "status.h"

namespace tevmail {

const char kOAuthTokenVariable[] = "TEVMAIL_OAUTH_TOKEN";

const OptionTable &authOptions() {
    static const OptionTable table = {{"--auth", Takes::kValue}, {"--oauth-token-file", Takes::kValue}};
    return table;
}

namespace {
// The known names; the library checks them again.
const char *const kNames[] = {"SCRAM-SHA-256", "SCRAM-SHA-1", "XOAUTH2", "OAUTHBEARER", "CRAM-MD5",
                              "LOGIN",         "PLAIN",       "USER",    "APOP"};

std::string upper(std::string text) {
    for (char &c : text) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
}
}  // namespace

int parseAuth(const Options &options, const char *tokenFromEnvironment, AuthChoice *out, std::string *problem) {
    *out = AuthChoice();
    std::string list = options.value("--auth");
    std::string name;
    list += ',';
    for (char c : list) {
        if (c != ',' && c != ' ') {
            name += c;
            continue;
        }
        if (name.empty()) continue;
        bool known = false;
        for (const char *k : kNames) known = known || upper(name) == k;
        if (!known) {
            *problem = "--auth does not know the mechanism '" + name + "'";
            return kExitUsage;
        }
        if (!out->mechanisms.empty()) out->mechanisms += ' ';
        out->mechanisms += upper(name);
        name.clear();
    }
    if (options.has("--auth") && out->mechanisms.empty()) {
        *problem = "--auth wants MECH[,MECH]";
        return kExitUsage;
    }
    if (options.has("--oauth-token-file")) {
        const std::string path = options.value("--oauth-token-file");
        std::ifstream file(path, std::ios::binary);
        if (!file) {
            *problem = "cannot read the token file '" + path + "'";
            return kExitUsage;
        }
        out->token.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    } else if (tokenFromEnvironment != nullptr) {
        out->token = tokenFromEnvironment;
    }
    while (!out->token.empty() && (out->token.back() == '\n' || out->token.back() == '\r' || out->token.back() == ' ')) {
        out->token.pop_back();
    }
    if (out->token.find_first_of("\r\n") != std::string::npos || out->token.size() > 4096) {
        *problem = "the OAuth token must be one line of at most 4096 characters";
        return kExitUsage;
    }
    return kGoOn;
}

}  // namespace tevmail
