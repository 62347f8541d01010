// What tevmail tells its user besides a command's own results: failures with the library's text, verbose step
// lines, and a progress bar for long transfers.
#pragma once

#include <stdint.h>

#include <string>

#include "options.h"

namespace tevmail {

// The library's text for a code, as one line: a server reply appended to it (for -36, -49 and -63) keeps its own
// CR LF, which becomes " | " between the reply's lines.
std::string errorText(int32_t code);

// Prints "tevmail: WHAT: TEXT (CODE)" and, when the failure came from a socket call, its own text and number.
// Returns kExitFailed, or kExitInterrupted for kInterrupted.
int reportFailure(const std::string &what, int32_t code);

// The server's last reply line, trimmed.
std::string lastReply();

// "tevmail: TEXT" on standard error with --verbose.
void verboseLine(const Common &common, const std::string &text);
// With --verbose: "encrypted: TLSv1.3 TLS_AES_256_GCM_SHA384" (protocol and cipher), or "not encrypted".
void verboseTls(const Common &common);

// A progress bar on standard error for operations that take a while: drawn only when standard error is a
// terminal and only after the first half second, so quick operations and scripts see nothing.
class Progress {
public:
    // `statistic` is the TEV_STAT_ counter that counts up to `total` bytes.
    Progress(const char *label, int64_t total, int32_t statistic);
    ~Progress() { finish(); }
    Progress(const Progress &) = delete;
    Progress &operator=(const Progress &) = delete;

    void update();
    void finish();  // clears the bar if it was drawn

private:
    const char *label_;
    int64_t total_;
    int32_t statistic_;
    double start_;
    double lastDraw_ = 0;
    bool enabled_;
    bool drawn_ = false;
};

}  // namespace tevmail
