#include <orvik/PlatformDatabase.h>

#include <winerror.h>

#include "RegistryDatabase.h"

namespace orvik {

struct DatabaseBatch::Impl {
    std::unique_ptr<registry::RegistryDatabase::Batch> batch;
};

DatabaseBatch::DatabaseBatch() : impl_(std::make_unique<Impl>()), rc_(ERROR_SUCCESS) {
    std::shared_ptr<registry::RegistryDatabase> db = registry::RegistryDatabase::current(&rc_);
    if (!db) return;
    impl_->batch = std::make_unique<registry::RegistryDatabase::Batch>(db);
    rc_ = impl_->batch->rc();
}

DatabaseBatch::~DatabaseBatch() = default;

LONG DatabaseBatch::commit() {
    if (!impl_->batch) return rc_ != ERROR_SUCCESS ? rc_ : ERROR_INVALID_PARAMETER;
    return impl_->batch->commit();
}

std::shared_ptr<PlatformDatabase> PlatformDatabase::open(int& error) {
    LONG rc = ERROR_SUCCESS;
    std::shared_ptr<registry::RegistryDatabase> db = registry::RegistryDatabase::current(&rc);
    if (!db) {
        error = rc == ERROR_REGISTRY_CORRUPT ? SQLITE_CORRUPT : rc == ERROR_DISK_FULL ? SQLITE_FULL : SQLITE_CANTOPEN;
        return nullptr;
    }
    error = SQLITE_OK;
    return std::shared_ptr<PlatformDatabase>(new PlatformDatabase(std::move(db)));
}

PlatformDatabase::PlatformDatabase(std::shared_ptr<registry::RegistryDatabase> db) : db_(std::move(db)) {}

PlatformDatabase::~PlatformDatabase() = default;

int PlatformDatabase::run(bool write, const std::function<bool(sqlite3*)>& work) { return db_->run(write, work); }

}  // namespace orvik
