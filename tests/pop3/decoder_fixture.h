// Fetching messages through the MIME decoder: a POP3 channel logged in to the scripted loopback server, which
// serves the test's messages as RETR replies (dot-stuffed, ended by the "." line); the message file and the
// attachment directory live in the test's temporary directory.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

#include "engine/transport.h"
#include "frame/record.h"
#include "pop3/memory_decode.h"
#include "pop3/pop3_fixture.h"
#include "support/scripted_server.h"
#include "support/trace.h"
#include "tev32.h"

namespace tevtest {

// The message with CR LF line ends (bare LF become CR LF) and the POP3 byte-stuffing: a line that begins with
// '.' gets one more.  A last line without a line end gets one.
inline std::string crlf(const std::string &text) {
    std::string out;
    out.reserve(text.size() + text.size() / 16 + 2);
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) out += '\r';
        out += text[i];
    }
    if (!out.empty() && out.back() != '\n') out += "\r\n";
    return out;
}

inline std::string stuffed(const std::string &message) {
    const std::string text = crlf(message);
    std::string out;
    out.reserve(text.size() + 64);
    bool lineStart = true;
    for (char c : text) {
        if (lineStart && c == '.') out += '.';
        out += c;
        lineStart = c == '\n';
    }
    return out;
}

// The RETR reply for a message.
inline std::string retrReply(const std::string &message) {
    return "+OK " + std::to_string(message.size()) + " octets\r\n" + stuffed(message) + ".\r\n";
}

class DecoderTest : public Pop3Test {
protected:
    void SetUp() override {
        Pop3Test::SetUp();
        attachDir = tmp.file("att");
        ASSERT_EQ(mkdir(attachDir.c_str(), 0700), 0);
    }

    // Serves the messages as RETR 1, RETR 2, ... on one logged-in session and fetches each of them in turn
    // into msg<i>.txt; returns the results of the fetches (the first failure ends the list).
    std::vector<int32_t> fetchAll(const std::vector<std::string> &messages, int stepLimitMs = 5000) {
        ScriptedServer srv;
        srv.stepLimit(stepLimitMs);
        login(srv);
        for (size_t i = 0; i < messages.size(); ++i) {
            srv.expectLine("RETR " + std::to_string(i + 1)).send(retrReply(messages[i]));
        }
        srv.start();
        // A session left by an earlier fetch of the same test ends first.
        if (rec().socket != 0) tev::closeSocket(rec());
        std::vector<int32_t> results;
        if (connectPop3(srv) != 0) {
            ADD_FAILURE() << "login failed: " << srv.error();
            return results;
        }
        std::vector<Replay> replays;
        for (size_t i = 0; i < messages.size(); ++i) {
            const std::string name = "msg" + std::to_string(i + 1) + ".txt";
            Replay replay{std::make_unique<tev::SessionRecord>(rec()), retrReply(messages[i]),
                          snapshotTree(attachDir), {}};
            int32_t r = tevGetEmailFile(0, static_cast<int32_t>(i + 1), name.c_str(), tmp.path().c_str(),
                                        attachDir.c_str());
            results.push_back(r);
            if (r != 0) break;
            replay.fetched = {r, messageFile(static_cast<int>(i + 1)), snapshotTree(attachDir), decoderFields(rec())};
            replays.push_back(std::move(replay));
        }
        EXPECT_TRUE(srv.finish(stepLimitMs)) << srv.error();
        for (const Replay &replay : replays) expectSameFromMemory(replay);
        return results;
    }

    // A fetch to repeat without a socket: the record and the attachment directory before it, the reply, and
    // what the fetch from the server gave.
    struct Replay {
        std::unique_ptr<tev::SessionRecord> before;
        std::string reply;
        Tree attachBefore;
        DecodeOutcome fetched;
    };

    // The reply decoded from memory, whole, cut in two at every position (a spread of them when long) and cut
    // after every byte, gives what the fetch gave: the same message file, attachment files and record fields.
    void expectSameFromMemory(const Replay &replay) {
        if (getenv("TEV_NO_REPLAY")) return;
        ScratchDir root;
        auto run = [&](const std::vector<size_t> &cuts, const std::string &what) {
            const DecodeOutcome got =
                decodeFromMemory(*replay.before, replay.reply, replay.attachBefore, root.path(), attachDir, cuts);
            if (got == replay.fetched) return true;
            ADD_FAILURE() << "decoded from memory (" << what << ") differs from the fetch\n"
                          << "message: " << showBytes(got.message, 3000) << "\nfetched: "
                          << showBytes(replay.fetched.message, 3000) << "\nfields:  " << got.fields
                          << "\nfetched: " << replay.fetched.fields << "\nresult " << got.result;
            return false;
        };
        if (!run({}, "whole")) return;
        for (size_t cut : cutPositions(replay.reply.size(), replay.fetched.attachments.entries.size())) {
            if (!run({cut}, "cut at " + std::to_string(cut))) return;
        }
        if (replay.reply.size() <= 20000 && replay.fetched.attachments.entries.size() < 50) {
            std::vector<size_t> every;
            for (size_t at = 1; at < replay.reply.size(); ++at) every.push_back(at);
            run(every, "cut after every byte");
        }
    }

    // One message fetched into msg1.txt; the fetch's result.
    int32_t fetch(const std::string &message) {
        std::vector<int32_t> r = fetchAll({message});
        return r.empty() ? -9999 : r[0];
    }

    std::string messageFile(int i = 1) { return readWholeFile(tmp.file("msg" + std::to_string(i) + ".txt")); }
    std::string attachment(const std::string &name) { return readWholeFile(attachDir + "/" + name); }
    std::vector<std::string> attachments() { return listDirectory(attachDir); }
    // The path text the library composes for a saved attachment.
    std::string composedPath(const std::string &name) { return attachDir + "\\" + name; }
    std::string note(const std::string &name) { return "[Attachment saved to \"" + composedPath(name) + "\"]\r\n"; }

    std::string savedList() {
        char buffer[2048];
        tevDebug(0, TEV_DEBUG_SAVED_FILES, buffer, sizeof buffer);
        return buffer;
    }

    // The decoder's own trace lines (those in brackets) of the whole log, the descriptor numbers in
    // "FileHandle=" replaced by N when not 0.
    std::string decoderTrace() {
        std::string out;
        for (const std::string &line : splitLines(log())) {
            if (line.empty() || line[0] != '[') continue;
            if (line == "[CLOSE]\r\n" || line == "[Saving to buffer]\r\n") continue;
            std::string l = line;
            size_t at = l.find("FileHandle=");
            if (at != std::string::npos) {
                size_t digits = at + 11;
                size_t end = l.find_first_not_of("0123456789", digits);
                if (l.compare(digits, end - digits, "0") != 0) l.replace(digits, end - digits, "N");
            }
            out += l;
        }
        return out;
    }

    std::string attachDir;
};

}  // namespace tevtest
