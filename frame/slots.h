// Guarded allocation slots: ten per channel (slot = channel * 10 + k), each block framed by 'U' and 'z'.
#pragma once

#include <cstdint>

namespace tev {

constexpr int32_t kSlotOutOfRange = -100;
constexpr int32_t kSlotNoMemory = -102;
constexpr int32_t kSlotInUse = -103;
constexpr int32_t kSlotEmpty = -104;
constexpr int32_t kSlotIdMismatch = -105;
constexpr int32_t kSlotDamaged = -106;

void resetSlotTable();
int32_t allocateSlot(int32_t slot, int32_t size);
char *slotData(int32_t slot);
int32_t slotSize(int32_t slot);
int32_t checkSlot(int32_t slot);
int32_t freeSlot(int32_t slot);
// True when the slot holds a block (whatever its guards say).
bool slotInUse(int32_t slot);
// Frees slots k = firstK..lastK of a channel, nulling the record's references; stops at a damaged slot.
void freeChannelSlots(int32_t channel, int firstK, int lastK);
// Fresh copy of text in slot channel*10+k (old copy freed first); null for an empty text or no memory.
char *copyToSlot(int32_t channel, int k, const char *text);
void logMemoryError(const char *label, int32_t channel, int k, int32_t code);
// Memory check of tevDebug(-2): a notice for every damaged slot.
void memoryCheck();

}  // namespace tev
