// 'tevmail sendmail' options: sendmail's short ones translated, then checked.

#include "sendmail_options.h"

#include "prepared_message.h"
#include "sendmail_exit.h"
#include "status.h"
#include "text.h"

namespace tevmail {

const OptionTable &sendmailOptions() {
    static const OptionTable table = {
        {"--from", Takes::kValue},         {"--read-recipients", Takes::kNothing},
        {"--ignore-dots", Takes::kNothing}, {"--user", Takes::kValue},
        {"--password", Takes::kValue},     {"--dry-run", Takes::kNothing},
    };
    return table;
}

namespace {

bool takesValue(const OptionTable &known, const std::string &word) {
    if (word.find('=') != std::string::npos) return false;
    if (word == "--config" || word == "--account") return true;  // taken out before the table is used
    for (const KnownOption &option : known) {
        if (word == option.name) return option.takes != Takes::kNothing;
    }
    return false;
}

// Adds a switch once: callers repeat them ("-i -oi"), which is no usage error.
void addSwitch(std::vector<std::string> *out, const char *name) {
    for (const std::string &word : *out) {
        if (word == name) return;
    }
    out->push_back(name);
}

// One word of short options ("-t", "-ti", "-f", "-fann@x", "-oi"). `next` is the word after it (null at the end),
// `usedNext` tells whether it was the value of the last option.
bool translateShort(const std::string &word, const std::string *next, std::vector<std::string> *out,
                    bool *usedNext, std::string *problem) {
    *usedNext = false;
    for (size_t i = 1; i < word.size(); ++i) {
        const char c = word[i];
        switch (c) {
        case 't': addSwitch(out, "--read-recipients"); continue;
        case 'i': addSwitch(out, "--ignore-dots"); continue;
        case 'v': addSwitch(out, "--verbose"); continue;
        case 'm': case 'n': case 'U': case 'G': continue;  // "me too", no aliasing, initial submission, gateway
        case 'f': case 'r': case 'o': case 'b': case 'F': case 'B': case 'N': case 'R': case 'V': case 'L':
        case 'p': case 'O':
            break;
        default:
            *problem = std::string("unknown option -") + c;
            return false;
        }
        // The option takes a value: the rest of the word, else the next word.
        std::string value = word.substr(i + 1);
        if (value.empty()) {
            if (next == nullptr) {
                *problem = std::string("-") + c + " needs a value";
                return false;
            }
            value = *next;
            *usedNext = true;
        }
        if (c == 'f' || c == 'r') {
            out->push_back("--from");
            out->push_back(value);
        } else if (c == 'o' && value == "i") {
            addSwitch(out, "--ignore-dots");
        } else if (c == 'b' && value != "m") {
            *problem = "-b" + value + " is not supported: tevmail sendmail only sends a message (-bm)";
            return false;
        }
        return true;
    }
    return true;
}

}  // namespace

bool translateSendmailArguments(const std::vector<std::string> &words, const OptionTable &known,
                                std::vector<std::string> *out, std::string *problem) {
    for (size_t k = 0; k < words.size(); ++k) {
        const std::string &word = words[k];
        if (word == "--") {
            out->insert(out->end(), words.begin() + static_cast<long>(k), words.end());
            return true;
        }
        if (word.compare(0, 2, "--") == 0) {
            out->push_back(word);
            if (takesValue(known, word) && k + 1 < words.size()) out->push_back(words[++k]);
            continue;
        }
        if (word.size() < 2 || word[0] != '-') {
            out->push_back(word);
            continue;
        }
        if (word == "-h" || word == "-?") {
            out->push_back("--help");
            continue;
        }
        bool usedNext = false;
        const std::string *next = k + 1 < words.size() ? &words[k + 1] : nullptr;
        if (!translateShort(word, next, out, &usedNext, problem)) return false;
        if (usedNext) ++k;
    }
    return true;
}

int parseSendmail(const Options &options, const char *passwordFromEnvironment, SendmailCommand *out,
                  std::string *problem) {
    auto bad = [problem](const std::string &text) {
        *problem = text;
        return static_cast<int>(kSendmailUsage);
    };
    if (parseCommon(options, 25, &out->common, problem) >= 0) return kSendmailUsage;

    out->user = options.value("--user");
    bool havePassword = findPassword(options, passwordFromEnvironment, &out->password);
    if (options.has("--user") && (out->user.empty() || !havePassword)) {
        return bad("--user needs a user name and --password (or TEVMAIL_PASSWORD)");
    }
    if (options.has("--password") && !options.has("--user")) return bad("--password needs --user");
    if (hasLineBreak(out->user) || hasLineBreak(out->password)) {
        return bad("user name and password must be one line each");
    }
    if (out->user.size() > kMaxCredential || (!out->user.empty() && out->password.size() > kMaxCredential)) {
        return bad("user names and passwords have at most 64 characters");
    }
    // The library learns STARTTLS from the EHLO reply, and answers an AUTH offer there with the credentials.
    const int32_t tlsMode = out->common.tlsMode;
    if ((tlsMode == kTlsStarttls || tlsMode == kTlsIfOffered) && out->user.empty()) {
        return bad("--starttls and --starttls-if-offered need --user (use --tls for implicit TLS without it)");
    }

    if (options.has("--from")) {
        std::vector<Mailbox> from;
        std::string why;
        if (!parseAddressList(options.value("--from"), &from, &why)) return bad("-f: " + why);
        if (from.size() != 1) return bad("-f wants one address, not '" + options.value("--from") + "'");
        out->from = from.front().address;
    }
    for (const std::string &word : options.positional) {
        std::vector<Mailbox> mailboxes;
        std::string why;
        if (!parseRecipientList(word, &mailboxes, &why)) return bad("recipient: " + why);
        addRecipients(mailboxes, &out->recipients);
    }
    out->readRecipients = options.has("--read-recipients");
    out->ignoreDots = options.has("--ignore-dots");
    out->dryRun = options.has("--dry-run");
    return kGoOn;
}

}  // namespace tevmail
