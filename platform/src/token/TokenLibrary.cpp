#include "TokenLibrary.h"

#include <p11-kit/p11-kit.h>

#include <cstdlib>
#include <cstring>

#include <orvik/PersonalModule.h>
#include <winbase.h>
#include <wincrypt.h>

namespace orvik::token {

namespace {

// Trust modules hold the system's anchors, not anybody's keys.
bool holdsTrustPolicy(CK_FUNCTION_LIST* module) {
    char* value = p11_kit_config_option(module, "trust-policy");
    bool yes = value && (!std::strcmp(value, "yes") || !std::strcmp(value, "true"));
    std::free(value);
    return yes;
}

// The personal store's own module presents keys of the disk, which the assistant reaches directly.
bool isPersonalStoreModule(CK_FUNCTION_LIST* module) {
    char* file = p11_kit_module_get_filename(module);
    bool yes = false;
    if (file) {
        const char* slash = std::strrchr(file, '/');
        yes = !std::strcmp(slash ? slash + 1 : file, p11::kModuleFile);
    }
    std::free(file);
    return yes;
}

}  // namespace

TokenLibrary& TokenLibrary::instance() {
    // Never destroyed: modules are not finalized while other static objects still tear down.
    static auto* library = new TokenLibrary;
    return *library;
}

void TokenLibrary::loadLocked() {
    if (loaded_) return;
    loaded_ = true;
    CK_FUNCTION_LIST** all = p11_kit_modules_load(nullptr, 0);
    if (!all) return;
    for (CK_FUNCTION_LIST** m = all; *m; ++m) {
        if (holdsTrustPolicy(*m) || isPersonalStoreModule(*m) || p11_kit_module_initialize(*m) != CKR_OK) {
            p11_kit_module_release(*m);
            continue;
        }
        modules_.push_back(*m);
    }
    // Only the array: the modules kept are released one by one in reset().
    std::free(all);
}

std::vector<Slot> TokenLibrary::tokensLocked() {
    loadLocked();
    std::vector<Slot> out;
    for (CK_FUNCTION_LIST* module : modules_) {
        CK_ULONG count = 0;
        if (module->C_GetSlotList(CK_TRUE, nullptr, &count) != CKR_OK || count == 0) continue;
        std::vector<CK_SLOT_ID> slots(count);
        if (module->C_GetSlotList(CK_TRUE, slots.data(), &count) != CKR_OK) continue;
        slots.resize(count);
        for (CK_SLOT_ID slot : slots) {
            CK_TOKEN_INFO info{};
            if (module->C_GetTokenInfo(slot, &info) != CKR_OK || !(info.flags & CKF_TOKEN_INITIALIZED)) continue;
            Slot s{module, slot, factsOf(info)};
            bool seen = false;
            for (const auto& o : out) seen = seen || o.facts.label == s.facts.label;
            if (!seen && !s.facts.label.empty()) out.push_back(std::move(s));
        }
    }
    return out;
}

std::vector<Slot> TokenLibrary::tokens() {
    std::lock_guard guard(lock_);
    return tokensLocked();
}

std::shared_ptr<TokenSession> TokenLibrary::session(const std::string& label) {
    std::lock_guard guard(lock_);
    auto it = sessions_.find(label);
    if (it != sessions_.end()) {
        if (it->second->alive()) return it->second;
        // The token went away: a new one of the label may be there now. Holders of the old
        // session must not reach the module through it after a reset.
        it->second->close();
        sessions_.erase(it);
    }
    for (const Slot& slot : tokensLocked()) {
        if (slot.facts.label != label) continue;
        CK_SESSION_HANDLE handle = CK_INVALID_HANDLE;
        const CK_FLAGS flags = CKF_SERIAL_SESSION | (slot.facts.flags & CKF_WRITE_PROTECTED ? 0 : CKF_RW_SESSION);
        if (CK_RV rv = slot.module->C_OpenSession(slot.id, flags, nullptr, nullptr, &handle); rv != CKR_OK) {
            SetLastError(errorOf(rv));
            return nullptr;
        }
        auto session = std::make_shared<TokenSession>(slot.module, slot.id, slot.facts, handle);
        sessions_[label] = session;
        return session;
    }
    SetLastError(static_cast<DWORD>(SCARD_E_NO_SMARTCARD));
    return nullptr;
}

void TokenLibrary::reset() {
    std::lock_guard guard(lock_);
    // Handles still held keep their session objects, which then only report the token gone.
    for (auto& [label, session] : sessions_) session->close();
    sessions_.clear();
    for (CK_FUNCTION_LIST* module : modules_) {
        p11_kit_module_finalize(module);
        p11_kit_module_release(module);
    }
    modules_.clear();
    loaded_ = false;
}

}  // namespace orvik::token
