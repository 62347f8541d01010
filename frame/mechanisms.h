// The names of the authentication mechanisms the library knows, for the preference list (string parameter 102),
// the choice among a server's offer and the debug text of the mechanism used.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tev {

enum class SaslMechanism : int32_t {
    none = 0,
    scramSha256,
    scramSha1,
    xoauth2,
    oauthbearer,
    cramMd5,
    login,
    plain,
    user,  // POP3 USER/PASS
    apop,  // POP3 APOP
};

// "SCRAM-SHA-256", ...; "" for none.
const char *mechanismName(SaslMechanism mechanism);
// The mechanism of a name (ASCII case ignored), none for an unknown one.
SaslMechanism mechanismByName(const std::string &name);
// Normalises a preference list (names separated by blanks or commas) into out: upper case, one blank between
// names.  False (out unchanged) when a name is unknown or the result does not fit capacity.
bool normaliseMechanismList(const char *text, char *out, size_t capacity);

// ASCII upper case of a text.
std::string upperText(const std::string &text);
// The words of a text split at blanks, tabs, commas and line ends.
std::vector<std::string> mechanismWords(const char *text);

}  // namespace tev
