#pragma once
// SQLite connection and statement wrappers shared by the store's parts.
#include <windows.h>

#include <sqlite3.h>

#include <string>

#include "Text.h"

namespace sim::db {

// The HRESULT for an SQLite result code.
HRESULT ToHresult(int rc);

class Statement;

// One connection, opened read-write on an existing file with the durability and lock
// settings every user of the machine database needs.
class Connection {
public:
    Connection() = default;
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // create: make the file and its tables when missing.
    HRESULT Open(const std::string& path, int busyTimeoutMs, bool create = false);
    HRESULT Exec(const char* sql);
    sqlite3* Handle() const { return m_Db; }

private:
    sqlite3* m_Db = nullptr;
};

class Statement {
public:
    Statement() = default;
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    HRESULT Prepare(Connection& c, const char* sql);
    void BindText(int i, const std::string& s);
    void BindInt(int i, sqlite3_int64 v);
    void BindBlob(int i, const void* data, size_t size);
    void BindNull(int i);
    // S_OK with a row, S_FALSE when done, or a failure.
    HRESULT Step();
    sqlite3_stmt* Handle() const { return m_Stmt; }
    std::string ColumnText(int i) const;

private:
    sqlite3_stmt* m_Stmt = nullptr;
};

// The database's TEXT columns are UTF-8.
using simcommon::FromUtf8;
using simcommon::ToUtf8;
// Upper-cases ASCII letters, as the key for names that match without regard to case.
std::wstring FoldCase(const std::wstring& w);

}  // namespace sim::db
