// The serialized store element that Windows keeps as a registry entry's "Blob": records of
// {property id, 1, length, bytes}, the properties first, then the certificate as record 32.
#pragma once

#include <vector>

#include <windef.h>

#include "CertContext.h"

namespace orvik::crypt {

std::vector<BYTE> encodeElement(const Properties& props, const std::vector<BYTE>& der);

// Splits an element into its properties (unknown ids kept byte for byte) and the certificate.
// False for a truncated or inconsistent element, or one without a certificate record.
bool decodeElement(const BYTE* data, size_t size, Properties& props, std::vector<BYTE>& der);

}  // namespace orvik::crypt
