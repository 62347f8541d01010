// Failures, verbose lines and the progress bar of tevmail.

#include "output.h"

#include <tev32.h>

#include <stdio.h>
#include <unistd.h>

#include "session.h"
#include "status.h"
#include "system.h"
#include "text.h"

namespace tevmail {

std::string errorText(int32_t code) {
    char buffer[4096];
    int32_t length = tevErrorText(kChannel, code, buffer, static_cast<int32_t>(sizeof buffer));
    if (length <= 0) return "error " + std::to_string(code);
    return oneLine(buffer, static_cast<size_t>(length));
}

int reportFailure(const std::string &what, int32_t code) {
    if (code == kInterrupted) {
        fprintf(stderr, "tevmail: %s: interrupted\n", what.c_str());
        return kExitInterrupted;
    }
    std::string line = "tevmail: " + what + ": " + errorText(code) + " (" + std::to_string(code) + ")";
    int32_t socketCode = tevStatistics(kChannel, TEV_STAT_SOCKET_ERROR);
    if (socketCode < 0 && socketCode != code) {
        line += "; " + errorText(socketCode) + " (" + std::to_string(socketCode) + ")";
    }
    fprintf(stderr, "%s\n", line.c_str());
    return kExitFailed;
}

std::string lastReply() {
    char buffer[256];
    int32_t length = tevDebug(kChannel, TEV_DEBUG_LAST_REPLY, buffer, static_cast<int32_t>(sizeof buffer));
    if (length <= 0) return std::string();
    return trim(std::string(buffer, static_cast<size_t>(length)));
}

void verboseLine(const Common &common, const std::string &text) {
    if (common.verbose) fprintf(stderr, "tevmail: %s\n", text.c_str());
}

void verboseTls(const Common &common) {
    if (!common.verbose) return;
    if (tevStatistics(kChannel, TEV_STAT_TLS) != 1) {
        verboseLine(common, "not encrypted");
        return;
    }
    char buffer[128];
    int32_t length = tevDebug(kChannel, TEV_DEBUG_TLS, buffer, static_cast<int32_t>(sizeof buffer));
    verboseLine(common, "encrypted: " + (length > 0 ? std::string(buffer, static_cast<size_t>(length)) : "TLS"));
}

Progress::Progress(const char *label, int64_t total, int32_t statistic)
    : label_(label), total_(total), statistic_(statistic), start_(nowSeconds()),
      enabled_(total > 0 && isatty(STDERR_FILENO) == 1) {}

void Progress::update() {
    if (!enabled_) return;
    double now = nowSeconds();
    if (now - start_ < 0.5 || now - lastDraw_ < 0.1) return;
    lastDraw_ = now;
    int64_t done = tevStatistics(kChannel, statistic_);
    if (done < 0) done = 0;
    if (done > total_) done = total_;
    const int width = 30;
    int filled = static_cast<int>(done * width / total_);
    std::string bar(static_cast<size_t>(filled), '#');
    bar.append(static_cast<size_t>(width - filled), '.');
    fprintf(stderr, "\r%-8s [%s] %3d%%  %s / %s\033[K", label_, bar.c_str(), static_cast<int>(done * 100 / total_),
            humanSize(done).c_str(), humanSize(total_).c_str());
    fflush(stderr);
    drawn_ = true;
}

void Progress::finish() {
    if (drawn_) {
        fputs("\r\033[K", stderr);
        fflush(stderr);
        drawn_ = false;
    }
}

}  // namespace tevmail
