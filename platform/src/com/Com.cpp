// Apartments, the process-wide class table, task memory and GUID text.
#include "com/ComInternal.h"
#include "winplat/faults.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <mutex>
#include <random>
#include <vector>

namespace {

// Threads whose apartment is the MTA; while it is above zero, threads that never joined an
// apartment may use COM too (the implicit MTA).
std::atomic<long> g_MtaThreads{0};

struct ThreadApartment {
    unsigned inits = 0;  // successful CoInitializeEx calls not yet balanced
    bool multithreaded = false;

    // A thread that exits without its last CoUninitialize leaves the MTA anyway, so the
    // implicit MTA does not outlive the threads that made it.
    ~ThreadApartment() {
        if (inits && multithreaded) {
            g_MtaThreads.fetch_sub(1);
        }
    }
};
thread_local ThreadApartment t_Apartment;

struct Registration {
    DWORD cookie;
    CLSID clsid;
    IUnknown* object;  // one reference, given back by CoRevokeClassObject
    DWORD context;
    DWORD flags;
    bool suspended;
    bool used;  // a REGCLS_SINGLEUSE object has been handed out
};

struct ClassTable {
    std::mutex lock;
    std::vector<Registration> entries;  // guarded by lock; oldest first
    DWORD nextCookie = 1;               // guarded by lock
};

// Never destroyed: registrations that outlive main() may point into modules that are gone
// by the time static destructors run.
ClassTable& Classes() {
    static ClassTable* table = new ClassTable;
    return *table;
}

constexpr DWORD kKnownRegcls =
    REGCLS_MULTIPLEUSE | REGCLS_MULTI_SEPARATE | REGCLS_SUSPENDED | REGCLS_SURROGATE | REGCLS_AGILE;
constexpr DWORD kKnownCoinit =
    COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE | COINIT_SPEED_OVER_MEMORY;

int HexValue(OLECHAR c) {
    if (c >= L'0' && c <= L'9') {
        return c - L'0';
    }
    if (c >= L'a' && c <= L'f') {
        return c - L'a' + 10;
    }
    if (c >= L'A' && c <= L'F') {
        return c - L'A' + 10;
    }
    return -1;
}

// Parses "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" exactly.
bool ParseGuid(LPCOLESTR text, GUID* guid) {
    static constexpr char kShape[] = "{........-....-....-....-............}";
    uint8_t bytes[16] = {};
    int nibble = 0;
    for (size_t i = 0; i < sizeof(kShape) - 1; ++i) {
        const OLECHAR c = text[i];
        if (kShape[i] != '.') {
            if (c != static_cast<OLECHAR>(kShape[i])) {
                return false;
            }
            continue;
        }
        const int v = HexValue(c);
        if (v < 0) {
            return false;
        }
        bytes[nibble / 2] = static_cast<uint8_t>(bytes[nibble / 2] << 4 | v);
        ++nibble;
    }
    if (text[sizeof(kShape) - 1] != L'\0') {
        return false;
    }
    guid->Data1 =
        uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 | uint32_t{bytes[2]} << 8 | bytes[3];
    guid->Data2 = static_cast<uint16_t>(bytes[4] << 8 | bytes[5]);
    guid->Data3 = static_cast<uint16_t>(bytes[6] << 8 | bytes[7]);
    for (int i = 0; i < 8; ++i) {
        guid->Data4[i] = bytes[8 + i];
    }
    return true;
}

}  // namespace

namespace winplat::com {

bool ComUsable() noexcept {
    return t_Apartment.inits > 0 || g_MtaThreads.load() > 0;
}

}  // namespace winplat::com

HRESULT CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit) {
    if (pvReserved || (dwCoInit & ~kKnownCoinit)) {
        return E_INVALIDARG;
    }
    const bool multithreaded = (dwCoInit & COINIT_APARTMENTTHREADED) == 0;
    ThreadApartment& apartment = t_Apartment;
    if (apartment.inits > 0) {
        // The model is fixed by the first call; a refused call needs no CoUninitialize.
        if (apartment.multithreaded != multithreaded) {
            return RPC_E_CHANGED_MODE;
        }
        ++apartment.inits;
        return S_FALSE;
    }
    apartment.inits = 1;
    apartment.multithreaded = multithreaded;
    if (multithreaded) {
        g_MtaThreads.fetch_add(1);
    }
    return S_OK;
}

HRESULT CoInitialize(LPVOID pvReserved) {
    return CoInitializeEx(pvReserved, COINIT_APARTMENTTHREADED);
}

void CoUninitialize() {
    ThreadApartment& apartment = t_Apartment;
    if (apartment.inits == 0) {
        return;  // unbalanced: ignored, as on Windows
    }
    if (--apartment.inits == 0 && apartment.multithreaded) {
        g_MtaThreads.fetch_sub(1);
    }
}

HRESULT CoRegisterClassObject(REFCLSID rclsid, LPUNKNOWN pUnk, DWORD dwClsContext, DWORD flags,
                              LPDWORD lpdwRegister) {
    if (!lpdwRegister) {
        return E_INVALIDARG;
    }
    *lpdwRegister = 0;
    if (!pUnk || (flags & ~kKnownRegcls) || (dwClsContext & CLSCTX_ALL) == 0) {
        return E_INVALIDARG;
    }
    if (!winplat::com::ComUsable()) {
        return CO_E_NOTINITIALIZED;
    }
    if (WinplatShouldFail("CoRegisterClassObject")) {
        return E_OUTOFMEMORY;
    }
    ClassTable& table = Classes();
    {
        std::lock_guard<std::mutex> guard(table.lock);
        DWORD cookie = table.nextCookie;
        try {
            table.entries.push_back({cookie, rclsid, pUnk, dwClsContext, flags,
                                     (flags & REGCLS_SUSPENDED) != 0, false});
        } catch (...) {
            return E_OUTOFMEMORY;
        }
        table.nextCookie = cookie + 1 == 0 ? 1 : cookie + 1;
        *lpdwRegister = cookie;
    }
    pUnk->AddRef();
    return S_OK;
}

// Unlike Windows, which drops an apartment's registrations when the apartment ends, the
// table here outlives apartments, so revoking works from any thread at any time.
HRESULT CoRevokeClassObject(DWORD dwRegister) {
    ClassTable& table = Classes();
    IUnknown* object = nullptr;
    {
        std::lock_guard<std::mutex> guard(table.lock);
        for (auto it = table.entries.begin(); it != table.entries.end(); ++it) {
            if (it->cookie == dwRegister) {
                object = it->object;
                table.entries.erase(it);
                break;
            }
        }
    }
    if (!object) {
        return E_INVALIDARG;  // a token that names no registration
    }
    object->Release();  // outside the lock: the object may revoke or register in its destructor
    return S_OK;
}

HRESULT CoResumeClassObjects() {
    if (!winplat::com::ComUsable()) {
        return CO_E_NOTINITIALIZED;
    }
    ClassTable& table = Classes();
    std::lock_guard<std::mutex> guard(table.lock);
    for (Registration& r : table.entries) {
        r.suspended = false;
    }
    return S_OK;
}

HRESULT CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID pvReserved, REFIID riid,
                         LPVOID* ppv) {
    if (!ppv) {
        return E_INVALIDARG;
    }
    *ppv = nullptr;
    if (!winplat::com::ComUsable()) {
        return CO_E_NOTINITIALIZED;
    }
    ClassTable& table = Classes();
    IUnknown* object = nullptr;
    {
        std::lock_guard<std::mutex> guard(table.lock);
        for (auto it = table.entries.rbegin(); it != table.entries.rend(); ++it) {
            if (it->clsid != rclsid || (it->context & dwClsContext) == 0 || it->suspended ||
                it->used) {
                continue;
            }
            if ((it->flags & (REGCLS_MULTIPLEUSE | REGCLS_MULTI_SEPARATE)) == 0) {
                it->used = true;
            }
            object = it->object;
            object->AddRef();
            break;
        }
    }
    if (!object) {
        return REGDB_E_CLASSNOTREG;
    }
    HRESULT hr = object->QueryInterface(riid, ppv);
    object->Release();
    if (FAILED(hr)) {
        *ppv = nullptr;
    }
    return hr;
}

HRESULT CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid,
                         LPVOID* ppv) {
    if (!ppv) {
        return E_POINTER;
    }
    *ppv = nullptr;
    IClassFactory* factory = nullptr;
    HRESULT hr = CoGetClassObject(rclsid, dwClsContext, nullptr, IID_IClassFactory,
                                  reinterpret_cast<void**>(&factory));
    if (FAILED(hr)) {
        return hr;
    }
    hr = factory->CreateInstance(pUnkOuter, riid, ppv);
    factory->Release();
    if (FAILED(hr)) {
        *ppv = nullptr;
    }
    return hr;
}

LPVOID CoTaskMemAlloc(SIZE_T cb) {
    if (WinplatShouldFail("CoTaskMemAlloc")) {
        return nullptr;
    }
    return std::malloc(cb ? cb : 1);
}

LPVOID CoTaskMemRealloc(LPVOID pv, SIZE_T cb) {
    if (pv && cb == 0) {
        std::free(pv);
        return nullptr;
    }
    if (WinplatShouldFail("CoTaskMemRealloc")) {
        return nullptr;
    }
    return std::realloc(pv, cb ? cb : 1);
}

void CoTaskMemFree(LPVOID pv) {
    std::free(pv);
}

HRESULT CoCreateGuid(GUID* pguid) {
    if (!pguid) {
        return E_INVALIDARG;
    }
    try {
        std::random_device source;
        uint8_t bytes[16];
        for (size_t i = 0; i < sizeof(bytes); i += 4) {
            const uint32_t r = source();
            std::memcpy(bytes + i, &r, 4);
        }
        bytes[7] = static_cast<uint8_t>((bytes[7] & 0x0F) | 0x40);  // version 4
        bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
        std::memcpy(&pguid->Data1, bytes, 4);
        std::memcpy(&pguid->Data2, bytes + 4, 2);
        pguid->Data3 = static_cast<uint16_t>(bytes[6] | bytes[7] << 8);
        std::memcpy(pguid->Data4, bytes + 8, 8);
    } catch (...) {
        return E_FAIL;
    }
    return S_OK;
}

int StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax) {
    constexpr int kChars = 39;  // braces, 32 digits, 4 dashes and the NUL
    if (!lpsz || cchMax < kChars) {
        return 0;
    }
    std::swprintf(lpsz, static_cast<size_t>(cchMax),
                  L"{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(rguid.Data1), rguid.Data2, rguid.Data3, rguid.Data4[0],
                  rguid.Data4[1], rguid.Data4[2], rguid.Data4[3], rguid.Data4[4], rguid.Data4[5],
                  rguid.Data4[6], rguid.Data4[7]);
    return kChars;
}

HRESULT CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid) {
    if (!lpsz || !pclsid) {
        return E_INVALIDARG;
    }
    return ParseGuid(lpsz, pclsid) ? S_OK : CO_E_CLASSSTRING;
}

HRESULT IIDFromString(LPCOLESTR lpsz, LPIID lpiid) {
    if (!lpsz || !lpiid) {
        return E_INVALIDARG;
    }
    return ParseGuid(lpsz, lpiid) ? S_OK : E_INVALIDARG;
}
