// Unpredictable bytes from the kernel (getrandom), for the unique parts of Message-IDs.  When the kernel cannot
// give them at once, the clock fills in: the IDs stay unique through their time and counter parts.
#include <cerrno>
#include <cstring>
#include <ctime>

#include <sys/random.h>

#include "platform/platform.h"

namespace tev::platform {

void randomBytes(void *buffer, size_t count) {
    auto *out = static_cast<unsigned char *>(buffer);
    size_t filled = 0;
    while (filled < count) {
        const ssize_t n = getrandom(out + filled, count - filled, GRND_NONBLOCK);
        if (n > 0) {
            filled += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        break;
    }
    if (filled == count) return;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    uint64_t mix = static_cast<uint64_t>(now.tv_nsec) * 0x9E3779B97F4A7C15ull ^ static_cast<uint64_t>(now.tv_sec);
    for (; filled < count; ++filled) {
        mix ^= mix >> 29;
        mix *= 0xBF58476D1CE4E5B9ull;
        out[filled] = static_cast<unsigned char>(mix >> 56);
    }
}

uint64_t epochMs() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

}  // namespace tev::platform
