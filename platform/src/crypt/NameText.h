// Distinguished names as text, the way Windows prints them.
#pragma once

#include <string>
#include <vector>

#include <wincrypt.h>

#include "Der.h"

namespace orvik::crypt {

struct NameAttribute {
    std::string oid;
    std::string value;  // UTF-8; "#" and hex of the encoding for values that are not text
    bool text = true;   // false for the "#" form, which is never quoted
};
using NameRdn = std::vector<NameAttribute>;

// The RDNs of an encoded Name in their encoded order; false for a damaged encoding.
bool parseName(const BYTE* data, size_t size, std::vector<NameRdn>& out);

// CertNameToStrA's text for a string type and its flags.
std::string nameToString(const std::vector<NameRdn>& name, DWORD strType);

// rfc822Name entries of a GeneralNames extension value, in order.
std::vector<std::string> rfc822Names(const BYTE* data, size_t size);

}  // namespace orvik::crypt
