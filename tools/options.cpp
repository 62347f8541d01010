// tevmail's command line: option tables, the argument parser, and the checks of the options commands share.

#include "options.h"

#include <stdio.h>
#include <stdlib.h>

#include "auth_options.h"
#include "config.h"
#include "status.h"
#include "text.h"

namespace tevmail {

const OptionTable &commonOptions() {
    static const OptionTable table = {{"--server", Takes::kValue},
                                      {"--trace", Takes::kValue},
                                      {"--timeout", Takes::kValue},
                                      {"--verbose", Takes::kNothing},
                                      {"--tls", Takes::kNothing},
                                      {"--starttls", Takes::kNothing},
                                      {"--starttls-if-offered", Takes::kNothing},
                                      {"--no-tls", Takes::kNothing},
                                      {"--cafile", Takes::kValue},
                                      {"--insecure", Takes::kNothing}};
    return table;
}

const OptionTable &loginOptions() {
    static const OptionTable table = {
        {"--user", Takes::kValue}, {"--password", Takes::kValue}, {"--apop", Takes::kNothing}};
    return table;
}

const OptionTable &selectionOptions() {
    static const OptionTable table = {{"--number", Takes::kValue}, {"--all", Takes::kNothing}};
    return table;
}

const char kPasswordVariable[] = "TEVMAIL_PASSWORD";

OptionTable joinTables(std::initializer_list<OptionTable> tables) {
    OptionTable joined;
    for (const OptionTable &table : tables) joined.insert(joined.end(), table.begin(), table.end());
    return joined;
}

Parsed parseArguments(const std::vector<std::string> &args, const OptionTable &known, Options *out,
                      std::string *problem) {
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &arg = args[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            out->positional.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (arg == "-h" || arg == "--help") return Parsed::kHelp;
        std::string name = arg, value;
        bool inlineValue = false;
        size_t equals = arg.find('=');
        if (arg.compare(0, 2, "--") == 0 && equals != std::string::npos) {
            name = arg.substr(0, equals);
            value = arg.substr(equals + 1);
            inlineValue = true;
        }
        if (name == "-v") name = "--verbose";
        const KnownOption *option = nullptr;
        for (const KnownOption &candidate : known) {
            if (name == candidate.name) option = &candidate;
        }
        if (option == nullptr) {
            *problem = "unknown option " + name;
            return Parsed::kBad;
        }
        bool takesValue = option->takes != Takes::kNothing;
        if (takesValue && !inlineValue) {
            if (i + 1 >= args.size()) {
                *problem = name + " needs a value";
                return Parsed::kBad;
            }
            value = args[++i];
        } else if (!takesValue && inlineValue) {
            *problem = name + " takes no value";
            return Parsed::kBad;
        }
        if (option->takes != Takes::kValues && out->has(option->name)) {
            *problem = name + " given twice";
            return Parsed::kBad;
        }
        out->add(option->name, value);
    }
    return Parsed::kGoOn;
}

bool parseNumber(const std::string &text, long low, long high, long *out) {
    if (text.empty() || text.size() > 10) return false;
    long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    if (value < low || value > high) return false;
    *out = value;
    return true;
}

bool parseServer(const std::string &text, int32_t defaultPort, Server *out) {
    std::string host = text;
    long port = defaultPort;
    std::string portText;
    bool hasPort = false;
    if (!text.empty() && text[0] == '[') {
        size_t close = text.find(']');
        if (close == std::string::npos) return false;
        host = text.substr(1, close - 1);
        if (close + 1 < text.size()) {
            if (text[close + 1] != ':') return false;
            portText = text.substr(close + 2);
            hasPort = true;
        }
    } else {
        size_t colon = text.rfind(':');
        if (colon != std::string::npos && text.find(':') == colon) {
            host = text.substr(0, colon);
            portText = text.substr(colon + 1);
            hasPort = true;
        }
    }
    if (hasPort && !parseNumber(portText, 1, 65535, &port)) return false;
    if (host.empty() || host.size() > kMaxServerName) return false;
    out->host = host;
    out->port = static_cast<int32_t>(port);
    const bool ipv6 = host.find(':') != std::string::npos;
    out->shown = (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
    return true;
}

// Sets `problem` and returns kExitUsage.
static int bad(std::string *problem, const std::string &text) {
    *problem = text;
    return kExitUsage;
}

int parseCommon(const Options &options, int32_t defaultPort, Common *out, std::string *problem) {
    if (!options.has("--server")) return bad(problem, "--server is required");
    if (!parseServer(options.value("--server"), defaultPort, &out->server)) {
        return bad(problem, "--server wants HOST or HOST:PORT (a name of at most 128 characters, port 1 to 65535), "
                            "not '" +
                                options.value("--server") + "'");
    }
    if (options.has("--timeout") && !parseNumber(options.value("--timeout"), 1, 86400, &out->timeoutSeconds)) {
        return bad(problem, "--timeout wants whole seconds (1 to 86400)");
    }
    out->trace = options.value("--trace");
    out->verbose = options.has("--verbose");
    static const struct {
        const char *option;
        int32_t mode;
    } kTlsOptions[] = {{"--no-tls", kTlsNone},
                       {"--starttls", kTlsStarttls},
                       {"--tls", kTlsImplicit},
                       {"--starttls-if-offered", kTlsIfOffered}};
    out->tlsMode = kTlsDefault;
    for (const auto &tls : kTlsOptions) {
        if (!options.has(tls.option)) continue;
        if (out->tlsMode != kTlsDefault) {
            return bad(problem, "give one of --tls, --starttls, --starttls-if-offered and --no-tls");
        }
        out->tlsMode = tls.mode;
    }
    out->caFile = options.value("--cafile");
    if (options.has("--cafile") && out->caFile.empty()) return bad(problem, "--cafile wants a file");
    out->insecure = options.has("--insecure");
    return kGoOn;
}

int32_t chooseTlsMode(const Common &common, bool sendsPassword) {
    if (common.tlsMode != kTlsDefault) return common.tlsMode;
    if (common.server.port == 465 || common.server.port == 995) return kTlsImplicit;
    return sendsPassword ? kTlsStarttls : kTlsNone;
}

bool findPassword(const Options &options, const char *fromEnvironment, std::string *out) {
    if (options.has("--password")) {
        *out = options.value("--password");
        return true;
    }
    if (fromEnvironment != nullptr) {
        *out = fromEnvironment;
        return true;
    }
    return false;
}

int parseMailbox(const Options &options, bool selectionRequired, const char *passwordFromEnvironment,
                 MailboxCommand *out, std::string *problem) {
    if (!options.positional.empty()) return bad(problem, "unexpected argument '" + options.positional[0] + "'");
    int status = parseCommon(options, 110, &out->common, problem);
    if (status >= 0) return status;
    out->user = options.value("--user");
    if (out->user.empty()) return bad(problem, "--user is required");
    if (!findPassword(options, passwordFromEnvironment, &out->password) && out->oauthToken.empty()) {
        return bad(problem, "give --password or set TEVMAIL_PASSWORD");
    }
    if (hasLineBreak(out->user) || hasLineBreak(out->password)) {
        return bad(problem, "user name and password must be one line each");
    }
    if (out->user.size() > kMaxCredential || out->password.size() > kMaxCredential) {
        return bad(problem, "user names and passwords have at most 64 characters");
    }
    out->apop = options.has("--apop");
    out->all = options.has("--all");
    if (options.has("--number")) {
        if (out->all) return bad(problem, "give --number or --all, not both");
        if (!parseNumber(options.value("--number"), 1, INT32_MAX, &out->number)) {
            return bad(problem, "--number wants a message number (1 or more)");
        }
    } else if (!out->all) {
        if (selectionRequired) return bad(problem, "say which messages: --number N or --all");
        out->all = true;
    }
    return kGoOn;
}

int usageError(const char *command, const std::string &problem) {
    fprintf(stderr, "tevmail %s: %s\nRun 'tevmail %s --help' for the options.\n", command, problem.c_str(),
            command);
    return kExitUsage;
}

int parseOptions(const char *command, const char *help, int argc, char **argv, const OptionTable &known,
                 Options *out) {
    std::vector<std::string> args;
    for (int i = 2; i < argc; ++i) args.push_back(argv[i]);
    // Accounts: --config FILE and --account NAME, and what the account gives for options not on the command line.
    int accountStatus = accountArguments(command, known, &args);
    if (accountStatus >= 0) return accountStatus;
    std::string problem;
    switch (parseArguments(args, known, out, &problem)) {
    case Parsed::kGoOn:
        return kGoOn;
    case Parsed::kHelp:
        fputs(help, stdout);
        return kExitOk;
    case Parsed::kBad:
        break;
    }
    return usageError(command, problem);
}

int parseMailboxCommand(const char *command, const char *help, int argc, char **argv, const OptionTable &extra,
                        bool selectionRequired, Options *options, MailboxCommand *mailbox) {
    int status = parseOptions(command, help, argc, argv,
                              joinTables({loginOptions(), selectionOptions(), extra, commonOptions(), authOptions()}),
                              options);
    if (status >= 0) return status;
    std::string problem;
    AuthChoice auth;
    if (parseAuth(*options, getenv(kOAuthTokenVariable), &auth, &problem) >= 0) return usageError(command, problem);
    mailbox->authMechanisms = auth.mechanisms;
    mailbox->oauthToken = auth.token;
    status = parseMailbox(*options, selectionRequired, getenv(kPasswordVariable), mailbox, &problem);
    return status >= 0 ? usageError(command, problem) : kGoOn;
}

}  // namespace tevmail
