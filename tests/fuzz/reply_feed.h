// Feeding a reply reader from memory: the bytes go into one end of a local socket pair whose other end is the
// channel's socket, and the writing end is shut, so the reader sees exactly these bytes and then the close.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "frame/record.h"
#include "tev32.h"

namespace tevfuzz {

// Channel 0 of a library attached once, with short time limits so that no input can make a reader wait long.
inline tev::SessionRecord &channel() {
    static tev::SessionRecord *rec = [] {
        tevAttach(1);
        tevIntegerParam(0, TEV_RESPONSE_TIMEOUT, 20);
        tevIntegerParam(0, TEV_READ_TIMEOUT, 20);
        tevIntegerParam(0, TEV_POLL_SLEEP, 1);
        return tev::channelTable[0].record;
    }();
    return *rec;
}

// Gives the channel a socket that delivers `data` and then an orderly close; false when none can be made.
inline bool feed(tev::SessionRecord &rec, const uint8_t *data, size_t size, int &writer) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return false;
    size_t sent = 0;
    while (sent < size) {
        const ssize_t n = send(pair[1], data + sent, size - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n <= 0) break;  // the socket buffer is full: the reader gets what fitted
        sent += static_cast<size_t>(n);
    }
    shutdown(pair[1], SHUT_WR);
    writer = pair[1];
    rec.socket = pair[0];
    rec.ringRead = 0;
    rec.ringWrite = 0;
    return true;
}

inline void unfeed(tev::SessionRecord &rec, int writer) {
    close(rec.socket);
    close(writer);
    rec.socket = 0;
    rec.ringRead = 0;
    rec.ringWrite = 0;
}

// The reader's texts stay terminated inside their fields.
inline void checkTexts(const tev::SessionRecord &rec) {
    if (std::memchr(rec.replyBuffer, 0, 1024) == nullptr) __builtin_trap();
    if (std::memchr(rec.lastReply, 0, sizeof rec.lastReply) == nullptr) __builtin_trap();
}

}  // namespace tevfuzz
