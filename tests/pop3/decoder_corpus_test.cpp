// The MIME decoder on messages it was not written for: the sample messages of Python's own email tests and
// messages composed by Python's email package, served by the scripted POP3 server.  No fetch may fail or leave a
// file outside its attachment directory, and every attachment the decoder saves under a name Python also finds
// must hold what Python extracts (transfer encodings decoded; text parts may differ in their last line end).
#include <gtest/gtest.h>
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "pop3/decoder_fixture.h"
#include "support/real_servers.h"

using tevtest::crlf;
using tevtest::readWholeFile;
using tevtest::showBytes;

namespace {

const char *const kPython = "/usr/bin/python3";
const char *const kSamples = "/usr/lib/python3.11/test/test_email/data";

std::string corpusTool() { return std::string(TEV_SOURCE_DIR) + "/tests/pop3/mime_corpus.py"; }

std::vector<std::string> sampleMessages() {
    std::vector<std::string> paths;
    for (const std::string &name : tevtest::listDirectory(kSamples)) {
        if (name.compare(0, 4, "msg_") == 0 && name.size() > 4 && name.substr(name.size() - 4) == ".txt") {
            paths.push_back(std::string(kSamples) + "/" + name);
        }
    }
    return paths;
}

std::string withoutCr(const std::string &text) {
    std::string out;
    for (char c : text) {
        if (c != '\r') out += c;
    }
    return out;
}

class DecoderCorpus : public tevtest::DecoderTest {
protected:
    struct Outcome {
        size_t compared = 0;
        std::vector<std::vector<std::string>> saved;  // per message, the attachment files
    };

    // Fetches every message (CR LF line ends) through one POP3 session, message i into out/msg<i>.txt and
    // att/<i>/, then compares with what Python extracts from the same bytes.
    Outcome run(const std::vector<std::string> &messages) {
        Outcome outcome;
        const std::string in = tmp.file("in"), out = tmp.file("out"), expected = tmp.file("expected");
        for (const std::string &dir : {in, out, expected}) mkdir(dir.c_str(), 0700);
        std::vector<std::string> args = {kPython, corpusTool(), "expect", expected};
        tevtest::ScriptedServer srv;
        login(srv);
        for (size_t i = 0; i < messages.size(); ++i) {
            const std::string path = in + "/" + std::to_string(i + 1) + ".eml";
            EXPECT_TRUE(tevtest::writeWholeFile(path, messages[i]));
            args.push_back(path);
            srv.expectLine("RETR " + std::to_string(i + 1)).send(tevtest::retrReply(messages[i]));
        }
        srv.start();
        if (connectPop3(srv) != 0) {
            ADD_FAILURE() << srv.error();
            return outcome;
        }
        for (size_t i = 0; i < messages.size(); ++i) {
            const std::string index = std::to_string(i + 1);
            const std::string dir = attachDir + "/" + index;
            mkdir(dir.c_str(), 0700);
            const std::string name = "msg" + index + ".txt";
            EXPECT_EQ(tevGetEmailFile(0, static_cast<int32_t>(i + 1), name.c_str(), out.c_str(), dir.c_str()), 0)
                << "message " << index;
        }
        EXPECT_TRUE(srv.finish(5000)) << srv.error();

        std::string output;
        EXPECT_EQ(tevtest::runCommand(args, 60000, &output), 0) << output;
        // Nothing but the numbered directories in att, nothing but the message files in out.
        for (const std::string &entry : tevtest::listDirectory(attachDir)) {
            EXPECT_EQ(entry.find_first_not_of("0123456789"), std::string::npos) << entry;
        }
        EXPECT_EQ(tevtest::listDirectory(out).size(), messages.size());
        EXPECT_EQ(tmp.list(), (std::vector<std::string>{"att", "expected", "in", "out", "trace.log"}));

        for (size_t i = 0; i < messages.size(); ++i) {
            const std::string index = std::to_string(i + 1);
            const std::string dir = attachDir + "/" + index;
            outcome.saved.push_back(tevtest::listDirectory(dir));
            for (const std::string &line : tevtest::splitLines(readWholeFile(expected + "/" + index + ".list"))) {
                const size_t tab = line.find('\t');
                if (tab == std::string::npos) continue;
                const std::string name = line.substr(0, tab);
                std::string encoding = line.substr(tab + 1);
                while (!encoding.empty() && (encoding.back() == '\n' || encoding.back() == '\r')) encoding.pop_back();
                if (!tevtest::fileExists(dir + "/" + name)) continue;
                const std::string ours = readWholeFile(dir + "/" + name);
                const std::string python = readWholeFile(expected + "/" + index + "/" + name);
                ++outcome.compared;
                if (encoding == "base64") {
                    EXPECT_TRUE(ours == python) << "message " << index << " (" << messages.size() << "), " << name
                                                << ": " << ours.size() << " bytes, Python " << python.size();
                } else if (encoding == "quoted-printable") {
                    // Python's quoted-printable decoder may end lines in LF; the last line end is the part's here.
                    const std::string text = withoutCr(ours);
                    EXPECT_TRUE(ours == python || ours == python + "\r\n" || text == python || text == python + "\n")
                        << "message " << index << ", " << name << "\n" << showBytes(ours) << "\n" << showBytes(python);
                } else {
                    // The line end before the boundary belongs to the boundary for Python, to the part here.
                    EXPECT_TRUE(ours == python || ours == python + "\r\n")
                        << "message " << index << ", " << name << "\n" << showBytes(ours) << "\n" << showBytes(python);
                }
            }
        }
        return outcome;
    }
};

TEST_F(DecoderCorpus, PythonEmailTestMessages) {
    std::vector<std::string> paths = sampleMessages();
    if (paths.empty()) {
        if (tevtest::RealServers::required()) FAIL() << "no sample messages in " << kSamples;
        GTEST_SKIP() << "libpython3.11-testsuite is not installed";
    }
    std::vector<std::string> messages;
    for (const std::string &path : paths) messages.push_back(crlf(readWholeFile(path)));
    tevIntegerParam(0, TEV_SAVE_UNNAMED, 1);
    const Outcome outcome = run(messages);
    RecordProperty("attachments_compared", static_cast<int>(outcome.compared));
    RecordProperty("messages", static_cast<int>(messages.size()));
    EXPECT_GT(outcome.compared, 5u);
}

TEST_F(DecoderCorpus, MessagesComposedByPython) {
    const std::string composed = tmp.file("composed");
    mkdir(composed.c_str(), 0700);
    std::string output;
    ASSERT_EQ(tevtest::runCommand({kPython, corpusTool(), "compose", composed}, 60000, &output), 0) << output;
    std::vector<std::string> names = tevtest::listDirectory(composed);
    ASSERT_EQ(names.size(), 8u);
    std::vector<std::string> messages;
    for (const std::string &name : names) messages.push_back(readWholeFile(composed + "/" + name));
    tevtest::removeTree(composed);

    const Outcome outcome = run(messages);
    ASSERT_EQ(outcome.saved.size(), 8u);
    EXPECT_EQ(outcome.saved[0], std::vector<std::string>{"random.bin"});
    EXPECT_EQ(outcome.saved[1], (std::vector<std::string>{"notes.txt", "plain.txt"}));
    EXPECT_EQ(outcome.saved[2], std::vector<std::string>{"report.pdf"});
    // The image sits in a related part, whose boundary the decoder does not follow: it stays in the message.
    EXPECT_EQ(outcome.saved[3], std::vector<std::string>{"small.bin"});
    EXPECT_EQ(outcome.saved[4], std::vector<std::string>{"inner.bin"});
    EXPECT_TRUE(outcome.saved[5].empty());
    EXPECT_TRUE(outcome.saved[6].empty());
    EXPECT_EQ(outcome.saved[7], std::vector<std::string>{"old.bin"});
    EXPECT_EQ(outcome.compared, 7u);

    const std::string q = readWholeFile(tmp.file("out/msg6.txt"));
    EXPECT_NE(q.find("Subject: Caf\xE9_cr\xE8me\r\n"), std::string::npos) << showBytes(q);
    const std::string b = readWholeFile(tmp.file("out/msg7.txt"));
    EXPECT_NE(b.find("Subject: Caf\xE9 cr\xE8me        \r\n"), std::string::npos) << showBytes(b);
}

}  // namespace
