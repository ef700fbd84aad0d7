// The certification authorities the assistant trusts out of the box (deployment data).
#pragma once

namespace orvik::builtin {

extern const char* const kRoots[4];
extern const char* const kRootThumbprints[4];
extern const char* const kIntermediates[5];

}  // namespace orvik::builtin

#include <string>
#include <vector>

namespace orvik::builtin {
// What DoInstallCerts installs: serialized store entries of the roots and DER certificates of
// the intermediates, as Base64 texts.
std::vector<std::string> roots();
std::vector<std::string> intermediates();
}  // namespace orvik::builtin
