// The certification authorities the assistant trusts out of the box (deployment data).
#pragma once

#include <string>
#include <vector>

#include "OrvikCryptApi.h"

namespace orvik::builtin {

// The compiled-in set (BuiltinAuthoritiesData.cpp, made by scripts/make-builtin-authorities.sh).
ORVIKCRYPT_API extern const char* const kRoots[4];
ORVIKCRYPT_API extern const char* const kRootThumbprints[4];
ORVIKCRYPT_API extern const char* const kIntermediates[5];

// What DoInstallCerts installs: serialized store entries of the roots and DER certificates of
// the intermediates, as Base64 texts; the deployment's own when the registry names them.
ORVIKCRYPT_API std::vector<std::string> roots();
ORVIKCRYPT_API std::vector<std::string> intermediates();

}  // namespace orvik::builtin
