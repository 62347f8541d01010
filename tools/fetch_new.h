// 'tevmail fetch --new' and '--delete-after': only the messages whose UIDL is not yet recorded, each recorded once
// it is saved, and deleted (when asked) only after that.
#pragma once

#include <stdint.h>

#include <map>
#include <string>
#include <vector>

#include "options.h"
#include "uidl_state.h"

namespace tevmail {

struct IncrementalFetch {
    bool onlyNew = false;       // --new
    bool deleteAfter = false;   // --delete-after
    SeenUidls seen;
    std::map<int32_t, std::string> uids;  // message number -> UIDL, for the messages to fetch
};

// With --new: asks the server for the UIDL list, loads the mailbox's record and keeps in `messages` only the
// unseen ones. kGoOn, or the exit status after printing why not.
int selectNewMessages(const MailboxCommand &pop3, IncrementalFetch *fetch, std::vector<int32_t> *messages);

// The file name stem of a message: "message-N", or the one made from its UIDL with --new.
std::string messageStem(const IncrementalFetch &fetch, int32_t number);

// After message `number` was saved: records its UIDL (--new) and then deletes it (--delete-after). kGoOn, or the
// exit status after printing why not (a message that could not be recorded is not deleted).
int afterSaved(IncrementalFetch *fetch, int32_t number);

}  // namespace tevmail
