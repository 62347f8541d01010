// Where the MIME decoder and the line fetch take received lines from: the channel's receive ring (a RETR on the
// socket) or a message held in memory (tests, fuzzing).  Both yield the same lines for the same bytes: a line
// longer than the reader's room arrives in parts, and a look-ahead sees only the bytes already received.
#pragma once

#include <cstddef>
#include <cstdint>

#include "frame/record.h"

namespace tev {

// A source of received lines.  The lines are the bytes as the server sent them (dot-stuffed, the status line and
// the "." end line included); the fetch's line-start rules (pop3/fetch_line.h) come after the source.
struct LineSource {
    // The next line into buffer, NUL-terminated: at most capacity - 1 bytes up to and including its LF, so a longer
    // line comes in parts.  Its length; 0 when nothing came in time; -1 when the connection is closed (the input
    // has ended); another negative code when the read failed.
    virtual int32_t nextLine(char *buffer, int32_t capacity) = 0;
    // Up to length of the bytes that follow, left in place: fewer only when an LF is among them, the input ends
    // or nothing more comes in time; 0 when none came in time or the input has ended.
    virtual int32_t peek(char *buffer, int32_t length) = 0;

protected:
    ~LineSource() = default;
};

// Lines of the channel's connection through the transport's receive ring, with the fetch's waits: readTimeout
// for a line to start, four times that for the rest of it.  Traced as every read of the ring is ("P: ", "r: ").
class RingLineSource final : public LineSource {
public:
    explicit RingLineSource(SessionRecord &rec) : rec_(rec) {}
    int32_t nextLine(char *buffer, int32_t capacity) override;
    int32_t peek(char *buffer, int32_t length) override;

private:
    SessionRecord &rec_;
};

// Lines of a text in memory, as the receive ring would yield them when the text arrives in pieces: split points
// (offsets into the text, ascending) end one piece and start the next: a piece
// is all a read gets before the next one arrives, as a read gets only what TCP has delivered; a look-ahead that
// needs more waits for the next piece, as the ring source does.  No split: one piece.  A piece is received at
// most 1023 bytes at a time (the ring's room), and a look-ahead receives only the bytes it asks for, exactly as
// the transport does.  The end of the text is a closed connection.
class MemoryLineSource final : public LineSource {
public:
    MemoryLineSource(const char *text, size_t length, const size_t *splitPoints = nullptr, size_t splitCount = 0)
        : text_(text), length_(length), splits_(splitPoints), splitCount_(splitPoints ? splitCount : 0) {}
    int32_t nextLine(char *buffer, int32_t capacity) override;
    int32_t peek(char *buffer, int32_t length) override;
    // Bytes taken so far (peeked bytes not counted).
    size_t consumed() const { return pos_; }

private:
    size_t pieceEnd() const;
    void receive(size_t limit);
    int32_t readChunk(char *buffer, int32_t capacity);

    const char *text_;
    size_t length_;
    const size_t *splits_;
    size_t splitCount_;
    size_t pos_ = 0;       // first byte not taken
    size_t ringEnd_ = 0;   // end of the received bytes: [pos_, ringEnd_) is the ring
};

}  // namespace tev
