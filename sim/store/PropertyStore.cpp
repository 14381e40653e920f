// Device property stores: named values (IWDFNamedPropertyStore2) and unified device
// properties (IWDFUnifiedPropertyStore), with the framework's rules for roots, access,
// missing values and types. Where the values live is the backend's business.
#include "PropertyStore.h"

#include <objbase.h>
#include <stringapiset.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>

#include "ComBase.h"
#include "FaultPlan.h"
#include "Text.h"

namespace sim {

namespace {

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

// The framework hands out numbers as VT_UI4 and text as VT_LPWSTR, whatever type wrote
// them; a value whose shape does not fit the type it was written with is damage.
HRESULT ToPropVariant(const StoredValue& value, PROPVARIANT* pv) {
    if (value.Kind == StoredValue::Shape::Number && IsIntegerType(value.WrittenAs)) {
        pv->vt = VT_UI4;
        pv->ulVal = value.Number;
        return S_OK;
    }
    if (value.Kind == StoredValue::Shape::Text && IsTextType(value.WrittenAs)) {
        WCHAR* text = CoTaskDup(value.Text);
        if (text == nullptr) {
            return E_OUTOFMEMORY;
        }
        pv->vt = VT_LPWSTR;
        pv->pwszVal = text;
        return S_OK;
    }
    if (value.Kind == StoredValue::Shape::Bytes && value.WrittenAs == VT_BLOB) {
        BYTE* data = nullptr;
        if (!value.Bytes.empty()) {
            data = static_cast<BYTE*>(CoTaskMemAlloc(value.Bytes.size()));
            if (data == nullptr) {
                return E_OUTOFMEMORY;
            }
            memcpy(data, value.Bytes.data(), value.Bytes.size());
        }
        pv->vt = VT_BLOB;
        pv->blob.cbSize = static_cast<ULONG>(value.Bytes.size());
        pv->blob.pBlobData = data;
        return S_OK;
    }
    return HRESULT_FROM_WIN32(ERROR_BADDB);
}

HRESULT FromPropVariant(const PROPVARIANT* pv, StoredValue* value) {
    value->WrittenAs = pv->vt;
    value->Kind = StoredValue::Shape::Number;
    switch (pv->vt) {
        // Stored as the 32-bit registry number the value becomes.
        case VT_I1:
            value->Number = static_cast<UINT32>(static_cast<INT32>(pv->cVal));
            return S_OK;
        case VT_UI1:
            value->Number = pv->bVal;
            return S_OK;
        case VT_I2:
            value->Number = static_cast<UINT32>(static_cast<INT32>(pv->iVal));
            return S_OK;
        case VT_UI2:
            value->Number = pv->uiVal;
            return S_OK;
        case VT_I4:
        case VT_INT:
            value->Number = static_cast<UINT32>(pv->lVal);
            return S_OK;
        case VT_UI4:
        case VT_UINT:
            value->Number = pv->ulVal;
            return S_OK;
        default:
            break;
    }
    value->Kind = StoredValue::Shape::Text;
    switch (pv->vt) {
        case VT_LPWSTR:
            if (pv->pwszVal == nullptr) {
                return E_INVALIDARG;
            }
            value->Text = pv->pwszVal;
            return S_OK;
        case VT_BSTR:  // a NULL BSTR is the empty string
            value->Text = pv->bstrVal != nullptr ? pv->bstrVal : L"";
            return S_OK;
        case VT_LPSTR: {
            if (pv->pszVal == nullptr) {
                return E_INVALIDARG;
            }
            // Narrow text is in the ANSI code page; storage keeps it wide.
            const int n = MultiByteToWideChar(CP_ACP, 0, pv->pszVal, -1, nullptr, 0);
            std::wstring wide(static_cast<size_t>(n > 0 ? n : 1), L'\0');
            if (n > 0) {
                MultiByteToWideChar(CP_ACP, 0, pv->pszVal, -1, wide.data(), n);
            }
            wide.resize(wide.size() - 1);
            value->Text = std::move(wide);
            return S_OK;
        }
        default:
            break;
    }
    if (pv->vt == VT_BLOB) {
        if (pv->blob.cbSize != 0 && pv->blob.pBlobData == nullptr) {
            return E_INVALIDARG;
        }
        value->Kind = StoredValue::Shape::Bytes;
        value->Bytes.assign(pv->blob.pBlobData, pv->blob.pBlobData + pv->blob.cbSize);
        return S_OK;
    }
    return E_INVALIDARG;
}

class CNamedPropertyStore final
    : public simcom::ComObject<CNamedPropertyStore, IWDFNamedPropertyStore2> {
public:
    static const simcom::InterfaceEntry<CNamedPropertyStore> kInterfaces[];

    CNamedPropertyStore(std::unique_ptr<PropertyKey> key, REGSAM access,
                        std::shared_ptr<PropertyStoreCounters> counters)
        : m_Key(std::move(key)), m_Access(access), m_Counters(std::move(counters)) {
        ++m_Counters->Alive;
        ++m_Counters->Opened;
    }

    STDMETHODIMP GetNamedValue(LPCWSTR pszName, PROPVARIANT* pv) override try {
        if (pszName == nullptr || pv == nullptr) {
            return E_INVALIDARG;
        }
        PropVariantInit(pv);
        if ((m_Access & KEY_QUERY_VALUE) == 0) {
            return E_ACCESSDENIED;
        }
        StoredValue value;
        const HRESULT hr = m_Key->Read(pszName, &value);
        return FAILED(hr) ? hr : ToPropVariant(value, pv);
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
        unsigned lazyDepth = 0;
        const std::wstring name(pszName);
        if (const auto hit =
                FaultPlan::Instance().Check(FaultPoint::StoreWrite, simcommon::ToUtf8(name))) {
            if (hit->action == FaultAction::Fail) {
                return static_cast<HRESULT>(hit->value != 0 ? hit->value : E_FAIL);
            }
            if (hit->action == FaultAction::Lazy && hit->value > 0) {
                lazyDepth = static_cast<unsigned>(std::min<int64_t>(hit->value, 0x7FFFFFFF));
            }
        }
        StoredValue value;
        const HRESULT hr = FromPropVariant(pv, &value);
        return FAILED(hr) ? hr : m_Key->Write(name, value, lazyDepth);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }

    STDMETHODIMP GetNameCount(DWORD* pdwCount) override try {
        if (pdwCount == nullptr) {
            return E_INVALIDARG;
        }
        if ((m_Access & KEY_QUERY_VALUE) == 0) {
            return E_ACCESSDENIED;
        }
        return m_Key->Count(pdwCount);
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
        std::wstring name;
        const HRESULT hr = m_Key->NameAt(iProp, &name);
        if (FAILED(hr)) {
            return hr;
        }
        *ppwszName = CoTaskDup(name);
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
        return m_Key->Delete(pwszName);
    } catch (...) {
        return E_OUTOFMEMORY;
    }

private:
    ~CNamedPropertyStore() override { --m_Counters->Alive; }

    // A store is used by one operation at a time, as the framework's are.
    const std::unique_ptr<PropertyKey> m_Key;
    const REGSAM m_Access;
    const std::shared_ptr<PropertyStoreCounters> m_Counters;
};

const simcom::InterfaceEntry<CNamedPropertyStore> CNamedPropertyStore::kInterfaces[] = {
    simcom::Entry<CNamedPropertyStore, IWDFNamedPropertyStore2>(IID_IWDFNamedPropertyStore2),
    simcom::Entry<CNamedPropertyStore, IWDFNamedPropertyStore2>(IID_IWDFNamedPropertyStore),
    {},
};

class CUnifiedPropertyStore final
    : public simcom::ComObject<CUnifiedPropertyStore, IWDFUnifiedPropertyStore> {
public:
    static const simcom::InterfaceEntry<CUnifiedPropertyStore> kInterfaces[];

    explicit CUnifiedPropertyStore(std::unique_ptr<DevicePropertyKey> key)
        : m_Key(std::move(key)) {}

    STDMETHODIMP SetPropertyData(const DEVPROPKEY* PropertyKey, LCID Lcid, ULONG Flags,
                                 DEVPROPTYPE PropertyType, ULONG PropertyDataSize,
                                 PVOID PropertyData) override try {
        if (PropertyKey == nullptr || Flags != 0 ||
            (PropertyDataSize != 0 && PropertyData == nullptr)) {
            return E_INVALIDARG;
        }
        return m_Key->Set(*PropertyKey, Lcid, PropertyType, PropertyData, PropertyDataSize);
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
        DEVPROPTYPE type = DEVPROP_TYPE_EMPTY;
        std::vector<BYTE> data;
        const HRESULT hr = m_Key->Get(*PropertyKey, Lcid, &type, &data);
        if (FAILED(hr)) {
            return hr;
        }
        const auto size = static_cast<ULONG>(data.size());
        *PropertyType = type;
        *PropertyDataRequiredSize = size;
        if (PropertyDataSize < size) {
            return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
        }
        if (size != 0) {
            memcpy(PropertyData, data.data(), size);
        }
        return S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }

private:
    ~CUnifiedPropertyStore() override = default;

    const std::unique_ptr<DevicePropertyKey> m_Key;
};

const simcom::InterfaceEntry<CUnifiedPropertyStore> CUnifiedPropertyStore::kInterfaces[] = {
    simcom::Entry<CUnifiedPropertyStore, IWDFUnifiedPropertyStore>(IID_IWDFUnifiedPropertyStore),
    {},
};

}  // namespace

HRESULT DevicePropertyStores::RetrieveNamedStore(const std::wstring& instanceId,
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
    std::wstring keyName;
    bool readOnly = false;
    HRESULT hr = KeyForRoot(root, subkeyPath, false, &keyName, &readOnly);
    if (FAILED(hr)) {
        return hr;
    }
    if (readOnly && (desiredAccess & (KEY_SET_VALUE | KEY_CREATE_SUB_KEY)) != 0) {
        return E_ACCESSDENIED;
    }
    // "Device Parameters" exists with the device; other keys once created.
    const bool create =
        (rawFlags & (WdfPropertyStoreCreateIfMissing | WdfPropertyStoreCreateVolatile)) != 0;
    const auto how = readOnly ? PropertyBackend::KeyOpen::DeviceOwned
                     : create ? PropertyBackend::KeyOpen::CreateIfMissing
                              : PropertyBackend::KeyOpen::Existing;
    std::unique_ptr<PropertyKey> key;
    bool created = false;
    hr = Backend().OpenKey(instanceId, keyName, how, &key, &created);
    if (FAILED(hr)) {
        return hr;
    }
    if (disposition != nullptr) {
        *disposition = created ? CreatedNewStore : OpenedExistingStore;
    }
    *store = new CNamedPropertyStore(std::move(key), desiredAccess, m_Counters);
    return S_OK;
} catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
}

HRESULT DevicePropertyStores::RetrieveUnifiedStore(const std::wstring& instanceId,
                                                   const WDF_PROPERTY_STORE_ROOT* root,
                                                   IWDFUnifiedPropertyStore** store) try {
    if (store == nullptr) {
        return E_POINTER;
    }
    *store = nullptr;
    std::wstring keyName;
    bool readOnly = false;
    HRESULT hr = KeyForRoot(root, nullptr, true, &keyName, &readOnly);
    if (FAILED(hr)) {
        return hr;
    }
    std::unique_ptr<DevicePropertyKey> key;
    hr = Backend().OpenDeviceProperties(instanceId, keyName, &key);
    if (FAILED(hr)) {
        return hr;
    }
    *store = new CUnifiedPropertyStore(std::move(key));
    return S_OK;
} catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
}

}  // namespace sim
