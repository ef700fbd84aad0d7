// The per-user database that holds the three hives. One connection per process and database
// file; every write is one immediate transaction, so concurrent processes never lose a value.
#pragma once

#include <sqlite3.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <windef.h>

namespace orvik::registry {

struct ValueRecord {
    std::string name;
    DWORD type = 0;
    std::vector<BYTE> data;
};

struct KeyRecord {
    int64_t id = 0;
    std::string name;
    int64_t written = 0;  // FILETIME ticks of the last change
};

class RegistryDatabase {
public:
    enum Hive : int64_t { ClassesRoot = 1, CurrentUser = 2, LocalMachine = 3 };

    // The database of the current ORVIK_HOME, opened on first use. Null (with *error set) when it
    // cannot be opened or is damaged; the next call tries again.
    static std::shared_ptr<RegistryDatabase> current(LONG* error);

    ~RegistryDatabase();
    RegistryDatabase(const RegistryDatabase&) = delete;
    RegistryDatabase& operator=(const RegistryDatabase&) = delete;

    const std::string& path() const { return path_; }

    // Key operations. Paths are already split into names. A key id of 0 never exists.
    LONG findKey(int64_t from, const std::vector<std::string>& names, int64_t& id);
    LONG createKey(int64_t from, const std::vector<std::string>& names, int64_t& id, bool& created);
    LONG deleteKey(int64_t parent, const std::string& name);
    LONG subKeyAt(int64_t id, DWORD index, KeyRecord& out);

    // Value operations on a key id.
    LONG getValue(int64_t key, std::string_view name, ValueRecord& out);
    LONG setValue(int64_t key, std::string_view name, DWORD type, const BYTE* data, size_t size);
    LONG deleteValue(int64_t key, std::string_view name);
    LONG valueAt(int64_t key, DWORD index, ValueRecord& out);
    // One value of every subkey, in key order: (subkey name, value) for the subkeys that have it.
    LONG subKeyValues(int64_t id, std::string_view valueName, std::vector<std::pair<std::string, ValueRecord>>& out);

    // Case folding as the registry compares names.
    static std::string fold(std::string_view name);

    // For the address book, whose tables share the file: runs `work` on the connection under its
    // lock; with `write`, inside a transaction of its own (a savepoint in this thread's batch),
    // committed when `work` returns true and rolled back otherwise. The SQLite code of BEGIN or
    // COMMIT; SQLITE_OK when `work` declined.
    int run(bool write, const std::function<bool(sqlite3*)>& work);

    // Every registry call this thread makes on the database while a batch lives joins one
    // transaction, which applies whole at commit or not at all; other threads wait for it.
    class Batch {
    public:
        explicit Batch(std::shared_ptr<RegistryDatabase> db);
        ~Batch();  // rolls back what was not committed
        Batch(const Batch&) = delete;
        Batch& operator=(const Batch&) = delete;
        LONG rc() const { return rc_; }  // whether the batch began
        LONG commit();

    private:
        void end();
        std::shared_ptr<RegistryDatabase> db_;
        LONG rc_;
        bool active_ = false;
    };

private:
    explicit RegistryDatabase(std::string path);
    LONG open();
    LONG resultOf(int rc) const;
    // The caller holds lock_.
    LONG checkKey(int64_t id);   // ERROR_KEY_DELETED when the key is gone
    LONG endOfList(int64_t id);  // what an index past the end means: no more items, or a gone key
    LONG touch(int64_t id, int64_t when);
    LONG createKeyLocked(int64_t from, const std::vector<std::string>& names, int64_t& id, bool& created);

    class Statement;
    class Transaction;
    class Lock;
    friend class Statement;
    friend class Transaction;
    friend class Lock;

    bool inBatch() const { return batchThread_.load() == std::this_thread::get_id(); }

    struct CachedStatement {
        sqlite3_stmt* stmt = nullptr;
        bool busy = false;
    };

    std::string path_;
    sqlite3* db_ = nullptr;
    std::map<const char*, CachedStatement> statements_;  // keyed by the SQL text's address
    std::mutex lock_;
    std::atomic<std::thread::id> batchThread_{};
};

}  // namespace orvik::registry
