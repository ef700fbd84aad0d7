// One read-write session on a PKCS#11 token, shared by every handle of the process that uses the
// token. A token's login belongs to the application, so one login serves them all.
#pragma once

#include <p11-kit/pkcs11.h>

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <orvik/Secret.h>
#include <windef.h>

namespace orvik::token {

struct Attribute {
    CK_ATTRIBUTE_TYPE type;
    SecretBytes value;  // templates carry a key's private numbers on import

    static Attribute of(CK_ATTRIBUTE_TYPE type, const void* data, size_t size);
    static Attribute ulong(CK_ATTRIBUTE_TYPE type, CK_ULONG value);
    static Attribute flag(CK_ATTRIBUTE_TYPE type, bool value);
    static Attribute bytes(CK_ATTRIBUTE_TYPE type, const std::vector<BYTE>& value);
    static Attribute bytes(CK_ATTRIBUTE_TYPE type, const SecretBytes& value);
    static Attribute text(CK_ATTRIBUTE_TYPE type, const std::string& value);
};
using Template = std::vector<Attribute>;

// The token's own description, trimmed of the blanks PKCS#11 pads it with.
struct TokenFacts {
    std::string label, manufacturer, model, serial;
    CK_FLAGS flags = 0;
};

std::string trimmed(const CK_UTF8CHAR* text, size_t size);
// The last error a module's result stands for.
DWORD errorOf(CK_RV rv);
TokenFacts factsOf(const CK_TOKEN_INFO& info);

class TokenSession {
public:
    TokenSession(CK_FUNCTION_LIST* module, CK_SLOT_ID slot, TokenFacts facts, CK_SESSION_HANDLE session);
    ~TokenSession();
    TokenSession(const TokenSession&) = delete;
    TokenSession& operator=(const TokenSession&) = delete;

    const TokenFacts& facts() const { return facts_; }
    // Ends the session for good; the module may go away after this.
    void close();
    // False once the token has gone or the session has been closed under us.
    bool alive();
    bool loggedIn();
    // Logs the user in, asking the PIN through the installed handler until it is right, the user
    // declines or the token locks it. `silent` forbids asking (NTE_SILENT_CONTEXT). The last
    // error says why it failed: SCARD_W_WRONG_CHV, SCARD_W_CHV_BLOCKED, SCARD_W_CANCELLED_BY_USER
    // or SCARD_E_NO_SMARTCARD.
    bool login(bool silent);

    std::vector<CK_OBJECT_HANDLE> find(const Template& match);
    std::optional<std::vector<BYTE>> attribute(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type);
    bool create(const Template& attributes, CK_OBJECT_HANDLE* object);
    bool destroy(CK_OBJECT_HANDLE object);
    bool setAttribute(CK_OBJECT_HANDLE object, const Attribute& value);
    bool decrypt(CK_OBJECT_HANDLE key, CK_MECHANISM_TYPE mechanism, const BYTE* in, size_t size, SecretBytes& out);
    bool sign(CK_OBJECT_HANDLE key, CK_MECHANISM_TYPE mechanism, const BYTE* in, size_t size, SecretBytes& out);

private:
    // Sets the last error for a module result; always false.
    bool failed(CK_RV rv);
    CK_FLAGS currentFlags();
    // The PIN a key that wants one for every use needs; `needed` false for any other key.
    bool contextPin(CK_OBJECT_HANDLE key, std::string& pin, bool& needed);
    bool run(bool decrypting, CK_OBJECT_HANDLE key, CK_MECHANISM_TYPE mechanism, const BYTE* in, size_t size,
             SecretBytes& out);
    bool closed() const { return session_ == CK_INVALID_HANDLE; }

    std::mutex lock_;  // a session serves one call at a time
    CK_FUNCTION_LIST* module_;
    CK_SLOT_ID slot_;
    TokenFacts facts_;
    CK_SESSION_HANDLE session_;
};

}  // namespace orvik::token
