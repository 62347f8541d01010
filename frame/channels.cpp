// Attach and release, the channel table and the channel check.
#include <cstring>

#include "frame/record.h"
#include "frame/slots.h"
#include "frame/text.h"
#include "frame/tracelog.h"
#include "platform/platform.h"
#include "tev32.h"

namespace tev {

Settings settings;
char customContentType[65];
char customTransferEncoding[129];
uint8_t customTransferEncodingLength;
char boundaryBase[32];
ChannelEntry channelTable[kMaxChannels];
uint16_t channelCount;
char emptyText[1];

int32_t checkChannel(int32_t channel, SessionRecord *&record) {
    record = nullptr;
    if (channelCount == 0) return TEV_E_NOT_ATTACHED;
    if (channel < 0 || channel >= static_cast<int32_t>(channelCount)) return TEV_E_CHANNEL_RANGE;
    record = channelTable[channel].record;
    return record ? 0 : TEV_E_NOT_ATTACHED;
}

namespace {

void initialiseRecord(SessionRecord &rec, int32_t channel) {
    rec.channel = channel;
    rec.prevState = kNoStateYet;
    rec.thisState = kNoState;
    rec.waitWritable = 0;
    rec.nonBlockingConnect = 1;
    rec.autoCall = 1;
    rec.smtpPort = 25;
    rec.pop3Port = 110;
    rec.attachmentSerial = 0;
    rec.imageTypes = 1;
    rec.tlsVerify = 1;
}

}  // namespace
}  // namespace tev

using namespace tev;

extern "C" int32_t tevAttach(int32_t channels) {
    if (channelCount != 0) return TEV_E_ALREADY_ATTACHED;
    if (channels < 0 || channels > kMaxChannels) return TEV_E_CHANNEL_RANGE;
    platform::LibraryLock lock;
    // POSIX sockets need no start-up.
    resetSlotTable();
    for (int32_t i = 0; i < channels; ++i) {
        int32_t slot = i * kSlotsPerChannel;
        if (allocateSlot(slot, static_cast<int32_t>(sizeof(SessionRecord))) < 0) {
            // Give back what this attach allocated so a later attach starts clean.
            for (int32_t j = i - 1; j >= 0; --j) {
                freeSlot(j * kSlotsPerChannel);
                channelTable[j].record = nullptr;
            }
            return TEV_E_NO_MEMORY;
        }
        auto *rec = reinterpret_cast<SessionRecord *>(slotData(slot));
        channelTable[i].record = rec;
        channelTable[i].socket = 0;
        std::memset(channelTable[i].remoteAddress, 0, sizeof channelTable[i].remoteAddress);
        initialiseRecord(*rec, i);
    }
    channelCount = static_cast<uint16_t>(channels);
    formatText(boundaryBase, sizeof boundaryBase, "=====_TEV%ld_=====",
               static_cast<long>(static_cast<int32_t>(platform::tick())));
    return 1;
}

extern "C" int32_t tevRelease(void) {
    if (channelCount == 0) return 1;
    platform::LibraryLock lock;
    for (int32_t i = channelCount - 1; i >= 0; --i) {
        SessionRecord *rec = channelTable[i].record;
        if (!rec) continue;
        if (rec->logFile != 0) {
            logFormat(*rec, "Releasing channel %d\r\n", static_cast<int>(i));
            platform::closeFile(rec->logFile);
            rec->logFile = 0;
        }
        freeChannelSlots(i, 1, 9);
        // The socket stays as the release leaves it; its TLS session goes with the record.
        platform::tlsClose(rec->tlsSession);
        rec->tlsSession = nullptr;
        rec->tlsActive = 0;
    }
    for (int32_t i = channelCount - 1; i >= 0; --i) freeChannelSlots(i, 0, 0);
    channelCount = 0;
    return 1;
}
