// Secure files of every version: the header and records, the password check of version 0 and the
// certificate decryption of version 1.
#include <cstdint>
#include <vector>

#include <OrvikEncFile.h>
#include <SecureFile.h>

#include "FuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CSecureFile::Header header;
    if (CSecureFile::ReadHeader(orvik::fuzz::asFile(data, size, "input.ovk"), header)) {
        for (const auto& r : header.records) (void)r.blobAt;
    }
    if (size > static_cast<size_t>(INT32_MAX)) return 0;
    COrvikEncFile file;
    int length = 0;
    const int n = static_cast<int>(size);
    if (file.DecryptWithPassword(data, n, nullptr, length, "pw") == 0 && length >= 0 && length < (1 << 24)) {
        std::vector<unsigned char> out(static_cast<size_t>(length) + 1);
        // Any result will do; the sanitizers judge the run.
        [[maybe_unused]] const auto rc = file.DecryptWithPassword(data, n, out.data(), length, "pw");
    }
    length = 0;
    if (file.DecryptWithCert(data, n, nullptr, length) == 0 && length >= 0 && length < (1 << 24)) {
        std::vector<unsigned char> out(static_cast<size_t>(length) + 1);
        [[maybe_unused]] const auto rc = file.DecryptWithCert(data, n, out.data(), length);
    }
    return 0;
}
