// MIME decoder (not built yet): every line is written to the message file as it is.
#include "pop3/decoder.h"

#include <cstring>

namespace tev {

int32_t decodeMimeLine(SessionRecord &) { return 1; }
int32_t closeAttachment(SessionRecord &) { return 0; }
int32_t decodeQuotedPrintable(const char *text, char *out) {
    size_t n = std::strlen(text);
    std::memcpy(out, text, n + 1);
    return static_cast<int32_t>(n);
}

}  // namespace tev
