// Secure files of version 2 against `openssl enc -des-ede3-cbc` on the same 256 MiB file in the
// same run (median of three), and the peak memory of a 256 MiB encryption against a 1 MiB one.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <MyCertStore.h>
#include <SecureFile.h>

#include "support/TempHome.h"
#include "support/TestPki.h"

namespace {

using Clock = std::chrono::steady_clock;

template <class F>
double median3(F&& run) {
    std::vector<double> t;
    for (int i = 0; i < 3; ++i) {
        auto a = Clock::now();
        run();
        t.push_back(std::chrono::duration<double>(Clock::now() - a).count());
    }
    std::sort(t.begin(), t.end());
    return t[1];
}

void makeFile(const std::string& path, size_t size) {
    std::ofstream out(path, std::ios::binary);
    std::vector<char> block(1 << 20);
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 2654435761u >> 13);
    for (size_t done = 0; done < size; done += block.size())
        out.write(block.data(), static_cast<std::streamsize>(std::min(block.size(), size - done)));
}

// Peak resident memory (KiB) of a child that encrypts `path`.
long peakOfEncryption(const std::string& path, const std::string& out, CDigitalCertificate* me) {
    pid_t pid = fork();
    if (pid == 0) {
        auto r = CSecureFile::Encrypt(path, out, {me}, "");
        _exit(r.code == 0 ? 0 : 1);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    return usage.ru_maxrss;
}

}  // namespace

int main() {
    orvik::test::TempHome home;
    auto user = orvik::test::TestPki::instance().issue({.cn = "bench", .keyUsage = 0x20});
    CDigitalCertificate cert(user.der.data(), static_cast<int>(user.der.size()), CDigitalCertificate::ENC_DER);
    if (CMyCertStore().ImportCertAndKey(cert, user.keyPem) != CMyCertStore::Ok) return 1;
    const std::string big = home.file("big.bin"), small = home.file("small.bin");
    makeFile(big, 256u << 20);
    makeFile(small, 1u << 20);

    const std::string key = "0123456789abcdeffedcba98765432100123456789abcdef";
    const std::string enc = "openssl enc -des-ede3-cbc -K " + key + " -iv 0000000000000000 ";
    double opensslEncrypt = median3([&] { std::system((enc + "-in " + big + " -out " + home.file("o.enc")).c_str()); });
    double opensslDecrypt =
        median3([&] { std::system((enc + "-d -in " + home.file("o.enc") + " -out " + home.file("o.dec")).c_str()); });

    bool failed = false;
    double ours = median3([&] { failed |= CSecureFile::Encrypt(big, home.file("big.ovk"), {&cert}, "").code != 0; });
    CSecureFile::Header header;
    failed |= !CSecureFile::ReadHeader(home.file("big.ovk"), header);
    double oursDecrypt = median3(
        [&] { failed |= CSecureFile::Decrypt(home.file("big.ovk"), home.file("big.out"), header, 0, "").code != 0; });
    if (failed) {
        std::fprintf(stderr, "ovk_throughput: a secure file could not be made or opened\n");
        return 1;
    }

    long peakSmall = peakOfEncryption(small, home.file("s.ovk"), &cert);
    long peakBig = peakOfEncryption(big, home.file("b.ovk"), &cert);
    std::printf(
        "ovk_throughput: 256 MiB; encryption %.2f s against OpenSSL %.2f s: throughput ratio %.2f (target >= 0.90)\n",
        ours, opensslEncrypt, opensslEncrypt / ours);
    std::printf("ovk_throughput: decryption %.2f s against OpenSSL %.2f s: throughput ratio %.2f (target >= 1.50)\n",
                oursDecrypt, opensslDecrypt, opensslDecrypt / oursDecrypt);
    std::printf("ovk_throughput: peak memory 256 MiB %ld KiB, 1 MiB %ld KiB: %ld KiB more (target <= 1024)\n", peakBig,
                peakSmall, peakBig - peakSmall);
    return 0;
}
