// Device information sets over the registered device database (winplat/devdb.h).
#include <setupapi.h>

#include <cwctype>
#include <list>
#include <map>
#include <mutex>
#include <set>

#include "winplat/devdb.h"

namespace {

struct DeviceInfoElement {
    std::wstring InstanceId;
    GUID ClassGuid;
    DWORD DevInst;
};

struct DeviceInfoSet {
    bool HasClass = false;
    GUID ClassGuid{};
    std::list<DeviceInfoElement> Elements;  // stable addresses: SP_DEVINFO_DATA points here
};

// Guards every set, its elements and the devnode numbers below.
std::mutex g_Lock;
std::set<DeviceInfoSet*> g_Sets;
std::map<std::wstring, DWORD> g_DevInsts;  // upper-cased instance id -> devnode number

std::mutex g_ProviderLock;
std::shared_ptr<WinplatDeviceDatabase> g_Provider;  // guarded by g_ProviderLock

std::wstring Upper(const std::wstring& s) {
    std::wstring u(s);
    for (auto& c : u) {
        c = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c)));
    }
    return u;
}

DWORD DevInstFor(const std::wstring& instanceId) {
    auto [it, inserted] =
        g_DevInsts.emplace(Upper(instanceId), static_cast<DWORD>(g_DevInsts.size() + 1));
    return it->second;
}

bool IsTextType(DWORD regType) {
    return regType == REG_SZ || regType == REG_EXPAND_SZ || regType == REG_MULTI_SZ;
}

// Registry text is UTF-16LE; callers get WCHARs of whatever width the host has.
bool Utf16ToWide(const std::vector<BYTE>& data, std::wstring* out) {
    if (data.size() % 2 != 0) {
        return false;
    }
    out->clear();
    for (size_t i = 0; i < data.size(); i += 2) {
        char32_t u = static_cast<char32_t>(data[i] | (data[i + 1] << 8));
        if constexpr (sizeof(wchar_t) >= 4) {
            if (u >= 0xD800 && u <= 0xDBFF && i + 3 < data.size()) {
                const char32_t lo = static_cast<char32_t>(data[i + 2] | (data[i + 3] << 8));
                if (lo >= 0xDC00 && lo <= 0xDFFF) {
                    u = 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00);
                    i += 2;
                }
            }
        }
        out->push_back(static_cast<wchar_t>(u));
    }
    return true;
}

// Callers hold g_Lock and copy what they need before releasing it.
DeviceInfoSet* FindSet(HDEVINFO h) {
    auto* set = static_cast<DeviceInfoSet*>(h);
    return g_Sets.count(set) != 0 ? set : nullptr;
}

}  // namespace

void WinplatRegisterDeviceDatabase(std::shared_ptr<WinplatDeviceDatabase> provider) {
    std::lock_guard<std::mutex> lock(g_ProviderLock);
    g_Provider = std::move(provider);
}

std::shared_ptr<WinplatDeviceDatabase> WinplatGetDeviceDatabase() {
    std::lock_guard<std::mutex> lock(g_ProviderLock);
    return g_Provider;
}

HDEVINFO WINAPI SetupDiCreateDeviceInfoList(const GUID* ClassGuid, HWND) {
    DeviceInfoSet* set = new (std::nothrow) DeviceInfoSet;
    if (set == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    if (ClassGuid != nullptr) {
        set->HasClass = true;
        set->ClassGuid = *ClassGuid;
    }
    std::lock_guard<std::mutex> lock(g_Lock);
    try {
        g_Sets.insert(set);
    } catch (...) {
        delete set;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    return set;
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
    std::lock_guard<std::mutex> lock(g_Lock);
    auto* set = FindSet(DeviceInfoSet);
    if (set == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    g_Sets.erase(set);
    delete set;
    return TRUE;
}

BOOL WINAPI SetupDiOpenDeviceInfoW(HDEVINFO DeviceInfoSet, PCWSTR DeviceInstanceId, HWND,
                                   DWORD OpenFlags, PSP_DEVINFO_DATA DeviceInfoData) {
    if (OpenFlags & ~static_cast<DWORD>(DIOD_INHERIT_CLASSDRVS | DIOD_CANCEL_REMOVE)) {
        SetLastError(ERROR_INVALID_FLAGS);
        return FALSE;
    }
    {
        std::lock_guard<std::mutex> lock(g_Lock);
        if (FindSet(DeviceInfoSet) == nullptr) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
    }
    // NULL or "" names the root device, which this machine's database does not hold.
    const std::wstring instanceId = DeviceInstanceId != nullptr ? DeviceInstanceId : L"";
    auto provider = WinplatGetDeviceDatabase();
    if (provider == nullptr || instanceId.empty()) {
        SetLastError(ERROR_NO_SUCH_DEVINST);
        return FALSE;
    }
    GUID classGuid{};
    DWORD err = ERROR_NO_SUCH_DEVINST;
    try {
        err = provider->FindDevice(instanceId, &classGuid);
    } catch (...) {
        err = ERROR_NOT_ENOUGH_MEMORY;
    }
    if (err != ERROR_SUCCESS) {
        SetLastError(err);
        return FALSE;
    }

    std::lock_guard<std::mutex> lock(g_Lock);
    auto* set = FindSet(DeviceInfoSet);
    if (set == nullptr) {  // destroyed meanwhile by another thread
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (set->HasClass && !IsEqualGUID(set->ClassGuid, classGuid)) {
        SetLastError(ERROR_CLASS_MISMATCH);
        return FALSE;
    }
    DeviceInfoElement* element = nullptr;
    const std::wstring key = Upper(instanceId);
    for (auto& e : set->Elements) {
        if (Upper(e.InstanceId) == key) {
            element = &e;
            break;
        }
    }
    try {
        if (element == nullptr) {
            set->Elements.push_back({instanceId, classGuid, DevInstFor(instanceId)});
            element = &set->Elements.back();
        }
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    if (DeviceInfoData != nullptr) {
        // The element stays in the set even when the caller's buffer is wrong.
        if (DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
            SetLastError(ERROR_INVALID_USER_BUFFER);
            return FALSE;
        }
        DeviceInfoData->ClassGuid = element->ClassGuid;
        DeviceInfoData->DevInst = element->DevInst;
        DeviceInfoData->Reserved = reinterpret_cast<ULONG_PTR>(element);
    }
    return TRUE;
}

BOOL WINAPI SetupDiGetDeviceRegistryPropertyW(HDEVINFO DeviceInfoSet,
                                              PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
                                              PDWORD PropertyRegDataType, PBYTE PropertyBuffer,
                                              DWORD PropertyBufferSize, PDWORD RequiredSize) {
    std::wstring instanceId;
    {
        std::lock_guard<std::mutex> lock(g_Lock);
        auto* set = FindSet(DeviceInfoSet);
        if (set == nullptr) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        if (DeviceInfoData == nullptr || DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
            SetLastError(ERROR_INVALID_USER_BUFFER);
            return FALSE;
        }
        const DeviceInfoElement* element = nullptr;
        for (const auto& e : set->Elements) {
            if (reinterpret_cast<ULONG_PTR>(&e) == DeviceInfoData->Reserved) {
                element = &e;
            }
        }
        if (element == nullptr) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        try {
            instanceId = element->InstanceId;
        } catch (...) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return FALSE;
        }
    }
    if (Property >= SPDRP_MAXIMUM_PROPERTY) {
        SetLastError(ERROR_INVALID_REG_PROPERTY);
        return FALSE;
    }
    if (PropertyBuffer == nullptr && PropertyBufferSize != 0) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    auto provider = WinplatGetDeviceDatabase();
    if (provider == nullptr) {
        SetLastError(ERROR_NO_SUCH_DEVINST);
        return FALSE;
    }

    DWORD regType = REG_NONE;
    std::vector<BYTE> raw;
    std::wstring text;
    DWORD err = ERROR_SUCCESS;
    try {
        err = provider->GetRegistryProperty(instanceId, Property, &regType, &raw);
        if (err == ERROR_SUCCESS && raw.empty()) {
            err = ERROR_INVALID_DATA;  // an empty value holds no data to return
        }
        if (err == ERROR_SUCCESS && IsTextType(regType) && !Utf16ToWide(raw, &text)) {
            err = ERROR_INVALID_DATA;
        }
    } catch (...) {
        err = ERROR_NOT_ENOUGH_MEMORY;
    }
    if (err != ERROR_SUCCESS) {
        SetLastError(err);
        return FALSE;
    }

    const BYTE* data = raw.data();
    size_t size = raw.size();
    if (IsTextType(regType)) {
        data = reinterpret_cast<const BYTE*>(text.data());
        size = text.size() * sizeof(WCHAR);
    }
    if (PropertyRegDataType != nullptr) {
        *PropertyRegDataType = regType;
    }
    if (RequiredSize != nullptr) {
        *RequiredSize = static_cast<DWORD>(size);
    }
    if (PropertyBufferSize < size) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    memcpy(PropertyBuffer, data, size);
    return TRUE;
}
