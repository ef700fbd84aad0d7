// Certificate and CRL times against the clock. OpenSSL's X509_cmp_time refuses times with an offset
// from UTC or without seconds, which real authorities issue; these read every form it parses.
#pragma once

#include <openssl/asn1.h>

#include "../windef.h"

namespace orvik {

// Seconds from now until `t` (negative when it is past); false when `t` cannot be read.
ORVIK_PLATFORM_API bool secondsFromNow(const ASN1_TIME* t, long long& seconds);

}  // namespace orvik
