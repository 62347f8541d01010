// Base64 decoding of any bytes: the output never runs past 3 bytes per 4 input characters plus 4.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "tev32.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 1 << 20) return 0;
    // Exactly the input, with no terminator: the decoder must not read past len.
    std::vector<char> in(data, data + size);
    std::vector<char> out(size / 4 * 3 + 4);
    const int32_t n = tevDecodeBuffer(in.data(), out.data(), static_cast<int32_t>(size));
    if (n < 0 || static_cast<size_t>(n) > size / 4 * 3) __builtin_trap();
    return 0;
}
