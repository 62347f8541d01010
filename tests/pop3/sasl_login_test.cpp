// POP3 AUTH (RFC 5034) against the scripted server: mechanisms chosen from CAPA's SASL line by the preference
// list, SCRAM-SHA-256 byte for byte (RFC 7677's example, client nonce fixed), a wrong server signature, XOAUTH2
// with an initial response too long for the AUTH line and its error challenge, USER/PASS and APOP as list
// entries, and a list that names nothing offered.
#include <gtest/gtest.h>

#include <string>

#include "engine/sasl.h"
#include "platform/crypto.h"
#include "pop3/pop3_fixture.h"
#include "support/scripted_server.h"
#include "tev32.h"

using tevtest::ScriptedServer;

namespace {

std::string b64(const std::string &bytes) {
    std::string out(bytes.size() * 2 + 8, '\0');
    int32_t n = tevEncodeBuffer(bytes.data(), &out[0], static_cast<int32_t>(bytes.size()));
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    std::string clean;
    for (char c : out) {
        if (c != '\r' && c != '\n') clean += c;
    }
    return clean;
}

class Pop3Sasl : public tevtest::Pop3Test {
protected:
    void TearDown() override {
        tev::setScramNonceForTest(nullptr);
        tevtest::Pop3Test::TearDown();
    }
    std::string mechanismUsed() {
        char buffer[32];
        tevDebug(0, TEV_DEBUG_AUTH_MECHANISM, buffer, sizeof buffer);
        return buffer;
    }
    static ScriptedServer &capa(ScriptedServer &srv, const std::string &lines) {
        return srv.send("+OK POP3 ready <1.2@host>\r\n").expectLine("CAPA").send(lines);
    }
};

const char *kNonce = "rOprNGfwEbeRWgbNEkqO";
const char *kServerFirst = "r=rOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=4096";
const char *kClientFinal =
    "c=biws,r=rOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0,p=dHzbZapWIk4jUhN+Ute9ytag9zjfMHgsqmmiz7AndVQ=";

TEST_F(Pop3Sasl, ScramSha256ByteForByteThenAWrongSignature) {
    if (!tev::platform::cryptoAvailable()) GTEST_SKIP() << "built without the crypto library";
    ASSERT_GT(tevStringParam(0, TEV_AUTH_MECHANISMS, "SCRAM-SHA-256 USER"), 0);
    for (const char *serverFinal : {"v=6rriTRBi23WpRR/wtup+mMhUZUn/dB5nLTJRsjl95G4=", "v=AAAA"}) {
        SCOPED_TRACE(serverFinal);
        const bool good = serverFinal[2] == '6';
        tev::setScramNonceForTest(kNonce);
        ScriptedServer srv;
        capa(srv, "+OK\r\nTOP\r\nUSER\r\nSASL PLAIN SCRAM-SHA-1 SCRAM-SHA-256\r\n.\r\n")
            .expectLine("AUTH SCRAM-SHA-256 " + b64(std::string("n,,n=user,r=") + kNonce))
            .send("+ " + b64(kServerFirst) + "\r\n")
            .expectLine(b64(kClientFinal))
            .send("+ " + b64(serverFinal) + "\r\n");
        if (good) srv.expectLine("").send("+OK Logged in.\r\n");
        srv.start();
        const int32_t rc = connectPop3(srv, "user", "pencil");
        EXPECT_TRUE(srv.finish(2000)) << srv.error();
        if (good) {
            EXPECT_EQ(rc, 0);
            EXPECT_EQ(mechanismUsed(), "SCRAM-SHA-256");
        } else {
            EXPECT_EQ(rc, TEV_E_POP3_ERROR);
            EXPECT_EQ(errorText(TEV_E_POP3_ERROR),
                      "POP3 returned error. + " + b64("v=AAAA") + " [SCRAM: server signature does not match]");
            EXPECT_EQ(mechanismUsed(), "");
            EXPECT_EQ(rec().socket, 0);
        }
    }
}

TEST_F(Pop3Sasl, LongXOAuth2ResponseWaitsForTheContinuationAndTheErrorJsonIsKept) {
    const std::string token(300, 'T');
    tevStringParam(0, TEV_OAUTH_TOKEN, token.c_str());  // no list: the token prefers OAuth
    const std::string json = R"({"status":"401","schemes":"bearer"})";
    ScriptedServer srv;
    capa(srv, "+OK\r\nUSER\r\nSASL PLAIN XOAUTH2\r\n.\r\n")
        .expectLine("AUTH XOAUTH2")
        .send("+ \r\n")
        .expectLine(b64("user=ann\x01" "auth=Bearer " + token + "\x01\x01"))
        .send("+ " + b64(json) + "\r\n")
        .expectLine("")
        .send("-ERR [AUTH] Authentication failed.\r\n");
    srv.start();
    EXPECT_EQ(connectPop3(srv), TEV_E_POP3_ERROR);
    EXPECT_TRUE(srv.finish(2000)) << srv.error();
    EXPECT_EQ(errorText(TEV_E_POP3_ERROR), "POP3 returned error. -ERR [AUTH] Authentication failed.\r\n" + json);
}

TEST_F(Pop3Sasl, ListEntriesUserApopPlainAndNothingUsable) {
    struct Case {
        const char *list;
        const char *capaLines;
        const char *expectedWire;  // after CAPA
        const char *used;
    } cases[] = {
        // SASL not offered: USER/PASS from the list.
        {"SCRAM-SHA-1 USER", "+OK\r\nUSER\r\n.\r\n", "USER ann\r\nPASS secret\r\n", "USER"},
        // No CAPA at all: USER/PASS is taken to work.
        {"CRAM-MD5 USER", "-ERR what\r\n", "USER ann\r\nPASS secret\r\n", "USER"},
        {"APOP PLAIN", "+OK\r\nSASL PLAIN\r\n.\r\n", nullptr, "APOP"},
        {"PLAIN", "+OK\r\nSASL LOGIN PLAIN\r\n.\r\n", nullptr, "PLAIN"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.list);
        tevStringParam(0, TEV_AUTH_MECHANISMS, c.list);
        ScriptedServer srv;
        capa(srv, c.capaLines);
        const std::string used = c.used;
        if (used == "USER") {
            srv.expectLine("USER ann").send("+OK\r\n").expectLine("PASS secret").send("+OK\r\n");
        } else if (used == "APOP") {
            srv.expectLinePrefix("APOP ann ").send("+OK\r\n");
        } else {
            srv.expectLine("AUTH PLAIN " + b64(std::string("\0ann\0secret", 11))).send("+OK\r\n");
        }
        srv.start();
        EXPECT_EQ(connectPop3(srv), 0);
        EXPECT_TRUE(srv.finish(2000)) << srv.error();
        EXPECT_EQ(mechanismUsed(), used);
        if (c.expectedWire) {
            EXPECT_EQ(srv.received(), std::string("CAPA\r\n") + c.expectedWire);
        }
    }
    // Nothing on the list is offered: -83 naming the offer, no credential sent.
    tevStringParam(0, TEV_AUTH_MECHANISMS, "CRAM-MD5 SCRAM-SHA-256");
    ScriptedServer srv;
    capa(srv, "+OK\r\nSASL PLAIN LOGIN\r\n.\r\n").silence(50);
    srv.start();
    EXPECT_EQ(connectPop3(srv), TEV_E_NO_AUTH_MECHANISM);
    srv.finish(2000);
    EXPECT_EQ(srv.received(), "CAPA\r\n");
    EXPECT_EQ(errorText(TEV_E_NO_AUTH_MECHANISM), "No usable authentication mechanism. Offered: PLAIN LOGIN");
}

}  // namespace
