// Which recipient the server refused.

#include "recipients.h"

namespace tevmail {

void RecipientTrail::onState(int32_t state) {
    if (state == kDriverWait) return;
    // 207 is named once for each recipient: the step before it (206) cuts the address, the one after (208) waits.
    if (state == kRcptToState && last_ != kRcptToState) ++rcptSent_;
    last_ = state;
}

const Mailbox *RecipientTrail::refused(const std::vector<Mailbox> &envelope) const {
    if (last_ != kRcptReplyState || rcptSent_ < 1 || static_cast<size_t>(rcptSent_) > envelope.size()) {
        return nullptr;
    }
    return &envelope[static_cast<size_t>(rcptSent_ - 1)];
}

std::string sendingWhat(const Mailbox *refused) {
    if (refused == nullptr) return "sending the message";
    return "sending the message: the server refused the recipient <" + refused->address + ">";
}

}  // namespace tevmail
