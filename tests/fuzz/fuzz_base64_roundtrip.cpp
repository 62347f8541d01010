// Base64 encoding then decoding gives back the input, byte for byte, and the encoder writes exactly the size it
// announces.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "engine/codecs.h"
#include "tev32.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0 || size > 1 << 20) return 0;
    const std::vector<char> in(data, data + size);
    const int64_t announced = tev::encodedBufferSize(static_cast<int64_t>(size));
    std::vector<char> encoded(static_cast<size_t>(announced));
    const int32_t length = tevEncodeBuffer(in.data(), encoded.data(), static_cast<int32_t>(size));
    if (length != announced) __builtin_trap();
    std::vector<char> decoded(static_cast<size_t>(length) / 4 * 3 + 4);
    const int32_t back = tevDecodeBuffer(encoded.data(), decoded.data(), length);
    if (back != static_cast<int32_t>(size) || std::memcmp(decoded.data(), in.data(), size) != 0) __builtin_trap();
    return 0;
}
