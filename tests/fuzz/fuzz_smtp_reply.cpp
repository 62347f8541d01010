// The SMTP reply reader on any bytes from the server: reply after reply until the connection's close, each
// terminated in the reply buffer, an error reply never returned as success.
#include <cstddef>
#include <cstdint>

#include "engine/transport.h"
#include "reply_feed.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 1 << 16) return 0;
    tev::SessionRecord &rec = tevfuzz::channel();
    int writer = -1;
    if (!tevfuzz::feed(rec, data, size, writer)) return 0;
    for (int replies = 0; replies < 4096; ++replies) {
        const int32_t rc = tev::readSmtpReply(rec);
        tevfuzz::checkTexts(rec);
        if (rc == 0 && rec.replyCode >= 500) __builtin_trap();
        if (rc != 0 && rc != TEV_E_SMTP_ERROR) break;  // closed, overflowed or timed out
    }
    tevfuzz::unfeed(rec, writer);
    return 0;
}
