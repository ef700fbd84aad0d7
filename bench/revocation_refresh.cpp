// The revocation states of 500 certificates refreshed against one cached, signed 2 MB CRL, as the
// certificate panels do. Each round first rewrites the cached file, so the refresh pays for reading
// and verifying the list once, as after a new download. Reported against OpenSSL parsing and
// verifying the same list once in the same run.
#include <dirent.h>
#include <openssl/x509.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include <DigitalCertificate.h>
#include <orvik/AtomicFile.h>
#include <windows.h>

#include "support/CertHandles.h"
#include "support/HttpServer.h"
#include "support/TempHome.h"
#include "support/TestPki.h"

namespace {

constexpr int kCertificates = 500;
constexpr int kRevokedEvery = 25;
constexpr size_t kFillerEntries = 60000;  // about 2 MB of entries
constexpr int kRounds = 3;

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

// The one file of the CRL cache.
std::string cachedFile(const std::string& home) {
    std::string dir = home + "/crl-cache";
    std::string found;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            std::string name = e->d_name;
            if (name.size() > 4 && name.compare(name.size() - 4, 4, ".crl") == 0) found = dir + "/" + name;
        }
        closedir(d);
    }
    return found;
}

struct Counts {
    int valid = 0, revoked = 0, other = 0;
};

Counts refresh(const std::vector<std::string>& ders) {
    Counts counts;
    for (const std::string& der : ders) {
        CDigitalCertificate cert(der.data(), static_cast<int>(der.size()), CDigitalCertificate::ENC_DER);
        std::string state;
        switch (cert.CRLCheck(state, true)) {
        case 0: ++counts.valid; break;
        case 9: ++counts.revoked; break;
        default: ++counts.other; break;
        }
    }
    return counts;
}

bool reference(const std::string& crlDer, EVP_PKEY* key) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(crlDer.data());
    X509_CRL* crl = d2i_X509_CRL(nullptr, &p, static_cast<long>(crlDer.size()));
    bool ok = crl && X509_CRL_verify(crl, key) == 1;
    X509_CRL_free(crl);
    return ok;
}

}  // namespace

int main() {
    orvik::test::TempHome home;
    auto& pki = orvik::test::TestPki::instance();
    if (!orvik::test::addToSystemStore("CA", pki.ca().der) || !orvik::test::addToSystemStore("Root", pki.root().der)) {
        std::fprintf(stderr, "revocation_refresh: the test authorities cannot be stored\n");
        return 1;
    }
    orvik::test::HttpServer server;
    const std::string url = server.url("/large.crl");
    std::vector<std::string> ders;
    std::vector<orvik::test::IssuedCert> revoked;
    for (int i = 0; i < kCertificates; ++i) {
        auto cert = pki.issue({.cn = "用户" + std::to_string(i), .crlUrl = url});
        ders.push_back(cert.der);
        if (i % kRevokedEvery == 0) revoked.push_back(cert);
    }
    const std::string crl = pki.crlWith(pki.ca(), {.revoked = revoked, .fillerEntries = kFillerEntries});
    server.set("/large.crl", crl);

    // The first check downloads the list into the cache.
    std::string state;
    CDigitalCertificate first(ders[0].data(), static_cast<int>(ders[0].size()), CDigitalCertificate::ENC_DER);
    const int firstState = first.CRLCheck(state, true);
    const std::string cached = cachedFile(home.path());
    if (firstState != 9 || cached.empty() || server.hits("/large.crl") != 1) {
        std::fprintf(stderr, "revocation_refresh: the list was not cached\n");
        return 1;
    }

    double best = 1e9, bestReference = 1e9;
    Counts counts;
    for (int round = 0; round < kRounds; ++round) {
        // A new version of the cached file, as a download leaves it.
        if (!orvik::writeFileAtomically(cached, crl)) {
            std::fprintf(stderr, "revocation_refresh: the cached list cannot be rewritten\n");
            return 1;
        }
        auto t0 = Clock::now();
        counts = refresh(ders);
        auto t1 = Clock::now();
        if (!reference(crl, X509_get0_pubkey(pki.ca().x509()))) {
            std::fprintf(stderr, "revocation_refresh: OpenSSL refuses the list\n");
            return 1;
        }
        auto t2 = Clock::now();
        best = std::min(best, seconds(t0, t1));
        bestReference = std::min(bestReference, seconds(t1, t2));
    }
    const int expectedRevoked = (kCertificates + kRevokedEvery - 1) / kRevokedEvery;
    if (counts.revoked != expectedRevoked || counts.valid != kCertificates - expectedRevoked ||
        server.hits("/large.crl") != 1) {
        std::fprintf(stderr, "revocation_refresh: wrong states (%d valid, %d revoked, %d other, %d downloads)\n",
                     counts.valid, counts.revoked, counts.other, server.hits("/large.crl"));
        return 1;
    }
    std::printf(
        "revocation_refresh: %d certificates, %.1f MB CRL, refresh %.1f ms, OpenSSL parse+verify once %.1f ms, "
        "ratio %.2f (target <= 3.00)\n",
        kCertificates, static_cast<double>(crl.size()) / 1e6, best * 1000, bestReference * 1000, best / bestReference);
    return 0;
}
