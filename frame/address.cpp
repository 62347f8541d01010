// A channel's server and local addresses as text.
#include "frame/address.h"

#include "frame/text.h"

namespace tev {

int32_t formatServerAddress(const SessionRecord &rec, char *buffer, int32_t size) {
    if (rec.addressFamily == kFamilyIPv6) return platform::formatIPv6(rec.serverAddress6, buffer, size);
    return formatDottedAddress(rec.serverAddress, buffer, size);
}

int32_t formatLocalAddress(int32_t sock, char *buffer, int32_t size) {
    if (const uint32_t local = platform::localAddress(sock)) return formatDottedAddress(local, buffer, size);
    uint8_t local6[16];
    if (platform::localAddress6(sock, local6)) return platform::formatIPv6(local6, buffer, size);
    return 0;
}

}  // namespace tev
