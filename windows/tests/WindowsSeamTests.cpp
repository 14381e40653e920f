// The simulated machine's device nodes and property stores on Windows: SetupAPI's own tree
// and the registry below each device's keys, laid out as WindowsMachine.h says.
#include <windows.h>
#include <setupapi.h>
#include <devpropdef.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cwctype>
#include <string>
#include <vector>

#include "HResultPrinter.h"
#include "PropertyStore.h"
#include "NamedStoreContract.h"
#include "PropertyBackendContract.h"
#include "WindowsMachine.h"

namespace brelk::test {
namespace {

const GUID kNetClass = {
    0x4D36E972, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
const GUID kPortsClass = {
    0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
constexpr HRESULT kNoSuchNode = HRESULT_FROM_WIN32(ERROR_NO_SUCH_DEVINST);
constexpr HRESULT kNotFound = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
using KeyOpen = sim::PropertyBackend::KeyOpen;

// Ids that no other program in the prefix uses at the same time.
std::wstring NewInstanceId() {
    static std::atomic<unsigned> serial{0};
    return L"USB\\VID_1234&PID_5678\\SEAM" + std::to_wstring(GetCurrentProcessId()) + L"_" +
           std::to_wstring(serial++);
}

std::wstring Lower(std::wstring text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](wchar_t c) { return static_cast<wchar_t>(std::towlower(c)); });
    return text;
}

std::wstring EnumPath(const std::wstring& instanceId) {
    return L"SYSTEM\\CurrentControlSet\\Enum\\" + instanceId;
}

sim::StoredValue Number(ULONG n) {
    sim::StoredValue v;
    v.Kind = sim::StoredValue::Shape::Number;
    v.Number = n;
    return v;
}

// A machine whose devices are nodes of Windows' tree; the storage is the registry itself,
// so reopening it is a fresh backend object.
class RegistryMachine {
public:
    void Create() {
        for (auto& id : m_Devices) {
            id = NewInstanceId();
            ASSERT_HR(S_OK, m_Nodes->RemoveNode(id));  // what a run that died left behind
            ASSERT_HR(S_OK, m_Nodes->CreateNode(id, kNetClass, {L"USB\\VID_1234&PID_5678"}));
        }
        m_Backend = sim::RegistryPropertyBackend();
    }
    std::wstring Device(unsigned n) { return m_Devices.at(n); }
    std::shared_ptr<sim::PropertyBackend> Backend() { return m_Backend; }
    std::shared_ptr<sim::PropertyBackend> Reopen() { return sim::RegistryPropertyBackend(); }
    void Destroy() {
        for (const auto& id : m_Devices) {
            EXPECT_HR(S_OK, m_Nodes->RemoveNode(id));
        }
    }

private:
    const std::shared_ptr<sim::DeviceNodes> m_Nodes = sim::SystemDeviceNodes();
    std::array<std::wstring, 2> m_Devices;
    std::shared_ptr<sim::PropertyBackend> m_Backend;
};

INSTANTIATE_TYPED_TEST_SUITE_P(Registry, PropertyBackendContract, RegistryMachine);
INSTANTIATE_TYPED_TEST_SUITE_P(Registry, NamedStoreContract, RegistryMachine);

// A device node's own hardware (DIREG_DEV) or software (DIREG_DRV) key, as SetupAPI opens it.
HKEY SetupApiKey(const std::wstring& instanceId, DWORD which) {
    HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    SP_DEVINFO_DATA data = {};
    data.cbSize = sizeof(data);
    HKEY key = nullptr;
    if (SetupDiOpenDeviceInfoW(set, instanceId.c_str(), nullptr, 0, &data)) {
        key = SetupDiOpenDevRegKey(set, &data, DICS_FLAG_GLOBAL, 0, which, KEY_ALL_ACCESS);
    }
    SetupDiDestroyDeviceInfoList(set);
    return key != INVALID_HANDLE_VALUE ? key : nullptr;
}

class RegistryStores : public ::testing::Test {
protected:
    void SetUp() override { m_Machine.Create(); }
    void TearDown() override { m_Machine.Destroy(); }

    std::wstring Device() { return m_Machine.Device(0); }

    std::unique_ptr<sim::PropertyKey> Key(const std::wstring& key,
                                          sim::PropertyBackend* backend = nullptr) {
        auto owner = sim::RegistryPropertyBackend();
        std::unique_ptr<sim::PropertyKey> opened;
        bool created = false;
        EXPECT_HR(S_OK, (backend != nullptr ? backend : owner.get())
                            ->OpenKey(Device(), key, KeyOpen::CreateIfMissing, &opened, &created));
        return opened;
    }

    RegistryMachine m_Machine;
};

TEST_F(RegistryStores, EachKeyIsARegistryKeyOfTheDevice) {
    constexpr DWORD kInstance = 0;  // the device's instance key below Enum
    const struct {
        const wchar_t* key;
        DWORD base;
        const wchar_t* below;
    } cases[] = {
        {L"HardwareKey", DIREG_DEV, L""},
        {L"DeviceParameters", DIREG_DEV, L""},
        {L"HardwareKey\\Service", DIREG_DEV, L"Service"},
        {L"HardwareKey\\Service\\Deeper", DIREG_DEV, L"Service\\Deeper"},
        {L"SoftwareKey", DIREG_DRV, L""},
        {L"SoftwareKey\\Sub", DIREG_DRV, L"Sub"},
        {L"DeviceInterfaceKey\\{CAFE0001-0000-0000-0000-000000000001}\\ref", kInstance,
         L"DeviceInterfaceKey\\{CAFE0001-0000-0000-0000-000000000001}\\ref"},
        {L"LegacyHardwareKey\\Map", kInstance, L"LegacyHardwareKey\\Map"},
    };
    ULONG written = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << static_cast<int>(written));
        auto key = Key(c.key);
        ASSERT_NE(key, nullptr);
        ASSERT_HR(S_OK, key->Write(L"Case", Number(++written), 0));

        HKEY base = nullptr;
        if (c.base == kInstance) {
            ASSERT_EQ(
                RegOpenKeyExW(HKEY_LOCAL_MACHINE, EnumPath(Device()).c_str(), 0, KEY_READ, &base),
                ERROR_SUCCESS);
        } else {
            base = SetupApiKey(Device(), c.base);
            ASSERT_NE(base, nullptr);
        }
        DWORD type = REG_NONE;
        DWORD value = 0;
        DWORD size = sizeof(value);
        EXPECT_EQ(RegGetValueW(base, c.below, L"Case", RRF_RT_ANY, &type, &value, &size),
                  ERROR_SUCCESS);
        EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
        EXPECT_EQ(value, written);
        RegCloseKey(base);
    }

    std::unique_ptr<sim::PropertyKey> refused;
    bool created = false;
    for (const wchar_t* name : {L"", L"Nowhere", L"DeviceInterfaceKey", L"LegacyHardwareKey"}) {
        EXPECT_HR(E_INVALIDARG, sim::RegistryPropertyBackend()->OpenKey(
                                    Device(), name, KeyOpen::CreateIfMissing, &refused, &created))
            << testing::PrintToString(std::wstring(name));
    }
}

// The values as the driver writes them through the framework's named store land in the
// hardware key with the registry types the framework documents.
TEST_F(RegistryStores, TheDriversValuesTakeTheFrameworksRegistryTypes) {
    sim::BackendPropertyStores stores(sim::RegistryPropertyBackend());
    WDF_PROPERTY_STORE_ROOT root = HardwareRoot();
    IWDFNamedPropertyStore2* store = nullptr;
    ASSERT_HR(S_OK, stores.RetrieveNamedStore(Device(), &root, WdfPropertyStoreCreateIfMissing,
                                              KEY_READ | KEY_SET_VALUE, nullptr, &store, nullptr));
    char narrow[] = "0.0";
    WCHAR wide[] = L"1.0.0";
    PROPVARIANT state = {}, counter = {}, created = {}, previous = {};
    state.vt = VT_UINT, state.uintVal = 2;
    counter.vt = VT_UINT, counter.uintVal = 0;
    created.vt = VT_LPSTR, created.pszVal = narrow;
    previous.vt = VT_LPWSTR, previous.pwszVal = wide;
    ASSERT_HR(S_OK, store->SetNamedValue(L"FWUpdateProgressState", &state));
    ASSERT_HR(S_OK, store->SetNamedValue(L"FWURetryCounter", &counter));
    ASSERT_HR(S_OK, store->SetNamedValue(L"DefaultText", &created));
    ASSERT_HR(S_OK, store->SetNamedValue(L"PrevFwVersion", &previous));
    store->Release();

    HKEY hardware = SetupApiKey(Device(), DIREG_DEV);
    ASSERT_NE(hardware, nullptr);
    const struct {
        const wchar_t* name;
        DWORD type;
        std::vector<BYTE> data;
    } stored[] = {
        {L"FWUpdateProgressState", REG_DWORD, {2, 0, 0, 0}},
        {L"FWURetryCounter", REG_DWORD, {0, 0, 0, 0}},
        {L"DefaultText", REG_SZ, {'0', 0, '.', 0, '0', 0, 0, 0}},
        {L"PrevFwVersion", REG_SZ, {'1', 0, '.', 0, '0', 0, '.', 0, '0', 0, 0, 0}},
    };
    for (const auto& v : stored) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(v.name)));
        DWORD type = REG_NONE;
        std::vector<BYTE> data(64, 0xCC);
        DWORD size = static_cast<DWORD>(data.size());
        ASSERT_EQ(RegQueryValueExW(hardware, v.name, nullptr, &type, data.data(), &size),
                  ERROR_SUCCESS);
        data.resize(size);
        EXPECT_EQ(type, v.type);
        EXPECT_EQ(data, v.data);
    }
    RegCloseKey(hardware);
}

TEST_F(RegistryStores, RegistryTypesNoWriteLeavesReadAsDamage) {
    auto key = Key(L"HardwareKey");
    ASSERT_NE(key, nullptr);
    HKEY hardware = SetupApiKey(Device(), DIREG_DEV);
    ASSERT_NE(hardware, nullptr);
    const auto bytes = [](const void* data, size_t size) {
        const auto* p = static_cast<const BYTE*>(data);
        return std::vector<BYTE>(p, p + size);
    };
    const ULONGLONG quad = 7;
    const struct {
        const wchar_t* name;
        DWORD type;
        std::vector<BYTE> data;
    } foreign[] = {
        {L"Expand", REG_EXPAND_SZ, bytes(L"%TEMP%", 14)},
        {L"Multi", REG_MULTI_SZ, bytes(L"a\0b\0", 10)},
        {L"Quad", REG_QWORD, bytes(&quad, sizeof(quad))},
        {L"ShortNumber", REG_DWORD, bytes(&quad, 2)},
        {L"None", REG_NONE, {}},
    };
    for (const auto& f : foreign) {
        ASSERT_EQ(RegSetValueExW(hardware, f.name, 0, f.type, f.data.data(),
                                 static_cast<DWORD>(f.data.size())),
                  ERROR_SUCCESS);
    }
    // Text that another writer left without its terminator is still text.
    ASSERT_EQ(RegSetValueExW(hardware, L"Bare", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"abcd"),
                             3 * sizeof(WCHAR)),
              ERROR_SUCCESS);
    RegCloseKey(hardware);

    sim::StoredValue value;
    for (const auto& f : foreign) {
        EXPECT_HR(HRESULT_FROM_WIN32(ERROR_BADDB), key->Read(f.name, &value))
            << testing::PrintToString(std::wstring(f.name));
    }
    ASSERT_HR(S_OK, key->Read(L"Bare", &value));
    EXPECT_EQ(value.Kind, sim::StoredValue::Shape::Text);
    EXPECT_EQ(value.WrittenAs, VT_LPWSTR);
    EXPECT_EQ(value.Text, L"abc");
}

TEST_F(RegistryStores, HardwareKeysUnifiedPropertiesAreTheDevicesOwn) {
    std::unique_ptr<sim::DevicePropertyKey> props;
    ASSERT_HR(S_OK, sim::RegistryPropertyBackend()->OpenDeviceProperties(Device(), L"HardwareKey",
                                                                         &props));
    const DEVPROPKEY key = {{0xCAFE0002, 0, 0, {0, 0, 0, 0, 0, 0, 0, 2}}, 5};
    const wchar_t text[] = L"brelk";
    ASSERT_HR(S_OK, props->Set(key, LOCALE_NEUTRAL, DEVPROP_TYPE_STRING, text, sizeof(text)));

    HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    SP_DEVINFO_DATA data = {};
    data.cbSize = sizeof(data);
    ASSERT_TRUE(SetupDiOpenDeviceInfoW(set, Device().c_str(), nullptr, 0, &data));
    DEVPROPTYPE type = DEVPROP_TYPE_EMPTY;
    WCHAR buffer[16] = {};
    DWORD required = 0;
    EXPECT_TRUE(SetupDiGetDevicePropertyW(set, &data, &key, &type, reinterpret_cast<BYTE*>(buffer),
                                          sizeof(buffer), &required, 0));
    EXPECT_EQ(type, static_cast<DEVPROPTYPE>(DEVPROP_TYPE_STRING));
    EXPECT_EQ(required, static_cast<DWORD>(sizeof(text)));
    EXPECT_EQ(std::wstring(buffer), text);
    SetupDiDestroyDeviceInfoList(set);

    // An interface key keeps its own, by locale.
    std::unique_ptr<sim::DevicePropertyKey> iface;
    ASSERT_HR(S_OK,
              sim::RegistryPropertyBackend()->OpenDeviceProperties(
                  Device(), L"DeviceInterfaceKey\\{CAFE0001-0000-0000-0000-000000000001}", &iface));
    std::vector<BYTE> got;
    EXPECT_HR(HRESULT_FROM_WIN32(ERROR_NOT_FOUND), iface->Get(key, LOCALE_NEUTRAL, &type, &got));
    const DWORD german = 7;
    ASSERT_HR(S_OK, iface->Set(key, 0x407, DEVPROP_TYPE_UINT32, &german, sizeof(german)));
    EXPECT_HR(HRESULT_FROM_WIN32(ERROR_NOT_FOUND), iface->Get(key, LOCALE_NEUTRAL, &type, &got));
    ASSERT_HR(S_OK, iface->Get(key, 0x407, &type, &got));
    EXPECT_EQ(type, static_cast<DEVPROPTYPE>(DEVPROP_TYPE_UINT32));
    EXPECT_EQ(got, (std::vector<BYTE>{7, 0, 0, 0}));
    EXPECT_HR(E_INVALIDARG, sim::RegistryPropertyBackend()->OpenDeviceProperties(
                                Device(), L"SoftwareKey", &iface));
}

TEST(SystemNodes, AreWhatSetupApiFinds) {
    const std::wstring id = NewInstanceId();
    auto nodes = sim::SystemDeviceNodes();
    ASSERT_HR(S_OK, nodes->RemoveNode(id));
    ASSERT_HR(S_OK,
              nodes->CreateNode(id, kNetClass,
                                {L"USB\\VID_1234&PID_5678&REV_0001", L"USB\\VID_1234&PID_5678"}));

    // As the driver asks: by instance id in any case, the property's size first.
    HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    SP_DEVINFO_DATA data = {};
    data.cbSize = sizeof(data);
    ASSERT_TRUE(SetupDiOpenDeviceInfoW(set, Lower(id).c_str(), nullptr, 0, &data));
    EXPECT_TRUE(IsEqualGUID(data.ClassGuid, kNetClass));
    const std::wstring ids(L"USB\\VID_1234&PID_5678&REV_0001\0USB\\VID_1234&PID_5678\0\0", 54);
    DWORD size = 0xdeadbeef;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_HARDWAREID, nullptr, nullptr,
                                                   0, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(size, ids.size() * sizeof(WCHAR));
    std::vector<BYTE> buffer(size);
    ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_HARDWAREID, nullptr,
                                                  buffer.data(), size, nullptr));
    EXPECT_EQ(std::wstring(reinterpret_cast<const WCHAR*>(buffer.data()), size / sizeof(WCHAR)),
              ids);
    SetupDiDestroyDeviceInfoList(set);

    GUID found = {};
    EXPECT_HR(S_OK, nodes->FindNode(Lower(id), &found));
    EXPECT_TRUE(IsEqualGUID(found, kNetClass));
    DWORD type = 0;
    std::vector<BYTE> raw;
    EXPECT_HR(S_OK, nodes->NodeRegistryProperty(id, SPDRP_HARDWAREID, &type, &raw));
    EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
    EXPECT_EQ(raw, buffer);
    EXPECT_HR(HRESULT_FROM_WIN32(ERROR_INVALID_DATA),
              nodes->NodeRegistryProperty(id, SPDRP_FRIENDLYNAME, &type, &raw));

    // Created again with its class, the node keeps its keys; with another class it is a
    // new node.
    auto backend = sim::RegistryPropertyBackend();
    std::unique_ptr<sim::PropertyKey> key;
    bool created = false;
    ASSERT_HR(S_OK, backend->OpenKey(id, L"HardwareKey", KeyOpen::CreateIfMissing, &key, &created));
    ASSERT_HR(S_OK, key->Write(L"Kept", Number(1), 0));
    key.reset();
    ASSERT_HR(S_OK, nodes->CreateNode(id, kNetClass, {L"USB\\VID_1234&PID_9999"}));
    EXPECT_HR(S_OK, nodes->NodeRegistryProperty(id, SPDRP_HARDWAREID, &type, &raw));
    EXPECT_EQ(raw.size(), sizeof(L"USB\\VID_1234&PID_9999") + sizeof(WCHAR));
    ASSERT_HR(S_OK, backend->OpenKey(id, L"HardwareKey", KeyOpen::Existing, &key, &created));
    sim::StoredValue value;
    EXPECT_HR(S_OK, key->Read(L"Kept", &value));
    key.reset();
    ASSERT_HR(S_OK, nodes->CreateNode(id, kPortsClass, {L"USB\\VID_1234&PID_9999"}));
    EXPECT_HR(S_OK, nodes->FindNode(id, &found));
    EXPECT_TRUE(IsEqualGUID(found, kPortsClass));
    EXPECT_HR(kNotFound, backend->OpenKey(id, L"HardwareKey", KeyOpen::Existing, &key, &created));

    // Removed with its keys, the software key's subkeys too; removing it again is no error.
    ASSERT_HR(S_OK,
              backend->OpenKey(id, L"SoftwareKey\\Sub", KeyOpen::CreateIfMissing, &key, &created));
    ASSERT_HR(S_OK, key->Write(L"Gone", Number(1), 0));
    key.reset();
    ASSERT_HR(S_OK, nodes->NodeRegistryProperty(id, SPDRP_DRIVER, &type, &raw));
    const std::wstring software = L"SYSTEM\\CurrentControlSet\\Control\\Class\\" +
                                  std::wstring(reinterpret_cast<const WCHAR*>(raw.data()));
    ASSERT_HR(S_OK, nodes->RemoveNode(id));
    EXPECT_HR(kNoSuchNode, nodes->FindNode(id, &found));
    EXPECT_HR(S_OK, nodes->RemoveNode(id));
    set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(SetupDiOpenDeviceInfoW(set, id.c_str(), nullptr, 0, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_DEVINST));
    SetupDiDestroyDeviceInfoList(set);
    for (const std::wstring& path : {EnumPath(id), software}) {
        HKEY gone = nullptr;
        EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &gone),
                  ERROR_FILE_NOT_FOUND)
            << testing::PrintToString(path);
        if (gone != nullptr) {
            RegCloseKey(gone);
        }
    }
}

TEST(SystemNodes, MissingNodeIsNoSuchDevinstEverywhere) {
    // SetupAPI's own code carries the customer bit, which HRESULT_FROM_WIN32 keeps.
    EXPECT_EQ(kNoSuchNode, static_cast<HRESULT>(0xE000020Bu));
    const std::wstring id = L"USB\\VID_1234&PID_5678\\NEVER";
    auto nodes = sim::SystemDeviceNodes();
    auto backend = sim::RegistryPropertyBackend();
    GUID guid = {};
    DWORD type = 0;
    std::vector<BYTE> raw;
    EXPECT_HR(kNoSuchNode, nodes->FindNode(id, &guid));
    EXPECT_HR(kNoSuchNode, nodes->NodeRegistryProperty(id, SPDRP_HARDWAREID, &type, &raw));
    EXPECT_HR(S_OK, nodes->RemoveNode(id));
    for (KeyOpen how : {KeyOpen::Existing, KeyOpen::CreateIfMissing, KeyOpen::DeviceOwned}) {
        std::unique_ptr<sim::PropertyKey> key;
        bool created = false;
        EXPECT_HR(kNoSuchNode, backend->OpenKey(id, L"HardwareKey", how, &key, &created));
        EXPECT_EQ(key, nullptr);
    }
    std::unique_ptr<sim::DevicePropertyKey> props;
    EXPECT_HR(kNoSuchNode, backend->OpenDeviceProperties(id, L"HardwareKey", &props));
    HKEY none = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, EnumPath(id).c_str(), 0, KEY_READ, &none),
              ERROR_FILE_NOT_FOUND);
}

// Written by a child process that then dies as at a power loss, and by the steps around a
// restart of the prefix's wineserver.
constexpr wchar_t kChildDevice[] = L"BRELK_SEAM_CHILD_DEVICE";
constexpr UINT kChildDied = 42;
const std::wstring kRestartDevice = L"USB\\VID_1234&PID_5678\\SERVER_RESTART";

TEST(RegistryChild, DISABLED_WritesAndIsKilled) {
    wchar_t id[256] = {};
    const DWORD n = GetEnvironmentVariableW(kChildDevice, id, 256);
    ASSERT_TRUE(n > 0 && n < 256);
    auto backend = sim::RegistryPropertyBackend();
    std::unique_ptr<sim::PropertyKey> key;
    bool created = false;
    ASSERT_HR(S_OK, backend->OpenKey(id, L"HardwareKey", KeyOpen::CreateIfMissing, &key, &created));
    ASSERT_HR(S_OK, key->Write(L"Durable", Number(1), 0));
    ASSERT_HR(S_OK, key->Write(L"Lazy", Number(2), 3));
    ASSERT_HR(S_OK, backend->Flush());
    TerminateProcess(GetCurrentProcess(), kChildDied);  // no exit handlers, nothing flushed
}

TEST_F(RegistryStores, WhatOneProcessWroteAnotherReads) {
    wchar_t self[MAX_PATH] = {};
    ASSERT_NE(GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
    std::wstring command = std::wstring(L"\"") + self +
                           L"\" --gtest_also_run_disabled_tests "
                           L"--gtest_filter=RegistryChild.DISABLED_WritesAndIsKilled";
    ASSERT_TRUE(SetEnvironmentVariableW(kChildDevice, Device().c_str()));
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION child = {};
    const BOOL started = CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0,
                                        nullptr, nullptr, &startup, &child);
    SetEnvironmentVariableW(kChildDevice, nullptr);
    ASSERT_TRUE(started);
    EXPECT_EQ(WaitForSingleObject(child.hProcess, 120000), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeProcess(child.hProcess, &code));
    EXPECT_EQ(code, kChildDied);
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);

    auto key = Key(L"HardwareKey", sim::RegistryPropertyBackend().get());
    sim::StoredValue value;
    ASSERT_HR(S_OK, key->Read(L"Durable", &value));
    EXPECT_EQ(value.Number, 1u);
    ASSERT_HR(S_OK, key->Read(L"Lazy", &value));
    EXPECT_EQ(value.Number, 2u);
}

TEST(RegistryRestart, DISABLED_Write) {
    auto nodes = sim::SystemDeviceNodes();
    ASSERT_HR(S_OK, nodes->RemoveNode(kRestartDevice));
    ASSERT_HR(S_OK, nodes->CreateNode(kRestartDevice, kNetClass, {L"USB\\VID_1234&PID_5678"}));
    std::unique_ptr<sim::PropertyKey> key;
    bool created = false;
    ASSERT_HR(S_OK, sim::RegistryPropertyBackend()->OpenKey(
                        kRestartDevice, L"HardwareKey", KeyOpen::CreateIfMissing, &key, &created));
    ASSERT_HR(S_OK, key->Write(L"BeforeRestart", Number(7), 0));
}

TEST(RegistryRestart, DISABLED_ReadBack) {
    auto nodes = sim::SystemDeviceNodes();
    GUID found = {};
    ASSERT_HR(S_OK, nodes->FindNode(kRestartDevice, &found));
    std::unique_ptr<sim::PropertyKey> key;
    bool created = false;
    ASSERT_HR(S_OK, sim::RegistryPropertyBackend()->OpenKey(kRestartDevice, L"HardwareKey",
                                                            KeyOpen::Existing, &key, &created));
    sim::StoredValue value;
    ASSERT_HR(S_OK, key->Read(L"BeforeRestart", &value));
    EXPECT_EQ(value.Number, 7u);
    key.reset();
    EXPECT_HR(S_OK, nodes->RemoveNode(kRestartDevice));
}

}  // namespace
}  // namespace brelk::test
