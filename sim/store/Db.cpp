#include "Db.h"

#include <cwctype>
#include <vector>

namespace sim::db {

namespace {

const char kSchema[] =
    "CREATE TABLE IF NOT EXISTS property_keys("
    "  instance TEXT NOT NULL COLLATE NOCASE, key TEXT NOT NULL COLLATE NOCASE,"
    "  PRIMARY KEY(instance, key));"
    "CREATE TABLE IF NOT EXISTS property_values("
    "  instance TEXT NOT NULL COLLATE NOCASE, key TEXT NOT NULL COLLATE NOCASE,"
    "  name TEXT NOT NULL COLLATE NOCASE, vt INTEGER NOT NULL, value,"
    "  PRIMARY KEY(instance, key, name));"
    "CREATE TABLE IF NOT EXISTS unified_properties("
    "  instance TEXT NOT NULL COLLATE NOCASE, key TEXT NOT NULL COLLATE NOCASE,"
    "  fmtid TEXT NOT NULL COLLATE NOCASE, pid INTEGER NOT NULL, lcid INTEGER NOT NULL,"
    "  type INTEGER NOT NULL, data BLOB, PRIMARY KEY(instance, key, fmtid, pid, lcid));"
    "CREATE TABLE IF NOT EXISTS device_nodes("
    "  instance TEXT NOT NULL PRIMARY KEY COLLATE NOCASE, class_guid TEXT NOT NULL);"
    "CREATE TABLE IF NOT EXISTS device_registry("
    "  instance TEXT NOT NULL COLLATE NOCASE, property INTEGER NOT NULL,"
    "  reg_type INTEGER NOT NULL, data BLOB, PRIMARY KEY(instance, property));"
    // Named-value writes not yet flushed, with what they replaced (see MachineStore.h).
    "CREATE TABLE IF NOT EXISTS lazy_journal("
    "  seq INTEGER PRIMARY KEY AUTOINCREMENT, owner INTEGER NOT NULL,"
    "  instance TEXT NOT NULL, key TEXT NOT NULL, name TEXT NOT NULL,"
    "  had INTEGER NOT NULL, vt INTEGER, value);";

}  // namespace

HRESULT ToHresult(int rc) {
    switch (rc & 0xff) {
        case SQLITE_OK:
        case SQLITE_ROW:
        case SQLITE_DONE:
            return S_OK;
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return HRESULT_FROM_WIN32(ERROR_LOCK_VIOLATION);
        case SQLITE_CORRUPT:
        case SQLITE_NOTADB:
        case SQLITE_SCHEMA:
            return HRESULT_FROM_WIN32(ERROR_BADDB);
        case SQLITE_CANTOPEN:
            return HRESULT_FROM_WIN32(ERROR_CANTOPEN);
        case SQLITE_PERM:
        case SQLITE_READONLY:
        case SQLITE_AUTH:
            return E_ACCESSDENIED;
        case SQLITE_NOMEM:
            return E_OUTOFMEMORY;
        default:
            return E_FAIL;
    }
}

Connection::~Connection() {
    if (m_Db != nullptr) {
        sqlite3_close_v2(m_Db);
    }
}

HRESULT Connection::Open(const std::string& path, int busyTimeoutMs, bool create) {
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX;
    if (create) {
        flags |= SQLITE_OPEN_CREATE;
    }
    int rc = sqlite3_open_v2(path.c_str(), &m_Db, flags, nullptr);
    if (rc != SQLITE_OK) {
        return ToHresult(rc);
    }
    sqlite3_busy_timeout(m_Db, busyTimeoutMs);
    sqlite3_extended_result_codes(m_Db, 1);
    // Reading the schema is the first access to the file: a foreign or damaged file fails
    // here, before any value is touched.
    HRESULT hr = Exec("PRAGMA synchronous=FULL; SELECT count(*) FROM sqlite_master;");
    if (FAILED(hr)) {
        return hr;
    }
    if (create) {
        hr = Exec("PRAGMA journal_mode=WAL;");
        if (SUCCEEDED(hr)) {
            hr = Exec(kSchema);
        }
    }
    return hr;
}

HRESULT Connection::Exec(const char* sql) {
    return ToHresult(sqlite3_exec(m_Db, sql, nullptr, nullptr, nullptr));
}

Statement::~Statement() {
    sqlite3_finalize(m_Stmt);
}

HRESULT Statement::Prepare(Connection& c, const char* sql) {
    return ToHresult(sqlite3_prepare_v2(c.Handle(), sql, -1, &m_Stmt, nullptr));
}

void Statement::BindText(int i, const std::string& s) {
    sqlite3_bind_text(m_Stmt, i, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
}
void Statement::BindInt(int i, sqlite3_int64 v) {
    sqlite3_bind_int64(m_Stmt, i, v);
}
void Statement::BindBlob(int i, const void* data, size_t size) {
    // A zero-length blob, not NULL: an empty value is still a value.
    sqlite3_bind_blob(m_Stmt, i, size != 0 ? data : "", static_cast<int>(size), SQLITE_TRANSIENT);
}
void Statement::BindNull(int i) {
    sqlite3_bind_null(m_Stmt, i);
}

HRESULT Statement::Step() {
    int rc = sqlite3_step(m_Stmt);
    if (rc == SQLITE_ROW) {
        return S_OK;
    }
    if (rc == SQLITE_DONE) {
        return S_FALSE;
    }
    return ToHresult(rc);
}

std::string Statement::ColumnText(int i) const {
    const auto* p = sqlite3_column_text(m_Stmt, i);
    return p != nullptr ? std::string(reinterpret_cast<const char*>(p),
                                      static_cast<size_t>(sqlite3_column_bytes(m_Stmt, i)))
                        : std::string();
}

std::wstring FoldCase(const std::wstring& w) {
    std::wstring u(w);
    for (auto& c : u) {
        if (c >= L'a' && c <= L'z') {
            c = static_cast<wchar_t>(c - L'a' + L'A');
        }
    }
    return u;
}

}  // namespace sim::db
