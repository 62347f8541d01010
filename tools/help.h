// The help texts of tevmail ('tevmail --help') and of each command ('tevmail COMMAND --help').
#pragma once

namespace tevmail {

extern const char kToolHelp[];
extern const char kSendHelp[];
extern const char kListHelp[];
extern const char kFetchHelp[];
extern const char kDeleteHelp[];
extern const char kVerifyHelp[];
extern const char kSendmailHelp[];

}  // namespace tevmail
