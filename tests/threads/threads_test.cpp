// Eight channels at once, each driven by a thread of its own: four send a message with an attachment to a
// scripted SMTP server, four fetch one into their own directories from a scripted POP3 server, half of each with
// autoCall and half driven step by step, every channel with its trace log, while one more thread keeps changing
// the process-wide settings.  Every operation must succeed with exactly its own dialogue and files.  Built under
// ThreadSanitizer by the test command, which then also reports any data race among them.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "support/hostile.h"
#include "support/quick_settings.h"
#include "support/scripted_server.h"
#include "support/trace.h"
#include "tev32.h"

namespace {

constexpr int kChannels = 8;
// The settings thread's own channel: a settings call traces into its channel's log, so it must not share a
// channel with a thread that drives one.
constexpr int kSettingsChannel = kChannels;
constexpr int kRounds = 2;
constexpr int kCallBoundMs = 20000;  // eight channels' close pauses and the sanitizer's slowness

const std::string kMessage =
    "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b\"\r\n\r\n"
    "--b\r\nContent-Type: text/plain\r\n\r\nhello\r\n"
    "--b\r\nContent-Disposition: attachment; filename=\"a.txt\"\r\nContent-Transfer-Encoding: base64\r\n\r\n"
    "YXR0YWNoZWQNCg==\r\n--b--\r\n";

class Threads : public tevtest::TempDirTest {
protected:
    void SetUp() override {
        ASSERT_EQ(tevAttach(kChannels + 1), 1);
        tevtest::useQuickSettings(5000);
        ASSERT_TRUE(tevtest::writeWholeFile(tmp.file("a.txt"), "attached\r\n"));
    }
    void TearDown() override {
        tevtest::restoreDefaultSettings();
        tevRelease();
    }

    // A failure of one channel, told by its number; "" when every step went as it should.
    std::string sendRounds(int channel, bool autoCall) {
        tevtest::ScriptedServer srv;
        for (int round = 0; round < kRounds; ++round) {
            if (round > 0) srv.nextConnection();
            srv.send("220 ready\r\n").expectLine("HELO example.com").send("250 hi\r\n");
            srv.expectLine("MAIL FROM:<ann@example.com>").send("250 ok\r\n");
            srv.expectLine("RCPT TO:<bob@example.com>").send("250 ok\r\n");
            srv.expectLine("DATA").send("354 go\r\n").readUntil("\r\n.\r\n").send("250 queued\r\n");
            srv.expectLine("QUIT").send("221 bye\r\n").waitForClientClose(kCallBoundMs);
        }
        srv.start();
        const std::string where = "channel " + std::to_string(channel);
        tevIntegerParam(channel, TEV_SMTP_PORT, srv.port());
        const std::string attachment = tmp.file("a.txt");
        for (int round = 0; round < kRounds; ++round) {
            const int32_t connected = run(where, channel, autoCall, [&] {
                return tevSmtpConnect(channel, "127.0.0.1", "Ann <ann@example.com>", nullptr);
            });
            const int32_t sent = run(where, channel, autoCall, [&] {
                return tevSendEmail(channel, "<bob@example.com>", nullptr, nullptr, "Threads", "Text.",
                                    attachment.c_str());
            });
            const int32_t closed = run(where, channel, autoCall, [&] { return tevClose(channel); });
            if (connected != 0 || sent != 0 || closed != 0) {
                return where + ": " + std::to_string(connected) + " " + std::to_string(sent) + " " +
                       std::to_string(closed);
            }
        }
        if (!srv.finish(kCallBoundMs)) return where + ": " + srv.error();
        const std::string wire = srv.received();
        size_t copies = 0;
        for (size_t at = wire.find("YXR0YWNoZWQNCg=="); at != std::string::npos; at = wire.find("YXR0YWNoZWQNCg==", at + 1)) {
            ++copies;
        }
        return copies == kRounds ? "" : where + ": the attachment went out " + std::to_string(copies) + " times";
    }

    std::string fetchRounds(int channel, bool autoCall) {
        tevtest::ScriptedServer srv;
        for (int round = 0; round < kRounds; ++round) {
            if (round > 0) srv.nextConnection();
            srv.send("+OK ready\r\n").expectLine("USER ann").send("+OK\r\n").expectLine("PASS secret");
            srv.send("+OK in\r\n").expectLine("RETR 1").send("+OK\r\n" + kMessage + ".\r\n");
            srv.expectLine("QUIT").send("+OK bye\r\n").waitForClientClose(kCallBoundMs);
        }
        srv.start();
        const std::string where = "channel " + std::to_string(channel);
        const std::string dir = tmp.file("in" + std::to_string(channel));
        if (mkdir(dir.c_str(), 0700) != 0) return where + ": no directory";
        tevIntegerParam(channel, TEV_POP3_PORT, srv.port());
        for (int round = 0; round < kRounds; ++round) {
            const int32_t connected =
                run(where, channel, autoCall, [&] { return tevPop3Connect(channel, "127.0.0.1", "ann", "secret"); });
            const int32_t fetched = run(where, channel, autoCall, [&] {
                return tevGetEmailFile(channel, 1, "msg.txt", dir.c_str(), dir.c_str());
            });
            const int32_t closed = run(where, channel, autoCall, [&] { return tevClose(channel); });
            if (connected != 0 || fetched != 0 || closed != 0) {
                return where + ": " + std::to_string(connected) + " " + std::to_string(fetched) + " " +
                       std::to_string(closed);
            }
            if (tevtest::readWholeFile(dir + "/a.txt") != "attached\r\n") return where + ": attachment differs";
            if (tevtest::readWholeFile(dir + "/msg.txt").find("hello\r\n") == std::string::npos) {
                return where + ": message text missing";
            }
        }
        return srv.finish(kCallBoundMs) ? "" : where + ": " + srv.error();
    }

    template <typename Start>
    static int32_t run(const std::string &where, int channel, bool autoCall, Start start) {
        return tevtest::timedCall(where, kCallBoundMs,
                                  [&] { return tevtest::driveToEnd(channel, start(), autoCall, kCallBoundMs); });
    }
};

TEST_F(Threads, EightChannelsAtOnceWhileSettingsChange) {
    for (int channel = 0; channel < kChannels; ++channel) {
        tevIntegerParam(channel, TEV_AUTO_CALL, channel % 4 < 2 ? 1 : 0);
        const std::string log = tmp.file("trace" + std::to_string(channel) + ".log");
        ASSERT_GT(tevStringParam(channel, TEV_LOG_FILE, log.c_str()), 0);
    }
    std::vector<std::string> failures(kChannels);
    std::atomic<int> running{kChannels};
    std::vector<std::thread> workers;
    for (int channel = 0; channel < kChannels; ++channel) {
        workers.emplace_back([&, channel] {
            const bool autoCall = channel % 4 < 2;
            failures[channel] = channel % 2 == 0 ? sendRounds(channel, autoCall) : fetchRounds(channel, autoCall);
            --running;
        });
    }
    // Settings that leave every dialogue as it is, changed while the channels run.
    std::thread settings([&] {
        for (int i = 0; running.load() > 0; ++i) {
            tevIntegerParam(kSettingsChannel, TEV_POLL_SLEEP, 1 + i % 3);
            tevIntegerParam(kSettingsChannel, TEV_STEP_DELAY, i % 2);
            tevIntegerParam(kSettingsChannel, TEV_RESPONSE_TIMEOUT, 5000 + i % 2 * 1000);
            tevIntegerParam(kSettingsChannel, TEV_READ_TIMEOUT, 5000 + i % 3 * 1000);
            tevIntegerParam(kSettingsChannel, TEV_SEND_TIMEOUT, 5000 + i % 2 * 1000);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    for (std::thread &t : workers) t.join();
    settings.join();
    for (int channel = 0; channel < kChannels; ++channel) EXPECT_EQ(failures[channel], "") << channel;
    for (int channel = 0; channel < kChannels; ++channel) {
        const std::string log = tevtest::readWholeFile(tmp.file("trace" + std::to_string(channel) + ".log"));
        EXPECT_NE(log.find(channel % 2 == 0 ? "*** tevSendEmail" : "*** tevGetEmailFile"), std::string::npos)
            << channel << "\n" << log.substr(0, 2000);
    }
}

}  // namespace
