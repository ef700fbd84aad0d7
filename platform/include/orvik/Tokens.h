// PKCS#11 tokens reached through p11-kit: each present token is a provider named by its label,
// whose key containers are the token's key pairs, named by their CKA_ID in hex. Keys never leave
// the token; certificates kept on a token appear in the user's personal store.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "../windef.h"

namespace orvik {

struct TokenCertificate {
    std::string label;      // CKA_LABEL: the friendly name
    std::string container;  // CKA_ID in hex, the key container's name
    std::vector<unsigned char> der;
    bool hasKey = false;  // a key pair with the same CKA_ID is on the token
};

struct TokenDescription {
    std::string label, manufacturer, model, serial;
    bool loginRequired = false;
    bool writeProtected = false;
    bool pinLocked = false;
    std::vector<TokenCertificate> certificates;
};

// Present, initialised tokens of every module p11-kit knows, trust modules left out.
ORVIK_PLATFORM_API std::vector<TokenDescription> listTokens();

// Logs out of every token, closes the sessions and loads the modules afresh on next use, so a
// token inserted or removed since is seen as it is now.
ORVIK_PLATFORM_API void resetTokens();

// A question for a token's PIN. `retry` after a wrong PIN; the counts are the token's warnings.
struct PinRequest {
    std::string token;
    bool retry = false;
    bool countLow = false;
    bool finalTry = false;
};

// Fills `pin` and returns true, or returns false for a user who declines. A program installs its
// own (the GUI asks in a dialog); with none installed every question is declined.
using PinHandler = std::function<bool(const PinRequest& request, std::string& pin)>;

// Installs the handler for the whole process and returns the one it replaces.
ORVIK_PLATFORM_API PinHandler setPinHandler(PinHandler handler);

}  // namespace orvik
