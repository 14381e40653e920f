// Device property stores in the registry, below each device's own keys (layout in
// WindowsMachine.h).
#include "WindowsMachine.h"

#include <windows.h>
#include <objbase.h>
#include <setupapi.h>

#include <cstring>
#include <cwchar>
#include <iterator>
#include <new>
#include <utility>

#include "SetupApiDevice.h"

namespace sim {

namespace {

constexpr DWORD kPropertyType = 0xFFFF0000u;  // registry type of a DEVPROPTYPE value
constexpr REGSAM kAccess = KEY_READ | KEY_WRITE;

HRESULT FromRegistry(LONG status) {
    return status == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(static_cast<DWORD>(status));
}

class Key {
public:
    Key() = default;
    explicit Key(HKEY key) : m_Key(key) {}
    Key(Key&& other) noexcept : m_Key(std::exchange(other.m_Key, nullptr)) {}
    Key& operator=(Key&& other) noexcept {
        std::swap(m_Key, other.m_Key);
        return *this;
    }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    ~Key() {
        if (m_Key != nullptr) {
            RegCloseKey(m_Key);
        }
    }

    HKEY Get() const { return m_Key; }
    HKEY* Receive() {
        *this = Key();
        return &m_Key;
    }

private:
    HKEY m_Key = nullptr;
};

// A value's registry type and data, however large.
LONG QueryValue(HKEY key, const wchar_t* name, DWORD* type, std::vector<BYTE>* data) {
    data->resize(64);
    for (;;) {
        auto size = static_cast<DWORD>(data->size());
        const LONG status = RegQueryValueExW(key, name, nullptr, type, data->data(), &size);
        if (status == ERROR_MORE_DATA && size > data->size()) {
            data->resize(size);
            continue;
        }
        if (status == ERROR_SUCCESS) {
            data->resize(size);
        }
        return status;
    }
}

// At least four upper-case hex digits, as Windows names property and locale keys.
std::wstring Hex4(ULONG value) {
    wchar_t text[12] = {};
    std::swprintf(text, std::size(text), L"%04lX", value);
    return text;
}

class RegistryKey final : public PropertyKey {
public:
    explicit RegistryKey(Key key) : m_Key(std::move(key)) {}

    HRESULT Read(const std::wstring& name, StoredValue* value) override try {
        DWORD type = REG_NONE;
        std::vector<BYTE> data;
        const LONG status = QueryValue(m_Key.Get(), name.c_str(), &type, &data);
        if (status != ERROR_SUCCESS) {
            return FromRegistry(status);
        }
        switch (type) {
            case REG_DWORD: {
                if (data.size() != sizeof(DWORD)) {
                    break;
                }
                DWORD number = 0;
                memcpy(&number, data.data(), sizeof(number));
                value->Kind = StoredValue::Shape::Number;
                value->WrittenAs = VT_UI4;
                value->Number = number;
                return S_OK;
            }
            case REG_SZ: {
                std::wstring text(data.size() / sizeof(WCHAR), L'\0');
                memcpy(text.data(), data.data(), text.size() * sizeof(WCHAR));
                text.resize(text.find(L'\0') == std::wstring::npos ? text.size()
                                                                   : text.find(L'\0'));
                value->Kind = StoredValue::Shape::Text;
                value->WrittenAs = VT_LPWSTR;
                value->Text = std::move(text);
                return S_OK;
            }
            case REG_BINARY:
                value->Kind = StoredValue::Shape::Bytes;
                value->WrittenAs = VT_BLOB;
                value->Bytes = std::move(data);
                return S_OK;
            default:
                break;
        }
        return HRESULT_FROM_WIN32(ERROR_BADDB);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }

    HRESULT Write(const std::wstring& name, const StoredValue& value, unsigned lazyDepth) override {
        static const BYTE kNoBytes = 0;
        const DWORD number = value.Number;
        LONG status = ERROR_SUCCESS;
        switch (value.Kind) {
            case StoredValue::Shape::Number:
                status = RegSetValueExW(m_Key.Get(), name.c_str(), 0, REG_DWORD,
                                        reinterpret_cast<const BYTE*>(&number), sizeof(number));
                break;
            case StoredValue::Shape::Text:
                status =
                    RegSetValueExW(m_Key.Get(), name.c_str(), 0, REG_SZ,
                                   reinterpret_cast<const BYTE*>(value.Text.c_str()),
                                   static_cast<DWORD>((value.Text.size() + 1) * sizeof(WCHAR)));
                break;
            case StoredValue::Shape::Bytes:
                status = RegSetValueExW(m_Key.Get(), name.c_str(), 0, REG_BINARY,
                                        value.Bytes.empty() ? &kNoBytes : value.Bytes.data(),
                                        static_cast<DWORD>(value.Bytes.size()));
                break;
        }
        // A lazy write is left to the registry's own lazy flushing.
        if (status == ERROR_SUCCESS && lazyDepth == 0) {
            status = RegFlushKey(m_Key.Get());
        }
        return FromRegistry(status);
    }

    HRESULT Delete(const std::wstring& name) override {
        LONG status = RegDeleteValueW(m_Key.Get(), name.c_str());
        if (status == ERROR_SUCCESS) {
            status = RegFlushKey(m_Key.Get());
        }
        return FromRegistry(status);
    }

    HRESULT Count(DWORD* count) override {
        if (count == nullptr) {
            return E_POINTER;
        }
        return FromRegistry(RegQueryInfoKeyW(m_Key.Get(), nullptr, nullptr, nullptr, nullptr,
                                             nullptr, nullptr, count, nullptr, nullptr, nullptr,
                                             nullptr));
    }

    // The registry keeps values in no documented order ("any new value will have an
    // arbitrary index"); Wine enumerates them sorted by name.
    HRESULT NameAt(DWORD index, std::wstring* name) override try {
        if (name == nullptr) {
            return E_POINTER;
        }
        std::wstring text(16384, L'\0');  // the longest value name and its terminator
        auto length = static_cast<DWORD>(text.size());
        const LONG status = RegEnumValueW(m_Key.Get(), index, text.data(), &length, nullptr,
                                          nullptr, nullptr, nullptr);
        if (status != ERROR_SUCCESS) {
            return FromRegistry(status);
        }
        text.resize(length);
        *name = std::move(text);
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }

private:
    const Key m_Key;
};

class RegistryDeviceProperties final : public DevicePropertyKey {
public:
    RegistryDeviceProperties(Key instance, std::wstring path)
        : m_Instance(std::move(instance)), m_Path(std::move(path)) {}

    HRESULT Get(const DEVPROPKEY& key, LCID lcid, DEVPROPTYPE* type,
                std::vector<BYTE>* data) override try {
        if (type == nullptr || data == nullptr) {
            return E_POINTER;
        }
        Key property;
        LONG status = RegOpenKeyExW(m_Instance.Get(), PathOf(key).c_str(), 0, KEY_QUERY_VALUE,
                                    property.Receive());
        DWORD regType = REG_NONE;
        if (status == ERROR_SUCCESS) {
            status = QueryValue(property.Get(), ValueName(lcid).c_str(), &regType, data);
        }
        if (status == ERROR_FILE_NOT_FOUND) {
            return HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
        }
        if (status != ERROR_SUCCESS) {
            return FromRegistry(status);
        }
        if ((regType & kPropertyType) != kPropertyType) {
            return HRESULT_FROM_WIN32(ERROR_BADDB);
        }
        *type = regType & ~kPropertyType;
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }

    HRESULT Set(const DEVPROPKEY& key, LCID lcid, DEVPROPTYPE type, const void* data,
                ULONG size) override try {
        static const BYTE kNoBytes = 0;
        if ((type & kPropertyType) != 0 || (size != 0 && data == nullptr)) {
            return E_INVALIDARG;
        }
        Key property;
        LONG status = ERROR_SUCCESS;
        if (type == DEVPROP_TYPE_EMPTY) {
            status = RegOpenKeyExW(m_Instance.Get(), PathOf(key).c_str(), 0, KEY_SET_VALUE,
                                   property.Receive());
            if (status == ERROR_SUCCESS) {
                status = RegDeleteValueW(property.Get(), ValueName(lcid).c_str());
            }
            if (status == ERROR_FILE_NOT_FOUND) {
                return S_OK;
            }
        } else {
            status = RegCreateKeyExW(m_Instance.Get(), PathOf(key).c_str(), 0, nullptr,
                                     REG_OPTION_NON_VOLATILE, kAccess, nullptr, property.Receive(),
                                     nullptr);
            if (status == ERROR_SUCCESS) {
                status =
                    RegSetValueExW(property.Get(), ValueName(lcid).c_str(), 0, kPropertyType | type,
                                   size != 0 ? static_cast<const BYTE*>(data) : &kNoBytes, size);
            }
        }
        if (status == ERROR_SUCCESS) {
            status = RegFlushKey(property.Get());
        }
        return FromRegistry(status);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }

private:
    std::wstring PathOf(const DEVPROPKEY& key) const {
        WCHAR fmtid[40] = {};
        StringFromGUID2(key.fmtid, fmtid, 40);
        return m_Path + L"\\" + fmtid + L"\\" + Hex4(key.pid);
    }
    static std::wstring ValueName(LCID lcid) {
        return lcid == LOCALE_NEUTRAL ? std::wstring() : Hex4(lcid);
    }

    const Key m_Instance;
    const std::wstring m_Path;  // below the instance key
};

class RegistryBackend final : public PropertyBackend {
public:
    HRESULT OpenKey(const std::wstring& instanceId, const std::wstring& key, KeyOpen how,
                    std::unique_ptr<PropertyKey>* opened, bool* created) override try {
        if (opened == nullptr) {
            return E_POINTER;
        }
        opened->reset();
        const size_t slash = key.find(L'\\');
        const std::wstring root = key.substr(0, slash);
        std::wstring below = slash == std::wstring::npos ? L"" : key.substr(slash + 1);

        SetupApiDevice device;
        HRESULT hr = device.Open(instanceId);
        if (FAILED(hr)) {
            return hr;
        }
        Key base;
        bool made = false;
        if (root == L"HardwareKey" || root == L"DeviceParameters") {
            hr = DeviceKey(device, DIREG_DEV, how, &base, &made);
        } else if (root == L"SoftwareKey") {
            hr = DeviceKey(device, DIREG_DRV, how, &base, &made);
        } else if ((root == L"DeviceInterfaceKey" || root == L"LegacyHardwareKey") &&
                   !below.empty()) {
            hr = InstanceKey(instanceId, &base);
            below = key;
        } else {
            return E_INVALIDARG;
        }
        if (FAILED(hr)) {
            return hr;
        }

        Key opening;
        if (below.empty()) {
            opening = std::move(base);
        } else if (how == KeyOpen::Existing) {
            hr = FromRegistry(
                RegOpenKeyExW(base.Get(), below.c_str(), 0, kAccess, opening.Receive()));
        } else {
            DWORD disposition = 0;
            hr = FromRegistry(RegCreateKeyExW(base.Get(), below.c_str(), 0, nullptr,
                                              REG_OPTION_NON_VOLATILE, kAccess, nullptr,
                                              opening.Receive(), &disposition));
            made = disposition == REG_CREATED_NEW_KEY;
        }
        if (FAILED(hr)) {
            return hr;
        }
        if (created != nullptr) {
            *created = how == KeyOpen::CreateIfMissing && made;
        }
        *opened = std::make_unique<RegistryKey>(std::move(opening));
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }

    HRESULT OpenDeviceProperties(const std::wstring& instanceId, const std::wstring& key,
                                 std::unique_ptr<DevicePropertyKey>* opened) override try {
        if (opened == nullptr) {
            return E_POINTER;
        }
        opened->reset();
        std::wstring path;
        if (key == L"HardwareKey") {
            path = L"Properties";
        } else if (key.rfind(L"DeviceInterfaceKey\\", 0) == 0) {
            path = key + L"\\Properties";
        } else {
            return E_INVALIDARG;
        }
        SetupApiDevice device;
        HRESULT hr = device.Open(instanceId);
        Key instance;
        if (SUCCEEDED(hr)) {
            hr = InstanceKey(instanceId, &instance);
        }
        if (SUCCEEDED(hr)) {
            *opened =
                std::make_unique<RegistryDeviceProperties>(std::move(instance), std::move(path));
        }
        return hr;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }

    // One flush of the hive makes every earlier write in it durable.
    HRESULT Flush() override { return FromRegistry(RegFlushKey(HKEY_LOCAL_MACHINE)); }

private:
    // The device's hardware (DIREG_DEV) or software (DIREG_DRV) key.
    static HRESULT DeviceKey(SetupApiDevice& device, DWORD which, KeyOpen how, Key* key,
                             bool* made) {
        HKEY opened =
            SetupDiOpenDevRegKey(device.Set(), device.Data(), DICS_FLAG_GLOBAL, 0, which, kAccess);
        if (opened != INVALID_HANDLE_VALUE) {
            *key = Key(opened);
            return S_OK;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_KEY_DOES_NOT_EXIST && error != ERROR_FILE_NOT_FOUND) {
            return LastErrorResult();
        }
        if (how == KeyOpen::Existing) {
            return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
        }
        opened = SetupDiCreateDevRegKeyW(device.Set(), device.Data(), DICS_FLAG_GLOBAL, 0, which,
                                         nullptr, nullptr);
        if (opened == INVALID_HANDLE_VALUE) {
            return LastErrorResult();
        }
        *key = Key(opened);
        *made = true;
        return S_OK;
    }

    // The device's instance key, where SetupAPI keeps its node.
    static HRESULT InstanceKey(const std::wstring& instanceId, Key* key) {
        const std::wstring path = L"SYSTEM\\CurrentControlSet\\Enum\\" + instanceId;
        return FromRegistry(
            RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, kAccess, key->Receive()));
    }
};

}  // namespace

std::shared_ptr<PropertyBackend> RegistryPropertyBackend() {
    return std::make_shared<RegistryBackend>();
}

}  // namespace sim
