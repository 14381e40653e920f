// The ModuleEntry source unit: the module object, DllMain, DllGetClassObject and the
// cached class factory. The module also exports Microsoft_WDF_UMDF_Version (1.11), which
// wudfddi.h defines in every unit that includes it.

#include <windows.h>
#include <wudfddi.h>

#include <atomic>
#include <new>

#include "Driver.h"
#include "Internal.h"
#include "Trace.h"

BRELK_TRACE_UNIT(ModuleEntry);

namespace {

std::atomic<LONG> g_ModuleLockCount{0};

// Creates CMyDriver objects. One instance is created on the first request and kept for
// the life of the module, which holds its one lasting reference. It takes no module
// lock of its own: that lock would only be given back at unload.
class CClassFactory final : public IClassFactory {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) {
            return E_POINTER;
        }
        *ppv = nullptr;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
            *ppv = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++m_cRef); }
    STDMETHODIMP_(ULONG) Release() override {
        const LONG count = --m_cRef;
        if (count == 0) {
            delete this;
        }
        return static_cast<ULONG>(count);
    }

    STDMETHODIMP CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) override {
        if (ppv == nullptr) {
            return E_POINTER;
        }
        *ppv = nullptr;
        if (pUnkOuter != nullptr) {
            return CLASS_E_NOAGGREGATION;
        }
        CMyDriver* driver = CMyDriver::Create();
        if (driver == nullptr) {
            return E_OUTOFMEMORY;
        }
        const HRESULT hr = driver->QueryInterface(riid, ppv);
        driver->Release();
        return hr;
    }
    STDMETHODIMP LockServer(BOOL fLock) override {
        if (fLock) {
            DllModuleLock();
        } else {
            DllModuleUnlock();
        }
        return S_OK;
    }

private:
    virtual ~CClassFactory() = default;
    std::atomic<LONG> m_cRef{1};
};

// The module object: the lock that serialises the factory's creation, and the factory.
class CModule {
public:
    CModule() { m_bInitialized = InitializeCriticalSectionAndSpinCount(&m_Lock, 0) != FALSE; }
    ~CModule() {
        if (m_pFactory != nullptr) {
            m_pFactory->Release();
            m_pFactory = nullptr;
        }
        if (m_bInitialized) {
            DeleteCriticalSection(&m_Lock);
        }
    }
    CModule(const CModule&) = delete;
    CModule& operator=(const CModule&) = delete;

    bool Initialized() const { return m_bInitialized; }

    // The cached factory with a reference for the caller; null when out of memory.
    IClassFactory* Factory() {
        EnterCriticalSection(&m_Lock);
        if (m_pFactory == nullptr) {
            m_pFactory = new (std::nothrow) CClassFactory();
        }
        IClassFactory* factory = m_pFactory;
        if (factory != nullptr) {
            factory->AddRef();
        }
        LeaveCriticalSection(&m_Lock);
        return factory;
    }

private:
    bool m_bInitialized;  // written at module load only
    CRITICAL_SECTION m_Lock;
    CClassFactory* m_pFactory = nullptr;  // one reference; guarded by m_Lock
};

CModule g_Module;

}  // namespace

void DllModuleLock() noexcept {
    ++g_ModuleLockCount;
}

void DllModuleUnlock() noexcept {
    --g_ModuleLockCount;
}

LONG DllModuleLockCount() noexcept {
    return g_ModuleLockCount.load();
}

extern "C" BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID lpReserved) {
    (void)lpReserved;
    if (dwReason == DLL_PROCESS_ATTACH) {
        StartTracing();
        DisableThreadLibraryCalls(hInstance);
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_DLL, "DllMain: reason %u", dwReason);
        if (!g_Module.Initialized()) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DLL, "DllMain: module not initialised");
            return FALSE;
        }
    } else if (dwReason == DLL_PROCESS_DETACH) {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_DLL, "DllMain: reason %u", dwReason);
        StopTracing();
    } else {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_DLL, "DllMain: reason %u", dwReason);
    }
    return TRUE;
}

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE
    DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_DLL, "DllGetClassObject: %!GUID! %!GUID!",
                &rclsid, &riid);
    if (ppv == nullptr) {
        return E_POINTER;
    }
    *ppv = nullptr;
    if (!g_Module.Initialized()) {
        return E_UNEXPECTED;
    }
    if (!IsEqualCLSID(rclsid, CLSID_MyDriver)) {
        return CLASS_E_CLASSNOTAVAILABLE;
    }
    IClassFactory* factory = g_Module.Factory();
    if (factory == nullptr) {
        return E_OUTOFMEMORY;
    }
    HRESULT hr = factory->QueryInterface(riid, ppv);
    factory->Release();
    if (SUCCEEDED(hr) && *ppv == nullptr) {
        hr = CLASS_E_CLASSNOTAVAILABLE;
    }
    return hr;
}
