// The address book's entries in the per-user platform database, in tables of their own beside the
// registry's. One connection per address-book session; every change is one transaction, so
// several processes may use the book at once.
#pragma once

#include <sqlite3.h>

#include <array>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "PropertyCodec.h"

namespace orvik::wab {

using EntryKey = std::array<BYTE, 16>;

struct EntryRow {
    EntryKey key{};
    ULONG type = MAPI_MAILUSER;
    std::optional<std::string> displayName, email;
};

class EntryStore {
public:
    // S_OK, MAPI_E_DISK_ERROR when the database cannot be opened, MAPI_E_CORRUPT_DATA when it is
    // damaged.
    static HRESULT open(std::shared_ptr<EntryStore>& out);
    ~EntryStore();
    EntryStore(const EntryStore&) = delete;
    EntryStore& operator=(const EntryStore&) = delete;

    // Every entry, in the order they were created.
    HRESULT rows(std::vector<EntryRow>& out);
    // MAPI_E_NOT_FOUND when the entry is not (or no longer) there.
    HRESULT load(const EntryKey& key, ULONG& type, PropertyMap& props);
    // Writes the changed values and removes the deleted ones; MAPI_E_OBJECT_DELETED when the entry
    // went meanwhile.
    HRESULT update(const EntryKey& key, const PropertyMap& changed, const std::set<ULONG>& deleted);
    // A new entry with all its values; MAPI_E_COLLISION, storing nothing, when `checkDuplicate` and
    // a mail user with the same display name and e-mail address is there.
    HRESULT create(const EntryKey& key, ULONG type, const PropertyMap& props, bool checkDuplicate);
    // Removes the entries that are there; `removed` counts them.
    HRESULT remove(const std::vector<EntryKey>& keys, size_t& removed);

    // 16 random bytes, never all zero (the zero key names the container).
    static EntryKey newKey();

private:
    explicit EntryStore(sqlite3* db) : db_(db) {}
    HRESULT resultOf(int rc) const;
    int64_t seqOf(const EntryKey& key, int& rc);
    HRESULT writeValues(int64_t seq, const PropertyMap& props);
    bool duplicateExists(const PropertyMap& props, int& rc);

    sqlite3* db_;
    std::mutex lock_;
};

}  // namespace orvik::wab
