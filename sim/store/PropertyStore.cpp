// Device property stores over the machine database: named values (IWDFNamedPropertyStore2)
// and unified device properties (IWDFUnifiedPropertyStore).
#include "MachineStore.h"

#include <objbase.h>
#include <stringapiset.h>

#include <atomic>
#include <new>

#include "Db.h"
#include "FaultPlan.h"

namespace sim {

namespace {

using db::Connection;
using db::Statement;

// The key a root specifier names, as the database records it ("HardwareKey",
// "DeviceParameters", "SoftwareKey", "DeviceInterfaceKey\{guid}\ref", ...).
HRESULT KeyForRoot(const WDF_PROPERTY_STORE_ROOT* root, PCWSTR subkeyPath, bool unified,
                   std::wstring* key, bool* readOnly) {
    *readOnly = false;
    if (root == nullptr || root->LengthCb != sizeof(WDF_PROPERTY_STORE_ROOT)) {
        return E_INVALIDARG;
    }
    // Read as a number: a caller may pass a class this enumeration does not name.
    ULONG rootClass = 0;
    memcpy(&rootClass, &root->RootClass, sizeof(rootClass));
    switch (rootClass) {
        case WdfPropertyStoreRootClassHardwareKey: {
            PCWSTR service = root->Qualifier.HardwareKey.ServiceName;
            if (service == nullptr) {
                *key = L"HardwareKey";
            } else if (unified) {
                return E_INVALIDARG;  // the unified store takes no service name
            } else if (std::wstring(service) == L"\\") {
                *key = L"DeviceParameters";
                *readOnly = true;
            } else {
                *key = std::wstring(L"HardwareKey\\") + service;
            }
            break;
        }
        case WdfPropertyStoreRootClassSoftwareKey:
            if (unified) {
                return E_INVALIDARG;
            }
            *key = L"SoftwareKey";
            break;
        case WdfPropertyStoreRootClassDeviceInterfaceKey: {
            const GUID* guid = root->Qualifier.DeviceInterfaceKey.InterfaceGUID;
            if (guid == nullptr) {
                return E_INVALIDARG;
            }
            WCHAR text[40] = {};
            StringFromGUID2(*guid, text, 40);
            *key = std::wstring(L"DeviceInterfaceKey\\") + text;
            if (root->Qualifier.DeviceInterfaceKey.ReferenceString != nullptr) {
                *key += std::wstring(L"\\") + root->Qualifier.DeviceInterfaceKey.ReferenceString;
            }
            break;
        }
        case WdfPropertyStoreRootClassLegacyHardwareKey:
            if (unified || root->Qualifier.LegacyHardwareKey.LegacyMapName == nullptr) {
                return E_INVALIDARG;
            }
            *key = std::wstring(L"LegacyHardwareKey\\") +
                   root->Qualifier.LegacyHardwareKey.LegacyMapName;
            break;
        default:
            return E_INVALIDARG;
    }
    if (subkeyPath != nullptr && *subkeyPath != L'\0') {
        *key += std::wstring(L"\\") + subkeyPath;
    }
    return S_OK;
}

WCHAR* CoTaskDup(const std::wstring& w) {
    auto* p = static_cast<WCHAR*>(CoTaskMemAlloc((w.size() + 1) * sizeof(WCHAR)));
    if (p != nullptr) {
        w.copy(p, w.size());
        p[w.size()] = L'\0';
    }
    return p;
}

bool IsIntegerType(VARTYPE vt) {
    switch (vt) {
        case VT_I1:
        case VT_UI1:
        case VT_I2:
        case VT_UI2:
        case VT_I4:
        case VT_UI4:
        case VT_INT:
        case VT_UINT:
            return true;
        default:
            return false;
    }
}

bool IsTextType(VARTYPE vt) {
    return vt == VT_LPWSTR || vt == VT_LPSTR || vt == VT_BSTR;
}

class CNamedPropertyStore final : public IWDFNamedPropertyStore2 {
public:
    CNamedPropertyStore(std::wstring instance, std::wstring key, REGSAM access,
                        std::shared_ptr<MachineStore::Counters> counters)
        : m_Instance(db::ToUtf8(instance)),
          m_Key(db::ToUtf8(key)),
          m_Access(access),
          m_Counters(std::move(counters)) {
        ++m_Counters->Alive;
    }

    HRESULT Open(const MachineStore& store) {
        return m_Db.Open(store.Path(), store.Options().BusyTimeoutMs);
    }

    // Prepares a statement whose ?1 and ?2 are this store's device instance and key.
    HRESULT PrepareForKey(Statement& s, const char* sql) {
        const HRESULT hr = s.Prepare(m_Db, sql);
        if (SUCCEEDED(hr)) {
            s.BindText(1, m_Instance);
            s.BindText(2, m_Key);
        }
        return hr;
    }

    // A missing key is created when `create` is set, otherwise it is not found.
    HRESULT EnsureKey(bool create, WDF_PROPERTY_STORE_DISPOSITION* disposition) {
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
            *disposition =
                sqlite3_changes(m_Db.Handle()) > 0 ? CreatedNewStore : OpenedExistingStore;
            return S_OK;
        }
        *disposition = OpenedExistingStore;
        return hr == S_OK ? S_OK : HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) {
            return E_POINTER;
        }
        *ppv = nullptr;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IWDFNamedPropertyStore) ||
            IsEqualIID(riid, IID_IWDFNamedPropertyStore2)) {
            *ppv = static_cast<IWDFNamedPropertyStore2*>(this);
            AddRef();
            return S_OK;
        }
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++m_cRef; }
    STDMETHODIMP_(ULONG) Release() override {
        const ULONG n = --m_cRef;
        if (n == 0) {
            delete this;
        }
        return n;
    }

    STDMETHODIMP GetNamedValue(LPCWSTR pszName, PROPVARIANT* pv) override try {
        if (pszName == nullptr || pv == nullptr) {
            return E_INVALIDARG;
        }
        PropVariantInit(pv);
        if ((m_Access & KEY_QUERY_VALUE) == 0) {
            return E_ACCESSDENIED;
        }
        Statement s;
        HRESULT hr = PrepareForKey(s,
                                   "SELECT vt, value FROM property_values "
                                   "WHERE instance=?1 AND key=?2 AND name=?3");
        if (FAILED(hr)) {
            return hr;
        }
        s.BindText(3, db::ToUtf8(pszName));
        hr = s.Step();
        if (FAILED(hr)) {
            return hr;
        }
        if (hr == S_FALSE) {
            return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
        }
        const auto vt = static_cast<VARTYPE>(sqlite3_column_int(s.Handle(), 0));
        const int column = sqlite3_column_type(s.Handle(), 1);
        // Integers come back as VT_UI4 and text as VT_LPWSTR, whatever type wrote them.
        if (IsIntegerType(vt) && column == SQLITE_INTEGER) {
            pv->vt = VT_UI4;
            pv->ulVal = static_cast<ULONG>(sqlite3_column_int64(s.Handle(), 1));
            return S_OK;
        }
        if (IsTextType(vt) && column == SQLITE_TEXT) {
            WCHAR* text = CoTaskDup(db::FromUtf8(s.ColumnText(1)));
            if (text == nullptr) {
                return E_OUTOFMEMORY;
            }
            pv->vt = VT_LPWSTR;
            pv->pwszVal = text;
            return S_OK;
        }
        if (vt == VT_BLOB && (column == SQLITE_BLOB || column == SQLITE_NULL)) {
            const int size = sqlite3_column_bytes(s.Handle(), 1);
            BYTE* data = nullptr;
            if (size > 0) {
                data = static_cast<BYTE*>(CoTaskMemAlloc(static_cast<SIZE_T>(size)));
                if (data == nullptr) {
                    return E_OUTOFMEMORY;
                }
                memcpy(data, sqlite3_column_blob(s.Handle(), 1), static_cast<size_t>(size));
            }
            pv->vt = VT_BLOB;
            pv->blob.cbSize = static_cast<ULONG>(size);
            pv->blob.pBlobData = data;
            return S_OK;
        }
        // A row that no SetNamedValue could have written.
        return HRESULT_FROM_WIN32(ERROR_BADDB);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }

    STDMETHODIMP SetNamedValue(LPCWSTR pszName, const PROPVARIANT* pv) override try {
        if (pszName == nullptr || pv == nullptr) {
            return E_INVALIDARG;
        }
        if ((m_Access & KEY_SET_VALUE) == 0) {
            return E_ACCESSDENIED;
        }
        int64_t lazyDepth = 0;
        if (const auto hit =
                FaultPlan::Instance().Check(FaultPoint::StoreWrite, db::ToUtf8(pszName))) {
            if (hit->action == FaultAction::Fail) {
                return static_cast<HRESULT>(hit->value != 0 ? hit->value : E_FAIL);
            }
            if (hit->action == FaultAction::Lazy) {
                lazyDepth = hit->value;
            }
        }
        if (lazyDepth <= 0) {
            return Write(pszName, pv);
        }
        // The write and its journal entry land together, or neither does.
        HRESULT hr = m_Db.Exec("BEGIN IMMEDIATE");
        if (FAILED(hr)) {
            return hr;
        }
        hr = Journal(pszName, lazyDepth);
        if (SUCCEEDED(hr)) {
            hr = Write(pszName, pv);
        }
        if (SUCCEEDED(hr)) {
            hr = m_Db.Exec("COMMIT");
        }
        if (FAILED(hr)) {
            m_Db.Exec("ROLLBACK");
        }
        return hr;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }

    // Records what a write of `name` replaces, keeping this process's last `depth` entries.
    HRESULT Journal(LPCWSTR name, int64_t depth) {
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

    HRESULT Write(LPCWSTR pszName, const PROPVARIANT* pv) {
        Statement s;
        HRESULT hr =
            PrepareForKey(s,
                          "INSERT OR REPLACE INTO property_values(instance, key, name, vt, "
                          "value) VALUES(?1, ?2, ?3, ?4, ?5)");
        if (FAILED(hr)) {
            return hr;
        }
        s.BindText(3, db::ToUtf8(pszName));
        s.BindInt(4, pv->vt);
        switch (pv->vt) {
            // Stored as the 32-bit registry number the value becomes.
            case VT_I1:
                s.BindInt(5, static_cast<UINT32>(static_cast<INT32>(pv->cVal)));
                break;
            case VT_UI1:
                s.BindInt(5, pv->bVal);
                break;
            case VT_I2:
                s.BindInt(5, static_cast<UINT32>(static_cast<INT32>(pv->iVal)));
                break;
            case VT_UI2:
                s.BindInt(5, pv->uiVal);
                break;
            case VT_I4:
            case VT_INT:
                s.BindInt(5, static_cast<UINT32>(pv->lVal));
                break;
            case VT_UI4:
            case VT_UINT:
                s.BindInt(5, pv->ulVal);
                break;
            case VT_LPWSTR:
                if (pv->pwszVal == nullptr) {
                    return E_INVALIDARG;
                }
                s.BindText(5, db::ToUtf8(pv->pwszVal));
                break;
            case VT_BSTR:  // a NULL BSTR is the empty string
                s.BindText(5, db::ToUtf8(pv->bstrVal != nullptr ? pv->bstrVal : L""));
                break;
            case VT_LPSTR: {
                if (pv->pszVal == nullptr) {
                    return E_INVALIDARG;
                }
                // Narrow text is in the ANSI code page; the database keeps UTF-8.
                const int n = MultiByteToWideChar(CP_ACP, 0, pv->pszVal, -1, nullptr, 0);
                std::wstring wide(static_cast<size_t>(n > 0 ? n : 1), L'\0');
                if (n > 0) {
                    MultiByteToWideChar(CP_ACP, 0, pv->pszVal, -1, wide.data(), n);
                }
                wide.resize(wide.size() - 1);
                s.BindText(5, db::ToUtf8(wide));
                break;
            }
            case VT_BLOB:
                if (pv->blob.cbSize != 0 && pv->blob.pBlobData == nullptr) {
                    return E_INVALIDARG;
                }
                s.BindBlob(5, pv->blob.pBlobData, pv->blob.cbSize);
                break;
            default:
                return E_INVALIDARG;
        }
        hr = s.Step();
        return FAILED(hr) ? hr : S_OK;
    }

    STDMETHODIMP GetNameCount(DWORD* pdwCount) override try {
        if (pdwCount == nullptr) {
            return E_INVALIDARG;
        }
        if ((m_Access & KEY_QUERY_VALUE) == 0) {
            return E_ACCESSDENIED;
        }
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
        *pdwCount = static_cast<DWORD>(sqlite3_column_int64(s.Handle(), 0));
        return S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }

    STDMETHODIMP GetNameAt(DWORD iProp, PWSTR* ppwszName) override try {
        if (ppwszName == nullptr) {
            return E_INVALIDARG;
        }
        *ppwszName = nullptr;
        if ((m_Access & KEY_QUERY_VALUE) == 0) {
            return E_ACCESSDENIED;
        }
        Statement s;
        HRESULT hr = PrepareForKey(s,
                                   "SELECT name FROM property_values WHERE instance=?1 AND key=?2 "
                                   "ORDER BY rowid LIMIT 1 OFFSET ?3");
        if (FAILED(hr)) {
            return hr;
        }
        s.BindInt(3, iProp);
        hr = s.Step();
        if (FAILED(hr)) {
            return hr;
        }
        if (hr == S_FALSE) {
            return HRESULT_FROM_WIN32(ERROR_NO_MORE_ITEMS);
        }
        *ppwszName = CoTaskDup(db::FromUtf8(s.ColumnText(0)));
        return *ppwszName != nullptr ? S_OK : E_OUTOFMEMORY;
    } catch (...) {
        return E_OUTOFMEMORY;
    }

    STDMETHODIMP DeleteNamedValue(LPCWSTR pwszName) override try {
        if (pwszName == nullptr) {
            return E_INVALIDARG;
        }
        if ((m_Access & KEY_SET_VALUE) == 0) {
            return E_ACCESSDENIED;
        }
        Statement s;
        HRESULT hr = PrepareForKey(s,
                                   "DELETE FROM property_values WHERE instance=?1 AND key=?2 AND "
                                   "name=?3");
        if (FAILED(hr)) {
            return hr;
        }
        s.BindText(3, db::ToUtf8(pwszName));
        hr = s.Step();
        if (FAILED(hr)) {
            return hr;
        }
        return sqlite3_changes(m_Db.Handle()) > 0 ? S_OK : HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    } catch (...) {
        return E_OUTOFMEMORY;
    }

private:
    ~CNamedPropertyStore() { --m_Counters->Alive; }

    std::atomic<ULONG> m_cRef{1};
    const std::string m_Instance;  // UTF-8, as the database keys it
    const std::string m_Key;
    const REGSAM m_Access;
    const std::shared_ptr<MachineStore::Counters> m_Counters;
    // Each store has its own connection; a store is used by one operation at a time, and
    // SQLite serialises the connection itself besides (opened full-mutex).
    Connection m_Db;
};

class CUnifiedPropertyStore final : public IWDFUnifiedPropertyStore {
public:
    CUnifiedPropertyStore(std::wstring instance, std::wstring key)
        : m_Instance(db::ToUtf8(instance)), m_Key(db::ToUtf8(key)) {}

    HRESULT Open(const MachineStore& store) {
        return m_Db.Open(store.Path(), store.Options().BusyTimeoutMs);
    }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) {
            return E_POINTER;
        }
        *ppv = nullptr;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IWDFUnifiedPropertyStore)) {
            *ppv = static_cast<IWDFUnifiedPropertyStore*>(this);
            AddRef();
            return S_OK;
        }
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++m_cRef; }
    STDMETHODIMP_(ULONG) Release() override {
        const ULONG n = --m_cRef;
        if (n == 0) {
            delete this;
        }
        return n;
    }

    STDMETHODIMP SetPropertyData(const DEVPROPKEY* PropertyKey, LCID Lcid, ULONG Flags,
                                 DEVPROPTYPE PropertyType, ULONG PropertyDataSize,
                                 PVOID PropertyData) override try {
        if (PropertyKey == nullptr || Flags != 0 ||
            (PropertyDataSize != 0 && PropertyData == nullptr)) {
            return E_INVALIDARG;
        }
        Statement s;
        HRESULT hr;
        if (PropertyType == DEVPROP_TYPE_EMPTY) {  // deletes the property
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
        Bind(s, PropertyKey, Lcid);
        if (PropertyType != DEVPROP_TYPE_EMPTY) {
            s.BindInt(6, PropertyType);
            s.BindBlob(7, PropertyData, PropertyDataSize);
        }
        hr = s.Step();
        return FAILED(hr) ? hr : S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }

    STDMETHODIMP GetPropertyData(const DEVPROPKEY* PropertyKey, LCID Lcid, ULONG Flags,
                                 ULONG PropertyDataSize, PVOID PropertyData,
                                 ULONG* PropertyDataRequiredSize,
                                 DEVPROPTYPE* PropertyType) override try {
        if (PropertyKey == nullptr || Flags != 0 || PropertyDataRequiredSize == nullptr ||
            PropertyType == nullptr || (PropertyDataSize != 0 && PropertyData == nullptr)) {
            return E_INVALIDARG;
        }
        Statement s;
        HRESULT hr = s.Prepare(m_Db,
                               "SELECT type, data FROM unified_properties WHERE instance=?1 AND "
                               "key=?2 AND fmtid=?3 AND pid=?4 AND lcid=?5");
        if (FAILED(hr)) {
            return hr;
        }
        Bind(s, PropertyKey, Lcid);
        hr = s.Step();
        if (FAILED(hr)) {
            return hr;
        }
        if (hr == S_FALSE) {
            return HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
        }
        const ULONG size = static_cast<ULONG>(sqlite3_column_bytes(s.Handle(), 1));
        *PropertyType = static_cast<DEVPROPTYPE>(sqlite3_column_int64(s.Handle(), 0));
        *PropertyDataRequiredSize = size;
        if (PropertyDataSize < size) {
            return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
        }
        if (size != 0) {
            memcpy(PropertyData, sqlite3_column_blob(s.Handle(), 1), size);
        }
        return S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }

private:
    ~CUnifiedPropertyStore() = default;

    void Bind(Statement& s, const DEVPROPKEY* key, LCID lcid) {
        WCHAR text[40] = {};
        StringFromGUID2(key->fmtid, text, 40);
        s.BindText(1, m_Instance);
        s.BindText(2, m_Key);
        s.BindText(3, db::ToUtf8(text));
        s.BindInt(4, key->pid);
        s.BindInt(5, lcid);
    }

    std::atomic<ULONG> m_cRef{1};
    const std::string m_Instance;
    const std::string m_Key;
    Connection m_Db;
};

}  // namespace

HRESULT MachineStore::RetrieveNamedStore(const std::wstring& instanceId,
                                         const WDF_PROPERTY_STORE_ROOT* root,
                                         WDF_PROPERTY_STORE_RETRIEVE_FLAGS flags,
                                         REGSAM desiredAccess, PCWSTR subkeyPath,
                                         IWDFNamedPropertyStore2** store,
                                         WDF_PROPERTY_STORE_DISPOSITION* disposition) try {
    if (store == nullptr) {
        return E_POINTER;
    }
    *store = nullptr;
    ULONG rawFlags = 0;  // may hold bits the enumeration does not name
    memcpy(&rawFlags, &flags, sizeof(rawFlags));
    if ((rawFlags & ~static_cast<ULONG>(WdfPropertyStoreRetrieveFlagsMask)) != 0) {
        return E_INVALIDARG;
    }
    std::wstring key;
    bool readOnly = false;
    HRESULT hr = KeyForRoot(root, subkeyPath, false, &key, &readOnly);
    if (FAILED(hr)) {
        return hr;
    }
    if (readOnly && (desiredAccess & (KEY_SET_VALUE | KEY_CREATE_SUB_KEY)) != 0) {
        return E_ACCESSDENIED;
    }

    auto* named = new CNamedPropertyStore(instanceId, key, desiredAccess, m_Counters);
    WDF_PROPERTY_STORE_DISPOSITION result = OpenedExistingStore;
    hr = named->Open(*this);
    // "Device Parameters" exists with the device; other keys once created.
    if (SUCCEEDED(hr) && !readOnly) {
        hr = named->EnsureKey(
            (rawFlags & (WdfPropertyStoreCreateIfMissing | WdfPropertyStoreCreateVolatile)) != 0,
            &result);
    }
    if (FAILED(hr)) {
        named->Release();
        return hr;
    }
    if (disposition != nullptr) {
        *disposition = result;
    }
    ++m_Counters->Opened;
    *store = named;
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

HRESULT MachineStore::RetrieveUnifiedStore(const std::wstring& instanceId,
                                           const WDF_PROPERTY_STORE_ROOT* root,
                                           IWDFUnifiedPropertyStore** store) try {
    if (store == nullptr) {
        return E_POINTER;
    }
    *store = nullptr;
    std::wstring key;
    bool readOnly = false;
    HRESULT hr = KeyForRoot(root, nullptr, true, &key, &readOnly);
    if (FAILED(hr)) {
        return hr;
    }
    auto* unified = new CUnifiedPropertyStore(instanceId, key);
    hr = unified->Open(*this);
    if (FAILED(hr)) {
        unified->Release();
        return hr;
    }
    *store = unified;
    return S_OK;
} catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
}

}  // namespace sim
