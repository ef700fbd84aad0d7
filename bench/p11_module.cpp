// The personal store's PKCS#11 module as a client uses it: one RSA-2048 signature through
// C_SignInit and C_Sign against the same signature made with OpenSSL directly in the same run, and
// a search of every object with 2,000 personal certificates in the store.
#include <dlfcn.h>
#include <openssl/evp.h>
#include <p11-kit/pkcs11.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include <MyCertStore.h>

#include "support/TempHome.h"
#include "support/TestPki.h"

namespace {

constexpr int kSignatures = 300;
constexpr int kCertificates = 2000;

using Clock = std::chrono::steady_clock;
double seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

std::vector<CK_OBJECT_HANDLE> findAll(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s, CK_OBJECT_CLASS* cls) {
    CK_ATTRIBUTE templ{CKA_CLASS, cls, sizeof *cls};
    std::vector<CK_OBJECT_HANDLE> out;
    f->C_FindObjectsInit(s, cls ? &templ : nullptr, cls ? 1 : 0);
    CK_OBJECT_HANDLE batch[64];
    CK_ULONG n = 0;
    while (f->C_FindObjects(s, batch, 64, &n) == CKR_OK && n) out.insert(out.end(), batch, batch + n);
    f->C_FindObjectsFinal(s);
    return out;
}

}  // namespace

int main() {
    using namespace orvik::test;
    TempHome home;
    TempDir work;
    auto& pki = TestPki::instance();
    // One key for every certificate: the bench measures the module, not key generation.
    auto first = pki.issue({.cn = "bench 0", .email = "bench0@example.com", .keyUsage = 0xA0});
    TestPki::save(work.file("0.p12"), TestPki::pkcs12(first, "pw"));
    if (CMyCertStore().ImportP12(nullptr, work.file("0.p12").c_str(), "pw") != 0) return 1;

    void* lib = dlopen(ORVIK_P11_MODULE, RTLD_NOW);
    if (!lib) return 1;
    CK_FUNCTION_LIST* f = nullptr;
    reinterpret_cast<CK_C_GetFunctionList>(dlsym(lib, "C_GetFunctionList"))(&f);
    f->C_Initialize(nullptr);
    CK_SESSION_HANDLE s = 0;
    f->C_OpenSession(1, CKF_SERIAL_SESSION, nullptr, nullptr, &s);
    CK_OBJECT_CLASS priv = CKO_PRIVATE_KEY;
    CK_OBJECT_HANDLE key = findAll(f, s, &priv).at(0);

    const std::string data = "the data a TLS handshake signs, more or less this long........";
    CK_MECHANISM mech{CKM_SHA256_RSA_PKCS, nullptr, 0};
    unsigned char sig[512];
    size_t checksum = 0;
    // Warm both paths once.
    CK_ULONG size = sizeof sig;
    f->C_SignInit(s, &mech, key);
    f->C_Sign(s, (CK_BYTE*)data.data(), data.size(), sig, &size);
    auto t0 = Clock::now();
    for (int i = 0; i < kSignatures; ++i) {
        size = sizeof sig;
        f->C_SignInit(s, &mech, key);
        f->C_Sign(s, (CK_BYTE*)data.data(), data.size(), sig, &size);
        checksum += sig[0];
    }
    auto t1 = Clock::now();
    for (int i = 0; i < kSignatures; ++i) {
        EVP_MD_CTX* ctx = EVP_MD_CTX_new();
        size_t n = sizeof sig;
        EVP_DigestSignInit(ctx, nullptr, EVP_sha256(), nullptr, first.key());
        EVP_DigestSign(ctx, sig, &n, reinterpret_cast<const unsigned char*>(data.data()), data.size());
        EVP_MD_CTX_free(ctx);
        checksum += sig[0];
    }
    auto t2 = Clock::now();
    const double module = seconds(t0, t1) / kSignatures, direct = seconds(t1, t2) / kSignatures;
    std::printf(
        "p11 signature: %.3f ms through the module, %.3f ms with OpenSSL directly, ratio %.2f (target <= 1.2)\n",
        module * 1e3, direct * 1e3, module / direct);

    // Fill the store: 2,000 personal certificates, each with its key container.
    for (int i = 1; i < kCertificates; ++i) {
        auto cert = pki.issue({.cn = "bench " + std::to_string(i), .email = "b@example.com", .keyUsage = 0xA0});
        const std::string path = work.file("c.p12");
        TestPki::save(path, TestPki::pkcs12(cert, "pw"));
        if (CMyCertStore().ImportP12(nullptr, path.c_str(), "pw") != 0) return 1;
    }
    auto t3 = Clock::now();
    size_t cold = findAll(f, s, nullptr).size();
    auto t4 = Clock::now();
    size_t warm = 0;
    const int rounds = 20;
    for (int i = 0; i < rounds; ++i) warm += findAll(f, s, nullptr).size();
    auto t5 = Clock::now();
    std::printf("p11 search of %zu objects (%d certificates): first %.1f ms, then %.1f ms each (target < 50 ms)\n",
                cold, kCertificates, seconds(t3, t4) * 1e3, seconds(t4, t5) * 1e3 / rounds);
    f->C_CloseSession(s);
    f->C_Finalize(nullptr);
    return checksum + warm ? 0 : 1;
}
