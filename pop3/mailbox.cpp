// POP3 mailbox operations: STAT, LIST, DELE, TOP into a buffer, RETR into a file (raw or through the MIME
// decoder), UIDL; the exports that start them and the states 307-321.  RFC 1939: multi-line replies end with a
// lone "." line, and a line that starts with "." is sent with one more "." which the reader takes off again.
#include <cstring>

#include "engine/transport.h"
#include "frame/slots.h"
#include "frame/tracelog.h"
#include "pop3/decoder.h"
#include "pop3/session.h"
#include "tev32.h"

namespace tev::pop3 {

namespace {

// Room of one read: a longer line arrives in parts.
constexpr int32_t kLineRoom = 1024;
// Raw fetch chunk; replyBuffer also takes the byte readRaw looks at behind it.
constexpr int32_t kRawChunk = 2048;
static_assert(kRawChunk + 1 <= static_cast<int32_t>(kBigBufferSize), "raw chunk must fit replyBuffer");
static_assert(kEmailPathSize >= 2 * kMaxNameChars + 2, "directory, separator and file name must fit emailPath");
constexpr int32_t kSlotTopBuffer = 8;

constexpr char kInsideLine = 1;
constexpr char kInsideStatusLine = 2;

// The statistics counters wrap like the 32-bit counters they are, without signed overflow.
void addCount(int32_t &counter, int32_t amount) {
    counter = static_cast<int32_t>(static_cast<uint32_t>(counter) + static_cast<uint32_t>(amount));
}

// The rest of a long line may take four read time-outs.
int32_t longLineWait() {
    int64_t ms = static_cast<int64_t>(settings.readTimeout.get()) * 4;
    return ms > INT32_MAX ? INT32_MAX : static_cast<int32_t>(ms);
}

// One line (or part of a longer one) of a multi-line reply into replyBuffer: its length, 0 when nothing came,
// -1 when the connection closed, another negative code when the read failed.
int32_t readReplyLine(SessionRecord &rec, int32_t furtherWaitMs) {
    const int32_t wait = settings.readTimeout.get();
    if (!waitReadable(rec, wait)) return 0;
    return readLine(rec, rec.replyBuffer, kLineRoom, wait, furtherWaitMs);
}

// The terminating "." line.  Only TOP and RETR insist on a short line; a UIDL list ends at any "." line.
bool isEndLine(const char *line, int32_t length, bool anyLength) {
    return line[0] == '.' && line[1] != '.' && (anyLength || length <= 4);
}

// Takes off the "." the server put in front of a line that starts with "."; returns the new length.
int32_t unstuff(char *line, int32_t length) {
    if (length < 2 || line[0] != '.' || line[1] != '.') return length;
    std::memmove(line, line + 1, static_cast<size_t>(length));  // the NUL moves along
    return length - 1;
}

// Copies a line into the TOP or UIDL destination as far as it has room; what does not fit is dropped.
void storeInUserBuffer(SessionRecord &rec, const char *line, int32_t length) {
    if (!rec.userBuffer || rec.userBufferSize <= 0 || rec.userBufferUsed >= rec.userBufferSize) return;
    int32_t room = rec.userBufferSize - rec.userBufferUsed;
    int32_t take = length < room ? length : room;
    std::memcpy(rec.userBuffer + rec.userBufferUsed, line, static_cast<size_t>(take));
    rec.userBufferUsed += take;
}

// Finishes a fetch's files: the attachment being written is recorded with its note, the message file closed.
void closeFetchFiles(SessionRecord &rec) {
    closeAttachment(rec);
    if (rec.emailFile != 0) {
        platform::closeFile(rec.emailFile);
        rec.emailFile = 0;
    }
}

// Reads a status reply when one is waiting; false when nothing has come yet.  Its result is left to the caller.
bool readStatusIfWaiting(SessionRecord &rec, int32_t &result) {
    if (!waitReadable(rec, 0)) return false;
    result = readPop3Reply(rec);
    return true;
}

// ---------------------------------------------------------------- STAT, DELE, LIST

// 307: "STAT".
int32_t sendStat(SessionRecord &rec, uint32_t now) {
    copyText(rec.commandBuffer, "STAT");
    rec.messageCount = 0;
    if (int32_t rc = sendCommand(rec, TEV_E_READ)) return rc;
    rec.nextState = 308;
    armStepDelay(rec, now);
    armReplyTime(rec, now);
    return 0;
}

// 308: "+OK count size"; anything else leaves the count at 0.
int32_t readStatReply(SessionRecord &rec, uint32_t) {
    int32_t rc;
    if (!readStatusIfWaiting(rec, rc)) return 0;
    if (rc == 0 && boundedLength(rec.replyBuffer, sizeof rec.replyBuffer) > 4) {
        rec.messageCount = parseDecimal(rec.replyBuffer + 4);
    }
    rec.nextState = 0;
    return 0;
}

// 315: "DELE n".
int32_t sendDele(SessionRecord &rec, uint32_t now) {
    formatText(rec.commandBuffer, sizeof rec.commandBuffer, "DELE %d", static_cast<int>(rec.messageNumber));
    if (int32_t rc = sendCommand(rec, TEV_E_READ)) return rc;
    rec.nextState = 316;
    armStepDelay(rec, now);
    armReplyTime(rec, now);
    return 0;
}

// 316: the reply to DELE is not judged: a refused deletion must not end the session, whose deletions would be
// undone with it.
int32_t readDeleReply(SessionRecord &rec, uint32_t) {
    int32_t rc;
    if (!readStatusIfWaiting(rec, rc)) return 0;
    rec.nextState = 0;
    return 0;
}

// 317: "LIST n".
int32_t sendList(SessionRecord &rec, uint32_t now) {
    formatText(rec.commandBuffer, sizeof rec.commandBuffer, "LIST %d", static_cast<int>(rec.messageNumber));
    rec.messageSize = 0;
    if (int32_t rc = sendCommand(rec, TEV_E_READ)) return rc;
    rec.nextState = 318;
    armStepDelay(rec, now);
    armReplyTime(rec, now);
    return 0;
}

// 318: "+OK n size"; the size follows the second blank.  Anything else leaves the size at 0.
int32_t readListReply(SessionRecord &rec, uint32_t) {
    int32_t rc;
    if (!readStatusIfWaiting(rec, rc)) return 0;
    if (rc == 0) {
        const char *first = std::strchr(rec.replyBuffer, ' ');
        const char *second = first ? std::strchr(first + 1, ' ') : nullptr;
        if (second) rec.messageSize = parseDecimal(second + 1);
    }
    rec.nextState = 0;
    return 0;
}

// ---------------------------------------------------------------- RETR into a file

// emailPath = directory, '\' unless the directory already ends with one, file name.
void composeEmailPath(SessionRecord &rec) {
    size_t n = copyText(rec.emailPath, rec.emailDirectory, kMaxDirectoryChars);
    if (n == 0 || rec.emailPath[n - 1] != '\\') appendText(rec.emailPath, "\\");
    appendText(rec.emailPath, rec.emailFileName);
}

// 310: create the message file, then "RETR n".
int32_t sendRetr(SessionRecord &rec, uint32_t now) {
    composeEmailPath(rec);
    logFormat(rec, "Saving email to '%s'\r\n", rec.emailPath);
    int32_t handle = platform::createFile(rec.emailPath, false, true);
    if (handle <= 0) {
        rec.emailFile = 0;
        return errorExit(rec, 0, TEV_E_CANNOT_CREATE_FILE);
    }
    rec.emailFile = handle;
    // The first line that comes back is the status line; replyCode 0 marks it as still awaited.
    rec.replyCode = 0;
    rec.midLine = 0;
    formatText(rec.commandBuffer, sizeof rec.commandBuffer, "RETR %d", static_cast<int>(rec.messageNumber));
    if (int32_t rc = sendCommand(rec, TEV_E_READ)) return rc;
    if (rec.decodeState == 1) {
        rec.nextState = 309;
        rec.waitUntil = 0;
    } else {
        rec.nextState = 312;
        armStepDelay(rec, now);
    }
    armReplyTime(rec, now);
    return 0;
}

// 309: raw fetch: every byte goes to the file until the server falls silent for readTimeout or closes.
int32_t fetchRaw(SessionRecord &rec, uint32_t now) {
    armReplyTime(rec, now);
    if (!waitReadable(rec, settings.readTimeout.get())) {
        rec.nextState = 313;
        return 0;
    }
    int32_t n = readRaw(rec, rec.replyBuffer, kRawChunk);
    if (n < 0) {
        logText(rec, "[EOF1]\r\n");
        rec.nextState = 313;
        return 0;
    }
    addCount(rec.textBytesRead, n);
    if (n > 0 && rec.emailFile > 0) {
        int32_t written = platform::writeFile(rec.emailFile, rec.replyBuffer, n);
        if (written > 0) addCount(rec.textBytesSent, written);
    }
    return 0;
}

// Writes the line in replyBuffer (length bytes) to the message file; a quoted-printable part is decoded first.
int32_t writeMessageLine(SessionRecord &rec, int32_t length) {
    if (rec.emailFile <= 0) return 0;
    const char *data = rec.replyBuffer;
    if (rec.partEncoding == 3) {
        length = decodeQuotedPrintable(rec.replyBuffer, rec.workBuffer);
        data = rec.workBuffer;
    }
    if (length > 0) {
        int32_t rc = platform::writeFile(rec.emailFile, data, length);
        if (rc < 0) return errorExit(rec, 0, rc);
    }
    return 0;
}

// 312: one line of the message.  Line-start rules (status line, end line, unstuffing) apply only to a read
// that starts a line; the later parts of an over-long line are message data whatever they begin with.
int32_t fetchLine(SessionRecord &rec, uint32_t now) {
    int32_t n = readReplyLine(rec, longLineWait());
    if (n == 0) return 0;
    if (n == -1) {
        // The message is incomplete: what arrived stays on disk, but the fetch has failed.
        logText(rec, "[CLOSE]\r\n");
        closeFetchFiles(rec);
        return errorExit(rec, 0, TEV_E_SOCKET_CLOSED);
    }
    if (n < 0) return errorExit(rec, 0, n);
    armReplyTime(rec, now);

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
        if (isEndLine(line, n, false)) {
            rec.nextState = 313;
            return 0;
        }
        n = unstuff(line, n);
    }

    bool write = true;
    bool decoded = false;
    if (rec.decodeState >= 2 && rec.decodeState <= 9) {
        // midLine still describes this line while the decoder looks at it.
        write = decodeMimeLine(rec) > 0;
        decoded = true;
    }
    rec.midLine = endsLine ? 0 : kInsideLine;
    if (!write) return 0;
    // The decoder may have rewritten the line (encoded words); otherwise its bytes go out as received.
    int32_t length = decoded ? static_cast<int32_t>(boundedLength(rec.replyBuffer, sizeof rec.replyBuffer)) : n;
    addCount(rec.textBytesRead, length);
    return writeMessageLine(rec, length);
}

// 313: the end of a fetch.
int32_t endFetch(SessionRecord &rec, uint32_t) {
    logText(rec, "[CLOSE]\r\n");
    closeFetchFiles(rec);
    rec.nextState = 0;
    return 0;
}

// ---------------------------------------------------------------- TOP and UIDL into a buffer

// 311: "TOP n lines".
int32_t sendTop(SessionRecord &rec, uint32_t now) {
    logText(rec, "[Saving to buffer]\r\n");
    formatText(rec.commandBuffer, sizeof rec.commandBuffer, "TOP %d %d", static_cast<int>(rec.messageNumber),
               static_cast<int>(rec.topLines));
    rec.midLine = 0;
    if (int32_t rc = sendCommand(rec, TEV_E_READ)) return rc;
    rec.nextState = 314;
    armStepDelay(rec, now);
    armReplyTime(rec, now);
    return 0;
}

// 314: one line of the TOP text: status line, header and body lines, each with its line end.
int32_t readTopLine(SessionRecord &rec, uint32_t now) {
    int32_t n = readReplyLine(rec, settings.readTimeout.get());
    if (n == 0) return 0;
    if (n < 0) return errorExit(rec, 0, n);  // -1: closed before the end line, the text is incomplete
    armReplyTime(rec, now);
    char *line = rec.replyBuffer;
    const bool endsLine = line[n - 1] == '\n';
    if (rec.midLine == 0) {
        if (isEndLine(line, n, false)) {
            rec.nextState = 313;
            return 0;
        }
        n = unstuff(line, n);
    }
    rec.midLine = endsLine ? 0 : kInsideLine;
    addCount(rec.textBytesRead, n);
    storeInUserBuffer(rec, line, n);
    return 0;
}

// 320: "UIDL n", or "UIDL" for the whole list.
int32_t sendUidl(SessionRecord &rec, uint32_t now) {
    if (rec.messageNumber >= 0) {
        formatText(rec.commandBuffer, sizeof rec.commandBuffer, "UIDL %d", static_cast<int>(rec.messageNumber));
    } else {
        copyText(rec.commandBuffer, "UIDL");
    }
    rec.midLine = 0;
    if (int32_t rc = sendCommand(rec, TEV_E_WRITE)) return rc;
    rec.nextState = 321;
    armStepDelay(rec, now);
    armReplyTime(rec, now);
    return 0;
}

// 321: one line of the UIDL reply; the buffer holds a NUL-terminated text after every line.
int32_t readUidlLine(SessionRecord &rec, uint32_t now) {
    int32_t n = readReplyLine(rec, longLineWait());
    if (n == 0) return 0;
    if (n < 0) return errorExit(rec, 0, n);
    char *line = rec.replyBuffer;
    const bool endsLine = line[n - 1] == '\n';
    if (rec.midLine == 0) {
        if (isEndLine(line, n, true)) {
            if (rec.userBuffer && rec.userBufferUsed < rec.userBufferSize) rec.userBuffer[rec.userBufferUsed] = '\0';
            rec.nextState = 0;
            return 0;
        }
        n = unstuff(line, n);
    }
    rec.midLine = endsLine ? 0 : kInsideLine;
    if (rec.userBuffer && rec.userBufferSize > 0) {
        storeInUserBuffer(rec, line, n);
        rec.userBuffer[rec.userBufferUsed] = '\0';  // userBufferSize leaves room for it
    }
    // A single message's line is the whole reply; a list goes on to its end line.
    if (rec.messageNumber >= 1 && endsLine) {
        rec.nextState = 0;
        return 0;
    }
    armReplyTime(rec, now);
    return 0;
}

}  // namespace

StateStep mailboxStep(int32_t state) {
    switch (state) {
    case 307: return sendStat;
    case 308: return readStatReply;
    case 309: return fetchRaw;
    case 310: return sendRetr;
    case 311: return sendTop;
    case 312: return fetchLine;
    case 313: return endFetch;
    case 314: return readTopLine;
    case 315: return sendDele;
    case 316: return readDeleReply;
    case 317: return sendList;
    case 318: return readListReply;
    case 320: return sendUidl;
    case 321: return readUidlLine;
    default: return nullptr;
    }
}

}  // namespace tev::pop3

using namespace tev;

namespace {

// The channel check, the entry line and the POP3-session check every mailbox export starts with.
int32_t enterMailboxCall(int32_t chan, const char *entryLine, SessionRecord *&rec) {
    int32_t rc = checkChannel(chan, rec);
    if (rc < 0) return rc;
    logText(*rec, entryLine);
    return rec->sessionKind == 'P' ? 0 : TEV_E_POP3_ONLY;
}

// The result of an operation that reports a value of its own on success.
int32_t valueOrFailure(const SessionRecord &rec, int32_t driverResult, int32_t value) {
    if (!rec.autoCall || driverResult < 0) return driverResult;
    return value;
}

}  // namespace

extern "C" int32_t tevGetEmailCount(int32_t chan) {
    SessionRecord *rec = nullptr;
    if (int32_t rc = enterMailboxCall(chan, "*** tevGetEmailCount\r\n", rec)) return rc;
    int32_t r = pop3::startOperation(*rec, 307, true);
    return valueOrFailure(*rec, r, rec->messageCount);
}

extern "C" int32_t tevGetEmailSize(int32_t chan, int32_t message) {
    SessionRecord *rec = nullptr;
    if (int32_t rc = enterMailboxCall(chan, "*** tevGetEmailSize\r\n", rec)) return rc;
    if (message < 1) return TEV_E_NO_SUCH_MESSAGE;
    rec->messageNumber = message;
    int32_t r = pop3::startOperation(*rec, 317, true);
    return valueOrFailure(*rec, r, rec->messageSize);
}

extern "C" int32_t tevDeleteEmail(int32_t chan, int32_t message) {
    SessionRecord *rec = nullptr;
    if (int32_t rc = enterMailboxCall(chan, "*** tevDelete\r\n", rec)) return rc;
    if (message < 1) return TEV_E_NO_SUCH_MESSAGE;
    rec->messageNumber = message;
    return pop3::startOperation(*rec, 315, true);
}

extern "C" int32_t tevGetEmailLines(int32_t chan, int32_t message, int32_t lines, char *buffer, int32_t size) {
    SessionRecord *rec = nullptr;
    if (int32_t rc = enterMailboxCall(chan, "*** tevGetEmailLines\r\n", rec)) return rc;
    if (message < 1) return TEV_E_NO_SUCH_MESSAGE;
    if (!buffer) return TEV_E_BUFFER_NULL;
    char *destination = buffer;
    if (buffer[0] == '*' && buffer[1] == '\0') {
        // The library's own buffer: size bytes and two zero bytes behind them, so its text is always terminated.
        const int32_t slot = chan * kSlotsPerChannel + pop3::kSlotTopBuffer;
        freeChannelSlots(chan, pop3::kSlotTopBuffer, pop3::kSlotTopBuffer);
        const int64_t blockSize = static_cast<int64_t>(size) + 2;
        if (size < 0 || blockSize > INT32_MAX - 8 || allocateSlot(slot, static_cast<int32_t>(blockSize)) < 0) {
            return TEV_E_NO_MEMORY;
        }
        destination = slotData(slot);
    } else if (size < 128) {
        return TEV_E_BUFFER_TOO_SMALL;
    }
    rec->topLines = lines < 0 ? 0 : lines;
    rec->messageNumber = message;
    rec->userBuffer = destination;
    rec->userBufferSize = size;
    rec->userBufferUsed = 0;
    rec->emailDirectory[0] = '\0';
    rec->attachmentDirectory[0] = '\0';
    rec->textBytesRead = 0;
    rec->attachmentBytesRead = 0;
    int32_t r = pop3::startOperation(*rec, 311, true);
    return valueOrFailure(*rec, r, rec->userBufferUsed);
}

extern "C" int32_t tevGetEmailFile(int32_t chan, int32_t message, const char *fileName, const char *emailDir,
                                   const char *attachDir) {
    SessionRecord *rec = nullptr;
    if (int32_t rc = enterMailboxCall(chan, "*** tevGetEmailFile\r\n", rec)) return rc;
    if (message < 1) return TEV_E_NO_SUCH_MESSAGE;
    if (!fileName) return TEV_E_MISSING_FILENAME;
    if (!emailDir) return TEV_E_MISSING_EMAIL_PATH;
    if (!attachDir) return TEV_E_MISSING_ATTACH_PATH;
    if (!fitsDirectory(emailDir)) return TEV_E_MISSING_EMAIL_PATH;  // never cut: a shorter one is another place
    if (!fitsDirectory(attachDir)) return TEV_E_MISSING_ATTACH_PATH;
    // Files a failed fetch left open are finished now, before this fetch resets what describes them.
    pop3::closeFetchFiles(*rec);
    rec->messageNumber = message;
    copyText(rec->emailFileName, fileName, kMaxNameChars);
    copyText(rec->emailDirectory, emailDir);
    copyText(rec->attachmentDirectory, attachDir);
    std::memset(rec->savedAttachments, 0, sizeof rec->savedAttachments);
    // An unnamed part of this message must never reuse (and overwrite) the file of an earlier fetch.
    rec->attachmentFileName[0] = '\0';
    rec->userBuffer = nullptr;
    rec->userBufferSize = 0;
    rec->userBufferUsed = 0;
    rec->textBytesRead = 0;
    rec->attachmentBytesRead = 0;
    rec->mimeBoundaryLength = 0;
    rec->boundaryCount = 0;
    rec->attachmentsSaved = 0;
    rec->partEncoding = 0;
    rec->blankLineSeen = 0;
    // Nothing of the previous message's structure may steer this one (an old alternative boundary could match).
    rec->altBoundaryLength = 0;
    rec->inlinePart = 0;
    rec->skipBlankLine = 0;
    if (rec->decodeState != 1) rec->decodeState = 2;
    return pop3::startOperation(*rec, 310, true);
}

extern "C" int32_t tevGetEmailUID(int32_t chan, int32_t message, char *buffer, int32_t size) {
    SessionRecord *rec = nullptr;
    if (int32_t rc = enterMailboxCall(chan, "*** tevGetEmailUID\r\n", rec)) return rc;
    if (!buffer) return TEV_E_BUFFER_NULL;
    if (size < 128) return TEV_E_BUFFER_TOO_SMALL;
    // Emptied first, so the result is a text within the buffer even when no line ever arrives.
    buffer[0] = '\0';
    rec->messageNumber = message;
    rec->userBuffer = buffer;
    rec->userBufferSize = size - 1;
    rec->userBufferUsed = 0;
    int32_t r = pop3::startOperation(*rec, 320, true);
    return valueOrFailure(*rec, r, static_cast<int32_t>(boundedLength(buffer, static_cast<size_t>(size))));
}
