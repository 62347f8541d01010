// The scripted loopback server of the protocol tests, and the never-accepting and refusing sockets.
#include "support/scripted_server.h"

#include "support/trace.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

namespace tevtest {

namespace {

int64_t nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

int remainingMs(int64_t deadlineMs) {
    int64_t left = deadlineMs - nowMs();
    if (left < 0) return 0;
    return left > 1000000 ? 1000000 : static_cast<int>(left);
}

// A TCP socket on 127.0.0.1:port, or [::1]:port (0: any free port); returns the descriptor or -1.
int boundLoopbackSocket(uint16_t port, uint16_t *boundPort, Loopback where = Loopback::ipv4) {
    const bool ipv6 = where == Loopback::ipv6;
    int fd = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    // No SO_REUSEADDR: a bound port must stay ours (another socket with it could bind and listen there).
    sockaddr_storage storage{};
    socklen_t len;
    if (ipv6) {
        auto *addr = reinterpret_cast<sockaddr_in6 *>(&storage);
        addr->sin6_family = AF_INET6;
        addr->sin6_addr = in6addr_loopback;
        addr->sin6_port = htons(port);
        len = sizeof *addr;
    } else {
        auto *addr = reinterpret_cast<sockaddr_in *>(&storage);
        addr->sin_family = AF_INET;
        addr->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr->sin_port = htons(port);
        len = sizeof *addr;
    }
    auto *any = reinterpret_cast<sockaddr *>(&storage);
    if (::bind(fd, any, len) != 0 || ::getsockname(fd, any, &len) != 0) {
        ::close(fd);
        return -1;
    }
    const uint16_t bound = ipv6 ? reinterpret_cast<sockaddr_in6 *>(&storage)->sin6_port
                                : reinterpret_cast<sockaddr_in *>(&storage)->sin_port;
    if (boundPort != nullptr) *boundPort = ntohs(bound);
    return fd;
}

std::string quoteBytes(const std::string &bytes) { return "\"" + showBytes(bytes, 200) + "\""; }

}  // namespace

// ---------------------------------------------------------------------------------------------------------------
// Script building

ScriptedServer::ScriptedServer(Loopback where) {
    listenFd_ = boundLoopbackSocket(0, &port_, where);
    if (listenFd_ < 0 || ::listen(listenFd_, 8) != 0) {
        error_ = "cannot open the listening socket: " + std::string(std::strerror(errno));
        port_ = 0;
    }
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
        wakeRead_ = fds[0];
        wakeWrite_ = fds[1];
    } else if (error_.empty()) {
        error_ = "cannot create the wake pipe";
    }
}

ScriptedServer::~ScriptedServer() {
    if (thread_.joinable()) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        if (wakeWrite_ >= 0) (void)!::write(wakeWrite_, "x", 1);
        changed_.notify_all();
        thread_.join();
    }
    if (connFd_ >= 0) ::close(connFd_);
    for (int fd : {listenFd_, wakeRead_, wakeWrite_})
        if (fd >= 0) ::close(fd);
}

ScriptedServer &ScriptedServer::add(Step step) {
    steps_.push_back(std::move(step));
    return *this;
}

ScriptedServer &ScriptedServer::send(const std::string &bytes) {
    Step s{Kind::Send, bytes, {}, 0, 0, {}};
    return add(std::move(s));
}

ScriptedServer &ScriptedServer::sendSplit(const std::string &bytes, const std::vector<size_t> &cuts, int gapMs) {
    Step s{Kind::SendSplit, bytes, cuts, gapMs, 0, {}};
    return add(std::move(s));
}

ScriptedServer &ScriptedServer::sendBytewise(const std::string &bytes, int gapMs) {
    std::vector<size_t> cuts;
    for (size_t i = 1; i < bytes.size(); ++i) cuts.push_back(i);
    return sendSplit(bytes, cuts, gapMs);
}

ScriptedServer &ScriptedServer::expectLine(const std::string &line) {
    return add(Step{Kind::ExpectLine, line, {}, 0, 0, {}});
}
ScriptedServer &ScriptedServer::expectLinePrefix(const std::string &prefix) {
    return add(Step{Kind::ExpectLinePrefix, prefix, {}, 0, 0, {}});
}
ScriptedServer &ScriptedServer::readLine() { return add(Step{Kind::ReadLine, {}, {}, 0, 0, {}}); }
ScriptedServer &ScriptedServer::expect(const std::string &bytes) {
    return add(Step{Kind::Expect, bytes, {}, 0, 0, {}});
}
ScriptedServer &ScriptedServer::expectBytes(size_t count) {
    return add(Step{Kind::ExpectBytes, {}, {}, 0, count, {}});
}
ScriptedServer &ScriptedServer::readUntil(const std::string &terminator) {
    return add(Step{Kind::ReadUntil, terminator, {}, 0, 0, {}});
}
ScriptedServer &ScriptedServer::silence(int ms) { return add(Step{Kind::Silence, {}, {}, ms, 0, {}}); }
ScriptedServer &ScriptedServer::close() { return add(Step{Kind::Close, {}, {}, 0, 0, {}}); }
ScriptedServer &ScriptedServer::shutdownWrite() { return add(Step{Kind::ShutdownWrite, {}, {}, 0, 0, {}}); }
ScriptedServer &ScriptedServer::reset() { return add(Step{Kind::Reset, {}, {}, 0, 0, {}}); }
ScriptedServer &ScriptedServer::waitForClientClose(int ms) {
    return add(Step{Kind::WaitForClientClose, {}, {}, ms, 0, {}});
}
ScriptedServer &ScriptedServer::nextConnection() { return add(Step{Kind::NextConnection, {}, {}, 0, 0, {}}); }
ScriptedServer &ScriptedServer::stepLimit(int ms) { return add(Step{Kind::StepLimit, {}, {}, ms, 0, {}}); }
ScriptedServer &ScriptedServer::hold() { return add(Step{Kind::Hold, {}, {}, 0, 0, {}}); }
ScriptedServer &ScriptedServer::run(std::function<void()> action) {
    return add(Step{Kind::Run, {}, {}, 0, 0, std::move(action)});
}

// ---------------------------------------------------------------------------------------------------------------
// Running and results

void ScriptedServer::start() {
    if (started_) return;
    started_ = true;
    if (!ok()) {
        std::lock_guard<std::mutex> lock(mutex_);
        scriptDone_ = true;
        return;
    }
    thread_ = std::thread([this] { threadMain(); });
}

bool ScriptedServer::finish(int limitMs) {
    if (!started_) start();
    {
        std::unique_lock<std::mutex> lock(mutex_);
        bool done = changed_.wait_for(lock, std::chrono::milliseconds(limitMs), [this] { return scriptDone_; });
        if (!done && error_.empty()) {
            error_ = "script not finished within " + std::to_string(limitMs) + " ms";
            if (currentStep_ < steps_.size()) error_ += ", at " + describe(steps_[currentStep_], currentStep_);
        }
        stopping_ = true;  // under the lock, so a hold() cannot miss the notification
    }
    if (wakeWrite_ >= 0) (void)!::write(wakeWrite_, "x", 1);
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
    if (connFd_ >= 0) {
        ::close(connFd_);
        connFd_ = -1;
    }
    return ok();
}

void ScriptedServer::proceed() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++proceeds_;
    changed_.notify_all();
}

bool ScriptedServer::waitUntilHolding(int ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return holdsReached_ > proceeds_; });
}

std::string ScriptedServer::received() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string all;
    for (const std::string &t : transcripts_) all += t;
    return all;
}

std::string ScriptedServer::receivedOn(size_t connection) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return connection < transcripts_.size() ? transcripts_[connection] : std::string();
}

size_t ScriptedServer::connectionCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return transcripts_.size();
}

bool ScriptedServer::ok() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return error_.empty();
}

std::string ScriptedServer::error() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return error_;
}

void ScriptedServer::fail(const std::string &message) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (error_.empty()) error_ = message;
}

void ScriptedServer::appendReceived(const char *data, size_t length) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!transcripts_.empty()) transcripts_.back().append(data, length);
}

std::string ScriptedServer::describe(const Step &step, size_t index) const {
    static const char *const names[] = {
        "send", "sendSplit", "expectLine", "expectLinePrefix", "readLine", "expect", "expectBytes", "readUntil",
        "silence", "close", "shutdownWrite", "reset", "waitForClientClose", "nextConnection", "stepLimit", "hold",
        "run"};
    std::string text = "step " + std::to_string(index + 1) + " " + names[static_cast<int>(step.kind)] + "(";
    switch (step.kind) {
    case Kind::Send: case Kind::SendSplit: case Kind::ExpectLine: case Kind::ExpectLinePrefix: case Kind::Expect:
    case Kind::ReadUntil:
        text += quoteBytes(step.text);
        break;
    case Kind::ExpectBytes: text += std::to_string(step.count); break;
    case Kind::Silence: case Kind::WaitForClientClose: case Kind::StepLimit: text += std::to_string(step.ms); break;
    default: break;
    }
    return text + ")";
}

// ---------------------------------------------------------------------------------------------------------------
// The server's thread

void ScriptedServer::threadMain() {
    bool good = true;
    size_t first = 0;
    while (first < steps_.size() && steps_[first].kind == Kind::StepLimit) stepLimitMs_ = steps_[first++].ms;
    if (first < steps_.size()) good = acceptConnection(stepLimitMs_);
    for (size_t i = first; good && i < steps_.size() && !stopping_; ++i) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            currentStep_ = i;
        }
        good = runStep(steps_[i], i);
    }
    if (!good) closeConnection(false);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        scriptDone_ = true;
    }
    changed_.notify_all();
    if (good) recordTail();
}

// After the script: record whatever the client still sends, and any further connection, until finish().
void ScriptedServer::recordTail() {
    char buffer[4096];
    while (!stopping_) {
        pollfd fds[2] = {{wakeRead_, POLLIN, 0}, {connFd_ >= 0 ? connFd_ : listenFd_, POLLIN, 0}};
        int n = ::poll(fds, 2, 1000);
        if (n < 0 && errno != EINTR) return;
        if (n <= 0 || stopping_ || (fds[0].revents & POLLIN)) continue;
        if (connFd_ < 0) {
            acceptConnection(0);
            continue;
        }
        ssize_t got = ::recv(connFd_, buffer, sizeof buffer, 0);
        if (got > 0) {
            appendReceived(buffer, static_cast<size_t>(got));
        } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
            ::close(connFd_);
            connFd_ = -1;
        }
    }
}

bool ScriptedServer::acceptConnection(int limitMs) {
    int64_t deadline = nowMs() + limitMs;
    for (;;) {
        pollfd fds[2] = {{wakeRead_, POLLIN, 0}, {listenFd_, POLLIN, 0}};
        int n = ::poll(fds, 2, remainingMs(deadline));
        if (n < 0 && errno == EINTR) continue;
        if (stopping_) return false;
        if (n < 0) {
            fail("poll on the listening socket failed: " + std::string(std::strerror(errno)));
            return false;
        }
        if (n == 0) {
            fail("no connection within " + std::to_string(limitMs) + " ms");
            return false;
        }
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == ECONNABORTED) continue;
            fail("accept failed: " + std::string(std::strerror(errno)));
            return false;
        }
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        connFd_ = fd;
        peerClosed_ = false;
        pending_.clear();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            transcripts_.emplace_back();
        }
        return true;
    }
}

// Waits until bytes arrive (appended to pending_ and the transcript), the client closes, or the deadline passes.
ScriptedServer::Fill ScriptedServer::fill(int64_t deadlineMs) {
    if (connFd_ < 0 || peerClosed_) return Fill::Closed;
    char buffer[4096];
    for (;;) {
        pollfd fds[2] = {{wakeRead_, POLLIN, 0}, {connFd_, POLLIN, 0}};
        int n = ::poll(fds, 2, remainingMs(deadlineMs));
        if (n < 0 && errno == EINTR) continue;
        if (stopping_) return Fill::Stopped;
        if (n == 0) return Fill::TimedOut;
        if (n < 0) return Fill::Closed;
        ssize_t got = ::recv(connFd_, buffer, sizeof buffer, 0);
        if (got > 0) {
            pending_.append(buffer, static_cast<size_t>(got));
            appendReceived(buffer, static_cast<size_t>(got));
            return Fill::Data;
        }
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        peerClosed_ = true;  // orderly close, or a reset
        return Fill::Closed;
    }
}

// Takes one line (through LF) from what the client sent; on failure records why.
bool ScriptedServer::readLineText(std::string &line, const std::string &what) {
    int64_t deadline = nowMs() + stepLimitMs_;
    for (;;) {
        size_t lf = pending_.find('\n');
        if (lf != std::string::npos) {
            line = pending_.substr(0, lf + 1);
            pending_.erase(0, lf + 1);
            return true;
        }
        Fill r = fill(deadline);
        if (r == Fill::Data) continue;
        if (r == Fill::Stopped) return false;
        fail(what + (r == Fill::TimedOut ? ": no complete line within " + std::to_string(stepLimitMs_) + " ms"
                                         : ": the client closed the connection") +
             "; unconsumed: " + quoteBytes(pending_));
        return false;
    }
}

bool ScriptedServer::readCount(size_t count, std::string &bytes, const std::string &what) {
    int64_t deadline = nowMs() + stepLimitMs_;
    while (pending_.size() < count) {
        Fill r = fill(deadline);
        if (r == Fill::Data) continue;
        if (r == Fill::Stopped) return false;
        fail(what + (r == Fill::TimedOut ? ": only " : ": the client closed the connection after ") +
             std::to_string(pending_.size()) + " of " + std::to_string(count) + " bytes" +
             (r == Fill::TimedOut ? " within " + std::to_string(stepLimitMs_) + " ms" : std::string()) +
             "; unconsumed: " + quoteBytes(pending_));
        return false;
    }
    bytes = pending_.substr(0, count);
    pending_.erase(0, count);
    return true;
}

bool ScriptedServer::sendAll(const char *data, size_t length) {
    if (connFd_ < 0) return false;
    int64_t deadline = nowMs() + stepLimitMs_;
    while (length > 0) {
        ssize_t sent = ::send(connFd_, data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0) {
            data += sent;
            length -= static_cast<size_t>(sent);
            continue;
        }
        if (sent < 0 && errno == EINTR) continue;
        if (sent < 0 && errno == EAGAIN) {  // the client does not read: wait, but not for ever
            pollfd fds[2] = {{wakeRead_, POLLIN, 0}, {connFd_, POLLOUT, 0}};
            int left = remainingMs(deadline);
            if (left == 0 || stopping_) return false;
            ::poll(fds, 2, left);
            continue;
        }
        return false;
    }
    return true;
}

// Sleeps ms unless finish() stops the thread first; false when stopped.
bool ScriptedServer::pause(int ms) {
    int64_t deadline = nowMs() + ms;
    for (;;) {
        if (stopping_) return false;
        int left = remainingMs(deadline);
        if (left == 0) return true;
        pollfd fd = {wakeRead_, POLLIN, 0};
        ::poll(&fd, 1, left);
    }
}

// Records what already arrived without waiting, so closing cannot lose bytes from the transcript (and unread
// bytes do not turn an orderly close into a reset).
void ScriptedServer::drainAvailable() {
    char buffer[4096];
    while (connFd_ >= 0 && !peerClosed_) {
        ssize_t got = ::recv(connFd_, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got > 0) {
            pending_.append(buffer, static_cast<size_t>(got));
            appendReceived(buffer, static_cast<size_t>(got));
        } else if (got < 0 && errno == EINTR) {
            continue;
        } else {
            if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) peerClosed_ = true;
            return;
        }
    }
}

void ScriptedServer::closeConnection(bool abortive) {
    if (connFd_ < 0) return;
    drainAvailable();
    if (abortive) {
        linger lin{1, 0};
        ::setsockopt(connFd_, SOL_SOCKET, SO_LINGER, &lin, sizeof lin);
    } else {
        ::shutdown(connFd_, SHUT_WR);
    }
    ::close(connFd_);
    connFd_ = -1;
}

bool ScriptedServer::runStep(const Step &step, size_t index) {
    const std::string what = describe(step, index);
    switch (step.kind) {
    case Kind::Send:
        if (!sendAll(step.text.data(), step.text.size())) {
            if (!stopping_) fail(what + ": send failed (" + std::string(std::strerror(errno)) + ")");
            return false;
        }
        return true;

    case Kind::SendSplit: {
        size_t from = 0;
        std::vector<size_t> cuts = step.cuts;
        cuts.push_back(step.text.size());
        for (size_t cut : cuts) {
            cut = std::min(std::max(cut, from), step.text.size());
            if (cut == from) continue;
            if (from > 0 && !pause(step.ms)) return false;
            if (!sendAll(step.text.data() + from, cut - from)) {
                if (!stopping_) fail(what + ": send failed at byte " + std::to_string(from));
                return false;
            }
            from = cut;
        }
        return true;
    }

    case Kind::ExpectLine:
    case Kind::ExpectLinePrefix:
    case Kind::ReadLine: {
        std::string line;
        if (!readLineText(line, what)) return false;
        bool crlf = line.size() >= 2 && line[line.size() - 2] == '\r';
        std::string body = crlf ? line.substr(0, line.size() - 2) : line.substr(0, line.size() - 1);
        bool match = step.kind == Kind::ReadLine ||
                     (step.kind == Kind::ExpectLine ? body == step.text : body.compare(0, step.text.size(),
                                                                                       step.text) == 0);
        if (!crlf && step.kind != Kind::ReadLine) {
            fail(what + ": line does not end in CR LF: " + quoteBytes(line));
            return false;
        }
        if (!match) {
            fail(what + ": got " + quoteBytes(line));
            return false;
        }
        return true;
    }

    case Kind::Expect: {
        std::string bytes;
        if (!readCount(step.text.size(), bytes, what)) return false;
        if (bytes != step.text) {
            fail(what + ": got " + quoteBytes(bytes));
            return false;
        }
        return true;
    }

    case Kind::ExpectBytes: {
        std::string bytes;
        return readCount(step.count, bytes, what);
    }

    case Kind::ReadUntil: {
        int64_t deadline = nowMs() + stepLimitMs_;
        for (;;) {
            size_t at = step.text.empty() ? 0 : pending_.find(step.text);
            if (at != std::string::npos) {
                pending_.erase(0, at + step.text.size());
                return true;
            }
            Fill r = fill(deadline);
            if (r == Fill::Data) continue;
            if (r == Fill::Stopped) return false;
            fail(what + (r == Fill::TimedOut ? ": terminator not seen within " + std::to_string(stepLimitMs_) +
                                                   " ms"
                                             : ": the client closed the connection before the terminator") +
                 "; unconsumed: " + quoteBytes(pending_));
            return false;
        }
    }

    case Kind::Silence: {
        int64_t deadline = nowMs() + step.ms;
        while (remainingMs(deadline) > 0) {
            if (connFd_ < 0 || peerClosed_) return pause(remainingMs(deadline));
            if (fill(deadline) == Fill::Stopped) return false;
        }
        return true;
    }

    case Kind::Close:
        closeConnection(false);
        return true;

    case Kind::ShutdownWrite:
        if (connFd_ >= 0) ::shutdown(connFd_, SHUT_WR);
        return true;

    case Kind::Reset:
        closeConnection(true);
        return true;

    case Kind::WaitForClientClose: {
        int64_t deadline = nowMs() + step.ms;
        for (;;) {
            Fill r = fill(deadline);
            if (r == Fill::Data) continue;
            if (r == Fill::Stopped) return false;
            if (r == Fill::TimedOut) {
                fail(what + ": the client kept the connection open");
                return false;
            }
            if (connFd_ >= 0) {
                ::close(connFd_);
                connFd_ = -1;
            }
            return true;
        }
    }

    case Kind::NextConnection:
        closeConnection(false);
        return acceptConnection(stepLimitMs_);

    case Kind::StepLimit:
        stepLimitMs_ = step.ms;
        return true;

    case Kind::Hold: {
        std::unique_lock<std::mutex> lock(mutex_);
        size_t mine = ++holdsReached_;
        changed_.notify_all();
        bool released = changed_.wait_for(lock, std::chrono::milliseconds(stepLimitMs_),
                                          [&] { return proceeds_ >= mine || stopping_; });
        if (stopping_) return false;
        if (!released) {
            lock.unlock();
            fail(what + ": proceed() not called within " + std::to_string(stepLimitMs_) + " ms");
            return false;
        }
        return true;
    }

    case Kind::Run:
        if (step.action) step.action();
        return true;
    }
    return false;
}

// ---------------------------------------------------------------------------------------------------------------
// Sockets that never accept, or refuse

BlackholeListener::BlackholeListener() {
    listenFd_ = boundLoopbackSocket(0, &port_);
    if (listenFd_ < 0 || ::listen(listenFd_, 0) != 0) {
        port_ = 0;
        return;
    }
    // With backlog 0 the accept queue holds one finished connection; the further fillers make sure it is full
    // (a SYN that finds it full is dropped, so a client's connect stays pending).
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port_);
    for (int i = 0; i < 3; ++i) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) break;
        (void)::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
        fillers_.push_back(fd);
    }
    // Give the loopback handshakes a moment to reach the queue.
    pollfd pfd = {fillers_.empty() ? -1 : fillers_[0], POLLOUT, 0};
    ::poll(&pfd, 1, 200);
}

BlackholeListener::~BlackholeListener() {
    for (int fd : fillers_) ::close(fd);
    if (listenFd_ >= 0) ::close(listenFd_);
}

RefusingPort::RefusingPort(Loopback where) { fd_ = boundLoopbackSocket(0, &port_, where); }

RefusingPort::~RefusingPort() {
    if (fd_ >= 0) ::close(fd_);
}

bool haveIPv6Loopback() {
    int fd = boundLoopbackSocket(0, nullptr, Loopback::ipv6);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

uint16_t freeLoopbackPort() {
    uint16_t port = 0;
    int fd = boundLoopbackSocket(0, &port);
    if (fd < 0) return 0;
    ::close(fd);
    return port;
}

}  // namespace tevtest
