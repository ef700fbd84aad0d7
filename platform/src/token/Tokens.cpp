#include <orvik/Tokens.h>

#include "TokenLibrary.h"
#include "TokenProvider.h"
#include "TokenStore.h"

namespace orvik {

std::vector<TokenDescription> listTokens() {
    std::vector<TokenDescription> out;
    auto& library = token::TokenLibrary::instance();
    for (const token::Slot& slot : library.tokens()) {
        TokenDescription d;
        d.label = slot.facts.label;
        d.manufacturer = slot.facts.manufacturer;
        d.model = slot.facts.model;
        d.serial = slot.facts.serial;
        d.loginRequired = slot.facts.flags & CKF_LOGIN_REQUIRED;
        d.writeProtected = slot.facts.flags & CKF_WRITE_PROTECTED;
        d.pinLocked = slot.facts.flags & CKF_USER_PIN_LOCKED;
        if (auto session = library.session(slot.facts.label))
            for (auto& c : token::certificatesOf(*session))
                d.certificates.push_back({c.label, token::containerOf(c.id), std::move(c.der), c.hasKey});
        out.push_back(std::move(d));
    }
    return out;
}

void resetTokens() { token::TokenLibrary::instance().reset(); }

}  // namespace orvik
