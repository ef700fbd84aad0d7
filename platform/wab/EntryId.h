// Entry identifiers as callers see them: four flag bytes (zero) and the 16-byte key of the entry.
// The zero key names the personal address book's container; the template key names the one kind
// of new entry the container makes.
#pragma once

#include <string>

#include "EntryStore.h"

namespace orvik::wab {

class EntryId {
public:
    static constexpr ULONG kSize = 20;
    static const EntryKey& containerKey();
    static const EntryKey& mailUserTemplateKey();

    // False for a null, short or long identifier, or one with flags set.
    static bool parse(ULONG size, const ENTRYID* id, EntryKey& key);
    static std::string bytes(const EntryKey& key);
    // A copy in a block of its own (parent null) or of `parent`; null when memory runs out.
    static LPENTRYID allocate(const EntryKey& key, LPVOID parent);
};

}  // namespace orvik::wab
