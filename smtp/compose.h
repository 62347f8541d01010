// The states of sending a message (smtp/compose.cpp) and of its MIME structure (smtp/mime.cpp), the states
// where one hands over to the other, and a small rule both apply.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

#include "engine/driver.h"
#include "frame/record.h"
#include "smtp/datawriter.h"
#include "smtp/textreader.h"
#include "tev32.h"

namespace tev {

namespace sendstate {
// The envelope, the header lines, the message text and the end of the data (smtp/compose.cpp).
constexpr int32_t kMailFrom = 204;
constexpr int32_t kMailReply = 205;
constexpr int32_t kNextRecipient = 206;
constexpr int32_t kRcptTo = 207;
constexpr int32_t kRcptReply = 208;
constexpr int32_t kDataCommand = 209;
constexpr int32_t kDataReply = 210;
constexpr int32_t kMessageIdHeader = 220;
constexpr int32_t kMailerHeader = 221;
constexpr int32_t kDateHeader = 223;
constexpr int32_t kToHeader = 224;
constexpr int32_t kFromHeader = 225;
constexpr int32_t kReplyToHeader = 226;
constexpr int32_t kSubjectHeader = 227;
constexpr int32_t kCcHeader = 228;
constexpr int32_t kMimeVersionHeader = 229;
constexpr int32_t kEndOfHeader = 233;     // the empty line after the header
constexpr int32_t kTextStart = 238;       // the message text
constexpr int32_t kMemoryText = 240;
constexpr int32_t kMemoryTextLine = 241;
constexpr int32_t kMessageFile = 244;
constexpr int32_t kFileTextLine = 245;
constexpr int32_t kEndOfData = 251;       // closing delimiter and the end-of-data line
constexpr int32_t kEndReply = 252;
// A prepared message (integer parameter 110) instead of the header lines and the text (smtp/prepared.cpp).
constexpr int32_t kPreparedStart = 246;
constexpr int32_t kPreparedLine = 247;

// The MIME structure and the attachments (smtp/mime.cpp).
constexpr int32_t kTopContentType = 230;  // the message's Content-Type line
constexpr int32_t kFirstPart = 234;       // the first delimiter and the text part's header
constexpr int32_t kTextPartHeader = 236;
constexpr int32_t kTransferEncoding = 237;
constexpr int32_t kAttachmentPart = 260;  // the next attachment
constexpr int32_t kAttachmentType = 261;
constexpr int32_t kAttachmentEncoding = 262;
constexpr int32_t kAttachmentDisposition = 263;
constexpr int32_t kAttachmentFile = 264;
constexpr int32_t kAttachmentLine = 265;
constexpr int32_t kAlternativeHeader = 400;
constexpr int32_t kAlternativeText = 401;
constexpr int32_t kAlternativeEnd = 402;
}  // namespace sendstate

constexpr int32_t kSmtpSendStates[] = {
    sendstate::kMailFrom,       sendstate::kMailReply,        sendstate::kNextRecipient,  sendstate::kRcptTo,
    sendstate::kRcptReply,      sendstate::kDataCommand,      sendstate::kDataReply,      sendstate::kMessageIdHeader,
    sendstate::kMailerHeader,   sendstate::kDateHeader,       sendstate::kToHeader,       sendstate::kFromHeader,
    sendstate::kReplyToHeader,  sendstate::kSubjectHeader,    sendstate::kCcHeader,       sendstate::kMimeVersionHeader,
    sendstate::kEndOfHeader,    sendstate::kTextStart,        sendstate::kMemoryText,     sendstate::kMemoryTextLine,
    sendstate::kMessageFile,    sendstate::kFileTextLine,     sendstate::kEndOfData,      sendstate::kEndReply,
    sendstate::kPreparedStart,  sendstate::kPreparedLine};

constexpr int32_t kSmtpMimeStates[] = {
    sendstate::kTopContentType,    sendstate::kFirstPart,           sendstate::kTextPartHeader,
    sendstate::kTransferEncoding,  sendstate::kAttachmentPart,      sendstate::kAttachmentType,
    sendstate::kAttachmentEncoding, sendstate::kAttachmentDisposition, sendstate::kAttachmentFile,
    sendstate::kAttachmentLine,    sendstate::kAlternativeHeader,   sendstate::kAlternativeText,
    sendstate::kAlternativeEnd};

// A failed send in the data phase: -52 with the send's result as the socket-level code.
inline int32_t failedSend(SessionRecord &rec, int32_t sendResult) { return errorExit(rec, sendResult, TEV_E_WRITE); }

// Sends bytes of the data phase through the data writer; 0, or the error exit's code.
inline int32_t sendPiece(SessionRecord &rec, const char *bytes, size_t length) {
    int32_t rc = sendData(rec, bytes, length);
    return rc < 0 ? failedSend(rec, rc) : 0;
}
inline int32_t sendPiece(SessionRecord &rec, const std::string &bytes) {
    return sendPiece(rec, bytes.data(), bytes.size());
}
inline int32_t sendPiece(SessionRecord &rec, const char *text) { return sendPiece(rec, text, std::strlen(text)); }

// A message is MIME multipart when it has attachments or its body is anything but plain text (a prepared message
// carries its own structure).
inline bool isMimeMessage(const SessionRecord &rec) {
    return rec.preparedMessage == 0 && (rec.attachmentList != nullptr || rec.bodyMode != 0);
}
// The header declares MIME: a multipart message, or a UTF-8 plain text sent encoded as a single part.
inline bool hasMimeHeader(const SessionRecord &rec) {
    return isMimeMessage(rec) || rec.textTransfer != kTextAsMode;
}

// The states of a prepared message (smtp/prepared.cpp).
int32_t startPreparedMessage(SessionRecord &rec, uint32_t now);
int32_t sendPreparedLine(SessionRecord &rec, uint32_t now);

}  // namespace tev
