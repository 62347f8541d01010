// Session control for either protocol: closing (QUIT), aborting and one raw command line.  Its states, and the
// hooks through which a protocol module finishes the resources it holds when a session is closed: the engine
// knows a protocol only through the hooks that protocol registers.
#pragma once

#include <cstdint>

#include "frame/record.h"

namespace tev {

namespace controlstate {
constexpr int32_t kQuit = 258;             // send QUIT
constexpr int32_t kQuitReply = 259;        // the reply, then the close
constexpr int32_t kSmtpCommand = 298;      // a raw command on an SMTP session
constexpr int32_t kSmtpCommandReply = 299; // its whole SMTP reply
constexpr int32_t kPop3Command = 398;      // a raw command on a POP3 session
constexpr int32_t kPop3CommandReply = 399; // its status line
}  // namespace controlstate

constexpr int32_t kControlStates[] = {controlstate::kQuit,        controlstate::kQuitReply,
                                      controlstate::kSmtpCommand, controlstate::kSmtpCommandReply,
                                      controlstate::kPop3Command, controlstate::kPop3CommandReply};

// What a protocol module lends the session control for the sessions of its kind ('S' or 'P').  A hook left null
// gets the engine's own plain handling.
struct SessionHooks {
    // tevClose: finish the files an operation still holds open (fileHandle, emailFile), closing them and
    // setting the fields to 0.  Without a hook the engine closes them without further ado.
    void (*closeOpenFiles)(SessionRecord &rec);
};

// Registers the hooks of the sessions of one kind; a later registration replaces an earlier one.
void registerSessionHooks(char sessionKind, const SessionHooks &hooks);

}  // namespace tev
