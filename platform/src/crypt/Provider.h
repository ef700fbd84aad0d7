// Provider and key handles behind HCRYPTPROV and HCRYPTKEY.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>
#include <openssl/evp.h>

#include <orvik/Secret.h>
#include <wincrypt.h>

#include "Ossl.h"

namespace orvik::token {
class TokenSession;
}

namespace orvik::crypt {

// A key pair of a container: the key and what it may do.
struct KeyPair {
    std::shared_ptr<EVP_PKEY> pkey;
    DWORD flags = 0;  // CRYPT_EXPORTABLE as imported
};

struct Provider {
    uint32_t magic = kMagic;
    std::string container;
    std::string name;
    bool machine = false;
    bool ephemeral = false;                      // CRYPT_VERIFYCONTEXT: nothing is kept
    std::shared_ptr<token::TokenSession> token;  // a token's provider: its keys stay there
    std::mutex lock;
    std::map<DWORD, KeyPair> keys;                  // by key kind
    static constexpr uint32_t kMagic = 0x50524F56;  // "PROV"
};

using CipherCtxPtr = ossl::Owned<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>;

struct Key {
    uint32_t magic = kMagic;
    ALG_ID alg = 0;
    DWORD keySpec = 0;  // 0 for a public key imported on its own and for session keys
    DWORD permissions = 0;
    std::shared_ptr<EVP_PKEY> pkey;  // RSA keys
    SecretBytes secret;              // session keys: the 3DES key bytes
    CipherCtxPtr cipher;             // the CBC state of an encryption that runs on between calls
    CipherCtxPtr blocks[2];          // decryption: the block cipher alone, one per worker
    BYTE chain[8] = {};              // decryption: the last ciphertext block seen
    int direction = 0;               // 1 encrypting, -1 decrypting, 0 at the start of a stream
    bool symmetric() const { return !secret.empty(); }
    static constexpr uint32_t kMagic = 0x4B455931;  // "KEY1"
};

// A session key handle of these bytes.
HCRYPTKEY newSessionKey(SecretBytes secret, ALG_ID alg, DWORD flags);
// SIMPLEBLOB of a session key under an RSA exchange key, and back.
std::vector<BYTE> simpleBlob(Key& session, Key& exchange);
bool importSimpleBlob(const BYTE* data, size_t size, Key& exchange, DWORD flags, HCRYPTKEY* key);

Provider* providerOf(HCRYPTPROV prov);
Key* keyOf(HCRYPTKEY key);

// A result a token's key gives when it cannot be used (gone, PIN, key missing or refused).
bool isTokenError(DWORD error);

// One of the software providers, whose containers are files on the disk; any other name is a token's.
bool knownProvider(const char* name);

// The permissions of a key pair imported with these CryptImportKey flags.
DWORD permissionsOf(DWORD flags);

// The private key of a certificate through its key-provider property; null with the last error
// set (CRYPT_E_NO_KEY_PROPERTY, NTE_BAD_KEYSET, NTE_NO_KEY).
std::shared_ptr<EVP_PKEY> certificatePrivateKey(PCCERT_CONTEXT cert, DWORD* keySpec = nullptr,
                                                DWORD* permissions = nullptr);

}  // namespace orvik::crypt
