// The server's side of SCRAM-SHA-256 against RFC 7677's example exchange, and the
// messages it must refuse.
#include <gtest/gtest.h>

#include "../src/auth/scram.h"

namespace {

using qx::auth::ScramServer;
using qx::auth::ScramVerifier;

// RFC 7677, section 3: user "user", password "pencil".
const std::string kClientFirst = "n,,n=user,r=rOprNGfwEbeRWgbNEkqO";
const std::string kServerNonce = "%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0";
const std::string kServerFirst =
    "r=rOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=4096";
const std::string kFinalWithoutProof = "c=biws,r=rOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0";
const std::string kProof = "dHzbZapWIk4jUhN+Ute9ytag9zjfMHgsqmmiz7AndVQ=";
const std::string kServerFinal = "v=6rriTRBi23WpRR/wtup+mMhUZUn/dB5nLTJRsjl95G4=";

ScramVerifier pencil() {
    std::string salt;
    EXPECT_TRUE(qx::auth::base64_decode("W22ZaJ0SNY7soEsUEjb6gQ==", &salt));
    ScramVerifier v;
    EXPECT_TRUE(qx::auth::parse_scram_verifier(qx::auth::make_scram_verifier("pencil", salt, 4096), &v));
    return v;
}

TEST(Scram, KnownExchange) {
    ScramServer server(pencil(), true, kServerNonce);
    std::string reply, why;
    ASSERT_TRUE(server.first(kClientFirst, &reply, &why)) << why;
    EXPECT_EQ(reply, kServerFirst);
    bool bad_proof = true;
    ASSERT_TRUE(server.final(kFinalWithoutProof + ",p=" + kProof, &reply, &bad_proof, &why)) << why;
    EXPECT_EQ(reply, kServerFinal);
    EXPECT_FALSE(bad_proof);
}

TEST(Scram, WrongProofAndMockVerifierFail) {
    std::string wrong = kProof;
    wrong[0] = 'e';
    // A mock verifier fails even the right proof; its salt is stable per name.
    EXPECT_EQ(qx::auth::mock_verifier("ghost").salt, qx::auth::mock_verifier("ghost").salt);
    EXPECT_NE(qx::auth::mock_verifier("ghost").salt, qx::auth::mock_verifier("ghost2").salt);
    ScramVerifier mock = pencil();
    mock.stored_key = qx::auth::mock_verifier("user").stored_key;
    const struct {
        ScramVerifier verifier;
        bool genuine;
        std::string proof;
    } cases[] = {{pencil(), true, wrong}, {pencil(), false, kProof}, {mock, true, kProof}};
    for (const auto &k : cases) {
        ScramServer server(k.verifier, k.genuine, kServerNonce);
        std::string reply, why;
        ASSERT_TRUE(server.first(kClientFirst, &reply, &why));
        bool bad_proof = false;
        EXPECT_FALSE(server.final(kFinalWithoutProof + ",p=" + k.proof, &reply, &bad_proof, &why));
        EXPECT_TRUE(bad_proof) << k.proof;
    }
}

TEST(Scram, MalformedMessagesAreRefused) {
    const char *firsts[] = {
        "p=tls-server-end-point,,n=user,r=abc",  // channel binding asked for
        "n,a=admin,n=user,r=abc",                // an authorization identity
        "x,,n=user,r=abc",
        "n,,r=abc",
        "n,,n=user,r=",
        "n,,n=user",
        "",
    };
    for (const char *first : firsts) {
        ScramServer server(pencil(), true, kServerNonce);
        std::string reply, why;
        EXPECT_FALSE(server.first(first, &reply, &why)) << first;
        EXPECT_FALSE(why.empty());
    }
    const std::string nonce = "r=rOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0";
    const std::string finals[] = {
        "c=eSws," + nonce + ",p=" + kProof,                     // another gs2 header ("y,,")
        "c=biws,r=rOprNGfwEbeRWgbNEkqOother,p=" + kProof,       // not the exchange's nonce
        "c=biws," + nonce + ",p=short",                         // no proof of 32 bytes
        "c=biws," + nonce,                                      // no proof at all
        "r=x,c=biws,p=" + kProof,
    };
    for (const std::string &final : finals) {
        ScramServer server(pencil(), true, kServerNonce);
        std::string reply, why;
        ASSERT_TRUE(server.first(kClientFirst, &reply, &why));
        bool bad_proof = true;
        EXPECT_FALSE(server.final(final, &reply, &bad_proof, &why)) << final;
        EXPECT_FALSE(bad_proof) << final;
    }
    // A final message with no first one.
    ScramServer server(pencil(), true, kServerNonce);
    std::string reply, why;
    bool bad_proof = false;
    EXPECT_FALSE(server.final(kFinalWithoutProof + ",p=" + kProof, &reply, &bad_proof, &why));
}

TEST(Scram, VerifiersAndBase64) {
    std::string text = qx::auth::make_scram_verifier("secret");
    ScramVerifier v;
    ASSERT_TRUE(qx::auth::parse_scram_verifier(text, &v)) << text;
    EXPECT_EQ(v.iterations, 4096);
    EXPECT_EQ(v.salt.size(), 16u);
    EXPECT_EQ(text.find("secret"), std::string::npos);
    // Fresh salts: the same password never gives the same verifier twice.
    EXPECT_NE(text, qx::auth::make_scram_verifier("secret"));
    const char *bad[] = {"", "md5abc", "SCRAM-SHA-256$4096:c2FsdA==$AAAA:AAAA",
                         "SCRAM-SHA-256$x:c2FsdA==$" /* no keys */, "SCRAM-SHA-256$0:$:"};
    for (const char *b : bad) EXPECT_FALSE(qx::auth::parse_scram_verifier(b, &v)) << b;

    for (std::string bytes : {"", "f", "fo", "foo", "foob", "fooba", "foobar", "\xff\x00\x80"}) {
        std::string back;
        ASSERT_TRUE(qx::auth::base64_decode(qx::auth::base64_encode(bytes), &back));
        EXPECT_EQ(back, bytes);
    }
    EXPECT_EQ(qx::auth::base64_encode("foobar"), "Zm9vYmFy");
    std::string out;
    for (const char *b : {"Zm9", "Zm9v!A==", "Zg==Zg==", "Z===", "Zm=v"})
        EXPECT_FALSE(qx::auth::base64_decode(b, &out)) << b;
}

}  // namespace
