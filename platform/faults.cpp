// Fault injection for tests: the n-th following send, receive, connect, file open, file read or file write
// fails, so every error path of the library can be driven without a misbehaving peer or file system.
#include <atomic>

#include "platform/internal.h"
#include "platform/platform.h"

namespace tev::platform {
namespace {

constexpr int kFaultKinds = 6;
std::atomic<int32_t> faultCountdown[kFaultKinds];

int indexOf(FaultKind kind) {
    switch (kind) {
    case FaultKind::send: return 0;
    case FaultKind::receive: return 1;
    case FaultKind::connect: return 2;
    case FaultKind::openFile: return 3;
    case FaultKind::readFile: return 4;
    case FaultKind::writeFile: return 5;
    }
    return -1;
}

}  // namespace

void injectFault(FaultKind kind, int32_t nth) {
    const int index = indexOf(kind);
    if (index < 0) return;
    faultCountdown[index].store(nth > 0 ? nth : 0, std::memory_order_relaxed);
}

bool faultPending(FaultKind kind) {
    const int index = indexOf(kind);
    return index >= 0 && faultCountdown[index].load(std::memory_order_relaxed) > 0;
}

namespace detail {

bool faultDue(FaultKind kind) {
    const int index = indexOf(kind);
    if (index < 0) return false;
    std::atomic<int32_t> &countdown = faultCountdown[index];
    int32_t left = countdown.load(std::memory_order_relaxed);
    // Counting down with compare-exchange keeps a racing thread from consuming the same fault twice.
    while (left > 0) {
        if (countdown.compare_exchange_weak(left, left - 1, std::memory_order_relaxed)) return left == 1;
    }
    return false;
}

}  // namespace detail
}  // namespace tev::platform
