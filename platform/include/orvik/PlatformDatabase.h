// The per-user platform database that holds the registry's hives and the address book's entries:
// one connection per process, so that writes to both can go into one transaction.
#pragma once

#include <functional>
#include <memory>

#include "../windef.h"

typedef struct sqlite3 sqlite3;

namespace orvik {

namespace registry {
class RegistryDatabase;
}

// Every write this thread makes to the registry or the address book while a batch lives joins one
// transaction: it applies whole at commit() or, when the batch is dropped or the process dies
// first, not at all. Other threads of the process wait for it.
class ORVIK_PLATFORM_API DatabaseBatch {
public:
    DatabaseBatch();
    ~DatabaseBatch();
    DatabaseBatch(const DatabaseBatch&) = delete;
    DatabaseBatch& operator=(const DatabaseBatch&) = delete;
    // ERROR_SUCCESS when the batch began; a registry error code otherwise (busy, unreadable).
    LONG rc() const { return rc_; }
    LONG commit();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    LONG rc_;
};

// The connection for the address book module, which keeps its tables in the same file.
class ORVIK_PLATFORM_API PlatformDatabase {
public:
    // The process's connection to the current user's database; null, with `error` set to a SQLite
    // code, when it cannot be opened.
    static std::shared_ptr<PlatformDatabase> open(int& error);
    ~PlatformDatabase();
    PlatformDatabase(const PlatformDatabase&) = delete;
    PlatformDatabase& operator=(const PlatformDatabase&) = delete;

    // Runs `work` on the connection under its lock; with `write`, inside a transaction of its own
    // (a savepoint in this thread's batch) that commits when `work` returns true and rolls back
    // otherwise. The SQLite code of BEGIN or COMMIT; SQLITE_OK when `work` declined.
    int run(bool write, const std::function<bool(sqlite3*)>& work);

private:
    explicit PlatformDatabase(std::shared_ptr<registry::RegistryDatabase> db);
    std::shared_ptr<registry::RegistryDatabase> db_;
};

}  // namespace orvik
