// tevmail list, fetch and delete: the POP3 commands. Each logs in, counts the messages, works through the ones
// asked for and ends the session with QUIT.

#include <tev32.h>

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "commands.h"
#include "fetch_new.h"
#include "header_words.h"
#include "help.h"
#include "output.h"
#include "session.h"
#include "status.h"
#include "system.h"
#include "text.h"

namespace tevmail {

// The options of 'fetch' besides the ones every mailbox command takes.
static const OptionTable kFetchOptions = {{"--out", Takes::kValue},
                                          {"--attachments", Takes::kValue},
                                          {"--raw", Takes::kNothing},
                                          {"--number-files", Takes::kNothing},
                                          {"--new", Takes::kNothing},
                                          {"--delete-after", Takes::kNothing}};

// Attaches, logs in and counts the messages; fills `messages` with the numbers the command asked for.
static int openMailbox(const MailboxCommand &pop3, std::vector<int32_t> *messages) {
    int status = applyCommon(pop3.common);
    if (status >= 0) return status;
    tevIntegerParam(kChannel, TEV_POP3_PORT, pop3.common.server.port);
    tevIntegerParam(kChannel, TEV_USE_APOP, pop3.apop ? 1 : 0);
    // A mailbox command always logs in: a --auth list naming nothing the server offers fails with -83, naming
    // what it offered.
    tevIntegerParam(kChannel, TEV_REQUIRE_AUTH, 1);
    if (!pop3.authMechanisms.empty()) tevStringParam(kChannel, TEV_AUTH_MECHANISMS, pop3.authMechanisms.c_str());
    if (!pop3.oauthToken.empty()) tevStringParam(kChannel, TEV_OAUTH_TOKEN, pop3.oauthToken.c_str());
    applyTls(pop3.common, true);
    verboseLine(pop3.common, "connecting to " + pop3.common.server.shown);
    int32_t result = drive(tevPop3Connect(kChannel, pop3.common.server.host.c_str(), pop3.user.c_str(),
                                          pop3.password.c_str()));
    if (result < 0) return reportFailure("logging in to POP3 server " + pop3.common.server.shown, result);
    verboseLine(pop3.common, "logged in: " + lastReply());
    verboseTls(pop3.common);

    result = drive(tevGetEmailCount(kChannel));
    if (result < 0) return reportFailure("counting the messages", result);
    int32_t count = tevStatistics(kChannel, TEV_STAT_MESSAGE_COUNT);
    verboseLine(pop3.common, std::to_string(count) + " message(s) in the mailbox");
    if (pop3.all) {
        for (int32_t n = 1; n <= count; ++n) messages->push_back(n);
    } else {
        if (pop3.number > count) {
            fprintf(stderr, "tevmail: there is no message %ld (the mailbox holds %d)\n", pop3.number, count);
            drive(tevClose(kChannel));
            return kExitFailed;
        }
        messages->push_back(static_cast<int32_t>(pop3.number));
    }
    return kGoOn;
}

static int32_t messageSize(int32_t number) {
    int32_t result = drive(tevGetEmailSize(kChannel, number));
    return result < 0 ? result : tevStatistics(kChannel, TEV_STAT_MESSAGE_SIZE);
}

int commandList(int argc, char **argv) {
    Options options;
    MailboxCommand pop3;
    int status = parseMailboxCommand("list", kListHelp, argc, argv, {}, false, &options, &pop3);
    if (status >= 0) return status;

    Library library;
    if (library.result() != 1) return reportFailure("starting the library", library.result());
    std::vector<int32_t> messages;
    status = openMailbox(pop3, &messages);
    if (status >= 0) return status;

    if (messages.empty()) printf("no messages\n");
    // TOP n 0: the status line and the header block of each message.
    std::vector<char> header(65536);
    for (int32_t number : messages) {
        int32_t size = messageSize(number);
        if (size < 0) return reportFailure("asking for the size of message " + std::to_string(number), size);
        int32_t result = drive(tevGetEmailLines(kChannel, number, 0, header.data(),
                                                static_cast<int32_t>(header.size() - 1)));
        if (result < 0) return reportFailure("reading the header of message " + std::to_string(number), result);
        int32_t used = tevStatistics(kChannel, TEV_STAT_BUFFER_USED);
        if (used < 0) used = 0;
        std::string text(header.data(), static_cast<size_t>(used));
        size_t firstLine = text.find('\n');  // the server's status line
        text = firstLine == std::string::npos ? std::string() : text.substr(firstLine + 1);
        // Senders and subjects are shown as their writers meant them: encoded words decoded to UTF-8, the
        // sender's column counted in characters.
        const std::string from = fitColumns(decodeHeaderWords(headerValue(text, "From")), 32);
        printf("%4d %10d  %s  %s\n", number, size, from.c_str(),
               decodeHeaderWords(headerValue(text, "Subject")).c_str());
    }
    fflush(stdout);
    int32_t result = drive(tevClose(kChannel));
    if (result < 0) return reportFailure("closing the session", result);
    return kExitOk;
}

// Fetches one message undecoded: TOP with every line gives the message as the server holds it, dot-stuffing
// undone, after one status line.
static int fetchRaw(int32_t number, int32_t size, const std::string &path) {
    // Room for the status line, and a margin for servers that count a line end as one byte.
    int64_t room = static_cast<int64_t>(size) + size / 4 + 4096;
    if (room > INT32_MAX - 2) room = INT32_MAX - 2;
    std::vector<char> buffer(static_cast<size_t>(room) + 1);
    Progress progress("fetching", size, TEV_STAT_TEXT_READ);
    int32_t result = drive(tevGetEmailLines(kChannel, number, INT32_MAX, buffer.data(), static_cast<int32_t>(room)),
                           &progress);
    if (result < 0) return reportFailure("fetching message " + std::to_string(number), result);
    int32_t used = tevStatistics(kChannel, TEV_STAT_BUFFER_USED);
    if (used < 0) used = 0;
    if (used >= room) {
        fprintf(stderr, "tevmail: message %d is larger than the server announced (%d bytes)\n", number, size);
        return kExitFailed;
    }
    const char *begin = buffer.data();
    const char *end = begin + used;
    const char *body = static_cast<const char *>(memchr(begin, '\n', static_cast<size_t>(used)));
    body = body == nullptr ? end : body + 1;
    if (!writeFile(path, body, static_cast<size_t>(end - body))) {
        fprintf(stderr, "tevmail: cannot write '%s': %s\n", path.c_str(), strerror(errno));
        return kExitLocalFile;
    }
    return kGoOn;
}

int commandFetch(int argc, char **argv) {
    const char *command = "fetch";
    Options options;
    MailboxCommand pop3;
    // --new picks the messages itself: it needs no --number or --all.
    bool onlyNew = false;
    for (int i = 2; i < argc; ++i) onlyNew = onlyNew || std::string(argv[i]) == "--new";
    int status = parseMailboxCommand(command, kFetchHelp, argc, argv, kFetchOptions, !onlyNew, &options, &pop3);
    if (status >= 0) return status;
    IncrementalFetch incremental;
    incremental.onlyNew = options.has("--new");
    incremental.deleteAfter = options.has("--delete-after");
    if (incremental.onlyNew && options.has("--number")) return usageError(command, "give --new or --number, not both");
    std::string outDir = options.value("--out", ".");
    std::string attachDir = options.value("--attachments", outDir);
    bool raw = options.has("--raw");
    if (outDir.empty() || attachDir.empty()) return usageError(command, "--out and --attachments want a directory");
    if (outDir.size() > kMaxDirectory || attachDir.size() > kMaxDirectory) {
        return usageError(command, "--out and --attachments take at most 128 characters (try a relative path)");
    }
    for (const std::string &dir : {outDir, attachDir}) {
        if (!makeDirectories(dir)) {
            fprintf(stderr, "tevmail: cannot create the directory '%s': %s\n", dir.c_str(), strerror(errno));
            return kExitLocalFile;
        }
    }

    Library library;
    if (library.result() != 1) return reportFailure("starting the library", library.result());
    // Saved attachment names are reported joined by this separator; a line break cannot be part of one.
    tevIntegerParam(kChannel, TEV_ATTACH_SEPARATOR, '\n');
    if (options.has("--number-files")) tevIntegerParam(kChannel, TEV_NUMBER_FILES, 1);
    std::vector<int32_t> messages;
    status = openMailbox(pop3, &messages);
    if (status >= 0) return status;
    status = selectNewMessages(pop3, &incremental, &messages);
    if (status >= 0) return status;
    if (messages.empty()) printf(incremental.onlyNew ? "no new messages\n" : "no messages\n");

    for (int32_t number : messages) {
        int32_t size = messageSize(number);
        if (size < 0) return reportFailure("asking for the size of message " + std::to_string(number), size);
        std::string name = messageStem(incremental, number) + (raw ? ".eml" : ".txt");
        std::string path = joinPath(outDir, name);
        if (raw) {
            status = fetchRaw(number, size, path);
            if (status >= 0) return status;
            printf("message %d: %s\n", number, path.c_str());
            fflush(stdout);
            status = afterSaved(&incremental, number);
            if (status >= 0) return status;
            continue;
        }
        Progress progress("fetching", size, TEV_STAT_TOTAL_READ);
        int32_t result = drive(tevGetEmailFile(kChannel, number, name.c_str(), outDir.c_str(), attachDir.c_str()),
                               &progress);
        if (result < 0) return reportFailure("fetching message " + std::to_string(number), result);
        printf("message %d: %s\n", number, path.c_str());
        std::vector<char> saved(8192);
        int32_t length = tevDebug(kChannel, TEV_DEBUG_SAVED_FILES, saved.data(), static_cast<int32_t>(saved.size()));
        std::string list(saved.data(), length > 0 ? static_cast<size_t>(length) : 0);
        size_t start = 0;
        while (start < list.size()) {
            size_t end = list.find('\n', start);
            if (end == std::string::npos) end = list.size();
            if (end > start) printf("  attachment: %s\n", joinPath(attachDir, list.substr(start, end - start)).c_str());
            start = end + 1;
        }
        fflush(stdout);
        status = afterSaved(&incremental, number);
        if (status >= 0) return status;
    }
    int32_t result = drive(tevClose(kChannel));
    if (result < 0) return reportFailure("closing the session", result);
    return kExitOk;
}

int commandDelete(int argc, char **argv) {
    Options options;
    MailboxCommand pop3;
    int status = parseMailboxCommand("delete", kDeleteHelp, argc, argv, {}, true, &options, &pop3);
    if (status >= 0) return status;

    Library library;
    if (library.result() != 1) return reportFailure("starting the library", library.result());
    std::vector<int32_t> messages;
    status = openMailbox(pop3, &messages);
    if (status >= 0) return status;
    for (int32_t number : messages) {
        int32_t result = drive(tevDeleteEmail(kChannel, number));
        if (result < 0) return reportFailure("deleting message " + std::to_string(number), result);
    }
    // The server removes the messages only when the session ends with QUIT.
    int32_t result = drive(tevClose(kChannel));
    if (result < 0) {
        return reportFailure("ending the session (the messages may not have been deleted)", result);
    }
    printf("deleted %zu message%s\n", messages.size(), messages.size() == 1 ? "" : "s");
    return kExitOk;
}

}  // namespace tevmail
