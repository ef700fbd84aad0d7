// A token as a CryptoAPI provider: containers are the token's key pairs, named by CKA_ID in hex.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <wincrypt.h>

#include "../crypt/Provider.h"

namespace orvik::token {

std::string containerOf(const std::vector<BYTE>& id);
// False for a name that is not an even number of hex digits.
bool idOf(const std::string& container, std::vector<BYTE>& id);

// CryptAcquireContext for the token of this label; the flags are already checked.
BOOL acquire(HCRYPTPROV* prov, const char* container, const std::string& label, DWORD flags);

// Writes a PRIVATEKEYBLOB's key onto the token as a key pair (never extractable), makes it the
// provider's container and its key of that kind; the kind and algorithm come back.
bool importPrivateKey(crypt::Provider& p, const BYTE* blob, size_t size, DWORD* keySpec, ALG_ID* alg);

// Deletes the key pair and certificate of a container.
BOOL deleteContainer(const std::string& label, const char* container, DWORD flags);

// The certificate kept with a token key, as KP_CERTIFICATE reads and writes it.
bool storeCertificate(const EVP_PKEY* key, const BYTE* der, size_t size);
bool readCertificate(const EVP_PKEY* key, std::vector<BYTE>& der);

// The labels of the tokens present, as provider names.
std::vector<std::string> providerNames();

}  // namespace orvik::token
