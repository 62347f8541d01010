// The line-by-line fetch's handling of one received line, between the reader and the MIME decoder.
#include "pop3/fetch_line.h"

#include <cstring>

#include "frame/filewrite.h"
#include "frame/text.h"
#include "platform/platform.h"
#include "pop3/decoder.h"
#include "pop3/line_source.h"

namespace tev::pop3 {

namespace {

// Writes the line in replyBuffer (length bytes) to the message file; a quoted-printable part is decoded first.
// 0, or the failed write's result.
int32_t writeMessageLine(SessionRecord &rec, int32_t length) {
    if (rec.emailFile <= 0) return 0;
    const char *data = rec.replyBuffer;
    if (rec.partEncoding == kEncodingQuoted) {
        length = decodeQuotedPrintable(rec.replyBuffer, rec.workBuffer);
        data = rec.workBuffer;
    }
    if (length > 0) {
        int32_t rc = writeGathered(rec.emailFile, rec.messageWrites, data, length);
        if (rc < 0) return rc;
    }
    return 0;
}

}  // namespace

bool isEndLine(const char *line, int32_t length, bool anyLength) {
    return line[0] == '.' && line[1] != '.' && (anyLength || length <= 4);
}

int32_t unstuff(char *line, int32_t length) {
    if (length < 2 || line[0] != '.' || line[1] != '.') return length;
    std::memmove(line, line + 1, static_cast<size_t>(length));  // the NUL moves along
    return length - 1;
}

void composeEmailPath(SessionRecord &rec) {
    size_t n = copyText(rec.emailPath, rec.emailDirectory, kMaxDirectoryChars);
    if (n == 0 || rec.emailPath[n - 1] != '\\') appendText(rec.emailPath, "\\");
    appendText(rec.emailPath, rec.emailFileName);
}

int32_t closeFetchFiles(SessionRecord &rec) {
    flushPartText(rec);
    closeAttachment(rec);
    return closeGathered(rec.emailFile, rec.messageWrites);
}

// Line-start rules (status line, end line, unstuffing) apply only to a read that starts a line; the later parts
// of an over-long line are message data whatever they begin with.
int32_t takeFetchedLine(SessionRecord &rec, int32_t n, LineSource &source) {
    char *line = rec.replyBuffer;
    const bool endsLine = line[n - 1] == '\n';
    if (rec.midLine == kInsideStatusLine) {
        if (endsLine) rec.midLine = 0;
        return 0;
    }
    if (rec.midLine == 0) {
        if (rec.replyCode == 0) {
            rec.replyCode = line[0] == '+' ? 100 : 500;
            copyText(rec.lastReply, line, kMaxNameChars);
            // Only the server's own status line is kept out of the file; a negative one is kept as data.
            if (std::strncmp(line, "+OK", 3) == 0) {
                if (!endsLine) rec.midLine = kInsideStatusLine;
                return 0;
            }
        }
        if (isEndLine(line, n, false)) return 1;
        n = unstuff(line, n);
    }

    bool write = true;
    bool decoded = false;
    if (decodesLines(rec.decodeState)) {
        // midLine still describes this line while the decoder looks at it.
        write = decodeMimeLine(rec, source) > 0;
        decoded = true;
    }
    rec.midLine = endsLine ? 0 : kInsideLine;
    if (!write) return 0;
    // The decoder may have rewritten the line (encoded words); otherwise its bytes go out as received.
    int32_t length = decoded ? static_cast<int32_t>(boundedLength(rec.replyBuffer, sizeof rec.replyBuffer)) : n;
    addCount(rec.textBytesRead, static_cast<size_t>(length));
    return writeMessageLine(rec, length);
}

}  // namespace tev::pop3
