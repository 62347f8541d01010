// The options of 'tevmail send' and their checks, and the attachment list the library takes.

#include "send_options.h"

#include "addresses.h"
#include "status.h"
#include "text.h"

namespace tevmail {

const OptionTable &sendOptions() {
    static const OptionTable table = {
        {"--from", Takes::kValue},      {"--to", Takes::kValue},       {"--cc", Takes::kValue},
        {"--bcc", Takes::kValue},       {"--subject", Takes::kValue},  {"--text", Takes::kValue},
        {"--text-file", Takes::kValue}, {"--html", Takes::kNothing},   {"--alt-text", Takes::kValue},
        {"--attach", Takes::kValues},   {"--user", Takes::kValue},     {"--password", Takes::kValue},
        {"--header", Takes::kValues},   {"--reply-to", Takes::kValue},
        {"--dry-run", Takes::kNothing},
    };
    return table;
}

bool isHeaderLine(const std::string &header) {
    size_t colon = header.find(':');
    return !hasLineBreak(header) && colon != 0 && colon != std::string::npos &&
           header.substr(0, colon).find_first_of(" \t") == std::string::npos;
}

int parseSend(const Options &options, const char *passwordFromEnvironment, SendCommand *out, std::string *problem) {
    auto bad = [problem](const std::string &text) {
        *problem = text;
        return static_cast<int>(kExitUsage);
    };
    if (!options.positional.empty()) return bad("unexpected argument '" + options.positional[0] + "'");
    int status = parseCommon(options, 25, &out->common, problem);
    if (status >= 0) return status;

    if (!options.has("--from")) return bad("--from is required");
    if (!options.has("--to")) return bad("--to is required");
    if (options.has("--text") == options.has("--text-file")) {
        return bad("give the message as exactly one of --text and --text-file");
    }
    if (options.has("--alt-text") && !options.has("--html")) return bad("--alt-text needs --html");
    out->subject = options.value("--subject");
    out->headers = options.values("--header");
    if (!out->headers.empty() && out->subject.empty()) {
        return bad("--header needs --subject (extra header lines follow the Subject line)");
    }
    for (const std::string &header : out->headers) {
        if (!isHeaderLine(header)) return bad("--header wants one line \"Name: value\", not '" + header + "'");
    }
    out->user = options.value("--user");
    bool havePassword = findPassword(options, passwordFromEnvironment, &out->password);
    if (options.has("--user") && (out->user.empty() || (!havePassword && !out->haveToken))) {
        return bad("--user needs a user name and --password (or TEVMAIL_PASSWORD)");
    }
    if (options.has("--password") && !options.has("--user")) return bad("--password needs --user");
    if (out->user.size() > kMaxCredential || (!out->user.empty() && out->password.size() > kMaxCredential)) {
        return bad("user names and passwords have at most 64 characters");
    }
    // STARTTLS is learnt from the EHLO reply, and the library answers an AUTH offer there with the credentials.
    const int32_t tlsMode = out->common.tlsMode;
    if ((tlsMode == kTlsStarttls || tlsMode == kTlsIfOffered) && out->user.empty()) {
        return bad("--starttls and --starttls-if-offered need --user (use --tls for implicit TLS without it)");
    }

    out->from = normaliseAddress(options.value("--from"));
    // To, Cc and Bcc as people write them; `envelope` keeps the order the library sends RCPT TO in.
    std::vector<Mailbox> lists[3];
    const char *const listOptions[3] = {"--to", "--cc", "--bcc"};
    for (int k = 0; k < 3; ++k) {
        std::string problem;
        if (!parseAddressList(options.value(listOptions[k]), &lists[k], &problem)) {
            return bad(std::string(listOptions[k]) + ": " + problem);
        }
        out->envelope.insert(out->envelope.end(), lists[k].begin(), lists[k].end());
    }
    out->to = libraryList(lists[0]);
    out->cc = libraryList(lists[1]);
    out->bcc = libraryList(lists[2]);
    out->replyTo = normaliseAddress(options.value("--reply-to"));
    if (out->to.empty()) return bad("--to names no address");

    out->html = options.has("--html");
    out->hasAltText = options.has("--alt-text");
    out->altText = options.value("--alt-text");
    out->textInline = options.has("--text");
    out->text = options.value("--text");
    out->textFile = options.value("--text-file");
    out->attachments = options.values("--attach");
    out->dryRun = options.has("--dry-run");
    return kGoOn;
}

std::string attachmentPath(const std::string &entry) { return entry.substr(0, entry.find('|')); }

char pickListSeparator(const std::vector<std::string> &entries) {
    for (char candidate : {',', ';', '\t', '\x1f'}) {
        bool used = false;
        for (const std::string &entry : entries) used = used || entry.find(candidate) != std::string::npos;
        if (!used) return candidate;
    }
    return 0;
}

std::string joinList(const std::vector<std::string> &entries, char separator) {
    std::string list;
    for (const std::string &entry : entries) {
        if (!list.empty()) list += separator;
        list += entry;
    }
    return list;
}

}  // namespace tevmail
