// The device object: its creation, its configuration, the start and stop of a download
// and the recorded outcome, against the simulated machine.
#include <winplat/faults.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

#include <string>
#include <vector>

#include "DeviceFixture.h"
#include "Flashkit.h"
#include "FlashkitStandIn.h"
#include "Internal.h"
#include "MBDeviceService.h"

namespace brelk::test {
namespace {

using Writes = std::vector<int>;
namespace fs = std::filesystem;

class Configure : public DeviceFixture {};

TEST_F(Configure, ListsItemsOfClassFourAndAboveWithTheirOwnIndex) {
    WriteImage("1:2.0.0", {{"a", 4, 100, ""},
                           {"b", 2, 200, ""},
                           {"c", 3, 300, ""},
                           {"d", 5, 400, ""},
                           {"e", 13, 500, ""},
                           {"f", 0, 600, ""},
                           {"g", 6, 700, ""}});
    // A second device add in the same process lists the items once, not twice.
    for (int add = 0; add < 2; ++add) {
        SCOPED_TRACE(add);
        DevicePeer* device = ConfiguredDevice();
        ASSERT_NE(device, nullptr);
        EXPECT_EQ(g_TocItemCount, 7u);
        EXPECT_EQ(g_TotalImageSize, 2800);
        ASSERT_TRUE(g_FirmwareImagePath.ends_with("Lumbra_QB4410_NAND_TEST.fls"))
            << g_FirmwareImagePath;
        const std::string& p = g_FirmwareImagePath;
        EXPECT_EQ(std::vector<std::string>(g_DownloadItemList.Entries.begin(),
                                           g_DownloadItemList.Entries.end()),
                  (std::vector<std::string>{"|0|" + p, "|3|" + p, "|4|" + p, "|6|" + p}));
        EXPECT_EQ(std::vector<UINT32>(g_DownloadItemList.MemoryClasses.begin(),
                                      g_DownloadItemList.MemoryClasses.end()),
                  (std::vector<UINT32>{4, 5, 13, 6}));
        EXPECT_TRUE(device->HasFlashService());
        EXPECT_NE(g_pFlashService, nullptr);
    }
    // What a device add leaves on the framework device and the store.
    auto devices = m_Machine.Driver()->Devices();
    ASSERT_FALSE(devices.empty());
    const auto interfaces = devices[0]->DeviceInterfaces();
    ASSERT_EQ(interfaces.size(), 1u);
    EXPECT_TRUE(IsEqualGUID(interfaces[0].InterfaceGuid, GUID_DEVINTERFACE_FWUPDATE));
    EXPECT_EQ(interfaces[0].ReferenceString, L"");
    for (auto* d : devices) {
        d->Release();
    }
    EXPECT_EQ(StoredState(), 0);
    EXPECT_EQ(StoredCounter(), 0);
}

// Without an image, or with an image of no items, the device is added with nothing to
// download: no port callbacks, no flash service; a start that finds an upgrade due fails
// without opening anything.
TEST_F(Configure, NothingToDownloadOpensNoFlashService) {
    struct Case {
        const char* name;
        bool image;
        HRESULT start;
        Writes states;
    };
    const Case cases[] = {
        {"no image", false, E_FAIL, {}},
        {"image without items", true, E_FAIL, {1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.image) {
            WriteImage("1:2.0.0", {});
        }
        DevicePeer* device = ConfiguredDevice();
        ASSERT_NE(device, nullptr);
        EXPECT_TRUE(g_DownloadItemList.Entries.empty());
        EXPECT_FALSE(device->HasFlashService());
        EXPECT_EQ(g_pFlashService, nullptr);
        EXPECT_EQ(g_FirmwareImagePath.empty(), !c.image);

        EXPECT_HR(c.start, device->OnPrepareHardware(device->FxDevice()));
        EXPECT_EQ(device->StateWrites(), c.states);
        EXPECT_FALSE(DataSessionOpened());
        EXPECT_TRUE(SetCommands(sim::kUpgradeServiceId).empty());
        EXPECT_EQ(device->DownloadThreadHandle(), nullptr);
        EXPECT_HR(S_OK, device->OnReleaseHardware(device->FxDevice()));
    }
}

// The library's parameters and callback, in the order the configuration sets them; the
// port callbacks and their two companions only when there is something to download.
TEST_F(Configure, SetsTheLibrarysParametersInOrder) {
    using flashkit::ConfigCall;
    const auto value = [](auto* function) { return reinterpret_cast<uintptr_t>(function); };
    const std::vector<ConfigCall> kCommon = {
        {1, 90000}, {flashkit::kConfigInitCallback, value(&StatusCallback)}, {0, 0}, {35, 1}};
    std::vector<ConfigCall> withPort = kCommon;
    withPort.insert(withPort.end(), {{21, value(&PortWrite)},
                                     {22, value(&PortRead)},
                                     {23, value(&PortRxAvail)},
                                     {24, 1},
                                     {34, 1}});
    struct Case {
        const char* name;
        std::optional<std::vector<fwimage::ItemSpec>> image;
        std::vector<ConfigCall> expected;
    };
    const Case cases[] = {
        {"items to download", SmallItems(), withPort},
        {"no image", std::nullopt, kCommon},
        {"image without items", std::vector<fwimage::ItemSpec>{}, kCommon},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::error_code ec;
        fs::remove(m_Machine.FirmwareFolder() / "Lumbra_QB4410_NAND_TEST.fls", ec);
        if (c.image) {
            WriteImage("1:2.0.0", *c.image);
        }
        DevicePeer* device = ConfiguredDevice();
        ASSERT_NE(device, nullptr);
        ASSERT_NE(g_hFlashkit, nullptr);
        const auto calls = reinterpret_cast<flashkit::ConfigCallsFn>(reinterpret_cast<void (*)()>(
            GetProcAddress(g_hFlashkit, "FlashkitStandIn_ConfigCalls")));
        ASSERT_NE(calls, nullptr);
        // The record runs from the library's load, which may be older than this device:
        // this configuration's calls are its end.
        std::vector<ConfigCall> all(calls(nullptr, 0));
        all.resize(calls(all.data(), all.size()));
        ASSERT_GE(all.size(), c.expected.size());
        const std::vector<ConfigCall> got(all.end() - static_cast<ptrdiff_t>(c.expected.size()),
                                          all.end());
        for (size_t i = 0; i < got.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(got[i].Code, c.expected[i].Code);
            EXPECT_EQ(got[i].Value, c.expected[i].Value);
        }
        m_Machine.RemoveDevice(device);
    }
}

TEST_F(Configure, MissingLibraryFailsDeviceAdd) {
    const fs::path empty = m_Machine.Folder() / "empty";
    fs::create_directories(empty);
    struct Case {
        const char* name;
        std::string folder, path;  // current folder and PATH of the module search
        bool parlexBound;
    };
    const std::string bin = BinFolder();
    const Case cases[] = {
        {"Parlex lacks an export never called", bin + "/parlex-variants/no-IsDriverCheckRequired",
         bin, false},
        {"Flashkit missing", bin + "/parlex-variants/limit5", empty.string(), true},
        {"Flashkit lacks an export", bin + "/flashkit-variants/no-ZKTR_DL_TOC_get_hw_platform", bin,
         true},
    };
    WriteImage("1:2.0.0", SmallItems());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(chdir(c.folder.c_str()), 0);
        ASSERT_TRUE(SetEnvironmentVariableA("PATH", c.path.c_str()));
        DevicePeer* device = NewDevice();
        ASSERT_NE(device, nullptr);
        EXPECT_HR(E_FAIL, device->Configure());
        EXPECT_NE(g_hPolicyDll, nullptr) << "a failed binding leaves the module loaded";
        if (!c.parlexBound) {
            EXPECT_EQ(g_hFlashkit, nullptr) << "Flashkit is not loaded after Parlex failed";
        }
        EXPECT_EQ(device->GetUpgradeService(), nullptr);
        m_Machine.RemoveDevice(device);
        EXPECT_EQ(g_hPolicyDll, nullptr);
        EXPECT_EQ(g_hFlashkit, nullptr);
    }
}

class DeviceObject : public DeviceFixture {};

TEST_F(DeviceObject, CreateInstanceSetsUpTheFrameworkDevice) {
    const LONG locks = DllModuleLockCount();
    sim::CFxDeviceInit* init = nullptr;
    ASSERT_HR(S_OK, sim::CFxDeviceInit::CreateInstance(m_Machine.Store(), kModemInstance, &init));
    CMyDevice* device = reinterpret_cast<CMyDevice*>(0x1);
    ASSERT_HR(S_OK, CMyDevice::CreateInstance(m_Machine.Driver(), init, &device));
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(init->PowerPolicyOwnership(), std::optional<BOOL>(FALSE));
    EXPECT_EQ(init->AutoForward(), std::optional<WDF_TRI_STATE>(WdfTrue));
    EXPECT_EQ(DllModuleLockCount(), locks + 1);

    auto devices = m_Machine.Driver()->Devices();
    ASSERT_EQ(devices.size(), 1u);
    IUnknown* callback = devices[0]->CallbackObject();
    EXPECT_EQ(callback, static_cast<IUnknown*>(static_cast<IPnpCallbackHardware*>(device)));
    callback->Release();
    devices[0]->Release();

    EXPECT_EQ(device->Release(), 1u) << "the framework device keeps the object alive";
    m_Machine.Driver()->DeleteDevices();
    EXPECT_EQ(DllModuleLockCount(), locks);
    EXPECT_HR(E_INVALIDARG, CMyDevice::CreateInstance(nullptr, init, &device));
    EXPECT_EQ(device, nullptr);
    EXPECT_EQ(DllModuleLockCount(), locks);
    init->Release();
}

TEST_F(DeviceObject, SuccessfulUpgradeRecordsTheOutcomeAndSendsTheFinalCommand) {
    WriteImage("BRELK SYS 1:2.0.0 build 7", SmallItems());
    DevicePeer* device = ConfiguredDevice();
    const ULONGLONG start = GetTickCount64();
    ASSERT_HR(S_OK, device->OnPrepareHardware(device->FxDevice()));
    EXPECT_TRUE(DataSessionOpened());
    EXPECT_EQ(device->UpgradeCommandSent(), 1);
    ASSERT_TRUE(device->WaitCompleted(60000));
    EXPECT_GE(GetTickCount64() - start, 10000u) << "the final command waits 10 s";

    EXPECT_EQ(device->StateWrites(), (Writes{1, 2, 3}));
    EXPECT_EQ(device->CounterWrites(), Writes{0});
    EXPECT_EQ(m_Machine.Modem().FirmwareVersion(), "2.0.0");
    const auto final = SetCommands(sim::kFinalServiceId);
    ASSERT_EQ(final.size(), 1u);
    EXPECT_EQ(final[0].CommandId, 1u);
    char previous[100] = {};
    EXPECT_HR(S_OK, device->ReadPrevFwVersion(device->FxDevice(), previous, sizeof(previous)));
    EXPECT_STREQ(previous, "1.0.0");

    EXPECT_HR(S_OK, device->OnReleaseHardware(device->FxDevice()));
    const auto upgrade = SetCommands(sim::kUpgradeServiceId);
    ASSERT_EQ(upgrade.size(), 2u);
    EXPECT_EQ(upgrade[0].CommandId, 4u);
    EXPECT_EQ(upgrade[1].CommandId, 5u);
    EXPECT_EQ(device->UpgradeCommandSent(), 0);
    EXPECT_EQ(device->PortOpenFlag(), 0);
    EXPECT_FALSE(m_Machine.Modem().DataSessionOpen());
    EXPECT_EQ(device->DownloadThreadHandle(), nullptr);
}

TEST_F(DeviceObject, FailedDownloadIsRecordedAndStillEndsWithTheFinalCommand) {
    WriteImage("1:2.0.0", SmallItems());
    AddFaults("flashkit.item:status1");
    DevicePeer* device = ConfiguredDevice();
    ASSERT_HR(S_OK, device->OnPrepareHardware(device->FxDevice()));
    ASSERT_TRUE(device->WaitCompleted(60000));
    EXPECT_HR(S_OK, device->OnReleaseHardware(device->FxDevice()));
    EXPECT_EQ(device->StateWrites(), (Writes{1, 2, 4}));
    EXPECT_EQ(device->CounterWrites(), Writes{});
    EXPECT_EQ(SetCommands(sim::kFinalServiceId).size(), 1u);
    EXPECT_EQ(m_Machine.Modem().FirmwareVersion(), "1.0.0");
    char previous[100] = {};
    EXPECT_HR(S_OK, device->ReadPrevFwVersion(device->FxDevice(), previous, sizeof(previous)));
    EXPECT_STREQ(previous, "0.0");
}

// Stopped while the library hangs: command 5, port and data session closed before the
// release waits, and the release returns only after the outcome was recorded.
TEST_F(DeviceObject, ReleaseDuringTheDownloadStopsItAndWaitsForTheThread) {
    WriteImage("1:2.0.0", SmallItems());
    AddFaults("flashkit.item:hang");
    DevicePeer* device = ConfiguredDevice();
    ASSERT_HR(S_OK, device->OnPrepareHardware(device->FxDevice()));
    for (int i = 0; i < 1000 && device->PortOpenFlag() == 0; ++i) {
        Sleep(10);
    }
    ASSERT_EQ(device->PortOpenFlag(), 1);
    EXPECT_HR(S_OK, device->OnReleaseHardware(device->FxDevice()));
    EXPECT_TRUE(device->WaitCompleted(0)) << "released before the thread had ended";
    EXPECT_EQ(device->PortOpenFlag(), 0);
    EXPECT_FALSE(m_Machine.Modem().DataSessionOpen());
    const auto upgrade = SetCommands(sim::kUpgradeServiceId);
    ASSERT_EQ(upgrade.size(), 2u);
    EXPECT_EQ(upgrade[1].CommandId, 5u);
    EXPECT_EQ(device->StateWrites(), (Writes{1, 2, 4}));
}

// However early the release comes, the port the thread opens does not stay open.
TEST_F(DeviceObject, ReleaseRightAfterTheStartLeavesNoPortOpen) {
    WriteImage("1:2.0.0", SmallItems());
    DevicePeer* device = ConfiguredDevice();
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        StoreState(0, 0);
        ASSERT_HR(S_OK, device->OnPrepareHardware(device->FxDevice()));
        EXPECT_HR(S_OK, device->OnReleaseHardware(device->FxDevice()));
        EXPECT_EQ(device->PortOpenFlag(), 0);
        EXPECT_EQ(device->DownloadThreadHandle(), nullptr);
        EXPECT_TRUE(device->WaitCompleted(0));
        device->ClearWrites();
    }
}

// After the current verdict unloaded both libraries, a restart of the same object binds
// them again, with the port callbacks, and decides afresh.
TEST_F(DeviceObject, RestartAfterTheCurrentVerdictBindsTheLibrariesAgain) {
    WriteImage("1:1.0.0", SmallItems());
    DevicePeer* device = ConfiguredDevice();
    ASSERT_HR(S_OK, device->OnPrepareHardware(device->FxDevice()));
    EXPECT_EQ(g_hFlashkit, nullptr);
    EXPECT_EQ(g_hPolicyDll, nullptr);
    EXPECT_HR(S_OK, device->OnReleaseHardware(device->FxDevice()));
    // Nothing was opened, yet the release still closes the flash service's data session.
    const auto sessions = m_Machine.Modem().Sessions();
    EXPECT_EQ(std::count_if(sessions.begin(), sessions.end(),
                            [](const sim::ModemSession& s) {
                                return s.Data && !s.Open && s.ServiceId == sim::kFlashServiceId;
                            }),
              1);

    WriteImage("1:3.0.0", SmallItems());
    ASSERT_HR(S_OK, device->OnPrepareHardware(device->FxDevice()));
    EXPECT_NE(g_hFlashkit, nullptr);
    ASSERT_TRUE(device->WaitCompleted(60000));
    EXPECT_HR(S_OK, device->OnReleaseHardware(device->FxDevice()));
    EXPECT_EQ(device->StateWrites(), (Writes{1, 3, 1, 2, 3}));
    EXPECT_EQ(m_Machine.Modem().FirmwareVersion(), "3.0.0");
}

TEST_F(DeviceObject, RestartWhoseRebindingFailsCallsNothing) {
    WriteImage("1:1.0.0", SmallItems());
    DevicePeer* device = ConfiguredDevice();
    ASSERT_HR(S_OK, device->OnPrepareHardware(device->FxDevice()));
    EXPECT_HR(S_OK, device->OnReleaseHardware(device->FxDevice()));
    device->ClearWrites();

    ASSERT_EQ(chdir((BinFolder() + "/parlex-variants/no-SendRetryCountToOEM").c_str()), 0);
    EXPECT_HR(E_FAIL, device->OnPrepareHardware(device->FxDevice()));
    EXPECT_EQ(device->StateWrites(), Writes{});
    EXPECT_EQ(g_hPolicyDll, nullptr);
    EXPECT_EQ(g_hFlashkit, nullptr);
}

TEST_F(DeviceObject, ThreadThatCannotBeCreatedIsAFailedAttempt) {
    WriteImage("1:2.0.0", SmallItems());
    DevicePeer* device = ConfiguredDevice();
    WinplatFailApi("CreateThread", 0, 1, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_HR(E_FAIL, device->OnPrepareHardware(device->FxDevice()));
    WinplatClearApiFaults();
    EXPECT_EQ(device->StateWrites(), (Writes{1, 2, 4}));
    EXPECT_EQ(device->DownloadThreadHandle(), nullptr);
    // The release undoes what the start left: command 4 and the data session.
    EXPECT_HR(S_OK, device->OnReleaseHardware(device->FxDevice()));
    EXPECT_EQ(SetCommands(sim::kUpgradeServiceId).size(), 2u);
    EXPECT_FALSE(m_Machine.Modem().DataSessionOpen());

    // The next start finds state 4: a failed attempt, retried with the counter at 1.
    device->ClearWrites();
    ASSERT_HR(S_OK, device->OnPrepareHardware(device->FxDevice()));
    ASSERT_TRUE(device->WaitCompleted(60000));
    EXPECT_HR(S_OK, device->OnReleaseHardware(device->FxDevice()));
    EXPECT_EQ(device->StateWrites(), (Writes{4, 1, 2, 3}));
    EXPECT_EQ(device->CounterWrites(), (Writes{1, 0}));
}

TEST_F(DeviceObject, DeviceFlagPropertyIsAOneByteBoolean) {
    DevicePeer* device = NewDevice();
    EXPECT_HR(S_OK, device->SetDeviceFlagProperty(device->FxDevice(), 1));
    IWDFUnifiedPropertyStore* store = nullptr;
    ASSERT_HR(S_OK, device->OpenUnifiedPropertyStore(device->FxDevice(), &store));
    const DEVPROPKEY key = {
        {0x540B947E, 0x8B40, 0x45BC, {0xA8, 0xA2, 0x6A, 0x0B, 0x89, 0x4C, 0xBD, 0xA2}}, 13};
    BYTE value = 0xEE;
    ULONG size = 0;
    DEVPROPTYPE type = 0;
    EXPECT_HR(S_OK, store->GetPropertyData(&key, 0, 0, sizeof(value), &value, &size, &type));
    EXPECT_EQ(value, 1);
    EXPECT_EQ(size, 1u);
    EXPECT_EQ(type, static_cast<DEVPROPTYPE>(DEVPROP_TYPE_BOOLEAN));
    store->Release();
    EXPECT_HR(E_INVALIDARG, device->OpenUnifiedPropertyStore(nullptr, &store));
    EXPECT_HR(E_INVALIDARG, device->SetDeviceFlagProperty(nullptr, 1));
}

}  // namespace
}  // namespace brelk::test
