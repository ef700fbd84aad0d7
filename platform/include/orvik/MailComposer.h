// Opens the desktop's mail composer with recipients and one attachment, as the platform's simple
// mail call does elsewhere: xdg-email, run with an argument list and never through a shell.
#pragma once

#include <string>
#include <vector>

#include "../windef.h"

namespace orvik {

// Addresses that are empty, begin with "-" or hold blanks or control characters are left out:
// they would be read as options or split into several. The attachment is made absolute. True when
// the composer was started and did not report a failure.
ORVIK_PLATFORM_API bool composeMail(const std::vector<std::string>& to, const std::string& attachment);

// The addresses composeMail passes on, in order.
ORVIK_PLATFORM_API std::vector<std::string> usableAddresses(const std::vector<std::string>& to);

}  // namespace orvik
