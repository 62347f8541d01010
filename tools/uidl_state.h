// What 'tevmail fetch --new' remembers: the unique ids (UIDL) of the messages it has fetched and saved, one file
// per mailbox under $XDG_STATE_HOME/tevmail/uidl/ (else ~/.local/state/tevmail/uidl/). The file is replaced
// whole for every message recorded (a temporary file, fsync, rename, fsync of the directory), so a crash leaves
// either the old record or the new one, never a torn file; and a message is recorded only once it is saved, so
// a crash between the two fetches it again next time instead of losing it.
#pragma once

#include <stdint.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

namespace tevmail {

// The "number uid" lines of a UIDL list as the library gives it (a status line first, each line ending in CR LF).
// False when a line is not "NUMBER UID".
bool parseUidlList(const std::string &text, std::vector<std::pair<int32_t, std::string>> *out);

// The state file of one mailbox: `mailbox` (user@host:port) with every byte that is not a letter, digit, '.',
// '-', '_' or '@' written as %XX; "" when neither $XDG_STATE_HOME nor $HOME is set.
std::string uidlStatePath(const std::string &mailbox);

// A name for the saved files of a message: "message-" and its uid with the same escaping, at most 100 characters
// in all (a longer uid ends in a hash of the whole).
std::string uidFileStem(const std::string &uid);

class SeenUidls {
public:
    // Reads the file; a missing file is an empty record. False with `problem` set when it cannot be read.
    bool load(const std::string &path, std::string *problem);
    bool has(const std::string &uid) const { return seen_.count(uid) != 0; }
    size_t size() const { return seen_.size(); }
    // Adds the uid and replaces the file atomically; false with `problem` set (the uid is then not recorded).
    bool record(const std::string &uid, std::string *problem);

private:
    std::string path_;
    std::set<std::string> seen_;
    std::vector<std::string> order_;  // as recorded, so the file reads oldest first
};

}  // namespace tevmail
