// The machine file as the backend of the device property stores: named values keyed by
// device instance, key and name with the type that wrote them, unified properties keyed by
// their DEVPROPKEY and locale.
#include <objbase.h>

#include <new>

#include "Db.h"
#include "MachineStore.h"

namespace sim {

namespace {

using db::Connection;
using db::Statement;

class MachineKey final : public PropertyKey {
public:
    MachineKey(const std::wstring& instance, const std::wstring& key)
        : m_Instance(db::ToUtf8(instance)), m_Key(db::ToUtf8(key)) {}

    HRESULT Open(const MachineStore& store) {
        return m_Db.Open(store.Path(), store.Options().BusyTimeoutMs);
    }

    // A missing key is created when `create` is set, otherwise it is not found.
    HRESULT EnsureKey(bool create, bool* created) {
        Statement s;
        HRESULT hr =
            PrepareForKey(s, create ? "INSERT OR IGNORE INTO property_keys(instance, key) "
                                      "VALUES(?1, ?2)"
                                    : "SELECT 1 FROM property_keys WHERE instance=?1 AND key=?2");
        if (FAILED(hr)) {
            return hr;
        }
        hr = s.Step();
        if (FAILED(hr)) {
            return hr;
        }
        if (create) {
            *created = sqlite3_changes(m_Db.Handle()) > 0;
            return S_OK;
        }
        return hr == S_OK ? S_OK : HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    }

    HRESULT Read(const std::wstring& name, StoredValue* value) override {
        Statement s;
        HRESULT hr = PrepareForKey(s,
                                   "SELECT vt, value FROM property_values "
                                   "WHERE instance=?1 AND key=?2 AND name=?3");
        if (FAILED(hr)) {
            return hr;
        }
        s.BindText(3, db::ToUtf8(name));
        hr = s.Step();
        if (FAILED(hr)) {
            return hr;
        }
        if (hr == S_FALSE) {
            return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
        }
        value->WrittenAs = static_cast<VARTYPE>(sqlite3_column_int(s.Handle(), 0));
        switch (sqlite3_column_type(s.Handle(), 1)) {
            case SQLITE_INTEGER:
                value->Kind = StoredValue::Shape::Number;
                value->Number = static_cast<ULONG>(sqlite3_column_int64(s.Handle(), 1));
                return S_OK;
            case SQLITE_TEXT:
                value->Kind = StoredValue::Shape::Text;
                value->Text = db::FromUtf8(s.ColumnText(1));
                return S_OK;
            case SQLITE_BLOB:
            case SQLITE_NULL: {  // an empty blob reads back as NULL
                value->Kind = StoredValue::Shape::Bytes;
                const auto* p = static_cast<const BYTE*>(sqlite3_column_blob(s.Handle(), 1));
                value->Bytes.assign(p, p + sqlite3_column_bytes(s.Handle(), 1));
                return S_OK;
            }
            default:
                return HRESULT_FROM_WIN32(ERROR_BADDB);
        }
    }

    HRESULT Write(const std::wstring& name, const StoredValue& value, unsigned lazyDepth) override {
        if (lazyDepth == 0) {
            return Put(name, value);
        }
        // The write and its journal entry land together, or neither does.
        HRESULT hr = m_Db.Exec("BEGIN IMMEDIATE");
        if (FAILED(hr)) {
            return hr;
        }
        hr = Journal(name, lazyDepth);
        if (SUCCEEDED(hr)) {
            hr = Put(name, value);
        }
        if (SUCCEEDED(hr)) {
            hr = m_Db.Exec("COMMIT");
        }
        if (FAILED(hr)) {
            m_Db.Exec("ROLLBACK");
        }
        return hr;
    }

    HRESULT Delete(const std::wstring& name) override {
        Statement s;
        HRESULT hr = PrepareForKey(s,
                                   "DELETE FROM property_values WHERE instance=?1 AND key=?2 AND "
                                   "name=?3");
        if (FAILED(hr)) {
            return hr;
        }
        s.BindText(3, db::ToUtf8(name));
        hr = s.Step();
        if (FAILED(hr)) {
            return hr;
        }
        return sqlite3_changes(m_Db.Handle()) > 0 ? S_OK : HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    }

    HRESULT Count(DWORD* count) override {
        Statement s;
        HRESULT hr =
            PrepareForKey(s, "SELECT count(*) FROM property_values WHERE instance=?1 AND key=?2");
        if (FAILED(hr)) {
            return hr;
        }
        hr = s.Step();
        if (hr != S_OK) {
            return FAILED(hr) ? hr : E_FAIL;
        }
        *count = static_cast<DWORD>(sqlite3_column_int64(s.Handle(), 0));
        return S_OK;
    }

    HRESULT NameAt(DWORD index, std::wstring* name) override {
        Statement s;
        HRESULT hr = PrepareForKey(s,
                                   "SELECT name FROM property_values WHERE instance=?1 AND key=?2 "
                                   "ORDER BY rowid LIMIT 1 OFFSET ?3");
        if (FAILED(hr)) {
            return hr;
        }
        s.BindInt(3, index);
        hr = s.Step();
        if (FAILED(hr)) {
            return hr;
        }
        if (hr == S_FALSE) {
            return HRESULT_FROM_WIN32(ERROR_NO_MORE_ITEMS);
        }
        *name = db::FromUtf8(s.ColumnText(0));
        return S_OK;
    }

private:
    // Prepares a statement whose ?1 and ?2 are this key's device instance and key.
    HRESULT PrepareForKey(Statement& s, const char* sql) {
        const HRESULT hr = s.Prepare(m_Db, sql);
        if (SUCCEEDED(hr)) {
            s.BindText(1, m_Instance);
            s.BindText(2, m_Key);
        }
        return hr;
    }

    HRESULT Put(const std::wstring& name, const StoredValue& value) {
        Statement s;
        HRESULT hr =
            PrepareForKey(s,
                          "INSERT OR REPLACE INTO property_values(instance, key, name, vt, "
                          "value) VALUES(?1, ?2, ?3, ?4, ?5)");
        if (FAILED(hr)) {
            return hr;
        }
        s.BindText(3, db::ToUtf8(name));
        s.BindInt(4, value.WrittenAs);
        switch (value.Kind) {
            case StoredValue::Shape::Number:
                s.BindInt(5, value.Number);
                break;
            case StoredValue::Shape::Text:
                s.BindText(5, db::ToUtf8(value.Text));
                break;
            case StoredValue::Shape::Bytes:
                s.BindBlob(5, value.Bytes.data(), value.Bytes.size());
                break;
        }
        hr = s.Step();
        return FAILED(hr) ? hr : S_OK;
    }

    // Records what a write of `name` replaces, keeping this process's last `depth` entries.
    HRESULT Journal(const std::wstring& name, unsigned depth) {
        const auto owner = static_cast<sqlite3_int64>(GetCurrentProcessId());
        Statement s;
        HRESULT hr = PrepareForKey(
            s,
            "INSERT INTO lazy_journal(owner, instance, key, name, had, vt, value) "
            "SELECT ?4, ?1, ?2, ?3, count(v.name), v.vt, v.value FROM (SELECT 1) LEFT JOIN "
            "property_values v ON v.instance=?1 AND v.key=?2 AND v.name=?3");
        if (FAILED(hr)) {
            return hr;
        }
        s.BindText(3, db::ToUtf8(name));
        s.BindInt(4, owner);
        hr = s.Step();
        if (FAILED(hr)) {
            return hr;
        }
        Statement trim;
        hr = trim.Prepare(m_Db,
                          "DELETE FROM lazy_journal WHERE owner=?1 AND seq NOT IN (SELECT seq "
                          "FROM lazy_journal WHERE owner=?1 ORDER BY seq DESC LIMIT ?2)");
        if (FAILED(hr)) {
            return hr;
        }
        trim.BindInt(1, owner);
        trim.BindInt(2, depth);
        hr = trim.Step();
        return FAILED(hr) ? hr : S_OK;
    }

    const std::string m_Instance;  // UTF-8, as the database keys it
    const std::string m_Key;
    // Each key has its own connection; SQLite serialises it besides (opened full-mutex).
    Connection m_Db;
};

class MachineDeviceProperties final : public DevicePropertyKey {
public:
    MachineDeviceProperties(const std::wstring& instance, const std::wstring& key)
        : m_Instance(db::ToUtf8(instance)), m_Key(db::ToUtf8(key)) {}

    HRESULT Open(const MachineStore& store) {
        return m_Db.Open(store.Path(), store.Options().BusyTimeoutMs);
    }

    HRESULT Get(const DEVPROPKEY& key, LCID lcid, DEVPROPTYPE* type,
                std::vector<BYTE>* data) override {
        Statement s;
        HRESULT hr = s.Prepare(m_Db,
                               "SELECT type, data FROM unified_properties WHERE instance=?1 AND "
                               "key=?2 AND fmtid=?3 AND pid=?4 AND lcid=?5");
        if (FAILED(hr)) {
            return hr;
        }
        Bind(s, key, lcid);
        hr = s.Step();
        if (FAILED(hr)) {
            return hr;
        }
        if (hr == S_FALSE) {
            return HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
        }
        *type = static_cast<DEVPROPTYPE>(sqlite3_column_int64(s.Handle(), 0));
        const auto* p = static_cast<const BYTE*>(sqlite3_column_blob(s.Handle(), 1));
        data->assign(p, p + sqlite3_column_bytes(s.Handle(), 1));
        return S_OK;
    }

    HRESULT Set(const DEVPROPKEY& key, LCID lcid, DEVPROPTYPE type, const void* data,
                ULONG size) override {
        Statement s;
        HRESULT hr;
        if (type == DEVPROP_TYPE_EMPTY) {
            hr = s.Prepare(m_Db,
                           "DELETE FROM unified_properties WHERE instance=?1 AND key=?2 AND "
                           "fmtid=?3 AND pid=?4 AND lcid=?5");
        } else {
            hr = s.Prepare(m_Db,
                           "INSERT OR REPLACE INTO unified_properties(instance, key, fmtid, pid, "
                           "lcid, type, data) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7)");
        }
        if (FAILED(hr)) {
            return hr;
        }
        Bind(s, key, lcid);
        if (type != DEVPROP_TYPE_EMPTY) {
            s.BindInt(6, type);
            s.BindBlob(7, data, size);
        }
        hr = s.Step();
        return FAILED(hr) ? hr : S_OK;
    }

private:
    void Bind(Statement& s, const DEVPROPKEY& key, LCID lcid) {
        WCHAR text[40] = {};
        StringFromGUID2(key.fmtid, text, 40);
        s.BindText(1, m_Instance);
        s.BindText(2, m_Key);
        s.BindText(3, db::ToUtf8(text));
        s.BindInt(4, key.pid);
        s.BindInt(5, lcid);
    }

    const std::string m_Instance;
    const std::string m_Key;
    Connection m_Db;
};

}  // namespace

HRESULT MachineStore::OpenKey(const std::wstring& instanceId, const std::wstring& key, KeyOpen how,
                              std::unique_ptr<PropertyKey>* opened, bool* created) try {
    if (opened == nullptr) {
        return E_POINTER;
    }
    opened->reset();
    bool made = false;
    auto k = std::make_unique<MachineKey>(instanceId, key);
    HRESULT hr = k->Open(*this);
    if (SUCCEEDED(hr) && how != KeyOpen::DeviceOwned) {
        hr = k->EnsureKey(how == KeyOpen::CreateIfMissing, &made);
    }
    if (FAILED(hr)) {
        return hr;
    }
    if (created != nullptr) {
        *created = made;
    }
    *opened = std::move(k);
    return S_OK;
} catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
}

HRESULT MachineStore::OpenDeviceProperties(const std::wstring& instanceId, const std::wstring& key,
                                           std::unique_ptr<DevicePropertyKey>* opened) try {
    if (opened == nullptr) {
        return E_POINTER;
    }
    opened->reset();
    auto k = std::make_unique<MachineDeviceProperties>(instanceId, key);
    const HRESULT hr = k->Open(*this);
    if (FAILED(hr)) {
        return hr;
    }
    *opened = std::move(k);
    return S_OK;
} catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
}

HRESULT MachineStore::StoredValueType(const std::wstring& instanceId, const std::wstring& keyName,
                                      const std::wstring& name, VARTYPE* vt) try {
    if (vt == nullptr) {
        return E_POINTER;
    }
    Connection c;
    HRESULT hr = c.Open(m_Path, m_Options.BusyTimeoutMs);
    Statement s;
    if (SUCCEEDED(hr)) {
        hr =
            s.Prepare(c, "SELECT vt FROM property_values WHERE instance=?1 AND key=?2 AND name=?3");
    }
    if (SUCCEEDED(hr)) {
        s.BindText(1, db::ToUtf8(instanceId));
        s.BindText(2, db::ToUtf8(keyName));
        s.BindText(3, db::ToUtf8(name));
        hr = s.Step();
    }
    if (FAILED(hr)) {
        return hr;
    }
    if (hr == S_FALSE) {
        return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    }
    *vt = static_cast<VARTYPE>(sqlite3_column_int(s.Handle(), 0));
    return S_OK;
} catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
}

}  // namespace sim
