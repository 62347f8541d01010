// POP3 mailbox operations: STAT, LIST, DELE, TOP into a buffer, RETR into a file (raw or through the MIME
// decoder), UIDL; the exports that start them and the states 307-321.  RFC 1939: multi-line replies end with a
// lone "." line, and a line that starts with "." is sent with one more "." which the reader takes off again.
#include <cstring>

#include "engine/transport.h"
#include "frame/filewrite.h"
#include "frame/slots.h"
#include "frame/tracelog.h"
#include "pop3/decoder.h"
#include "pop3/fetch_line.h"
#include "pop3/line_source.h"
#include "pop3/session.h"
#include "tev32.h"

namespace tev::pop3 {

namespace {

// Room of one read, what one fill of the receive ring holds and its NUL: a longer line arrives in parts.
constexpr int32_t kLineRoom = static_cast<int32_t>(kRingSize);
// Raw fetch chunk; replyBuffer also takes the byte readRaw looks at behind it.
constexpr int32_t kRawChunk = static_cast<int32_t>(kBigBufferSize) - 2;
static_assert(kRawChunk + 1 <= static_cast<int32_t>(kBigBufferSize), "raw chunk must fit replyBuffer");
static_assert(kEmailPathSize >= 2 * kMaxNameChars + 2, "directory, separator and file name must fit emailPath");
constexpr int32_t kSlotTopBuffer = 8;

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

// Copies a line into the TOP or UIDL destination as far as it has room; what does not fit is dropped.
void storeInUserBuffer(SessionRecord &rec, const char *line, int32_t length) {
    if (!rec.userBuffer || rec.userBufferSize <= 0 || rec.userBufferUsed >= rec.userBufferSize) return;
    int32_t room = rec.userBufferSize - rec.userBufferUsed;
    int32_t take = length < room ? length : room;
    std::memcpy(rec.userBuffer + rec.userBufferUsed, line, static_cast<size_t>(take));
    rec.userBufferUsed += take;
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
    rec.nextState = kStatReply;
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
    rec.nextState = kIdle;
    return 0;
}

// 315: "DELE n".
int32_t sendDele(SessionRecord &rec, uint32_t now) {
    formatText(rec.commandBuffer, sizeof rec.commandBuffer, "DELE %d", static_cast<int>(rec.messageNumber));
    if (int32_t rc = sendCommand(rec, TEV_E_READ)) return rc;
    rec.nextState = kDeleReply;
    armStepDelay(rec, now);
    armReplyTime(rec, now);
    return 0;
}

// 316: the reply to DELE is not judged: a refused deletion must not end the session, whose deletions would be
// undone with it.
int32_t readDeleReply(SessionRecord &rec, uint32_t) {
    int32_t rc;
    if (!readStatusIfWaiting(rec, rc)) return 0;
    rec.nextState = kIdle;
    return 0;
}

// 317: "LIST n".
int32_t sendList(SessionRecord &rec, uint32_t now) {
    formatText(rec.commandBuffer, sizeof rec.commandBuffer, "LIST %d", static_cast<int>(rec.messageNumber));
    rec.messageSize = 0;
    if (int32_t rc = sendCommand(rec, TEV_E_READ)) return rc;
    rec.nextState = kListReply;
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
    rec.nextState = kIdle;
    return 0;
}

// ---------------------------------------------------------------- RETR into a file

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
    startWrites(rec.messageWrites);
    // The first line that comes back is the status line; replyCode 0 marks it as still awaited.
    rec.replyCode = 0;
    rec.midLine = 0;
    formatText(rec.commandBuffer, sizeof rec.commandBuffer, "RETR %d", static_cast<int>(rec.messageNumber));
    if (int32_t rc = sendCommand(rec, TEV_E_READ)) return rc;
    if (rec.decodeState == kDecodeRaw) {
        rec.nextState = kFetchRaw;
        rec.waitUntil = 0;
    } else {
        rec.nextState = kFetchLine;
        armStepDelay(rec, now);
    }
    armReplyTime(rec, now);
    return 0;
}

// 309: raw fetch: every byte goes to the file until the server falls silent for readTimeout or closes.
int32_t fetchRaw(SessionRecord &rec, uint32_t now) {
    armReplyTime(rec, now);
    if (!waitReadable(rec, settings.readTimeout.get())) {
        rec.nextState = kEndFetch;
        return 0;
    }
    int32_t n = readRaw(rec, rec.replyBuffer, kRawChunk);
    if (n < 0) {
        logText(rec, "[EOF1]\r\n");
        rec.nextState = kEndFetch;
        return 0;
    }
    addCount(rec.textBytesRead, n);
    if (n > 0 && rec.emailFile > 0) {
        int32_t written = platform::writeFile(rec.emailFile, rec.replyBuffer, n);
        if (written > 0) addCount(rec.textBytesSent, written);
    }
    return 0;
}

// 312: one line of the message.
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
    RingLineSource source(rec);
    const int32_t rc = takeFetchedLine(rec, n, source);
    if (rc < 0) return errorExit(rec, 0, rc);
    if (rc > 0) rec.nextState = kEndFetch;
    return 0;
}

// 313: the end of a fetch.
int32_t endFetch(SessionRecord &rec, uint32_t) {
    logText(rec, "[CLOSE]\r\n");
    // The message file gets its last lines only now; a file that could not take them is no saved message.
    if (closeFetchFiles(rec) < 0) return errorExit(rec, 0, -1);
    rec.nextState = kIdle;
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
    rec.nextState = kTopLine;
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
            rec.nextState = kEndFetch;
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
    rec.nextState = kUidlLine;
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
            rec.nextState = kIdle;
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
        rec.nextState = kIdle;
        return 0;
    }
    armReplyTime(rec, now);
    return 0;
}

}  // namespace

StateStep mailboxStep(int32_t state) {
    switch (state) {
    case kStat: return sendStat;
    case kStatReply: return readStatReply;
    case kFetchRaw: return fetchRaw;
    case kRetr: return sendRetr;
    case kTop: return sendTop;
    case kFetchLine: return fetchLine;
    case kEndFetch: return endFetch;
    case kTopLine: return readTopLine;
    case kDele: return sendDele;
    case kDeleReply: return readDeleReply;
    case kList: return sendList;
    case kListReply: return readListReply;
    case kUidl: return sendUidl;
    case kUidlLine: return readUidlLine;
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
    int32_t r = pop3::startOperation(*rec, pop3::kStat, true);
    return valueOrFailure(*rec, r, rec->messageCount);
}

extern "C" int32_t tevGetEmailSize(int32_t chan, int32_t message) {
    SessionRecord *rec = nullptr;
    if (int32_t rc = enterMailboxCall(chan, "*** tevGetEmailSize\r\n", rec)) return rc;
    if (message < 1) return TEV_E_NO_SUCH_MESSAGE;
    rec->messageNumber = message;
    int32_t r = pop3::startOperation(*rec, pop3::kList, true);
    return valueOrFailure(*rec, r, rec->messageSize);
}

extern "C" int32_t tevDeleteEmail(int32_t chan, int32_t message) {
    SessionRecord *rec = nullptr;
    if (int32_t rc = enterMailboxCall(chan, "*** tevDelete\r\n", rec)) return rc;
    if (message < 1) return TEV_E_NO_SUCH_MESSAGE;
    rec->messageNumber = message;
    return pop3::startOperation(*rec, pop3::kDele, true);
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
    int32_t r = pop3::startOperation(*rec, pop3::kTop, true);
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
    rec->userBuffer = nullptr;
    rec->userBufferSize = 0;
    rec->userBufferUsed = 0;
    rec->textBytesRead = 0;
    rec->attachmentBytesRead = 0;
    startMessageDecoding(*rec);
    return pop3::startOperation(*rec, pop3::kRetr, true);
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
    int32_t r = pop3::startOperation(*rec, pop3::kUidl, true);
    return valueOrFailure(*rec, r, static_cast<int32_t>(boundedLength(buffer, static_cast<size_t>(size))));
}
