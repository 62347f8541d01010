// Address lists as tevmail's user writes them, turned into the form the library takes (every address in '<' '>').
#pragma once

#include <string>

namespace tevmail {

// A bare address gets '<' and '>'; one that already holds either (say, "Name <a@example.org>") is only trimmed.
std::string normaliseAddress(const std::string &text);

// "a@x, Name <b@y>" -> "<a@x>, Name <b@y>": split at every ',', each element normalised, empty ones dropped,
// joined by ", ". A comma inside a quoted display name splits too.
std::string normaliseList(const std::string &list);

}  // namespace tevmail
