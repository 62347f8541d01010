// tevmail --version.

#include "version.h"

#include <tev32.h>

#include <stdio.h>

#include "session.h"
#include "status.h"

#ifndef TEVMAIL_VERSION
#define TEVMAIL_VERSION "unknown"
#endif

namespace tevmail {

std::string versionLine(const char *toolVersion, int32_t libraryVersion, int32_t libraryBuild, bool tls) {
    std::string version = std::to_string((libraryVersion >> 8) & 0xFF) + "." +
                          std::to_string((libraryVersion >> 4) & 0xF) + "." + std::to_string(libraryVersion & 0xF);
    return std::string("tevmail ") + toolVersion + " (TEV32 " + version + " build " + std::to_string(libraryBuild) +
           ", TLS: " + (tls ? "yes" : "no") + ")";
}

int commandVersion() {
#ifdef TEVMAIL_TLS_BUILT
    const bool tls = true;
#else
    const bool tls = false;
#endif
    // The loaded library answers for itself; the header's numbers stand in when it cannot attach.
    int32_t libraryVersion = TEV_VERSION, libraryBuild = TEV_BUILD;
    {
        Library library;
        if (library.result() == 1) {
            libraryVersion = tevStatistics(kChannel, TEV_STAT_VERSION);
            libraryBuild = tevStatistics(kChannel, TEV_STAT_BUILD);
        }
    }
    printf("%s\n", versionLine(TEVMAIL_VERSION, libraryVersion, libraryBuild, tls).c_str());
    return kExitOk;
}

}  // namespace tevmail
