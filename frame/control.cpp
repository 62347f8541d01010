// Session control: QUIT, abort, raw commands (not built yet).
#include "engine/driver.h"
#include "tev32.h"

namespace tev {
StateStep controlStep(int32_t) { return nullptr; }
}  // namespace tev

extern "C" int32_t tevClose(int32_t chan) {
    tev::SessionRecord *rec = nullptr;
    int32_t rc = tev::checkChannel(chan, rec);
    return rc < 0 ? rc : TEV_E_WRITE;
}
extern "C" int32_t tevAbort(int32_t chan) {
    tev::SessionRecord *rec = nullptr;
    int32_t rc = tev::checkChannel(chan, rec);
    return rc < 0 ? rc : 1;
}
extern "C" int32_t tevCommand(int32_t chan, const char *) {
    tev::SessionRecord *rec = nullptr;
    int32_t rc = tev::checkChannel(chan, rec);
    return rc < 0 ? rc : TEV_E_BAD_SERVER_NAME;
}
