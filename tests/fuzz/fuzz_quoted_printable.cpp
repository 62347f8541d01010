// Quoted-printable decoding of any text: the output fits strlen(text) + 1 bytes and is terminated.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "pop3/decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 1 << 20) return 0;
    const std::string text(reinterpret_cast<const char *>(data), size);  // cut at the first NUL by the decoder
    const size_t length = std::strlen(text.c_str());
    std::vector<char> out(length + 1);
    const int32_t n = tev::decodeQuotedPrintable(text.c_str(), out.data());
    if (n < 0 || static_cast<size_t>(n) > length || out[static_cast<size_t>(n)] != '\0') __builtin_trap();
    return 0;
}
