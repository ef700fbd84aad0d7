// Property values as the entry store keeps them: one tag and its value's bytes. Multi-valued
// values are a 32-bit count followed by a 32-bit length and the bytes of each value.
#pragma once

#include <map>
#include <string>
#include <vector>

#include <wabdefs.h>

namespace orvik::wab {

struct StoredProperty {
    ULONG tag = 0;
    std::string bytes;
};
// Keyed by property id: an entry has one value per id, whatever its type.
using PropertyMap = std::map<ULONG, StoredProperty>;

class PropertyCodec {
public:
    // S_OK, MAPI_E_TYPE_NO_SUPPORT for a type the store does not keep, MAPI_E_INVALID_PARAMETER for
    // a value whose pointers do not match its counts.
    static HRESULT encode(const SPropValue& value, StoredProperty& out);
    // Fills `out`, allocating what it points to onto `parent`. False when the stored bytes are
    // damaged or memory runs out.
    static bool decode(const StoredProperty& stored, SPropValue& out, LPVOID parent);
    static bool supported(ULONG type);
    // GetProps over a set of values: the listed tags in their order, or every value without a
    // list. MAPI_W_ERRORS_RETURNED when a tag has no value (or its stored bytes are damaged).
    static HRESULT getProps(const PropertyMap& all, LPSPropTagArray tags, ULONG* count, LPSPropValue* values);
    // The error value the SDK gives for a tag it has no value for.
    static void setError(ULONG tag, SCODE code, SPropValue& out);
};

}  // namespace orvik::wab
