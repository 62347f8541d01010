// A prepared message (integer parameter 110): the application's text is the whole message, header included. It
// goes out after the envelope as it is: every line end (CR LF, LF or a lone CR) as CR LF, every line that begins
// with '.' stuffed by the data writer (a leading dot doubled), no line longer than 998 characters (RFC 5321
// 4.5.3.1.6). The library adds no header line, no MIME part and no attachment; the subject, the body mode and the
// attachment list of the send are not used. A NUL byte of a message file goes out as it is, like every other byte.
#include <cstring>

#include "engine/driver.h"
#include "frame/record.h"
#include "frame/text.h"
#include "frame/tracelog.h"
#include "platform/platform.h"
#include "smtp/compose.h"
#include "smtp/datawriter.h"
#include "smtp/textreader.h"
#include "tev32.h"

namespace tev {

using namespace sendstate;

namespace {

constexpr int32_t kLongestPreparedLine = 998;

// The bytes of the text taken so far: those read into the window less those still unread there (both counts wrap
// at 32 bits alike).
uint32_t consumedBytes(const SessionRecord &rec) {
    return static_cast<uint32_t>(rec.textBytesRead) - static_cast<uint32_t>(rec.textWindowFill - rec.textWindowPos);
}

// The next byte of the message (0 to 255), or -1 at its end. The text reader answers 0 for a NUL byte and for the
// end alike; a message sent as it is must not end at a NUL byte of its file, so whether a byte was taken decides.
int32_t nextMessageByte(SessionRecord &rec) {
    const uint32_t before = consumedBytes(rec);
    int32_t c = nextTextByte(rec);
    if (c == 0 && consumedBytes(rec) == before) return -1;
    return c;
}

void closePreparedFile(SessionRecord &rec) {
    if (rec.fileHandle == 0) return;
    platform::closeFile(rec.fileHandle);
    rec.fileHandle = 0;
}

}  // namespace

// 246: the text comes from memory, or from the file named after an '@'.
int32_t startPreparedMessage(SessionRecord &rec, uint32_t) {
    resetTextReader(rec);
    rec.pendingChar = 0;
    if (!rec.messageText) rec.messageText = emptyText;
    if (rec.messageText[0] == '@') {
        const char *name = rec.messageText + 1;
        logFormat(rec, "Opening message file [%s]\r\n", name);
        int32_t handle = platform::openForReading(name);
        if (handle < 1) return errorExit(rec, handle, TEV_E_CANNOT_OPEN_FILE);
        rec.fileHandle = handle;
        rec.textInMemory = 0;
    } else {
        rec.textInMemory = 1;
    }
    rec.nextState = kPreparedLine;
    return 0;
}

// 247: one line per step; at the end of the text, the end of the data.
int32_t sendPreparedLine(SessionRecord &rec, uint32_t now) {
    int32_t length = 0;
    int32_t c = nextMessageByte(rec);
    if (c < 0) {
        closePreparedFile(rec);
        rec.nextState = kEndOfData;
        return 0;
    }
    for (; c >= 0; c = nextMessageByte(rec)) {
        if (c == '\n') break;
        if (c == '\r') {
            // CR LF is one line end; a lone CR is one too, and the byte after it starts the next line.
            int32_t next = nextMessageByte(rec);
            if (next != '\n' && next >= 0) --rec.textWindowPos;  // the byte just read is still in the window
            break;
        }
        if (length == kLongestPreparedLine) {
            closePreparedFile(rec);
            return errorExit(rec, 0, TEV_E_LINE_TOO_LONG);
        }
        rec.commandBuffer[length++] = static_cast<char>(c);
    }
    rec.commandBuffer[length] = '\0';
    addToCounter(rec.textBytesSent, length + 2);
    int32_t rc = sendDataLine(rec, rec.commandBuffer, static_cast<size_t>(length), sizeof rec.commandBuffer);
    if (rc < 0) {
        closePreparedFile(rec);
        return failedSend(rec, rc);
    }
    // The line waits in the send queue: no readiness test before the next one.
    rec.waitUntil = timerAt(now, settings.lineDelay.get());
    rec.deadline = timerAt(now, rec.textInMemory ? settings.sendTimeout.get() : settings.responseTimeout.get());
    return 0;
}

}  // namespace tev
