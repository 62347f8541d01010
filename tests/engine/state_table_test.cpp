// The state vocabulary: every state a module names has a step the driver finds, exactly one module answers for
// each number, and no number outside the named ones has a step.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "engine/connect.h"
#include "engine/control.h"
#include "engine/driver.h"
#include "pop3/session.h"
#include "smtp/compose.h"
#include "smtp/session.h"

namespace {

struct Module {
    const char *name;
    std::vector<int32_t> states;
    tev::StateStep (*lookup)(int32_t);
};

template <size_t N>
std::vector<int32_t> list(const int32_t (&states)[N]) {
    return std::vector<int32_t>(states, states + N);
}

std::vector<Module> modules() {
    std::vector<int32_t> pop3 = list(tev::pop3::kPop3LoginStates);
    for (int32_t s : tev::pop3::kPop3MailboxStates) pop3.push_back(s);
    return {
        {"connect", list(tev::kConnectStates), tev::connectStep},
        {"control", list(tev::kControlStates), tev::controlStep},
        {"smtp session", list(tev::kSmtpSessionStates), tev::smtpSessionStep},
        {"smtp send", list(tev::kSmtpSendStates), tev::smtpSendStep},
        {"smtp mime", list(tev::kSmtpMimeStates), tev::smtpMimeStep},
        {"pop3", pop3, tev::pop3Step},
    };
}

TEST(StateTable, EveryNamedStateHasOneStepAndNoOtherNumberHasOne) {
    std::map<int32_t, std::string> owner;
    for (const Module &m : modules()) {
        ASSERT_FALSE(m.states.empty()) << m.name;
        for (int32_t state : m.states) {
            EXPECT_TRUE(owner.emplace(state, m.name).second)
                << state << " named by " << m.name << " and " << owner[state];
            EXPECT_NE(m.lookup(state), nullptr) << m.name << " has no step for " << state;
            EXPECT_EQ(tev::findStep(state), m.lookup(state)) << state;
        }
    }
    // Every number the driver can run is one a module names; the ones in between are unknown states.
    for (int32_t state = -2; state < 1000; ++state) {
        const bool named = owner.count(state) != 0;
        EXPECT_EQ(tev::findStep(state) != nullptr, named) << state;
        if (named) continue;
        for (const Module &m : modules()) {
            EXPECT_EQ(m.lookup(state), nullptr) << m.name << " answers unnamed state " << state;
        }
    }
    EXPECT_EQ(tev::findStep(tev::kIdle), nullptr);
    EXPECT_EQ(tev::findStep(tev::kWaiting), nullptr);
}

TEST(StateTable, HandOversAreNamedStates) {
    // The states one module sends the channel to in another must be numbers the other answers for.
    EXPECT_NE(tev::connectStep(tev::kConnectFirstState), nullptr);
    EXPECT_NE(tev::smtpMimeStep(tev::sendstate::kTopContentType), nullptr);
    EXPECT_NE(tev::smtpMimeStep(tev::sendstate::kFirstPart), nullptr);
    EXPECT_NE(tev::smtpMimeStep(tev::sendstate::kAttachmentPart), nullptr);
    EXPECT_NE(tev::smtpSendStep(tev::sendstate::kEndOfData), nullptr);
    EXPECT_NE(tev::smtpSendStep(tev::sendstate::kTextStart), nullptr);
    EXPECT_NE(tev::smtpSendStep(tev::sendstate::kEndOfHeader), nullptr);
}

}  // namespace
