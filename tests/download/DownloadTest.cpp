// The download thread end to end: the driver's thread drives the Flashkit stand-in,
// which boots and feeds a boot loader through a loopback port; Parlex hears the result.

#include <windows.h>
#include <winplat/clock.h>
#include <winplat/debugout.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "DownloadSupport.h"
#include "FaultPlan.h"
#include "Flashkit.h"
#include "FlashkitStandIn.h"
#include "Internal.h"

namespace brelk::test {
namespace {

const char kImageFile[] = "Lumbra_QB4410_NAND_test.fls";
const char kVersionText[] = "BRELK SYS 1:FW_2.4.1 build 88";

// Memory classes of the test image, by table-of-contents index. Classes below 4 are
// left out of the list; 5 and 13 go through the cust call.
const std::vector<fwimage::ItemSpec> kItems = {
    {"psi.fls", 2, 700, ""},  {"main.fls", 4, 5000, ""},    {"nvm.cust", 5, 1500, ""},
    {"boot.fls", 0, 64, ""},  {"calib.cust", 13, 2100, ""}, {"dsp.fls", 7, 3333, ""},
    {"extra.fls", 14, 1, ""}, {"empty.fls", 6, 0, ""},
};

// Calls the driver made into the library, with the entry where there is one.
std::mutex g_CallsLock;
std::vector<std::string> g_Calls;
FlashkitApi g_Real;
std::function<INT32(const char*)> g_BootHook;      // replaces the boot call when set
std::function<INT32()> g_EndHook;                  // replaces the end of process when set
std::function<INT32(const char*)> g_DownloadHook;  // replaces both download calls when set

void Record(std::string call) {
    std::lock_guard lock(g_CallsLock);
    g_Calls.push_back(std::move(call));
}

INT32 OpenShim(UINT8 ch, const char* a, const char* b, UINT32 baud, char* st) {
    Record(std::string("open ") + a + " " + b + " " + std::to_string(baud));
    return g_Real.ZKTR_DL_open_comm_port(ch, a, b, baud, st);
}
INT32 BootShim(UINT8 ch, const char* path, UINT8* area, char* st) {
    Record(std::string("boot ") + path);
    if (g_BootHook) {
        return g_BootHook(path);
    }
    return g_Real.ZKTR_DL_boot_target(ch, path, area, st);
}
INT32 FlsShim(UINT8 ch, const char* entry, char* st) {
    Record(std::string("fls ") + entry);
    if (g_DownloadHook) {
        return g_DownloadHook(entry);
    }
    return g_Real.ZKTR_DL_download_fls_file(ch, entry, st);
}
INT32 CustShim(UINT8 ch, const char* entry, char* st) {
    Record(std::string("cust ") + entry);
    if (g_DownloadHook) {
        return g_DownloadHook(entry);
    }
    return g_Real.ZKTR_DL_download_cust_file(ch, entry, st);
}
INT32 EndShim(UINT8 ch, char* st) {
    Record("end");
    if (g_EndHook) {
        return g_EndHook();
    }
    return g_Real.ZKTR_DL_end_of_process(ch, st);
}

class Download : public ::testing::Test {
protected:
    static void SetUpTestSuite() { WinplatSetTimeScale(200); }

    void SetUp() override {
        UseModuleFolder(BinFolder());
        m_Machine.MapDrive();
        sim::FaultPlan::Instance().Clear();
        DiscardStatusReports();
        m_Loop = std::make_unique<Loopback>();
        Loopback::Current = m_Loop.get();
        ASSERT_TRUE(LoadPolicyDll("Parlex.dll"));
        ASSERT_TRUE(LoadFlashkit("Flashkit.dll"));

        // The parameters as the device configuration sets them, with the loopback port.
        FlashkitApi& api = *g_pFlashkitApi;
        char status[64] = {};
        api.ZKTR_DL_set_dll_parameter(1, 90000, status);
        api.ZKTR_DL_init_callback(StatusCallback, status);
        api.ZKTR_DL_set_dll_parameter(0, 0, status);
        api.ZKTR_DL_set_dll_parameter(35, 1, status);
        api.ZKTR_DL_set_dll_parameter(21, reinterpret_cast<UINT_PTR>(&Loopback::Write), status);
        api.ZKTR_DL_set_dll_parameter(22, reinterpret_cast<UINT_PTR>(&Loopback::Read), status);
        api.ZKTR_DL_set_dll_parameter(23, reinterpret_cast<UINT_PTR>(&Loopback::RxAvail), status);
        api.ZKTR_DL_set_dll_parameter(24, 1, status);
        api.ZKTR_DL_set_dll_parameter(34, 1, status);

        g_Real = api;
        api.ZKTR_DL_open_comm_port = OpenShim;
        api.ZKTR_DL_boot_target = BootShim;
        api.ZKTR_DL_download_fls_file = FlsShim;
        api.ZKTR_DL_download_cust_file = CustShim;
        api.ZKTR_DL_end_of_process = EndShim;
        g_Calls.clear();
        g_BootHook = nullptr;
        g_EndHook = nullptr;
        g_DownloadHook = nullptr;
        g_bUpgradeSucceeded = false;
        WinplatClearDebugOutput();
        m_Device = new DevicePeer();
    }

    void TearDown() override {
        char status[64] = {};
        if (g_pFlashkitApi != nullptr && g_hFlashkit != nullptr) {
            g_Real.ZKTR_DL_close_comm_port(FLASH_CHANNEL, status);  // frees a hung library thread
        }
        // The device's clean-up unloads both libraries (and so joins the library thread).
        m_Device->Release();
        m_Device = nullptr;
        UnloadFlashkit();
        UnloadPolicyDll();
        Loopback::Current = nullptr;
        g_DownloadItemList = {};
        g_FirmwareImagePath.clear();
        sim::FaultPlan::Instance().Clear();
        DiscardStatusReports();
    }

    // Writes the image and builds the download list the way the configuration does.
    void Prepare(const std::vector<fwimage::ItemSpec>& items) {
        m_Toc =
            WriteTestImage((m_Machine.FirmwareFolder() / kImageFile).string(), kVersionText, items);
        g_FirmwareImagePath = Machine::FirmwarePath(kImageFile);
        g_DownloadItemList = {};
        for (size_t i = 0; i < m_Toc.size(); ++i) {
            if (m_Toc[i].MemoryClass >= 4) {
                g_DownloadItemList.Entries.push_back("|" + std::to_string(i) + "|" +
                                                     g_FirmwareImagePath);
                g_DownloadItemList.MemoryClasses.push_back(m_Toc[i].MemoryClass);
            }
        }
    }

    struct Run {
        int completions;
        bool succeededAtCompletion;
        LONG portOpen;
        DWORD exitCode;
        ULONGLONG elapsedMs;  // platform time
    };

    // Runs one attempt on the test's device, as the device's hardware preparation does.
    Run RunThread() {
        DevicePeer* device = m_Device;
        device->Completions = 0;
        const ULONGLONG start = GetTickCount64();
        DWORD id = 0;
        HANDLE thread = CreateThread(nullptr, 0, DownloadThread, device, 0, &id);
        EXPECT_NE(thread, nullptr);
        EXPECT_EQ(WaitForSingleObject(thread, 10 * 60 * 1000), WAIT_OBJECT_0);
        DWORD exitCode = 0xdeadbeef;
        GetExitCodeThread(thread, &exitCode);
        CloseHandle(thread);
        Run run{device->Completions.load(), device->SucceededAtCompletion.load(),
                device->PortOpenFlag(), exitCode, GetTickCount64() - start};
        return run;
    }

    // The loader got items `indexes` of the image, in that order, each intact.
    void ExpectDelivered(const std::vector<uint32_t>& indexes, size_t intact) {
        const auto items = m_Loop->Loader.Items();
        ASSERT_GE(items.size(), intact);
        for (size_t k = 0; k < intact; ++k) {
            const auto& got = items[k];
            const auto& want = m_Toc[indexes[k]];
            SCOPED_TRACE(want.Name);
            EXPECT_EQ(got.Index, indexes[k]);
            EXPECT_EQ(got.Name, want.Name);
            EXPECT_EQ(got.MemoryClass, want.MemoryClass);
            EXPECT_EQ(got.BytesReceived, want.Size);
            EXPECT_EQ(got.ReceivedChecksum, want.Checksum);
            EXPECT_TRUE(got.Verified);
        }
    }

    std::vector<std::string> Calls() {
        std::lock_guard lock(g_CallsLock);
        return g_Calls;
    }

    DevicePeer* m_Device = nullptr;
    Machine m_Machine{"dl"};
    std::unique_ptr<Loopback> m_Loop;
    std::vector<fwimage::TocEntry> m_Toc;
};

TEST_F(Download, EveryListedItemArrivesIntactInTableOrder) {
    Prepare(kItems);
    const Run run = RunThread();

    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(run.completions, 1);
    EXPECT_TRUE(run.succeededAtCompletion);
    EXPECT_TRUE(g_bUpgradeSucceeded);
    EXPECT_EQ(run.portOpen, 1);

    auto e = [&](int i) { return "|" + std::to_string(i) + "|" + g_FirmwareImagePath; };
    const std::vector<std::string> expected = {"open \\\\.\\USB1 \\\\.\\USB1 115200",
                                               "boot " + g_FirmwareImagePath,
                                               "fls " + e(1),
                                               "cust " + e(2),
                                               "cust " + e(4),
                                               "fls " + e(5),
                                               "fls " + e(6),
                                               "fls " + e(7),
                                               "end"};
    EXPECT_EQ(Calls(), expected);

    ExpectDelivered({1, 2, 4, 5, 6, 7}, 6);
    EXPECT_EQ(m_Loop->Loader.Items().size(), 6u);
    EXPECT_EQ(m_Loop->Loader.CommitCount(), 1u);
    EXPECT_EQ(m_Loop->Loader.FirmwareVersion(), "FW_2.4.1");
    EXPECT_EQ(CountDebugOutput("Firmware upgrade done"), 1u);
    EXPECT_EQ(CountDebugOutput("Result in OEM DLL-PASS"), 1u);
    EXPECT_EQ(CountDebugOutput("Result in OEM DLL-FAIL"), 0u);
    // The configuration's list stays whole for a later attempt.
    EXPECT_EQ(g_DownloadItemList.Entries.size(), 6u);
}

TEST_F(Download, NothingAtOrAboveClassFourBootsAndFinishes) {
    Prepare({{"psi.fls", 2, 100, ""}, {"boot.fls", 3, 100, ""}});
    const Run run = RunThread();
    EXPECT_TRUE(run.succeededAtCompletion);
    EXPECT_EQ(Calls().size(), 3u);  // open, boot, end
    EXPECT_TRUE(m_Loop->Loader.Items().empty());
    EXPECT_EQ(m_Loop->Loader.CommitCount(), 1u);
    EXPECT_EQ(CountDebugOutput("Result in OEM DLL-PASS"), 1u);
}

// Each attempt in the same process downloads the whole list again.
TEST_F(Download, SecondAttemptDownloadsEveryItemAgain) {
    Prepare(kItems);
    ASSERT_TRUE(RunThread().succeededAtCompletion);
    m_Loop->Loader.Reset();
    const Run second = RunThread();
    EXPECT_TRUE(second.succeededAtCompletion);
    ExpectDelivered({1, 2, 4, 5, 6, 7}, 6);
    EXPECT_EQ(m_Loop->Loader.CommitCount(), 2u);
}

struct FailureCase {
    const char* name;
    const char* faults;
    std::function<void(const std::string& hostImage)> damage;  // after the image is written
    size_t intactBefore;  // items that arrive intact before the failure
    bool endCalled = false;
};

void FlipByteAt(const std::string& path, std::streamoff offset) {
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    f.seekg(offset);
    char c = 0;
    f.get(c);
    f.seekp(offset);
    f.put(static_cast<char>(c ^ 0x01));
}

// Refused calls, status 1, corruption on the wire and damaged image files all end in
// failure: no commit on the modem, FWUpgradeResult(0), and the completion runs once.
TEST_F(Download, FailuresEndTheAttemptAsFailed) {
    const std::vector<FailureCase> kCases = {
        {"boot refused", "flashkit.boot_call:refuse", nullptr, 0},
        {"status 1 at boot", "flashkit.boot:status1", nullptr, 0},
        {"download of item 4 refused", "flashkit.download_call/4:refuse", nullptr, 2},
        {"status 1 at item 5", "flashkit.item/5:status1", nullptr, 3},
        {"byte corrupted on the wire at item 2", "flashkit.item/2:corrupt=1025", nullptr, 1},
        {"image missing", "", [](const std::string& p) { std::filesystem::remove(p); }, 0},
        {"image truncated", "",
         [](const std::string& p) {
             std::filesystem::resize_file(p, std::filesystem::file_size(p) - 1);
         },
         0},
        {"table of contents corrupt", "",
         [](const std::string& p) { FlipByteAt(p, 48 + 29 + 64 * 3 + 36); }, 0},
        {"item data does not match its checksum", "",
         [this](const std::string& p) {
             FlipByteAt(p, static_cast<std::streamoff>(m_Toc[5].DataOffset + 3000));
         },
         3},
        {"end of process refused: nothing committed", "flashkit.end:refuse", nullptr, 6, true},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        Prepare(kItems);
        if (c.damage) {
            c.damage((m_Machine.FirmwareFolder() / kImageFile).string());
        }
        std::string error;
        ASSERT_TRUE(sim::FaultPlan::Instance().Parse(c.faults, &error)) << error;
        g_bUpgradeSucceeded = true;  // an earlier success must not survive

        const Run run = RunThread();

        EXPECT_EQ(run.completions, 1);
        EXPECT_FALSE(run.succeededAtCompletion);
        EXPECT_EQ(CountDebugOutput("Result in OEM DLL-FAIL"), 1u);
        EXPECT_EQ(CountDebugOutput("Result in OEM DLL-PASS"), 0u);
        EXPECT_EQ(CountDebugOutput("Firmware upgrade done"), 0u);
        EXPECT_EQ(m_Loop->Loader.CommitCount(), 0u);
        EXPECT_EQ(m_Loop->Loader.FirmwareVersion(), "FW_OLD");
        ExpectDelivered({1, 2, 4, 5, 6, 7}, c.intactBefore);
        const auto items = m_Loop->Loader.Items();
        if (items.size() > c.intactBefore) {
            EXPECT_FALSE(items[c.intactBefore].Verified);
        }
        EXPECT_LE(items.size(), c.intactBefore + 1);
        const auto calls = Calls();
        EXPECT_EQ(!calls.empty() && calls.back() == "end", c.endCalled);
    }
}

// A library that never reports: the budget ends the attempt, recorded as a failure, and
// Parlex hears nothing.
TEST_F(Download, SilentLibraryRunsIntoTheBudget) {
    WinplatSetTimeScale(1000);
    for (const char* faults : {"flashkit.boot:hang", "flashkit.item/5:hang"}) {
        SCOPED_TRACE(faults);
        TearDown();
        SetUp();
        Prepare(kItems);
        std::string error;
        ASSERT_TRUE(sim::FaultPlan::Instance().Parse(faults, &error)) << error;
        g_bUpgradeSucceeded = true;

        const Run run = RunThread();

        EXPECT_GE(run.elapsedMs, DOWNLOAD_TIME_BUDGET_S * 1000ull);
        EXPECT_EQ(run.completions, 1);
        EXPECT_FALSE(run.succeededAtCompletion);
        EXPECT_EQ(CountDebugOutput("Result in OEM DLL-FAIL"), 0u);
        EXPECT_EQ(CountDebugOutput("Result in OEM DLL-PASS"), 0u);
        EXPECT_EQ(m_Loop->Loader.CommitCount(), 0u);
    }
    WinplatSetTimeScale(200);
}

// The budget is checked after every pass before Finish or Fail: a call that returns only
// after the budget ran out ends the attempt as a timeout, without FWUpgradeResult, both
// when it refuses (the way into Fail) and when it accepts the last item with its status 0
// already queued (nothing but instant passes left before Finish).
TEST_F(Download, BudgetSpentInsideACallEndsAsTimeout) {
    WinplatSetTimeScale(1000);
    const auto spendTheBudget = [] { WinplatSleepMs(DOWNLOAD_TIME_BUDGET_S * 1000ull); };
    struct Case {
        const char* name;
        std::function<INT32(const char*)> boot, download;
        size_t calls;  // open, boot, and the download calls made
    };
    const Case kCases[] = {
        {"boot refused after the budget",
         [&](const char*) {
             spendTheBudget();
             return flashkit::kErrRefused;
         },
         nullptr, 2},
        {"last item accepted and done after the budget",
         [](const char*) {
             StatusCallback(FLASH_CHANNEL, 0, "boot done");
             return 0;
         },
         [&](const char*) {
             spendTheBudget();
             StatusCallback(FLASH_CHANNEL, 0, "download done");
             return 0;
         },
         3},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        Prepare(c.download ? std::vector<fwimage::ItemSpec>{{"main.fls", 4, 10, ""}} : kItems);
        g_BootHook = c.boot;
        g_DownloadHook = c.download;
        g_EndHook = [] { return 0; };
        g_bUpgradeSucceeded = true;
        const Run run = RunThread();
        EXPECT_EQ(run.completions, 1);
        EXPECT_FALSE(run.succeededAtCompletion);
        EXPECT_EQ(CountDebugOutput("Result in OEM DLL-FAIL"), 0u);
        EXPECT_EQ(CountDebugOutput("Result in OEM DLL-PASS"), 0u);
        EXPECT_EQ(Calls().size(), c.calls) << "no end of process";
    }
    WinplatSetTimeScale(200);
}

// What the thread does with reports that do not answer its pending step.
TEST_F(Download, OnlyAFreshStatusZeroOrOneMovesTheThread) {
    WinplatSetTimeScale(1000);
    struct Case {
        const char* name;
        std::function<void()> before;  // before the thread starts
        std::function<void()> inBoot;  // inside the boot call, which then returns 0
        bool succeeds;
    };
    const Case kCases[] = {
        {"stale status 0 of an earlier attempt is discarded", [] { StatusCallback(1, 0, "stale"); },
         nullptr, false},
        {"other codes are ignored", nullptr,
         [] {
             StatusCallback(1, 2, "started");
             StatusCallback(1, 7, "odd");
             StatusCallback(1, -1, nullptr);
         },
         false},
        {"status 0 before the wait is taken at the next wait", nullptr,
         [] { StatusCallback(1, 0, "early"); }, true},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        Prepare({{"psi.fls", 2, 10, ""}});  // nothing to download after the boot
        if (c.before) {
            c.before();
        }
        auto inBoot = c.inBoot;
        g_BootHook = [inBoot](const char*) {
            if (inBoot) {
                inBoot();
            }
            return 0;  // accepted; the stand-in never hears of it
        };
        g_EndHook = [] { return 0; };  // nor of the end of a process it never booted
        const Run run = RunThread();
        EXPECT_EQ(run.succeededAtCompletion, c.succeeds);
        EXPECT_EQ(CountDebugOutput("Result in OEM DLL-PASS"), c.succeeds ? 1u : 0u);
        if (!c.succeeds) {
            EXPECT_GE(run.elapsedMs, DOWNLOAD_TIME_BUDGET_S * 1000ull);
        }
    }
    WinplatSetTimeScale(200);
}

// Every report left in the channel, oldest first.
std::vector<std::pair<INT32, std::string>> DrainReports() {
    std::vector<std::pair<INT32, std::string>> reports;
    INT32 code = 0;
    std::string text;
    while (PopStatus(&code, &text)) {
        reports.emplace_back(code, text);
    }
    return reports;
}

// Waits (platform time, bounded) for a report with this code and returns the reports
// taken up to and including it.
std::vector<std::pair<INT32, std::string>> AwaitReport(INT32 wanted) {
    std::vector<std::pair<INT32, std::string>> taken;
    const ULONGLONG deadline = GetTickCount64() + 60000;
    INT32 code = 0;
    std::string text;
    while (GetTickCount64() < deadline) {
        if (PopStatus(&code, &text)) {
            taken.emplace_back(code, text);
            if (code == wanted) {
                break;
            }
        } else {
            WaitForStatusReport(100);
        }
    }
    return taken;
}

using Reports = std::vector<std::pair<INT32, std::string>>;

// Closing the port ends the library's work on it before the call returns: the running
// boot and the download queued behind it have made their last reports by then, so the
// next attempt's discard takes them all and nothing of the earlier attempt moves it.
TEST_F(Download, CloseEndsTheChannelsJobsSoNoLateReportMovesTheNextAttempt) {
    Prepare(kItems);
    std::string error;
    ASSERT_TRUE(sim::FaultPlan::Instance().Parse("flashkit.boot:delay=1000000", &error)) << error;
    char status[64] = {};
    ASSERT_EQ(g_Real.ZKTR_DL_open_comm_port(FLASH_CHANNEL, "p", "p", 115200, status), 0);
    ASSERT_EQ(
        g_Real.ZKTR_DL_boot_target(FLASH_CHANNEL, g_FirmwareImagePath.c_str(), nullptr, status), 0);
    ASSERT_EQ(AwaitReport(flashkit::kStatusStarted), (Reports{{2, "boot"}}));
    const std::string entry = g_DownloadItemList.Entries.front();
    ASSERT_EQ(g_Real.ZKTR_DL_download_fls_file(FLASH_CHANNEL, entry.c_str(), status), 0);

    ASSERT_EQ(g_Real.ZKTR_DL_close_comm_port(FLASH_CHANNEL, status), 0);
    EXPECT_EQ(DrainReports(), (Reports{{1, "port closed"}, {1, "port closed"}}));
    EXPECT_EQ(m_Loop->Writes.load(), 0u) << "the queued download never ran";

    const Run next = RunThread();
    EXPECT_TRUE(next.succeededAtCompletion);
    ExpectDelivered({1, 2, 4, 5, 6, 7}, 6);
    EXPECT_EQ(m_Loop->Loader.Items().size(), 6u);
    EXPECT_TRUE(DrainReports().empty()) << "a report arrived after its attempt";
}

// A report that arrives once the thread has given up (here the port's close ends a boot
// that outlasted the budget) stays queued for the next attempt's start to discard.
TEST_F(Download, AReportAfterTheThreadEndedStaysQueued) {
    WinplatSetTimeScale(1000);
    Prepare(kItems);
    std::string error;
    ASSERT_TRUE(sim::FaultPlan::Instance().Parse("flashkit.boot:delay=100000000", &error)) << error;
    const Run timedOut = RunThread();
    EXPECT_GE(timedOut.elapsedMs, DOWNLOAD_TIME_BUDGET_S * 1000ull);
    EXPECT_FALSE(timedOut.succeededAtCompletion);
    WinplatSetTimeScale(200);

    char status[64] = {};
    ASSERT_EQ(g_Real.ZKTR_DL_close_comm_port(FLASH_CHANNEL, status), 0);
    EXPECT_EQ(DrainReports(), (Reports{{1, "port closed"}}));
}

TEST_F(Download, NullDeviceDoesNothing) {
    Prepare(kItems);
    EXPECT_EQ(DownloadThread(nullptr), 0u);
    EXPECT_TRUE(Calls().empty());
    EXPECT_TRUE(WinplatGetDebugOutput().empty());
}

}  // namespace
}  // namespace brelk::test
