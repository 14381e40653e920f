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
