// tevDebug and tevStatistics: internal texts and counters of a channel, and the memory check.
#include "frame/address.h"
#include "frame/dateline.h"
#include "frame/mechanisms.h"
#include "frame/readiness.h"
#include "frame/record.h"
#include "frame/slots.h"
#include "frame/text.h"
#include "frame/wait_need.h"
#include "platform/platform.h"
#include "tev32.h"

using namespace tev;

namespace {

// Copies at most maxChars characters of a fixed-buffer text into the caller's buffer; returns the count.
int32_t copyOut(char *buffer, int32_t bufLen, const char *text, size_t textCapacity, size_t maxChars = SIZE_MAX) {
    size_t length = boundedLength(text, textCapacity);
    if (length > maxChars) length = maxChars;
    size_t n = length < static_cast<size_t>(bufLen - 1) ? length : static_cast<size_t>(bufLen - 1);
    std::memcpy(buffer, text, n);
    buffer[n] = '\0';
    return static_cast<int32_t>(n);
}

}  // namespace

extern "C" int32_t tevDebug(int32_t chan, int32_t code, char *buffer, int32_t bufLen) {
    if (chan == TEV_DEBUG_MEMORY_CHECK) {
        memoryCheck();
        return 0;
    }
    if (!buffer || bufLen < 1) return 0;
    buffer[0] = '\0';
    SessionRecord *rec = nullptr;
    int32_t rc = checkChannel(chan, rec);
    if (rc < 0) return rc;
    switch (code) {
    case TEV_DEBUG_DATE_LINE: {
        char line[96];
        buildDateLine(line, sizeof line);
        copyOut(buffer, bufLen, line, sizeof line);
        return 0;
    }
    case TEV_DEBUG_LAST_REPLY: {
        int32_t n = copyOut(buffer, bufLen, rec->lastReply, sizeof rec->lastReply, 128);
        if (n > 2 && buffer[n - 2] == '\r') n -= 2;
        return n;
    }
    // An IPv6 address needs a buffer of kAddressTextSize (46) bytes; a shorter one gets 0 and no text.
    case TEV_DEBUG_SERVER_IP:
        if (bufLen <= 16) return 0;
        return formatServerAddress(*rec, buffer, bufLen);
    case TEV_DEBUG_LOCAL_IP:
        if (bufLen <= 16 || rec->socket <= 0) return 0;
        return formatLocalAddress(rec->socket, buffer, bufLen);
    case TEV_DEBUG_SAVED_FILES:
        return copyOut(buffer, bufLen, rec->savedAttachments, sizeof rec->savedAttachments);
    case TEV_DEBUG_LAST_RECIPIENT:
        return copyOut(buffer, bufLen, rec->lastRecipient, sizeof rec->lastRecipient);
    case TEV_DEBUG_BUFFER: {
        int32_t slot = chan * kSlotsPerChannel + 8;
        char *data = slotData(slot);
        if (!data) return TEV_E_NULL_POINTER;
        return copyOut(buffer, bufLen, data, static_cast<size_t>(slotSize(slot)));
    }
    case TEV_DEBUG_TLS: {
        char description[96];
        platform::tlsDescribe(rec->tlsActive ? rec->tlsSession : nullptr, description, sizeof description);
        return copyOut(buffer, bufLen, description, sizeof description);
    }
    case TEV_DEBUG_AUTH_MECHANISM: {
        const char *name = mechanismName(static_cast<SaslMechanism>(rec->authenticatedWith));
        return copyOut(buffer, bufLen, name, std::strlen(name) + 1);
    }
    default:
        copyOut(buffer, bufLen, "?", 2);
        return 0;
    }
}

extern "C" int32_t tevStatistics(int32_t chan, int32_t code) {
    SessionRecord *rec = nullptr;
    int32_t rc = checkChannel(chan, rec);
    if (rc < 0) return rc;
    // The byte counters are plain 32-bit counters; sums wrap as the counters themselves do.
    switch (code) {
    case TEV_STAT_STEPS: return rec->stepCount;
    case TEV_STAT_REPLY_CODE: return rec->replyCode;
    case TEV_STAT_SOCKET_ERROR: return rec->lastSocketError;
    case TEV_STAT_TEXT_READ: return rec->textBytesRead;
    case TEV_STAT_ATTACH_READ: return rec->attachmentBytesRead;
    case TEV_STAT_TOTAL_READ: return counterSum(rec->textBytesRead, rec->attachmentBytesRead);
    case TEV_STAT_TEXT_SENT: return rec->textBytesSent;
    case TEV_STAT_ATTACH_SENT: return rec->attachmentBytesSent;
    case TEV_STAT_TOTAL_SENT: return counterSum(rec->textBytesSent, rec->attachmentBytesSent);
    case TEV_STAT_VERSION: return TEV_VERSION;
    case TEV_STAT_MESSAGE_COUNT: return rec->messageCount;
    case TEV_STAT_MESSAGE_SIZE: return rec->messageSize;
    case TEV_STAT_BUFFER_USED: return rec->userBufferUsed;
    case TEV_STAT_CONNECTED:
        if (hasError(*rec)) return TEV_E_CONNECT;
        return isWritable(*rec) ? 1 : 0;
    case TEV_STAT_ATTACH_SAVED: return rec->attachmentsSaved;
    case TEV_STAT_VERIFY_RESULT: return rec->verifyResult;
    case TEV_STAT_BUILD: return TEV_BUILD;
    case TEV_STAT_SOCKET: return rec->socket;
    case TEV_STAT_TLS: return rec->tlsActive && rec->tlsSession != nullptr ? 1 : 0;
    case TEV_STAT_WAIT_EVENTS: return mayWait(*rec) ? channelWait(*rec, platform::tick()).events : 0;
    case TEV_STAT_WAIT_MS: return mayWait(*rec) ? channelWait(*rec, platform::tick()).ms : 0;
    default: return -1;
    }
}
