// The commands of tevmail. Each takes main's argc and argv (argv[1] is the command) and returns the exit status.
#pragma once

namespace tevmail {

int commandSend(int argc, char **argv);
int commandList(int argc, char **argv);
int commandFetch(int argc, char **argv);
int commandDelete(int argc, char **argv);
int commandVerify(int argc, char **argv);
int commandSendmail(int argc, char **argv);  // tools/sendmail.cpp

}  // namespace tevmail
