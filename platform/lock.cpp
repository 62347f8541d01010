// The process-wide library lock: one mutex that serialises the channel table and the socket calls made under it.
#include <mutex>

#include "platform/platform.h"

namespace tev::platform {
namespace {

// Constant-initialised, so it is usable before (and after) any other static object of the library.
std::mutex libraryMutex;

}  // namespace

void lockLibrary() { libraryMutex.lock(); }

void unlockLibrary() { libraryMutex.unlock(); }

}  // namespace tev::platform
