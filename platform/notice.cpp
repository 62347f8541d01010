// The notice the memory check raises: a single line on standard error, since a library has no window to show.
#include <cstdio>

#include "platform/platform.h"

namespace tev::platform {

void notice(const char *message) {
    // One call, so lines from several threads do not interleave (stdio locks the stream for its duration).
    std::fprintf(stderr, "Info: %s\n", message != nullptr ? message : "");
    std::fflush(stderr);
}

}  // namespace tev::platform
