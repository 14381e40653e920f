// The host system seam as our layer implements it, and the machine file as a property
// backend.
#include <windows.h>
#include <oleauto.h>
#include <setupapi.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "HResultPrinter.h"
#include "MachineStore.h"
#include "NamedStoreContract.h"
#include "PropertyBackendContract.h"

namespace brelk::test {
namespace {

class MachineFileMachine {
public:
    void Create() {
        char pattern[] = "/tmp/brelk-seam-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_Folder = pattern;
        m_Store = Reopen();
        ASSERT_NE(m_Store, nullptr);
    }
    // The machine file keeps values of any instance id, node or not.
    static std::wstring Device(unsigned n) {
        return n == 0 ? L"USB\\VID_1234&PID_5678\\0001" : L"USB\\VID_1234&PID_5678\\0002";
    }
    std::shared_ptr<sim::PropertyBackend> Backend() { return m_Store; }
    std::shared_ptr<sim::MachineStore> Reopen() {
        std::shared_ptr<sim::MachineStore> store;
        EXPECT_HR(S_OK,
                  sim::MachineStore::Open(sim::MachineStore::DbPathForMachine(m_Folder), &store));
        return store;
    }
    void Destroy() {
        m_Store.reset();
        std::filesystem::remove_all(m_Folder);
    }

private:
    std::string m_Folder;
    std::shared_ptr<sim::MachineStore> m_Store;
};

INSTANTIATE_TYPED_TEST_SUITE_P(MachineFile, PropertyBackendContract, MachineFileMachine);
INSTANTIATE_TYPED_TEST_SUITE_P(MachineFile, NamedStoreContract, MachineFileMachine);

class LayerHostSystem : public ::testing::Test {
protected:
    void SetUp() override { m_Machine.Create(); }
    void TearDown() override {
        sim::Host().ServeDeviceNodes(nullptr);
        m_Machine.Destroy();
    }
    MachineFileMachine m_Machine;
};

TEST_F(LayerHostSystem, ServedNodesAreWhatSetupApiFinds) {
    const GUID netClass = {
        0x4D36E972, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
    auto nodes = m_Machine.Reopen();
    ASSERT_HR(S_OK, nodes->CreateNode(L"USB\\VID_1234&PID_5678\\0001", netClass,
                                      {L"USB\\VID_1234&PID_5678"}));
    HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    SP_DEVINFO_DATA data = {};
    data.cbSize = sizeof(data);
    EXPECT_FALSE(SetupDiOpenDeviceInfoW(set, L"usb\\vid_1234&pid_5678\\0001", nullptr, 0, &data));

    sim::Host().ServeDeviceNodes(nodes);
    ASSERT_TRUE(SetupDiOpenDeviceInfoW(set, L"usb\\vid_1234&pid_5678\\0001", nullptr, 0, &data));
    EXPECT_TRUE(IsEqualGUID(data.ClassGuid, netClass));
    DWORD type = 0;
    DWORD size = 0;
    EXPECT_FALSE(
        SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_HARDWAREID, &type, nullptr, 0, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
    std::vector<BYTE> buffer(size);
    ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_HARDWAREID, nullptr,
                                                  buffer.data(), size, nullptr));
    const std::wstring ids(reinterpret_cast<const WCHAR*>(buffer.data()), size / sizeof(WCHAR));
    EXPECT_EQ(ids, std::wstring(L"USB\\VID_1234&PID_5678\0\0", 23));

    ASSERT_HR(S_OK, nodes->RemoveNode(L"USB\\VID_1234&PID_5678\\0001"));
    SP_DEVINFO_DATA gone = {};
    gone.cbSize = sizeof(gone);
    EXPECT_FALSE(SetupDiOpenDeviceInfoW(set, L"USB\\VID_1234&PID_5678\\0001", nullptr, 0, &gone));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_DEVINST));
    SetupDiDestroyDeviceInfoList(set);
}

TEST_F(LayerHostSystem, GroupsReachTheProcessesOwnSystem) {
    auto& host = sim::Host();
    // Clock: waits shrink by the scale, and a refused scale keeps the old one.
    const double before = host.Time().Scale();
    ASSERT_TRUE(host.Time().SetScale(100));
    EXPECT_EQ(host.Time().ScaledWait(1000), std::chrono::milliseconds(10));
    EXPECT_FALSE(host.Time().SetScale(0));
    EXPECT_EQ(host.Time().Scale(), 100);
    host.Time().SetScale(before);

    // Drives: a mapped letter reaches the folder without regard to case.
    const auto folder = std::filesystem::temp_directory_path() / "brelk-seam-drive";
    std::filesystem::create_directories(folder / "Windows");
    ASSERT_TRUE(host.Paths().Map(L'Q', folder.string()));
    EXPECT_EQ(host.Paths().ToHostPath(std::wstring_view(L"q:\\WINDOWS\\x.bin")),
              (folder / "Windows" / "x.bin").string());
    EXPECT_EQ(host.Paths().ToHostPath(std::string_view("Q:/Windows")),
              (folder / "Windows").string());
    host.Paths().UnmapAll();
    EXPECT_EQ(host.Paths().ToHostPath(std::wstring_view(L"Q:\\Windows")), "");
    std::filesystem::remove_all(folder);

    // Debugger output: each call one entry, as passed.
    host.Debugger().Clear();
    OutputDebugStringA("one\n");
    OutputDebugStringW(L"two");
    EXPECT_EQ(host.Debugger().Read(), (std::vector<std::string>{"one\n", "two"}));
    host.Debugger().Clear();
    EXPECT_TRUE(host.Debugger().Read().empty());

    // API faults: the rule fails the calls it names, then lets them through.
    ASSERT_TRUE(host.Faults().Fail("SysAllocString", 1, 1, ERROR_NOT_ENOUGH_MEMORY));
    BSTR first = SysAllocString(L"a");
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(SysAllocString(L"b"), nullptr);
    BSTR third = SysAllocString(L"c");
    EXPECT_NE(third, nullptr);
    host.Faults().Fail("SysAllocString", 0, sim::ApiFaults::kAlways, ERROR_NOT_ENOUGH_MEMORY);
    host.Faults().Clear();
    BSTR after = SysAllocString(L"d");
    EXPECT_NE(after, nullptr);
    SysFreeString(first);
    SysFreeString(third);
    SysFreeString(after);
}

}  // namespace
}  // namespace brelk::test
