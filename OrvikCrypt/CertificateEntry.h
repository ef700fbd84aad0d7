// One element of a contact's PR_USER_X509_CERTIFICATE: tagged items, each a 16-bit tag and a
// 16-bit length that counts the 4-byte item header, then the item's data.
#pragma once

#include <cstddef>
#include <string>

class CertificateEntry {
public:
    enum : unsigned { TAG_DEFAULT = 0x0020, TAG_THUMBPRINT = 0x0022 };

    bool isDefault = false;
    unsigned char thumbprint[20] = {};

    // Walks the items within `size`; unknown items are skipped. False without a 20-byte
    // thumbprint or when an item runs past the end.
    static bool parse(const unsigned char* data, size_t size, CertificateEntry& out);
    // The 32-byte entry the system writes: "default" = 1, then the thumbprint.
    static std::string write(const unsigned char* thumbprint);
};
