// The send queue of the data phase: message lines are traced as they are queued and reach the server in big
// writes, at the latest with the end-of-data line; a server that stops reading fails the send with -52 once the
// queue cannot be written within sendTimeout.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <string>

#include "engine/transport.h"
#include "frame/record.h"
#include "platform/platform.h"
#include "smtp/send_fixture.h"
#include "support/scripted_server.h"
#include "support/trace.h"
#include "tev32.h"

using tevtest::ScriptedServer;

namespace {

class SendQueue : public tevtest::SendTest {};

bool contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

TEST_F(SendQueue, LinesAreTracedWhenQueuedAndSentWithTheEndOfData) {
    const std::string att = tmp.file("a.bin");
    ASSERT_TRUE(tevtest::writeWholeFile(att, std::string(570, 'q')));  // ten base64 lines
    ScriptedServer srv;
    scriptMessages(srv, {1});
    srv.expectLine("QUIT").send("221 bye\r\n").waitForClientClose(3000);
    srv.start();
    ASSERT_EQ(connect(srv), 0);
    tevIntegerParam(0, TEV_AUTO_CALL, 0);
    ASSERT_EQ(tevSendEmail(0, "<bob@x.test>", nullptr, nullptr, "s", "text", att.c_str()), 0);
    // Up to the last attachment line: every line is in the trace, none has reached the server.
    int32_t r = 0;
    int lines = 0;
    const uint32_t start = tev::platform::tick();
    while (tev::platform::tickDiff(tev::platform::tick(), start) < 3000) {
        const int32_t state = rec().nextState;
        r = tevDriver(0);
        ASSERT_GT(r, 0);
        if (state == 265 && r == 265) ++lines;
        if (r == 251) break;
    }
    ASSERT_EQ(r, 251);
    EXPECT_EQ(lines, 10);
    EXPECT_GT(rec().sendQueueUsed, 0);
    EXPECT_TRUE(contains(log(), "S: cXFxcXFx")) << log();
    EXPECT_FALSE(contains(srv.received(), "cXFx")) << tevtest::showBytes(srv.received());
    EXPECT_FALSE(contains(srv.received(), "Subject: s\r\n")) << tevtest::showBytes(srv.received());
    // The end of the data takes everything out in order, the end line last.
    while (r > 0 && tev::platform::tickDiff(tev::platform::tick(), start) < 5000) r = tevDriver(0);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(rec().sendQueueUsed, 0);
    tevIntegerParam(0, TEV_AUTO_CALL, 1);
    EXPECT_EQ(tevClose(0), 0);
    ASSERT_TRUE(srv.finish(3000)) << srv.error();
    const std::string wire = srv.received();
    EXPECT_TRUE(contains(wire, "Subject: s\r\n")) << tevtest::showBytes(wire);
    const size_t body = wire.find("cXFxcXFx");
    ASSERT_NE(body, std::string::npos);
    EXPECT_TRUE(contains(wire.substr(body), "\r\n.\r\nQUIT\r\n")) << tevtest::showBytes(wire.substr(body));
}

TEST_F(SendQueue, ServerThatStopsReadingFailsTheSendWithinSendTimeout) {
    const std::string att = tmp.file("big.bin");
    ASSERT_TRUE(tevtest::writeWholeFile(att, std::string(2 * 1024 * 1024, 'w')));
    ScriptedServer srv;
    srv.send("220 mail.test ready\r\n").readLine().send("250 ok\r\n");
    srv.readLine().send("250 ok\r\n").readLine().send("250 ok\r\n").readLine().send("354 go\r\n");
    srv.hold().waitForClientClose(3000);  // reads nothing more until the test lets it
    srv.start();
    ASSERT_EQ(connect(srv), 0);
    // A small send buffer on our side, so the kernel holds little of what the server does not read.
    const int small = 4096;
    ASSERT_EQ(::setsockopt(rec().socket, SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
    tevIntegerParam(0, TEV_SEND_TIMEOUT, 400);
    tevIntegerParam(0, TEV_RESPONSE_TIMEOUT, 20000);  // not the limit that ends the send
    const uint32_t start = tev::platform::tick();
    EXPECT_EQ(tevSendEmail(0, "<bob@x.test>", nullptr, nullptr, "s", "x", att.c_str()), TEV_E_WRITE);
    const int32_t took = tev::platform::tickDiff(tev::platform::tick(), start);
    EXPECT_GE(took, 400);
    EXPECT_LT(took, 5000);
    EXPECT_EQ(rec().prevState, 265);
    EXPECT_EQ(rec().socket, 0);
    EXPECT_EQ(rec().sendQueueUsed, 0);
    EXPECT_EQ(tevStatistics(0, TEV_STAT_SOCKET_ERROR), -1);
    EXPECT_TRUE(contains(log(), "SockCode=-1 TevCode=-52 PrevState=265 ThisState=265")) << log().substr(0, 2000);
    srv.proceed();
    srv.finish(3000);
}

}  // namespace
