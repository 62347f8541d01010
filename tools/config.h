// tevmail's configuration file: named accounts, so no command needs the server, the user and the TLS options
// again. $XDG_CONFIG_HOME/tevmail/config, else ~/.config/tevmail/config, or the file of --config FILE:
//
//     # the account used when --account is not given
//     default work
//
//     account work
//     server mail.example.org        # both protocols; smtp_server / pop3_server for one of them
//     smtp_port 587                  # or port, for both; smtp_server and pop3_server may say HOST:PORT
//     tls starttls                   # tls, starttls, starttls-if-offered or no-tls
//     cafile /etc/ssl/my-ca.pem
//     user ann
//     passwordeval pass show mail/work   # the first line it prints; or: password SECRET
//     oauth_token_file ~/.cache/work-token
//     from Ann Lee <ann@example.org>
//
// One "key value" per line; '#' starts a comment where it begins a line or follows a blank. A file that holds a
// password is refused when its group or others may read it. Options on the command line always win; a password
// still missing comes from ~/.netrc (machine = the server's host).
#pragma once

#include <map>
#include <string>
#include <vector>

#include "options.h"

namespace tevmail {

struct Account {
    std::string name;
    std::map<std::string, std::string> values;  // key -> value, as written
    std::string value(const std::string &key) const {
        auto it = values.find(key);
        return it == values.end() ? std::string() : it->second;
    }
};

struct ConfigFile {
    std::string path;          // "" when there is none
    std::string defaultName;   // from "default NAME"
    std::vector<Account> accounts;
    bool holdsPassword = false;
    const Account *find(const std::string &name) const;
};

// Parses the text of a configuration file. False with `problem` ("FILE:LINE: ...") on an unknown key, a key
// outside an account, a second account of one name, or a default that names no account.
bool parseConfig(const std::string &text, const std::string &path, ConfigFile *out, std::string *problem);

// The configuration file to read: `given` (from --config) when not empty, else the XDG location; "" when there
// is no home to find one in.
std::string configPath(const std::string &given);

// Reads and parses the file. A missing file is fine (no accounts) unless it was `required` (given with --config).
// A file with a password that its group or others can read is refused.
bool loadConfig(const std::string &path, bool required, ConfigFile *out, std::string *problem);

// Runs `command` through /bin/sh and takes the first line of what it prints; false when it fails or prints nothing.
bool evalPassword(const std::string &command, std::string *out, std::string *problem);

// Which protocol a command speaks: its server, port and password come from the matching keys.
enum class Protocol { kSmtp, kPop3 };

// What an account adds to a command line.
struct Resolved {
    std::string account;              // "" when no account applies
    std::string server;               // HOST or HOST:PORT
    std::string passwordSource;       // "config file", "passwordeval", "~/.netrc", "command line", ...
    std::vector<std::string> added;   // the arguments added, secrets included
    std::string unappliedTls;         // the account's TLS word when the command has no option of that name
};

// Takes --config FILE and --account NAME out of `args` and adds, for every option of `known` the user did not
// give, the account's value: --server, --user, --password (only for the account's own user, and only when no
// password was given and `passwordFromEnvironment` is null), --from, the TLS mode word as its option, --cafile,
// --oauth-token-file. A password still missing comes from netrc (`netrcText`, the text of the netrc file).
// False with `problem` set.
bool applyAccount(std::vector<std::string> *args, const OptionTable &known, Protocol protocol,
                  const char *passwordFromEnvironment, const std::string &netrcText, Resolved *out,
                  std::string *problem);

// The lines of 'tevmail config check': the account, its file and what a command of either protocol would use,
// with every secret shown only as where it comes from.
std::string describeAccount(const std::vector<std::string> &args, const std::string &netrcText,
                            std::string *problem, bool *ok);

// For parseOptions: takes --config and --account out of `args` and adds the account's arguments for `command`
// (the password from TEVMAIL_PASSWORD and ~/.netrc as above). kGoOn, or the exit status after printing why not.
int accountArguments(const char *command, const OptionTable &known, std::vector<std::string> *args);

// tevmail config check [--config FILE] [--account NAME] [options]: the exit status.
int commandConfig(int argc, char **argv);
extern const char kConfigHelp[];

// Appends the whole file to `out`; false when it cannot be read.
bool readTextFile(const std::string &path, std::string *out);

}  // namespace tevmail
