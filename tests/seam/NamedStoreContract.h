#pragma once
// The framework's rules for named property stores (types read back, missing values, roots,
// flags and access), which hold over every backend: instantiated with a machine type of
// PropertyBackendContract.h, on the machine file and on the registry.
#include <objbase.h>
#include <propidl.h>
#include <wudfddi.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "HResultPrinter.h"
#include "HostSystem.h"
#include "PropertyStore.h"

namespace brelk::test {

inline WDF_PROPERTY_STORE_ROOT HardwareRoot(PCWSTR service = nullptr) {
    WDF_PROPERTY_STORE_ROOT root = {};
    root.LengthCb = sizeof(root);
    root.RootClass = WdfPropertyStoreRootClassHardwareKey;
    root.Qualifier.HardwareKey.ServiceName = service;
    return root;
}

template <typename Machine>
class NamedStoreContract : public ::testing::Test {
protected:
    static constexpr HRESULT kNotFound = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);

    void SetUp() override {
        m_Machine.Create();
        m_Stores = std::make_unique<sim::BackendPropertyStores>(m_Machine.Backend());
    }
    void TearDown() override {
        m_Stores.reset();
        m_Machine.Destroy();
    }

    std::wstring Device() { return m_Machine.Device(0); }

    IWDFNamedPropertyStore2* Open(
        REGSAM access = KEY_READ | KEY_SET_VALUE,
        WDF_PROPERTY_STORE_RETRIEVE_FLAGS flags = WdfPropertyStoreCreateIfMissing) {
        auto root = HardwareRoot();
        IWDFNamedPropertyStore2* store = nullptr;
        EXPECT_HR(S_OK, m_Stores->RetrieveNamedStore(Device(), &root, flags, access, nullptr,
                                                     &store, nullptr));
        return store;
    }

    Machine m_Machine;
    // The framework's stores over the machine's backend.
    std::unique_ptr<sim::BackendPropertyStores> m_Stores;
};

TYPED_TEST_SUITE_P(NamedStoreContract);

TYPED_TEST_P(NamedStoreContract, ValuesReadBackWithTheFrameworksTypes) {
    IWDFNamedPropertyStore2* store = this->Open();
    ASSERT_NE(store, nullptr);
    char narrow[] = "0.0";
    WCHAR wide[] = L"1.2.3";
    BYTE blob[] = {1, 2, 0, 3};
    struct Case {
        const char* name;
        PROPVARIANT written;
        VARTYPE readType;
    } cases[] = {
        {"VT_UINT", {}, VT_UI4},     {"VT_I4 -1", {}, VT_UI4},     {"VT_UI1", {}, VT_UI4},
        {"VT_LPSTR", {}, VT_LPWSTR}, {"VT_LPWSTR", {}, VT_LPWSTR}, {"VT_BLOB", {}, VT_BLOB},
    };
    cases[0].written.vt = VT_UINT, cases[0].written.uintVal = 300;
    cases[1].written.vt = VT_I4, cases[1].written.lVal = -1;
    cases[2].written.vt = VT_UI1, cases[2].written.bVal = 0xAB;
    cases[3].written.vt = VT_LPSTR, cases[3].written.pszVal = narrow;
    cases[4].written.vt = VT_LPWSTR, cases[4].written.pwszVal = wide;
    cases[5].written.vt = VT_BLOB, cases[5].written.blob = {sizeof(blob), blob};
    const ULONG numbers[] = {300, 0xFFFFFFFFu, 0xAB};
    const wchar_t* texts[] = {L"0.0", L"1.2.3"};

    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].name);
        const std::wstring name = L"Value" + std::to_wstring(i);
        ASSERT_HR(S_OK, store->SetNamedValue(name.c_str(), &cases[i].written));
        PROPVARIANT read;
        memset(&read, 0xCC, sizeof(read));
        ASSERT_HR(S_OK, store->GetNamedValue(name.c_str(), &read));
        EXPECT_EQ(read.vt, cases[i].readType);
        if (i < 3) {
            EXPECT_EQ(read.ulVal, numbers[i]);
        } else if (i < 5) {
            EXPECT_STREQ(read.pwszVal, texts[i - 3]);
        } else {
            ASSERT_EQ(read.blob.cbSize, sizeof(blob));
            EXPECT_EQ(0, memcmp(read.blob.pBlobData, blob, sizeof(blob)));
        }
        PropVariantClear(&read);
    }
    DWORD count = 0;
    EXPECT_HR(S_OK, store->GetNameCount(&count));
    EXPECT_EQ(count, std::size(cases));
    PWSTR first = nullptr;
    EXPECT_HR(S_OK, store->GetNameAt(0, &first));
    EXPECT_STREQ(first, L"Value0");
    CoTaskMemFree(first);
    EXPECT_HR(HRESULT_FROM_WIN32(ERROR_NO_MORE_ITEMS), store->GetNameAt(count, &first));
    store->Release();
}

TYPED_TEST_P(NamedStoreContract, MissingValueAndDeletion) {
    IWDFNamedPropertyStore2* store = this->Open();
    ASSERT_NE(store, nullptr);
    PROPVARIANT v;
    PropVariantInit(&v);
    EXPECT_HR(this->kNotFound, store->GetNamedValue(L"Nothing", &v));
    EXPECT_EQ(v.vt, VT_EMPTY);
    EXPECT_HR(this->kNotFound, store->DeleteNamedValue(L"Nothing"));

    v.vt = VT_UINT;
    v.uintVal = 4;
    ASSERT_HR(S_OK, store->SetNamedValue(L"FWUpdateProgressState", &v));
    // Names match without regard to case, as registry value names do.
    EXPECT_HR(S_OK, store->DeleteNamedValue(L"fwupdateprogressstate"));
    EXPECT_HR(this->kNotFound, store->GetNamedValue(L"FWUpdateProgressState", &v));
    store->Release();
}

TYPED_TEST_P(NamedStoreContract, RetrieveHonoursRootFlagsAndAccess) {
    auto root = HardwareRoot();
    IWDFNamedPropertyStore2* store = reinterpret_cast<IWDFNamedPropertyStore2*>(0x1);
    WDF_PROPERTY_STORE_DISPOSITION disposition = static_cast<WDF_PROPERTY_STORE_DISPOSITION>(0);

    // Not there yet and not to be created.
    EXPECT_HR(this->kNotFound,
              this->m_Stores->RetrieveNamedStore(this->Device(), &root, WdfPropertyStoreNormal,
                                                 KEY_READ, nullptr, &store, &disposition));
    EXPECT_EQ(store, nullptr);
    ASSERT_HR(S_OK, this->m_Stores->RetrieveNamedStore(this->Device(), &root,
                                                       WdfPropertyStoreCreateIfMissing, KEY_READ,
                                                       nullptr, &store, &disposition));
    EXPECT_EQ(disposition, CreatedNewStore);
    // Opened for reading only: writes are refused.
    PROPVARIANT v;
    PropVariantInit(&v);
    v.vt = VT_UINT;
    EXPECT_HR(E_ACCESSDENIED, store->SetNamedValue(L"X", &v));
    store->Release();
    ASSERT_HR(S_OK,
              this->m_Stores->RetrieveNamedStore(this->Device(), &root, WdfPropertyStoreNormal,
                                                 KEY_SET_VALUE, nullptr, &store, &disposition));
    EXPECT_EQ(disposition, OpenedExistingStore);
    EXPECT_HR(S_OK, store->SetNamedValue(L"X", &v));
    EXPECT_HR(E_ACCESSDENIED, store->GetNamedValue(L"X", &v));
    store->Release();

    // Each root class names its own key; a value under one is not under another.
    WDF_PROPERTY_STORE_ROOT software = {};
    software.LengthCb = sizeof(software);
    software.RootClass = WdfPropertyStoreRootClassSoftwareKey;
    ASSERT_HR(S_OK, this->m_Stores->RetrieveNamedStore(this->Device(), &software,
                                                       WdfPropertyStoreCreateIfMissing, KEY_READ,
                                                       nullptr, &store, nullptr));
    EXPECT_HR(this->kNotFound, store->GetNamedValue(L"X", &v));
    store->Release();

    struct Bad {
        const char* name;
        WDF_PROPERTY_STORE_ROOT root;
        ULONG flags;
        REGSAM access;
        HRESULT expected;
    } bad[] = {
        {"short LengthCb", HardwareRoot(), 1, KEY_READ, E_INVALIDARG},
        {"unknown root class", HardwareRoot(), 1, KEY_READ, E_INVALIDARG},
        {"write to the read-only root", HardwareRoot(L"\\"), 0, KEY_READ | KEY_SET_VALUE,
         E_ACCESSDENIED},
    };
    bad[0].root.LengthCb = 16;
    // Values outside the enumerations arrive as raw numbers, as from C callers.
    const ULONG unknownClass = 7;
    memcpy(&bad[1].root.RootClass, &unknownClass, sizeof(unknownClass));
    for (auto& c : bad) {
        SCOPED_TRACE(c.name);
        store = reinterpret_cast<IWDFNamedPropertyStore2*>(0x1);
        EXPECT_HR(c.expected, this->m_Stores->RetrieveNamedStore(
                                  this->Device(), &c.root,
                                  static_cast<WDF_PROPERTY_STORE_RETRIEVE_FLAGS>(c.flags), c.access,
                                  nullptr, &store, nullptr));
        EXPECT_EQ(store, nullptr);
    }
}

REGISTER_TYPED_TEST_SUITE_P(NamedStoreContract, ValuesReadBackWithTheFrameworksTypes,
                            MissingValueAndDeletion, RetrieveHonoursRootFlagsAndAccess);

}  // namespace brelk::test
