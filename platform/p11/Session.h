// A session of the module's token: a search in progress and the operations started in it. Its
// own lock lets two threads sign in two sessions at once.
#pragma once

#include <p11-kit/pkcs11.h>

#include <memory>
#include <mutex>
#include <vector>

#include "KeyOperation.h"

namespace orvik::p11 {

struct Session {
    CK_SESSION_HANDLE handle = 0;
    CK_FLAGS flags = 0;
    std::mutex lock;
    bool finding = false;
    std::vector<CK_OBJECT_HANDLE> found;
    size_t next = 0;
    std::unique_ptr<KeyOperation> sign, decrypt;
};

}  // namespace orvik::p11
