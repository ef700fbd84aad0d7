#include "EntryStore.h"

#include <sys/random.h>
#include <strings.h>

namespace orvik::wab {

namespace {

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

bool toKey(const std::string& blob, EntryKey& key) {
    if (blob.size() != key.size()) return false;
    std::copy(blob.begin(), blob.end(), key.begin());
    return true;
}

}  // namespace

HRESULT EntryStore::open(std::shared_ptr<EntryStore>& out) {
    int rc = SQLITE_OK;
    std::shared_ptr<PlatformDatabase> db = PlatformDatabase::open(rc);
    if (!db) return rc == SQLITE_CANTOPEN ? MAPI_E_DISK_ERROR : resultOf(rc);
    std::shared_ptr<EntryStore> store(new EntryStore(std::move(db)));
    HRESULT hr = store->change(
        [](sqlite3* c) -> HRESULT { return resultOf(sqlite3_exec(c, kSchema, nullptr, nullptr, nullptr)); });
    if (FAILED(hr)) return hr;
    out = std::move(store);
    return S_OK;
}

HRESULT EntryStore::change(const std::function<HRESULT(sqlite3*)>& work) {
    HRESULT hr = S_OK;
    int rc = db_->run(true, [&](sqlite3* c) {
        hr = work(c);
        return SUCCEEDED(hr);
    });
    return FAILED(hr) ? hr : resultOf(rc);
}

HRESULT EntryStore::read(const std::function<HRESULT(sqlite3*)>& work) {
    HRESULT hr = S_OK;
    db_->run(false, [&](sqlite3* c) {
        hr = work(c);
        return true;
    });
    return hr;
}

HRESULT EntryStore::resultOf(int rc) {
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
    out.clear();
    return read([&](sqlite3* db) -> HRESULT {
        // One pass: each entry with its display name and address, if it has them.
        Statement st(db,
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
    });
}

int64_t EntryStore::seqOf(sqlite3* db, const EntryKey& key, int& rc) {
    Statement st(db, "SELECT seq, type FROM wab_entries WHERE eid = ?");
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
    props.clear();
    return read([&](sqlite3* db) -> HRESULT {
        Statement head(db, "SELECT seq, type FROM wab_entries WHERE eid = ?");
        head.bind(1, key);
        int rc = head.step();
        if (rc == SQLITE_DONE) return MAPI_E_NOT_FOUND;
        if (rc != SQLITE_ROW) return resultOf(head.rc());
        int64_t seq = head.integer(0);
        type = static_cast<ULONG>(head.integer(1));
        Statement st(db, "SELECT id, tag, value FROM wab_props WHERE entry = ? ORDER BY id");
        st.bind(1, seq);
        while ((rc = st.step()) == SQLITE_ROW) {
            auto id = static_cast<ULONG>(st.integer(0));
            props[id] = {static_cast<ULONG>(st.integer(1)), st.blob(2)};
        }
        return rc == SQLITE_DONE ? S_OK : resultOf(st.rc());
    });
}

HRESULT EntryStore::writeValues(sqlite3* db, int64_t seq, const PropertyMap& props) {
    for (const auto& [id, prop] : props) {
        Statement st(db, "INSERT OR REPLACE INTO wab_props(entry, id, tag, value) VALUES (?, ?, ?, ?)");
        st.bind(1, seq).bind(2, id).bind(3, prop.tag).bind(4, prop.bytes.data(), prop.bytes.size());
        if (st.step() != SQLITE_DONE) return resultOf(st.rc());
    }
    return S_OK;
}

HRESULT EntryStore::update(const EntryKey& key, const PropertyMap& changed, const std::set<ULONG>& deleted) {
    return change([&](sqlite3* db) -> HRESULT {
        int rc = SQLITE_OK;
        int64_t seq = seqOf(db, key, rc);
        if (rc != SQLITE_OK) return resultOf(rc);
        if (!seq) return MAPI_E_OBJECT_DELETED;
        for (ULONG id : deleted) {
            Statement st(db, "DELETE FROM wab_props WHERE entry = ? AND id = ?");
            st.bind(1, seq).bind(2, id);
            if (st.step() != SQLITE_DONE) return resultOf(st.rc());
        }
        return writeValues(db, seq, changed);
    });
}

bool EntryStore::duplicateExists(sqlite3* db, const PropertyMap& props, int& rc) {
    rc = SQLITE_OK;
    auto name = props.find(kDisplayNameId);
    auto mail = props.find(kEmailId);
    if (name == props.end() || name->second.tag != PR_DISPLAY_NAME) return false;
    std::string wanted = mail != props.end() && mail->second.tag == PR_EMAIL_ADDRESS ? mail->second.bytes : "";
    Statement st(db,
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
    return change([&](sqlite3* db) -> HRESULT {
        int rc = SQLITE_OK;
        if (checkDuplicate && duplicateExists(db, props, rc)) return MAPI_E_COLLISION;
        if (rc != SQLITE_OK) return resultOf(rc);
        Statement st(db, "INSERT INTO wab_entries(eid, type) VALUES (?, ?)");
        st.bind(1, key).bind(2, type);
        if (st.step() != SQLITE_DONE) return resultOf(st.rc());
        return writeValues(db, sqlite3_last_insert_rowid(db), props);
    });
}

HRESULT EntryStore::remove(const std::vector<EntryKey>& keys, size_t& removed) {
    removed = 0;
    size_t count = 0;
    HRESULT hr = change([&](sqlite3* db) -> HRESULT {
        for (const EntryKey& key : keys) {
            int rc = SQLITE_OK;
            int64_t seq = seqOf(db, key, rc);
            if (rc != SQLITE_OK) return resultOf(rc);
            if (!seq) continue;
            Statement props(db, "DELETE FROM wab_props WHERE entry = ?");
            props.bind(1, seq);
            if (props.step() != SQLITE_DONE) return resultOf(props.rc());
            Statement entry(db, "DELETE FROM wab_entries WHERE seq = ?");
            entry.bind(1, seq);
            if (entry.step() != SQLITE_DONE) return resultOf(entry.rc());
            ++count;
        }
        return S_OK;
    });
    if (SUCCEEDED(hr)) removed = count;
    return hr;
}

}  // namespace orvik::wab
