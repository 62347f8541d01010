// Waiting without spinning, against the scripted loopback server: the CPU a wait for a slow reply costs (the
// auto-call loop and the README's own loop), the wait statistics, the pause after a close as a driver timer taken
// outside the library lock, and TEV_EARLY_REPLY ending the pauses before replies with nothing else changed.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>

#include <atomic>
#include <string>
#include <thread>

#include "engine/driver.h"
#include "engine/transport.h"
#include "frame/record.h"
#include "platform/platform.h"
#include "smtp/session_fixture.h"
#include "support/scripted_server.h"
#include "support/trace.h"
#include "tev32.h"

using tevtest::ScriptedServer;
using tevtest::showBytes;

namespace {

bool contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

// CPU time of the calling thread (user and system), ms.
double threadCpuMs() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
}

uint32_t now() { return tev::platform::tick(); }
int32_t since(uint32_t start) { return tev::platform::tickDiff(now(), start); }

// The wait of the README's driver loop: on 9999 or the same state again, poll() what the library names.
void waitAsTheReadmeShows(int32_t chan) {
    const int32_t events = tevStatistics(chan, TEV_STAT_WAIT_EVENTS);
    const int32_t ms = tevStatistics(chan, TEV_STAT_WAIT_MS);
    if (events == 0 && ms == 0) return;
    pollfd entry{tevStatistics(chan, TEV_STAT_SOCKET), static_cast<short>(events == 1 ? POLLIN : POLLOUT), 0};
    poll(events != 0 ? &entry : nullptr, events != 0 ? 1 : 0, ms != 0 ? ms : -1);
}

class Waiting : public tevtest::SessionTest {
protected:
    void SetUp() override {
        SessionTest::SetUp();
        // Generous limits: these tests are about waits, never about running out of time.
        tevIntegerParam(0, TEV_RESPONSE_TIMEOUT, 10000);
        tevIntegerParam(0, TEV_READ_TIMEOUT, 10000);
        tevIntegerParam(0, TEV_CONNECT_TIMEOUT, 10000);
        tevIntegerParam(0, TEV_CLOSE_PAUSE, 0);
    }
    void TearDown() override {
        tevIntegerParam(0, TEV_EARLY_REPLY, 0);
        tevIntegerParam(0, TEV_CLOSE_PAUSE, 500);
        SessionTest::TearDown();
    }

    // Drives the channel with the README's loop until 0 or a negative code; counts the driver calls.
    int32_t driveAsTheReadmeShows(int32_t chan, int *calls, int limitMs = 10000) {
        const uint32_t start = now();
        int32_t r, previous = 0;
        while ((r = tevDriver(chan)) > 0 && since(start) < limitMs) {
            ++*calls;
            if (r == 9999 || r == previous) waitAsTheReadmeShows(chan);
            previous = r;
        }
        return r;
    }

    // The next result that is not 9999 (a pause armed with a small step delay may still be running).
    int32_t nextStep(int32_t chan = 0) {
        const uint32_t start = now();
        int32_t r;
        while ((r = tevDriver(chan)) == 9999 && since(start) < 5000) waitAsTheReadmeShows(chan);
        return r;
    }

    static ScriptedServer &slowHello(ScriptedServer &srv, int silenceMs) {
        return srv.send("220 hi\r\n")
            .expectLine("HELO example.com")
            .silence(silenceMs)
            .send("250 ok\r\n")
            .expectLine("QUIT")
            .send("221 bye\r\n")
            .waitForClientClose(3000);
    }
};

TEST_F(Waiting, ASlowReplyCostsAlmostNoCpuWithAutoCallOnAndWithTheReadmeLoop) {
    constexpr int kSilenceMs = 1500;
    for (bool autoCall : {true, false}) {
        SCOPED_TRACE(autoCall ? "auto-call" : "README loop");
        ScriptedServer srv;
        slowHello(srv, kSilenceMs);
        srv.start();
        tevIntegerParam(0, TEV_AUTO_CALL, autoCall ? 1 : 0);
        const double cpuStart = threadCpuMs();
        const uint32_t start = now();
        int calls = 0;
        int32_t r = connect(srv, "<ann@example.com>");
        if (!autoCall && r == 0) r = driveAsTheReadmeShows(0, &calls);
        const int32_t wallMs = since(start);
        const double cpuMs = threadCpuMs() - cpuStart;
        ASSERT_EQ(r, 0);
        EXPECT_GE(wallMs, kSilenceMs - 100);
        // A spinning loop burns the whole wait; a bound this loose holds on a loaded machine too.
        EXPECT_LT(cpuMs, 0.3 * wallMs) << "cpu " << cpuMs << " ms of " << wallMs << " ms";
        // The README loop sleeps on the socket until the reply is there: a few calls, not millions.
        if (!autoCall) {
            EXPECT_LT(calls, 200);
        }
        tevIntegerParam(0, TEV_AUTO_CALL, 1);
        EXPECT_EQ(tevClose(0), 0);
        EXPECT_TRUE(srv.finish(3000)) << srv.error();
    }
}

TEST_F(Waiting, StatisticsNameTheSocketEventAndTheTimer) {
    ScriptedServer srv;
    srv.send("220 hi\r\n").expectLine("HELO example.com").hold().send("250 ok\r\n");
    srv.expectLine("NOOP").hold().send("250 fine\r\n").expectLine("QUIT").send("221 bye\r\n");
    srv.waitForClientClose(3000);
    srv.start();
    EXPECT_EQ(tevStatistics(0, TEV_STAT_WAIT_EVENTS), 0);  // idle
    EXPECT_EQ(tevStatistics(0, TEV_STAT_WAIT_MS), 0);
    tevIntegerParam(0, TEV_AUTO_CALL, 0);
    ASSERT_EQ(connect(srv, "<ann@example.com>"), 0);
    ASSERT_EQ(drive(202), 202);  // the greeting is read; HELO goes next
    tevIntegerParam(0, TEV_STEP_DELAY, 3000);
    ASSERT_EQ(nextStep(), 203);  // HELO sent: a pause of 2 x 3000 + 200 ms before its reply is looked at
    const uint32_t helloSent = now();
    EXPECT_EQ(tevDriver(0), 9999);
    // A plain pause is a timer.
    EXPECT_EQ(tevStatistics(0, TEV_STAT_WAIT_EVENTS), 0);
    int32_t ms = tevStatistics(0, TEV_STAT_WAIT_MS);
    EXPECT_GT(ms, 4000);
    EXPECT_LE(ms, 6200);
    // With early replies the pause also ends when the socket turns readable.
    tevIntegerParam(0, TEV_EARLY_REPLY, 1);
    EXPECT_EQ(tevStatistics(0, TEV_STAT_WAIT_EVENTS), 1);
    EXPECT_GT(tevStatistics(0, TEV_STAT_WAIT_MS), 4000);
    srv.proceed();
    int calls = 0;
    EXPECT_EQ(driveAsTheReadmeShows(0, &calls), 0);
    EXPECT_LT(since(helloSent), 5000);  // the 6200 ms pause was not taken

    // A reply state that finds nothing waits for a readable socket, bounded by its deadline.
    tevIntegerParam(0, TEV_STEP_DELAY, 1);
    ASSERT_EQ(tevCommand(0, "NOOP"), 0);
    ASSERT_EQ(tevDriver(0), 299);
    const uint32_t noopSent = now();
    int32_t r;
    while ((r = tevDriver(0)) == 9999 && since(noopSent) < 3000) waitAsTheReadmeShows(0);
    ASSERT_EQ(r, 299);
    EXPECT_EQ(tevStatistics(0, TEV_STAT_WAIT_EVENTS), 1);
    ms = tevStatistics(0, TEV_STAT_WAIT_MS);
    EXPECT_GT(ms, 6000);
    EXPECT_LE(ms, 10001);
    EXPECT_EQ(tevStatistics(0, TEV_STAT_SOCKET), rec().socket);
    srv.proceed();
    EXPECT_EQ(driveAsTheReadmeShows(0, &calls), 0);
    EXPECT_EQ(tevStatistics(0, TEV_STAT_REPLY_CODE), 250);

    // The pause after a close is a timer on a closed socket.
    tevIntegerParam(0, TEV_CLOSE_PAUSE, 300);
    ASSERT_EQ(tevClose(0), 0);
    const uint32_t closeStart = now();
    while ((r = tevDriver(0)) > 0 && !(r == 9999 && rec().socket == 0) && since(closeStart) < 5000) {
        waitAsTheReadmeShows(0);
    }
    ASSERT_EQ(r, 9999);
    EXPECT_EQ(rec().socket, 0);
    EXPECT_EQ(tevStatistics(0, TEV_STAT_WAIT_EVENTS), 0);
    ms = tevStatistics(0, TEV_STAT_WAIT_MS);
    EXPECT_GT(ms, 0);
    EXPECT_LE(ms, 300);
    EXPECT_EQ(driveAsTheReadmeShows(0, &calls), 0);
    EXPECT_TRUE(srv.finish(3000)) << srv.error();
    EXPECT_EQ(srv.received(), "HELO example.com\r\nNOOP\r\nQUIT\r\n");
}

TEST_F(Waiting, DataAlreadyBufferedOrAWritableWaitAreReportedAsSuch) {
    // No socket: the record alone says what the driver will wait for.
    rec().nextState = 259;
    rec().waitNeed = 1;
    rec().waitNeedState = 259;
    rec().deadline = tev::timerAt(now(), 5000);
    EXPECT_EQ(tevStatistics(0, TEV_STAT_WAIT_EVENTS), 1);
    feedRing("2");  // a reply has begun to arrive: nothing to wait for
    EXPECT_EQ(tevStatistics(0, TEV_STAT_WAIT_EVENTS), 0);
    EXPECT_EQ(tevStatistics(0, TEV_STAT_WAIT_MS), 0);
    tev::emptyRing(rec());
    rec().nextState = 258;  // what 259 found no longer applies once another state is due
    EXPECT_EQ(tevStatistics(0, TEV_STAT_WAIT_EVENTS), 0);
    rec().waitWritable = 1;
    EXPECT_EQ(tevStatistics(0, TEV_STAT_WAIT_EVENTS), 2);
    EXPECT_GT(tevStatistics(0, TEV_STAT_WAIT_MS), 4000);
    rec().deadline = tev::timerAt(now(), -10);  // past: the driver reports it at once
    EXPECT_EQ(tevStatistics(0, TEV_STAT_WAIT_EVENTS), 0);
    EXPECT_EQ(tevStatistics(0, TEV_STAT_WAIT_MS), 0);
    rec().waitWritable = 0;
    rec().nextState = 0;
    rec().deadline = 0;
}

TEST_F(Waiting, AWaitWithATimeLimitWakesWhenDataComesNotAfterPollSleep) {
    ScriptedServer srv;
    srv.silence(300).send("220 hi\r\n").waitForClientClose(3000);
    srv.start();
    tevIntegerParam(0, TEV_AUTO_CALL, 0);
    ASSERT_EQ(connect(srv, "<ann@example.com>"), 0);
    ASSERT_EQ(drive(201), 201);
    tevIntegerParam(0, TEV_POLL_SLEEP, 3000);
    const uint32_t start = now();
    EXPECT_TRUE(tev::waitReadable(rec(), 6000));
    EXPECT_LT(since(start), 2500);  // sleeping pollSleep between looks would take 3000
    tevIntegerParam(0, TEV_POLL_SLEEP, 5);
    tevAbort(0);
    EXPECT_TRUE(srv.finish(3000)) << srv.error();
}

TEST_F(Waiting, NewCodesRefuseValuesOutOfRange) {
    EXPECT_EQ(tevIntegerParam(0, TEV_EARLY_REPLY, 1), 1);
    EXPECT_EQ(tevIntegerParam(0, TEV_EARLY_REPLY, 2), -1);
    EXPECT_EQ(tevIntegerParam(0, TEV_EARLY_REPLY, -1), -1);
    EXPECT_EQ(tev::settings.earlyReply.get(), 1);
    EXPECT_EQ(tevIntegerParam(0, TEV_EARLY_REPLY, 0), 1);
    EXPECT_EQ(tev::settings.earlyReply.get(), 0);
    EXPECT_EQ(tevIntegerParam(0, TEV_CLOSE_PAUSE, 500), 1);
    EXPECT_EQ(tevIntegerParam(0, TEV_CLOSE_PAUSE, 501), -1);
    EXPECT_EQ(tevIntegerParam(0, TEV_CLOSE_PAUSE, -1), -1);
    EXPECT_EQ(tev::settings.closePause.get(), 500);
    EXPECT_EQ(tevIntegerParam(0, TEV_CLOSE_PAUSE, 0), 1);
    EXPECT_EQ(tev::settings.closePause.get(), 0);
    EXPECT_EQ(tevStatistics(5, TEV_STAT_WAIT_EVENTS), TEV_E_CHANNEL_RANGE);
}

class ClosePause : public Waiting {
protected:
    static ScriptedServer &helloAndQuit(ScriptedServer &srv) {
        return srv.send("220 hi\r\n")
            .expectLine("HELO example.com")
            .send("250 ok\r\n")
            .expectLine("QUIT")
            .send("221 bye\r\n")
            .waitForClientClose(3000);
    }
};

TEST_F(ClosePause, IsATimerOfTheDriverWithAutoCallOffAndASleepOfTheCallWithItOn) {
    tevIntegerParam(0, TEV_CLOSE_PAUSE, 400);
    {
        ScriptedServer srv;
        helloAndQuit(srv).start();
        ASSERT_EQ(connect(srv, "<ann@example.com>"), 0);
        tevIntegerParam(0, TEV_AUTO_CALL, 0);
        ASSERT_EQ(tevClose(0), 0);
        int32_t r;
        int timerCalls = 0;
        uint32_t closedAt = 0;
        const uint32_t start = now();
        while ((r = tevDriver(0)) > 0 && since(start) < 5000) {
            if (rec().socket == 0) {
                if (closedAt == 0) closedAt = now();
                EXPECT_EQ(r, 9999);  // the socket is closed and the pause goes on, one short call at a time
                ++timerCalls;
            }
            waitAsTheReadmeShows(0);
        }
        EXPECT_EQ(r, 0);
        EXPECT_GE(timerCalls, 1);
        EXPECT_GE(since(closedAt), 300);
        EXPECT_TRUE(srv.finish(3000)) << srv.error();
        // The trace ends with the close: the idle step after the pause adds nothing.
        const std::string trace = stableLog();
        EXPECT_TRUE(contains(trace, "<259>\r\nP: 221 bye\r\nr: 221 bye\r\nClosing socket\r\n"))
            << showBytes(trace, 3000);
        EXPECT_EQ(trace.substr(trace.size() - 16), "Closing socket\r\n");
    }
    {
        ScriptedServer srv;
        helloAndQuit(srv).start();
        tevIntegerParam(0, TEV_AUTO_CALL, 1);
        ASSERT_EQ(connect(srv, "<ann@example.com>"), 0);
        const uint32_t start = now();
        EXPECT_EQ(tevClose(0), 0);
        EXPECT_GE(since(start), 390);  // the closing call still takes its pause
        EXPECT_EQ(rec().sessionKind, 0);
        EXPECT_TRUE(srv.finish(3000)) << srv.error();
        const std::string trace = stableLog();
        EXPECT_EQ(trace.substr(trace.size() - 16), "Closing socket\r\n");
    }
}

TEST_F(ClosePause, IsTakenOutsideTheLibraryLockSoOtherChannelsGoOn) {
    tevIntegerParam(0, TEV_CLOSE_PAUSE, 500);
    // tevAbort pauses inside its call; tevClose (auto-call on) in its driver loop.
    for (bool abort : {true, false}) {
        SCOPED_TRACE(abort ? "tevAbort" : "tevClose");
        std::atomic<bool> socketClosed{false};
        std::atomic<bool> closeReturned{false};
        ScriptedServer first;
        first.send("220 hi\r\n").expectLine("HELO example.com").send("250 ok\r\n");
        if (!abort) first.expectLine("QUIT").send("221 bye\r\n");
        first.waitForClientClose(3000).run([&] { socketClosed = true; });
        first.start();
        ScriptedServer second;
        second.send("220 hi\r\n").expectLine("HELO example.com").send("250 ok\r\n");
        second.expectLine("NOOP").send("250 fine\r\n").waitForClientClose(5000);
        second.start();
        ASSERT_EQ(connect(first, "<ann@example.com>"), 0);
        tevIntegerParam(1, TEV_SMTP_PORT, second.port());
        ASSERT_EQ(tevSmtpConnect(1, "127.0.0.1", "<bob@example.com>", nullptr), 0);

        std::thread closer([&] {
            if (abort) {
                tevAbort(0);
            } else {
                tevClose(0);
            }
            closeReturned = true;
        });
        const uint32_t start = now();
        while (!socketClosed && since(start) < 5000) tev::platform::sleepMs(1);
        EXPECT_TRUE(socketClosed);
        // The first channel's socket is closed and its pause runs: the other channel's readiness tests, send
        // and reply go on meanwhile.
        EXPECT_EQ(tevCommand(1, "NOOP"), 0);
        EXPECT_FALSE(closeReturned);
        closer.join();
        tevIntegerParam(0, TEV_CLOSE_PAUSE, 0);
        tevAbort(1);
        tevIntegerParam(0, TEV_CLOSE_PAUSE, 500);
        EXPECT_TRUE(first.finish(3000)) << first.error();
        EXPECT_TRUE(second.finish(3000)) << second.error();
    }
}

class EarlyReply : public Waiting {
protected:
    struct Run {
        std::string wire;
        std::string trace;
        int32_t elapsedMs = 0;
    };

    // The trace without the line that names the socket and the port, which differ from run to run.
    static std::string withoutSocketLine(const std::string &trace) {
        const size_t start = trace.find("Socket=");
        if (start == std::string::npos) return trace;
        const size_t end = trace.find('\n', start);
        return trace.substr(0, start) + trace.substr(end == std::string::npos ? trace.size() : end + 1);
    }

    // Connect, NOOP and close, auto-call on, with its own trace log.
    Run runDialogue(bool early, int32_t stepDelayMs, const char *logName) {
        tevIntegerParam(0, TEV_EARLY_REPLY, early ? 1 : 0);
        tevIntegerParam(0, TEV_STEP_DELAY, stepDelayMs);
        ScriptedServer srv;
        tevIntegerParam(0, TEV_SMTP_PORT, srv.port());
        logPath = tmp.file(logName);
        EXPECT_GT(tevStringParam(0, TEV_LOG_FILE, logPath.c_str()), 0);
        srv.send("220 hi\r\n").expectLine("HELO example.com").send("250 ok\r\n");
        srv.expectLine("NOOP").send("250 fine\r\n").expectLine("QUIT").send("221 bye\r\n").waitForClientClose(3000);
        srv.start();
        Run run;
        const uint32_t start = now();
        EXPECT_EQ(tevSmtpConnect(0, "127.0.0.1", "<ann@example.com>", nullptr), 0);
        EXPECT_EQ(tevCommand(0, "NOOP"), 0);
        EXPECT_EQ(tevClose(0), 0);
        run.elapsedMs = since(start);
        EXPECT_TRUE(srv.finish(3000)) << srv.error();
        run.wire = srv.received();
        run.trace = withoutSocketLine(stableLog());
        return run;
    }
};

TEST_F(EarlyReply, EndsThePausesBeforeRepliesAndChangesNoByteOrTraceLine) {
    const Run plain = runDialogue(false, 1, "plain.log");
    const Run early = runDialogue(true, 5000, "early.log");
    // None of the pauses of 5000 ms or more (connect, greeting, before HELO, HELO reply, NOOP, QUIT) is taken:
    // the one before HELO has no reply to wait for and ends once the socket takes the command.
    EXPECT_LT(early.elapsedMs, 5000);
    EXPECT_EQ(early.wire, "HELO example.com\r\nNOOP\r\nQUIT\r\n");
    EXPECT_EQ(early.wire, plain.wire);
    EXPECT_EQ(early.trace, plain.trace) << showBytes(early.trace, 3000);
    // Without early replies the pause is the pause.
    const Run slow = runDialogue(false, 300, "slow.log");
    EXPECT_GE(slow.elapsedMs, 6 * 300);
    EXPECT_EQ(slow.trace, plain.trace);
}

// The lines of a trace or a wire that do not differ from one message to the next (its Date and Message-ID).
std::string withoutMessageStamps(const std::string &text) {
    std::string kept;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        end = end == std::string::npos ? text.size() : end + 1;
        const std::string line = text.substr(at, end - at);
        if (!contains(line, "Date: ") && !contains(line, "Message-ID: ")) kept += line;
        at = end;
    }
    return kept;
}

class EarlySend : public EarlyReply {
protected:
    // Connect, one message and close, auto-call on, with its own trace log.
    Run runSend(bool early, int32_t stepDelayMs, const char *logName) {
        tevIntegerParam(0, TEV_EARLY_REPLY, early ? 1 : 0);
        tevIntegerParam(0, TEV_STEP_DELAY, stepDelayMs);
        ScriptedServer srv;
        tevIntegerParam(0, TEV_SMTP_PORT, srv.port());
        logPath = tmp.file(logName);
        EXPECT_GT(tevStringParam(0, TEV_LOG_FILE, logPath.c_str()), 0);
        srv.send("220 hi\r\n").expectLine("HELO example.com").send("250 ok\r\n");
        srv.expectLine("MAIL FROM:<ann@example.com>").send("250 ok\r\n");
        srv.expectLine("RCPT TO:<bob@example.org>").send("250 ok\r\n");
        srv.expectLine("DATA").send("354 go\r\n").readUntil("\r\n.\r\n").send("250 queued\r\n");
        srv.expectLine("QUIT").send("221 bye\r\n").waitForClientClose(3000);
        srv.start();
        Run run;
        const uint32_t start = now();
        EXPECT_EQ(tevSmtpConnect(0, "127.0.0.1", "<ann@example.com>", nullptr), 0);
        EXPECT_EQ(tevSendEmail(0, "<bob@example.org>", nullptr, nullptr, "Hi", "Two lines\r\nof text.", nullptr), 0);
        EXPECT_EQ(tevClose(0), 0);
        run.elapsedMs = since(start);
        EXPECT_TRUE(srv.finish(3000)) << srv.error();
        run.wire = withoutMessageStamps(srv.received());
        run.trace = withoutMessageStamps(withoutSocketLine(stableLog()));
        return run;
    }
};

TEST_F(EarlySend, EndsThePausesBeforeCommandsAndHeadersOfAMessageToo) {
    const Run plain = runSend(false, 1, "plain.log");
    // The pauses after the greeting, after the last RCPT reply and after the To line send nothing in reply to
    // anything: with early replies they end at once, and the bytes and the trace stay those of a plain send.
    const Run early = runSend(true, 5000, "early.log");
    EXPECT_LT(early.elapsedMs, 5000);
    EXPECT_TRUE(contains(early.wire, "RCPT TO:<bob@example.org>\r\nDATA\r\n")) << showBytes(early.wire, 2000);
    EXPECT_TRUE(contains(early.wire, "Two lines\r\nof text.\r\n")) << showBytes(early.wire, 2000);
    EXPECT_EQ(early.wire, plain.wire);
    EXPECT_EQ(early.trace, plain.trace) << showBytes(early.trace, 3000);
    // Without early replies each of them is taken whole.
    const Run slow = runSend(false, 200, "slow.log");
    EXPECT_GE(slow.elapsedMs, 3 * 200);
    EXPECT_EQ(slow.wire, plain.wire);
    EXPECT_EQ(slow.trace, plain.trace);
}

}  // namespace
