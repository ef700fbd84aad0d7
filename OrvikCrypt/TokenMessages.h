// What a token's failure means to the user.
#pragma once

#include <cstdint>

#include "OrvikCryptApi.h"

// The sentence for a token's result code (no device, wrong or locked PIN, PIN declined); null
// for any other code.
ORVIKCRYPT_API const char* TokenErrorText(uint32_t error);
