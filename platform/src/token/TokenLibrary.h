// The PKCS#11 modules p11-kit knows, loaded once per process, and the tokens in their slots.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "TokenSession.h"

namespace orvik::token {

struct Slot {
    CK_FUNCTION_LIST* module = nullptr;
    CK_SLOT_ID id = 0;
    TokenFacts facts;
};

class TokenLibrary {
public:
    static TokenLibrary& instance();

    // Initialised tokens present now. The first of two tokens with one label hides the other.
    std::vector<Slot> tokens();
    // The process's session on the token of this label, opened on first use; null with last
    // error SCARD_E_NO_SMARTCARD when no such token is present.
    std::shared_ptr<TokenSession> session(const std::string& label);
    // Closes every session and finalizes the modules; the next call loads them again.
    void reset();

private:
    TokenLibrary() = default;
    void loadLocked();
    std::vector<Slot> tokensLocked();

    std::mutex lock_;
    bool loaded_ = false;
    std::vector<CK_FUNCTION_LIST*> modules_;
    std::map<std::string, std::shared_ptr<TokenSession>> sessions_;
};

}  // namespace orvik::token
