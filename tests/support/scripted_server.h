// A scripted loopback server for protocol tests: it listens on 127.0.0.1 or ::1 (a free port), accepts the client's
// connection and plays a dialogue written in advance, on its own thread. It can split or delay what it sends,
// close or reset the connection at any point, and records every byte the client sent, so a test can compare the
// client's exact transcript. Every wait has a time limit: a test never hangs on it.
//
//     ScriptedServer srv;
//     srv.send("220 hello\r\n").expectLine("EHLO example.com").send("250 ok\r\n")
//        .expectLine("QUIT").send("221 bye\r\n").waitForClientClose(1000);
//     srv.start();
//     ... drive the client against srv.port() ...
//     EXPECT_TRUE(srv.finish(2000)) << srv.error();
//     EXPECT_EQ(srv.received(), "EHLO example.com\r\nQUIT\r\n");
//
// Write the whole script before start(); afterwards only the running and result functions may be called. A failed
// expectation or a step that runs out of time records error() and closes the connection (the rest of the script
// is not played). Each accepted connection has TCP_NODELAY, so each send() leaves in its own segment.
//
// Also here: a listening socket that never accepts (for connect time-outs) and a port that refuses connections.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tevtest {

// Where a loopback socket of these helpers listens: 127.0.0.1 or ::1.
enum class Loopback { ipv4, ipv6 };
// True when this machine can listen on ::1.
bool haveIPv6Loopback();

class ScriptedServer {
public:
    static constexpr int kDefaultStepLimitMs = 5000;

    // Opens the listening socket at once (on 127.0.0.1, or ::1), so port() is known before the script is written.
    explicit ScriptedServer(Loopback where = Loopback::ipv4);
    // Stops the script if it still runs and closes every socket.
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer &) = delete;
    ScriptedServer &operator=(const ScriptedServer &) = delete;

    uint16_t port() const { return port_; }

    // ---- The script. Steps run in order on the server's thread once start() is called. The first step waits
    // for the client's connection (within the step limit; a leading stepLimit() already applies to that). ----

    // Sends the bytes in one piece.
    ScriptedServer &send(const std::string &bytes);
    // Sends the bytes in pieces cut at the given offsets (ascending), pausing gapMs between pieces; the
    // connection has TCP_NODELAY, so each piece leaves in its own segment.
    ScriptedServer &sendSplit(const std::string &bytes, const std::vector<size_t> &cuts, int gapMs);
    // Sends one byte at a time, gapMs apart.
    ScriptedServer &sendBytewise(const std::string &bytes, int gapMs);
    // Reads one line and requires it to be exactly line followed by CR LF.
    ScriptedServer &expectLine(const std::string &line);
    // Reads one line and requires it to start with prefix and to end in CR LF (for lines holding a date, a
    // host name or a boundary).
    ScriptedServer &expectLinePrefix(const std::string &prefix);
    // Reads one line, whatever it holds (it must end in LF).
    ScriptedServer &readLine();
    // Reads exactly the given bytes and requires them to match.
    ScriptedServer &expect(const std::string &bytes);
    // Reads exactly count bytes, whatever they are.
    ScriptedServer &expectBytes(size_t count);
    // Reads up to and including the terminator (for the data phase: "\r\n.\r\n").
    ScriptedServer &readUntil(const std::string &terminator);
    // Sends nothing for ms; bytes the client sends meanwhile are recorded.
    ScriptedServer &silence(int ms);
    // Orderly close (FIN) after recording what already arrived.
    ScriptedServer &close();
    // Half close: FIN for the client, the server keeps reading.
    ScriptedServer &shutdownWrite();
    // Abortive close: RST (SO_LINGER with a zero time).
    ScriptedServer &reset();
    // Reads (and records) until the client closes, at most ms; then closes the server's side too.
    ScriptedServer &waitForClientClose(int ms);
    // Closes the current connection (orderly) if it is open and accepts the next one.
    ScriptedServer &nextConnection();
    // The limit of every later waiting step (default kDefaultStepLimitMs).
    ScriptedServer &stepLimit(int ms);
    // Waits until the test calls proceed() (within the step limit): lets a test drive the client one step at a
    // time. The n-th hold waits for the n-th proceed().
    ScriptedServer &hold();
    // Runs an action on the server's thread.
    ScriptedServer &run(std::function<void()> action);

    // ---- Running ----

    // Starts the server's thread. After the last step the server keeps recording what the client sends on an
    // open connection (and accepts, and records, further connections) until finish().
    void start();
    // Waits at most limitMs for the script to end, then stops the thread and closes every socket. A script
    // still running then is an error. Returns ok().
    bool finish(int limitMs = 2000);
    // Lets the n-th hold() go on.
    void proceed();
    // True once the server waits in a hold() that has not been let go yet; false after ms.
    bool waitUntilHolding(int ms);

    // ---- Results (safe while the thread runs) ----

    // Every byte the client sent on every connection, in order.
    std::string received() const;
    // The bytes of one connection (0 = first); empty when there is no such connection.
    std::string receivedOn(size_t connection) const;
    // Connections accepted so far.
    size_t connectionCount() const;
    // True when no expectation failed and no step ran out of time (so far).
    bool ok() const;
    // The first failure, with the step it happened in; empty when ok().
    std::string error() const;

private:
    enum class Kind {
        Send, SendSplit, ExpectLine, ExpectLinePrefix, ReadLine, Expect, ExpectBytes, ReadUntil, Silence,
        Close, ShutdownWrite, Reset, WaitForClientClose, NextConnection, StepLimit, Hold, Run
    };
    struct Step {
        Kind kind;
        std::string text;
        std::vector<size_t> cuts;
        int ms = 0;
        size_t count = 0;
        std::function<void()> action;
    };
    enum class Fill { Data, Closed, TimedOut, Stopped };

    ScriptedServer &add(Step step);
    void threadMain();
    bool runStep(const Step &step, size_t index);
    void recordTail();
    bool acceptConnection(int limitMs);
    Fill fill(int64_t deadlineMs);
    bool readLineText(std::string &line, const std::string &what);
    bool readCount(size_t count, std::string &bytes, const std::string &what);
    bool sendAll(const char *data, size_t length);
    bool pause(int ms);
    void drainAvailable();
    void closeConnection(bool abortive);
    void fail(const std::string &message);
    std::string describe(const Step &step, size_t index) const;
    void appendReceived(const char *data, size_t length);

    int listenFd_ = -1;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    uint16_t port_ = 0;

    std::vector<Step> steps_;
    std::thread thread_;
    bool started_ = false;

    // Owned by the server's thread.
    int connFd_ = -1;
    bool peerClosed_ = false;
    std::string pending_;  // received and not yet consumed by a step
    int stepLimitMs_ = kDefaultStepLimitMs;
    size_t holdsSeen_ = 0;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> transcripts_;
    std::string error_;
    bool scriptDone_ = false;
    size_t currentStep_ = 0;
    size_t holdsReached_ = 0;
    size_t proceeds_ = 0;
    std::atomic<bool> stopping_{false};
};

// A listening socket on 127.0.0.1 that never accepts: its backlog is 0 and filler connections occupy the queue,
// so a further connect is left pending (the SYN is dropped; Linux keeps retrying it for about two minutes)
// instead of being accepted or refused. For connect time-out tests.
class BlackholeListener {
public:
    BlackholeListener();
    ~BlackholeListener();
    BlackholeListener(const BlackholeListener &) = delete;
    BlackholeListener &operator=(const BlackholeListener &) = delete;

    uint16_t port() const { return port_; }
    // False when the socket could not be set up.
    bool valid() const { return port_ != 0; }

private:
    int listenFd_ = -1;
    std::vector<int> fillers_;
    uint16_t port_ = 0;
};

// A port on 127.0.0.1 (or ::1) that refuses connections: the socket is bound (so no other process takes the port while
// the object lives) but never listens, so a connect gets RST (ECONNREFUSED).
class RefusingPort {
public:
    explicit RefusingPort(Loopback where = Loopback::ipv4);
    ~RefusingPort();
    RefusingPort(const RefusingPort &) = delete;
    RefusingPort &operator=(const RefusingPort &) = delete;

    uint16_t port() const { return port_; }

private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

// A port on 127.0.0.1 that was free a moment ago (bound to port 0 and closed again); for servers that must be
// told their port in advance.
uint16_t freeLoopbackPort();

}  // namespace tevtest
