// A whole send (connect, a message with an attachment, close) against a server that answers one reply of the
// dialogue with a misbehaviour: a refusal, no code, random bytes, no line end, half a reply then silence, a
// 3,000-byte line, NULs, a close, a reset, a split reply or nothing.  The dialogues come from fixed seeds.  Every
// call returns within its time-outs with a result of the error table; no operation succeeds past a refusal, a
// close or a stall where it needs the reply; a split reply is still a good one; nothing is left open and nothing
// is written outside the test's directories.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "frame/errors.h"
#include "support/hostile.h"
#include "support/leak_checks.h"
#include "support/quick_settings.h"
#include "support/scripted_server.h"
#include "support/trace.h"
#include "tev32.h"

using tevtest::Misbehaviour;

namespace {

constexpr int kLimitMs = 300;     // the library's time-outs here
constexpr int kStallMs = 1500;    // longer than any of them
constexpr int kCallBoundMs = 4000;  // a call's waits, the close's pause and a loaded machine's slack

// The replies of the dialogue, in order; the one a scenario spoils is picked by its index.
enum Reply { kGreeting, kHelo, kMailFrom, kRcptTo, kData, kEndOfData, kQuit, kReplies };
const char *const kGood[kReplies] = {"220 mail.test ready\r\n", "250 hello\r\n", "250 sender ok\r\n",
                                     "250 recipient ok\r\n",    "354 go ahead\r\n", "250 queued\r\n",
                                     "221 bye\r\n"};
const char *const kReplyNames[kReplies] = {"greeting", "HELO", "MAIL FROM", "RCPT TO", "DATA", "end of data",
                                           "QUIT"};

class HostileSmtpServer : public tevtest::TempDirTest {
protected:
    void SetUp() override {
        for (const char *dir : {"out", "log"}) ASSERT_EQ(mkdir(tmp.file(dir).c_str(), 0700), 0);
        ASSERT_TRUE(tevtest::writeWholeFile(tmp.file("out/a.txt"), "attached\r\n"));
    }

    struct Outcome {
        int32_t connect = 0, send = 0, close = 0;
    };

    // Runs one call, checks its time and its result code.
    template <typename Call>
    int32_t timed(const std::string &where, Call call) {
        const auto start = std::chrono::steady_clock::now();
        const int32_t rc = call();
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
        EXPECT_LT(ms, kCallBoundMs) << where;
        if (std::getenv("TEV_HOSTILE_TIMES")) std::printf("%s: %d in %lld ms\n", where.c_str(), rc, static_cast<long long>(ms));
        EXPECT_TRUE(rc == 0 || tev::errorTextOf(rc)[0] != '\0') << where << ": result " << rc;
        return rc;
    }

    Outcome play(Reply spoiled, Misbehaviour m, uint32_t seed, bool autoCall, const std::string &where) {
        tevtest::SeededRandom rng(seed);
        tevtest::ScriptedServer srv;
        srv.stepLimit(2000);
        auto reply = [&](Reply r) {
            if (r == spoiled) {
                tevtest::misbehave(srv, m, kGood[r], true, rng, kStallMs);
            } else {
                srv.send(kGood[r]);
            }
        };
        reply(kGreeting);
        srv.readLine();
        reply(kHelo);
        srv.readLine();
        reply(kMailFrom);
        srv.readLine();
        reply(kRcptTo);
        srv.readLine();
        reply(kData);
        srv.readUntil("\r\n.\r\n");
        reply(kEndOfData);
        srv.readLine();
        reply(kQuit);
        srv.waitForClientClose(1000);
        srv.start();

        Outcome out;
        EXPECT_EQ(tevAttach(1), 1);
        tevtest::useQuickSettings(kLimitMs);  // settings take effect only while the library is attached
        tevIntegerParam(0, TEV_AUTO_CALL, autoCall ? 1 : 0);
        tevIntegerParam(0, TEV_SMTP_PORT, srv.port());
        EXPECT_GT(tevStringParam(0, TEV_LOG_FILE, tmp.file("log/trace.log").c_str()), 0);
        out.connect = timed(where + " connect", [&] { return drive(tevSmtpConnect(0, "127.0.0.1", "Ann <ann@example.com>", nullptr), autoCall); });
        if (out.connect == 0) {
            const std::string attachment = tmp.file("out/a.txt");
            out.send = timed(where + " send", [&] {
                return drive(tevSendEmail(0, "<bob@example.com>", nullptr, nullptr, "Hostile", "Text.",
                                          attachment.c_str()),
                             autoCall);
            });
            out.close = timed(where + " close", [&] { return drive(tevClose(0), autoCall); });
        }
        tevtest::restoreDefaultSettings();
        tevRelease();
        srv.finish(50);
        return out;
    }

    // Without autoCall a call only starts its operation (0, or a refusal of its arguments): the driver runs it
    // until it returns 0 or a negative code.
    static int32_t drive(int32_t started, bool autoCall) {
        if (autoCall || started != 0) return started;
        const auto start = std::chrono::steady_clock::now();
        int32_t rc;
        do {
            rc = tevDriver(0);
            if (rc == 9999) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        } while (rc > 0 && std::chrono::steady_clock::now() - start < std::chrono::milliseconds(kCallBoundMs));
        return rc;
    }
};

TEST_F(HostileSmtpServer, SeededDialogues) {
    const auto fdsBefore = tevtest::openDescriptors();
    for (int i = 0; i < 2 * tevtest::kMisbehaviours; ++i) {
        const uint32_t seed = 1000 + static_cast<uint32_t>(i);
        tevtest::SeededRandom pick(seed);
        const auto m = static_cast<Misbehaviour>(i % tevtest::kMisbehaviours);
        const auto spoiled = static_cast<Reply>(pick.below(kReplies));
        const bool autoCall = (i / tevtest::kMisbehaviours) == 0;
        const std::string where = std::string("seed ") + std::to_string(seed) + ": " + tevtest::nameOf(m) +
                                  " for the " + kReplyNames[spoiled] + " reply" + (autoCall ? "" : " (driven)");
        const Outcome out = play(spoiled, m, pick.next(), autoCall, where);
        if (!tevtest::spoilsReply(m)) {
            EXPECT_EQ(out.connect, 0) << where;
            EXPECT_EQ(out.send, 0) << where;
            EXPECT_EQ(out.close, 0) << where;
        } else if (spoiled >= kMailFrom && spoiled <= kEndOfData) {
            // Every reply of the mail transaction must be a success.
            EXPECT_EQ(out.connect, 0) << where;
            EXPECT_NE(out.send, 0) << where;
        } else if (spoiled == kQuit) {
            EXPECT_EQ(out.send, 0) << where;
            // An error reply to QUIT or a stall is reported; a close completes it.
            if (m == Misbehaviour::permanent || tevtest::stalls(m)) {
                EXPECT_NE(out.close, 0) << where;
            }
        } else if (m == Misbehaviour::permanent || m == Misbehaviour::close || m == Misbehaviour::reset ||
                   tevtest::stalls(m) || m == Misbehaviour::longLine) {
            EXPECT_NE(out.connect, 0) << where;
        }
        EXPECT_EQ(tevtest::descriptorChanges(fdsBefore, tevtest::openDescriptors()), "") << where;
        EXPECT_EQ(tevtest::strayEntries(tmp.path(), {"out", "log"}), "") << where;
    }
}

}  // namespace
