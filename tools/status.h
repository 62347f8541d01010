// tevmail's exit statuses, and the value its parsing and checking steps return when the command may go on.
#pragma once

namespace tevmail {

enum ExitStatus { kExitOk = 0, kExitFailed = 1, kExitUsage = 2, kExitLocalFile = 3, kExitInterrupted = 130 };

// What a step that may end the command returns when it did not: any exit status is 0 or more.
constexpr int kGoOn = -1;

}  // namespace tevmail
