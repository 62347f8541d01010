// What the sending states (smtp/compose.cpp) and the MIME states (smtp/mime.cpp) share: the states where one
// hands over to the other, and two small rules both apply.
#pragma once

#include <cstdint>

#include "frame/record.h"

namespace tev {

namespace sendstate {
constexpr int32_t kTopContentType = 230;  // MIME: the message's Content-Type line
constexpr int32_t kEndOfHeader = 233;     // the empty line after the header
constexpr int32_t kFirstPart = 234;       // MIME: the first delimiter and the text part's header
constexpr int32_t kTextStart = 238;       // the message text
constexpr int32_t kEndOfData = 251;       // closing delimiter and the end-of-data line
constexpr int32_t kAttachmentPart = 260;  // MIME: the next attachment
}  // namespace sendstate

// A message is MIME multipart when it has attachments or its body is anything but plain text.
inline bool isMimeMessage(const SessionRecord &rec) { return rec.attachmentList != nullptr || rec.bodyMode != 0; }

// Adds to a transfer counter; the counters wrap at 32 bits like the statistics that show them.
inline void addToCounter(int32_t &counter, int32_t amount) {
    counter = static_cast<int32_t>(static_cast<uint32_t>(counter) + static_cast<uint32_t>(amount));
}

}  // namespace tev
