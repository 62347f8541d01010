// A channel with small timeouts and a trace log for POP3 tests against the scripted loopback server, and the
// dialogue pieces most of them share (greeting and USER/PASS login).
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "frame/record.h"
#include "platform/platform.h"
#include "smtp/session_fixture.h"
#include "support/scripted_server.h"
#include "support/trace.h"
#include "tev32.h"

namespace tevtest {

class Pop3Test : public SessionTest {
protected:
    void SetUp() override {
        SessionTest::SetUp();
        tevIntegerParam(0, TEV_READ_TIMEOUT, 1000);
    }

    // Greeting and a USER/PASS login as user "ann", password "secret".
    static ScriptedServer &login(ScriptedServer &srv, const std::string &greeting = "+OK POP3 ready\r\n") {
        return srv.send(greeting)
            .expectLine("USER ann")
            .send("+OK\r\n")
            .expectLine("PASS secret")
            .send("+OK logged in\r\n");
    }
    static const char *loginWire() { return "USER ann\r\nPASS secret\r\n"; }

    int32_t connectPop3(const ScriptedServer &srv, const char *user = "ann", const char *password = "secret") {
        tevIntegerParam(0, TEV_POP3_PORT, srv.port());
        return tevPop3Connect(0, "127.0.0.1", user, password);
    }

    // The trace from the first line that contains `from`, with the state lines' ticks, the local host name and
    // the socket number taken out.
    std::string traceFrom(const std::string &from) {
        std::string trace = stableLog();
        size_t start = trace.find(from);
        if (start == std::string::npos) return "(not in the trace: " + from + ")\n" + trace;
        trace.erase(0, start);
        const std::string localHost = "LocalHost = '";
        size_t a = trace.find(localHost);
        if (a != std::string::npos) {
            size_t b = trace.find("'\r\n", a + localHost.size());
            if (b != std::string::npos) trace.replace(a, b + 3 - a, "LocalHost\r\n");
        }
        a = trace.find("Socket=");
        if (a != std::string::npos) {
            size_t b = trace.find(',', a);
            if (b != std::string::npos) trace.replace(a, b - a, "Socket=N");
        }
        return trace;
    }

    std::string errorText(int32_t code) {
        char buffer[512];
        tevErrorText(0, code, buffer, sizeof buffer);
        return buffer;
    }

    static bool contains(const std::string &text, const std::string &part) {
        return text.find(part) != std::string::npos;
    }

    // Milliseconds since `start` (a tick).
    static int32_t elapsedSince(uint32_t start) {
        return tev::platform::tickDiff(tev::platform::tick(), start);
    }
};

}  // namespace tevtest
