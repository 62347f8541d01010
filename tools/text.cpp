// Text helpers of tevmail: trimming, line checks, one-line library texts, header field values, sizes for people.

#include "text.h"

#include <stdio.h>
#include <string.h>
#include <strings.h>

namespace tevmail {

std::string trim(const std::string &text) {
    size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos) return std::string();
    size_t end = text.find_last_not_of(" \t");
    return text.substr(begin, end - begin + 1);
}

bool hasLineBreak(const std::string &text) { return text.find_first_of("\r\n") != std::string::npos; }

std::string oneLine(const char *text, size_t length) {
    std::string line;
    bool pendingBreak = false;
    for (size_t i = 0; i < length; ++i) {
        char c = text[i];
        if (c == '\r') continue;
        if (c == '\n') {
            pendingBreak = true;
            continue;
        }
        if (pendingBreak) {
            line += " | ";
            pendingBreak = false;
        }
        line += c;
    }
    return trim(line);
}

std::string headerValue(const std::string &header, const char *name) {
    size_t nameLength = strlen(name);
    size_t pos = 0;
    while (pos < header.size()) {
        size_t end = header.find('\n', pos);
        if (end == std::string::npos) end = header.size();
        std::string line = header.substr(pos, end - pos);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) break;  // end of the header
        if (line.size() > nameLength && strncasecmp(line.c_str(), name, nameLength) == 0 &&
            line[nameLength] == ':') {
            std::string value = line.substr(nameLength + 1);
            // continuation lines start with a blank
            size_t next = end + 1;
            while (next < header.size() && (header[next] == ' ' || header[next] == '\t')) {
                size_t nextEnd = header.find('\n', next);
                if (nextEnd == std::string::npos) nextEnd = header.size();
                std::string more = header.substr(next, nextEnd - next);
                if (!more.empty() && more.back() == '\r') more.pop_back();
                value += " " + trim(more);
                next = nextEnd + 1;
            }
            return trim(value);
        }
        pos = end + 1;
    }
    return std::string();
}

std::string humanSize(int64_t bytes) {
    char text[32];
    if (bytes < 1024) {
        snprintf(text, sizeof text, "%lld B", static_cast<long long>(bytes));
    } else if (bytes < 1024 * 1024) {
        snprintf(text, sizeof text, "%.1f KiB", static_cast<double>(bytes) / 1024.0);
    } else {
        snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1024.0 * 1024.0));
    }
    return text;
}

}  // namespace tevmail
