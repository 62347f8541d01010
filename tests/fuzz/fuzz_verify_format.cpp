// The address syntax check on any text: an answer for every input, never a read past its end.
#include <cstddef>
#include <cstdint>
#include <string>

#include "tev32.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 1 << 16) return 0;
    const std::string address(reinterpret_cast<const char *>(data), size);
    (void)tevVerifyFormat(address.c_str());
    return 0;
}
