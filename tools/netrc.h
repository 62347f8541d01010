// ~/.netrc as curl reads it: "machine HOST login USER password PASS" entries, a "default" entry that matches every
// host, "macdef" definitions skipped up to their blank line. Tokens are separated by blanks, tabs and line ends;
// a token in double quotes may hold blanks and \" \\ \n \t escapes.
#pragma once

#include <string>

namespace tevmail {

struct NetrcEntry {
    bool found = false;
    std::string login;
    std::string password;
};

// The first entry for `host` whose login is `user` (any login when `user` is ""), else the default entry (with the
// same condition). `text` is the file's content.
NetrcEntry findNetrc(const std::string &text, const std::string &host, const std::string &user);

// The netrc file: $NETRC when set, else $HOME/.netrc; "" when neither is known.
std::string netrcPath();

}  // namespace tevmail
