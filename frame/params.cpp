// Integer and string parameters: process-wide settings and per-channel fields, the trace-log file, extra header
// lines and the alternative text.
#include <string>

#include "frame/mechanisms.h"
#include "frame/record.h"
#include "frame/slots.h"
#include "frame/text.h"
#include "frame/tracelog.h"
#include "platform/platform.h"
#include "tev32.h"

namespace tev {
namespace {

// Stores an extra-header text in slot 7 and trims a line end among its last three characters.
// Returns 1 plus the number of those characters kept (1..4), or 0 when nothing could be stored.
int32_t storeExtraHeaders(SessionRecord &rec, const char *text) {
    rec.extraHeaders = copyToSlot(rec.channel, 7, text);
    if (!rec.extraHeaders) return 0;
    size_t length = std::strlen(rec.extraHeaders);
    size_t start = length > 3 ? length - 3 : 0;
    size_t cut = length;
    for (size_t i = start; i < length; ++i) {
        if (rec.extraHeaders[i] == '\r' || rec.extraHeaders[i] == '\n') {
            cut = i;
            break;
        }
    }
    rec.extraHeaders[cut] = '\0';
    return static_cast<int32_t>(1 + (cut - start));
}

int32_t openLog(SessionRecord &rec, const char *path) {
    if (rec.logFile != 0) {
        platform::closeFile(rec.logFile);  // the earlier log is closed, never leaked
        rec.logFile = 0;
    }
    int32_t handle = platform::createFile(path, /*privateFile=*/true, /*noFollow=*/true);
    if (handle <= 0) return -1;
    rec.logFile = handle;
    return handle;
}

int32_t writeTopBuffer(SessionRecord &rec, const char *path) {
    int32_t slot = rec.channel * kSlotsPerChannel + 8;
    char *data = slotData(slot);
    if (!data) return TEV_E_NULL_POINTER;
    int32_t handle = platform::createFile(path, false, true);
    if (handle <= 0) return TEV_E_CANNOT_CREATE_FILE;
    int32_t length = static_cast<int32_t>(boundedLength(data, static_cast<size_t>(slotSize(slot))));
    int32_t written = length > 0 ? platform::writeFile(handle, data, length) : 0;
    platform::closeFile(handle);
    return written < 0 ? TEV_E_CANNOT_CREATE_FILE : written;
}

}  // namespace
}  // namespace tev

using namespace tev;

extern "C" int32_t tevIntegerParam(int32_t chan, int32_t code, int32_t value) {
    SessionRecord *rec = nullptr;
    int32_t rc = checkChannel(chan, rec);
    if (rc < 0) return rc;
    logFormat(*rec, "*** tevIntegerParam(%d,%d,%ld)\r\n", static_cast<int>(chan), static_cast<int>(code),
              static_cast<long>(value));
    const char low8 = static_cast<char>(value & 0xFF);
    switch (code) {
    case TEV_STEP_DELAY: settings.stepDelay.set(value); break;
    case TEV_RESPONSE_TIMEOUT: settings.responseTimeout.set(value); break;
    case TEV_CONNECT_TIMEOUT: settings.connectTimeout.set(value); break;
    case TEV_LINE_DELAY: settings.lineDelay.set(value); break;
    case TEV_TRANSFER_TIMEOUT:
        settings.sendTimeout.set(value);
        settings.readTimeout.set(value);
        break;
    case TEV_BODY_MODE: rec->bodyMode = value & 15; break;
    case TEV_AUTO_CALL:
        rec->autoCall = value & 1;
        rec->waitUntil = 0;
        rec->deadline = 0;
        break;
    case TEV_NUMBER_FILES: rec->numberAttachmentFiles = value; break;
    case TEV_SEND_TIMEOUT: settings.sendTimeout.set(value); break;
    case TEV_READ_TIMEOUT: settings.readTimeout.set(value); break;
    case TEV_POLL_SLEEP: settings.pollSleep.set(value); break;
    case TEV_SAVE_UNNAMED: rec->saveUnnamedParts = value; break;
    case TEV_SMTP_PORT: rec->smtpPort = static_cast<uint16_t>(value & 0xFFFF); break;
    case TEV_POP3_PORT: rec->pop3Port = static_cast<uint16_t>(value & 0xFFFF); break;
    case TEV_LINE_LENGTH:
        settings.maxLineLength.set(value);
        settings.softLineLength.set(static_cast<int32_t>(static_cast<int64_t>(value) - 18 < INT32_MIN
                                                             ? INT32_MIN
                                                             : static_cast<int64_t>(value) - 18));
        break;
    case TEV_BLOCKING: rec->nonBlockingConnect = value == 0 ? 1 : 0; break;
    case TEV_PASS_8BIT: settings.pass8Bit.set(low8); break;
    case TEV_NO_SAVE_NOTE: settings.noSaveNote.set(low8); break;
    case TEV_NO_TO_HEADER: settings.noToHeader.set(low8); break;
    case TEV_ADDRESS_SEPARATOR: settings.addressSeparator.set(low8); break;
    case TEV_CLEANUP_ON_RELEASE: settings.cleanupOnRelease.set(low8); break;
    case TEV_ATTACH_SEPARATOR: settings.attachmentSeparator.set(low8); break;
    case TEV_NAME_SEPARATOR: settings.nameSeparator.set(low8); break;
    case TEV_IMAGE_TYPES: rec->imageTypes = low8; break;
    case TEV_DECODE_MODE: rec->decodeState = static_cast<int16_t>(value & 0xFFFF); break;
    case TEV_USE_EHLO: rec->useEhlo = low8; break;
    case TEV_USE_APOP: rec->useApop = low8; break;
    case TEV_TLS_MODE:
        if (value < 0 || value > 3) return -1;
        rec->tlsMode = value;
        break;
    case TEV_TLS_VERIFY: rec->tlsVerify = value != 0 ? 1 : 0; break;
    case TEV_REQUIRE_AUTH: rec->requireAuth = value != 0 ? 1 : 0; break;
    case TEV_UTF8: rec->utf8 = value != 0 ? 1 : 0; break;
    case TEV_PREPARED_MESSAGE: rec->preparedMessage = value != 0 ? 1 : 0; break;
    case TEV_EARLY_REPLY:
        if (value < 0 || value > 1) return -1;
        settings.earlyReply.set(static_cast<char>(value));
        break;
    case TEV_CLOSE_PAUSE:
        if (value < 0 || value > kMaxClosePauseMs) return -1;
        settings.closePause.set(value);
        break;
    default: return -1;
    }
    return 1;
}

extern "C" int32_t tevStringParam(int32_t chan, int32_t code, const char *text) {
    SessionRecord *rec = nullptr;
    int32_t rc = checkChannel(chan, rec);
    if (rc < 0) return rc;
    if (!text) return TEV_E_NULL_POINTER;
    logFormat(*rec, "*** tevStringParam(%d,%d,%s)\r\n", static_cast<int>(chan), static_cast<int>(code), text);
    switch (code) {
    case TEV_LOG_FILE: return openLog(*rec, text);
    case TEV_WRITE_BUFFER: return writeTopBuffer(*rec, text);
    case TEV_REPLY_TO:
        if (hasLineBreak(text)) return TEV_E_BAD_ADDRESS_CHAR;
        return static_cast<int32_t>(copyText(rec->replyTo, text, kMaxNameChars));
    case TEV_HEADER_LINES:
        if (text[0] == '\0') {
            freeChannelSlots(chan, 7, 7);
            rec->extraHeaders = nullptr;
            return 0;
        }
        return storeExtraHeaders(*rec, text);
    case TEV_LOG_TEXT:
        if (rec->logFile != 0) {
            logText(*rec, text);
            logBytes(*rec, "\r\n", 2);
        }
        return rec->logFile;
    case TEV_FROM_ADDRESS:
        if (hasLineBreak(text)) return TEV_E_BAD_ADDRESS_CHAR;
        return static_cast<int32_t>(copyText(rec->fromAddress, text, kMaxNameChars));
    case TEV_CONTENT_TYPE: return static_cast<int32_t>(copyText(customContentType, text, 64));
    case TEV_TRANSFER_ENCODING: {
        size_t n = copyText(customTransferEncoding, text, 128);
        customTransferEncodingLength = static_cast<uint8_t>(n);
        return static_cast<int32_t>(n);
    }
    case TEV_ADD_HEADER_LINE: {
        // Built outside workBuffer so a long set of header lines is kept whole.
        std::string joined;
        if (rec->extraHeaders) {
            joined = rec->extraHeaders;
            joined += "\r\n";
        }
        joined += text;
        if (joined.empty()) {
            freeChannelSlots(chan, 7, 7);
            rec->extraHeaders = nullptr;
            return 0;
        }
        return storeExtraHeaders(*rec, joined.c_str());
    }
    case TEV_AUTH_PASSWORD: return static_cast<int32_t>(copyText(rec->password, text, kMaxCredentialChars));
    case TEV_AUTH_USER: return static_cast<int32_t>(copyText(rec->userName, text, kMaxCredentialChars));
    case TEV_ALTERNATE_TEXT: {
        if (rec->alternateText || text[0] == '\0') return 0;
        rec->alternateText = copyToSlot(chan, 9, text);
        return rec->alternateText ? static_cast<int32_t>(std::strlen(text)) : 0;
    }
    case TEV_TLS_CA_FILE:
        if (!fitsDirectory(text)) return -1;
        return static_cast<int32_t>(copyText(rec->tlsCaFile, text, kMaxDirectoryChars));
    case TEV_OAUTH_TOKEN:
        // A cut token is useless, and a line break would end the AUTH line: both are refused.
        if (std::strlen(text) > kMaxOAuthTokenChars || hasLineBreak(text)) return -1;
        return static_cast<int32_t>(copyText(rec->oauthToken, text));
    case TEV_AUTH_MECHANISMS:
        if (!normaliseMechanismList(text, rec->authMechanisms, sizeof rec->authMechanisms)) return -1;
        return static_cast<int32_t>(std::strlen(rec->authMechanisms));
    default: return -1;
    }
}
