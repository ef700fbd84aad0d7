// The integrity check of a PKCS #12 archive: the classic HMAC with a key from the PKCS #12 key
// derivation, and PBMAC1 (PBKDF2 then HMAC) as newer tools write. A form this library cannot check
// is named, so a user is never told "wrong password" for a file that is merely new to us.
#pragma once

#include <openssl/pkcs12.h>

#include <string>

namespace orvik::crypt {

enum class MacCheck {
    Verified,     // the password opens the archive
    Failed,       // wrong password, or the archive was changed
    Unsupported,  // a form we cannot check; `form` names it
};

// `password` null with length 0 stands for "no password at all".
MacCheck checkPkcs12Mac(PKCS12* p12, const char* password, std::string& form);

}  // namespace orvik::crypt
