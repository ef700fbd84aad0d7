// The address book's entries in the per-user platform database, in tables of their own beside the
// registry's, through the process's one connection to it. Every change is one transaction, so
// several processes may use the book at once; in a batch (orvik::DatabaseBatch) the changes of a
// whole import and the registry's go in together.
#pragma once

#include <sqlite3.h>

#include <array>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <orvik/PlatformDatabase.h>

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
    explicit EntryStore(std::shared_ptr<PlatformDatabase> db) : db_(std::move(db)) {}
    static HRESULT resultOf(int rc);
    // `work` in one transaction, committed when it succeeds.
    HRESULT change(const std::function<HRESULT(sqlite3*)>& work);
    HRESULT read(const std::function<HRESULT(sqlite3*)>& work);
    static int64_t seqOf(sqlite3* db, const EntryKey& key, int& rc);
    static HRESULT writeValues(sqlite3* db, int64_t seq, const PropertyMap& props);
    static bool duplicateExists(sqlite3* db, const PropertyMap& props, int& rc);

    std::shared_ptr<PlatformDatabase> db_;
};

}  // namespace orvik::wab
