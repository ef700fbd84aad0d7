// The other people's store with 2,000 certificates: open it, filter it by e-mail and by key
// usage, and read the panel texts of every row. Reports the time against a bare-OpenSSL reference
// that parses, hashes and reads the same fields from the same DER in the same run.
#include <openssl/sha.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include <OtherCertStore.h>
#include <windows.h>

#include "RowTexts.h"
#include "support/TempHome.h"
#include "support/TestPki.h"

namespace {

constexpr int kCertificates = 2000;
constexpr int kRounds = 3;

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

size_t ours(const std::string& email) {
    size_t checksum = 0;
    COtherCertStore store;
    store.OpenCertStore();
    checksum += bench::readRowTexts(store);
    store.OpenCertStore();
    store.SetFilter("SubjectEmail", email.c_str());
    checksum += static_cast<size_t>(store.GetCertCount());
    store.OpenCertStore();
    store.SetFilter("KeyUsage", "Crypt");
    checksum += static_cast<size_t>(store.GetCertCount());
    return checksum;
}

// What the store does, done with OpenSSL alone: three passes of parsing and hashing, and the
// same fields read.
size_t reference(const std::vector<std::string>& ders, const std::string& email) {
    size_t checksum = 0;
    auto pass = [&](auto&& use) {
        for (const auto& der : ders) {
            const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
            X509* x = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
            unsigned char sha[SHA_DIGEST_LENGTH];
            SHA1(reinterpret_cast<const unsigned char*>(der.data()), der.size(), sha);
            checksum += sha[0];
            use(x);
            X509_free(x);
        }
    };
    char buf[1024];
    pass([&](X509* x) {
        checksum +=
            static_cast<size_t>(X509_NAME_get_text_by_NID(X509_get_subject_name(x), NID_commonName, buf, sizeof buf));
        checksum +=
            static_cast<size_t>(X509_NAME_get_text_by_NID(X509_get_issuer_name(x), NID_commonName, buf, sizeof buf));
        struct tm t {};
        ASN1_TIME_to_tm(X509_get0_notAfter(x), &t);
        checksum += static_cast<size_t>(strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &t));
    });
    pass([&](X509* x) {
        auto* names = static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(x, NID_subject_alt_name, nullptr, nullptr));
        for (int i = 0; names && i < sk_GENERAL_NAME_num(names); ++i) {
            GENERAL_NAME* n = sk_GENERAL_NAME_value(names, i);
            if (n->type == GEN_EMAIL && email == reinterpret_cast<const char*>(ASN1_STRING_get0_data(n->d.rfc822Name)))
                ++checksum;
        }
        GENERAL_NAMES_free(names);
    });
    pass([&](X509* x) {
        auto* usage = static_cast<ASN1_BIT_STRING*>(X509_get_ext_d2i(x, NID_key_usage, nullptr, nullptr));
        if (!usage || ASN1_BIT_STRING_get_bit(usage, 2)) ++checksum;
        ASN1_BIT_STRING_free(usage);
    });
    return checksum;
}

}  // namespace

int main() {
    orvik::test::TempHome home;
    auto& pki = orvik::test::TestPki::instance();
    std::vector<std::string> ders;
    HCERTSTORE book = CertOpenSystemStoreA(0, "ADDRESSBOOK");
    for (int i = 0; i < kCertificates; ++i) {
        std::string email = "user" + std::to_string(i % 500) + "@example.com";
        auto cert = pki.issue({.cn = "用户" + std::to_string(i), .email = email, .keyUsage = i % 2 ? 0x80 : 0x20});
        ders.push_back(cert.der);
        CertAddEncodedCertificateToStore(book, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(cert.der.data()),
                                         static_cast<DWORD>(cert.der.size()), CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    }
    CertCloseStore(book, 0);

    const std::string email = "user7@example.com";
    double best = 1e9, bestReference = 1e9;
    size_t a = 0, b = 0;
    for (int round = 0; round < kRounds; ++round) {
        auto t0 = Clock::now();
        a = ours(email);
        auto t1 = Clock::now();
        b = reference(ders, email);
        auto t2 = Clock::now();
        best = std::min(best, seconds(t0, t1));
        bestReference = std::min(bestReference, seconds(t1, t2));
    }
    std::printf("store_panel: %d certificates, store %.1f ms, OpenSSL reference %.1f ms, ratio %.2f (target <= 2.00)\n",
                kCertificates, best * 1000, bestReference * 1000, best / bestReference);
    std::printf("(checksums %zu %zu)\n", a, b);
    return 0;
}
