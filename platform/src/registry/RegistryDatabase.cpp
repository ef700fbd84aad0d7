#include "RegistryDatabase.h"

#include <clocale>
#include <cwctype>
#include <ctime>
#include <locale.h>

#include <orvik/Home.h>
#include <winerror.h>

namespace orvik::registry {

namespace {

constexpr int kBusyTimeoutMs = 15000;

const char* const kSchema = R"sql(
CREATE TABLE IF NOT EXISTS reg_keys(
    id INTEGER PRIMARY KEY,
    parent INTEGER NOT NULL,
    name TEXT NOT NULL,
    fold TEXT NOT NULL,
    written INTEGER NOT NULL,
    UNIQUE(parent, fold));
CREATE TABLE IF NOT EXISTS reg_values(
    seq INTEGER PRIMARY KEY,
    key INTEGER NOT NULL,
    name TEXT NOT NULL,
    fold TEXT NOT NULL,
    type INTEGER NOT NULL,
    data BLOB NOT NULL,
    UNIQUE(key, fold));
INSERT OR IGNORE INTO reg_keys(id, parent, name, fold, written) VALUES
    (1, 0, 'HKEY_CLASSES_ROOT', 'HKEY_CLASSES_ROOT', 0),
    (2, 0, 'HKEY_CURRENT_USER', 'HKEY_CURRENT_USER', 0),
    (3, 0, 'HKEY_LOCAL_MACHINE', 'HKEY_LOCAL_MACHINE', 0);
)sql";

int64_t nowAsFileTime() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    // FILETIME counts 100 ns ticks since 1601-01-01.
    return (static_cast<int64_t>(ts.tv_sec) + 11644473600LL) * 10000000LL + ts.tv_nsec / 100;
}

std::mutex& registryLock() {
    static std::mutex lock;
    return lock;
}

std::shared_ptr<RegistryDatabase>& cached() {
    static std::shared_ptr<RegistryDatabase> db;
    return db;
}

// Decodes one UTF-8 character; a malformed byte stands for itself.
char32_t decode(std::string_view s, size_t& i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t n = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
    if (n == 1 || i + n > s.size()) {
        ++i;
        return c;
    }
    char32_t cp = c & (0x3F >> (n - 1));
    for (size_t k = 1; k < n; ++k) {
        unsigned char t = static_cast<unsigned char>(s[i + k]);
        if ((t & 0xC0) != 0x80) {
            ++i;
            return c;
        }
        cp = (cp << 6) | (t & 0x3F);
    }
    i += n;
    return cp;
}

void encode(char32_t cp, std::string& out) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

locale_t unicodeLocale() {
    static locale_t loc = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    return loc;
}

}  // namespace

// A prepared statement that finalizes itself.
class RegistryDatabase::Statement {
public:
    // Statements are prepared once per connection and kept: every registry call runs a few, and
    // preparing them anew would cost more than running them.
    Statement(RegistryDatabase& db, const char* sql) : db_(db), sql_(sql) {
        auto it = db.statements_.find(sql);
        if (it != db.statements_.end() && !it->second.busy) {
            stmt_ = it->second.stmt;
            it->second.busy = true;
            cached_ = true;
            return;
        }
        rc_ = sqlite3_prepare_v3(db.db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt_, nullptr);
        if (rc_ == SQLITE_OK && it == db.statements_.end()) {
            db.statements_[sql] = {stmt_, true};
            cached_ = true;
        }
    }
    ~Statement() {
        if (!cached_) {
            sqlite3_finalize(stmt_);
            return;
        }
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
        db_.statements_[sql_].busy = false;
    }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool ok() const { return rc_ == SQLITE_OK; }
    int rc() const { return rc_; }
    Statement& bind(int i, int64_t v) {
        if (ok()) rc_ = sqlite3_bind_int64(stmt_, i, v);
        return *this;
    }
    Statement& bind(int i, std::string_view v) {
        if (ok()) rc_ = sqlite3_bind_text(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Statement& bindBlob(int i, const BYTE* data, size_t size) {
        // A zero-length blob must still be a blob, not NULL.
        static const BYTE empty = 0;
        if (ok())
            rc_ = sqlite3_bind_blob(stmt_, i, data && size ? data : &empty, static_cast<int>(size), SQLITE_TRANSIENT);
        return *this;
    }
    // SQLITE_ROW, SQLITE_DONE, or an error code.
    int step() {
        if (!ok()) return rc_;
        int rc = sqlite3_step(stmt_);
        if (rc != SQLITE_ROW && rc != SQLITE_DONE) rc_ = rc;
        return rc;
    }
    int64_t integer(int col) const { return sqlite3_column_int64(stmt_, col); }
    std::string text(int col) const {
        const unsigned char* t = sqlite3_column_text(stmt_, col);
        return t ? std::string(reinterpret_cast<const char*>(t), static_cast<size_t>(sqlite3_column_bytes(stmt_, col)))
                 : std::string();
    }
    std::vector<BYTE> blob(int col) const {
        const BYTE* b = static_cast<const BYTE*>(sqlite3_column_blob(stmt_, col));
        int n = sqlite3_column_bytes(stmt_, col);
        return b && n > 0 ? std::vector<BYTE>(b, b + n) : std::vector<BYTE>();
    }

private:
    RegistryDatabase& db_;
    const char* sql_;
    sqlite3_stmt* stmt_ = nullptr;
    int rc_ = SQLITE_OK;
    bool cached_ = false;
};

// BEGIN IMMEDIATE takes the write lock up front, so two writers queue on the busy handler
// instead of failing each other halfway. Inside a batch a savepoint stands for the transaction.
class RegistryDatabase::Transaction {
public:
    explicit Transaction(RegistryDatabase& db) : db_(db), nested_(db.inBatch()) {
        rc_ = sqlite3_exec(db.db_, nested_ ? "SAVEPOINT registry_call" : "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    }
    ~Transaction() {
        if (rc_ == SQLITE_OK && !done_) rollback();
    }
    int rc() const { return rc_; }
    int commit() {
        done_ = true;
        int rc = sqlite3_exec(db_.db_, nested_ ? "RELEASE registry_call" : "COMMIT", nullptr, nullptr, nullptr);
        if (rc != SQLITE_OK) rollback();
        return rc;
    }

private:
    void rollback() {
        sqlite3_exec(db_.db_, nested_ ? "ROLLBACK TO registry_call; RELEASE registry_call" : "ROLLBACK", nullptr,
                     nullptr, nullptr);
    }

    RegistryDatabase& db_;
    const bool nested_;
    int rc_;
    bool done_ = false;
};

// The connection's lock, which the thread of a batch already holds.
class RegistryDatabase::Lock {
public:
    explicit Lock(RegistryDatabase& db) : db_(db), held_(!db.inBatch()) {
        if (held_) db_.lock_.lock();
    }
    ~Lock() {
        if (held_) db_.lock_.unlock();
    }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

private:
    RegistryDatabase& db_;
    const bool held_;
};

RegistryDatabase::Batch::Batch(std::shared_ptr<RegistryDatabase> db) : db_(std::move(db)) {
    db_->lock_.lock();
    rc_ = db_->resultOf(sqlite3_exec(db_->db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr));
    if (rc_ != ERROR_SUCCESS) {
        db_->lock_.unlock();
        return;
    }
    active_ = true;
    db_->batchThread_ = std::this_thread::get_id();
}

RegistryDatabase::Batch::~Batch() {
    if (!active_) return;
    sqlite3_exec(db_->db_, "ROLLBACK", nullptr, nullptr, nullptr);
    end();
}

LONG RegistryDatabase::Batch::commit() {
    if (!active_) return rc_ != ERROR_SUCCESS ? rc_ : ERROR_INVALID_PARAMETER;
    int rc = sqlite3_exec(db_->db_, "COMMIT", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) sqlite3_exec(db_->db_, "ROLLBACK", nullptr, nullptr, nullptr);
    end();
    return db_->resultOf(rc);
}

void RegistryDatabase::Batch::end() {
    active_ = false;
    db_->batchThread_ = std::thread::id();
    db_->lock_.unlock();
}

int RegistryDatabase::run(bool write, const std::function<bool(sqlite3*)>& work) {
    Lock lock(*this);
    if (!write) {
        work(db_);
        return SQLITE_OK;
    }
    Transaction tx(*this);
    if (tx.rc() != SQLITE_OK) return tx.rc();
    return work(db_) ? tx.commit() : SQLITE_OK;
}

std::shared_ptr<RegistryDatabase> RegistryDatabase::current(LONG* error) {
    std::string path = orvik::platformDatabasePath();
    if (path.empty()) {
        if (error) *error = ERROR_REGISTRY_IO_FAILED;
        return nullptr;
    }
    std::lock_guard guard(registryLock());
    auto& db = cached();
    if (db && db->path() == path) return db;
    std::shared_ptr<RegistryDatabase> fresh(new RegistryDatabase(path));
    LONG rc = fresh->open();
    if (rc != ERROR_SUCCESS) {
        if (error) *error = rc;
        return nullptr;
    }
    db = fresh;
    return db;
}

RegistryDatabase::RegistryDatabase(std::string path) : path_(std::move(path)) {}

RegistryDatabase::~RegistryDatabase() {
    for (auto& [sql, cached] : statements_) sqlite3_finalize(cached.stmt);
    sqlite3_close_v2(db_);
}

LONG RegistryDatabase::resultOf(int rc) const {
    switch (rc) {
    case SQLITE_OK:
    case SQLITE_DONE:
    case SQLITE_ROW: return ERROR_SUCCESS;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB: return ERROR_REGISTRY_CORRUPT;
    case SQLITE_FULL: return ERROR_DISK_FULL;
    case SQLITE_NOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH: return ERROR_ACCESS_DENIED;
    default: return ERROR_REGISTRY_IO_FAILED;
    }
}

LONG RegistryDatabase::open() {
    // A file that is there is only read until SQLite has recognised it as a database, so a
    // damaged file is reported and never written over.
    int rc = sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                             nullptr);
    if (rc != SQLITE_OK) return rc == SQLITE_CANTOPEN ? ERROR_REGISTRY_IO_FAILED : resultOf(rc);
    sqlite3_extended_result_codes(db_, 0);
    sqlite3_busy_timeout(db_, kBusyTimeoutMs);
    // Reading the schema first fails cleanly on a file that is not a database.
    rc = sqlite3_exec(db_, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) return resultOf(rc);
    rc = sqlite3_exec(db_, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) return resultOf(rc);
    Transaction tx(*this);
    if (tx.rc() != SQLITE_OK) return resultOf(tx.rc());
    rc = sqlite3_exec(db_, kSchema, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) return resultOf(rc);
    rc = tx.commit();
    if (rc != SQLITE_OK) return resultOf(rc);
    // The system certificate stores exist from the start, as on a Windows installation.
    for (const char* store : {"MY", "CA", "ADDRESSBOOK", "Root"}) {
        for (int64_t hive : {CurrentUser, LocalMachine}) {
            int64_t id = 0;
            bool created = false;
            std::vector<std::string> path{"Software", "Microsoft", "SystemCertificates", store, "Certificates"};
            if (LONG made = createKeyLocked(hive, path, id, created); made != ERROR_SUCCESS) return made;
        }
    }
    return ERROR_SUCCESS;
}

std::string RegistryDatabase::fold(std::string_view name) {
    std::string out;
    out.reserve(name.size());
    locale_t loc = unicodeLocale();
    for (size_t i = 0; i < name.size();) {
        char32_t cp = decode(name, i);
        if (cp < 0x80) {
            if (cp >= 'a' && cp <= 'z') cp -= 'a' - 'A';
        } else if (loc) {
            cp = static_cast<char32_t>(towupper_l(static_cast<wint_t>(cp), loc));
        }
        encode(cp, out);
    }
    return out;
}

LONG RegistryDatabase::checkKey(int64_t id) {
    Statement st(*this, "SELECT 1 FROM reg_keys WHERE id = ?");
    st.bind(1, id);
    int rc = st.step();
    if (rc == SQLITE_DONE) return ERROR_KEY_DELETED;
    return rc == SQLITE_ROW ? ERROR_SUCCESS : resultOf(rc);
}

LONG RegistryDatabase::endOfList(int64_t id) {
    LONG alive = checkKey(id);
    return alive == ERROR_SUCCESS ? ERROR_NO_MORE_ITEMS : alive;
}

LONG RegistryDatabase::touch(int64_t id, int64_t when) {
    Statement st(*this, "UPDATE reg_keys SET written = ? WHERE id = ?");
    st.bind(1, when).bind(2, id);
    return st.step() == SQLITE_DONE ? ERROR_SUCCESS : resultOf(st.rc());
}

LONG RegistryDatabase::findKey(int64_t from, const std::vector<std::string>& names, int64_t& id) {
    Lock guard(*this);
    if (LONG alive = checkKey(from); alive != ERROR_SUCCESS) return alive;
    int rc = SQLITE_OK;
    id = from;
    for (const auto& name : names) {
        Statement st(*this, "SELECT id FROM reg_keys WHERE parent = ? AND fold = ?");
        st.bind(1, id).bind(2, fold(name));
        rc = st.step();
        if (rc == SQLITE_DONE) return ERROR_FILE_NOT_FOUND;
        if (rc != SQLITE_ROW) return resultOf(rc);
        id = st.integer(0);
    }
    return ERROR_SUCCESS;
}

LONG RegistryDatabase::createKey(int64_t from, const std::vector<std::string>& names, int64_t& id, bool& created) {
    Lock guard(*this);
    return createKeyLocked(from, names, id, created);
}

LONG RegistryDatabase::createKeyLocked(int64_t from, const std::vector<std::string>& names, int64_t& id,
                                       bool& created) {
    created = false;
    Transaction tx(*this);
    if (tx.rc() != SQLITE_OK) return resultOf(tx.rc());
    if (LONG alive = checkKey(from); alive != ERROR_SUCCESS) return alive;
    int rc = SQLITE_OK;
    id = from;
    const int64_t now = nowAsFileTime();
    for (const auto& name : names) {
        std::string folded = fold(name);
        Statement st(*this, "SELECT id FROM reg_keys WHERE parent = ? AND fold = ?");
        st.bind(1, id).bind(2, folded);
        rc = st.step();
        if (rc == SQLITE_ROW) {
            id = st.integer(0);
            created = false;
            continue;
        }
        if (rc != SQLITE_DONE) return resultOf(rc);
        Statement ins(*this, "INSERT INTO reg_keys(parent, name, fold, written) VALUES(?, ?, ?, ?)");
        ins.bind(1, id).bind(2, name).bind(3, folded).bind(4, now);
        rc = ins.step();
        if (rc != SQLITE_DONE) return resultOf(rc);
        if (LONG touched = touch(id, now); touched != ERROR_SUCCESS) return touched;
        id = sqlite3_last_insert_rowid(db_);
        created = true;
    }
    return resultOf(tx.commit());
}

LONG RegistryDatabase::deleteKey(int64_t parent, const std::string& name) {
    Lock guard(*this);
    Transaction tx(*this);
    if (tx.rc() != SQLITE_OK) return resultOf(tx.rc());
    Statement find(*this, "SELECT id FROM reg_keys WHERE parent = ? AND fold = ?");
    find.bind(1, parent).bind(2, fold(name));
    int rc = find.step();
    if (rc == SQLITE_DONE) return ERROR_FILE_NOT_FOUND;
    if (rc != SQLITE_ROW) return resultOf(rc);
    int64_t id = find.integer(0);
    // Windows deletes only a key without subkeys.
    Statement children(*this, "SELECT 1 FROM reg_keys WHERE parent = ? LIMIT 1");
    children.bind(1, id);
    rc = children.step();
    if (rc == SQLITE_ROW) return ERROR_ACCESS_DENIED;
    if (rc != SQLITE_DONE) return resultOf(rc);
    Statement values(*this, "DELETE FROM reg_values WHERE key = ?");
    values.bind(1, id);
    if (values.step() != SQLITE_DONE) return resultOf(values.rc());
    Statement key(*this, "DELETE FROM reg_keys WHERE id = ?");
    key.bind(1, id);
    if (key.step() != SQLITE_DONE) return resultOf(key.rc());
    if (LONG rc = touch(parent, nowAsFileTime()); rc != ERROR_SUCCESS) return rc;
    return resultOf(tx.commit());
}

LONG RegistryDatabase::subKeyAt(int64_t id, DWORD index, KeyRecord& out) {
    Lock guard(*this);
    Statement st(*this, "SELECT id, name, written FROM reg_keys WHERE parent = ? ORDER BY fold LIMIT 1 OFFSET ?");
    st.bind(1, id).bind(2, static_cast<int64_t>(index));
    int rc = st.step();
    if (rc == SQLITE_DONE) return endOfList(id);
    if (rc != SQLITE_ROW) return resultOf(rc);
    out.id = st.integer(0);
    out.name = st.text(1);
    out.written = st.integer(2);
    return ERROR_SUCCESS;
}

LONG RegistryDatabase::subKeyValues(int64_t id, std::string_view valueName,
                                    std::vector<std::pair<std::string, ValueRecord>>& out) {
    Lock guard(*this);
    out.clear();
    if (LONG alive = checkKey(id); alive != ERROR_SUCCESS) return alive;
    Statement st(*this,
                 "SELECT k.name, v.type, v.data FROM reg_keys k JOIN reg_values v ON v.key = k.id AND v.fold = ? "
                 "WHERE k.parent = ? ORDER BY k.fold");
    st.bind(1, fold(valueName)).bind(2, id);
    int rc;
    while ((rc = st.step()) == SQLITE_ROW) {
        ValueRecord value;
        value.name = std::string(valueName);
        value.type = static_cast<DWORD>(st.integer(1));
        value.data = st.blob(2);
        out.emplace_back(st.text(0), std::move(value));
    }
    return rc == SQLITE_DONE ? ERROR_SUCCESS : resultOf(rc);
}

LONG RegistryDatabase::getValue(int64_t key, std::string_view name, ValueRecord& out) {
    Lock guard(*this);
    Statement st(*this, "SELECT name, type, data FROM reg_values WHERE key = ? AND fold = ?");
    st.bind(1, key).bind(2, fold(name));
    int rc = st.step();
    if (rc == SQLITE_DONE) return ERROR_FILE_NOT_FOUND;
    if (rc != SQLITE_ROW) return resultOf(rc);
    out.name = st.text(0);
    out.type = static_cast<DWORD>(st.integer(1));
    out.data = st.blob(2);
    return ERROR_SUCCESS;
}

LONG RegistryDatabase::setValue(int64_t key, std::string_view name, DWORD type, const BYTE* data, size_t size) {
    Lock guard(*this);
    Transaction tx(*this);
    if (tx.rc() != SQLITE_OK) return resultOf(tx.rc());
    if (LONG alive = checkKey(key); alive != ERROR_SUCCESS) return alive;
    // An existing value keeps its place in the enumeration and the spelling of its name.
    Statement st(*this,
                 "INSERT INTO reg_values(key, name, fold, type, data) VALUES(?, ?, ?, ?, ?) "
                 "ON CONFLICT(key, fold) DO UPDATE SET type = excluded.type, data = excluded.data");
    st.bind(1, key).bind(2, name).bind(3, fold(name)).bind(4, static_cast<int64_t>(type)).bindBlob(5, data, size);
    if (st.step() != SQLITE_DONE) return resultOf(st.rc());
    if (LONG rc = touch(key, nowAsFileTime()); rc != ERROR_SUCCESS) return rc;
    return resultOf(tx.commit());
}

LONG RegistryDatabase::deleteValue(int64_t key, std::string_view name) {
    Lock guard(*this);
    Transaction tx(*this);
    if (tx.rc() != SQLITE_OK) return resultOf(tx.rc());
    Statement st(*this, "DELETE FROM reg_values WHERE key = ? AND fold = ?");
    st.bind(1, key).bind(2, fold(name));
    if (st.step() != SQLITE_DONE) return resultOf(st.rc());
    if (sqlite3_changes(db_) == 0) return ERROR_FILE_NOT_FOUND;
    if (LONG rc = touch(key, nowAsFileTime()); rc != ERROR_SUCCESS) return rc;
    return resultOf(tx.commit());
}

LONG RegistryDatabase::valueAt(int64_t key, DWORD index, ValueRecord& out) {
    Lock guard(*this);
    Statement st(*this, "SELECT name, type, data FROM reg_values WHERE key = ? ORDER BY seq LIMIT 1 OFFSET ?");
    st.bind(1, key).bind(2, static_cast<int64_t>(index));
    int rc = st.step();
    if (rc == SQLITE_DONE) return endOfList(key);
    if (rc != SQLITE_ROW) return resultOf(rc);
    out.name = st.text(0);
    out.type = static_cast<DWORD>(st.integer(1));
    out.data = st.blob(2);
    return ERROR_SUCCESS;
}

}  // namespace orvik::registry
