// A complete message read from standard input: line ends, the checks that refuse it, Bcc removal, and the
// recipients and sender its header names. Every case is also fed one byte at a time and in two pieces split at
// every position: a CR LF cut in two is still one line end.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "prepared_message.h"

namespace tevmail {
namespace {

struct Outcome {
    bool good;
    std::string output;
    std::string problem;
};

// Feeds `input` cut at `cut` (and at every byte when `cut` is 0), then ends it.
Outcome readMessage(const std::string &input, bool dotEnds, size_t cut = std::string::npos) {
    MessageReader reader(dotEnds);
    Outcome outcome{true, "", ""};
    auto feed = [&](const std::string &piece) {
        if (outcome.good && !reader.done()) outcome.good = reader.feed(piece.data(), piece.size());
        outcome.output += reader.takeOutput();
    };
    if (cut == 0) {
        for (char c : input) feed(std::string(1, c));
    } else if (cut == std::string::npos) {
        feed(input);
    } else {
        feed(input.substr(0, cut));
        feed(input.substr(cut));
    }
    outcome.good = outcome.good && reader.finish();
    outcome.output += reader.takeOutput();
    outcome.problem = reader.problem();
    return outcome;
}

// The outcome of `input`, checked to be the same however the input is cut.
Outcome readEveryWay(const std::string &input, bool dotEnds = false) {
    Outcome whole = readMessage(input, dotEnds);
    Outcome bytes = readMessage(input, dotEnds, 0);
    EXPECT_EQ(bytes.good, whole.good);
    EXPECT_EQ(bytes.output, whole.output);
    EXPECT_EQ(bytes.problem, whole.problem);
    for (size_t cut = 1; cut < input.size(); ++cut) {
        Outcome two = readMessage(input, dotEnds, cut);
        EXPECT_EQ(two.output, whole.output) << "cut at " << cut;
        EXPECT_EQ(two.problem, whole.problem) << "cut at " << cut;
    }
    return whole;
}

TEST(MessageReader, EveryLineEndBecomesCrLfAndNothingElseChanges) {
    Outcome o = readEveryWay("From: a@x\nSubject: r\xC3\xA9sum\xC3\xA9\r\n  folded\r\n\r\nbare LF\nlone CR\rCR LF\r\n"
                             "\n.\n..dots\n\tTAB \nno end");
    ASSERT_TRUE(o.good) << o.problem;
    EXPECT_EQ(o.output, "From: a@x\r\nSubject: r\xC3\xA9sum\xC3\xA9\r\n  folded\r\n\r\nbare LF\r\nlone CR\r\nCR LF\r\n"
                        "\r\n.\r\n..dots\r\n\tTAB \r\nno end\r\n");
    // A CR CR LF is an empty line between two line ends; a message may end inside its header.
    EXPECT_EQ(readEveryWay("A: 1\r\r\nb\r\n").output, "A: 1\r\n\r\nb\r\n");
    EXPECT_EQ(readEveryWay("A: 1\nB : 2").output, "A: 1\r\nB : 2\r\n");
}

TEST(MessageReader, BlindCopiesAreRemovedWithTheirContinuationLines) {
    const std::string input = "To: t@x\nbcc: one@x,\n two@x\nCc: c@x\nResent-Bcc: r@x\nBCC: three@x\n\nBcc: body@x\n";
    MessageReader reader(false);
    ASSERT_TRUE(reader.feed(input.data(), input.size()));
    ASSERT_TRUE(reader.finish());
    EXPECT_EQ(reader.takeOutput(), "To: t@x\r\nCc: c@x\r\n\r\nBcc: body@x\r\n");
    ASSERT_EQ(reader.fields().size(), 5u);  // the fields themselves stay known, for -t
    EXPECT_EQ(reader.fields()[1].name, "bcc");
    EXPECT_EQ(reader.fields()[1].value, " one@x, two@x");
    EXPECT_EQ(readEveryWay(input).output, "To: t@x\r\nCc: c@x\r\n\r\nBcc: body@x\r\n");
}

TEST(MessageReader, ALoneDotEndsTheMessageOnlyWithoutIgnoreDots) {
    const std::string input = "A: 1\n\nbefore\n.\nafter\n";
    Outcome ended = readEveryWay(input, true);
    ASSERT_TRUE(ended.good);
    EXPECT_EQ(ended.output, "A: 1\r\n\r\nbefore\r\n");
    MessageReader reader(true);
    ASSERT_TRUE(reader.feed(input.data(), input.size()));
    EXPECT_TRUE(reader.done());
    EXPECT_TRUE(reader.ignoredAfterDot());
    EXPECT_EQ(readEveryWay(input, false).output, "A: 1\r\n\r\nbefore\r\n.\r\nafter\r\n");
    // The dot may end the header too; a dot and nothing before it is an empty message.
    EXPECT_EQ(readEveryWay("A: 1\n.\n", true).output, "A: 1\r\n");
    EXPECT_EQ(readEveryWay(".\r\n", true).problem, "the message is empty");
    EXPECT_EQ(readEveryWay("A: 1\n\n.x\n. \n", true).output, "A: 1\r\n\r\n.x\r\n. \r\n");
}

TEST(MessageReader, WhatCannotGoOutAsItIsIsRefusedWithItsLineNumber) {
    const std::string longest(998, 'x');
    Outcome fits = readEveryWay("A: 1\n\n" + longest + "\r\n");
    EXPECT_TRUE(fits.good) << fits.problem;
    EXPECT_EQ(fits.output, "A: 1\r\n\r\n" + longest + "\r\n");
    Outcome tooLong = readEveryWay("A: 1\n\nok\n" + longest + "y\n");
    EXPECT_FALSE(tooLong.good);
    EXPECT_EQ(tooLong.problem.rfind("line 4: longer than 998 characters", 0), 0u) << tooLong.problem;
    EXPECT_EQ(readEveryWay("X: " + longest).problem.rfind("line 1: longer than 998", 0), 0u);

    Outcome nul = readEveryWay(std::string("A: 1\n\nab\0c\n", 11));
    EXPECT_FALSE(nul.good);
    EXPECT_EQ(nul.problem.rfind("line 3: a NUL byte", 0), 0u) << nul.problem;

    EXPECT_EQ(readEveryWay("A: 1\nnot a field\n\nbody\n").problem,
              "line 2: not a header field (\"Name: value\"), and no empty line ended the header before it");
    EXPECT_EQ(readEveryWay(": no name\n").problem.rfind("line 1: not a header field", 0), 0u);
    EXPECT_EQ(readEveryWay(" cont\nA: 1\n").problem,
              "line 1: a continuation line (it begins with a blank) before any header field");
    EXPECT_EQ(readEveryWay("").problem, "the message is empty");
}

TEST(MessageReader, AnMboxSeparatorBeforeTheHeaderIsDropped) {
    const std::string input = "From ann@x Mon Dec  7 04:05:09 2026\nFrom: ann@x\n\nFrom here on\n";
    Outcome o = readEveryWay(input);
    ASSERT_TRUE(o.good) << o.problem;
    EXPECT_EQ(o.output, "From: ann@x\r\n\r\nFrom here on\r\n");
    // Only as the first line.
    EXPECT_FALSE(readEveryWay("A: 1\nFrom ann@x Mon\n\n").good);
}

std::vector<HeaderField> fieldsOf(const std::string &header) {
    MessageReader reader(false);
    EXPECT_TRUE(reader.feed(header.data(), header.size()));
    EXPECT_TRUE(reader.finish()) << reader.problem();
    return reader.fields();
}

std::string addresses(const std::vector<Mailbox> &mailboxes) {
    std::string text;
    for (const Mailbox &m : mailboxes) text += "<" + m.address + ">";
    return text;
}

TEST(HeaderRecipients, ToCcAndBccInOrderWithGroupsTakenApartAndNoAddressTwice) {
    std::vector<Mailbox> out;
    std::string problem;
    ASSERT_TRUE(headerRecipients(fieldsOf("From: f@x\nTo: \"Doe, John\" <j@x>,\n k@x (Kay)\nSubject: s\n"
                                          "cc: team: a@x, B <b@x>;, c@x\nBcc: undisclosed-recipients:;\n"
                                          "Bcc: j@x, h@x\nReply-To: r@x\n\n"),
                                 &out, &problem))
        << problem;
    EXPECT_EQ(addresses(out), "<j@x><k@x><a@x><b@x><c@x><h@x>");
    EXPECT_EQ(out[0].name, "Doe, John");

    std::vector<Mailbox> none;
    EXPECT_FALSE(headerRecipients(fieldsOf("To: a@x, \"open\n\n"), &none, &problem));
    EXPECT_EQ(problem, "the To field: unclosed quote '\"' in ' a@x, \"open'");
    EXPECT_FALSE(headerRecipients(fieldsOf("Cc: list: a@x\n\n"), &none, &problem));
    EXPECT_EQ(problem, "the Cc field: the group in 'list: a@x' has no ';' at its end");
}

TEST(HeaderRecipients, LocalNamesGetTheSendersDomain) {
    // As cron writes its mail: "To: root", "From: root (Cron Daemon)".
    std::vector<HeaderField> cron = fieldsOf("From: root (Cron Daemon)\nTo: root, ops (Ops)\n\n");
    EXPECT_EQ(headerSender(cron), "");  // no domain: the account's or -f's sender is needed
    std::vector<Mailbox> out;
    std::string problem;
    ASSERT_TRUE(headerRecipients(cron, &out, &problem)) << problem;
    qualifyAddresses("cron@host.tev.test", &out);
    EXPECT_EQ(addresses(out), "<root@host.tev.test><ops@host.tev.test>");
    EXPECT_EQ(out[1].name, "Ops");
    std::vector<Mailbox> given;
    ASSERT_TRUE(parseRecipientList("root, b@x", &given, &problem)) << problem;
    qualifyAddresses("a@y", &given);
    EXPECT_EQ(addresses(given), "<root@y><b@x>");
    EXPECT_FALSE(parseAddressList("root", &given, &problem));  // send --to still wants whole addresses
}

TEST(HeaderRecipients, TheSenderIsSenderElseFrom) {
    EXPECT_EQ(headerSender(fieldsOf("From: Ann <ann@x>\nSender: Bot <bot@x>\n\n")), "bot@x");
    EXPECT_EQ(headerSender(fieldsOf("from: Ann <ann@x>, Bob <bob@x>\n\n")), "ann@x");
    EXPECT_EQ(headerSender(fieldsOf("Sender: broken <\nFrom: ann@x\n\n")), "ann@x");
    EXPECT_EQ(headerSender(fieldsOf("To: t@x\n\n")), "");
    EXPECT_EQ(findField(fieldsOf("SUBJECT: s\n\n"), "Subject")->value, " s");
    EXPECT_EQ(findField(fieldsOf("A: s\n\n"), "Subject"), nullptr);
}

}  // namespace
}  // namespace tevmail
