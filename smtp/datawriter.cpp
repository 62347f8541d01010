// The data-phase writer: line form for application texts, and the dot-stuffing every message line goes through.
#include "smtp/datawriter.h"

#include <cstring>

#include "engine/transport.h"

namespace tev {

namespace {

// Appends text with every line break as CR LF; with `continued`, a blank after each break that is not followed
// by a blank or TAB already.
void appendLineForm(std::string &out, const char *text, bool continued) {
    if (!text) return;
    const char *p = text;
    for (;;) {
        const char *run = p;
        while (*p != '\0' && *p != '\r' && *p != '\n') ++p;
        out.append(run, static_cast<size_t>(p - run));
        if (*p == '\0') return;
        if (*p == '\r' && p[1] == '\n') ++p;
        ++p;
        out += "\r\n";
        if (continued && *p != ' ' && *p != '\t') out += ' ';
    }
}

// Number of lines in bytes that start with '.'.
size_t countDottedLines(const char *bytes, size_t length) {
    size_t count = 0;
    const char *p = bytes;
    const char *end = bytes + length;
    while (p < end) {
        if (*p == '.') ++count;
        const void *lf = std::memchr(p, '\n', static_cast<size_t>(end - p));
        if (!lf) break;
        p = static_cast<const char *>(lf) + 1;
    }
    return count;
}

}  // namespace

void appendHeaderValue(std::string &out, const char *value) { appendLineForm(out, value, true); }

void appendTextLines(std::string &out, const char *text) { appendLineForm(out, text, false); }

int32_t sendData(SessionRecord &rec, const char *bytes, size_t length) {
    size_t dotted = countDottedLines(bytes, length);
    if (dotted == 0) return sendMessageBytes(rec, bytes, static_cast<int32_t>(length));
    std::string stuffed;
    stuffed.reserve(length + dotted);
    bool lineStart = true;
    for (size_t i = 0; i < length; ++i) {
        if (lineStart && bytes[i] == '.') stuffed += '.';
        stuffed += bytes[i];
        lineStart = bytes[i] == '\n';
    }
    return sendMessageBytes(rec, stuffed.data(), static_cast<int32_t>(stuffed.size()));
}

int32_t sendDataText(SessionRecord &rec, const char *text) { return sendData(rec, text, std::strlen(text)); }

int32_t sendDataLine(SessionRecord &rec, char *buffer, size_t length, size_t capacity) {
    if (length + 2 > capacity) {
        std::string line(buffer, length);
        line += "\r\n";
        return sendData(rec, line);
    }
    // The line end is put into the buffer for the send and taken out again, so a text line costs no copy.
    const char saved = buffer[length + 1];
    buffer[length] = '\r';
    buffer[length + 1] = '\n';
    int32_t rc = sendData(rec, buffer, length + 2);
    buffer[length] = '\0';
    buffer[length + 1] = saved;
    return rc;
}

}  // namespace tev
