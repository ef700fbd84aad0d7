// A system store's entries as the registry keeps them, read without building contexts and without
// the tokens' certificates, for readers outside the assistant that must stay cheap and must not
// load PKCS#11 modules (the personal store's own module is one).
#pragma once

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "../windef.h"

typedef struct evp_pkey_st EVP_PKEY;

namespace orvik {

struct RegisteredCertificate {
    std::string thumbprint;           // the entry's key: SHA-1 of the certificate, upper-case hex
    std::vector<unsigned char> blob;  // the whole stored entry, to tell a changed entry
    std::vector<unsigned char> der;
    std::string friendlyName;  // UTF-8; empty when the entry has none
    // The key container the key-provider property names, when it names one of the software
    // providers and its file is there: the key lives on this disk.
    bool diskKey = false;
    std::string container;
    bool machineKeyset = false;
    DWORD keySpec = 0;
};

// The current user's entries of a system store ("MY", "CA", ...); the trust stores "CA", "Root"
// and "Disallowed" include the machine's entries, as the user's view of them does.
ORVIK_PLATFORM_API std::vector<RegisteredCertificate> readRegisteredCertificates(const char* store);

// The SHA-1 (upper-case hex) of every certificate of the "Disallowed" store: what the user has
// distrusted counts for nothing in a chain, whatever other store also holds it.
ORVIK_PLATFORM_API std::set<std::string> distrustedThumbprints();

// The private key of a container on the disk; null with the last error set (NTE_BAD_KEYSET,
// NTE_NO_KEY) when it is missing or damaged.
ORVIK_PLATFORM_API std::shared_ptr<EVP_PKEY> loadContainerKey(const std::string& container, bool machineKeyset,
                                                              DWORD keySpec);

}  // namespace orvik
