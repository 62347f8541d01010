// The two line sources: the channel's receive ring (through the transport's readers) and a text in memory that
// is handed out the way the ring hands out what the socket delivers.
#include "pop3/line_source.h"

#include <cstring>

#include "engine/transport.h"

namespace tev {

namespace {

constexpr size_t kRingRoom = kRingSize - 1;  // the ring holds at most this many bytes

int32_t restOfLineWait() {
    const int64_t ms = static_cast<int64_t>(settings.readTimeout.get()) * 4;
    return ms > INT32_MAX ? INT32_MAX : static_cast<int32_t>(ms);
}

}  // namespace

// ---------------------------------------------------------------- the receive ring

int32_t RingLineSource::nextLine(char *buffer, int32_t capacity) {
    const int32_t wait = settings.readTimeout.get();
    if (!waitReadable(rec_, wait)) return 0;
    return readLine(rec_, buffer, capacity, wait, restOfLineWait());
}

int32_t RingLineSource::peek(char *buffer, int32_t length) {
    if (!waitReadable(rec_, settings.readTimeout.get())) return 0;
    const int32_t n = peekLineStart(rec_, buffer, length, settings.readTimeout.get());
    return n > 0 ? n : 0;
}

// ---------------------------------------------------------------- a text in memory

size_t MemoryLineSource::pieceEnd() const {
    for (size_t i = 0; i < splitCount_; ++i) {
        if (splits_[i] > ringEnd_ && splits_[i] < length_) return splits_[i];
    }
    return length_;
}

// One receive into an empty ring: at most `limit` bytes of the piece being delivered.
void MemoryLineSource::receive(size_t limit) {
    if (ringEnd_ != pos_) return;
    if (limit > kRingRoom) limit = kRingRoom;
    const size_t available = pieceEnd() - ringEnd_;
    ringEnd_ += available < limit ? available : limit;
}

// As the transport's readChunk: what the ring holds (received first when empty), up to and including the first
// LF, at most capacity - 1 bytes.
int32_t MemoryLineSource::readChunk(char *buffer, int32_t capacity) {
    if (capacity < 2) return 0;
    const size_t limit = static_cast<size_t>(capacity - 1) < kRingRoom ? static_cast<size_t>(capacity - 1) : kRingRoom;
    receive(limit);
    if (ringEnd_ == pos_) return -1;  // nothing left: the connection has closed
    size_t take = ringEnd_ - pos_;
    if (take > limit) take = limit;
    if (const void *lf = std::memchr(text_ + pos_, '\n', take)) {
        take = static_cast<size_t>(static_cast<const char *>(lf) - (text_ + pos_)) + 1;
    }
    std::memcpy(buffer, text_ + pos_, take);
    buffer[take] = '\0';
    pos_ += take;
    return static_cast<int32_t>(take);
}

// As the transport's readLine: chunks are joined until the LF or the room is reached; at the end of the text
// the part that came is returned and the next read reports the close.
int32_t MemoryLineSource::nextLine(char *buffer, int32_t capacity) {
    if (capacity < 2) return 0;
    int32_t n = readChunk(buffer, capacity);
    if (n <= 0) return n;
    while (n < capacity - 1 && buffer[n - 1] != '\n') {
        const int32_t m = readChunk(buffer + n, capacity - n);
        if (m <= 0) break;
        n += m;
    }
    return n;
}

// As the transport's peekLineStart: while fewer than `length` bytes and no LF are buffered, more are received
// from what follows (the next piece, when this one is used up).
int32_t MemoryLineSource::peek(char *buffer, int32_t length) {
    if (length <= 0) return 0;
    size_t want = static_cast<size_t>(length) < kRingRoom ? static_cast<size_t>(length) : kRingRoom;
    receive(want);
    while (ringEnd_ - pos_ < want && ringEnd_ < length_ &&
           !std::memchr(text_ + pos_, '\n', ringEnd_ - pos_)) {
        const size_t available = pieceEnd() - ringEnd_;
        const size_t more = want - (ringEnd_ - pos_);
        ringEnd_ += available < more ? available : more;
    }
    size_t n = ringEnd_ - pos_;
    if (n > want) n = want;
    std::memcpy(buffer, text_ + pos_, n);
    return static_cast<int32_t>(n);
}

}  // namespace tev
