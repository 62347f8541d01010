// The SASL client messages: SCRAM against the example exchanges of RFC 5802 (SHA-1) and RFC 7677 (SHA-256) with
// the client nonce fixed, the server messages SCRAM must refuse, the OAuth initial responses and error
// challenges, SASLprep, the offer parsing and the choice among offered mechanisms.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "engine/sasl.h"
#include "frame/record.h"
#include "frame/text.h"
#include "platform/crypto.h"

namespace {

using tev::SaslMechanism;

class Sasl : public ::testing::Test {
protected:
    void SetUp() override {
        rec = std::make_unique<tev::SessionRecord>();
        tev::copyText(rec->userName, "user");
    }
    void TearDown() override { tev::setScramNonceForTest(nullptr); }

    std::string begin(SaslMechanism m, const char *password = "pencil") {
        std::string initial;
        bool hasInitial = false;
        EXPECT_EQ(tev::saslBegin(*rec, m, password, initial, hasInitial), 0);
        EXPECT_TRUE(hasInitial);
        return initial;
    }
    // The response to one challenge, or "REFUSED: reason".
    std::string respond(const std::string &challenge, const char *password = "pencil") {
        std::string response, reason;
        if (tev::saslRespond(*rec, challenge, password, response, reason) < 0) return "REFUSED: " + reason;
        return response;
    }

    std::unique_ptr<tev::SessionRecord> rec;
};

struct ScramExample {
    SaslMechanism mechanism;
    const char *clientNonce;
    const char *serverFirst;
    const char *clientFinal;
    const char *serverFinal;
};

const ScramExample kRfc5802 = {SaslMechanism::scramSha1, "fyko+d2lbbFgONRv9qkxdawL",
                               "r=fyko+d2lbbFgONRv9qkxdawL3rfcNHYJY1ZVvWVs7j,s=QSXCR+Q6sek8bf92,i=4096",
                               "c=biws,r=fyko+d2lbbFgONRv9qkxdawL3rfcNHYJY1ZVvWVs7j,p=v0X8v3Bz2T0CJGbJQyF0X+HI4Ts=",
                               "v=rmF9pqV8S7suAoZWja4dJRkFsKQ="};
const ScramExample kRfc7677 = {
    SaslMechanism::scramSha256, "rOprNGfwEbeRWgbNEkqO",
    "r=rOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=4096",
    "c=biws,r=rOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0,p=dHzbZapWIk4jUhN+Ute9ytag9zjfMHgsqmmiz7AndVQ=",
    "v=6rriTRBi23WpRR/wtup+mMhUZUn/dB5nLTJRsjl95G4="};

TEST_F(Sasl, ScramMatchesTheRfcExampleExchanges) {
    if (!tev::platform::cryptoAvailable()) GTEST_SKIP() << "built without the crypto library";
    for (const ScramExample &example : {kRfc5802, kRfc7677}) {
        tev::setScramNonceForTest(example.clientNonce);
        EXPECT_EQ(begin(example.mechanism), std::string("n,,n=user,r=") + example.clientNonce);
        EXPECT_EQ(respond(example.serverFirst), example.clientFinal);
        EXPECT_FALSE(tev::saslComplete(*rec));  // no success before the server's signature is checked
        EXPECT_EQ(respond(example.serverFinal), "");
        EXPECT_TRUE(tev::saslComplete(*rec));
    }
}

TEST_F(Sasl, ScramRefusesWhatAServerMustNotSend) {
    if (!tev::platform::cryptoAvailable()) GTEST_SKIP() << "built without the crypto library";
    const std::string nonce = "r=rOprNGfwEbeRWgbNEkqO%hvY";
    struct Case {
        const char *serverFirst;
        const char *reason;
    } cases[] = {
        {"r=someoneElse123,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=4096", "SCRAM: server nonce does not extend the client nonce"},
        {"r=rOprNGfwEbeRWgbNEkqO,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=4096",
         "SCRAM: server nonce does not extend the client nonce"},
        {"r=rOprNGfwEbeRWgbNEkqO%hvY,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=2000000000", "SCRAM: iteration count 2000000000 outside 4096..100000"},
        {"r=rOprNGfwEbeRWgbNEkqO%hvY,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=99999999999", "SCRAM: iteration count 99999999999 outside 4096..100000"},
        {"r=rOprNGfwEbeRWgbNEkqO%hvY,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=100001", "SCRAM: iteration count 100001 outside 4096..100000"},
        {"r=rOprNGfwEbeRWgbNEkqO%hvY,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=1", "SCRAM: iteration count 1 outside 4096..100000"},
        {"r=rOprNGfwEbeRWgbNEkqO%hvY,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=-4096", "SCRAM: iteration count -4096 outside 4096..100000"},
        {"r=rOprNGfwEbeRWgbNEkqO%hvY,s=,i=4096", "SCRAM: empty salt"},
        {"r=rOprNGfwEbeRWgbNEkqO%hvY,i=4096", "SCRAM: malformed server-first message"},
        {"m=ext,r=rOprNGfwEbeRWgbNEkqO%hvY,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=4096", "SCRAM: unsupported mandatory extension"},
    };
    for (const Case &c : cases) {
        tev::setScramNonceForTest("rOprNGfwEbeRWgbNEkqO");
        begin(SaslMechanism::scramSha256);
        EXPECT_EQ(respond(c.serverFirst), std::string("REFUSED: ") + c.reason) << c.serverFirst;
    }
    // The largest count still allowed is computed.
    tev::setScramNonceForTest("rOprNGfwEbeRWgbNEkqO");
    begin(SaslMechanism::scramSha256);
    EXPECT_EQ(respond(nonce + ",s=W22ZaJ0SNY7soEsUEjb6gQ==,i=100000").compare(0, 9, "c=biws,r="), 0);

    // A wrong or missing server signature, and a server error, fail the exchange.
    for (const char *serverFinal : {"v=6rriTRBi23WpRR/wtup+mMhUZUn/dB5nLTJRsjl95G8=", "v=", "x=1",
                                    "v=6rriTRBi23WpRR/wtup+mMhUZUn/dB5nLTJRsjl95G4=AAAA"}) {
        tev::setScramNonceForTest(kRfc7677.clientNonce);
        begin(SaslMechanism::scramSha256);
        ASSERT_EQ(respond(kRfc7677.serverFirst), kRfc7677.clientFinal);
        EXPECT_EQ(respond(serverFinal), "REFUSED: SCRAM: server signature does not match") << serverFinal;
        EXPECT_FALSE(tev::saslComplete(*rec));
    }
    tev::setScramNonceForTest(kRfc7677.clientNonce);
    begin(SaslMechanism::scramSha256);
    respond(kRfc7677.serverFirst);
    EXPECT_EQ(respond("e=invalid-proof"), "REFUSED: SCRAM: server error invalid-proof");
    // The wrong password gives another proof.
    tev::setScramNonceForTest(kRfc7677.clientNonce);
    begin(SaslMechanism::scramSha256, "pencil2");
    EXPECT_NE(respond(kRfc7677.serverFirst, "pencil2"), kRfc7677.clientFinal);
}

TEST_F(Sasl, ScramNonceIsRandomAndUserNameEscaped) {
    if (!tev::platform::cryptoAvailable()) GTEST_SKIP() << "built without the crypto library";
    tev::copyText(rec->userName, "a,b=c");
    const std::string first = begin(SaslMechanism::scramSha1);
    const std::string second = begin(SaslMechanism::scramSha1);
    ASSERT_EQ(first.size(), std::string("n,,n=a=2Cb=3Dc,r=").size() + 32);
    EXPECT_EQ(first.compare(0, 17, "n,,n=a=2Cb=3Dc,r="), 0);
    EXPECT_NE(first, second);
    EXPECT_EQ(first.find(',', 17), std::string::npos);
}

TEST_F(Sasl, OAuthInitialResponsesAndErrorChallenges) {
    tev::copyText(rec->userName, "ann@example.com");
    tev::copyText(rec->oauthToken, "ya29.token");
    tev::copyText(rec->serverName, "smtp.example.com");
    rec->remotePort = 587;
    EXPECT_EQ(begin(SaslMechanism::xoauth2), "user=ann@example.com\x01" "auth=Bearer ya29.token\x01\x01");
    const std::string json = R"({"status":"401","schemes":"bearer","scope":"https://mail.example.com/"})";
    EXPECT_EQ(respond(json), "");  // XOAUTH2: the empty response
    EXPECT_EQ(std::string(rec->saslNote), json);
    EXPECT_EQ(begin(SaslMechanism::oauthbearer),
              "n,a=ann@example.com,\x01host=smtp.example.com\x01port=587\x01" "auth=Bearer ya29.token\x01\x01");
    EXPECT_EQ(std::string(rec->saslNote), "");
    EXPECT_EQ(respond(json), "\x01");  // RFC 7628 3.2.3: a single %x01
    EXPECT_EQ(std::string(rec->saslNote), json);
    EXPECT_EQ(begin(SaslMechanism::plain, "pw"), std::string("\0ann@example.com\0pw", 19));
}

TEST_F(Sasl, SaslPrepMapsSpacesDropsNothingCharactersAndRefusesProhibitedOnes) {
    struct Case {
        std::string in;
        bool ok;
        std::string out;
    } cases[] = {
        {"pencil", true, "pencil"},
        {"p a~s!", true, "p a~s!"},
        {"I\xC2\xADX", true, "IX"},                 // U+00AD soft hyphen: mapped to nothing
        {"a\xE2\x80\x8B" "b", true, "a b"},         // U+200B: a non-ASCII space
        {"a\xC2\xA0" "b\xE3\x80\x80", true, "a b "},  // U+00A0, U+3000
        {"\xEF\xBB\xBFx\xE2\x81\xA0", true, "x"},   // U+FEFF, U+2060
        {"gr\xC3\xBC\xC3\x9F", true, "gr\xC3\xBC\xC3\x9F"},
        {"a\x07", false, ""},                       // ASCII control
        {"a\x7F", false, ""},
        {"a\xC2\x85", false, ""},                   // U+0085
        {"\xEE\x80\x80", false, ""},                // U+E000 private use
        {"\xEF\xBF\xBE", false, ""},                // U+FFFE
        {"\xED\xA0\x80", false, ""},                // a surrogate
        {"\xE2\x80\x8E", false, ""},                // U+200E
        {"\xC3", false, ""},                        // cut sequence
        {"\xC0\xAF", false, ""},                    // overlong
        {"\xFF", false, ""},
    };
    for (const Case &c : cases) {
        std::string out;
        EXPECT_EQ(tev::saslPrep(c.in, out), c.ok) << c.in;
        if (c.ok) {
            EXPECT_EQ(out, c.out) << c.in;
        }
    }
}

TEST_F(Sasl, OfferParsingAndChoice) {
    char offer[tev::kAuthOfferSize];
    tev::collectSmtpAuthOffer("250-mail.test\r\n250-AUTH=LOGIN\r\n250-auth scram-sha-256 XOAUTH2 LOGIN\r\n"
                              "250-XAUTH PLAIN\r\n250 8BITMIME\r\n",
                              offer, sizeof offer);
    EXPECT_STREQ(offer, "LOGIN SCRAM-SHA-256 XOAUTH2");
    tev::collectSmtpAuthOffer("250 OK\r\n", offer, sizeof offer);
    EXPECT_STREQ(offer, "");

    char list[tev::kMechanismListSize] = "KEEP";
    EXPECT_FALSE(tev::normaliseMechanismList("SCRAM-SHA-256 NTLM", list, sizeof list));
    EXPECT_STREQ(list, "KEEP");
    EXPECT_TRUE(tev::normaliseMechanismList(" scram-sha-1,, cram-md5  user ", list, sizeof list));
    EXPECT_STREQ(list, "SCRAM-SHA-1 CRAM-MD5 USER");

    tev::copyText(rec->authOffered, "PLAIN XOAUTH2 SCRAM-SHA-256");
    tev::copyText(rec->authMechanisms, "XOAUTH2 SCRAM-SHA-256 PLAIN");
    const tev::LoginOptions smtp;
    // XOAUTH2 needs a token; SCRAM the crypto library and a password SASLprep takes.
    const SaslMechanism scram = tev::platform::cryptoAvailable() ? SaslMechanism::scramSha256 : SaslMechanism::plain;
    EXPECT_EQ(tev::choosePreferred(*rec, "pencil", smtp), scram);
    EXPECT_EQ(tev::choosePreferred(*rec, "bad\x01", smtp), SaslMechanism::plain);
    tev::copyText(rec->oauthToken, "t");
    EXPECT_EQ(tev::choosePreferred(*rec, "pencil", smtp), SaslMechanism::xoauth2);
    // Without a list a token prefers OAuth, and nothing else is chosen here.
    rec->authMechanisms[0] = '\0';
    EXPECT_EQ(tev::choosePreferred(*rec, "pencil", smtp), SaslMechanism::xoauth2);
    rec->oauthToken[0] = '\0';
    EXPECT_EQ(tev::choosePreferred(*rec, "pencil", smtp), SaslMechanism::none);
    // USER and APOP only for POP3, and only when possible there.
    tev::copyText(rec->authMechanisms, "APOP USER");
    EXPECT_EQ(tev::choosePreferred(*rec, "pw", smtp), SaslMechanism::none);
    tev::LoginOptions pop3;
    pop3.pop3 = true;
    EXPECT_EQ(tev::choosePreferred(*rec, "pw", pop3), SaslMechanism::none);
    pop3.userOffered = true;
    EXPECT_EQ(tev::choosePreferred(*rec, "pw", pop3), SaslMechanism::user);
    pop3.apopTimestamp = true;
    EXPECT_EQ(tev::choosePreferred(*rec, "pw", pop3), SaslMechanism::apop);
}

}  // namespace
