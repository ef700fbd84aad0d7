#include "TokenSession.h"

#include <openssl/crypto.h>

#include <cstring>

#include <winbase.h>
#include <wincrypt.h>

#include "PinPrompt.h"

namespace orvik::token {

namespace {

// A last stop for a handler that keeps answering; the token's own count locks it sooner.
constexpr int kMaxAttempts = 10;

CK_ATTRIBUTE raw(const Attribute& a) {
    return {a.type, const_cast<BYTE*>(a.value.data()), static_cast<CK_ULONG>(a.value.size())};
}

std::vector<CK_ATTRIBUTE> raw(const Template& t) {
    std::vector<CK_ATTRIBUTE> out;
    out.reserve(t.size());
    for (const auto& a : t) out.push_back(raw(a));
    return out;
}

}  // namespace

Attribute Attribute::of(CK_ATTRIBUTE_TYPE type, const void* data, size_t size) {
    const auto* p = static_cast<const BYTE*>(data);
    return {type, SecretBytes(p, p + size)};
}

Attribute Attribute::ulong(CK_ATTRIBUTE_TYPE type, CK_ULONG value) { return of(type, &value, sizeof value); }

Attribute Attribute::flag(CK_ATTRIBUTE_TYPE type, bool value) {
    CK_BBOOL b = value ? CK_TRUE : CK_FALSE;
    return of(type, &b, sizeof b);
}

Attribute Attribute::bytes(CK_ATTRIBUTE_TYPE type, const std::vector<BYTE>& value) {
    return of(type, value.data(), value.size());
}

Attribute Attribute::bytes(CK_ATTRIBUTE_TYPE type, const SecretBytes& value) { return {type, value}; }

Attribute Attribute::text(CK_ATTRIBUTE_TYPE type, const std::string& value) {
    return of(type, value.data(), value.size());
}

std::string trimmed(const CK_UTF8CHAR* text, size_t size) {
    std::string s(reinterpret_cast<const char*>(text), size);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
    return s;
}

TokenFacts factsOf(const CK_TOKEN_INFO& info) {
    TokenFacts f;
    f.label = trimmed(info.label, sizeof info.label);
    f.manufacturer = trimmed(info.manufacturerID, sizeof info.manufacturerID);
    f.model = trimmed(info.model, sizeof info.model);
    f.serial = trimmed(info.serialNumber, sizeof info.serialNumber);
    f.flags = info.flags;
    return f;
}

TokenSession::TokenSession(CK_FUNCTION_LIST* module, CK_SLOT_ID slot, TokenFacts facts, CK_SESSION_HANDLE session)
    : module_(module), slot_(slot), facts_(std::move(facts)), session_(session) {}

TokenSession::~TokenSession() { close(); }

void TokenSession::close() {
    std::lock_guard guard(lock_);
    if (closed()) return;
    module_->C_CloseSession(session_);
    session_ = CK_INVALID_HANDLE;
}

DWORD errorOf(CK_RV rv) {
    DWORD error = static_cast<DWORD>(NTE_FAIL);
    switch (rv) {
    case CKR_DEVICE_REMOVED:
    case CKR_TOKEN_NOT_PRESENT:
    case CKR_TOKEN_NOT_RECOGNIZED:
    case CKR_SESSION_HANDLE_INVALID:
    case CKR_SESSION_CLOSED: error = static_cast<DWORD>(SCARD_E_NO_SMARTCARD); break;
    case CKR_PIN_LOCKED: error = static_cast<DWORD>(SCARD_W_CHV_BLOCKED); break;
    case CKR_PIN_INCORRECT:
    case CKR_PIN_LEN_RANGE: error = static_cast<DWORD>(SCARD_W_WRONG_CHV); break;
    case CKR_USER_NOT_LOGGED_IN: error = static_cast<DWORD>(NTE_PERM); break;
    case CKR_TOKEN_WRITE_PROTECTED: error = ERROR_ACCESS_DENIED; break;
    case CKR_DEVICE_MEMORY: error = static_cast<DWORD>(NTE_NO_MEMORY); break;
    case CKR_ENCRYPTED_DATA_INVALID:
    case CKR_ENCRYPTED_DATA_LEN_RANGE:
    case CKR_DATA_LEN_RANGE:
    case CKR_DATA_INVALID: error = static_cast<DWORD>(NTE_BAD_DATA); break;
    case CKR_KEY_HANDLE_INVALID:
    case CKR_KEY_TYPE_INCONSISTENT:
    case CKR_KEY_FUNCTION_NOT_PERMITTED: error = static_cast<DWORD>(NTE_BAD_KEY); break;
    case CKR_MECHANISM_INVALID: error = static_cast<DWORD>(NTE_BAD_ALGID); break;
    default: break;
    }
    return error;
}

bool TokenSession::failed(CK_RV rv) {
    SetLastError(errorOf(rv));
    return false;
}

bool TokenSession::alive() {
    std::lock_guard guard(lock_);
    if (closed()) return false;
    CK_SESSION_INFO info{};
    return module_->C_GetSessionInfo(session_, &info) == CKR_OK;
}

bool TokenSession::loggedIn() {
    std::lock_guard guard(lock_);
    if (closed()) return false;
    CK_SESSION_INFO info{};
    if (module_->C_GetSessionInfo(session_, &info) != CKR_OK) return false;
    return info.state == CKS_RW_USER_FUNCTIONS || info.state == CKS_RO_USER_FUNCTIONS;
}

CK_FLAGS TokenSession::currentFlags() {
    CK_TOKEN_INFO info{};
    return module_->C_GetTokenInfo(slot_, &info) == CKR_OK ? info.flags : facts_.flags;
}

bool TokenSession::login(bool silent) {
    std::unique_lock guard(lock_);
    if (closed()) return failed(CKR_DEVICE_REMOVED);
    CK_SESSION_INFO state{};
    CK_RV rv = module_->C_GetSessionInfo(session_, &state);
    if (rv != CKR_OK) return failed(rv);
    if (state.state == CKS_RW_USER_FUNCTIONS || state.state == CKS_RO_USER_FUNCTIONS) return true;
    if (!(currentFlags() & CKF_LOGIN_REQUIRED)) return true;
    if (silent) {
        SetLastError(static_cast<DWORD>(NTE_SILENT_CONTEXT));
        return false;
    }
    std::string previous;
    struct Wipe {
        std::string& s;
        ~Wipe() { OPENSSL_cleanse(s.data(), s.size()); }
    } wipePrevious{previous};
    for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
        const CK_FLAGS flags = currentFlags();
        if (flags & CKF_USER_PIN_LOCKED) return failed(CKR_PIN_LOCKED);
        PinRequest request{facts_.label, attempt > 0, (flags & CKF_USER_PIN_COUNT_LOW) != 0,
                           (flags & CKF_USER_PIN_FINAL_TRY) != 0};
        std::string pin;
        // The question may wait on another thread (a window): others may use the session meanwhile.
        guard.unlock();
        const bool given = askPin(request, pin);
        guard.lock();
        if (!given) {
            OPENSSL_cleanse(pin.data(), pin.size());
            // Declining after a wrong PIN is still a wrong PIN.
            SetLastError(static_cast<DWORD>(attempt > 0 ? SCARD_W_WRONG_CHV : SCARD_W_CANCELLED_BY_USER));
            return false;
        }
        if (closed()) {
            OPENSSL_cleanse(pin.data(), pin.size());
            return failed(CKR_DEVICE_REMOVED);
        }
        // Another thread may have logged in while the question was open.
        if (module_->C_GetSessionInfo(session_, &state) == CKR_OK &&
            (state.state == CKS_RW_USER_FUNCTIONS || state.state == CKS_RO_USER_FUNCTIONS)) {
            OPENSSL_cleanse(pin.data(), pin.size());
            return true;
        }
        // The PIN that was just wrong again: trying it would only spend one of the token's tries.
        if (attempt > 0 && pin == previous) {
            OPENSSL_cleanse(pin.data(), pin.size());
            return failed(CKR_PIN_INCORRECT);
        }
        rv = module_->C_Login(session_, CKU_USER, reinterpret_cast<CK_UTF8CHAR*>(pin.data()),
                              static_cast<CK_ULONG>(pin.size()));
        OPENSSL_cleanse(previous.data(), previous.size());
        previous.swap(pin);
        OPENSSL_cleanse(pin.data(), pin.size());
        if (rv == CKR_OK || rv == CKR_USER_ALREADY_LOGGED_IN) return true;
        if (rv != CKR_PIN_INCORRECT && rv != CKR_PIN_LEN_RANGE) return failed(rv);
    }
    return failed(CKR_PIN_INCORRECT);
}

std::vector<CK_OBJECT_HANDLE> TokenSession::find(const Template& match) {
    std::lock_guard guard(lock_);
    std::vector<CK_OBJECT_HANDLE> found;
    if (closed()) return found;
    auto attributes = raw(match);
    if (module_->C_FindObjectsInit(session_, attributes.data(), static_cast<CK_ULONG>(attributes.size())) != CKR_OK)
        return found;
    CK_OBJECT_HANDLE batch[32];
    CK_ULONG n = 0;
    while (module_->C_FindObjects(session_, batch, 32, &n) == CKR_OK && n > 0)
        found.insert(found.end(), batch, batch + n);
    module_->C_FindObjectsFinal(session_);
    return found;
}

std::optional<std::vector<BYTE>> TokenSession::attribute(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) {
    std::lock_guard guard(lock_);
    if (closed()) return std::nullopt;
    CK_ATTRIBUTE a{type, nullptr, 0};
    if (module_->C_GetAttributeValue(session_, object, &a, 1) != CKR_OK || a.ulValueLen == static_cast<CK_ULONG>(-1))
        return std::nullopt;
    std::vector<BYTE> value(a.ulValueLen);
    a.pValue = value.data();
    if (module_->C_GetAttributeValue(session_, object, &a, 1) != CKR_OK) return std::nullopt;
    value.resize(a.ulValueLen);
    return value;
}

bool TokenSession::create(const Template& attributes, CK_OBJECT_HANDLE* object) {
    std::lock_guard guard(lock_);
    if (closed()) return failed(CKR_DEVICE_REMOVED);
    auto list = raw(attributes);
    CK_RV rv = module_->C_CreateObject(session_, list.data(), static_cast<CK_ULONG>(list.size()), object);
    return rv == CKR_OK || failed(rv);
}

bool TokenSession::destroy(CK_OBJECT_HANDLE object) {
    std::lock_guard guard(lock_);
    if (closed()) return failed(CKR_DEVICE_REMOVED);
    CK_RV rv = module_->C_DestroyObject(session_, object);
    return rv == CKR_OK || failed(rv);
}

bool TokenSession::setAttribute(CK_OBJECT_HANDLE object, const Attribute& value) {
    std::lock_guard guard(lock_);
    if (closed()) return failed(CKR_DEVICE_REMOVED);
    CK_ATTRIBUTE a = raw(value);
    CK_RV rv = module_->C_SetAttributeValue(session_, object, &a, 1);
    return rv == CKR_OK || failed(rv);
}

bool TokenSession::contextPin(CK_OBJECT_HANDLE key, std::string& pin, bool& needed) {
    auto always = attribute(key, CKA_ALWAYS_AUTHENTICATE);
    needed = always && always->size() == 1 && (*always)[0] == CK_TRUE;
    if (!needed) return true;
    // Asked before the operation starts, with the session free meanwhile.
    if (askPin({facts_.label, false, false, false}, pin)) return true;
    SetLastError(static_cast<DWORD>(SCARD_W_CANCELLED_BY_USER));
    return false;
}

bool TokenSession::run(bool decrypting, CK_OBJECT_HANDLE key, CK_MECHANISM_TYPE mechanism, const BYTE* in, size_t size,
                       SecretBytes& out) {
    // Keys that want their PIN for every use (CKA_ALWAYS_AUTHENTICATE) get it right after Init.
    std::string pin;
    bool perUse = false;
    struct Wipe {
        std::string& s;
        ~Wipe() { OPENSSL_cleanse(s.data(), s.size()); }
    } wipe{pin};
    if (!contextPin(key, pin, perUse)) return false;
    std::lock_guard guard(lock_);
    if (closed()) return failed(CKR_DEVICE_REMOVED);
    CK_MECHANISM m{mechanism, nullptr, 0};
    CK_RV rv = decrypting ? module_->C_DecryptInit(session_, &m, key) : module_->C_SignInit(session_, &m, key);
    if (rv != CKR_OK) return failed(rv);
    if (perUse) {
        rv = module_->C_Login(session_, CKU_CONTEXT_SPECIFIC, reinterpret_cast<CK_UTF8CHAR*>(pin.data()),
                              static_cast<CK_ULONG>(pin.size()));
        if (rv != CKR_OK) {
            // Ends the operation that was started.
            SecretBytes ignored(1024);
            CK_ULONG n = static_cast<CK_ULONG>(ignored.size());
            if (decrypting)
                module_->C_Decrypt(session_, const_cast<BYTE*>(in), static_cast<CK_ULONG>(size), ignored.data(), &n);
            else
                module_->C_Sign(session_, const_cast<BYTE*>(in), static_cast<CK_ULONG>(size), ignored.data(), &n);
            return failed(rv);
        }
    }
    auto call = [&](BYTE* to, CK_ULONG* n) {
        return decrypting ? module_->C_Decrypt(session_, const_cast<BYTE*>(in), static_cast<CK_ULONG>(size), to, n)
                          : module_->C_Sign(session_, const_cast<BYTE*>(in), static_cast<CK_ULONG>(size), to, n);
    };
    CK_ULONG n = 0;
    rv = call(nullptr, &n);
    if (rv != CKR_OK) return failed(rv);
    out.assign(n, 0);
    rv = call(out.data(), &n);
    if (rv != CKR_OK) {
        out.clear();
        return failed(rv);
    }
    out.resize(n);
    return true;
}

bool TokenSession::decrypt(CK_OBJECT_HANDLE key, CK_MECHANISM_TYPE mechanism, const BYTE* in, size_t size,
                           SecretBytes& out) {
    return run(true, key, mechanism, in, size, out);
}

bool TokenSession::sign(CK_OBJECT_HANDLE key, CK_MECHANISM_TYPE mechanism, const BYTE* in, size_t size,
                        SecretBytes& out) {
    return run(false, key, mechanism, in, size, out);
}

}  // namespace orvik::token
