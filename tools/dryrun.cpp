// 'tevmail send --dry-run': a loopback listener that takes the session the library would have with a server.

#include "dryrun.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace tevmail {

namespace {

bool startsWithCommand(const std::string &line, const char *command) {
    size_t n = strlen(command);
    if (line.size() < n) return false;
    for (size_t i = 0; i < n; ++i) {
        char c = line[i];
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (c != command[i]) return false;
    }
    return true;
}

bool sendAll(int fd, const std::string &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

std::string dryRunReply(const std::string &line, bool *dataFollows) {
    *dataFollows = false;
    if (startsWithCommand(line, "EHLO")) return "250-dry-run\r\n250 8BITMIME\r\n";
    if (startsWithCommand(line, "HELO")) return "250 dry-run\r\n";
    if (startsWithCommand(line, "DATA")) {
        *dataFollows = true;
        return "354 go on\r\n";
    }
    if (startsWithCommand(line, "QUIT")) return "221 dry-run\r\n";
    return "250 ok\r\n";
}

std::string unstuffedMessage(const std::string &data) {
    std::string message;
    size_t start = 0;
    while (start < data.size()) {
        size_t end = data.find('\n', start);
        std::string line = data.substr(start, end == std::string::npos ? std::string::npos : end - start);
        start = end == std::string::npos ? data.size() : end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty() && line[0] == '.') line.erase(0, 1);
        message += line + "\n";
    }
    return message;
}

DryRunServer::~DryRunServer() {
    finish();
    if (listener_ >= 0) ::close(listener_);
}

bool DryRunServer::start() {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0) return false;
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        ::listen(listener_, 1) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        return false;
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
    return true;
}

void DryRunServer::serve() {
    pollfd waiting = {listener_, POLLIN, 0};
    if (::poll(&waiting, 1, 120000) <= 0) return;
    int fd = ::accept(listener_, nullptr, nullptr);
    if (fd < 0) return;
    client_.store(fd);
    std::string pending, data;
    bool inData = false;
    sendAll(fd, "220 dry-run ESMTP\r\n");
    char chunk[8192];
    for (;;) {
        pollfd readable = {fd, POLLIN, 0};
        if (::poll(&readable, 1, 120000) <= 0) break;
        ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) break;
        pending.append(chunk, static_cast<size_t>(n));
        bool quit = false;
        size_t lf;
        while (!quit && (lf = pending.find('\n')) != std::string::npos) {
            std::string line = pending.substr(0, lf + 1);
            pending.erase(0, lf + 1);
            if (inData) {
                if (line == ".\r\n" || line == ".\n") {
                    inData = false;
                    message_ = unstuffedMessage(data);
                    sendAll(fd, "250 queued (dry run)\r\n");
                } else {
                    data += line;
                }
                continue;
            }
            std::string command = line.substr(0, line.find_last_not_of("\r\n") + 1);
            if (startsWithCommand(command, "MAIL FROM:") || startsWithCommand(command, "RCPT TO:")) {
                envelope_ += command + "\n";
            }
            bool dataFollows = false;
            sendAll(fd, dryRunReply(command, &dataFollows));
            inData = dataFollows;
            quit = startsWithCommand(command, "QUIT");
        }
        if (quit) break;
    }
    client_.store(-1);
    ::close(fd);
}

void DryRunServer::finish() {
    // After the library's QUIT the thread has ended; otherwise (a failed send) its sockets are shut to wake it.
    if (listener_ >= 0) ::shutdown(listener_, SHUT_RDWR);
    int client = client_.load();
    if (client >= 0) ::shutdown(client, SHUT_RDWR);
    if (thread_.joinable()) thread_.join();
}

}  // namespace tevmail
