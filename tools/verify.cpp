// tevmail verify: the library's syntax check of each address given, without any network access.

#include <tev32.h>

#include <stdio.h>

#include "addresses.h"
#include "commands.h"
#include "help.h"
#include "options.h"
#include "output.h"
#include "session.h"
#include "status.h"

namespace tevmail {

int commandVerify(int argc, char **argv) {
    Options options;
    int status = parseOptions("verify", kVerifyHelp, argc, argv, {}, &options);
    if (status >= 0) return status;
    if (options.positional.empty()) return usageError("verify", "give at least one address");
    Library library;
    if (library.result() != 1) return reportFailure("starting the library", library.result());
    int exitStatus = kExitOk;
    for (const std::string &given : options.positional) {
        std::string address = normaliseAddress(given);
        int32_t result = tevVerifyFormat(address.c_str());
        if (result == 1) {
            printf("%s: well formed\n", address.c_str());
        } else {
            printf("%s: %s (%d)\n", address.c_str(), errorText(result).c_str(), result);
            exitStatus = kExitFailed;
        }
    }
    return exitStatus;
}

}  // namespace tevmail
