// The machine database file and the device database behind SetupAPI.
#include "MachineStore.h"

#include <objbase.h>
#include <signal.h>

#include <cerrno>
#include <new>
#include <vector>

#include "Db.h"

namespace sim {

namespace {

std::string GuidText(const GUID& g) {
    WCHAR text[40] = {};
    StringFromGUID2(g, text, 40);
    return db::ToUtf8(text);
}

bool ProcessAlive(sqlite3_int64 pid) {
    return pid == static_cast<sqlite3_int64>(GetCurrentProcessId()) ||
           ::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH;
}

// Undoes the unflushed writes of every process that is gone, newest first.
HRESULT RollBackLostWrites(db::Connection& c) {
    std::vector<sqlite3_int64> dead;
    {
        db::Statement s;
        HRESULT hr = s.Prepare(c, "SELECT DISTINCT owner FROM lazy_journal");
        while (SUCCEEDED(hr) && (hr = s.Step()) == S_OK) {
            const sqlite3_int64 owner = sqlite3_column_int64(s.Handle(), 0);
            if (!ProcessAlive(owner)) {
                dead.push_back(owner);
            }
        }
        if (FAILED(hr)) {
            return hr;
        }
    }
    for (const sqlite3_int64 owner : dead) {
        HRESULT hr = c.Exec("BEGIN IMMEDIATE");
        if (FAILED(hr)) {
            return hr;
        }
        for (const char* sql :
             {// Values that existed get back what they held; values a write created go.
              "INSERT OR REPLACE INTO property_values(instance, key, name, vt, value) "
              "SELECT instance, key, name, vt, value FROM lazy_journal j WHERE owner=?1 AND "
              "had=1 AND seq=(SELECT min(seq) FROM lazy_journal k WHERE k.owner=?1 AND "
              "k.instance=j.instance AND k.key=j.key AND k.name=j.name)",
              "DELETE FROM property_values WHERE EXISTS(SELECT 1 FROM lazy_journal j WHERE "
              "owner=?1 AND had=0 AND j.instance=property_values.instance AND "
              "j.key=property_values.key AND j.name=property_values.name AND "
              "seq=(SELECT min(seq) FROM lazy_journal k WHERE k.owner=?1 AND "
              "k.instance=j.instance AND k.key=j.key AND k.name=j.name))",
              "DELETE FROM lazy_journal WHERE owner=?1"}) {
            db::Statement s;
            hr = s.Prepare(c, sql);
            if (SUCCEEDED(hr)) {
                s.BindInt(1, owner);
                hr = s.Step();
            }
            if (FAILED(hr)) {
                c.Exec("ROLLBACK");
                return hr;
            }
        }
        hr = c.Exec("COMMIT");
        if (FAILED(hr)) {
            c.Exec("ROLLBACK");
            return hr;
        }
    }
    return S_OK;
}

}  // namespace

std::string MachineStore::DbPathForMachine(const std::string& machineFolder) {
    return machineFolder + "/machine.db";
}

HRESULT MachineStore::Open(const std::string& dbPath, std::shared_ptr<MachineStore>* store,
                           StoreOptions options) try {
    if (store == nullptr) {
        return E_POINTER;
    }
    store->reset();
    db::Connection c;
    HRESULT hr = c.Open(dbPath, options.BusyTimeoutMs, true);
    if (SUCCEEDED(hr)) {
        hr = RollBackLostWrites(c);
    }
    if (FAILED(hr)) {
        return hr;
    }
    store->reset(new MachineStore(dbPath, options));
    return S_OK;
} catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
}

HRESULT MachineStore::FlushLazyWrites() {
    db::Connection c;
    db::Statement s;
    HRESULT hr = c.Open(m_Path, m_Options.BusyTimeoutMs);
    if (SUCCEEDED(hr)) {
        hr = s.Prepare(c, "DELETE FROM lazy_journal WHERE owner=?1");
    }
    if (SUCCEEDED(hr)) {
        s.BindInt(1, static_cast<sqlite3_int64>(GetCurrentProcessId()));
        hr = s.Step();
    }
    return FAILED(hr) ? hr : S_OK;
}

HRESULT MachineStore::RegisterDeviceNode(const std::wstring& instanceId, const GUID& classGuid,
                                         const std::vector<std::wstring>& hardwareIds) try {
    db::Connection c;
    HRESULT hr = c.Open(m_Path, m_Options.BusyTimeoutMs);
    if (FAILED(hr)) {
        return hr;
    }
    db::Statement s;
    hr = s.Prepare(c, "INSERT OR REPLACE INTO device_nodes(instance, class_guid) VALUES(?1, ?2)");
    if (FAILED(hr)) {
        return hr;
    }
    s.BindText(1, db::ToUtf8(instanceId));
    s.BindText(2, GuidText(classGuid));
    hr = s.Step();
    if (FAILED(hr)) {
        return hr;
    }
    return SetDeviceRegistryProperty(instanceId, SPDRP_HARDWAREID, REG_MULTI_SZ,
                                     ToRegMultiSz(hardwareIds));
} catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
}

HRESULT MachineStore::SetDeviceRegistryProperty(const std::wstring& instanceId, DWORD property,
                                                DWORD regType, const std::vector<BYTE>& data) try {
    db::Connection c;
    HRESULT hr = c.Open(m_Path, m_Options.BusyTimeoutMs);
    if (FAILED(hr)) {
        return hr;
    }
    db::Statement s;
    hr = s.Prepare(c,
                   "INSERT OR REPLACE INTO device_registry(instance, property, reg_type, data) "
                   "VALUES(?1, ?2, ?3, ?4)");
    if (FAILED(hr)) {
        return hr;
    }
    s.BindText(1, db::ToUtf8(instanceId));
    s.BindInt(2, property);
    s.BindInt(3, regType);
    s.BindBlob(4, data.data(), data.size());
    hr = s.Step();
    return FAILED(hr) ? hr : S_OK;
} catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
}

HRESULT MachineStore::RemoveDeviceNode(const std::wstring& instanceId) try {
    db::Connection c;
    HRESULT hr = c.Open(m_Path, m_Options.BusyTimeoutMs);
    if (FAILED(hr)) {
        return hr;
    }
    for (const char* sql : {"DELETE FROM device_registry WHERE instance=?1",
                            "DELETE FROM device_nodes WHERE instance=?1"}) {
        db::Statement s;
        hr = s.Prepare(c, sql);
        if (FAILED(hr)) {
            return hr;
        }
        s.BindText(1, db::ToUtf8(instanceId));
        hr = s.Step();
        if (FAILED(hr)) {
            return hr;
        }
    }
    return S_OK;
} catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
}

HRESULT MachineStore::DeviceNodes(std::vector<std::wstring>* instanceIds) try {
    if (instanceIds == nullptr) {
        return E_POINTER;
    }
    instanceIds->clear();
    db::Connection c;
    HRESULT hr = c.Open(m_Path, m_Options.BusyTimeoutMs);
    db::Statement s;
    if (SUCCEEDED(hr)) {
        hr = s.Prepare(c, "SELECT instance FROM device_nodes ORDER BY rowid");
    }
    while (SUCCEEDED(hr) && (hr = s.Step()) == S_OK) {
        instanceIds->push_back(db::FromUtf8(s.ColumnText(0)));
    }
    return FAILED(hr) ? hr : S_OK;
} catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
}

HRESULT MachineStore::FindNode(const std::wstring& instanceId, GUID* classGuid) try {
    if (classGuid == nullptr) {
        return E_POINTER;
    }
    db::Connection c;
    db::Statement s;
    HRESULT hr = c.Open(m_Path, m_Options.BusyTimeoutMs);
    if (SUCCEEDED(hr)) {
        hr = s.Prepare(c, "SELECT class_guid FROM device_nodes WHERE instance=?1");
    }
    if (SUCCEEDED(hr)) {
        s.BindText(1, db::ToUtf8(instanceId));
        hr = s.Step();
    }
    if (FAILED(hr)) {
        return hr;
    }
    if (hr == S_FALSE) {
        return HRESULT_FROM_WIN32(ERROR_NO_SUCH_DEVINST);
    }
    *classGuid = GUID{};
    CLSIDFromString(db::FromUtf8(s.ColumnText(0)).c_str(), classGuid);
    return S_OK;
} catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
}

HRESULT MachineStore::NodeRegistryProperty(const std::wstring& instanceId, DWORD property,
                                           DWORD* regType, std::vector<BYTE>* data) try {
    if (regType == nullptr || data == nullptr) {
        return E_POINTER;
    }
    GUID unused;
    HRESULT hr = FindNode(instanceId, &unused);
    if (FAILED(hr)) {
        return hr;
    }
    db::Connection c;
    db::Statement s;
    hr = c.Open(m_Path, m_Options.BusyTimeoutMs);
    if (SUCCEEDED(hr)) {
        hr = s.Prepare(c,
                       "SELECT reg_type, data FROM device_registry WHERE instance=?1 AND "
                       "property=?2");
    }
    if (SUCCEEDED(hr)) {
        s.BindText(1, db::ToUtf8(instanceId));
        s.BindInt(2, property);
        hr = s.Step();
    }
    if (FAILED(hr)) {
        return hr;
    }
    if (hr == S_FALSE) {
        return HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
    }
    *regType = static_cast<DWORD>(sqlite3_column_int64(s.Handle(), 0));
    const auto* p = static_cast<const BYTE*>(sqlite3_column_blob(s.Handle(), 1));
    data->assign(p, p + sqlite3_column_bytes(s.Handle(), 1));
    return S_OK;
} catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
}

std::vector<BYTE> ToUtf16Le(const std::wstring& text) {
    std::vector<BYTE> out;
    auto put = [&out](unsigned unit) {
        out.push_back(static_cast<BYTE>(unit & 0xff));
        out.push_back(static_cast<BYTE>(unit >> 8));
    };
    for (wchar_t wc : text) {
        const auto c = static_cast<char32_t>(wc);
        if (c > 0xFFFF) {
            put(0xD800 + ((c - 0x10000) >> 10));
            put(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            put(static_cast<unsigned>(c));
        }
    }
    return out;
}

std::vector<BYTE> ToRegMultiSz(const std::vector<std::wstring>& strings) {
    std::vector<BYTE> out;
    for (const auto& s : strings) {
        auto bytes = ToUtf16Le(s);
        out.insert(out.end(), bytes.begin(), bytes.end());
        out.push_back(0);
        out.push_back(0);
    }
    out.push_back(0);
    out.push_back(0);
    return out;
}

}  // namespace sim
