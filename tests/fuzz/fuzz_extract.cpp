// Picking a line out of any text, by key and by number, into buffers of any size: never past the buffer, and the
// result is the length of the terminated text written.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "tev32.h"

namespace {

void checkResult(int32_t n, const std::vector<char> &buffer) {
    if (n == 0) return;
    if (n < 0 || static_cast<size_t>(n) >= buffer.size() || buffer[static_cast<size_t>(n)] != '\0') __builtin_trap();
}

}  // namespace

// Input: one byte of buffer size, one byte of line number, then "key\0text".
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2 || size > 1 << 16) return 0;
    const int32_t bufferSize = data[0];
    const int32_t line = static_cast<int8_t>(data[1]);
    const std::string rest(reinterpret_cast<const char *>(data + 2), size - 2);
    const size_t nul = rest.find('\0');
    const std::string key = nul == std::string::npos ? std::string() : rest.substr(0, nul);
    const std::string text = nul == std::string::npos ? rest : rest.substr(nul + 1);
    std::vector<char> buffer(static_cast<size_t>(bufferSize) + 1);
    checkResult(tevExtractText(text.c_str(), key.c_str(), buffer.data(), bufferSize), buffer);
    checkResult(tevExtractLine(text.c_str(), line, buffer.data(), bufferSize), buffer);
    return 0;
}
