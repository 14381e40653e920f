// The upgrade decision and retry policy, driven through OnPrepareHardware of a configured
// device object against the simulated modem, the Flashkit stand-in and Parlex, all found
// by name. The device records every state and counter write in order.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "DeviceFixture.h"
#include "Flashkit.h"
#include "Internal.h"
#include "MBDeviceService.h"

namespace brelk::test {
namespace {

using Writes = std::vector<int>;

class Decision : public DeviceFixture {};

// The retry limit a policy answers, for limits no Parlex build of ours has.
INT32 g_FixedLimit = 0;
INT32 WINAPI FixedLimit() {
    return g_FixedLimit;
}

TEST_F(Decision, StateTableAcrossStarts) {
    struct Case {
        const char* name;
        UCHAR state, counter;
        const char* parlexFolder;  // below bin/, "" for the default Parlex
        bool newer;                // the image's version differs from the modem's
        HRESULT hr;
        bool started;
        Writes states, counters;                    // in order, the download's own included
        bool unloaded;                              // both libraries gone after the start
        std::optional<INT32> limit = std::nullopt;  // the policy's answer, if not Parlex's
    };
    const Case cases[] = {
        {"first start, versions differ", 0, 0, "", true, S_OK, true, {1, 2, 3}, {0}, false},
        {"first start, firmware current", 0, 0, "", false, S_OK, false, {1, 3}, {}, true},
        {"completed before, current; counter kept", 3, 2, "", false, S_OK, false, {1, 3}, {}, true},
        {"pending found: a failed attempt, retried",
         1,
         0,
         "",
         false,
         S_OK,
         false,
         {4, 1, 3},
         {1},
         true},
        {"downloading found: a failed attempt, retried",
         2,
         1,
         "",
         true,
         S_OK,
         true,
         {4, 1, 2, 3},
         {2, 0},
         false},
        {"failed at the limit: exhausted", 4, 3, "", true, S_OK, false, {4, 6}, {}, false},
        {"exhausted stays exhausted", 6, 7, "", false, S_OK, false, {4, 6}, {}, false},
        {"exhausted, limit raised to 5",
         6,
         3,
         "parlex-variants/limit5",
         true,
         S_OK,
         true,
         {4, 1, 2, 3},
         {4, 0},
         false},
        {"unknown stored value counts as failed",
         44,
         0,
         "",
         false,
         S_OK,
         false,
         {4, 1, 3},
         {1},
         true},
        // A limit of 0 or below grants no retry: every state but 0 and 3 is exhausted.
        {"limit 0, fresh start: downloads", 0, 0, "", true, S_OK, true, {1, 2, 3}, {0}, false, 0},
        {"limit 0, completed before: downloads",
         3,
         0,
         "",
         true,
         S_OK,
         true,
         {1, 2, 3},
         {0},
         false,
         0},
        {"limit 0, failed: exhausted", 4, 0, "", true, S_OK, false, {4, 6}, {}, false, 0},
        {"limit 0, pending: exhausted", 1, 0, "", true, S_OK, false, {4, 6}, {}, false, 0},
        {"limit -1, downloading: exhausted", 2, 0, "", true, S_OK, false, {4, 6}, {}, false, -1},
        {"limit -1, exhausted stays", 6, 0, "", true, S_OK, false, {4, 6}, {}, false, -1},
        // The counter is a byte: at 255 under a limit above it, the retry is granted and
        // the counter wraps to 0.
        {"limit 300, counter 255: granted, wraps",
         4,
         255,
         "",
         true,
         S_OK,
         true,
         {4, 1, 2, 3},
         {0, 0},
         false,
         300},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UseModuleFolder(BinFolder() + "/" + c.parlexFolder);
        const std::string version = c.newer ? m_Machine.Modem().FirmwareVersion() + ".1"
                                            : m_Machine.Modem().FirmwareVersion();
        WriteImage("BRELK SYS 1:" + version + " build 7", SmallItems());
        DevicePeer* device = ConfiguredDevice();
        ASSERT_NE(device, nullptr);
        if (c.limit) {
            g_FixedLimit = *c.limit;
            g_pfnGetMaxRetryCountFromOEM = FixedLimit;
        }
        StoreState(c.state, c.counter);
        const size_t commandsBefore = SetCommands(sim::kUpgradeServiceId).size();

        EXPECT_HR(c.hr, device->OnPrepareHardware(device->FxDevice()));
        EXPECT_EQ(device->DownloadThreadHandle() != nullptr, c.started);
        if (c.started) {
            EXPECT_TRUE(device->WaitCompleted(60000));
        }
        EXPECT_HR(S_OK, device->OnReleaseHardware(device->FxDevice()));
        EXPECT_EQ(device->StateWrites(), c.states);
        EXPECT_EQ(device->CounterWrites(), c.counters);
        EXPECT_EQ(StoredState(), c.states.back());
        EXPECT_EQ(g_hPolicyDll == nullptr && g_hFlashkit == nullptr, c.unloaded);
        EXPECT_EQ(SetCommands(sim::kUpgradeServiceId).size() - commandsBefore, c.started ? 2u : 0u);
        if (!c.unloaded) {
            EXPECT_EQ(g_MaxRetryCount, c.limit ? *c.limit : c.parlexFolder[0] != '\0' ? 5 : 3);
        }
        // Destroy the object: its clean-up unloads both libraries for the next case.
        m_Machine.RemoveDevice(device);
        UseModuleFolder(BinFolder());
    }
}

TEST_F(Decision, RecordsBothVersionsForThePolicy) {
    WriteImage("BRELK SYS 1:2.0.0 build 7", SmallItems());
    DevicePeer* device = ConfiguredDevice();
    ASSERT_HR(S_OK, device->OnPrepareHardware(device->FxDevice()));
    EXPECT_STREQ(g_FwVersionInfo.CurrentVersion, "1.0.0");
    EXPECT_STREQ(g_FwVersionInfo.ImageVersion, "2.0.0");
    EXPECT_EQ(g_FwVersionInfo.TotalImageSize, 1500 + 300 + 700);
    // Both queries ran before the verdict.
    std::vector<ULONG> queries;
    for (const auto& c : m_Machine.Modem().Commands()) {
        if (!c.IsSet && c.ServiceId == sim::kUpgradeServiceId) {
            queries.push_back(c.CommandId);
        }
    }
    EXPECT_EQ(queries, (std::vector<ULONG>{1, 3}));
    EXPECT_TRUE(device->WaitCompleted(60000));
}

TEST_F(Decision, FailuresBeforeTheVerdictWriteNothingAndStartNothing) {
    struct Case {
        const char* name;
        const char* imageText;  // nullptr: no image at all
        bool dropCounter;
        HRESULT hr;
    };
    const Case cases[] = {
        {"no version marker", "BRELK SYS FW_2.0.0", false, E_FAIL},
        {"marker without a version", "BRELK SYS 1:", false, E_FAIL},
        {"no image: the library refuses the empty path", nullptr, false, E_FAIL},
        {"retry counter missing", "1:2.0.0", true, HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.imageText != nullptr) {
            WriteImage(c.imageText, SmallItems());
        }
        DevicePeer* device = ConfiguredDevice();
        ASSERT_NE(device, nullptr);
        if (c.dropCounter) {
            IWDFNamedPropertyStore2* store = nullptr;
            ASSERT_HR(S_OK, device->OpenPropertyStore(device->FxDevice(), &store));
            ASSERT_HR(S_OK, store->DeleteNamedValue(L"FWURetryCounter"));
            store->Release();
        }
        EXPECT_HR(c.hr, device->OnPrepareHardware(device->FxDevice()));
        EXPECT_EQ(device->StateWrites(), Writes{});
        EXPECT_EQ(device->DownloadThreadHandle(), nullptr);
        EXPECT_FALSE(DataSessionOpened());
        EXPECT_NE(g_hFlashkit, nullptr) << "a failed decision leaves the libraries loaded";
        m_Machine.RemoveDevice(device);
        std::filesystem::remove_all(m_Machine.FirmwareFolder());
        std::filesystem::create_directories(m_Machine.FirmwareFolder());
    }
}

TEST_F(Decision, NoUpgradeServiceFailsAtOnce) {
    DevicePeer* device = NewDevice();  // not configured
    EXPECT_HR(E_FAIL, device->OnPrepareHardware(device->FxDevice()));
    EXPECT_EQ(device->StateWrites(), Writes{});
}

// The image version: the first word after the first "1:".
TEST_F(Decision, ImageVersionIsTheWordAfterTheMarker) {
    const std::string longWord(120, 'v');
    struct Case {
        const char* name;
        std::string text;
        HRESULT hr;
        std::string version;
    };
    const Case cases[] = {
        {"marker inside a text", "BRELK SYS 1:FW_2.4.1 build 88", S_OK, "FW_2.4.1"},
        {"marker at the start", "1:abc", S_OK, "abc"},
        {"any delimiters after the marker", "x 1: :\t\nv9\nrest", S_OK, "v9"},
        {"first occurrence counts", "11:v3 1:v4", S_OK, "v3"},
        {"delimiter ends the word", "1:v5:tail", S_OK, "v5"},
        {"no marker", "BRELK 2.0.0", E_FAIL, "unchanged"},
        {"nothing after the marker", "SYS 1: \t", E_FAIL, "unchanged"},
        {"too long for the field: cut", "1:" + longWord, S_OK, longWord.substr(0, 94)},
    };
    UseModuleFolder(BinFolder());
    ASSERT_TRUE(LoadFlashkit("Flashkit.dll"));
    CMBDeviceService service(UPGRADE_SERVICE_ID);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteImage(c.text, SmallItems());
        g_FirmwareImagePath = "C:\\Windows\\Firmware\\Velto\\Lumbra_QB4410_NAND_TEST.fls";
        std::strcpy(service.GetImageFirmwareVersion(), "unchanged");
        EXPECT_HR(c.hr, ReadImageFirmwareVersion(&service));
        EXPECT_EQ(std::string(service.GetImageFirmwareVersion()), c.version);
    }
    g_FirmwareImagePath.clear();
    UnloadFlashkit();
}

class ForcedDevice : public DeviceFixture {
    std::wstring HardwareId() override { return kForcedHardwareId; }
};

TEST_F(ForcedDevice, KeyForcesTheUpgradeOfCurrentFirmware) {
    WriteImage("BRELK SYS 1:1.0.0", SmallItems());
    DevicePeer* device = ConfiguredDevice();
    ASSERT_HR(S_OK, device->OnPrepareHardware(device->FxDevice()));
    EXPECT_NE(device->DownloadThreadHandle(), nullptr);
    ASSERT_TRUE(device->WaitCompleted(60000));
    EXPECT_EQ(device->StateWrites(), (Writes{1, 2, 3}));
}

// Versions longer than the modem's field are cut to the same length, so an image that
// carries the modem's own long version is found current rather than flashed again at
// every start.
class LongVersions : public DeviceFixture {
protected:
    static std::string LongVersion() { return "V" + std::string(119, '7'); }
    std::string ModemFirmware() override { return LongVersion(); }
};

TEST_F(LongVersions, EqualLongVersionsAreCurrent) {
    WriteImage("SYS 1:" + LongVersion(), SmallItems());
    DevicePeer* device = ConfiguredDevice();
    ASSERT_HR(S_OK, device->OnPrepareHardware(device->FxDevice()));
    EXPECT_EQ(device->StateWrites(), (Writes{1, 3}));
    EXPECT_EQ(std::string(g_FwVersionInfo.CurrentVersion), LongVersion().substr(0, 94));
    EXPECT_EQ(std::string(g_FwVersionInfo.ImageVersion), LongVersion().substr(0, 94));
}

// A modem that reports an empty firmware text runs something other than the image.
class EmptyModemVersion : public DeviceFixture {
    std::string ModemFirmware() override { return ""; }
};

TEST_F(EmptyModemVersion, DiffersFromTheImagesVersion) {
    WriteImage("SYS 1:2.0.0", SmallItems());
    DevicePeer* device = ConfiguredDevice();
    ASSERT_HR(S_OK, device->OnPrepareHardware(device->FxDevice()));
    EXPECT_STREQ(g_FwVersionInfo.CurrentVersion, "");
    EXPECT_STREQ(g_FwVersionInfo.ImageVersion, "2.0.0");
    ASSERT_NE(device->DownloadThreadHandle(), nullptr);
    ASSERT_TRUE(device->WaitCompleted(60000));
    EXPECT_EQ(device->StateWrites(), (Writes{1, 2, 3}));
}

}  // namespace
}  // namespace brelk::test
