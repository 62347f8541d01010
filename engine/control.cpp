// Session control for either protocol: tevClose (QUIT, states 258-259), tevAbort (drop the connection at once)
// and tevCommand (one raw command line and its reply: 298-299 on SMTP, 398-399 on POP3).
#include "engine/control.h"

#include <atomic>

#include "engine/driver.h"
#include "engine/transport.h"
#include "frame/filewrite.h"
#include "frame/record.h"
#include "frame/slots.h"
#include "frame/text.h"
#include "frame/tracelog.h"
#include "platform/platform.h"
#include "tev32.h"

namespace tev {

namespace {

using namespace controlstate;

using CloseFilesHook = void (*)(SessionRecord &rec);

// The hooks of SMTP ('S') and POP3 ('P') sessions.  Constant-initialized, so a module may register from its own
// static initialization; atomic, because sessions on other threads read them.
std::atomic<CloseFilesHook> closeFilesHooks[2] = {{nullptr}, {nullptr}};

std::atomic<CloseFilesHook> *hookSlot(char sessionKind) {
    switch (sessionKind) {
    case 'S': return &closeFilesHooks[0];
    case 'P': return &closeFilesHooks[1];
    default: return nullptr;
    }
}

// Closes the files the channel holds open, without any note.
// What a fetch gathered for them is written first, so nothing that arrived is lost.
void closeFilesPlainly(SessionRecord &rec) {
    closeGathered(rec.fileHandle, rec.attachmentWrites);
    closeGathered(rec.emailFile, rec.messageWrites);
}

// Reads the reply of the channel's protocol: a whole SMTP reply, or one POP3 status line.
int32_t readSessionReply(SessionRecord &rec) {
    return rec.sessionKind == 'S' ? readSmtpReply(rec) : readPop3Reply(rec);
}

// Sends the line in commandBuffer and moves on to replyState with the timers of a reply.
int32_t sendControlLine(SessionRecord &rec, uint32_t now, int32_t replyState) {
    int32_t rc = sendLine(rec, rec.commandBuffer);
    if (rc < 0) return errorExit(rec, rc, TEV_E_WRITE);
    armReplyTimers(rec, now, settings.stepDelay.get());
    rec.nextState = replyState;
    return 0;
}

// Sends rawCommand (at most 32 characters) and moves on to replyState.
int32_t sendRawCommand(SessionRecord &rec, uint32_t now, int32_t replyState) {
    copyText(rec.commandBuffer, rec.rawCommand, kMaxShortChars);
    return sendControlLine(rec, now, replyState);
}

// 258: QUIT.  Without an open connection the send fails at once.
int32_t sendQuit(SessionRecord &rec, uint32_t now) {
    copyText(rec.commandBuffer, "QUIT");
    return sendControlLine(rec, now, kQuitReply);
}

// 259: the reply to QUIT, then the close.  A server that closes the connection instead of answering has done
// what QUIT asked for.  The pause after the close is a timer of the driver (9999 until it is over), so a loop
// that closes many channels takes about one pause for all of them, and the thread never sleeps in it.
int32_t readQuitReply(SessionRecord &rec, uint32_t now) {
    if (!waitReadable(rec, 0)) return 0;
    int32_t rc = readSessionReply(rec);
    if (rc < 0 && rc != TEV_E_SOCKET_CLOSED) return errorExit(rec, 0, rc);
    logText(rec, "Closing socket\r\n");
    closeSocketNow(rec);
    rec.nextState = kIdle;
    const int32_t pause = settings.closePause.get();
    if (pause <= 0) return 0;
    rec.waitUntil = timerAt(now, pause);
    rec.quietIdle = 1;
    return kWaiting;
}

// 298
int32_t sendSmtpCommand(SessionRecord &rec, uint32_t now) { return sendRawCommand(rec, now, kSmtpCommandReply); }
// 398
int32_t sendPop3Command(SessionRecord &rec, uint32_t now) { return sendRawCommand(rec, now, kPop3CommandReply); }

// 299, 399: the reply; an error reply or a closed connection ends the session.
int32_t readCommandReply(SessionRecord &rec, uint32_t) {
    if (!waitReadable(rec, 0)) return 0;
    int32_t rc = rec.thisState == kSmtpCommandReply ? readSmtpReply(rec) : readPop3Reply(rec);
    if (rc < 0) return errorExit(rec, 0, rc);
    rec.nextState = kIdle;
    return 0;
}

}  // namespace

void registerSessionHooks(char sessionKind, const SessionHooks &hooks) {
    if (std::atomic<CloseFilesHook> *slot = hookSlot(sessionKind)) slot->store(hooks.closeOpenFiles);
}

StateStep controlStep(int32_t state) {
    switch (state) {
    case kQuit: return sendQuit;
    case kQuitReply: return readQuitReply;
    case kSmtpCommand: return sendSmtpCommand;
    case kSmtpCommandReply: return readCommandReply;
    case kPop3Command: return sendPop3Command;
    case kPop3CommandReply: return readCommandReply;
    default: return nullptr;
    }
}

}  // namespace tev

using namespace tev;

extern "C" int32_t tevClose(int32_t chan) {
    SessionRecord *rec = nullptr;
    int32_t rc = checkChannel(chan, rec);
    if (rc < 0) return rc;
    logText(*rec, "*** tevClose\r\n");
    // In a fetch the file handle is an attachment being decoded, which its protocol finishes and records as
    // usual; in a send it is a file being read for the message, which is only closed.
    if (rec->fileHandle != 0 || rec->emailFile != 0) {
        std::atomic<CloseFilesHook> *slot = hookSlot(rec->sessionKind);
        CloseFilesHook hook = slot ? slot->load() : nullptr;
        (hook ? hook : closeFilesPlainly)(*rec);
    }
    rec->nextState = kQuit;
    rec->afterConnectState = kIdle;
    rec->lastSocketError = 0;
    rec->waitUntil = 0;
    // A socket that never becomes writable must not hold the close for ever, but the limit starts when the
    // close is driven (the driver arms it at the first writable wait; state 258 arms the reply's): a loop that
    // asks many channels to close and then drives them one after another fails none of them for its own delay.
    rec->waitWritable = 1;
    rec->deadline = 0;
    if (!rec->autoCall) return 0;
    rc = runAutoCall(chan);
    freeChannelSlots(chan, 1, 9);
    rec->sessionKind = 0;
    return rc;
}

extern "C" int32_t tevAbort(int32_t chan) {
    SessionRecord *rec = nullptr;
    int32_t rc = checkChannel(chan, rec);
    if (rc < 0) return rc;
    logText(*rec, "*** tevAbort\r\n");
    rec->afterConnectState = kIdle;
    rec->lastSocketError = 0;
    rec->autoCall = 1;
    // Files a broken-off send or fetch still holds open are closed too, without a saved-attachment note.
    closeFilesPlainly(*rec);
    rec->nextState = kIdle;
    logText(*rec, "Closing socket\r\n");
    closeSocket(*rec);
    return 1;
}

extern "C" int32_t tevCommand(int32_t chan, const char *command) {
    SessionRecord *rec = nullptr;
    int32_t rc = checkChannel(chan, rec);
    if (rc < 0) return rc;
    logText(*rec, "*** tevCommand\r\n");
    if (command == nullptr) return TEV_E_NULL_POINTER;
    copyText(rec->rawCommand, command, kMaxShortChars);
    rec->afterConnectState = kIdle;
    rec->lastSocketError = 0;
    if (rec->sessionKind == 'P') {
        rec->nextState = kPop3Command;
    } else if (rec->sessionKind == 'S') {
        rec->nextState = kSmtpCommand;
    } else {
        return TEV_E_BAD_SERVER_NAME;
    }
    // Timers left by the operation before (a deadline long past) must not fail this one, also when the
    // application drives the states itself.
    rec->waitUntil = 0;
    rec->deadline = 0;
    if (!rec->autoCall) return 0;
    return runAutoCall(chan);
}
