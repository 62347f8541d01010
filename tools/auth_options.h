// tevmail's authentication options: --auth MECH[,MECH] (the library's preference list) and the OAuth 2 access
// token from --oauth-token-file FILE or the environment variable TEVMAIL_OAUTH_TOKEN.
#pragma once

#include <string>

#include "options.h"

namespace tevmail {

extern const char kOAuthTokenVariable[];  // "TEVMAIL_OAUTH_TOKEN"

const OptionTable &authOptions();  // --auth --oauth-token-file

struct AuthChoice {
    std::string mechanisms;  // blank-separated, "" for the library's default choice
    std::string token;       // "" for none
};

// Reads the options (and the token file or `tokenFromEnvironment`, which may be null).  kGoOn, or kExitUsage with
// `problem` set.
int parseAuth(const Options &options, const char *tokenFromEnvironment, AuthChoice *out, std::string *problem);

}  // namespace tevmail
