// Public key blobs as CryptoAPI exports them, well and badly formed: the engine builds its
// key objects from them and refuses anything it cannot read safely. The stand-in only
// makes well-formed blobs, so this program serves the export itself while a test sets a
// blob; every other call goes to the stand-in.
#include "engine_fixture.h"

#include <openssl/dsa.h>
#include <openssl/rsa.h>

#include <dlfcn.h>

#include <cstdint>
#include <cstring>

namespace {

std::string served_blob;
bool serving = false;

}  // namespace

extern "C" BOOL WINAPI CryptExportKey(HCRYPTKEY hKey, HCRYPTKEY hExpKey, DWORD dwBlobType,
                                      DWORD dwFlags, BYTE *pbData, DWORD *pdwDataLen)
{
    if (!serving) {
        using export_fn = BOOL (*)(HCRYPTKEY, HCRYPTKEY, DWORD, DWORD, BYTE *, DWORD *);
        static auto real = reinterpret_cast<export_fn>(dlsym(RTLD_NEXT, "CryptExportKey"));
        return real(hKey, hExpKey, dwBlobType, dwFlags, pbData, pdwDataLen);
    }
    const DWORD size = static_cast<DWORD>(served_blob.size());
    if (pbData != nullptr) {
        if (*pdwDataLen < size) {
            *pdwDataLen = size;
            SetLastError(ERROR_MORE_DATA);
            return FALSE;
        }
        std::memcpy(pbData, served_blob.data(), size);
    }
    *pdwDataLen = size;
    return TRUE;
}

namespace {

std::string le32(uint32_t v)
{
    return std::string{static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                       static_cast<char>(v >> 24)};
}

// Bytes 1, 2, ..., n: least significant first, so the integer reads n ... 2 1.
std::string counting(int n, int start = 1)
{
    std::string bytes;
    for (int i = 0; i < n; ++i)
        bytes.push_back(static_cast<char>(start + i));
    return bytes;
}

std::string header(uint32_t algorithm, uint32_t magic, uint32_t bits, char type = 6)
{
    return std::string{type, 2, 0, 0} + le32(algorithm) + le32(magic) + le32(bits);
}

const uint32_t kRsa1 = 0x31415352, kDss1 = 0x31535344;

// A 64-bit RSA key: exponent 65537, modulus bytes 1..8.
std::string rsa_blob(uint32_t algorithm = CALG_RSA_KEYX)
{
    return header(algorithm, kRsa1, 64) + le32(65537) + counting(8);
}

// A DSA key with 64-bit p, g and y (8 bytes each) and the 20-byte q.
std::string dsa_blob()
{
    return header(CALG_DSS_SIGN, kDss1, 64) + counting(8, 0x10) + counting(20, 0x20) +
           counting(8, 0x40) + counting(8, 0x50);
}

std::string hex(const BIGNUM *bn)
{
    char *text = BN_bn2hex(bn);
    std::string result = text;
    OPENSSL_free(text);
    return result;
}

class BlobTest : public EngineTest {
protected:
    void TearDown() override
    {
        serving = false;
        OPENSSL_free(record_);
        EngineTest::TearDown();
    }

    EVP_PKEY *build(const std::string &blob)
    {
        served_blob = blob;
        serving = true;
        EVP_PKEY *pkey = capi_get_pkey(engine_, record_);
        serving = false;
        return pkey;
    }

    // The record is a stand-in's that was never opened: detached before the key is freed.
    capi_key_record *record_ = static_cast<capi_key_record *>(OPENSSL_zalloc(sizeof(capi_key_record)));
};

TEST_F(BlobTest, RsaAndDsaKeysCarryTheBlobsValuesAndTheRecord)
{
    for (uint32_t algorithm : {CALG_RSA_KEYX, CALG_RSA_SIGN}) {
        EVP_PKEY *pkey = build(rsa_blob(algorithm));
        ASSERT_NE(pkey, nullptr) << capi_test::drain_errors();
        RSA *rsa = const_cast<RSA *>(EVP_PKEY_get0_RSA(pkey));
        EXPECT_EQ(hex(RSA_get0_e(rsa)), "010001");
        EXPECT_EQ(hex(RSA_get0_n(rsa)), "0807060504030201");
        EXPECT_EQ(RSA_get0_engine(rsa), engine_);
        EXPECT_EQ(RSA_get_ex_data(rsa, rsa_key_index), record_);
        RSA_set_ex_data(rsa, rsa_key_index, nullptr);
        EVP_PKEY_free(pkey);
    }

    // Trailing bytes (the seed structure) are ignored; q is 20 bytes whatever p's length.
    EVP_PKEY *pkey = build(dsa_blob() + std::string(24, '\xff'));
    ASSERT_NE(pkey, nullptr) << capi_test::drain_errors();
    DSA *dsa = const_cast<DSA *>(EVP_PKEY_get0_DSA(pkey));
    EXPECT_EQ(hex(DSA_get0_p(dsa)), "1716151413121110");
    EXPECT_EQ(hex(DSA_get0_q(dsa)), "333231302F2E2D2C2B2A292827262524232221" "20");
    EXPECT_EQ(hex(DSA_get0_g(dsa)), "4746454443424140");
    EXPECT_EQ(hex(DSA_get0_pub_key(dsa)), "5756555453525150");
    EXPECT_EQ(DSA_get_ex_data(dsa, dsa_key_index), record_);
    DSA_set_ex_data(dsa, dsa_key_index, nullptr);
    EVP_PKEY_free(pkey);
    EXPECT_EQ(ERR_peek_error(), 0ul);
}

TEST_F(BlobTest, MalformedBlobsAreRefusedAndTheRecordStaysTheCallers)
{
    const std::string rsa = rsa_blob(), dsa = dsa_blob();
    const struct {
        const char *what;
        std::string blob;
        const char *reason;
        const char *data;
    } cases[] = {
        {"not a public key blob", std::string(1, '\x07') + rsa.substr(1), "invalid public key blob",
         ""},
        {"shorter than its header", rsa.substr(0, 15), "invalid public key blob", ""},
        {"RSA modulus cut short", rsa.substr(0, rsa.size() - 1), "invalid public key blob", ""},
        {"RSA exponent cut short", rsa.substr(0, 18), "invalid public key blob", ""},
        {"DSA y cut short", dsa.substr(0, dsa.size() - 1), "invalid public key blob", ""},
        {"RSA algorithm, DSS1 magic", header(CALG_RSA_SIGN, kDss1, 64) + rsa.substr(16),
         "invalid rsa public key blob magic number", "magic=0x31535344"},
        {"DSS algorithm, RSA1 magic", header(CALG_DSS_SIGN, kRsa1, 64) + dsa.substr(16),
         "invalid dsa public key blob magic number", "magic=0x31415352"},
        {"another algorithm", header(0x6610, kRsa1, 64) + rsa.substr(16),
         "unsupported public key algorithm", "aiKeyAlg=0x6610"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(build(c.blob), nullptr);
        const char *data = nullptr, *func = nullptr;
        int flags = 0;
        unsigned long err = ERR_get_error_all(nullptr, nullptr, &func, &data, &flags);
        EXPECT_STREQ(func, "CAPI_GET_PKEY");
        EXPECT_STREQ(ERR_reason_error_string(err), c.reason);
        EXPECT_STREQ((flags & ERR_TXT_STRING) ? data : "", c.data);
        EXPECT_EQ(ERR_get_error(), 0ul) << "one error per failure";
    }
    // Still the caller's: freed once, by the fixture.
}

}  // namespace
