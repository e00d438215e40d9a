// A fresh process for tests of what the library reads from the environment at start-up
// and writes at exit. Usage: cryptoapi_probe containers | sign CONTAINER | leak | release-twice
#include <wincrypt.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

int report_failure(const char *what) {
    std::printf("%s failed 0x%08X\n", what, static_cast<unsigned>(GetLastError()));
    return 1;
}

// Lists containers of the default RSA provider the way the engine does.
int containers() {
    HCRYPTPROV prov = 0;
    if (!CryptAcquireContextA(&prov, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT))
        return report_failure("acquire");
    DWORD max = 0;
    if (!CryptGetProvParam(prov, PP_ENUMCONTAINERS, nullptr, &max, CRYPT_FIRST)) {
        CryptReleaseContext(prov, 0);
        return report_failure("size");
    }
    std::printf("max %u\n", static_cast<unsigned>(max));
    if (max == 0) max = 1024;
    std::vector<char> buf(max);
    for (DWORD i = 0; i < 100; ++i) {
        DWORD len = max;
        buf[0] = 0;
        if (!CryptGetProvParam(prov, PP_ENUMCONTAINERS, reinterpret_cast<BYTE *>(buf.data()), &len,
                               i == 0 ? CRYPT_FIRST : 0)) {
            std::printf("end 0x%08X\n", static_cast<unsigned>(GetLastError()));
            break;
        }
        if (buf[0] == 0 && len == max) {
            std::printf("end empty\n");
            break;
        }
        std::printf("%u. %s\n", static_cast<unsigned>(i), buf.data());
    }
    CryptReleaseContext(prov, 0);
    return 0;
}

int sign(const char *container) {
    HCRYPTPROV prov = 0;
    if (!CryptAcquireContextA(&prov, container, nullptr, PROV_RSA_FULL, 0)) return report_failure("acquire");
    HCRYPTHASH hash = 0;
    BYTE value[20] = {1};
    BYTE sig[512];
    DWORD len = sizeof sig;
    int rc = 0;
    if (!CryptCreateHash(prov, CALG_SHA1, 0, 0, &hash)) {
        rc = report_failure("hash");
    } else {
        if (!CryptSetHashParam(hash, HP_HASHVAL, value, 0) ||
            !CryptSignHashA(hash, AT_KEYEXCHANGE, nullptr, 0, sig, &len))
            rc = report_failure("sign");
        else
            std::printf("signed %u bytes\n", static_cast<unsigned>(len));
        CryptDestroyHash(hash);
    }
    CryptReleaseContext(prov, 0);
    return rc;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc >= 2 && std::strcmp(argv[1], "containers") == 0) return containers();
    if (argc >= 3 && std::strcmp(argv[1], "sign") == 0) return sign(argv[2]);
    if (argc >= 2 && std::strcmp(argv[1], "leak") == 0) {
        HCRYPTPROV prov = 0;
        return CryptAcquireContextA(&prov, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT) ? 0 : 1;
    }
    if (argc >= 2 && std::strcmp(argv[1], "release-twice") == 0) {
        HCRYPTPROV prov = 0;
        if (!CryptAcquireContextA(&prov, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) return 1;
        CryptReleaseContext(prov, 0);
        CryptReleaseContext(prov, 0);
        return 0;
    }
    std::fprintf(stderr, "usage: cryptoapi_probe containers | sign CONTAINER | leak | release-twice\n");
    return 2;
}
