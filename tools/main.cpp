// tevmail: send, list, fetch and delete mail from the command line, and check the syntax of addresses.
// A client of the public TEV32 interface (tev32.h) and nothing else; this file picks the command.
//
// Exit status: 0 done; 1 the library or the server reported a failure (its text is printed); 2 usage error;
// 3 a local file could not be read or written; 130 interrupted. 'sendmail' ends with sendmail's statuses instead
// (sysexits.h, tools/sendmail_exit.h), since the programs that call it act on those.

#include <tev32.h>

#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "commands.h"
#include "config.h"
#include "version.h"
#include "help.h"
#include "session.h"
#include "status.h"

using namespace tevmail;

int main(int argc, char **argv) {
    installInterruptHandlers();

    // Called as "sendmail" (a link to tevmail), every argument is sendmail's.
    const char *slash = strrchr(argv[0], '/');
    if (strcmp(slash != nullptr ? slash + 1 : argv[0], "sendmail") == 0) {
        std::vector<char *> shifted(argv, argv + argc);
        static char name[] = "sendmail";
        shifted.insert(shifted.begin() + 1, name);
        shifted.push_back(nullptr);
        return commandSendmail(argc + 1, shifted.data());
    }

    if (argc < 2) {
        fputs(kToolHelp, stderr);
        return kExitUsage;
    }
    std::string command = argv[1];
    if (command == "-h" || command == "--help" || command == "help") {
        fputs(kToolHelp, stdout);
        return kExitOk;
    }
    if (command == "--version") return commandVersion();
    if (command == "send") return commandSend(argc, argv);
    if (command == "sendmail") return commandSendmail(argc, argv);
    if (command == "list") return commandList(argc, argv);
    if (command == "fetch") return commandFetch(argc, argv);
    if (command == "delete") return commandDelete(argc, argv);
    if (command == "verify") return commandVerify(argc, argv);
    if (command == "config") return commandConfig(argc, argv);
    fprintf(stderr, "tevmail: unknown command '%s'\n\n", command.c_str());
    fputs(kToolHelp, stderr);
    return kExitUsage;
}
