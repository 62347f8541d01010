// Guarded allocation slots.  The n data bytes of a block are framed by a 'U' just before and a 'z' just after
// them (then a 0); the guards let the memory check and freeChannelSlots find writes past a text's end.  The data
// starts 16 bytes into the zero-filled block so a record kept in a slot is properly aligned.
#include "frame/slots.h"

#include <cstdio>
#include <cstdlib>

#include "frame/record.h"
#include "frame/text.h"
#include "frame/tracelog.h"
#include "platform/platform.h"

namespace tev {

namespace {

constexpr size_t kLead = 16;  // bytes before the data; the last of them is the 'U' guard

struct Slot {
    char *data;      // block start, null when empty
    int32_t size;    // data bytes asked for
    int16_t id;      // the slot's own number
};

Slot slotTable[kSlotCount];

bool validNumber(int32_t slot) { return slot >= 0 && slot < kSlotCount; }

}  // namespace

void resetSlotTable() {
    for (int32_t i = 0; i < kSlotCount; ++i) {
        slotTable[i].data = nullptr;
        slotTable[i].size = 0;
        slotTable[i].id = static_cast<int16_t>(i);
    }
}

int32_t allocateSlot(int32_t slot, int32_t size) {
    if (!validNumber(slot)) return kSlotOutOfRange;
    Slot &s = slotTable[slot];
    if (s.id != slot) return kSlotIdMismatch;
    if (s.data) return kSlotInUse;
    if (size < 0) return kSlotNoMemory;
    auto *block = static_cast<char *>(std::calloc(kLead + static_cast<size_t>(size) + 2, 1));
    if (!block) return kSlotNoMemory;
    block[kLead - 1] = 'U';
    block[kLead + size] = 'z';
    s.data = block;
    s.size = size;
    return slot;
}

char *slotData(int32_t slot) {
    if (!validNumber(slot)) return nullptr;
    Slot &s = slotTable[slot];
    if (s.id != slot || !s.data) return nullptr;
    return s.data + kLead;
}

int32_t slotSize(int32_t slot) {
    if (!validNumber(slot)) return kSlotOutOfRange;
    Slot &s = slotTable[slot];
    if (s.id != slot) return kSlotIdMismatch;
    if (!s.data) return kSlotEmpty;
    return s.size;
}

bool slotInUse(int32_t slot) { return validNumber(slot) && slotTable[slot].data != nullptr; }

int32_t checkSlot(int32_t slot) {
    if (!validNumber(slot)) return kSlotOutOfRange;
    Slot &s = slotTable[slot];
    if (s.id != slot) return kSlotIdMismatch;
    if (!s.data || s.size == 0) return kSlotEmpty;
    if (s.data[kLead - 1] != 'U' || s.data[kLead + s.size] != 'z') return kSlotDamaged;
    return 1;
}

int32_t freeSlot(int32_t slot) {
    if (!validNumber(slot)) return kSlotOutOfRange;
    Slot &s = slotTable[slot];
    if (s.id != slot) return kSlotIdMismatch;
    if (!s.data) return kSlotEmpty;
    std::free(s.data);
    s.data = nullptr;
    s.size = 0;
    return 1;
}

namespace {

// Nulls every reference of the channel's record into slot k before the slot is freed.
void dropReferences(int32_t channel, int k) {
    SessionRecord *rec = channelTable[channel].record;
    if (!rec) return;
    char *data = slotData(channel * kSlotsPerChannel + k);
    switch (k) {
    case 0: channelTable[channel].record = nullptr; return;
    case 1:
        rec->toList = nullptr;
        rec->addressCursor = nullptr;
        break;
    case 2: rec->ccList = nullptr; break;
    case 3: rec->bccList = nullptr; break;
    case 4: rec->subject = nullptr; break;
    case 5: rec->messageText = nullptr; break;
    case 6: rec->attachmentList = nullptr; break;
    case 7: rec->extraHeaders = nullptr; break;
    case 8:
        if (data && rec->userBuffer == data) rec->userBuffer = nullptr;
        break;
    case 9: rec->alternateText = nullptr; break;
    default: break;
    }
    // Cursors that walk a freed text must not dangle either.
    int32_t size = slotSize(channel * kSlotsPerChannel + k);
    if (data && size >= 0) {
        auto inside = [&](const char *p) { return p && p >= data && p <= data + size; };
        if (inside(rec->addressCursor)) rec->addressCursor = nullptr;
        if (inside(rec->currentAddress)) rec->currentAddress = nullptr;
        if (inside(rec->separatorPos)) rec->separatorPos = nullptr;
        if (inside(rec->nextAttachment)) rec->nextAttachment = nullptr;
        if (inside(rec->messageText)) rec->messageText = nullptr;
        if (inside(rec->attachmentList)) rec->attachmentList = nullptr;
    }
}

}  // namespace

void freeChannelSlots(int32_t channel, int firstK, int lastK) {
    if (channel < 0 || channel >= kMaxChannels) return;
    for (int k = firstK; k <= lastK; ++k) {
        int32_t slot = channel * kSlotsPerChannel + k;
        int32_t rc = checkSlot(slot);
        if (rc == 1) {
            dropReferences(channel, k);
            freeSlot(slot);
        } else if (rc == kSlotIdMismatch || rc == kSlotDamaged) {
            logMemoryError("FreeMemory Error", channel, k, rc);
            return;
        }
    }
}

char *copyToSlot(int32_t channel, int k, const char *text) {
    int32_t slot = channel * kSlotsPerChannel + k;
    if (!text || text[0] == '\0') {
        logMemoryError("AllocAndCopy Error 1", channel, k, 0);
        return nullptr;
    }
    if (slotInUse(slot)) {
        dropReferences(channel, k);
        freeSlot(slot);
    }
    size_t length = std::strlen(text);
    if (length > static_cast<size_t>(INT32_MAX - 8)) {
        logMemoryError("AllocAndCopy Error 2", channel, k, kSlotNoMemory);
        return nullptr;
    }
    int32_t rc = allocateSlot(slot, static_cast<int32_t>(length) + 2);
    if (rc < 0) {
        logMemoryError("AllocAndCopy Error 2", channel, k, rc);
        return nullptr;
    }
    char *data = slotData(slot);
    std::memcpy(data, text, length + 1);
    return data;
}

void logMemoryError(const char *label, int32_t channel, int k, int32_t code) {
    if (channel < 0 || channel >= kMaxChannels) return;
    SessionRecord *rec = channelTable[channel].record;
    if (!rec) return;
    logFormat(*rec, "%s: Chan=%d, Index=%d, Code=%d\r\n", label, static_cast<int>(channel), k,
              static_cast<int>(code));
}

void memoryCheck() {
    for (int32_t slot = 0; slot < kSlotCount; ++slot) {
        if (!slotTable[slot].data) continue;
        if (checkSlot(slot) == kSlotDamaged) {
            char message[96];
            formatText(message, sizeof message, "Memory Corrupted (%s): ID=%d Err=%d", "tevDebug",
                       static_cast<int>(slot), static_cast<int>(kSlotDamaged));
            platform::notice(message);
        }
    }
}

}  // namespace tev
