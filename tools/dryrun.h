// 'tevmail send --dry-run': the library composes and sends the message as always, but to a listener of tevmail's
// own on 127.0.0.1 that answers like a server accepting everything and keeps what arrives. Nothing leaves the
// machine and no server is needed; what is printed is exactly what a server would have received.
#pragma once

#include <stdint.h>

#include <atomic>
#include <string>
#include <thread>

namespace tevmail {

class DryRunServer {
public:
    DryRunServer() = default;
    ~DryRunServer();
    DryRunServer(const DryRunServer &) = delete;
    DryRunServer &operator=(const DryRunServer &) = delete;

    // Listens on a free loopback port and answers one session on its own thread; false with errno set.
    bool start();
    int32_t port() const { return port_; }
    // Ends the session (it has normally ended with QUIT already) and the thread.
    void finish();
    // After finish(): what the library sent, the envelope commands ("MAIL FROM:<a>", "RCPT TO:<b>", one a line)
    // and the message with the dot-stuffing undone and LF line ends.
    const std::string &envelope() const { return envelope_; }
    const std::string &message() const { return message_; }

private:
    void serve();
    int listener_ = -1;
    std::atomic<int> client_{-1};
    int32_t port_ = 0;
    std::thread thread_;
    std::string envelope_;
    std::string message_;
};

// The lines of a session as one SMTP responder sees them: the reply to `line` (with CR LF), and whether the DATA
// text begins after it. Used by the dry-run listener; "" ends the session after QUIT.
std::string dryRunReply(const std::string &line, bool *dataFollows);

// The message from the data-phase bytes (up to, not including, the "." line): stuffing undone, CR LF as LF.
std::string unstuffedMessage(const std::string &data);

}  // namespace tevmail
