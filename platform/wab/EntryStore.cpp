#include "EntryStore.h"

#include <sys/random.h>
#include <strings.h>

#include <orvik/Home.h>

namespace orvik::wab {

namespace {

constexpr int kBusyTimeoutMs = 15000;

const char* const kSchema = R"sql(
CREATE TABLE IF NOT EXISTS wab_entries(
    seq INTEGER PRIMARY KEY,
    eid BLOB NOT NULL UNIQUE,
    type INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS wab_props(
    entry INTEGER NOT NULL,
    id INTEGER NOT NULL,
    tag INTEGER NOT NULL,
    value BLOB NOT NULL,
    PRIMARY KEY(entry, id)) WITHOUT ROWID;
CREATE INDEX IF NOT EXISTS wab_props_by_value ON wab_props(id, value);
)sql";

constexpr ULONG kDisplayNameId = PROP_ID(PR_DISPLAY_NAME);
constexpr ULONG kEmailId = PROP_ID(PR_EMAIL_ADDRESS);

// A prepared statement, finalized on every path.
class Statement {
public:
    Statement(sqlite3* db, const char* sql) { rc_ = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    int rc() const { return rc_; }
    Statement& bind(int i, int64_t v) {
        if (rc_ == SQLITE_OK) rc_ = sqlite3_bind_int64(stmt_, i, v);
        return *this;
    }
    Statement& bind(int i, const void* data, size_t size) {
        static const char empty = 0;
        if (rc_ == SQLITE_OK)
            rc_ = sqlite3_bind_blob(stmt_, i, size ? data : &empty, static_cast<int>(size), SQLITE_TRANSIENT);
        return *this;
    }
    Statement& bind(int i, const EntryKey& key) { return bind(i, key.data(), key.size()); }
    // SQLITE_ROW or SQLITE_DONE; anything else is kept in rc().
    int step() {
        if (rc_ != SQLITE_OK) return rc_;
        int rc = sqlite3_step(stmt_);
        if (rc != SQLITE_ROW && rc != SQLITE_DONE) rc_ = rc;
        return rc;
    }
    int64_t integer(int col) const { return sqlite3_column_int64(stmt_, col); }
    std::string blob(int col) const {
        const char* b = static_cast<const char*>(sqlite3_column_blob(stmt_, col));
        int n = sqlite3_column_bytes(stmt_, col);
        return b && n > 0 ? std::string(b, static_cast<size_t>(n)) : std::string();
    }

private:
    sqlite3_stmt* stmt_ = nullptr;
    int rc_;
};

// BEGIN IMMEDIATE: writers queue on the busy handler instead of failing each other halfway.
class Transaction {
public:
    explicit Transaction(sqlite3* db) : db_(db) {
        rc_ = sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    }
    ~Transaction() {
        if (rc_ == SQLITE_OK && !done_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    int rc() const { return rc_; }
    int commit() {
        done_ = true;
        int rc = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
        if (rc != SQLITE_OK) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        return rc;
    }

private:
    sqlite3* db_;
    int rc_;
    bool done_ = false;
};

bool toKey(const std::string& blob, EntryKey& key) {
    if (blob.size() != key.size()) return false;
    std::copy(blob.begin(), blob.end(), key.begin());
    return true;
}

}  // namespace

HRESULT EntryStore::open(std::shared_ptr<EntryStore>& out) {
    std::string path = orvik::platformDatabasePath();
    if (path.empty()) return MAPI_E_DISK_ERROR;
    sqlite3* db = nullptr;
    int rc =
        sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
    std::shared_ptr<EntryStore> store(new EntryStore(db));  // closes db on every path below
    if (rc != SQLITE_OK) return MAPI_E_DISK_ERROR;
    sqlite3_extended_result_codes(db, 0);
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    // A file that is not a database fails here, before anything is written to it.
    rc = sqlite3_exec(db, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK)
        rc = sqlite3_exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) return store->resultOf(rc);
    Transaction tx(db);
    if (tx.rc() != SQLITE_OK) return store->resultOf(tx.rc());
    rc = sqlite3_exec(db, kSchema, nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK) rc = tx.commit();
    if (rc != SQLITE_OK) return store->resultOf(rc);
    out = std::move(store);
    return S_OK;
}

EntryStore::~EntryStore() { sqlite3_close_v2(db_); }

HRESULT EntryStore::resultOf(int rc) const {
    switch (rc) {
    case SQLITE_OK:
    case SQLITE_DONE:
    case SQLITE_ROW: return S_OK;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB: return MAPI_E_CORRUPT_DATA;
    case SQLITE_FULL: return MAPI_E_NOT_ENOUGH_DISK;
    case SQLITE_NOMEM: return MAPI_E_NOT_ENOUGH_MEMORY;
    case SQLITE_BUSY:
    case SQLITE_LOCKED: return MAPI_E_BUSY;
    case SQLITE_READONLY:
    case SQLITE_PERM: return MAPI_E_NO_ACCESS;
    default: return MAPI_E_DISK_ERROR;
    }
}

EntryKey EntryStore::newKey() {
    EntryKey key{};
    for (;;) {
        size_t got = 0;
        while (got < key.size()) {
            ssize_t n = getrandom(key.data() + got, key.size() - got, 0);
            if (n > 0) got += static_cast<size_t>(n);
        }
        for (BYTE b : key)
            if (b) return key;
    }
}

HRESULT EntryStore::rows(std::vector<EntryRow>& out) {
    std::lock_guard guard(lock_);
    out.clear();
    // One pass: each entry with its display name and address, if it has them.
    Statement st(db_,
                 "SELECT e.eid, e.type, d.tag, d.value, m.tag, m.value FROM wab_entries e "
                 "LEFT JOIN wab_props d ON d.entry = e.seq AND d.id = ?1 "
                 "LEFT JOIN wab_props m ON m.entry = e.seq AND m.id = ?2 ORDER BY e.seq");
    st.bind(1, kDisplayNameId).bind(2, kEmailId);
    int rc;
    while ((rc = st.step()) == SQLITE_ROW) {
        EntryRow row;
        if (!toKey(st.blob(0), row.key)) continue;
        row.type = static_cast<ULONG>(st.integer(1));
        if (static_cast<ULONG>(st.integer(2)) == PR_DISPLAY_NAME) row.displayName = st.blob(3);
        if (static_cast<ULONG>(st.integer(4)) == PR_EMAIL_ADDRESS) row.email = st.blob(5);
        out.push_back(std::move(row));
    }
    return rc == SQLITE_DONE ? S_OK : resultOf(st.rc());
}

int64_t EntryStore::seqOf(const EntryKey& key, int& rc) {
    Statement st(db_, "SELECT seq, type FROM wab_entries WHERE eid = ?");
    st.bind(1, key);
    rc = st.step();
    if (rc == SQLITE_ROW) {
        rc = SQLITE_OK;
        return st.integer(0);
    }
    rc = rc == SQLITE_DONE ? SQLITE_OK : st.rc();
    return 0;
}

HRESULT EntryStore::load(const EntryKey& key, ULONG& type, PropertyMap& props) {
    std::lock_guard guard(lock_);
    props.clear();
    Statement head(db_, "SELECT seq, type FROM wab_entries WHERE eid = ?");
    head.bind(1, key);
    int rc = head.step();
    if (rc == SQLITE_DONE) return MAPI_E_NOT_FOUND;
    if (rc != SQLITE_ROW) return resultOf(head.rc());
    int64_t seq = head.integer(0);
    type = static_cast<ULONG>(head.integer(1));
    Statement st(db_, "SELECT id, tag, value FROM wab_props WHERE entry = ? ORDER BY id");
    st.bind(1, seq);
    while ((rc = st.step()) == SQLITE_ROW) {
        auto id = static_cast<ULONG>(st.integer(0));
        props[id] = {static_cast<ULONG>(st.integer(1)), st.blob(2)};
    }
    return rc == SQLITE_DONE ? S_OK : resultOf(st.rc());
}

HRESULT EntryStore::writeValues(int64_t seq, const PropertyMap& props) {
    for (const auto& [id, prop] : props) {
        Statement st(db_, "INSERT OR REPLACE INTO wab_props(entry, id, tag, value) VALUES (?, ?, ?, ?)");
        st.bind(1, seq).bind(2, id).bind(3, prop.tag).bind(4, prop.bytes.data(), prop.bytes.size());
        if (st.step() != SQLITE_DONE) return resultOf(st.rc());
    }
    return S_OK;
}

HRESULT EntryStore::update(const EntryKey& key, const PropertyMap& changed, const std::set<ULONG>& deleted) {
    std::lock_guard guard(lock_);
    Transaction tx(db_);
    if (tx.rc() != SQLITE_OK) return resultOf(tx.rc());
    int rc = SQLITE_OK;
    int64_t seq = seqOf(key, rc);
    if (rc != SQLITE_OK) return resultOf(rc);
    if (!seq) return MAPI_E_OBJECT_DELETED;
    for (ULONG id : deleted) {
        Statement st(db_, "DELETE FROM wab_props WHERE entry = ? AND id = ?");
        st.bind(1, seq).bind(2, id);
        if (st.step() != SQLITE_DONE) return resultOf(st.rc());
    }
    if (HRESULT hr = writeValues(seq, changed); FAILED(hr)) return hr;
    return resultOf(tx.commit());
}

bool EntryStore::duplicateExists(const PropertyMap& props, int& rc) {
    rc = SQLITE_OK;
    auto name = props.find(kDisplayNameId);
    auto mail = props.find(kEmailId);
    if (name == props.end() || name->second.tag != PR_DISPLAY_NAME) return false;
    std::string wanted = mail != props.end() && mail->second.tag == PR_EMAIL_ADDRESS ? mail->second.bytes : "";
    Statement st(db_,
                 "SELECT m.value FROM wab_props d JOIN wab_entries e ON e.seq = d.entry AND e.type = ?3 "
                 "LEFT JOIN wab_props m ON m.entry = d.entry AND m.id = ?4 AND m.tag = ?5 "
                 "WHERE d.id = ?1 AND d.value = ?2");
    st.bind(1, kDisplayNameId)
        .bind(2, name->second.bytes.data(), name->second.bytes.size())
        .bind(3, MAPI_MAILUSER)
        .bind(4, kEmailId)
        .bind(5, PR_EMAIL_ADDRESS);
    int step;
    while ((step = st.step()) == SQLITE_ROW) {
        // Addresses compare without regard to case; display names exactly.
        std::string other = st.blob(0);
        if (other.size() == wanted.size() && strncasecmp(other.c_str(), wanted.c_str(), other.size()) == 0) return true;
    }
    if (step != SQLITE_DONE) rc = st.rc();
    return false;
}

HRESULT EntryStore::create(const EntryKey& key, ULONG type, const PropertyMap& props, bool checkDuplicate) {
    std::lock_guard guard(lock_);
    Transaction tx(db_);
    if (tx.rc() != SQLITE_OK) return resultOf(tx.rc());
    int rc = SQLITE_OK;
    if (checkDuplicate && duplicateExists(props, rc)) return MAPI_E_COLLISION;
    if (rc != SQLITE_OK) return resultOf(rc);
    Statement st(db_, "INSERT INTO wab_entries(eid, type) VALUES (?, ?)");
    st.bind(1, key).bind(2, type);
    if (st.step() != SQLITE_DONE) return resultOf(st.rc());
    if (HRESULT hr = writeValues(sqlite3_last_insert_rowid(db_), props); FAILED(hr)) return hr;
    return resultOf(tx.commit());
}

HRESULT EntryStore::remove(const std::vector<EntryKey>& keys, size_t& removed) {
    std::lock_guard guard(lock_);
    removed = 0;
    Transaction tx(db_);
    if (tx.rc() != SQLITE_OK) return resultOf(tx.rc());
    for (const EntryKey& key : keys) {
        int rc = SQLITE_OK;
        int64_t seq = seqOf(key, rc);
        if (rc != SQLITE_OK) return resultOf(rc);
        if (!seq) continue;
        Statement props(db_, "DELETE FROM wab_props WHERE entry = ?");
        props.bind(1, seq);
        if (props.step() != SQLITE_DONE) return resultOf(props.rc());
        Statement entry(db_, "DELETE FROM wab_entries WHERE seq = ?");
        entry.bind(1, seq);
        if (entry.step() != SQLITE_DONE) return resultOf(entry.rc());
        ++removed;
    }
    return resultOf(tx.commit());
}

}  // namespace orvik::wab
