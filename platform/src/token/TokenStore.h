// The certificates kept on tokens, as the user's personal store shows them.
#pragma once

#include <string>
#include <vector>

#include <windef.h>

#include "../crypt/CertStore.h"
#include "TokenLibrary.h"

namespace orvik::token {

struct TokenCert {
    std::vector<BYTE> id;
    std::string label;
    std::vector<BYTE> der;
    bool hasKey = false;
};

// Every X.509 certificate object of a token.
std::vector<TokenCert> certificatesOf(TokenSession& session);

// Adds the present tokens' own certificates (not the authorities some tokens also carry) to a
// personal store being opened, each with the key-provider property that names its token and
// key pair. Certificates the store already holds keep their entries. Nothing is written to the
// registry: a token taken out takes its certificates with it.
void appendTokenCertificates(crypt::StoreCore& core);

}  // namespace orvik::token
