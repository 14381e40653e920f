#include <windows.h>
#include <objbase.h>

#include "HResultPrinter.h"
#include "RefCountChecker.h"
#include "WineReference.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

namespace brelk::test {
namespace {

// {6A1C3F0E-5B7D-4E2A-9C11-0D2E3F405162}
constexpr CLSID kClsid = {
    0x6A1C3F0E, 0x5B7D, 0x4E2A, {0x9C, 0x11, 0x0D, 0x2E, 0x3F, 0x40, 0x51, 0x62}};
constexpr CLSID kOtherClsid = {
    0x6A1C3F0E, 0x5B7D, 0x4E2A, {0x9C, 0x11, 0x0D, 0x2E, 0x3F, 0x40, 0x51, 0x63}};

void* const kPoison = reinterpret_cast<void*>(0x5A5A5A5A);

// Makes TestUnknown objects; `tag` tells registrations apart.
class TestFactory final : public IClassFactory {
public:
    explicit TestFactory(int tag) : m_Tag(tag) {}

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) {
            return E_POINTER;
        }
        *ppv = nullptr;
        if (riid != IID_IUnknown && riid != IID_IClassFactory) {
            return E_NOINTERFACE;
        }
        *ppv = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++m_Refs; }
    STDMETHODIMP_(ULONG) Release() override {
        const ULONG refs = --m_Refs;
        if (refs == 0) {
            delete this;
        }
        return refs;
    }
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (!ppv) {
            return E_POINTER;
        }
        *ppv = nullptr;
        if (outer) {
            return CLASS_E_NOAGGREGATION;
        }
        ++created;
        auto* object = new TestUnknown;
        HRESULT hr = object->QueryInterface(riid, ppv);
        object->Release();
        return hr;
    }
    STDMETHODIMP LockServer(BOOL) override { return S_OK; }

    int Tag() const { return m_Tag; }
    std::atomic<int> created{0};

private:
    virtual ~TestFactory() = default;
    std::atomic<ULONG> m_Refs{1};
    const int m_Tag;
};

HRESULT CreateOnNewThread(REFCLSID clsid) {
    HRESULT hr = E_UNEXPECTED;
    std::thread([&] {
        IUnknown* object = nullptr;
        hr = CoCreateInstance(clsid, nullptr, CLSCTX_ALL, IID_IUnknown,
                              reinterpret_cast<void**>(&object));
        if (object) {
            object->Release();
        }
    }).join();
    return hr;
}

HRESULT RunOnNewThread(const std::function<HRESULT()>& f) {
    HRESULT hr = E_UNEXPECTED;
    std::thread([&] { hr = f(); }).join();
    return hr;
}

}  // namespace

TEST(CoInitializeEx, ReturnsPerThreadAndModel) {
    struct Case {
        const char* name;
        DWORD first, second;
        HRESULT firstHr, secondHr;
        int uninits;  // S_OK and S_FALSE each need one
    };
    constexpr Case kCases[] = {
        {"MTA then MTA", COINIT_MULTITHREADED, COINIT_MULTITHREADED, S_OK, S_FALSE, 2},
        {"STA then STA", COINIT_APARTMENTTHREADED, COINIT_APARTMENTTHREADED, S_OK, S_FALSE, 2},
        {"MTA then STA", COINIT_MULTITHREADED, COINIT_APARTMENTTHREADED, S_OK, RPC_E_CHANGED_MODE,
         1},
        {"STA then MTA", COINIT_APARTMENTTHREADED, COINIT_MULTITHREADED, S_OK, RPC_E_CHANGED_MODE,
         1},
        {"extra flags keep the model", COINIT_MULTITHREADED | COINIT_DISABLE_OLE1DDE,
         COINIT_MULTITHREADED | COINIT_SPEED_OVER_MEMORY, S_OK, S_FALSE, 2},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        // Each case on a fresh thread: the apartment belongs to the thread.
        std::thread([&] {
            EXPECT_HR(c.firstHr, CoInitializeEx(nullptr, c.first));
            EXPECT_HR(c.secondHr, CoInitializeEx(nullptr, c.second));
            for (int i = 0; i < c.uninits; ++i) {
                CoUninitialize();
            }
            // Fully uninitialised now: the next call starts a new apartment.
            EXPECT_HR(S_OK, CoInitializeEx(nullptr, c.second));
            CoUninitialize();
        }).join();
    }
}

TEST(CoInitializeEx, OtherThreadsAreIndependent) {
    ASSERT_HR(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    EXPECT_HR(S_OK, RunOnNewThread([] {
                  HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
                  CoUninitialize();
                  return hr;
              }));
    EXPECT_HR(S_FALSE, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    CoUninitialize();
    CoUninitialize();
}

TEST(CoInitializeEx, RejectsBadArguments) {
    // Each call on a thread of its own, so that one that wrongly joins an apartment
    // leaves nothing behind for the next test.
    struct Case {
        const char* name;
        bool reserved;
        DWORD model;
        const char* wineDeparts;
    };
    constexpr Case kCases[] = {
        {"reserved pointer", true, COINIT_MULTITHREADED,
         "Win32 reference, CoInitializeEx, pvReserved: reserved, must be NULL (E_INVALIDARG "
         "is among its documented return values)"},
        {"unknown flag", false, 0x100, nullptr},  // our layer's rule; Windows does not say
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        std::thread([&] {
            int reserved = 0;
            const HRESULT hr = CoInitializeEx(c.reserved ? &reserved : nullptr, c.model);
            if (SUCCEEDED(hr)) {
                CoUninitialize();
            }
            if (c.wineDeparts != nullptr) {
                WINE_DEPARTS(c.wineDeparts) {
                    EXPECT_HR(E_INVALIDARG, hr);
                }
            } else if (brelk::test::kOnOurLayer) {
                EXPECT_HR(E_INVALIDARG, hr);
            }
            if (FAILED(hr)) {
                // The refused call joined no apartment.
                EXPECT_HR(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
                CoUninitialize();
            }
        }).join();
    }
}

TEST(ImplicitMta, OnlyWhileSomeThreadIsInTheMta) {
    auto* factory = new TestFactory(1);
    DWORD cookie = 0;
    // Nobody is in any apartment: even registration is refused.
    EXPECT_HR(CO_E_NOTINITIALIZED, CoRegisterClassObject(kClsid, factory, CLSCTX_INPROC_SERVER,
                                                         REGCLS_MULTIPLEUSE, &cookie));
    EXPECT_HR(CO_E_NOTINITIALIZED, CreateOnNewThread(kClsid));

    ASSERT_HR(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    ASSERT_HR(S_OK, CoRegisterClassObject(kClsid, factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE,
                                          &cookie));
    // A thread that never initialised uses the MTA this thread keeps alive.
    EXPECT_HR(S_OK, CreateOnNewThread(kClsid));
    CoUninitialize();
    EXPECT_HR(CO_E_NOTINITIALIZED, CreateOnNewThread(kClsid));

    // A single-threaded apartment makes no implicit MTA.
    ASSERT_HR(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    EXPECT_HR(CO_E_NOTINITIALIZED, CreateOnNewThread(kClsid));
    // Whether a registration outlives the apartment that made it Windows does not say:
    // ours does, Wine revokes it with the apartment.
    const HRESULT revoked = CoRevokeClassObject(cookie);
    if (brelk::test::kOnOurLayer) {
        EXPECT_HR(S_OK, revoked);
    }
    CoUninitialize();

    // A thread that leaves without CoUninitialize takes its MTA membership with it.
    EXPECT_HR(S_OK, RunOnNewThread([] { return CoInitializeEx(nullptr, COINIT_MULTITHREADED); }));
    EXPECT_HR(CO_E_NOTINITIALIZED, CreateOnNewThread(kClsid));

    EXPECT_EQ(factory->created.load(), 1);
    EXPECT_EQ(factory->Release(), 0u);
}

class ClassTable : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_HR(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED)); }
    void TearDown() override { CoUninitialize(); }

    static HRESULT Create(REFCLSID clsid, DWORD context, REFIID riid, void** ppv) {
        return CoCreateInstance(clsid, nullptr, context, riid, ppv);
    }
};

TEST_F(ClassTable, RegisterCreateRevoke) {
    auto* factory = new TestFactory(1);
    {
        RefCountChecker balanced(factory);
        DWORD cookie = 0xdeadbeef;
        ASSERT_HR(S_OK, CoRegisterClassObject(kClsid, factory, CLSCTX_INPROC_SERVER,
                                              REGCLS_MULTIPLEUSE, &cookie));
        EXPECT_NE(cookie, 0u);
        EXPECT_TRUE(HasRefCount(factory, 2));  // the table holds one reference

        IUnknown* object = static_cast<IUnknown*>(kPoison);
        ASSERT_HR(S_OK,
                  Create(kClsid, CLSCTX_ALL, IID_IUnknown, reinterpret_cast<void**>(&object)));
        ASSERT_NE(object, nullptr);
        EXPECT_TRUE(HasRefCount(object, 1));
        object->Release();
        EXPECT_TRUE(HasRefCount(factory, 2));  // creating gave back the factory reference

        void* ppv = kPoison;
        EXPECT_HR(E_NOINTERFACE, Create(kClsid, CLSCTX_ALL, IID_IClassFactory, &ppv));
        EXPECT_EQ(ppv, nullptr);
        EXPECT_HR(E_POINTER, Create(kClsid, CLSCTX_ALL, IID_IUnknown, nullptr));
        ppv = kPoison;
        auto* outer = new TestUnknown;
        EXPECT_HR(CLASS_E_NOAGGREGATION,
                  CoCreateInstance(kClsid, outer, CLSCTX_ALL, IID_IUnknown, &ppv));
        EXPECT_EQ(ppv, nullptr);
        outer->Release();

        // The class object itself, as CoGetClassObject hands it out.
        IClassFactory* got = nullptr;
        ASSERT_HR(S_OK, CoGetClassObject(kClsid, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                                         reinterpret_cast<void**>(&got)));
        EXPECT_EQ(got, factory);
        got->Release();

        EXPECT_HR(S_OK, CoRevokeClassObject(cookie));
        ppv = kPoison;
        EXPECT_HR(REGDB_E_CLASSNOTREG, Create(kClsid, CLSCTX_ALL, IID_IUnknown, &ppv));
        EXPECT_EQ(ppv, nullptr);
        EXPECT_HR(E_INVALIDARG, CoRevokeClassObject(cookie));
    }
    EXPECT_EQ(factory->created.load(), 2);
    factory->Release();
}

TEST_F(ClassTable, LookupRules) {
    if (!brelk::test::kOnOurLayer) {
        GTEST_SKIP() << "our layer's rules: Windows documents neither the newest-wins order "
                        "nor class contexts for in-process lookups of registered objects";
    }
    auto* inproc = new TestFactory(1);
    auto* local = new TestFactory(2);
    auto* newer = new TestFactory(3);
    DWORD c1 = 0, c2 = 0, c3 = 0;
    ASSERT_HR(S_OK,
              CoRegisterClassObject(kClsid, inproc, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &c1));
    ASSERT_HR(S_OK, CoRegisterClassObject(kOtherClsid, local, CLSCTX_LOCAL_SERVER,
                                          REGCLS_MULTIPLEUSE, &c2));
    EXPECT_NE(c1, c2);

    void* ppv = kPoison;
    // The class context must overlap the registration's.
    EXPECT_HR(REGDB_E_CLASSNOTREG, Create(kOtherClsid, CLSCTX_INPROC_SERVER, IID_IUnknown, &ppv));
    EXPECT_EQ(ppv, nullptr);
    ASSERT_HR(S_OK, Create(kOtherClsid, CLSCTX_ALL, IID_IUnknown, &ppv));
    static_cast<IUnknown*>(ppv)->Release();

    // The newest registration of a class wins; revoking it uncovers the older one.
    ASSERT_HR(S_OK,
              CoRegisterClassObject(kClsid, newer, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &c3));
    ASSERT_HR(S_OK, Create(kClsid, CLSCTX_ALL, IID_IUnknown, &ppv));
    static_cast<IUnknown*>(ppv)->Release();
    EXPECT_EQ(newer->created.load(), 1);
    EXPECT_HR(S_OK, CoRevokeClassObject(c3));
    ASSERT_HR(S_OK, Create(kClsid, CLSCTX_ALL, IID_IUnknown, &ppv));
    static_cast<IUnknown*>(ppv)->Release();
    EXPECT_EQ(inproc->created.load(), 1);

    EXPECT_HR(S_OK, CoRevokeClassObject(c1));
    EXPECT_HR(S_OK, CoRevokeClassObject(c2));
    EXPECT_EQ(inproc->Release(), 0u);
    EXPECT_EQ(local->Release(), 0u);
    EXPECT_EQ(newer->Release(), 0u);
}

TEST_F(ClassTable, SingleUseAndSuspendedRegistrations) {
    if (!brelk::test::kOnOurLayer) {
        GTEST_SKIP() << "our layer's rules: Windows documents REGCLS_SINGLEUSE and "
                        "REGCLS_SUSPENDED for activations from other processes";
    }
    auto* factory = new TestFactory(1);
    DWORD cookie = 0;
    void* ppv = nullptr;

    ASSERT_HR(S_OK, CoRegisterClassObject(kClsid, factory, CLSCTX_INPROC_SERVER,
                                          REGCLS_SINGLEUSE | REGCLS_SUSPENDED, &cookie));
    EXPECT_HR(REGDB_E_CLASSNOTREG, Create(kClsid, CLSCTX_ALL, IID_IUnknown, &ppv));
    EXPECT_HR(S_OK, CoResumeClassObjects());
    ASSERT_HR(S_OK, Create(kClsid, CLSCTX_ALL, IID_IUnknown, &ppv));
    static_cast<IUnknown*>(ppv)->Release();
    // A single-use class object serves one activation.
    EXPECT_HR(REGDB_E_CLASSNOTREG, Create(kClsid, CLSCTX_ALL, IID_IUnknown, &ppv));
    EXPECT_HR(S_OK, CoRevokeClassObject(cookie));
    EXPECT_EQ(factory->Release(), 0u);
}

TEST_F(ClassTable, RegistrationArgumentErrors) {
    auto* object = new TestUnknown;
    DWORD cookie = 0xdeadbeef;
    EXPECT_HR(E_INVALIDARG, CoRegisterClassObject(kClsid, nullptr, CLSCTX_INPROC_SERVER,
                                                  REGCLS_MULTIPLEUSE, &cookie));
    EXPECT_HR(E_INVALIDARG, CoRegisterClassObject(kClsid, object, CLSCTX_INPROC_SERVER,
                                                  REGCLS_MULTIPLEUSE, nullptr));
    // Our layer's rules beyond what Windows documents: the token is cleared on failure,
    // and a registration for no class context is refused.
    if (brelk::test::kOnOurLayer) {
        EXPECT_EQ(cookie, 0u);
        EXPECT_HR(E_INVALIDARG,
                  CoRegisterClassObject(kClsid, object, 0, REGCLS_MULTIPLEUSE, &cookie));
    }
    EXPECT_TRUE(HasRefCount(object, 1));
    // A registered object that is no class factory cannot create instances.
    ASSERT_HR(S_OK, CoRegisterClassObject(kClsid, object, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE,
                                          &cookie));
    void* ppv = kPoison;
    EXPECT_HR(E_NOINTERFACE, Create(kClsid, CLSCTX_ALL, IID_IUnknown, &ppv));
    EXPECT_EQ(ppv, nullptr);
    EXPECT_HR(S_OK, CoRevokeClassObject(cookie));
    EXPECT_EQ(object->Release(), 0u);
}

TEST(GuidText, FormatsAndParses) {
    constexpr GUID kGuid = {
        0x0123ABCD, 0x4567, 0x89EF, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};
    OLECHAR text[39];
    EXPECT_EQ(StringFromGUID2(kGuid, text, 38), 0);
    ASSERT_EQ(StringFromGUID2(kGuid, text, 39), 39);
    EXPECT_STREQ(text, L"{0123ABCD-4567-89EF-0123-456789ABCDEF}");

    GUID parsed = {};
    EXPECT_HR(S_OK, CLSIDFromString(L"{0123abcd-4567-89ef-0123-456789abcdef}", &parsed));
    EXPECT_EQ(parsed, kGuid);
    for (const wchar_t* bad :
         {L"0123ABCD-4567-89EF-0123-456789ABCDEF", L"{0123ABCD-4567-89EF-0123-456789ABCDEF",
          L"{0123ABCD-4567-89EF-0123-456789ABCDEG}", L"{0123ABCD-4567-89EF-0123-456789ABCDEF}x"}) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(bad)));
        EXPECT_HR(CO_E_CLASSSTRING, CLSIDFromString(bad, &parsed));
    }
}

}  // namespace brelk::test
