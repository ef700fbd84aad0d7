// tokens: the PKCS#11 tokens p11-kit reaches and the certificates on them. Also the PIN question
// every command asks when it uses a token's key: ORVIK_PIN, else the terminal.
#include <cstdio>
#include <cstdlib>
#include <string>

#include <Encodings.h>
#include <openssl/sha.h>
#include <orvik/Tokens.h>
#include <wincrypt.h>

#include "Command.h"
#include "Options.h"

namespace orvikctl {
namespace {

bool readPinFromTerminal(const orvik::PinRequest& r, std::string& pin) {
    std::string prompt = "PIN of token \"" + r.token + "\"";
    if (r.retry) prompt += " (wrong PIN, try again)";
    if (r.finalTry) prompt += " (last try before the token locks the PIN)";
    orvik::SecretString typed;
    // An empty line declines.
    if (!readFromTerminal(prompt + ": ", typed)) return false;
    pin.assign(typed.begin(), typed.end());
    return true;
}

bool askPin(const orvik::PinRequest& r, std::string& pin) {
    if (const char* given = std::getenv("ORVIK_PIN")) {
        // The same PIN again would only spend the token's tries.
        if (r.retry) return false;
        pin = given;
        return true;
    }
    return readPinFromTerminal(r, pin);
}

const bool pinPrompt = (orvik::setPinHandler(askPin), true);

std::string orDash(const std::string& s) { return s.empty() ? "-" : s; }

}  // namespace

std::string tokenProblem(unsigned long error) {
    switch (static_cast<HRESULT>(error)) {
    case SCARD_E_NO_SMARTCARD: return "the token is not present";
    case SCARD_W_WRONG_CHV: return "wrong PIN";
    case SCARD_W_CHV_BLOCKED: return "the token's PIN is locked";
    case SCARD_W_CANCELLED_BY_USER: return "no PIN given (set ORVIK_PIN or run on a terminal)";
    default: return "";
    }
}

namespace {

int tokens(const Args& args) {
    Parsed p = parseOptions(args, {});
    if (!p.ok) return fail(p.error);
    if (!p.positional.empty()) return usage("tokens");
    // token lines: label, manufacturer, model, serial, state; certificate lines below each,
    // indented: thumbprint, friendly name, key container, whether its key pair is there
    for (const auto& t : orvik::listTokens()) {
        std::string state = t.pinLocked ? "pin-locked" : t.loginRequired ? "pin" : "no-pin";
        if (t.writeProtected) state += ",read-only";
        std::printf("%s\t%s\t%s\t%s\t%s\n", t.label.c_str(), orDash(t.manufacturer).c_str(), orDash(t.model).c_str(),
                    orDash(t.serial).c_str(), state.c_str());
        for (const auto& c : t.certificates) {
            unsigned char sha1[SHA_DIGEST_LENGTH];
            SHA1(c.der.data(), c.der.size(), sha1);
            std::string thumb = BinToThumb(std::string_view(reinterpret_cast<char*>(sha1), sizeof sha1));
            std::printf("\t%s\t%s\t%s\t%s\n", thumb.c_str(), orDash(c.label).c_str(), orDash(c.container).c_str(),
                        c.hasKey ? "key" : "-");
        }
    }
    return Ok;
}

const bool added = registered({
    {"tokens", "", "the PKCS#11 tokens present and the certificates on them (a key's PIN: ORVIK_PIN or the terminal)",
     tokens},
});

}  // namespace
}  // namespace orvikctl
