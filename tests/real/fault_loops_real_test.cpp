// Every failure point of a whole send and a whole fetch, one at a time: the n-th socket send, receive or connect,
// file open, read or write fails, for n = 1, 2, ... until the operation no longer meets its fault.  At every n the
// result is 0 or a code of the error table, no descriptor stays open after the close, no file appears outside the
// message and attachment directories, no attachment is reported saved unless its file is whole, and a following
// operation without faults succeeds on the same channel.  The loops are mostly waits for the close's pause.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "frame/errors.h"
#include "platform/platform.h"
#include "support/leak_checks.h"
#include "support/quick_settings.h"
#include "support/real_servers.h"
#include "support/trace.h"
#include "tev32.h"

using tev::platform::FaultKind;

namespace {

constexpr int kMaxFaults = 400;  // far more calls than either operation makes

std::string noise(size_t n, uint32_t seed) {
    std::string s(n, '\0');
    uint32_t x = seed;
    for (size_t i = 0; i < n; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        s[i] = static_cast<char>(x >> 24);
    }
    return s;
}

const char *kindName(FaultKind kind) {
    switch (kind) {
    case FaultKind::send: return "send";
    case FaultKind::receive: return "receive";
    case FaultKind::connect: return "connect";
    case FaultKind::openFile: return "openFile";
    case FaultKind::readFile: return "readFile";
    case FaultKind::writeFile: return "writeFile";
    }
    return "?";
}

void clearFaults() {
    for (FaultKind kind : {FaultKind::send, FaultKind::receive, FaultKind::connect, FaultKind::openFile,
                           FaultKind::readFile, FaultKind::writeFile}) {
        tev::platform::injectFault(kind, 0);
    }
}

class FaultLoops : public tevtest::TempDirTest {
protected:
    const std::set<std::string> kDirs = {"in", "att"};
    const std::map<std::string, std::string> files = {{"a.bin", noise(300, 1)}, {"b.txt", "two\r\nlines\r\n"}};

    void SetUp() override {
        ASSERT_EQ(tevAttach(1), 1);
        tevtest::useQuickSettings(3000);
        for (const char *dir : {"out", "box", "box/in", "box/att"}) ASSERT_EQ(mkdir(tmp.file(dir).c_str(), 0700), 0);
        for (const auto &f : files) {
            ASSERT_TRUE(tevtest::writeWholeFile(tmp.file("out/" + f.first), f.second));
            attachments += (attachments.empty() ? "" : ",") + tmp.file("out/" + f.first);
        }
    }
    void TearDown() override {
        clearFaults();
        tevClose(0);
        tevtest::restoreDefaultSettings();  // while attached: settings take effect only then
        tevRelease();
    }

    // Connect, send the message with both attachments, close: the first result that is not 0.
    int32_t sendWhole() {
        int32_t rc = tevSmtpConnect(0, "127.0.0.1", "Ann <ann@example.com>", nullptr);
        if (rc == 0) rc = tevSendEmail(0, "<tevuser@tev.test>", nullptr, nullptr, "Faults", "Two files.",
                                       attachments.c_str());
        const int32_t closed = tevClose(0);
        return rc != 0 ? rc : closed;
    }
    // Connect, fetch message 1 into box/in and box/att, close: the first result that is not 0.
    int32_t fetchWhole(const tevtest::RealServers &servers) {
        tevtest::emptyDirectories(tmp.file("box"), kDirs);
        int32_t rc = tevPop3Connect(0, "127.0.0.1", servers.user().c_str(), servers.password().c_str());
        fetched = rc == 0;
        if (rc == 0) rc = tevGetEmailFile(0, 1, "msg.txt", tmp.file("box/in").c_str(), tmp.file("box/att").c_str());
        const int32_t closed = tevClose(0);
        return rc != 0 ? rc : closed;
    }
    // Every name in the saved list is a whole attachment file, and the count says as many.
    void expectSavedAreWhole(const std::string &where) {
        char saved[512] = "";
        tevDebug(0, TEV_DEBUG_SAVED_FILES, saved, sizeof saved);
        int32_t listed = 0;
        for (const std::string &name : split(saved)) {
            ++listed;
            const auto f = files.find(name);
            ASSERT_NE(f, files.end()) << where << " saved " << name;
            EXPECT_TRUE(tevtest::readWholeFile(tmp.file("box/att/" + name)) == f->second)
                << where << ": " << name << " reported saved but not whole";
        }
        EXPECT_EQ(tevStatistics(0, TEV_STAT_ATTACH_SAVED), listed) << where;
    }
    static std::vector<std::string> split(const std::string &list) {
        std::vector<std::string> names;
        size_t start = 0;
        while (start < list.size()) {
            size_t comma = list.find(',', start);
            if (comma == std::string::npos) comma = list.size();
            names.push_back(list.substr(start, comma - start));
            start = comma + 1;
        }
        return names;
    }

    // Runs `operation` with the n-th call of `kind` failing for n = 1, 2, ... until it no longer meets the
    // fault; `check` looks at what one run left; a run without faults must then succeed.
    template <typename Operation, typename Check>
    void loop(FaultKind kind, Operation operation, Check check) {
        const auto fdsBefore = tevtest::openDescriptors();
        int n = 1;
        for (; n <= kMaxFaults; ++n) {
            const std::string where = std::string(kindName(kind)) + " fault " + std::to_string(n);
            tev::platform::injectFault(kind, n);
            const auto start = std::chrono::steady_clock::now();
            const int32_t rc = operation();
            const bool met = !tev::platform::faultPending(kind);
            clearFaults();
            EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15)) << where;
            EXPECT_TRUE(rc == 0 || tev::errorTextOf(rc)[0] != '\0') << where << ": result " << rc;
            EXPECT_EQ(tevtest::descriptorChanges(fdsBefore, tevtest::openDescriptors()), "") << where;
            EXPECT_EQ(tevtest::strayEntries(tmp.file("box"), kDirs), "") << where;
            if (std::getenv("TEV_FAULT_TIMES")) {
                std::printf("%s: %d in %lld ms\n", where.c_str(), rc,
                            static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now() - start).count()));
            }
            check(where, rc);
            // A failed run must leave the channel usable; a run that succeeded has shown it already.
            if (rc != 0) {
                EXPECT_EQ(operation(), 0) << where << ": the channel is not usable again";
            }
            if (testing::Test::HasFailure()) return;
            if (!met) break;
        }
        EXPECT_LE(n, kMaxFaults) << kindName(kind) << " faults never ran out";
        EXPECT_GT(n, 1) << kindName(kind) << ": the operation never met a fault";
    }

    std::string attachments;
    bool fetched = false;  // the last fetchWhole got as far as the fetch
};

TEST_F(FaultLoops, WholeSendWithAttachments) {
    TEV_USE_REAL_SERVERS(servers);
    servers.clearMessages();
    tevIntegerParam(0, TEV_SMTP_PORT, servers.smtpPlainPort());
    for (FaultKind kind : {FaultKind::connect, FaultKind::send, FaultKind::receive, FaultKind::openFile,
                           FaultKind::readFile}) {
        loop(kind, [&] { return sendWhole(); }, [](const std::string &, int32_t) {});
    }
}

TEST_F(FaultLoops, WholeFetchWithAttachments) {
    TEV_USE_REAL_SERVERS(servers);
    servers.clearMessages();
    tevIntegerParam(0, TEV_SMTP_PORT, servers.smtpPlainPort());
    ASSERT_EQ(sendWhole(), 0);
    tevIntegerParam(0, TEV_POP3_PORT, servers.pop3Port());
    ASSERT_EQ(fetchWhole(servers), 0);
    EXPECT_EQ(tevtest::listDirectory(tmp.file("box/att")), (std::vector<std::string>{"a.bin", "b.txt"}));
    expectSavedAreWhole("without faults");
    for (FaultKind kind : {FaultKind::connect, FaultKind::send, FaultKind::receive, FaultKind::openFile,
                           FaultKind::writeFile}) {
        loop(kind, [&] { return fetchWhole(servers); },
             [&](const std::string &where, int32_t) {
                 if (fetched) expectSavedAreWhole(where);
             });
    }
}

}  // namespace
