// Values of the current user's registry as a test writes and reads them, beside the library.
#pragma once

#include <string>

#include <windows.h>

namespace orvik::test {

// Creates the key under HKEY_CURRENT_USER when needed; throws std::runtime_error when it cannot.
void setUserValue(const std::string& key, const char* name, DWORD type, const std::string& bytes);
// A REG_BINARY value of at most 64 bytes; false when the key or value is missing or of another type.
bool readUserBinary(const std::string& key, const char* name, std::string& out);

}  // namespace orvik::test
