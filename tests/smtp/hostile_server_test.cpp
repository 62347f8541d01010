// A whole send (connect, a message with an attachment, close) against a server that answers one reply of the
// dialogue with a misbehaviour: a refusal, no code, random bytes, no line end, half a reply then silence, a
// 3,000-byte line, NULs, a close, a reset, a split reply or nothing.  The dialogues come from fixed seeds.  Every
// call returns within its time-outs with a result of the error table; no operation succeeds past a refusal, a
// close or a stall where it needs the reply; a split reply is still a good one; nothing is left open and nothing
// is written outside the test's directories.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

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
        auto call = [&](const char *what, auto start) {
            return tevtest::timedCall(where + " " + what, kCallBoundMs,
                                      [&] { return tevtest::driveToEnd(0, start(), autoCall, kCallBoundMs); });
        };
        out.connect = call("connect", [] { return tevSmtpConnect(0, "127.0.0.1", "Ann <ann@example.com>", nullptr); });
        if (out.connect == 0) {
            const std::string attachment = tmp.file("out/a.txt");
            out.send = call("send", [&] {
                return tevSendEmail(0, "<bob@example.com>", nullptr, nullptr, "Hostile", "Text.", attachment.c_str());
            });
            out.close = call("close", [] { return tevClose(0); });
        }
        tevtest::restoreDefaultSettings();
        tevRelease();
        srv.finish(50);
        return out;
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
