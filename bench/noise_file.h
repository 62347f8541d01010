// What the benchmark programs share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace bench {

// Writes a file of pseudo-random bytes in pieces, so the benchmark itself never holds it in memory.
inline bool writeNoiseFile(const std::string &path, size_t size) {
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    static unsigned char piece[64 * 1024];
    uint32_t x = 2463534242u;
    for (size_t done = 0; done < size;) {
        size_t n = size - done < sizeof piece ? size - done : sizeof piece;
        for (size_t i = 0; i < n; ++i) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            piece[i] = static_cast<unsigned char>(x >> 24);
        }
        if (std::fwrite(piece, 1, n, f) != n) {
            std::fclose(f);
            return false;
        }
        done += n;
    }
    return std::fclose(f) == 0;
}

}  // namespace bench
