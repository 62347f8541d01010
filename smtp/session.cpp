// SMTP session: connect, greeting, EHLO/HELO, AUTH and VRFY (not built yet).
#include "engine/driver.h"
#include "tev32.h"

namespace tev {
StateStep smtpSessionStep(int32_t) { return nullptr; }
}  // namespace tev

extern "C" int32_t tevSmtpConnect(int32_t chan, const char *, const char *, const char *) {
    tev::SessionRecord *rec = nullptr;
    int32_t rc = tev::checkChannel(chan, rec);
    return rc < 0 ? rc : TEV_E_NOT_CONNECTED;
}

extern "C" int32_t tevVerifyUser(int32_t chan, const char *) {
    tev::SessionRecord *rec = nullptr;
    int32_t rc = tev::checkChannel(chan, rec);
    return rc < 0 ? rc : TEV_E_SMTP_ONLY;
}
