// tevmail --version: the tool's version, the version of the library it runs on, and whether TLS is built in.
#pragma once

#include <stdint.h>

#include <string>

namespace tevmail {

// "tevmail 3.4.2 (TEV32 3.4.2 build 18, TLS: yes)" from the tool's version, the library's version code (0x342 is
// 3.4.2) and build number, and whether TLS is built in.
std::string versionLine(const char *toolVersion, int32_t libraryVersion, int32_t libraryBuild, bool tls);

// Prints the version line, with the version the loaded library reports; the exit status.
int commandVersion();

}  // namespace tevmail
