// Misbehaving replies for hostile-server tests: a scripted server plays a good dialogue but answers one chosen
// step with one of these, drawn from a fixed seed so every run plays the same dialogues.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "frame/errors.h"
#include "support/scripted_server.h"
#include "tev32.h"

namespace tevtest {

enum class Misbehaviour {
    transient,   // a 4xx reply (POP3: "-ERR")
    permanent,   // a 5xx reply (POP3: "-ERR")
    noCode,      // a line without a reply code
    randomBytes, // random bytes (the first no digit and no '+'), then CR LF
    noLineEnd,   // a good reply without CR LF, then silence
    halfReply,   // the first half of a good reply, then silence
    longLine,    // a good reply's start followed by 3,000 bytes on one line
    nuls,        // a line of NULs and text
    close,       // orderly close instead of the reply
    reset,       // abortive close instead of the reply
    split,       // the good reply, cut into pieces
    silence,     // nothing at all
};
constexpr int kMisbehaviours = 12;

inline const char *nameOf(Misbehaviour m) {
    static const char *const names[kMisbehaviours] = {"4xx",      "5xx",       "no code", "random bytes",
                                                      "no CR LF", "half reply", "3,000-byte line", "NULs",
                                                      "close",    "reset",     "split",   "silence"};
    return names[static_cast<int>(m)];
}

// True when a client must not take what this misbehaviour sends for the good reply it stands for: it refuses,
// is no reply, or never completes.  Only a split reply is a good reply.
inline bool spoilsReply(Misbehaviour m) { return m != Misbehaviour::split; }

// True when the server sends no whole reply and then waits.
inline bool stalls(Misbehaviour m) {
    return m == Misbehaviour::noLineEnd || m == Misbehaviour::halfReply || m == Misbehaviour::silence;
}

// xorshift32: the same numbers on every machine.
class SeededRandom {
public:
    explicit SeededRandom(uint32_t seed) : x_(seed ? seed : 1) {}
    uint32_t next() {
        x_ ^= x_ << 13;
        x_ ^= x_ >> 17;
        x_ ^= x_ << 5;
        return x_;
    }
    uint32_t below(uint32_t n) { return next() % n; }

private:
    uint32_t x_;
};

// Adds to the script what the server does in place of `good` (a whole reply, CR LF included) when it
// misbehaves with m; `smtp` chooses the refusals' form.  A stall lasts stallMs, then the server closes.
inline void misbehave(ScriptedServer &srv, Misbehaviour m, const std::string &good, bool smtp, SeededRandom &rng,
                      int stallMs) {
    switch (m) {
    case Misbehaviour::transient:
        srv.send(smtp ? "421 try again later\r\n" : "-ERR busy, try again\r\n");
        return;
    case Misbehaviour::permanent:
        srv.send(smtp ? "554 rejected\r\n" : "-ERR no such thing\r\n");
        return;
    case Misbehaviour::noCode:
        srv.send("bad rejected\r\n");
        return;
    case Misbehaviour::randomBytes: {
        std::string bytes(1 + rng.below(200), '\0');
        for (char &c : bytes) c = static_cast<char>(rng.next() >> 24);
        bytes[0] = static_cast<char>('a' + rng.below(26));
        srv.send(bytes + "\r\n");
        return;
    }
    case Misbehaviour::noLineEnd:
        srv.send(good.substr(0, good.size() - 2)).silence(stallMs).close();
        return;
    case Misbehaviour::halfReply:
        srv.send(good.substr(0, good.size() / 2)).silence(stallMs).close();
        return;
    case Misbehaviour::longLine:
        srv.send(good.substr(0, 4) + std::string(3000, 'x') + "\r\n");
        return;
    case Misbehaviour::nuls:
        srv.send(std::string("\0\0\0 ok\0\0", 8) + "\r\n");
        return;
    case Misbehaviour::close:
        srv.close();
        return;
    case Misbehaviour::reset:
        srv.reset();
        return;
    case Misbehaviour::split: {
        std::vector<size_t> cuts;
        for (size_t at = 1 + rng.below(3); at < good.size(); at += 1 + rng.below(4)) cuts.push_back(at);
        srv.sendSplit(good, cuts, 5);
        return;
    }
    case Misbehaviour::silence:
        srv.silence(stallMs).close();
        return;
    }
}

// Runs one call of the library: it must return within boundMs with 0 or a code of the error table.
// TEV_HOSTILE_TIMES=1 prints every call's result and time.
template <typename Call>
int32_t timedCall(const std::string &where, int boundMs, Call call) {
    const auto start = std::chrono::steady_clock::now();
    const int32_t rc = call();
    const long long ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(ms, boundMs) << where;
    EXPECT_TRUE(rc == 0 || tev::errorTextOf(rc)[0] != '\0') << where << ": result " << rc;
    if (std::getenv("TEV_HOSTILE_TIMES")) std::printf("%s: %d in %lld ms\n", where.c_str(), rc, ms);
    return rc;
}

// Without autoCall a call only starts its operation (0, or a refusal of its arguments): the driver runs it
// until it returns 0 or a negative code, for at most boundMs.
inline int32_t driveToEnd(int32_t channel, int32_t started, bool autoCall, int boundMs) {
    if (autoCall || started != 0) return started;
    const auto start = std::chrono::steady_clock::now();
    int32_t rc;
    do {
        rc = tevDriver(channel);
        if (rc == 9999) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    } while (rc > 0 && std::chrono::steady_clock::now() - start < std::chrono::milliseconds(boundMs));
    return rc;
}

}  // namespace tevtest
