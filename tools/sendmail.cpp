// tevmail sendmail: sends a message that is already written, read from standard input, as it is (the library's
// prepared-message mode), the way cron, mail(1), mutt and git send-email hand mail to sendmail. Also what tevmail
// does when it is called by the name "sendmail" (a link to it).

#include <tev32.h>

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>  // STDIN_FILENO

#include <string>
#include <vector>

#include "auth_options.h"
#include "commands.h"
#include "config.h"
#include "dryrun.h"
#include "help.h"
#include "output.h"
#include "prepared_message.h"
#include "recipients.h"
#include "sendmail_exit.h"
#include "sendmail_options.h"
#include "session.h"
#include "status.h"
#include "system.h"

namespace tevmail {

namespace {

const char kCommand[] = "sendmail";

int usage(const std::string &problem) {
    fprintf(stderr, "tevmail sendmail: %s\nRun 'tevmail sendmail --help' for the options.\n", problem.c_str());
    return kSendmailUsage;
}

// Reads standard input through `reader` into `temporary`. kGoOn, or the exit status after the message.
int readMessage(MessageReader *reader, TemporaryFile *temporary) {
    auto cannotWrite = []() {
        fprintf(stderr, "tevmail sendmail: cannot write a temporary file: %s\n", strerror(errno));
        return static_cast<int>(kSendmailIoError);
    };
    // Without this check a closed standard input would be the temporary file's descriptor, read back empty.
    if (!isOpenDescriptor(STDIN_FILENO)) {
        fputs("tevmail sendmail: standard input is closed; the message is read from it\n", stderr);
        return kSendmailIoError;
    }
    if (!temporary->openForWriting()) return cannotWrite();
    std::vector<char> chunk(65536);
    bool good = true;
    while (good && !reader->done()) {
        long n = readSome(STDIN_FILENO, chunk.data(), chunk.size());
        if (n < 0) {
            fprintf(stderr, "tevmail sendmail: cannot read standard input: %s\n", strerror(errno));
            return kSendmailIoError;
        }
        if (n == 0) break;
        good = reader->feed(chunk.data(), static_cast<size_t>(n)) && temporary->append(reader->takeOutput());
        if (!good && reader->problem().empty()) return cannotWrite();
    }
    if (good && !reader->finish()) good = false;
    if (!good) {
        fprintf(stderr, "tevmail sendmail: the message cannot be sent as it is: %s\n", reader->problem().c_str());
        return kSendmailData;
    }
    if (!temporary->append(reader->takeOutput()) || !temporary->finishWriting()) return cannotWrite();
    return kGoOn;
}

// Remembers the last state of an operation and tells the recipient trail.
class StepWatch : public StateWatch {
public:
    explicit StepWatch(RecipientTrail *trail) : trail_(trail) {}
    void onState(int32_t state) override {
        if (trail_ != nullptr) trail_->onState(state);
        if (state != kDriverWait) last = state;
    }
    int32_t last = 0;

private:
    RecipientTrail *trail_;
};

// Prints the failure as tevmail does everywhere and picks the status sendmail's callers understand.
int failed(const std::string &what, int32_t code, int32_t lastState) {
    if (code == kInterrupted) return reportFailure(what, code);
    reportFailure(what, code);
    SendFailure failure;
    failure.code = code;
    failure.replyCode = tevStatistics(kChannel, TEV_STAT_REPLY_CODE);
    failure.socketCode = tevStatistics(kChannel, TEV_STAT_SOCKET_ERROR);
    failure.lastState = lastState;
    return sendmailExitStatus(failure);
}

// The addresses as the library's list: "<a@x>, <b@y>" (only the envelope needs them; no header is composed).
std::string envelopeList(const std::vector<Mailbox> &recipients) {
    std::string list;
    for (const Mailbox &mailbox : recipients) {
        if (!list.empty()) list += ", ";
        list += "<" + mailbox.address + ">";
    }
    return list;
}

}  // namespace

int commandSendmail(int argc, char **argv) {
    const OptionTable known = joinTables({sendmailOptions(), authOptions(), commonOptions()});
    std::vector<std::string> words, args;
    for (int i = 2; i < argc; ++i) words.push_back(argv[i]);
    std::string problem;
    if (!translateSendmailArguments(words, known, &args, &problem)) return usage(problem);
    if (accountArguments(kCommand, known, &args) >= 0) return kSendmailConfig;
    Options options;
    switch (parseArguments(args, known, &options, &problem)) {
    case Parsed::kHelp:
        fputs(kSendmailHelp, stdout);
        return kSendmailOk;
    case Parsed::kBad:
        return usage(problem);
    case Parsed::kGoOn:
        break;
    }
    // --dry-run needs no server: the library talks to tevmail's own loopback listener instead.
    if (options.has("--dry-run") && !options.has("--server")) options.add("--server", "127.0.0.1");
    SendmailCommand command;
    if (parseSendmail(options, getenv(kPasswordVariable), &command, &problem) >= 0) return usage(problem);
    AuthChoice auth;
    if (parseAuth(options, getenv(kOAuthTokenVariable), &auth, &problem) >= 0) return usage(problem);

    // The whole message is read and checked before anything connects: a message that cannot go out as it is
    // fails here (65), never in the middle of the data.
    MessageReader reader(!command.ignoreDots);
    TemporaryFile temporary;
    int status = readMessage(&reader, &temporary);
    if (status >= 0) return status;
    if (reader.ignoredAfterDot()) {
        fprintf(stderr, "tevmail sendmail: warning: a line '.' ended the message; what followed it is not sent "
                        "(-i sends it too)\n");
    }
    std::string sender = command.from.empty() ? headerSender(reader.fields()) : command.from;
    if (sender.empty()) return usage("no sender: give -f FROM (or 'from' in the account), or a From field");
    // Local names ("root") get the sender's domain; only then is it known which addresses are the same.
    std::vector<Mailbox> given = command.recipients, recipients;
    qualifyAddresses(sender, &given);
    addRecipients(given, &recipients);
    if (command.readRecipients) {
        std::vector<Mailbox> named;
        if (!headerRecipients(reader.fields(), &named, &problem)) {
            fprintf(stderr, "tevmail sendmail: %s\n", problem.c_str());
            return kSendmailData;
        }
        qualifyAddresses(sender, &named);
        addRecipients(named, &recipients);
    }
    if (recipients.empty()) {
        if (command.readRecipients) {
            fputs("tevmail sendmail: the message names no recipient in To, Cc or Bcc\n", stderr);
            return kSendmailData;
        }
        return usage("no recipient: name them, or give -t to take them from the message");
    }

    DryRunServer dryRun;
    if (command.dryRun) {
        if (!dryRun.start()) {
            fprintf(stderr, "tevmail sendmail: cannot listen on 127.0.0.1 for --dry-run: %s\n", strerror(errno));
            return kSendmailIoError;
        }
        command.common.server.host = "127.0.0.1";
        command.common.server.port = dryRun.port();
        command.common.server.shown = "the dry run (127.0.0.1:" + std::to_string(dryRun.port()) + ")";
        command.user.clear();
        command.password.clear();
        auth = AuthChoice();
    }
    const Common &common = command.common;

    Library library;
    if (library.result() != 1) {
        reportFailure("starting the library", library.result());
        return kSendmailOsError;
    }
    if (applyCommon(common) >= 0) return kSendmailIoError;
    tevIntegerParam(kChannel, TEV_SMTP_PORT, common.server.port);
    const int32_t tlsMode = applyTls(common, !command.user.empty());
    if (tlsMode == kTlsStarttls || tlsMode == kTlsIfOffered) tevIntegerParam(kChannel, TEV_USE_EHLO, 1);
    if (!command.user.empty()) {
        tevIntegerParam(kChannel, TEV_USE_EHLO, 1);
        tevStringParam(kChannel, TEV_AUTH_USER, command.user.c_str());
        tevStringParam(kChannel, TEV_AUTH_PASSWORD, command.password.c_str());
        tevIntegerParam(kChannel, TEV_REQUIRE_AUTH, 1);
    }
    if (!auth.mechanisms.empty()) tevStringParam(kChannel, TEV_AUTH_MECHANISMS, auth.mechanisms.c_str());
    if (!auth.token.empty()) tevStringParam(kChannel, TEV_OAUTH_TOKEN, auth.token.c_str());

    verboseLine(common, "connecting to " + common.server.shown);
    StepWatch connectSteps(nullptr);
    const std::string from = "<" + sender + ">";
    int32_t result = drive(tevSmtpConnect(kChannel, common.server.host.c_str(), from.c_str(), nullptr), nullptr,
                           &connectSteps);
    if (result < 0) return failed("connecting to SMTP server " + common.server.shown, result, connectSteps.last);
    verboseLine(common, "connected: " + lastReply());
    verboseTls(common);

    tevIntegerParam(kChannel, TEV_PREPARED_MESSAGE, 1);
    const std::string message = "@" + temporary.path();
    RecipientTrail trail;
    StepWatch sendSteps(&trail);
    Progress progress("sending", readableFileSize(temporary.path()), TEV_STAT_TOTAL_READ);
    const std::string list = envelopeList(recipients);
    result = drive(tevSendEmail(kChannel, list.c_str(), nullptr, nullptr, nullptr, message.c_str(), nullptr),
                   &progress, &sendSteps);
    if (result < 0) return failed(sendingWhat(trail.refused(recipients)), result, sendSteps.last);
    verboseLine(common, "accepted: " + lastReply());

    result = drive(tevClose(kChannel));
    if (command.dryRun) {
        dryRun.finish();
        printf("%s\n%s", dryRun.envelope().c_str(), dryRun.message().c_str());
        fflush(stdout);
        return kSendmailOk;
    }
    if (result == kInterrupted) return reportFailure("closing the session", result);
    if (result < 0) {
        // The server has the message already; only the goodbye went wrong.
        fprintf(stderr, "tevmail: warning: the message was accepted, but closing the session failed: %s (%d)\n",
                errorText(result).c_str(), result);
    }
    return kSendmailOk;
}

}  // namespace tevmail
