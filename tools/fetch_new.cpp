// 'tevmail fetch --new' and '--delete-after'.

#include "fetch_new.h"

#include <tev32.h>

#include <stdio.h>
#include <stdlib.h>

#include "output.h"
#include "session.h"
#include "status.h"

namespace tevmail {

int selectNewMessages(const MailboxCommand &pop3, IncrementalFetch *fetch, std::vector<int32_t> *messages) {
    if (!fetch->onlyNew) return kGoOn;
    const std::string mailbox = pop3.user + "@" + pop3.common.server.shown;
    std::string path = uidlStatePath(mailbox), problem;
    if (path.empty()) {
        fprintf(stderr, "tevmail: --new needs $XDG_STATE_HOME or $HOME for its record of fetched messages\n");
        return kExitLocalFile;
    }
    if (!fetch->seen.load(path, &problem)) {
        fprintf(stderr, "tevmail: %s\n", problem.c_str());
        return kExitLocalFile;
    }
    // "UIDL" without a number: one "N uid" line per message; a uid has at most 70 characters.
    std::vector<char> buffer(4096 + messages->size() * 96);
    int32_t result = drive(tevGetEmailUID(kChannel, -1, buffer.data(), static_cast<int32_t>(buffer.size())));
    if (result < 0) return reportFailure("asking for the unique ids (UIDL)", result);
    int32_t used = tevStatistics(kChannel, TEV_STAT_BUFFER_USED);
    std::string text(buffer.data(), used > 0 ? static_cast<size_t>(used) : 0);
    std::vector<std::pair<int32_t, std::string>> list;
    if (text.compare(0, 3, "+OK") != 0 || !parseUidlList(text, &list)) {
        fprintf(stderr, "tevmail: the server's UIDL list cannot be read (does it support UIDL?)\n");
        drive(tevClose(kChannel));
        return kExitFailed;
    }
    std::vector<int32_t> unseen;
    for (const auto &entry : list) {
        if (fetch->seen.has(entry.second)) continue;
        unseen.push_back(entry.first);
        fetch->uids[entry.first] = entry.second;
    }
    verboseLine(pop3.common, std::to_string(unseen.size()) + " new message(s); record: " + path);
    *messages = unseen;
    return kGoOn;
}

std::string messageStem(const IncrementalFetch &fetch, int32_t number) {
    auto it = fetch.uids.find(number);
    if (it != fetch.uids.end()) return uidFileStem(it->second);
    return "message-" + std::to_string(number);
}

int afterSaved(IncrementalFetch *fetch, int32_t number) {
    if (fetch->onlyNew) {
        std::string problem;
        if (!fetch->seen.record(fetch->uids[number], &problem)) {
            fprintf(stderr, "tevmail: %s\n", problem.c_str());
            return kExitLocalFile;
        }
    }
    if (fetch->deleteAfter) {
        int32_t result = drive(tevDeleteEmail(kChannel, number));
        if (result < 0) return reportFailure("deleting message " + std::to_string(number), result);
    }
    return kGoOn;
}

}  // namespace tevmail
