// The module's state for the whole process: initialisation, the sessions, the token. Every
// PKCS#11 entry point checks its arguments and state here, in the order the standard gives its
// return codes.
#pragma once

#include <p11-kit/pkcs11.h>
#include <sys/types.h>

#include <map>
#include <memory>
#include <mutex>

#include "PersonalToken.h"
#include "Session.h"

namespace orvik::p11 {

inline constexpr CK_SLOT_ID kSlot = 1;

class Module {
public:
    static Module& instance();

    CK_RV initialize(const CK_C_INITIALIZE_ARGS* args);
    CK_RV finalize();
    bool initialized();

    CK_RV openSession(CK_SLOT_ID slot, CK_FLAGS flags, CK_SESSION_HANDLE* out);
    CK_RV closeSession(CK_SESSION_HANDLE handle);
    CK_RV closeAllSessions(CK_SLOT_ID slot);
    // CKR_CRYPTOKI_NOT_INITIALIZED or CKR_SESSION_HANDLE_INVALID when null.
    std::shared_ptr<Session> session(CK_SESSION_HANDLE handle, CK_RV& rv);
    size_t sessionCount();

    CK_RV login(CK_USER_TYPE user);
    CK_RV logout();
    bool loggedIn();

    PersonalToken& token() { return token_; }

private:
    Module() = default;

    std::mutex lock_;
    bool initialized_ = false;
    pid_t initializedIn_ = 0;  // a child of a fork starts anew
    bool loggedIn_ = false;
    std::map<CK_SESSION_HANDLE, std::shared_ptr<Session>> sessions_;
    CK_SESSION_HANDLE nextSession_ = 1;
    PersonalToken token_;
};

}  // namespace orvik::p11
