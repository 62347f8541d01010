// A channel attached with small timeouts and a trace log, for tests that drive SMTP or POP3 sessions against the
// scripted loopback server.  Also: feeding the receive ring directly (to run a reply state without a socket),
// and the trace log with the tick values of the state lines taken out.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "engine/transport.h"
#include "frame/record.h"
#include "platform/platform.h"
#include "support/scripted_server.h"
#include "support/trace.h"
#include "tev32.h"

namespace tevtest {

class SessionTest : public TempDirTest {
protected:
    void SetUp() override {
        ASSERT_EQ(tevAttach(2), 1);
        tevIntegerParam(0, TEV_STEP_DELAY, 1);
        tevIntegerParam(0, TEV_RESPONSE_TIMEOUT, 1500);
        tevIntegerParam(0, TEV_CONNECT_TIMEOUT, 2000);
        tevIntegerParam(0, TEV_POLL_SLEEP, 5);
        tevIntegerParam(0, TEV_READ_TIMEOUT, 1500);
        logPath = tmp.file("trace.log");
        ASSERT_GT(tevStringParam(0, TEV_LOG_FILE, logPath.c_str()), 0);
    }
    void TearDown() override {
        tev::closeSocket(rec());
        tevRelease();
        tevIntegerParam(0, TEV_STEP_DELAY, 25);
        tevIntegerParam(0, TEV_RESPONSE_TIMEOUT, 25000);
        tevIntegerParam(0, TEV_CONNECT_TIMEOUT, 60000);
        tevIntegerParam(0, TEV_POLL_SLEEP, 100);
        tevIntegerParam(0, TEV_READ_TIMEOUT, 25000);
    }

    tev::SessionRecord &rec() { return *tev::channelTable[0].record; }
    std::string log() { return readWholeFile(logPath); }

    // The trace log with every state line "<%3d:%ld>" reduced to "<%3d>", so it can be compared exactly.
    std::string stableLog() {
        const std::string text = log();
        std::string out;
        size_t pos = 0;
        while (pos < text.size()) {
            size_t end = text.find('\n', pos);
            end = end == std::string::npos ? text.size() : end + 1;
            std::string line = text.substr(pos, end - pos);
            size_t colon = line.find(':');
            if (line.size() > 7 && line[0] == '<' && colon == 4 && line.compare(line.size() - 3, 3, ">\r\n") == 0 &&
                line.find_first_not_of("-0123456789", 5) == line.size() - 3) {
                line = line.substr(0, 4) + ">\r\n";
            }
            out += line;
            pos = end;
        }
        return out;
    }

    void setCredentials(const char *user, const char *password) {
        tevStringParam(0, TEV_AUTH_USER, user);
        tevStringParam(0, TEV_AUTH_PASSWORD, password);
    }

    int32_t connect(const ScriptedServer &server, const char *from, const char *replyTo = nullptr) {
        tevIntegerParam(0, TEV_SMTP_PORT, server.port());
        return tevSmtpConnect(0, "127.0.0.1", from, replyTo);
    }

    // Drives the channel until the driver returns 0 or a negative code, or a state number in stopAt; at most
    // limitMs.  Returns the last result.
    int32_t drive(int32_t stopAt = -1000, int limitMs = 5000) {
        const uint32_t start = tev::platform::tick();
        int32_t r;
        do {
            r = tevDriver(0);
            if (r == stopAt) break;
        } while (r > 0 && tev::platform::tickDiff(tev::platform::tick(), start) < limitMs);
        return r;
    }

    // Puts bytes into the receive ring as if they had arrived.
    void feedRing(const std::string &bytes) {
        for (char c : bytes) {
            rec().ringBuffer[rec().ringWrite] = c;
            rec().ringWrite = (rec().ringWrite + 1) % static_cast<int32_t>(tev::kRingCapacity);
        }
    }

    // Runs one state at once (no timers, no socket wait); returns what the driver returned.
    int32_t runState(int32_t state) {
        rec().nextState = state;
        rec().waitUntil = 0;
        rec().deadline = 0;
        rec().waitWritable = 0;
        return tevDriver(0);
    }

    std::string logPath;
};

}  // namespace tevtest
