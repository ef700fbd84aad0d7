// OpenSSL's "default" and "legacy" providers, loaded once for the process: PKCS #12 files from
// Windows protect their certificates with RC2-40, which only the legacy provider reads.
#pragma once

#include "../windef.h"

namespace orvik {

// Loads both on the first call (loading "legacy" alone would switch "default" off). False when
// the legacy provider is not installed: such files then cannot be read.
ORVIK_PLATFORM_API bool loadOpenSslProviders();

}  // namespace orvik
