// A whole fetch (login, a message with an attachment into the message and attachment directories, close)
// against a server that answers one step of the dialogue with a misbehaviour: a refusal, no status, random
// bytes, no line end, half a line then silence, a 3,000-byte line, NULs, a close, a reset, a split reply or
// nothing.  The dialogues come from fixed seeds.  Every call returns within its time-outs with a result of the
// error table; no login or fetch succeeds past a refusal, a close or a stall; misbehaving lines inside the
// message are only message text; nothing is left open and nothing is written outside the directories.
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

constexpr int kLimitMs = 300;       // the library's time-outs here
constexpr int kStallMs = 1800;      // longer than any of them (a line's rest may take 4 read time-outs)
constexpr int kCallBoundMs = 4000;  // a call's waits, the close's pause and a loaded machine's slack

// The steps of the dialogue; the one a scenario spoils is picked by its index.  kBody puts the misbehaviour
// between two lines of the message, inside its attachment.
enum Step { kGreeting, kUser, kPass, kRetrStatus, kBody, kQuit, kSteps };
const char *const kGood[kSteps] = {"+OK POP3 ready <1.2@pop.test>\r\n", "+OK\r\n", "+OK logged in\r\n",
                                   "+OK 200 octets\r\n", "more\r\n", "+OK bye\r\n"};
const char *const kStepNames[kSteps] = {"greeting", "USER", "PASS", "RETR status", "message body", "QUIT"};

const char *const kMessageHead =
    "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b\"\r\n\r\n"
    "--b\r\nContent-Type: text/plain\r\n\r\nhello\r\n"
    "--b\r\nContent-Disposition: attachment; filename=\"a.txt\"\r\n\r\nattached\r\n";
const char *const kMessageTail = "--b--\r\n.\r\n";

// True when what the misbehaviour sends is a line like any other inside a message.
bool isMessageText(Misbehaviour m) {
    return m == Misbehaviour::transient || m == Misbehaviour::permanent || m == Misbehaviour::noCode ||
           m == Misbehaviour::longLine || m == Misbehaviour::nuls || m == Misbehaviour::split;
}

class HostilePop3Server : public tevtest::TempDirTest {
protected:
    void SetUp() override {
        for (const char *dir : {"in", "att", "log"}) ASSERT_EQ(mkdir(tmp.file(dir).c_str(), 0700), 0);
    }

    struct Outcome {
        int32_t connect = 0, fetch = 0, close = 0;
    };

    Outcome play(Step spoiled, Misbehaviour m, uint32_t seed, bool autoCall, const std::string &where) {
        tevtest::SeededRandom rng(seed);
        tevtest::ScriptedServer srv;
        srv.stepLimit(2000);
        // Whether the dialogue goes on after the spoiled step: a stall or a close ends it, and a server that
        // refused or garbled a status line sends no message.
        bool goesOn = true;
        auto reply = [&](Step r) {
            if (r != spoiled) {
                srv.send(kGood[r]);
                return;
            }
            tevtest::misbehave(srv, m, kGood[r], false, rng, kStallMs);
            if (r == kBody) {
                if (isMessageText(m) && m != Misbehaviour::split) srv.send(kGood[r]);
                goesOn = isMessageText(m) || m == Misbehaviour::randomBytes;
            } else {
                goesOn = m == Misbehaviour::split || m == Misbehaviour::longLine;
            }
        };
        reply(kGreeting);
        srv.expectLine("USER ann");
        reply(kUser);
        srv.expectLine("PASS secret");
        reply(kPass);
        srv.expectLine("RETR 1");
        reply(kRetrStatus);
        if (goesOn) {
            srv.send(kMessageHead);
            reply(kBody);
        }
        if (goesOn) {
            srv.send(kMessageTail);
            srv.expectLine("QUIT");
            reply(kQuit);
        }
        srv.waitForClientClose(kStallMs);
        srv.start();

        Outcome out;
        EXPECT_EQ(tevAttach(1), 1);
        tevtest::useQuickSettings(kLimitMs);  // settings take effect only while the library is attached
        tevIntegerParam(0, TEV_AUTO_CALL, autoCall ? 1 : 0);
        tevIntegerParam(0, TEV_POP3_PORT, srv.port());
        EXPECT_GT(tevStringParam(0, TEV_LOG_FILE, tmp.file("log/trace.log").c_str()), 0);
        auto call = [&](const char *what, auto start) {
            return tevtest::timedCall(where + " " + what, kCallBoundMs,
                                      [&] { return tevtest::driveToEnd(0, start(), autoCall, kCallBoundMs); });
        };
        out.connect = call("connect", [] { return tevPop3Connect(0, "127.0.0.1", "ann", "secret"); });
        if (out.connect == 0) {
            const std::string in = tmp.file("in"), att = tmp.file("att");
            out.fetch = call("fetch", [&] { return tevGetEmailFile(0, 1, "msg.txt", in.c_str(), att.c_str()); });
            out.close = call("close", [] { return tevClose(0); });
        }
        tevtest::restoreDefaultSettings();
        tevRelease();
        srv.finish(50);
        return out;
    }
};

TEST_F(HostilePop3Server, SeededDialogues) {
    const auto fdsBefore = tevtest::openDescriptors();
    for (int i = 0; i < 2 * tevtest::kMisbehaviours; ++i) {
        const uint32_t seed = 2000 + static_cast<uint32_t>(i);
        tevtest::SeededRandom pick(seed);
        const auto m = static_cast<Misbehaviour>(i % tevtest::kMisbehaviours);
        const auto spoiled = static_cast<Step>(pick.below(kSteps));
        const bool autoCall = (i / tevtest::kMisbehaviours) == 1;
        const std::string where = std::string("seed ") + std::to_string(seed) + ": " + tevtest::nameOf(m) +
                                  " for the " + kStepNames[spoiled] + (autoCall ? "" : " (driven)");
        tevtest::emptyDirectories(tmp.path(), {"in", "att", "log"});
        const Outcome out = play(spoiled, m, pick.next(), autoCall, where);
        const bool good = !tevtest::spoilsReply(m) || (spoiled == kBody && isMessageText(m));
        if (good) {
            EXPECT_EQ(out.connect, 0) << where;
            EXPECT_EQ(out.fetch, 0) << where;
            EXPECT_EQ(out.close, 0) << where;
            // The attachment holds its two lines, and the misbehaving line between them when it was sent there.
            const std::string file = tevtest::readWholeFile(tmp.file("att/a.txt"));
            if (spoiled == kBody && m != Misbehaviour::split) {
                EXPECT_EQ(file.compare(0, 10, "attached\r\n"), 0) << where << ": " << tevtest::showBytes(file, 200);
                EXPECT_GT(file.size(), 16u) << where;
                EXPECT_EQ(file.compare(file.size() - 6, 6, "more\r\n"), 0) << where;
            } else {
                EXPECT_EQ(file, "attached\r\nmore\r\n") << where;
            }
        } else if (spoiled <= kPass) {
            // A "+OK" line of 3,000 bytes is still a positive status.
            if (m != Misbehaviour::longLine) {
                EXPECT_NE(out.connect, 0) << where;
            }
        } else if (spoiled <= kBody) {
            EXPECT_EQ(out.connect, 0) << where;
            // Random bytes inside the message are only message text.
            if (m != Misbehaviour::longLine && !(spoiled == kBody && m == Misbehaviour::randomBytes)) {
                EXPECT_NE(out.fetch, 0) << where;
            }
        }
        EXPECT_EQ(tevtest::descriptorChanges(fdsBefore, tevtest::openDescriptors()), "") << where;
        EXPECT_EQ(tevtest::strayEntries(tmp.path(), {"in", "att", "log"}), "") << where;
    }
}

}  // namespace
