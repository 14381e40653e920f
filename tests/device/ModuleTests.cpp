// The module entry of Brelk.dll as the framework host meets it: loaded by name, its
// version export, DllGetClassObject, the cached class factory and the driver object.
#include <windows.h>
#include <objbase.h>
#include <winplat/debugout.h>
#include <winplat/faults.h>
#include <wudfddi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "Driver.h"
#include "HResultPrinter.h"
#include "TestFolders.h"

namespace brelk::test {
namespace {

typedef HRESULT(STDAPICALLTYPE* PFN_DllGetClassObject)(REFCLSID, REFIID, LPVOID*);

void* const kPoison = reinterpret_cast<void*>(0xBAADF00DBAADF00Dull);

const CLSID kOtherClsid = {
    0xD29F1A12, 0xE977, 0x4399, {0xAA, 0xB2, 0x87, 0x7A, 0x27, 0x54, 0x67, 0x3F}};

class ModuleEntry : public ::testing::Test {
protected:
    void SetUp() override {
        m_hModule = LoadLibraryW(L"Brelk.dll");
        ASSERT_NE(m_hModule, nullptr) << GetLastError();
        m_pfnGetClassObject = reinterpret_cast<PFN_DllGetClassObject>(
            reinterpret_cast<void (*)()>(GetProcAddress(m_hModule, "DllGetClassObject")));
        ASSERT_NE(m_pfnGetClassObject, nullptr);
        WinplatClearDebugOutput();
    }
    void TearDown() override {
        if (m_hModule != nullptr) {
            FreeLibrary(m_hModule);
        }
    }

    IClassFactory* Factory() {
        IClassFactory* factory = nullptr;
        EXPECT_HR(S_OK, m_pfnGetClassObject(CLSID_MyDriver, IID_IClassFactory,
                                            reinterpret_cast<void**>(&factory)));
        return factory;
    }

    HMODULE m_hModule = nullptr;
    PFN_DllGetClassObject m_pfnGetClassObject = nullptr;
};

TEST_F(ModuleEntry, ExportsTheFrameworkVersionItWasBuiltFor) {
    const auto* version = reinterpret_cast<const UMDF_VERSION_DATA*>(
        GetProcAddress(m_hModule, "Microsoft_WDF_UMDF_Version"));
    ASSERT_NE(version, nullptr);
    EXPECT_EQ(version->MajorNumber, 1u);
    EXPECT_EQ(version->MinorNumber, 11u);
}

TEST_F(ModuleEntry, GetClassObjectAnswers) {
    struct Case {
        const char* name;
        const CLSID& clsid;
        const IID& iid;
        bool withOut;
        HRESULT hr;
    };
    const Case cases[] = {
        {"class factory", CLSID_MyDriver, IID_IClassFactory, true, S_OK},
        {"IUnknown of the factory", CLSID_MyDriver, IID_IUnknown, true, S_OK},
        {"interface the factory lacks", CLSID_MyDriver, IID_IDriverEntry, true, E_NOINTERFACE},
        {"unknown class", kOtherClsid, IID_IClassFactory, true, CLASS_E_CLASSNOTAVAILABLE},
        {"no out pointer", CLSID_MyDriver, IID_IClassFactory, false, E_POINTER},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        void* out = kPoison;
        EXPECT_HR(c.hr, m_pfnGetClassObject(c.clsid, c.iid, c.withOut ? &out : nullptr));
        if (!c.withOut) {
            EXPECT_EQ(out, kPoison);
        } else if (SUCCEEDED(c.hr)) {
            ASSERT_NE(out, nullptr);
            static_cast<IUnknown*>(out)->Release();
        } else {
            EXPECT_EQ(out, nullptr);
        }
    }
    EXPECT_EQ(CountDebugOutput("Test\n"), 0u) << "no driver object created";
}

TEST_F(ModuleEntry, FactoryIsCreatedOnceAndKept) {
    IClassFactory* first = Factory();
    ASSERT_NE(first, nullptr);
    first->Release();
    IClassFactory* second = Factory();
    EXPECT_EQ(first, second);
    IUnknown* unknown = nullptr;
    ASSERT_HR(S_OK, m_pfnGetClassObject(CLSID_MyDriver, IID_IUnknown,
                                        reinterpret_cast<void**>(&unknown)));
    EXPECT_EQ(unknown, static_cast<IUnknown*>(second));
    unknown->Release();
    EXPECT_HR(S_OK, second->LockServer(TRUE));
    EXPECT_HR(S_OK, second->LockServer(FALSE));
    second->Release();
}

TEST_F(ModuleEntry, FactoryCreatesDriverObjectsWithoutAggregation) {
    IClassFactory* factory = Factory();
    ASSERT_NE(factory, nullptr);

    void* out = kPoison;
    int notAnObject = 0;  // never called: aggregation is refused before anything else
    EXPECT_HR(
        CLASS_E_NOAGGREGATION,
        factory->CreateInstance(reinterpret_cast<IUnknown*>(&notAnObject), IID_IDriverEntry, &out));
    EXPECT_EQ(out, nullptr);

    out = kPoison;
    EXPECT_HR(E_NOINTERFACE, factory->CreateInstance(nullptr, IID_IClassFactory, &out));
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(CountDebugOutput("Test\n"), 1u) << "the object was made, then let go";

    IDriverEntry* driver = nullptr;
    ASSERT_HR(S_OK, factory->CreateInstance(nullptr, IID_IDriverEntry,
                                            reinterpret_cast<void**>(&driver)));
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(CountDebugOutput("Test\n"), 2u);
    IUnknown* unknown = nullptr;
    EXPECT_HR(S_OK, driver->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)));
    EXPECT_EQ(unknown->Release(), 1u);
    EXPECT_EQ(driver->Release(), 0u);
    factory->Release();
}

// A framework driver whose device creation fails; any other call is a test failure.
class RefusingDriver : public IWDFDriver {
public:
    explicit RefusingDriver(HRESULT hr) : m_hr(hr) {}
    STDMETHODIMP QueryInterface(REFIID, void** ppv) override {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP DeleteWdfObject() override { return Unexpected(); }
    STDMETHODIMP AssignContext(IObjectCleanup*, void*) override { return Unexpected(); }
    STDMETHODIMP RetrieveContext(void**) override { return Unexpected(); }
    STDMETHODIMP_(void) AcquireLock() override { Unexpected(); }
    STDMETHODIMP_(void) ReleaseLock() override { Unexpected(); }
    STDMETHODIMP CreateDevice(IWDFDeviceInitialize*, IUnknown*, IWDFDevice** ppDevice) override {
        ++CreateDeviceCalls;
        *ppDevice = nullptr;
        return m_hr;
    }
    STDMETHODIMP CreateWdfObject(IUnknown*, IWDFObject*, IWDFObject**) override {
        return Unexpected();
    }
    STDMETHODIMP CreatePreallocatedWdfMemory(BYTE*, SIZE_T, IUnknown*, IWDFObject*,
                                             IWDFMemory**) override {
        return Unexpected();
    }
    STDMETHODIMP CreateWdfMemory(SIZE_T, IUnknown*, IWDFObject*, IWDFMemory**) override {
        return Unexpected();
    }
    STDMETHODIMP_(BOOL) IsVersionAvailable(UMDF_VERSION_DATA*) override {
        Unexpected();
        return FALSE;
    }
    STDMETHODIMP RetrieveVersionString(PWSTR, DWORD*) override { return Unexpected(); }

    int CreateDeviceCalls = 0;

private:
    static HRESULT Unexpected() {
        ADD_FAILURE() << "unexpected call on the framework driver";
        return E_UNEXPECTED;
    }
    HRESULT m_hr;
};

// The device initialisation object as far as device creation reads it.
class RecordingDeviceInit : public IWDFDeviceInitialize {
public:
    STDMETHODIMP QueryInterface(REFIID, void** ppv) override {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP_(void) SetFilter() override {}
    STDMETHODIMP_(void) SetLockingConstraint(WDF_CALLBACK_CONSTRAINT) override {}
    STDMETHODIMP RetrieveDevicePropertyStore(PCWSTR, WDF_PROPERTY_STORE_RETRIEVE_FLAGS,
                                             IWDFNamedPropertyStore**,
                                             WDF_PROPERTY_STORE_DISPOSITION*) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP_(void) SetPowerPolicyOwnership(BOOL value) override { PowerPolicy = value; }
    STDMETHODIMP_(void) AutoForwardCreateCleanupClose(WDF_TRI_STATE value) override {
        AutoForward = value;
    }
    STDMETHODIMP RetrieveDeviceInstanceId(PWSTR, DWORD*) override { return E_NOTIMPL; }
    STDMETHODIMP_(void) SetPnpCapability(WDF_PNP_CAPABILITY, WDF_TRI_STATE) override {}
    STDMETHODIMP_(WDF_TRI_STATE) GetPnpCapability(WDF_PNP_CAPABILITY) override {
        return WdfUseDefault;
    }
    BOOL PowerPolicy = -1;
    WDF_TRI_STATE AutoForward = WdfUseDefault;
};

TEST_F(ModuleEntry, DriverObjectLifecycle) {
    IClassFactory* factory = Factory();
    ASSERT_NE(factory, nullptr);
    IDriverEntry* driver = nullptr;
    ASSERT_HR(S_OK, factory->CreateInstance(nullptr, IID_IDriverEntry,
                                            reinterpret_cast<void**>(&driver)));
    factory->Release();

    // Already in the multithreaded apartment: S_FALSE inside, S_OK outside.
    ASSERT_HR(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    RefusingDriver fxDriver(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
    EXPECT_HR(S_OK, driver->OnInitialize(&fxDriver));

    // A device that cannot be created is neither announced nor configured.
    RecordingDeviceInit init;
    EXPECT_HR(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), driver->OnDeviceAdd(&fxDriver, &init));
    EXPECT_EQ(fxDriver.CreateDeviceCalls, 1);
    EXPECT_EQ(init.PowerPolicy, FALSE);
    EXPECT_EQ(init.AutoForward, WdfTrue);
    EXPECT_EQ(CountDebugOutput("UMDF FwUpdte Driver configure\n"), 0u);

    driver->OnDeinitialize(&fxDriver);
    EXPECT_EQ(driver->Release(), 0u);
    // OnInitialize and OnDeinitialize are balanced: this thread's own join remains.
    EXPECT_HR(S_FALSE, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    CoUninitialize();
    CoUninitialize();
}

// The module object's lock cannot be set up: the process attach fails, so the module
// never loads. Runs in a fresh process, where Brelk.dll is not yet loaded.
TEST(ModuleEntryInit, FailedModuleLockFailsTheLoad) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            WinplatFailApi("InitializeCriticalSectionAndSpinCount", 0, WINPLAT_FAIL_ALWAYS,
                           ERROR_NOT_ENOUGH_MEMORY);
            SetLastError(0xdeadbeef);
            const HMODULE h = LoadLibraryW(L"Brelk.dll");
            const DWORD error = GetLastError();
            std::exit(h == nullptr && error == ERROR_DLL_INIT_FAILED ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace brelk::test
