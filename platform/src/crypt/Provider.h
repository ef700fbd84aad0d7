// Provider and key handles behind HCRYPTPROV and HCRYPTKEY.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include <wincrypt.h>

#include "Ossl.h"

namespace orvik::crypt {

struct Provider {
    uint32_t magic = kMagic;
    std::string container;
    std::string name;
    bool machine = false;
    bool ephemeral = false;  // CRYPT_VERIFYCONTEXT: nothing is kept
    std::mutex lock;
    std::map<DWORD, std::shared_ptr<EVP_PKEY>> keys;  // by key kind
    static constexpr uint32_t kMagic = 0x50524F56;    // "PROV"
};

struct Key {
    uint32_t magic = kMagic;
    ALG_ID alg = 0;
    DWORD keySpec = 0;
    std::shared_ptr<EVP_PKEY> pkey;
    static constexpr uint32_t kMagic = 0x4B455931;  // "KEY1"
};

Provider* providerOf(HCRYPTPROV prov);
Key* keyOf(HCRYPTKEY key);

// Makes a key handle for a key of the provider.
HCRYPTKEY newKeyHandle(std::shared_ptr<EVP_PKEY> pkey, ALG_ID alg, DWORD keySpec);

// The private key of a certificate through its key-provider property; null with the last error
// set (CRYPT_E_NO_KEY_PROPERTY, NTE_BAD_KEYSET, NTE_NO_KEY, NTE_BAD_PUBLIC_KEY).
std::shared_ptr<EVP_PKEY> certificatePrivateKey(PCCERT_CONTEXT cert, DWORD* keySpec = nullptr);

}  // namespace orvik::crypt
