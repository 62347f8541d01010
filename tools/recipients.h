// Which recipient the server refused: the send's state numbers say how many RCPT TO commands went out and whether
// the failing step was the reply to one of them.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "addresses.h"
#include "session.h"

namespace tevmail {

// The library's SMTP states that send RCPT TO and read its reply.
constexpr int32_t kRcptToState = 207;
constexpr int32_t kRcptReplyState = 208;
constexpr int32_t kDriverWait = 9999;

class RecipientTrail : public StateWatch {
public:
    void onState(int32_t state) override;
    // After a failed send: the refused mailbox of `envelope` (To, Cc, Bcc in order) when the failing step read an
    // RCPT TO reply, else null.
    const Mailbox *refused(const std::vector<Mailbox> &envelope) const;

private:
    int32_t last_ = 0;       // the last state named, waits left out
    int32_t rcptSent_ = 0;   // RCPT TO commands that went out
};

// What a failed send was doing: "sending the message", or "sending the message to <a@x> (refused)".
std::string sendingWhat(const Mailbox *refused);

}  // namespace tevmail
