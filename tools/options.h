// tevmail's command line: the option tables, the parser that turns arguments into Options, and the checks of the
// options several commands share (server, trace, timeout, verbosity; the mailbox login and message selection).
// The parsers return kGoOn or a problem text; the wrappers at the end print usage errors and help texts.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <initializer_list>
#include <map>
#include <string>
#include <vector>

namespace tevmail {

// ---- Option tables ----

enum class Takes {
    kNothing,  // a switch: "--all"
    kValue,    // one value: "--server HOST" or "--server=HOST"
    kValues,   // a value that may be given again: "--attach A --attach B"
};

struct KnownOption {
    const char *name;  // with its leading dashes
    Takes takes;
};

using OptionTable = std::vector<KnownOption>;

// The shared tables. Functions, not globals, so a table built from them during static initialisation (in another
// file) never sees an empty one.
const OptionTable &commonOptions();     // every network command: --server --trace --timeout --verbose
const OptionTable &loginOptions();      // a mailbox command: --user --password --apop
const OptionTable &selectionOptions();  // a mailbox command: --number --all

// The tables one after the other.
OptionTable joinTables(std::initializer_list<OptionTable> tables);

// ---- Parsed arguments ----

class Options {
public:
    bool has(const char *name) const { return given_.count(name) != 0; }
    // The last value given for `name`, else `fallback`.
    std::string value(const char *name, const std::string &fallback = std::string()) const {
        auto it = given_.find(name);
        return it == given_.end() ? fallback : it->second.back();
    }
    // Every value given for `name`, in order.
    std::vector<std::string> values(const char *name) const {
        auto it = given_.find(name);
        return it == given_.end() ? std::vector<std::string>() : it->second;
    }
    void add(const std::string &name, const std::string &value) { given_[name].push_back(value); }

    std::vector<std::string> positional;  // arguments that are no option, and all after "--"

private:
    std::map<std::string, std::vector<std::string>> given_;
};

enum class Parsed { kGoOn, kHelp, kBad };

// Parses `args` (the words after the command) as "--name VALUE", "--name=VALUE", "--name" and positional words;
// "-v" is "--verbose". kHelp at the first "-h" or "--help"; kBad with `problem` set at the first unknown option,
// missing or unwanted value, or option given twice that may not be.
Parsed parseArguments(const std::vector<std::string> &args, const OptionTable &known, Options *out,
                      std::string *problem);

// ---- Values ----

// The library keeps server names and directories in 128-character fields and user names and passwords in
// 64-character fields, cutting longer texts; tevmail refuses them instead of letting a cut one go to the wrong place.
constexpr size_t kMaxServerName = 128;
constexpr size_t kMaxDirectory = 128;
constexpr size_t kMaxCredential = 64;

extern const char kPasswordVariable[];  // "TEVMAIL_PASSWORD"

// A whole decimal number of at most 10 digits in [low, high]; no sign, no blanks.
bool parseNumber(const std::string &text, long low, long high, long *out);

struct Server {
    std::string host;
    int32_t port = 0;
    std::string shown;  // host:port, for messages
};

// HOST or HOST:PORT, split at the last ':'; an IPv6 address is written in brackets when a port follows
// ("[::1]:2525" gives the host "::1"), and a text with several ':' and no brackets is an address without a port.
// The host has 1 to 128 characters, the port is 1 to 65535.
bool parseServer(const std::string &text, int32_t defaultPort, Server *out);

// ---- Options several commands share ----

// TLS as the command line asks for it: kTlsDefault until the command knows whether it sends a password.
constexpr int32_t kTlsDefault = -1;
constexpr int32_t kTlsNone = 0;        // --no-tls
constexpr int32_t kTlsStarttls = 1;    // --starttls: STARTTLS / STLS required
constexpr int32_t kTlsImplicit = 2;    // --tls
constexpr int32_t kTlsIfOffered = 3;   // --starttls-if-offered

struct Common {
    Server server;
    int32_t tlsMode = kTlsDefault;
    std::string caFile;     // --cafile, "" for the system store
    bool insecure = false;  // --insecure: no certificate check
    std::string trace;        // trace log file, "" for none
    long timeoutSeconds = 0;  // 0: the library's defaults
    bool verbose = false;
};

// --server (required), --timeout, --trace, --verbose and the TLS options (at most one of --tls, --starttls,
// --starttls-if-offered, --no-tls). kGoOn, or kExitUsage with `problem` set.
int parseCommon(const Options &options, int32_t defaultPort, Common *out, std::string *problem);

// The TLS mode of a command: the one given, else implicit TLS on ports 465 and 995, else STARTTLS required when
// the command sends a password (so none goes out in the clear unless --no-tls says so), else none.
int32_t chooseTlsMode(const Common &common, bool sendsPassword);

// The password from --password or, to keep it out of the shell history, from the environment (`fromEnvironment`,
// the value of TEVMAIL_PASSWORD or null).
bool findPassword(const Options &options, const char *fromEnvironment, std::string *out);

struct MailboxCommand {
    Common common;
    std::string user;
    std::string password;
    bool apop = false;
    bool all = false;  // every message; else only `number`
    long number = 0;
    std::string authMechanisms;  // --auth, blank-separated; "" for USER/PASS (or APOP)
    std::string oauthToken;      // --oauth-token-file or TEVMAIL_OAUTH_TOKEN; stands in for the password
};

// The options of list, fetch and delete: no positional word, the common options (port 110), --user and a
// password (none needed when `out` already holds an OAuth token), and the selection (--number N or --all; --all
// when neither is given, unless `selectionRequired`).
int parseMailbox(const Options &options, bool selectionRequired, const char *passwordFromEnvironment,
                 MailboxCommand *out, std::string *problem);

// ---- Printing wrappers ----

// Prints the problem and where to find the options; returns kExitUsage.
int usageError(const char *command, const std::string &problem);

// parseArguments over argv[2..]: kGoOn when the command may go on, else the exit status after printing the usage
// error, or the help text to standard output (kExitOk).
int parseOptions(const char *command, const char *help, int argc, char **argv, const OptionTable &known,
                 Options *out);

// Parses a mailbox command: loginOptions(), selectionOptions(), commonOptions(), the authentication options
// (auth_options.h) and `extra`, then parseAuth with TEVMAIL_OAUTH_TOKEN and parseMailbox with the password from
// TEVMAIL_PASSWORD. kGoOn when the command may go on, else the exit status.
int parseMailboxCommand(const char *command, const char *help, int argc, char **argv, const OptionTable &extra,
                        bool selectionRequired, Options *options, MailboxCommand *mailbox);

}  // namespace tevmail
