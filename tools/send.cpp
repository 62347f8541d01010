// tevmail send: one message over SMTP, with the text from the command line, a file or standard input, and
// attachments checked before the library connects.

#include <tev32.h>

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "commands.h"
#include "dryrun.h"
#include "help.h"
#include "output.h"
#include "auth_options.h"
#include "recipients.h"
#include "send_options.h"
#include "session.h"
#include "status.h"
#include "system.h"

namespace tevmail {

// The message text as the library takes it: in memory, or "@path" for a file. A text of our own that starts with
// '@' would be taken for a file name, and standard input has no name: both go through `temporary`.
// kGoOn with `message` and `textSize` set, else kExitLocalFile after the message.
static int prepareText(const SendCommand &send, TemporaryFile *temporary, std::string *message, int64_t *textSize) {
    if (send.textInline) {
        *message = send.text;
        *textSize = static_cast<int64_t>(message->size());
        if (!message->empty() && (*message)[0] == '@') {
            if (!temporary->create(*message)) {
                fprintf(stderr, "tevmail: cannot write a temporary file: %s\n", strerror(errno));
                return kExitLocalFile;
            }
            *message = "@" + temporary->path();
        }
        return kGoOn;
    }
    std::string path = send.textFile;
    if (path == "-") {
        std::string text;
        if (!readAll(STDIN_FILENO, &text)) {
            fprintf(stderr, "tevmail: cannot read standard input: %s\n", strerror(errno));
            return kExitLocalFile;
        }
        if (!temporary->create(text)) {
            fprintf(stderr, "tevmail: cannot write a temporary file: %s\n", strerror(errno));
            return kExitLocalFile;
        }
        path = temporary->path();
    }
    *textSize = readableFileSize(path);
    if (*textSize < 0) {
        fprintf(stderr, "tevmail: cannot read the text file '%s': %s\n", path.c_str(), strerror(errno));
        return kExitLocalFile;
    }
    *message = "@" + path;
    return kGoOn;
}

// Points the send at the dry-run listener; no authentication is tried there. kGoOn or the exit status.
static int startDryRun(SendCommand *send, DryRunServer *server) {
    if (!server->start()) {
        fprintf(stderr, "tevmail: cannot listen on 127.0.0.1 for --dry-run: %s\n", strerror(errno));
        return kExitLocalFile;
    }
    send->common.server.host = "127.0.0.1";
    send->common.server.port = server->port();
    send->common.server.shown = "the dry run (127.0.0.1:" + std::to_string(server->port()) + ")";
    send->user.clear();
    send->password.clear();
    return kGoOn;
}

// Ends the dry-run session and prints the envelope, a blank line and the message.
static int printDryRun(DryRunServer *server) {
    drive(tevClose(kChannel));
    server->finish();
    printf("%s\n%s", server->envelope().c_str(), server->message().c_str());
    fflush(stdout);
    return kExitOk;
}

int commandSend(int argc, char **argv) {
    const char *command = "send";
    Options options;
    int status = parseOptions(command, kSendHelp, argc, argv, joinTables({sendOptions(), authOptions(), commonOptions()}), &options);
    if (status >= 0) return status;
    // --dry-run needs no server: the library talks to tevmail's own loopback listener instead.
    if (options.has("--dry-run") && !options.has("--server")) options.add("--server", "127.0.0.1");
    SendCommand send;
    std::string problem;
    AuthChoice auth;
    if (parseAuth(options, getenv(kOAuthTokenVariable), &auth, &problem) >= 0) return usageError(command, problem);
    send.haveToken = !auth.token.empty();
    if (parseSend(options, getenv(kPasswordVariable), &send, &problem) >= 0) return usageError(command, problem);
    DryRunServer dryRun;
    if (send.dryRun) {
        status = startDryRun(&send, &dryRun);
        if (status >= 0) return status;
    }
    const Common &common = send.common;

    TemporaryFile temporary;
    std::string message;
    int64_t textSize = 0;
    status = prepareText(send, &temporary, &message, &textSize);
    if (status >= 0) return status;

    // Attachments: each must be readable now (a missing file found by the library would end the send after the
    // header). The list separator is one that no entry contains.
    int64_t attachmentBytes = 0;
    for (const std::string &entry : send.attachments) {
        std::string path = attachmentPath(entry);
        if (path.empty()) return usageError(command, "--attach wants PATH or PATH|NAME, not '" + entry + "'");
        int64_t size = readableFileSize(path);
        if (size < 0) {
            fprintf(stderr, "tevmail: cannot read the attachment '%s': %s\n", path.c_str(), strerror(errno));
            return kExitLocalFile;
        }
        attachmentBytes += size;
    }
    char listSeparator = pickListSeparator(send.attachments);
    if (listSeparator == 0) return usageError(command, "attachment names use every list separator tevmail knows");
    std::string attachmentList = joinList(send.attachments, listSeparator);

    Library library;
    if (library.result() != 1) return reportFailure("starting the library", library.result());
    status = applyCommon(common);
    if (status >= 0) return status;
    tevIntegerParam(kChannel, TEV_SMTP_PORT, common.server.port);
    tevIntegerParam(kChannel, TEV_ATTACH_SEPARATOR, listSeparator);
    const int32_t tlsMode = applyTls(common, !send.user.empty());
    // STARTTLS is offered in the EHLO reply only: asking for it greets with EHLO even without AUTH.
    if (tlsMode == kTlsStarttls || tlsMode == kTlsIfOffered) tevIntegerParam(kChannel, TEV_USE_EHLO, 1);
    if (!send.user.empty()) {
        tevIntegerParam(kChannel, TEV_USE_EHLO, 1);
        tevStringParam(kChannel, TEV_AUTH_USER, send.user.c_str());
        tevStringParam(kChannel, TEV_AUTH_PASSWORD, send.password.c_str());
        // Asked to authenticate, never send without it: no usable mechanism fails the connect (-83).
        tevIntegerParam(kChannel, TEV_REQUIRE_AUTH, 1);
    }
    if (!auth.mechanisms.empty()) tevStringParam(kChannel, TEV_AUTH_MECHANISMS, auth.mechanisms.c_str());
    if (!auth.token.empty()) tevStringParam(kChannel, TEV_OAUTH_TOKEN, auth.token.c_str());

    verboseLine(common, "connecting to " + common.server.shown);
    int32_t result = drive(tevSmtpConnect(kChannel, common.server.host.c_str(), send.from.c_str(),
                                          send.replyTo.empty() ? nullptr : send.replyTo.c_str()));
    if (result < 0) return reportFailure("connecting to SMTP server " + common.server.shown, result);
    verboseLine(common, "connected: " + lastReply());
    verboseTls(common);

    if (send.html) tevIntegerParam(kChannel, TEV_BODY_MODE, 2);
    if (send.hasAltText) tevStringParam(kChannel, TEV_ALTERNATE_TEXT, send.altText.c_str());
    for (const std::string &header : send.headers) tevStringParam(kChannel, TEV_ADD_HEADER_LINE, header.c_str());

    Progress progress("sending", textSize + attachmentBytes, TEV_STAT_TOTAL_READ);
    RecipientTrail trail;
    auto orNull = [](const std::string &text) { return text.empty() ? nullptr : text.c_str(); };
    result = drive(tevSendEmail(kChannel, send.to.c_str(), orNull(send.cc), orNull(send.bcc), orNull(send.subject),
                                message.c_str(), orNull(attachmentList)),
                   &progress, &trail);
    if (result < 0) return reportFailure(sendingWhat(trail.refused(send.envelope)), result);
    verboseLine(common, "accepted: " + lastReply());
    if (send.dryRun) return printDryRun(&dryRun);

    result = drive(tevClose(kChannel));
    if (result == kInterrupted) return reportFailure("closing the session", result);
    if (result < 0) {
        // The server has the message already; only the goodbye went wrong.
        fprintf(stderr, "tevmail: warning: the message was accepted, but closing the session failed: %s (%d)\n",
                errorText(result).c_str(), result);
    }
    return kExitOk;
}

}  // namespace tevmail
