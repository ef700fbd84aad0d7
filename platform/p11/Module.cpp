#include "Module.h"

#include <unistd.h>

namespace orvik::p11 {

Module& Module::instance() {
    // Never destroyed: a client may call in while the process's static objects tear down.
    static auto* module = new Module;
    return *module;
}

CK_RV Module::initialize(const CK_C_INITIALIZE_ARGS* args) {
    if (args) {
        if (args->pReserved) return CKR_ARGUMENTS_BAD;
        const bool some = args->CreateMutex || args->DestroyMutex || args->LockMutex || args->UnlockMutex;
        const bool all = args->CreateMutex && args->DestroyMutex && args->LockMutex && args->UnlockMutex;
        if (some && !all) return CKR_ARGUMENTS_BAD;
        // Only the system's own locks are used; an application that offers only its own cannot have us.
        if (some && !(args->flags & CKF_OS_LOCKING_OK)) return CKR_CANT_LOCK;
    }
    std::lock_guard guard(lock_);
    if (initialized_ && initializedIn_ == getpid()) return CKR_CRYPTOKI_ALREADY_INITIALIZED;
    initialized_ = true;
    initializedIn_ = getpid();
    loggedIn_ = false;
    sessions_.clear();
    return CKR_OK;
}

CK_RV Module::finalize() {
    std::lock_guard guard(lock_);
    if (!initialized_ || initializedIn_ != getpid()) return CKR_CRYPTOKI_NOT_INITIALIZED;
    initialized_ = false;
    loggedIn_ = false;
    sessions_.clear();
    // No key stays in memory once the application is done with the module.
    token_.clear();
    return CKR_OK;
}

bool Module::initialized() {
    std::lock_guard guard(lock_);
    return initialized_ && initializedIn_ == getpid();
}

CK_RV Module::openSession(CK_SLOT_ID slot, CK_FLAGS flags, CK_SESSION_HANDLE* out) {
    if (!initialized()) return CKR_CRYPTOKI_NOT_INITIALIZED;
    if (slot != kSlot) return CKR_SLOT_ID_INVALID;
    if (!(flags & CKF_SERIAL_SESSION)) return CKR_SESSION_PARALLEL_NOT_SUPPORTED;
    if (flags & CKF_RW_SESSION) return CKR_TOKEN_WRITE_PROTECTED;
    if (!out) return CKR_ARGUMENTS_BAD;
    // A new session sees what other processes imported or deleted since.
    token_.refresh();
    auto session = std::make_shared<Session>();
    session->flags = flags;
    std::lock_guard guard(lock_);
    session->handle = nextSession_++;
    sessions_.emplace(session->handle, session);
    *out = session->handle;
    return CKR_OK;
}

CK_RV Module::closeSession(CK_SESSION_HANDLE handle) {
    std::lock_guard guard(lock_);
    if (!initialized_ || initializedIn_ != getpid()) return CKR_CRYPTOKI_NOT_INITIALIZED;
    // Another thread still in the session keeps it alive until it returns.
    if (!sessions_.erase(handle)) return CKR_SESSION_HANDLE_INVALID;
    if (sessions_.empty()) loggedIn_ = false;
    return CKR_OK;
}

CK_RV Module::closeAllSessions(CK_SLOT_ID slot) {
    std::lock_guard guard(lock_);
    if (!initialized_ || initializedIn_ != getpid()) return CKR_CRYPTOKI_NOT_INITIALIZED;
    if (slot != kSlot) return CKR_SLOT_ID_INVALID;
    sessions_.clear();
    loggedIn_ = false;
    return CKR_OK;
}

std::shared_ptr<Session> Module::session(CK_SESSION_HANDLE handle, CK_RV& rv) {
    std::lock_guard guard(lock_);
    if (!initialized_ || initializedIn_ != getpid()) {
        rv = CKR_CRYPTOKI_NOT_INITIALIZED;
        return nullptr;
    }
    auto it = sessions_.find(handle);
    if (it == sessions_.end()) {
        rv = CKR_SESSION_HANDLE_INVALID;
        return nullptr;
    }
    rv = CKR_OK;
    return it->second;
}

size_t Module::sessionCount() {
    std::lock_guard guard(lock_);
    return sessions_.size();
}

// The token needs no login: the keys are the user's own files. A login is taken and kept so
// applications that log in anyway see the states they expect.
CK_RV Module::login(CK_USER_TYPE user) {
    std::lock_guard guard(lock_);
    if (user == CKU_SO) return CKR_SESSION_READ_ONLY_EXISTS;
    if (user == CKU_CONTEXT_SPECIFIC) return CKR_OPERATION_NOT_INITIALIZED;
    if (user != CKU_USER) return CKR_USER_TYPE_INVALID;
    if (loggedIn_) return CKR_USER_ALREADY_LOGGED_IN;
    loggedIn_ = true;
    return CKR_OK;
}

CK_RV Module::logout() {
    std::lock_guard guard(lock_);
    if (!loggedIn_) return CKR_USER_NOT_LOGGED_IN;
    loggedIn_ = false;
    return CKR_OK;
}

bool Module::loggedIn() {
    std::lock_guard guard(lock_);
    return loggedIn_;
}

}  // namespace orvik::p11
