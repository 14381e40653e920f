// The machine's property store and device database, through the framework's and
// SetupAPI's interfaces.
#include <objbase.h>
#include <propidl.h>
#include <setupapi.h>
#include <sqlite3.h>

#include <cstring>
#include <fstream>

#include "HResultPrinter.h"
#include "MachineFixture.h"

namespace brelk::test {
namespace {

const std::wstring kInstance = L"USB\\VID_1234&PID_5678\\0001";
constexpr HRESULT kNotFound = static_cast<HRESULT>(0x80070002);

WDF_PROPERTY_STORE_ROOT HardwareRoot(PCWSTR service = nullptr) {
    WDF_PROPERTY_STORE_ROOT root = {};
    root.LengthCb = sizeof(root);
    root.RootClass = WdfPropertyStoreRootClassHardwareKey;
    root.Qualifier.HardwareKey.ServiceName = service;
    return root;
}

class StoreTest : public MachineFixture {
protected:
    // Short lock waits: the locked-database case holds a lock on purpose.
    sim::StoreOptions Options() override { return {.BusyTimeoutMs = 50}; }

    IWDFNamedPropertyStore2* Open(
        REGSAM access = KEY_READ | KEY_SET_VALUE,
        WDF_PROPERTY_STORE_RETRIEVE_FLAGS flags = WdfPropertyStoreCreateIfMissing) {
        auto root = HardwareRoot();
        IWDFNamedPropertyStore2* store = nullptr;
        EXPECT_HR(S_OK, Store()->RetrieveNamedStore(kInstance, &root, flags, access, nullptr,
                                                    &store, nullptr));
        return store;
    }
};

TEST_F(StoreTest, ValuesReadBackWithTheFrameworksTypes) {
    IWDFNamedPropertyStore2* store = Open();
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

TEST_F(StoreTest, MissingValueAndDeletion) {
    IWDFNamedPropertyStore2* store = Open();
    ASSERT_NE(store, nullptr);
    PROPVARIANT v;
    PropVariantInit(&v);
    EXPECT_HR(kNotFound, store->GetNamedValue(L"Nothing", &v));
    EXPECT_EQ(v.vt, VT_EMPTY);
    EXPECT_HR(kNotFound, store->DeleteNamedValue(L"Nothing"));

    v.vt = VT_UINT;
    v.uintVal = 4;
    ASSERT_HR(S_OK, store->SetNamedValue(L"FWUpdateProgressState", &v));
    // Names match without regard to case, as registry value names do.
    EXPECT_HR(S_OK, store->DeleteNamedValue(L"fwupdateprogressstate"));
    EXPECT_HR(kNotFound, store->GetNamedValue(L"FWUpdateProgressState", &v));
    store->Release();
}

TEST_F(StoreTest, RetrieveHonoursRootFlagsAndAccess) {
    auto root = HardwareRoot();
    IWDFNamedPropertyStore2* store = reinterpret_cast<IWDFNamedPropertyStore2*>(0x1);
    WDF_PROPERTY_STORE_DISPOSITION disposition = static_cast<WDF_PROPERTY_STORE_DISPOSITION>(0);

    // Not there yet and not to be created.
    EXPECT_HR(kNotFound, Store()->RetrieveNamedStore(kInstance, &root, WdfPropertyStoreNormal,
                                                     KEY_READ, nullptr, &store, &disposition));
    EXPECT_EQ(store, nullptr);
    ASSERT_HR(S_OK, Store()->RetrieveNamedStore(kInstance, &root, WdfPropertyStoreCreateIfMissing,
                                                KEY_READ, nullptr, &store, &disposition));
    EXPECT_EQ(disposition, CreatedNewStore);
    // Opened for reading only: writes are refused.
    PROPVARIANT v;
    PropVariantInit(&v);
    v.vt = VT_UINT;
    EXPECT_HR(E_ACCESSDENIED, store->SetNamedValue(L"X", &v));
    store->Release();
    ASSERT_HR(S_OK, Store()->RetrieveNamedStore(kInstance, &root, WdfPropertyStoreNormal,
                                                KEY_SET_VALUE, nullptr, &store, &disposition));
    EXPECT_EQ(disposition, OpenedExistingStore);
    EXPECT_HR(S_OK, store->SetNamedValue(L"X", &v));
    EXPECT_HR(E_ACCESSDENIED, store->GetNamedValue(L"X", &v));
    store->Release();

    // Each root class names its own key; a value under one is not under another.
    WDF_PROPERTY_STORE_ROOT software = {};
    software.LengthCb = sizeof(software);
    software.RootClass = WdfPropertyStoreRootClassSoftwareKey;
    ASSERT_HR(S_OK,
              Store()->RetrieveNamedStore(kInstance, &software, WdfPropertyStoreCreateIfMissing,
                                          KEY_READ, nullptr, &store, nullptr));
    EXPECT_HR(kNotFound, store->GetNamedValue(L"X", &v));
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
        EXPECT_HR(c.expected,
                  Store()->RetrieveNamedStore(
                      kInstance, &c.root, static_cast<WDF_PROPERTY_STORE_RETRIEVE_FLAGS>(c.flags),
                      c.access, nullptr, &store, nullptr));
        EXPECT_EQ(store, nullptr);
    }
}

TEST_F(StoreTest, LockedOrCorruptDatabaseGivesAClearError) {
    IWDFNamedPropertyStore2* store = Open();
    ASSERT_NE(store, nullptr);
    PROPVARIANT v;
    PropVariantInit(&v);
    v.vt = VT_UINT;
    v.uintVal = 1;

    // Another process holds the write lock.
    sqlite3* other = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(m_Machine.DbPath().c_str(), &other));
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr));
    EXPECT_HR(HRESULT_FROM_WIN32(ERROR_LOCK_VIOLATION), store->SetNamedValue(L"State", &v));
    sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    EXPECT_HR(S_OK, store->SetNamedValue(L"State", &v));
    store->Release();

    // The file is overwritten with something that is not a database.
    std::filesystem::remove(m_Machine.DbPath() + "-wal");
    std::filesystem::remove(m_Machine.DbPath() + "-shm");
    {
        std::ofstream junk(m_Machine.DbPath(), std::ios::binary | std::ios::trunc);
        junk << std::string(8192, 'x');
    }
    auto root = HardwareRoot();
    store = reinterpret_cast<IWDFNamedPropertyStore2*>(0x1);
    EXPECT_HR(HRESULT_FROM_WIN32(ERROR_BADDB),
              Store()->RetrieveNamedStore(kInstance, &root, WdfPropertyStoreCreateIfMissing,
                                          KEY_READ, nullptr, &store, nullptr));
    EXPECT_EQ(store, nullptr);

    // Or is gone with its folder.
    std::filesystem::remove_all(m_Machine.Folder());
    EXPECT_HR(HRESULT_FROM_WIN32(ERROR_CANTOPEN),
              Store()->RetrieveNamedStore(kInstance, &root, WdfPropertyStoreCreateIfMissing,
                                          KEY_READ, nullptr, &store, nullptr));
}

// ---- SetupAPI over the machine's device database ---------------------------------------

TEST_F(StoreTest, HardwareIdsComeBackAsAMultiStringWithTheSizeQueryContract) {
    ASSERT_HR(S_OK, Store()->RegisterDeviceNode(
                        kInstance, GUID{},
                        {L"MBFW\\{4CA8CA0E-2A90-4D00-B29D-15AB8A12D309}", L"MBFW\\GENERIC"}));
    HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVINFO_DATA data = {};
    data.cbSize = sizeof(data);
    // Instance identifiers match without regard to case.
    ASSERT_TRUE(SetupDiOpenDeviceInfoW(set, L"usb\\vid_1234&pid_5678\\0001", nullptr, 0, &data));

    DWORD required = 0xdeadbeef;
    DWORD type = 0xdeadbeef;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_HARDWAREID, &type, nullptr, 0,
                                                   &required));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    const std::wstring expected = std::wstring(L"MBFW\\{4CA8CA0E-2A90-4D00-B29D-15AB8A12D309}") +
                                  L'\0' + L"MBFW\\GENERIC" + L'\0' + L'\0';
    EXPECT_EQ(required, expected.size() * sizeof(WCHAR));
    EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));

    std::vector<WCHAR> buffer(required / sizeof(WCHAR) + 4, L'#');
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_HARDWAREID, nullptr,
                                                   reinterpret_cast<PBYTE>(buffer.data()),
                                                   required - 1, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(buffer[0], L'#');
    ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_HARDWAREID, nullptr,
                                                  reinterpret_cast<PBYTE>(buffer.data()), required,
                                                  &required));
    EXPECT_EQ(std::wstring(buffer.data(), expected.size()), expected);
    EXPECT_EQ(buffer[expected.size()], L'#');

    // No such property.
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_FRIENDLYNAME, nullptr, nullptr,
                                                   0, &required));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
}

TEST_F(StoreTest, SetupApiRefusesBadHandlesSizesAndUnknownDevices) {
    ASSERT_HR(S_OK, Store()->RegisterDeviceNode(kInstance, GUID{}, {L"A\\{B}"}));
    HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVINFO_DATA data = {};
    data.cbSize = sizeof(data);

    SetLastError(0xdeadbeef);
    EXPECT_FALSE(SetupDiOpenDeviceInfoW(set, L"PCI\\UNKNOWN\\1", nullptr, 0, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_DEVINST));
    EXPECT_EQ(HRESULT_FROM_WIN32(GetLastError()), static_cast<HRESULT>(0xE000020B));

    data.cbSize = sizeof(data) - 4;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(SetupDiOpenDeviceInfoW(set, kInstance.c_str(), nullptr, 0, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));

    HDEVINFO bogus = reinterpret_cast<HDEVINFO>(0x1234);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(SetupDiOpenDeviceInfoW(bogus, kInstance.c_str(), nullptr, 0, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

}  // namespace
}  // namespace brelk::test
