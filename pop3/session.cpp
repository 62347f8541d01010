// POP3 session and mailbox operations (not built yet).
#include "engine/driver.h"
#include "tev32.h"

namespace tev {
StateStep pop3Step(int32_t) { return nullptr; }
}  // namespace tev

namespace {
int32_t notBuilt(int32_t chan) {
    tev::SessionRecord *rec = nullptr;
    int32_t rc = tev::checkChannel(chan, rec);
    return rc < 0 ? rc : TEV_E_POP3_ONLY;
}
}  // namespace

extern "C" int32_t tevPop3Connect(int32_t chan, const char *, const char *, const char *) { return notBuilt(chan); }
extern "C" int32_t tevGetEmailCount(int32_t chan) { return notBuilt(chan); }
extern "C" int32_t tevGetEmailSize(int32_t chan, int32_t) { return notBuilt(chan); }
extern "C" int32_t tevGetEmailLines(int32_t chan, int32_t, int32_t, char *, int32_t) { return notBuilt(chan); }
extern "C" int32_t tevGetEmailFile(int32_t chan, int32_t, const char *, const char *, const char *) {
    return notBuilt(chan);
}
extern "C" int32_t tevGetEmailUID(int32_t chan, int32_t, char *, int32_t) { return notBuilt(chan); }
extern "C" int32_t tevDeleteEmail(int32_t chan, int32_t) { return notBuilt(chan); }
