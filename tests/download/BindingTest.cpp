// Binding of Flashkit.dll and Parlex.dll by name (Parlex's own exports: tests/policy).

#include <windows.h>
#include <winplat/debugout.h>

#include <gtest/gtest.h>

#include <cstring>
#include <iterator>
#include <memory>
#include <set>
#include <string>

#include "DownloadSupport.h"
#include "Flashkit.h"
#include "Internal.h"

namespace brelk::test {
namespace {

void* Slot(size_t index) {
    void* value = nullptr;
    std::memcpy(&value,
                reinterpret_cast<const unsigned char*>(g_pFlashkitApi) + index * sizeof(void*),
                sizeof(value));
    return value;
}

class FlashkitBinding : public ::testing::Test {
protected:
    void SetUp() override { UseModuleFolder(BinFolder()); }
    void TearDown() override { UnloadFlashkit(); }
};

TEST_F(FlashkitBinding, BindOrderCoversEveryNamedSlotOnce) {
    std::set<size_t> slots;
    std::set<std::string> names;
    for (const auto& e : FLASHKIT_BIND_ORDER) {
        slots.insert(e.Slot);
        names.insert(e.Name);
    }
    EXPECT_EQ(names.size(), 41u);
    EXPECT_EQ(slots.size(), 41u);
    for (size_t none : {35, 39, 42, 44, 45, 46}) {
        EXPECT_EQ(slots.count(none), 0u) << none;
    }
    // Every named slot with its bind position (from 1), in slot order.
    struct Pin {
        size_t slot;
        const char* name;
        size_t bind;
    };
    constexpr Pin kPins[] = {{0, "ZKTR_DL_get_dll_version", 1},
                             {1, "ZKTR_DL_get_sw_version_data", 2},
                             {2, "ZKTR_DL_set_dll_parameter", 3},
                             {3, "ZKTR_DL_dll_get_parameter", 4},
                             {4, "ZKTR_DL_init_callback", 5},
                             {5, "ZKTR_DL_open_comm_port", 6},
                             {6, "ZKTR_DL_close_comm_port", 7},
                             {7, "ZKTR_DL_boot_target", 8},
                             {8, "ZKTR_DL_boot_bin_target", 9},
                             {9, "ZKTR_DL_set_get_control_signal", 10},
                             {10, "ZKTR_DL_download_bin_image", 18},
                             {11, "ZKTR_DL_download_fls_file", 11},
                             {12, "ZKTR_DL_download_eep_file", 12},
                             {13, "ZKTR_DL_download_dffs_file", 13},
                             {14, "ZKTR_DL_download_cust_file", 14},
                             {15, "ZKTR_DL_upload_eep_file", 15},
                             {16, "ZKTR_DL_upload_bin_image", 17},
                             {17, "ZKTR_DL_update_static_eeprom", 16},
                             {18, "ZKTR_DL_erase_image", 19},
                             {19, "ZKTR_DL_verify_flash_image", 20},
                             {20, "ZKTR_DL_abort_process", 21},
                             {21, "ZKTR_DL_force_target_reset", 22},
                             {22, "ZKTR_DL_end_of_process", 23},
                             {23, "ZKTR_DL_start_AT_mode", 24},
                             {24, "ZKTR_DL_stop_AT_mode", 25},
                             {25, "ZKTR_DL_AT_send", 26},
                             {26, "ZKTR_DL_dll_get_nof_progressbars", 34},
                             {27, "ZKTR_DL_TOC_get_nof_items", 27},
                             {28, "ZKTR_DL_TOC_get_memory_class", 28},
                             {29, "ZKTR_DL_TOC_get_hw_platform", 41},
                             {30, "ZKTR_DL_TOC_get_sw_option", 29},
                             {31, "ZKTR_DL_get_sys_version", 30},
                             {32, "ZKTR_DL_TOC_get_filename", 31},
                             {33, "ZKTR_DL_TOC_get_checksum", 32},
                             {34, "ZKTR_DL_TOC_get_filesize", 33},
                             {36, "ZKTR_DL_NVM_get_nof_user_options", 35},
                             {37, "ZKTR_DL_NVM_get_user_option", 36},
                             {38, "ZKTR_DL_NVM_set_user_option", 37},
                             {40, "ZKTR_DL_trace_insert", 38},
                             {41, "ZKTR_DL_out_of_session_comm", 39},
                             {43, "ZKTR_get_comm_handle", 40}};
    static_assert(std::size(kPins) == 41);
    for (const auto& pin : kPins) {
        SCOPED_TRACE(pin.name);
        EXPECT_STREQ(FLASHKIT_BIND_ORDER[pin.bind - 1].Name, pin.name);
        EXPECT_EQ(FLASHKIT_BIND_ORDER[pin.bind - 1].Slot, pin.slot);
    }
}

TEST_F(FlashkitBinding, StandInBindsAll41AndLeavesUnnamedSlotsEmpty) {
    ASSERT_TRUE(LoadFlashkit("Flashkit.dll"));
    ASSERT_NE(g_hFlashkit, nullptr);
    ASSERT_NE(g_pFlashkitApi, nullptr);
    for (const auto& e : FLASHKIT_BIND_ORDER) {
        SCOPED_TRACE(e.Name);
        EXPECT_EQ(Slot(e.Slot), reinterpret_cast<void*>(GetProcAddress(g_hFlashkit, e.Name)));
        EXPECT_NE(Slot(e.Slot), nullptr);
    }
    for (size_t none : {35, 39, 42, 44, 45, 46}) {
        EXPECT_EQ(Slot(none), nullptr) << none;
    }
    UnloadFlashkit();
    EXPECT_EQ(g_hFlashkit, nullptr);
    // The record goes with the library, so an unloaded driver leaves nothing behind.
    EXPECT_EQ(g_pFlashkitApi, nullptr);
    // Bound again, a record is filled afresh.
    ASSERT_TRUE(LoadFlashkit("Flashkit.dll"));
    ASSERT_NE(g_pFlashkitApi, nullptr);
    EXPECT_EQ(Slot(FLASHKIT_BIND_ORDER[0].Slot),
              reinterpret_cast<void*>(GetProcAddress(g_hFlashkit, FLASHKIT_BIND_ORDER[0].Name)));
}

TEST_F(FlashkitBinding, MissingModuleFails) {
    SetLastError(0xdeadbeef);
    const auto traces = DeviceErrorTraces([] { EXPECT_FALSE(LoadFlashkit("NoSuchFlashkit.dll")); });
    EXPECT_EQ(traces,
              std::vector<std::string>{"LoadFlashkit: NoSuchFlashkit.dll not loaded, error 126"});
    EXPECT_EQ(g_hFlashkit, nullptr);
    EXPECT_EQ(GetLastError(), 126u);  // ERROR_MOD_NOT_FOUND
}

// A library without one name: the binding fails at that name, keeps the library loaded,
// and resolves nothing after it.
TEST_F(FlashkitBinding, MissingExportStopsTheBindingThere) {
    for (size_t missing : {size_t{0}, size_t{7}, size_t{40}}) {
        const char* name = FLASHKIT_BIND_ORDER[missing].Name;
        SCOPED_TRACE(name);
        UseModuleFolder(BinFolder() + "/flashkit-variants/no-" + name);
        const auto traces = DeviceErrorTraces([] { EXPECT_FALSE(LoadFlashkit("Flashkit.dll")); });
        EXPECT_EQ(traces,
                  std::vector<std::string>{std::string("Flashkit: ") + name + " not found"});
        EXPECT_NE(g_hFlashkit, nullptr);
        for (size_t i = 0; i < FLASHKIT_EXPORT_COUNT; ++i) {
            EXPECT_EQ(Slot(FLASHKIT_BIND_ORDER[i].Slot) != nullptr, i < missing)
                << FLASHKIT_BIND_ORDER[i].Name;
        }
        UnloadFlashkit();
        EXPECT_EQ(g_hFlashkit, nullptr);
    }
}

// ---- The driver's binding of Parlex.

INT32 WINAPI SentinelCheck(const FwVersionInfo*) {
    return 42;
}
INT32 WINAPI SentinelNoArgs() {
    return 42;
}
void WINAPI SentinelByte(UINT8) {}

class PolicyBinding : public ::testing::Test {
protected:
    void SetUp() override {
        g_pfnCheckForFwUpdate = SentinelCheck;
        g_pfnIsDriverCheckRequired = SentinelNoArgs;
        g_pfnGetMaxRetryCountFromOEM = SentinelNoArgs;
        g_pfnFWUpgradeResult = SentinelByte;
        g_pfnSendRetryCountToOEM = SentinelByte;
    }
    void TearDown() override { UnloadPolicyDll(); }
};

TEST_F(PolicyBinding, BindsAllFiveAndUnloadKeepsThePointers) {
    UseModuleFolder(BinFolder());
    ASSERT_TRUE(LoadPolicyDll("Parlex.dll"));
    ASSERT_NE(g_hPolicyDll, nullptr);
    EXPECT_EQ(reinterpret_cast<void*>(g_pfnCheckForFwUpdate),
              reinterpret_cast<void*>(GetProcAddress(g_hPolicyDll, "CheckForFwUpdate")));
    EXPECT_EQ(g_pfnGetMaxRetryCountFromOEM(), 3);
    EXPECT_NE(reinterpret_cast<void*>(g_pfnIsDriverCheckRequired),
              reinterpret_cast<void*>(SentinelNoArgs));
    EXPECT_NE(reinterpret_cast<void*>(g_pfnFWUpgradeResult), reinterpret_cast<void*>(SentinelByte));
    EXPECT_NE(reinterpret_cast<void*>(g_pfnSendRetryCountToOEM),
              reinterpret_cast<void*>(SentinelByte));
    const auto bound = g_pfnSendRetryCountToOEM;
    UnloadPolicyDll();
    EXPECT_EQ(g_hPolicyDll, nullptr);
    EXPECT_EQ(g_pfnSendRetryCountToOEM, bound);
}

TEST_F(PolicyBinding, MissingModuleFails) {
    UseModuleFolder(BinFolder() + "/download-tests");  // no Parlex.dll here or on PATH
    ASSERT_TRUE(SetEnvironmentVariableA("PATH", "/nonexistent"));
    EXPECT_FALSE(LoadPolicyDll("Parlex.dll"));
    EXPECT_EQ(g_hPolicyDll, nullptr);
    EXPECT_EQ(g_pfnCheckForFwUpdate, SentinelCheck);
}

// A Parlex without one export: binding fails at it, Parlex stays loaded, the exports
// before it are bound and the ones after it are not looked up.
TEST_F(PolicyBinding, MissingExportStopsTheBindingThere) {
    const char* kOrder[] = {"CheckForFwUpdate", "IsDriverCheckRequired", "GetMaxRetryCountFromOEM",
                            "FWUpgradeResult", "SendRetryCountToOEM"};
    for (int missing = 0; missing < 5; ++missing) {
        SCOPED_TRACE(kOrder[missing]);
        SetUp();
        UseModuleFolder(BinFolder() + "/parlex-variants/no-" + kOrder[missing]);
        const auto traces = DeviceErrorTraces([] { EXPECT_FALSE(LoadPolicyDll("Parlex.dll")); });
        EXPECT_EQ(traces, std::vector<std::string>{std::string("LoadPolicyDll: ") +
                                                   kOrder[missing] + " not found"});
        EXPECT_NE(g_hPolicyDll, nullptr);
        const void* now[] = {reinterpret_cast<void*>(g_pfnCheckForFwUpdate),
                             reinterpret_cast<void*>(g_pfnIsDriverCheckRequired),
                             reinterpret_cast<void*>(g_pfnGetMaxRetryCountFromOEM),
                             reinterpret_cast<void*>(g_pfnFWUpgradeResult),
                             reinterpret_cast<void*>(g_pfnSendRetryCountToOEM)};
        const void* sentinels[] = {
            reinterpret_cast<void*>(SentinelCheck), reinterpret_cast<void*>(SentinelNoArgs),
            reinterpret_cast<void*>(SentinelNoArgs), reinterpret_cast<void*>(SentinelByte),
            reinterpret_cast<void*>(SentinelByte)};
        for (int i = 0; i < 5; ++i) {
            SCOPED_TRACE(kOrder[i]);
            if (i < missing) {
                EXPECT_EQ(now[i], reinterpret_cast<void*>(GetProcAddress(g_hPolicyDll, kOrder[i])));
                EXPECT_NE(now[i], nullptr);
            } else if (i == missing) {
                EXPECT_EQ(now[i], nullptr);
            } else {
                EXPECT_EQ(now[i], sentinels[i]);
            }
        }
        UnloadPolicyDll();
    }
}

TEST_F(PolicyBinding, RetryLimitBuildAnswersFive) {
    UseModuleFolder(BinFolder() + "/parlex-variants/limit5");
    ASSERT_TRUE(LoadPolicyDll("Parlex.dll"));
    EXPECT_EQ(g_pfnGetMaxRetryCountFromOEM(), 5);
}

}  // namespace
}  // namespace brelk::test
