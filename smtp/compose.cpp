// Message composition and sending (RFC 5321 mail transaction, RFC 5322 header): tevSendEmail and the states of
// the envelope (MAIL FROM, one RCPT TO per recipient of the To, CC and BCC lists, DATA), the header lines, the
// message text (from memory or from a file, cut into lines by the line encoder) and the end of the data.  The
// MIME states of smtp/mime.cpp are woven in when the message has attachments or a body other than plain text.
// A transient (4xx) reply fails the transaction as a permanent one does, so a message line can never reach the
// server as a command.
#include <cstring>
#include <string>

#include "engine/driver.h"
#include "engine/transport.h"
#include "frame/slots.h"
#include "frame/text.h"
#include "frame/tracelog.h"
#include "platform/platform.h"
#include "smtp/address.h"
#include "smtp/compose.h"
#include "smtp/datawriter.h"
#include "frame/dateline.h"
#include "smtp/header_encoding.h"
#include "smtp/textreader.h"
#include "tev32.h"

namespace tev {

namespace {

using namespace sendstate;

// Slots of the channel that hold the texts of a message.
enum : int { kToSlot = 1, kCcSlot = 2, kBccSlot = 3, kSubjectSlot = 4, kMessageSlot = 5, kAttachmentSlot = 6,
             kAlternateSlot = 9 };

// The last reply to the end of the data may take a moment longer than a command's.
constexpr int32_t kEndReplyWaitMs = 100;

bool given(const char *text) { return text != nullptr && text[0] != '\0'; }

enum class Accept { belowTransient, intermediate };

// Reads the reply once it has begun to arrive.  Returns 1 when it is read and is what the command needs (a reply
// without a code, 0, never is), 0 when nothing has arrived yet (the state runs again), or the error exit's result.
int32_t takeReply(SessionRecord &rec, int32_t waitMs, Accept accept) {
    if (!waitReadable(rec, waitMs)) return 0;
    int32_t rc = readSmtpReply(rec);
    if (rc < 0) return errorExit(rec, 0, rc);
    bool accepted = accept == Accept::intermediate ? (rec.replyCode >= 300 && rec.replyCode < 400)
                                                    : rec.replyCode > 0 && rec.replyCode < 400;
    if (!accepted) return errorExit(rec, 0, TEV_E_SMTP_ERROR);
    return 1;
}

// What a header's value is: free text (Subject), one address with its display name (From, Reply-To), or a list
// of them (To, CC).
enum class HeaderValue { text, address, list };

bool hasOverlongLine(const std::string &lines) {
    size_t start = 0;
    for (size_t end; (end = lines.find("\r\n", start)) != std::string::npos; start = end + 2) {
        if (end - start > kMaxWireLine) return true;
    }
    return lines.size() - start > kMaxWireLine;
}

// A header line "name value" whose value is an application text, folded at a blank where it would pass 998
// characters.  With UTF-8 mail a value that holds non-ASCII, or that cannot be folded, goes out as encoded words
// (for addresses: their display names); an address text with a line break keeps the plain form, whose
// continuation rule keeps it one header.
int32_t sendValueHeader(SessionRecord &rec, const char *name, const char *value, HeaderValue kind) {
    std::string line(name);
    appendHeaderValue(line, value);
    foldLongLines(line);
    if (rec.utf8 && (hasNonAscii(value) || hasOverlongLine(line))) {
        if (kind == HeaderValue::text) {
            line = encodedHeaderValue(name, value);
        } else if (!hasLineBreak(value)) {
            line = encodedAddressHeader(name, value, kind == HeaderValue::list ? settings.addressSeparator.get() : '\0');
        }
    }
    line += "\r\n";
    return sendPiece(rec, line);
}

// What follows the From, Reply-To and Subject lines once they are done.
int32_t headerTail(const SessionRecord &rec) {
    if (rec.ccList) return kCcHeader;
    return hasMimeHeader(rec) ? kMimeVersionHeader : kEndOfHeader;
}

// 204: MAIL FROM with the sender's address from its '<' on.
int32_t sendMailFrom(SessionRecord &rec, uint32_t now) {
    if (rec.fromAddress[0] == '\0') return errorExit(rec, 0, TEV_E_MISSING_FROM);
    const char *open = std::strchr(rec.fromAddress, '<');
    if (!open) return errorExit(rec, 0, TEV_E_MISSING_LT);
    // An address beyond ASCII needs a server that takes SMTPUTF8 (RFC 6531); without one nothing is sent.
    const bool utf8Envelope = rec.utf8 && (hasUtf8Address(open) || hasUtf8Address(rec.toList) ||
                                           hasUtf8Address(rec.ccList) || hasUtf8Address(rec.bccList));
    if (utf8Envelope && !rec.smtpUtf8Offered) return errorExit(rec, 0, TEV_E_UTF8_ADDRESS);
    formatText(rec.commandBuffer, sizeof rec.commandBuffer, utf8Envelope ? "MAIL FROM:%s SMTPUTF8" : "MAIL FROM:%s",
               open);
    int32_t rc = sendLine(rec, rec.commandBuffer);
    if (rc < 0) return failedSend(rec, rc);
    armReplyTimers(rec, now, settings.stepDelay.get());
    rec.nextState = kMailReply;
    return 0;
}

// 205: the MAIL FROM reply; the recipient walk starts with the To list.
int32_t readMailReply(SessionRecord &rec, uint32_t) {
    int32_t rc = takeReply(rec, 0, Accept::belowTransient);
    if (rc <= 0) return rc;
    rec.addressCursor = rec.toList;
    rec.ccDone = rec.ccList ? 0 : 1;
    rec.bccDone = rec.bccList ? 0 : 1;
    rec.nextState = kNextRecipient;
    return 0;
}

// 206: cut the next address out of the list being walked.
int32_t takeNextRecipient(SessionRecord &rec, uint32_t now) {
    int32_t rc = nextListAddress(rec);
    if (rc < 0) return rc;
    armWritableStart(rec, now);
    rec.nextState = kRcptTo;
    return 0;
}

// 207: RCPT TO with the address from its '<' to the end of its element, however long.
int32_t sendRcptTo(SessionRecord &rec, uint32_t now) {
    std::string command("RCPT TO:");
    command += rec.currentAddress ? rec.currentAddress : "";
    int32_t rc = sendLine(rec, command.c_str());
    if (rc < 0) return failedSend(rec, rc);
    rec.deadline = timerAt(now, settings.responseTimeout.get());
    rec.nextState = kRcptReply;
    return 0;
}

// 208: the RCPT TO reply; then the next address, the next list, or DATA.
int32_t readRcptReply(SessionRecord &rec, uint32_t now) {
    int32_t rc = takeReply(rec, 0, Accept::belowTransient);
    if (rc <= 0) return rc;
    copyText(rec.lastRecipient, rec.currentAddress ? rec.currentAddress : "", kMaxShortChars);
    restoreListSeparator(rec);
    if (rec.addressCursor && rec.addressCursor[0] != '\0') {
        rec.nextState = kNextRecipient;
    } else if (!rec.ccDone) {
        rec.addressCursor = rec.ccList;
        rec.ccDone = 1;
        rec.nextState = kNextRecipient;
    } else if (!rec.bccDone) {
        rec.addressCursor = rec.bccList;
        rec.bccDone = 1;
        rec.nextState = kNextRecipient;
    } else {
        armSendPause(rec, now, settings.stepDelay.get());
        rec.nextState = kDataCommand;
    }
    return 0;
}

// 209: DATA.
int32_t sendDataCommand(SessionRecord &rec, uint32_t now) {
    int32_t rc = sendLine(rec, "DATA");
    if (rc < 0) return failedSend(rec, rc);
    armReplyTimers(rec, now, settings.stepDelay.get());
    rec.nextState = kDataReply;
    return 0;
}

// 210: the DATA reply must invite the data (3xx); anything else ends the transaction.
int32_t readDataReply(SessionRecord &rec, uint32_t) {
    int32_t rc = takeReply(rec, 0, Accept::intermediate);
    if (rc <= 0) return rc;
    if (rec.preparedMessage) {
        rec.nextState = kPreparedStart;
        return 0;
    }
    rec.nextState = rec.bodyMode == 2 || rec.utf8 ? kMessageIdHeader : kMailerHeader;
    return 0;
}

// 220: Message-ID, unique to the message (providers drop messages whose ID they have seen before).
int32_t sendMessageId(SessionRecord &rec, uint32_t) {
    int32_t rc = sendPiece(rec, "Message-ID: " + uniqueMessageId(rec.fromAddress) + "\r\n");
    if (rc < 0) return rc;
    rec.nextState = kMailerHeader;
    return 0;
}

// 221: X-Mailer.
int32_t sendMailer(SessionRecord &rec, uint32_t) {
    int32_t rc = sendPiece(rec, "X-Mailer: Orvane TEV Version 3.4\r\n");
    if (rc < 0) return rc;
    rec.nextState = kDateHeader;
    return 0;
}

// 223: Date.
int32_t sendDate(SessionRecord &rec, uint32_t) {
    int length = buildDateLine(rec.commandBuffer, sizeof rec.commandBuffer);
    int32_t rc = sendDataLine(rec, rec.commandBuffer, static_cast<size_t>(length), sizeof rec.commandBuffer);
    if (rc < 0) return failedSend(rec, rc);
    rec.nextState = kToHeader;
    return 0;
}

// 224: To, with the whole list as the application gave it (unless the To line is suppressed).
int32_t sendToLine(SessionRecord &rec, uint32_t now) {
    rec.nextState = kFromHeader;
    if (settings.noToHeader.get() != 0) return 0;
    if (rec.toList) {
        int32_t rc = sendValueHeader(rec, "To: ", rec.toList, HeaderValue::list);
        if (rc < 0) return rc;
    }
    armSendPause(rec, now, settings.stepDelay.get());
    rec.deadline = timerAt(now, settings.responseTimeout.get());
    return 0;
}

// 225: From.
int32_t sendFromLine(SessionRecord &rec, uint32_t) {
    if (rec.fromAddress[0] != '\0') {
        int32_t rc = sendValueHeader(rec, "From: ", rec.fromAddress, HeaderValue::address);
        if (rc < 0) return rc;
    }
    rec.nextState = rec.replyTo[0] != '\0' ? kReplyToHeader : rec.subject ? kSubjectHeader : headerTail(rec);
    return 0;
}

// 226: Reply-To.
int32_t sendReplyToLine(SessionRecord &rec, uint32_t) {
    if (rec.replyTo[0] != '\0') {
        int32_t rc = sendValueHeader(rec, "Reply-To: ", rec.replyTo, HeaderValue::address);
        if (rc < 0) return rc;
    }
    rec.nextState = rec.subject ? kSubjectHeader : headerTail(rec);
    return 0;
}

// 227: Subject, then the application's extra header lines (they go out only with a subject).
int32_t sendSubjectLine(SessionRecord &rec, uint32_t) {
    if (rec.subject) {
        int32_t rc = sendValueHeader(rec, "Subject: ", rec.subject, HeaderValue::text);
        if (rc < 0) return rc;
        if (rec.extraHeaders) {
            std::string lines;
            appendTextLines(lines, rec.extraHeaders);
            foldLongLines(lines);
            lines += "\r\n";
            rc = sendData(rec, lines);
            if (rc < 0) return failedSend(rec, rc);
        }
    }
    rec.nextState = headerTail(rec);
    return 0;
}

// 228: CC, with the whole list.
int32_t sendCcLine(SessionRecord &rec, uint32_t) {
    if (rec.ccList) {
        int32_t rc = sendValueHeader(rec, "CC: ", rec.ccList, HeaderValue::list);
        if (rc < 0) return rc;
    }
    rec.nextState = hasMimeHeader(rec) ? kMimeVersionHeader : kEndOfHeader;
    return 0;
}

// 229: MIME-Version; the MIME states send the Content-Type line next.
int32_t sendMimeVersion(SessionRecord &rec, uint32_t) {
    int32_t rc = sendPiece(rec, "MIME-Version: 1.0\r\n");
    if (rc < 0) return rc;
    rec.nextState = kTopContentType;
    return 0;
}

// 233: the empty line that ends the header.
int32_t endHeader(SessionRecord &rec, uint32_t) {
    int32_t rc = sendDataText(rec, "\r\n");
    if (rc < 0) return failedSend(rec, rc);
    rec.nextState = isMimeMessage(rec) ? kFirstPart : kTextStart;
    return 0;
}

// 238: the text comes from memory, or from the file named after an '@'.
int32_t startText(SessionRecord &rec, uint32_t) {
    resetTextReader(rec);
    if (!rec.messageText) rec.messageText = emptyText;
    rec.nextState = rec.messageText[0] == '@' ? kMessageFile : kMemoryText;
    return 0;
}

// 240: read the text from memory.
int32_t startMemoryText(SessionRecord &rec, uint32_t) {
    rec.pendingChar = 0;
    rec.textInMemory = 1;
    rec.nextState = kMemoryTextLine;
    return 0;
}

// 244: open the message file.
int32_t openMessageFile(SessionRecord &rec, uint32_t) {
    const char *name = rec.messageText + 1;
    rec.textInMemory = 0;
    // A character left over from an earlier, failed text must not open this one.
    rec.pendingChar = 0;
    logFormat(rec, "Opening message file [%s]\r\n", name);
    int32_t handle = platform::openForReading(name);
    if (handle < 1) return errorExit(rec, handle, TEV_E_CANNOT_OPEN_FILE);
    rec.fileHandle = handle;
    rec.nextState = kFileTextLine;
    return 0;
}

// 241 and 245: one text line per step; at the end, the close of the alternative part and what follows the text.
int32_t sendTextLine(SessionRecord &rec, uint32_t now, bool fromFile) {
    int32_t length = encodeTextLine(rec, rec.commandBuffer);
    if (length < 0) {
        if (fromFile) {
            platform::closeFile(rec.fileHandle);
            rec.fileHandle = 0;
        }
        if (rec.alternateText) {
            int32_t rc = sendData(rec, delimiterLine(boundaryBase, "ALT===--"));
            if (rc < 0) return failedSend(rec, rc);
        }
        rec.nextState = rec.attachmentList ? kAttachmentPart : kEndOfData;
        return 0;
    }
    addToCounter(rec.textBytesSent, length + 2);
    int32_t rc = sendDataLine(rec, rec.commandBuffer, static_cast<size_t>(length), sizeof rec.commandBuffer);
    if (rc < 0) return failedSend(rec, rc);
    // The line waits in the send queue: no readiness test before the next one.
    rec.waitUntil = timerAt(now, settings.lineDelay.get());
    rec.deadline =
        timerAt(now, fromFile ? settings.responseTimeout.get() : settings.sendTimeout.get());
    return 0;
}

int32_t sendMemoryTextLine(SessionRecord &rec, uint32_t now) { return sendTextLine(rec, now, false); }
int32_t sendFileTextLine(SessionRecord &rec, uint32_t now) { return sendTextLine(rec, now, true); }

// 251: the closing MIME delimiter, then the end-of-data line.  The end line is the one line of the data phase
// that bypasses the data writer: it is the only line that may end the data.
int32_t endData(SessionRecord &rec, uint32_t now) {
    if (isMimeMessage(rec)) {
        // The closing delimiter goes out as a line of its own ("--B--" CR LF, then the CR LF of its line), so one
        // empty line stands between it and the empty line before the end line.
        std::string close = delimiterLine(boundaryBase, "--");
        close += "\r\n";
        int32_t rc = sendData(rec, close);
        if (rc < 0) return failedSend(rec, rc);
    }
    // A prepared message's last line has its CR LF already: no empty line is added before the end line.
    int32_t rc = sendLine(rec, rec.preparedMessage ? "." : "\r\n.");
    if (rc < 0) return failedSend(rec, rc);
    armReplyTimers(rec, now, settings.stepDelay.get());
    rec.nextState = kEndReply;
    return 0;
}

// 252: the server's verdict on the message.
int32_t readEndReply(SessionRecord &rec, uint32_t) {
    int32_t rc = takeReply(rec, kEndReplyWaitMs, Accept::belowTransient);
    if (rc <= 0) return rc;
    rec.nextState = kIdle;
    return 0;
}

// Checks a recipient list and copies it into its slot; 0, or the code to return.
int32_t takeList(SessionRecord &rec, int k, const char *list, char *&field) {
    int32_t rc = checkAddressField(rec, list, true);
    if (rc < 0) return rc;
    field = copyToSlot(rec.channel, k, list);
    return field ? 0 : TEV_E_NO_MEMORY;
}

// Copies an optional text into its slot (field null when the text is not given); 0 or -55.
int32_t takeText(SessionRecord &rec, int k, const char *text, char *&field) {
    if (!given(text)) {
        field = nullptr;
        return 0;
    }
    field = copyToSlot(rec.channel, k, text);
    return field ? 0 : TEV_E_NO_MEMORY;
}

// With UTF-8 mail a plain or HTML text goes out encoded: from memory, when it holds non-ASCII, as the shorter of
// quoted-printable and base64 (encoded now, in the text's slot); from a file, as quoted-printable lines built
// while it is read.  0 or -55.
int32_t chooseTextTransfer(SessionRecord &rec) {
    rec.textTransfer = kTextAsMode;
    if (!rec.utf8 || (rec.bodyMode != 0 && rec.bodyMode != 2)) return 0;
    if (rec.messageText[0] == '@') {
        rec.textTransfer = kTextQuotedStream;
        return 0;
    }
    if (!hasNonAscii(rec.messageText)) return 0;
    bool base64 = false;
    const std::string encoded = shorterTextEncoding(rec.messageText, base64);
    rec.messageText = copyToSlot(rec.channel, kMessageSlot, encoded.c_str());
    if (!rec.messageText) return TEV_E_NO_MEMORY;
    rec.textTransfer = base64 ? kTextEncodedBase64 : kTextEncodedQuoted;
    return 0;
}

}  // namespace

StateStep smtpSendStep(int32_t state) {
    switch (state) {
    case kMailFrom: return sendMailFrom;
    case kMailReply: return readMailReply;
    case kNextRecipient: return takeNextRecipient;
    case kRcptTo: return sendRcptTo;
    case kRcptReply: return readRcptReply;
    case kDataCommand: return sendDataCommand;
    case kDataReply: return readDataReply;
    case kMessageIdHeader: return sendMessageId;
    case kMailerHeader: return sendMailer;
    case kDateHeader: return sendDate;
    case kToHeader: return sendToLine;
    case kFromHeader: return sendFromLine;
    case kReplyToHeader: return sendReplyToLine;
    case kSubjectHeader: return sendSubjectLine;
    case kCcHeader: return sendCcLine;
    case kMimeVersionHeader: return sendMimeVersion;
    case kEndOfHeader: return endHeader;
    case kTextStart: return startText;
    case kMemoryText: return startMemoryText;
    case kMemoryTextLine: return sendMemoryTextLine;
    case kMessageFile: return openMessageFile;
    case kFileTextLine: return sendFileTextLine;
    case kEndOfData: return endData;
    case kEndReply: return readEndReply;
    case kPreparedStart: return startPreparedMessage;
    case kPreparedLine: return sendPreparedLine;
    default: return nullptr;
    }
}

}  // namespace tev

using namespace tev;

extern "C" int32_t tevSendEmail(int32_t chan, const char *to, const char *cc, const char *bcc, const char *subject,
                                const char *message, const char *attachments) {
    SessionRecord *record = nullptr;
    int32_t rc = checkChannel(chan, record);
    if (rc < 0) return rc;
    SessionRecord &rec = *record;
    if (rec.sessionKind != 'S') return TEV_E_SMTP_ONLY;
    logText(rec, "*** tevSendEmail\r\n");
    if (!waitWritableFor(rec, 0)) return TEV_E_NOT_CONNECTED;
    rec.textBytesSent = 0;
    rec.attachmentBytesSent = 0;
    rec.textBytesRead = 0;
    rec.attachmentBytesRead = 0;
    rec.inlineImageCount = 0;
    rec.toList = nullptr;

    if (!given(to)) return TEV_E_NO_RECIPIENT;
    if ((rc = takeList(rec, kToSlot, to, rec.toList)) < 0) return rc;
    rec.ccList = nullptr;
    if (given(cc) && (rc = takeList(rec, kCcSlot, cc, rec.ccList)) < 0) return rc;
    rec.bccList = nullptr;
    if (given(bcc) && (rc = takeList(rec, kBccSlot, bcc, rec.bccList)) < 0) return rc;
    if ((rc = takeText(rec, kSubjectSlot, subject, rec.subject)) < 0) return rc;
    if ((rc = takeText(rec, kMessageSlot, message, rec.messageText)) < 0) return rc;
    if (!rec.messageText) rec.messageText = emptyText;
    if ((rc = chooseTextTransfer(rec)) < 0) return rc;
    if ((rc = takeText(rec, kAttachmentSlot, attachments, rec.attachmentList)) < 0) return rc;

    // A file an earlier, failed send left open is not needed any more.
    if (rec.fileHandle != 0) {
        platform::closeFile(rec.fileHandle);
        rec.fileHandle = 0;
    }
    rec.nextState = kMailFrom;
    rec.afterConnectState = kIdle;
    rec.lastSocketError = 0;
    // An alternative text belongs to a MIME body; a plain message drops it.
    if (rec.bodyMode == 0) {
        freeChannelSlots(chan, kAlternateSlot, kAlternateSlot);
        rec.alternateText = nullptr;
    }
    // The first step waits for the socket to drain; that wait has a limit too.
    armWritableStart(rec, platform::tick());
    if (!rec.autoCall) return 0;
    logText(rec, "*** Sending...\r\n");
    rec.waitUntil = 0;
    return runAutoCall(chan);
}
