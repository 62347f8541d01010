// Driving the library: tevmail attaches one channel per command, turns auto-call off and runs each operation with
// its own tevDriver loop, so it can draw a progress bar and stop cleanly on Ctrl-C between two steps.
#pragma once

#include <stdint.h>

#include "options.h"

namespace tevmail {

class Progress;

constexpr int32_t kChannel = 0;

// What drive() returns when Ctrl-C stopped an operation (no library code is this low).
constexpr int32_t kInterrupted = INT32_MIN;

// The first SIGINT or SIGTERM stops the running operation between two steps; a second one quits at once.
void installInterruptHandlers();

// Told every state number tevDriver answers while drive() runs an operation (9999, the wait, included).
class StateWatch {
public:
    virtual ~StateWatch() = default;
    virtual void onState(int32_t state) = 0;
};

// Runs the operation that `started` (the starting function's result) prepared, one tevDriver step at a time,
// until it finishes (0) or fails (negative), or kInterrupted. A starting function that failed its own checks is
// not driven.
int32_t drive(int32_t started, Progress *progress = nullptr, StateWatch *watch = nullptr);

// Attaches one channel for the lifetime of a command.
class Library {
public:
    Library();
    ~Library();
    Library(const Library &) = delete;
    Library &operator=(const Library &) = delete;
    int32_t result() const { return attached_; }

private:
    int32_t attached_;
};

// Settings every command makes after attaching: its own driver loop, the trace log, the time limits. kGoOn, or
// kExitLocalFile when the trace file cannot be made.
int applyCommon(const Common &common);

// The TLS settings of a command (chooseTlsMode, --cafile, --insecure) on the channel; returns the mode set.
int32_t applyTls(const Common &common, bool sendsPassword);

}  // namespace tevmail
