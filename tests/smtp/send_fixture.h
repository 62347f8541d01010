// A channel attached with small timeouts and a trace log, connected to the scripted loopback server, for the
// tests of tevSendEmail: the server's side of whole mail transactions, and the transcript of what the client sent
// with the Date line (which differs per run) masked.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frame/record.h"
#include "platform/platform.h"
#include "support/scripted_server.h"
#include "support/trace.h"
#include "tev32.h"

namespace tevtest {

class SendTest : public TempDirTest {
protected:
    void SetUp() override {
        ASSERT_EQ(tevAttach(2), 1);
        tevIntegerParam(0, TEV_STEP_DELAY, 1);
        tevIntegerParam(0, TEV_RESPONSE_TIMEOUT, 1500);
        tevIntegerParam(0, TEV_CONNECT_TIMEOUT, 2000);
        tevIntegerParam(0, TEV_POLL_SLEEP, 5);
        tevIntegerParam(0, TEV_SEND_TIMEOUT, 1500);
        logPath = tmp.file("trace.log");
        ASSERT_GT(tevStringParam(0, TEV_LOG_FILE, logPath.c_str()), 0);
        boundary = tev::boundaryBase;
    }
    void TearDown() override {
        tevRelease();
        // Process-wide settings outlive the attach: put back every default a test may have changed.
        tev::settings.stepDelay.set(25);
        tev::settings.responseTimeout.set(25000);
        tev::settings.connectTimeout.set(60000);
        tev::settings.pollSleep.set(100);
        tev::settings.sendTimeout.set(25000);
        tev::settings.lineDelay.set(0);
        tev::settings.maxLineLength.set(78);
        tev::settings.softLineLength.set(61);
        tev::settings.pass8Bit.set(0);
        tev::settings.noToHeader.set(0);
        tev::settings.addressSeparator.set(',');
        tev::settings.attachmentSeparator.set(',');
        tev::settings.nameSeparator.set('|');
        tev::customContentType[0] = '\0';
        tev::customTransferEncoding[0] = '\0';
        tev::customTransferEncodingLength = 0;
    }

    tev::SessionRecord &rec() { return *tev::channelTable[0].record; }
    std::string log() { return readWholeFile(logPath); }

    // The server's side of a connect with HELO, then of one mail transaction per entry of `recipients` (the
    // number of RCPT TO commands of that message), each ending with the data and a 250 reply.
    static void scriptMessages(ScriptedServer &srv, const std::vector<int> &recipients) {
        srv.send("220 mail.test ready\r\n").readLine().send("250 ok\r\n");
        for (int count : recipients) {
            srv.readLine().send("250 ok\r\n");
            for (int i = 0; i < count; ++i) srv.readLine().send("250 ok\r\n");
            srv.readLine().send("354 go\r\n").readUntil("\r\n.\r\n").send("250 ok\r\n");
        }
    }

    // Connects channel 0 to the server with sender "Ann <ann@example.com>" (HELO example.com).
    int32_t connect(const ScriptedServer &srv, const char *from = "Ann <ann@example.com>") {
        tevIntegerParam(0, TEV_SMTP_PORT, srv.port());
        return tevSmtpConnect(0, "127.0.0.1", from, nullptr);
    }

    // What the client sent after its HELO line, with the text of every Date line replaced by "*".
    static std::string transcript(const ScriptedServer &srv) {
        std::string bytes = srv.received();
        const std::string helo = "HELO example.com\r\n";
        if (bytes.compare(0, helo.size(), helo) == 0) bytes.erase(0, helo.size());
        const std::string date = "\r\nDate: ";
        for (size_t at = bytes.find(date); at != std::string::npos; at = bytes.find(date, at + 1)) {
            size_t from = at + date.size();
            size_t end = bytes.find("\r\n", from);
            if (end == std::string::npos) break;
            bytes.replace(from, end - from, "*");
        }
        // The unique part of every Message-ID.
        const std::string id = "\r\nMessage-ID: <message-root.";
        for (size_t at = bytes.find(id); at != std::string::npos; at = bytes.find(id, at + 1)) {
            size_t from = at + id.size();
            size_t end = bytes.find('@', from);
            if (end == std::string::npos) break;
            bytes.replace(from, end - from, "*");
        }
        return bytes;
    }

    // The envelope of a message from Ann to the given recipients, up to and including DATA.
    static std::string envelope(const std::vector<std::string> &recipients) {
        std::string text = "MAIL FROM:<ann@example.com>\r\n";
        for (const std::string &r : recipients) text += "RCPT TO:" + r + "\r\n";
        return text + "DATA\r\n";
    }

    std::string logPath;
    std::string boundary;
};

}  // namespace tevtest
