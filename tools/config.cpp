// tevmail's configuration file and the accounts in it.

#include "config.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include "netrc.h"
#include "status.h"
#include "text.h"

namespace tevmail {

namespace {

const char *const kKeys[] = {"server",  "port",  "smtp_server",  "smtp_port", "pop3_server",      "pop3_port",
                             "tls",     "cafile", "user",        "password",  "passwordeval",     "oauth_token_file",
                             "from"};

const char *const kTlsWords[] = {"tls", "starttls", "starttls-if-offered", "no-tls"};

bool knownKey(const std::string &key) {
    for (const char *k : kKeys) {
        if (key == k) return true;
    }
    return false;
}

bool knows(const OptionTable &known, const std::string &name) {
    for (const KnownOption &option : known) {
        if (name == option.name) return true;
    }
    return false;
}

bool takesValue(const OptionTable &known, const std::string &name) {
    for (const KnownOption &option : known) {
        if (name == option.name) return option.takes != Takes::kNothing;
    }
    return false;
}

// The options the user gave: names only ("--server" of "--server=x" too), values skipped.
std::vector<std::string> givenNames(const std::vector<std::string> &args, const OptionTable &known) {
    std::vector<std::string> names;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &arg = args[i];
        if (arg == "--") break;
        if (arg.compare(0, 2, "--") != 0) continue;
        size_t equals = arg.find('=');
        std::string name = arg.substr(0, equals);
        names.push_back(name);
        if (equals == std::string::npos && takesValue(known, name)) ++i;
    }
    return names;
}

bool contains(const std::vector<std::string> &names, const std::string &name) {
    for (const std::string &n : names) {
        if (n == name) return true;
    }
    return false;
}

// The value of --name in args ("" when not given); the last one wins, as for Options.
std::string givenValue(const std::vector<std::string> &args, const std::string &name) {
    std::string value;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--") break;
        if (args[i] == name && i + 1 < args.size()) value = args[++i];
        else if (args[i].compare(0, name.size() + 1, name + "=") == 0) value = args[i].substr(name.size() + 1);
    }
    return value;
}

// Takes "--name VALUE" and "--name=VALUE" out of args; true when it was there.
bool takeOption(std::vector<std::string> *args, const std::string &name, std::string *value, std::string *problem) {
    bool found = false;
    for (size_t i = 0; i < args->size();) {
        const std::string &arg = (*args)[i];
        if (arg == "--") break;
        if (arg == name) {
            if (i + 1 >= args->size()) {
                *problem = name + " needs a value";
                return false;
            }
            *value = (*args)[i + 1];
            args->erase(args->begin() + static_cast<long>(i), args->begin() + static_cast<long>(i) + 2);
            found = true;
        } else if (arg.compare(0, name.size() + 1, name + "=") == 0) {
            *value = arg.substr(name.size() + 1);
            args->erase(args->begin() + static_cast<long>(i));
            found = true;
        } else {
            ++i;
        }
    }
    return found;
}

std::string hostOf(const std::string &server) {
    size_t colon = server.rfind(':');
    return colon == std::string::npos ? server : server.substr(0, colon);
}

// The server of the account for one protocol: "smtp_server" or "server", with "smtp_port" or "port" added unless
// the name says its port already.
std::string accountServer(const Account &account, Protocol protocol) {
    const char *prefix = protocol == Protocol::kSmtp ? "smtp_" : "pop3_";
    std::string server = account.value(std::string(prefix) + "server");
    if (server.empty()) server = account.value("server");
    if (server.empty()) return server;
    std::string port = account.value(std::string(prefix) + "port");
    if (port.empty()) port = account.value("port");
    if (!port.empty() && server.find(':') == std::string::npos) server += ":" + port;
    return server;
}

// The password of the account's user: its "password", or the first line "passwordeval" prints.
bool accountPassword(const Account &account, std::string *out, std::string *source, std::string *problem) {
    if (account.values.count("password") != 0) {
        *out = account.value("password");
        *source = "the configuration file";
        return true;
    }
    if (account.values.count("passwordeval") != 0) {
        if (!evalPassword(account.value("passwordeval"), out, problem)) return false;
        *source = "passwordeval";
        return true;
    }
    return true;
}

}  // namespace

const Account *ConfigFile::find(const std::string &name) const {
    for (const Account &account : accounts) {
        if (account.name == name) return &account;
    }
    return nullptr;
}

bool parseConfig(const std::string &text, const std::string &path, ConfigFile *out, std::string *problem) {
    out->path = path;
    size_t start = 0;
    int number = 0;
    Account *current = nullptr;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        start = end == std::string::npos ? text.size() + 1 : end + 1;
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        for (size_t hash = line.find('#'); hash != std::string::npos; hash = line.find('#', hash + 1)) {
            if (hash == 0 || line[hash - 1] == ' ' || line[hash - 1] == '\t') {
                line.erase(hash);
                break;
            }
        }
        line = trim(line);
        if (line.empty()) continue;
        size_t blank = line.find_first_of(" \t");
        std::string key = line.substr(0, blank);
        std::string value = blank == std::string::npos ? std::string() : trim(line.substr(blank));
        std::string where = path + ":" + std::to_string(number) + ": ";
        if (key == "account") {
            if (value.empty() || out->find(value) != nullptr) {
                *problem = where + (value.empty() ? "'account' wants a name" : "a second account '" + value + "'");
                return false;
            }
            out->accounts.push_back(Account{value, {}});
            current = &out->accounts.back();
        } else if (key == "default") {
            out->defaultName = value;
        } else if (!knownKey(key)) {
            *problem = where + "unknown key '" + key + "'";
            return false;
        } else if (current == nullptr) {
            *problem = where + "'" + key + "' stands before any 'account NAME' line";
            return false;
        } else {
            if (key == "tls") {
                bool good = false;
                for (const char *word : kTlsWords) good = good || value == word;
                if (!good) {
                    *problem = where + "tls wants tls, starttls, starttls-if-offered or no-tls, not '" + value + "'";
                    return false;
                }
            }
            if (key == "password") out->holdsPassword = true;
            current->values[key] = value;
        }
    }
    if (!out->defaultName.empty() && out->find(out->defaultName) == nullptr) {
        *problem = path + ": 'default " + out->defaultName + "' names no account";
        return false;
    }
    return true;
}

std::string configPath(const std::string &given) {
    if (!given.empty()) return given;
    const char *xdg = getenv("XDG_CONFIG_HOME");
    if (xdg != nullptr && xdg[0] == '/') return std::string(xdg) + "/tevmail/config";
    const char *home = getenv("HOME");
    if (home == nullptr || home[0] == '\0') return std::string();
    return std::string(home) + "/.config/tevmail/config";
}

bool loadConfig(const std::string &path, bool required, ConfigFile *out, std::string *problem) {
    if (path.empty()) return true;
    FILE *file = fopen(path.c_str(), "rb");
    if (file == nullptr) {
        if (errno == ENOENT && !required) return true;
        *problem = "cannot read the configuration file '" + path + "': " + strerror(errno);
        return false;
    }
    std::string text;
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, file)) > 0) text.append(chunk, got);
    // The mode of the file just read, not of whatever the name points at afterwards.
    struct stat info;
    bool stated = fstat(fileno(file), &info) == 0;
    fclose(file);
    if (!parseConfig(text, path, out, problem)) return false;
    if (out->holdsPassword && (!stated || (info.st_mode & (S_IRWXG | S_IRWXO)) != 0)) {
        *problem = "the configuration file '" + path +
                   "' holds a password and others may read it; run: chmod 600 '" + path + "'";
        return false;
    }
    return true;
}

bool evalPassword(const std::string &command, std::string *out, std::string *problem) {
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        *problem = "cannot run passwordeval: " + std::string(strerror(errno));
        return false;
    }
    std::string text;
    char chunk[512];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, pipe)) > 0) text.append(chunk, got);
    int status = pclose(pipe);
    size_t end = text.find('\n');
    std::string line = text.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (status != 0 || line.empty()) {
        *problem = "passwordeval '" + command + "' " + (status != 0 ? "failed" : "printed no password");
        return false;
    }
    *out = line;
    return true;
}

bool applyAccount(std::vector<std::string> *args, const OptionTable &known, Protocol protocol,
                  const char *passwordFromEnvironment, const std::string &netrcText, Resolved *out,
                  std::string *problem) {
    std::string given, accountName;
    bool haveConfig = takeOption(args, "--config", &given, problem);
    if (!problem->empty()) return false;
    bool haveAccount = takeOption(args, "--account", &accountName, problem);
    if (!problem->empty()) return false;
    ConfigFile config;
    if (!loadConfig(configPath(given), haveConfig, &config, problem)) return false;
    if (!haveAccount) accountName = config.defaultName;
    const Account *account = accountName.empty() ? nullptr : config.find(accountName);
    if (haveAccount && account == nullptr) {
        *problem = "no account '" + accountName + "' in " + (config.path.empty() ? "the configuration" : config.path);
        return false;
    }
    std::vector<std::string> names = givenNames(*args, known);
    std::vector<std::string> added;
    auto add = [&](const std::string &option, const std::string &value) {
        if (value.empty() || !knows(known, option) || contains(names, option)) return;
        added.push_back(option);
        added.push_back(value);
    };
    if (account != nullptr) {
        out->account = account->name;
        add("--server", accountServer(*account, protocol));
        add("--user", account->value("user"));
        add("--from", account->value("from"));
        add("--cafile", account->value("cafile"));
        add("--oauth-token-file", account->value("oauth_token_file"));
        // The TLS mode word is an option of its own ("--starttls"); a command that has none of them keeps none.
        std::string word = account->value("tls");
        bool modeGiven = false;
        for (const char *w : kTlsWords) modeGiven = modeGiven || contains(names, std::string("--") + w);
        if (!word.empty() && !modeGiven && knows(known, "--" + word)) added.push_back("--" + word);
        else if (!word.empty() && !modeGiven) out->unappliedTls = word;
    }
    std::string server = givenValue(*args, "--server");
    if (server.empty()) server = givenValue(added, "--server");
    std::string user = givenValue(*args, "--user");
    if (user.empty()) user = givenValue(added, "--user");
    bool passwordGiven = contains(names, "--password") || passwordFromEnvironment != nullptr;
    if (passwordGiven) out->passwordSource = contains(names, "--password") ? "--password" : "TEVMAIL_PASSWORD";
    if (!passwordGiven && knows(known, "--password")) {
        std::string password;
        if (account != nullptr && !user.empty() && user == account->value("user") &&
            !accountPassword(*account, &password, &out->passwordSource, problem)) {
            return false;
        }
        if (password.empty() && !server.empty()) {
            NetrcEntry entry = findNetrc(netrcText, hostOf(server), user);
            if (entry.found && !entry.password.empty()) {
                if (user.empty()) {
                    user = entry.login;
                    add("--user", user);
                }
                password = entry.password;
                out->passwordSource = "~/.netrc";
            }
        }
        if (!password.empty() && !user.empty()) add("--password", password);
    }
    out->server = server;
    out->added = added;
    args->insert(args->begin(), added.begin(), added.end());
    return true;
}

std::string describeAccount(const std::vector<std::string> &args, const std::string &netrcText,
                            std::string *problem, bool *ok) {
    static const OptionTable everything = {
        {"--server", Takes::kValue},     {"--user", Takes::kValue},  {"--password", Takes::kValue},
        {"--from", Takes::kValue},       {"--cafile", Takes::kValue}, {"--oauth-token-file", Takes::kValue},
        {"--tls", Takes::kNothing},      {"--starttls", Takes::kNothing},
        {"--starttls-if-offered", Takes::kNothing}, {"--no-tls", Takes::kNothing}};
    std::string text;
    *ok = false;
    for (Protocol protocol : {Protocol::kSmtp, Protocol::kPop3}) {
        static const OptionTable serverOnly = {{"--server", Takes::kValue}};
        std::vector<std::string> mine = args;
        Resolved resolved;
        if (!applyAccount(&mine, protocol == Protocol::kSmtp ? everything : serverOnly, protocol, nullptr, netrcText,
                          &resolved, problem)) {
            return text;
        }
        if (protocol == Protocol::kSmtp) {
            std::string given;
            std::vector<std::string> copy = args;
            std::string ignored;
            takeOption(&copy, "--config", &given, &ignored);
            text += "account: " + (resolved.account.empty() ? std::string("(none)") : resolved.account) + "\n";
            std::string path = configPath(given);
            text += "file: " + (path.empty() ? std::string("(none)") : path) + "\n";
        }
        text += std::string(protocol == Protocol::kSmtp ? "smtp" : "pop3") + " server: " +
                (resolved.server.empty() ? "(none)" : resolved.server) + "\n";
        if (protocol == Protocol::kPop3) continue;
        std::string mode;
        for (const std::string &arg : mine) {
            for (const char *w : kTlsWords) {
                if (arg == std::string("--") + w) mode = w;
            }
        }
        auto line = [&](const char *label, const std::string &value) {
            text += std::string(label) + ": " + (value.empty() ? "(none)" : value) + "\n";
        };
        line("user", givenValue(mine, "--user"));
        bool havePassword = !givenValue(mine, "--password").empty();
        line("password", havePassword ? "set, from " + resolved.passwordSource : std::string());
        line("from", givenValue(mine, "--from"));
        line("tls", mode);
        line("cafile", givenValue(mine, "--cafile"));
        line("oauth token file", givenValue(mine, "--oauth-token-file"));
    }
    *ok = true;
    return text;
}

int accountArguments(const char *command, const OptionTable &known, std::vector<std::string> *args) {
    if (!knows(known, "--server")) return kGoOn;
    std::string netrcText, problem;
    std::string netrc = netrcPath();
    if (!netrc.empty()) readTextFile(netrc, &netrcText);
    const std::string name = command;
    Protocol protocol = name == "send" || name == "sendmail" ? Protocol::kSmtp : Protocol::kPop3;
    Resolved resolved;
    if (applyAccount(args, known, protocol, getenv(kPasswordVariable), netrcText, &resolved, &problem)) {
        if (!resolved.unappliedTls.empty()) {
            fprintf(stderr, "tevmail: warning: 'tevmail %s' has no --%s option; the account's 'tls %s' is not used\n",
                    command, resolved.unappliedTls.c_str(), resolved.unappliedTls.c_str());
        }
        return kGoOn;
    }
    fprintf(stderr, "tevmail %s: %s\n", command, problem.c_str());
    return kExitUsage;
}

int commandConfig(int argc, char **argv) {
    std::vector<std::string> args;
    for (int i = 2; i < argc; ++i) args.push_back(argv[i]);
    if (args.empty() || args[0] == "-h" || args[0] == "--help") {
        fputs(kConfigHelp, args.empty() ? stderr : stdout);
        return args.empty() ? kExitUsage : kExitOk;
    }
    if (args[0] != "check") {
        fprintf(stderr, "tevmail config: unknown subcommand '%s'\n%s", args[0].c_str(), kConfigHelp);
        return kExitUsage;
    }
    args.erase(args.begin());
    std::string netrcText, problem;
    std::string netrc = netrcPath();
    if (!netrc.empty()) readTextFile(netrc, &netrcText);
    bool ok = false;
    std::string text = describeAccount(args, netrcText, &problem, &ok);
    if (!ok) {
        fprintf(stderr, "tevmail config: %s\n", problem.c_str());
        return kExitUsage;
    }
    fputs(text.c_str(), stdout);
    return kExitOk;
}

const char kConfigHelp[] =
    "usage: tevmail config check [--config FILE] [--account NAME] [OPTIONS]\n"
    "\n"
    "Prints the account a command would use (from $XDG_CONFIG_HOME/tevmail/config, else\n"
    "~/.config/tevmail/config, and ~/.netrc), with options given here taking precedence. Passwords are never\n"
    "printed, only where they come from. See 'man tevmail' for the file's keys.\n";

bool readTextFile(const std::string &path, std::string *out) {
    FILE *file = fopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, file)) > 0) out->append(chunk, got);
    fclose(file);
    return true;
}

}  // namespace tevmail
