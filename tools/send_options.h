// The options of 'tevmail send' and their checks, and the attachment list the library takes.
#pragma once

#include <string>
#include <vector>

#include "addresses.h"
#include "options.h"

namespace tevmail {

const OptionTable &sendOptions();  // the options of 'send' besides commonOptions()

struct SendCommand {
    Common common;
    std::string from;     // normalised
    std::string to;       // normalised lists; cc and bcc may be ""
    std::string cc;
    std::string bcc;
    std::vector<Mailbox> envelope;  // To, then Cc, then Bcc: the order of the RCPT TO commands
    std::string replyTo;  // "" for none
    std::string subject;  // "" for none
    std::vector<std::string> headers;  // "Name: value" lines
    std::string user;                  // "" for no AUTH
    std::string password;
    bool haveToken = false;            // set before parseSend: an OAuth token stands in for the password
    bool html = false;
    bool hasAltText = false;
    std::string altText;
    bool textInline = false;   // the text came with --text (`text`), else --text-file names `textFile` ("-": stdin)
    std::string text;
    std::string textFile;
    std::vector<std::string> attachments;  // PATH or PATH|NAME, unchecked
    bool dryRun = false;                   // --dry-run: print what would be sent, send nothing
};

// Checks the options of 'send' and fills `out`. kGoOn, or kExitUsage with `problem` set.
int parseSend(const Options &options, const char *passwordFromEnvironment, SendCommand *out, std::string *problem);

// True for one line "Name: value" whose name is not empty and holds no blank.
bool isHeaderLine(const std::string &header);

// The file part of an --attach entry: all before the first '|'.
std::string attachmentPath(const std::string &entry);

// The first of ',' ';' TAB and 0x1F that no entry holds, to join the entries for the library; 0 when each is used.
char pickListSeparator(const std::vector<std::string> &entries);

// The entries joined by `separator`.
std::string joinList(const std::vector<std::string> &entries, char separator);

}  // namespace tevmail
