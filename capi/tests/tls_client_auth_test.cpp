// TLS client authentication through the real openssl tool: s_client takes its client
// certificate from CryptoAPI's store "MY" and signs the handshake there, and s_server on
// loopback receives the certificate.
#include "fixture.h"

#include <gtest/gtest.h>

namespace {

using capi_test::RunResult;

// What the engine can sign: TLS 1.2 with SHA-1 signature algorithms, which OpenSSL
// allows only at security level 0.
const std::vector<std::string> kSha1Tls12{"-tls1_2", "-sigalgs", "RSA+SHA1:DSA+SHA1", "-cipher",
                                          "DEFAULT@SECLEVEL=0"};

struct Handshake {
    RunResult server, client;
    bool server_got(const std::string &subject) const
    {
        return server.out.find("Client certificate\n") != std::string::npos &&
               server.out.find("subject=" + subject + "\n") != std::string::npos;
    }
};

class TlsClientAuthTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        RunResult r = capi_test::openssl({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj",
                                          "/CN=localhost", "-days", "2", "-keyout",
                                          path("server.key"), "-out", path("server.pem")});
        ASSERT_EQ(r.status, 0) << r.err;
    }

    std::string path(const std::string &name) const { return home_.path(name); }

    // Imports identities in this order and makes the server trust each of them.
    void import_all(const std::vector<const capi_test::Identity *> &ids)
    {
        std::string cas;
        for (size_t i = 0; i < ids.size(); ++i) {
            capi_test::import_identity(*ids[i], "client" + std::to_string(i));
            cas += capi_test::read_file(ids[i]->cert_pem);
        }
        capi_test::write_file(path("clients.pem"), cas);
    }

    // One connection: s_server demands a client certificate, s_client gets it from the
    // engine. Both run with the given extra arguments.
    Handshake handshake(const std::vector<std::string> &server_extra,
                        const std::vector<std::string> &client_extra,
                        std::vector<std::string> client_env = {})
    {
        std::vector<std::string> server_args{"s_server", "-accept", "127.0.0.1:0", "-naccept", "1",
                                             "-cert", path("server.pem"), "-key", path("server.key"),
                                             "-Verify", "1", "-CAfile", path("clients.pem")};
        server_args.insert(server_args.end(), server_extra.begin(), server_extra.end());
        capi_test::BackgroundOpenssl server(server_args);
        const int port = server.accept_port();
        EXPECT_GT(port, 0) << "s_server did not start";
        std::vector<std::string> client_args{"s_client", "-connect",
                                             "127.0.0.1:" + std::to_string(port), "-CAfile",
                                             path("server.pem"), "-engine", "capi",
                                             "-ssl_client_engine", "capi"};
        client_args.insert(client_args.end(), client_extra.begin(), client_extra.end());
        const std::string report = path("handles.txt");
        std::remove(report.c_str());
        client_env.push_back("CRYPTOAPI_HANDLE_REPORT=" + report);
        Handshake h;
        h.client = capi_test::openssl(client_args, client_env);
        h.server = server.finish();
        // Whatever happened, the client released every CryptoAPI handle exactly once.
        const std::string counts = capi_test::read_file(report);
        EXPECT_NE(counts.find("open=0\n"), std::string::npos) << counts;
        EXPECT_NE(counts.find("double_releases=0\n"), std::string::npos) << counts;
        return h;
    }

    capi_test::TempHome home_;
};

TEST_F(TlsClientAuthTest, ServerReceivesTheCertificateOfAnRsaOrDsaKey)
{
    const struct {
        const char *algorithm;
        const char *name;
    } cases[] = {{"RSA", "Alice Example"}, {"DSA", "Dora Example"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.algorithm);
        capi_test::TempHome home;  // a store with this one identity
        const capi_test::Identity id = capi_test::make_identity(home.dir(), c.name, c.algorithm);
        import_all({&id});
        const Handshake h = handshake(kSha1Tls12, kSha1Tls12);
        EXPECT_EQ(h.client.status, 0) << h.client.err;
        EXPECT_EQ(h.server.status, 0) << h.server.err;
        EXPECT_TRUE(h.server_got(std::string("O = Engine Test Org, CN = ") + c.name))
            << h.server.out << h.server.err;
        EXPECT_NE(h.server.err.find("verify return:1"), std::string::npos) << h.server.err;
    }
}

TEST_F(TlsClientAuthTest, HandshakeFailsWhenCryptoapiCannotSign)
{
    const capi_test::Identity alice = capi_test::make_identity(home_.dir(), "Alice Example");
    import_all({&alice});
    const Handshake h =
        handshake(kSha1Tls12, kSha1Tls12, {"CRYPTOAPI_FAIL=CryptSignHashA=0x80090016"});
    EXPECT_NE(h.client.status, 0);
    EXPECT_NE(h.client.err.find(":CAPI_RSA_SIGN:error signing hash:"), std::string::npos)
        << h.client.err;
    EXPECT_NE(h.client.err.find("Error code= 0x80090016"), std::string::npos) << h.client.err;
    EXPECT_FALSE(h.server_got("O = Engine Test Org, CN = Alice Example")) << h.server.out;
}

TEST_F(TlsClientAuthTest, Tls13AndSha2SignaturesAreNotSupported)
{
    // A key the default security level accepts, so that only the signature fails.
    const capi_test::Identity alice =
        capi_test::make_identity(home_.dir(), "Alice Example", "RSA", 2048);
    import_all({&alice});
    const struct {
        const char *what;
        std::vector<std::string> flags;
        const char *error;
    } cases[] = {
        {"TLS 1.3 (RSA-PSS)", {}, ":CAPI_RSA_PRIV_ENC:function not supported:"},
        {"TLS 1.2 defaults (RSA-PSS first)", {"-tls1_2"}, ":CAPI_RSA_PRIV_ENC:function not supported:"},
        {"TLS 1.2 RSA+SHA256",
         {"-tls1_2", "-sigalgs", "RSA+SHA256", "-cipher", "DEFAULT@SECLEVEL=0"},
         ":CAPI_RSA_SIGN:unsupported algorithm nid:"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const Handshake h = handshake(c.flags, c.flags);
        EXPECT_NE(h.client.status, 0);
        EXPECT_NE(h.client.err.find(c.error), std::string::npos) << h.client.err;
        EXPECT_EQ(h.server.out.find("Client certificate\n"), std::string::npos) << h.server.out;
    }
}

TEST_F(TlsClientAuthTest, TheFirstCandidateIsTakenEvenWhenTheServerCannotUseIt)
{
    const capi_test::Identity dora = capi_test::make_identity(home_.dir(), "Dora Example", "DSA");
    const capi_test::Identity alice = capi_test::make_identity(home_.dir(), "Alice Example");
    import_all({&dora, &alice});

    // A server that takes both gets the DSA certificate, which comes first in the store.
    Handshake h = handshake(kSha1Tls12, kSha1Tls12);
    EXPECT_EQ(h.server.status, 0) << h.server.err;
    EXPECT_TRUE(h.server_got("O = Engine Test Org, CN = Dora Example")) << h.server.out;

    // An RSA-only server gets no certificate, though an RSA one is in the store.
    h = handshake({"-tls1_2", "-sigalgs", "RSA+SHA1", "-cipher", "DEFAULT@SECLEVEL=0"}, kSha1Tls12);
    EXPECT_NE(h.client.status, 0);
    EXPECT_NE(h.server.err.find("peer did not return a certificate"), std::string::npos)
        << h.server.err;
    EXPECT_EQ(h.server.out.find("Client certificate\n"), std::string::npos) << h.server.out;
}

}  // namespace
