// The command line of 'tevmail sendmail': sendmail's own short options, as cron, mail(1), mutt and git send-email
// pass them, turned into tevmail's long ones, and their checks.
#pragma once

#include <string>
#include <vector>

#include "addresses.h"
#include "options.h"

namespace tevmail {

// The options of 'sendmail' besides commonOptions() and authOptions().
const OptionTable &sendmailOptions();

// Turns sendmail's options into tevmail's: -t is --read-recipients, -f FROM (or -r FROM, -fFROM) --from FROM,
// -i and -oi --ignore-dots, -v --verbose. -F NAME, -B TYPE, -N DSN, -R RET, -V ENVID, -L TAG, -p PROTO, -O OPT,
// the other -oX, -bm, -m, -n, -U and -G are taken and change nothing. Flags may be joined (-ti). Long options
// pass unchanged with their values (`known` says which take one), as does everything after "--".
// False with `problem` set for another option (-bs, -q, ...) or a value missing.
bool translateSendmailArguments(const std::vector<std::string> &words, const OptionTable &known,
                                std::vector<std::string> *out, std::string *problem);

struct SendmailCommand {
    Common common;
    std::string from;  // the envelope sender's address (no brackets); "" takes it from the message's header
    std::string user;  // "" for no AUTH
    std::string password;
    bool readRecipients = false;      // -t: the recipients of the To, Cc and Bcc fields too
    bool ignoreDots = false;          // -i: a line "." is a line like any other
    bool dryRun = false;
    std::vector<Mailbox> recipients;  // from the command line, in order
};

// Checks the translated options and fills `out`. kGoOn, or kSendmailUsage with `problem` set.
int parseSendmail(const Options &options, const char *passwordFromEnvironment, SendmailCommand *out,
                  std::string *problem);

}  // namespace tevmail
