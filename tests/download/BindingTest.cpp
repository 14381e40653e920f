// Binding of Flashkit.dll and Parlex.dll by name (Parlex's own exports: tests/policy).

#include <windows.h>
#include <winplat/debugout.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <set>
#include <string>

#include "DownloadSupport.h"
#include "Flashkit.h"
#include "Internal.h"

namespace {

using dltest::BinFolder;
using dltest::UseModuleFolder;

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
    // Where bind order and slot order part ways.
    struct Pin {
        size_t position;  // zero-based bind position
        const char* name;
        size_t slot;
    };
    constexpr Pin kPins[] = {
        {0, "ZKTR_DL_get_dll_version", 0},        {10, "ZKTR_DL_download_fls_file", 11},
        {15, "ZKTR_DL_update_static_eeprom", 17}, {16, "ZKTR_DL_upload_bin_image", 16},
        {17, "ZKTR_DL_download_bin_image", 10},   {33, "ZKTR_DL_dll_get_nof_progressbars", 26},
        {39, "ZKTR_get_comm_handle", 43},         {40, "ZKTR_DL_TOC_get_hw_platform", 29}};
    for (const auto& pin : kPins) {
        SCOPED_TRACE(pin.name);
        EXPECT_STREQ(FLASHKIT_BIND_ORDER[pin.position].Name, pin.name);
        EXPECT_EQ(FLASHKIT_BIND_ORDER[pin.position].Slot, pin.slot);
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
    FlashkitApi* const record = g_pFlashkitApi;
    UnloadFlashkit();
    EXPECT_EQ(g_hFlashkit, nullptr);
    // Bound again, the same record is filled afresh.
    ASSERT_TRUE(LoadFlashkit("Flashkit.dll"));
    EXPECT_EQ(g_pFlashkitApi, record);
}

TEST_F(FlashkitBinding, MissingModuleFails) {
    SetLastError(0xdeadbeef);
    const auto traces =
        dltest::DeviceErrorTraces([] { EXPECT_FALSE(LoadFlashkit("NoSuchFlashkit.dll")); });
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
        const auto traces =
            dltest::DeviceErrorTraces([] { EXPECT_FALSE(LoadFlashkit("Flashkit.dll")); });
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
        const auto traces =
            dltest::DeviceErrorTraces([] { EXPECT_FALSE(LoadPolicyDll("Parlex.dll")); });
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
