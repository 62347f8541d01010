// The POP3 status-line reader on any bytes from the server: line after line until the close, each terminated in
// the reply buffer, with the status its first character gives.
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
        const int32_t rc = tev::readPop3Reply(rec);
        tevfuzz::checkTexts(rec);
        if (rc == 0 && rec.replyBuffer[0] != '\0' && rec.replyCode != 100) __builtin_trap();
        if (rc == TEV_E_POP3_ERROR && rec.replyBuffer[0] == '+') __builtin_trap();
        if (rc != 0 && rc != TEV_E_POP3_ERROR) break;
        if (rc == 0 && rec.replyBuffer[0] == '\0') break;
    }
    tevfuzz::unfeed(rec, writer);
    return 0;
}
