// The flash traffic end to end: the Flashkit stand-in boots the modem's loader and
// downloads a generated image through the driver's port callbacks and its flash device
// service, with the upgrade service open beside it as during an upgrade.

#include <windows.h>
#include <winplat/clock.h>
#include <winplat/debugout.h>
#include <winplat/drives.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "BootLoader.h"
#include "FirmwareImage.h"
#include "Flashkit.h"
#include "Internal.h"
#include "PortFixture.h"

namespace brelk::test {
namespace {

namespace fs = std::filesystem;

constexpr char kImageFile[] = "Lumbra_QB4410_NAND_e2e.fls";
constexpr char kVersionText[] = "BRELK SYS 1:FW_9.9.9 build 1";
constexpr char kPortName[] = "\\\\.\\USB1";

class FlashEndToEnd : public ModemPort {
protected:
    void SetUp() override {
        ModemPort::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        // The library's own time-outs (5000 ms per reply) must outlast a loaded machine.
        WinplatSetTimeScale(200);
        m_Drive = m_Machine.Folder() / "drive";
        fs::create_directories(m_Drive);
        ASSERT_TRUE(WinplatMapDrive(L'C', m_Drive.c_str()));
        SetEnvironmentVariableA("SystemRoot", nullptr);
        DiscardStatusReports();
    }

    void TearDown() override {
        if (g_hFlashkit != nullptr && g_pFlashkitApi != nullptr) {
            char status[64] = {};
            g_pFlashkitApi->ZKTR_DL_close_comm_port(FLASH_CHANNEL, status);
        }
        UnloadFlashkit();  // joins the library's thread before the service goes
        DiscardStatusReports();
        WinplatUnmapAllDrives();
        ModemPort::TearDown();
    }

    // The next final report of the library: 0 done, 1 failed. The library reports one
    // of them within its own operation time-out, so this waits a little longer.
    INT32 AwaitOutcome() {
        const ULONGLONG deadline = GetTickCount64() + 2 * 90000;
        for (;;) {
            INT32 code = -1;
            std::string text;
            while (PopStatus(&code, &text)) {
                if (code == 0 || code == 1) {
                    return code;
                }
            }
            if (GetTickCount64() >= deadline) {
                return -1;
            }
            WaitForStatusReport(1000);
        }
    }

    fs::path m_Drive;
};

TEST_F(FlashEndToEnd, BootAndDownloadArriveIntactThroughPortCallbacks) {
    const std::vector<fwimage::ItemSpec> specs = {
        {"psi.fls", 2, 700, ""},  {"main.fls", 4, 6000, ""},    {"nvm.cust", 5, 1500, ""},
        {"dsp.fls", 7, 3333, ""}, {"calib.cust", 13, 2100, ""}, {"one.fls", 14, 1, ""},
    };
    const fs::path folder = m_Drive / "windows" / "Firmware" / "Velto";
    fs::create_directories(folder);
    std::vector<fwimage::TocEntry> toc;
    std::string error;
    ASSERT_TRUE(
        fwimage::WriteImage((folder / kImageFile).string(), kVersionText, specs, &error, &toc))
        << error;

    // Found where the configuration looks for it.
    const std::string path = m_Upgrade->FindFirmwareImage();
    ASSERT_EQ(path, std::string("C:\\windows\\Firmware\\Velto\\") + kImageFile);

    // The library bound and set up the way the configuration does it.
    ASSERT_TRUE(LoadFlashkit("Flashkit.dll"));
    FlashkitApi& api = *g_pFlashkitApi;
    char status[64] = {};
    api.ZKTR_DL_set_dll_parameter(1, 90000, status);
    api.ZKTR_DL_init_callback(StatusCallback, status);
    api.ZKTR_DL_set_dll_parameter(0, 0, status);
    api.ZKTR_DL_set_dll_parameter(35, 1, status);
    UINT32 count = 0;
    ASSERT_EQ(api.ZKTR_DL_TOC_get_nof_items(path.c_str(), &count), 0);
    ASSERT_EQ(count, toc.size());
    std::vector<UINT32> items;
    for (UINT32 i = 0; i < count; ++i) {
        UINT32 memoryClass = 0;
        api.ZKTR_DL_TOC_get_memory_class(path.c_str(), i, &memoryClass);
        if (memoryClass >= 4) {
            items.push_back(i);
        }
    }
    ASSERT_EQ(items.size(), 5u);
    api.ZKTR_DL_set_dll_parameter(21, reinterpret_cast<UINT_PTR>(&PortWrite), status);
    api.ZKTR_DL_set_dll_parameter(22, reinterpret_cast<UINT_PTR>(&PortRead), status);
    api.ZKTR_DL_set_dll_parameter(23, reinterpret_cast<UINT_PTR>(&PortRxAvail), status);
    api.ZKTR_DL_set_dll_parameter(24, 1, status);
    api.ZKTR_DL_set_dll_parameter(34, 1, status);

    ASSERT_EQ(api.ZKTR_DL_open_comm_port(FLASH_CHANNEL, kPortName, kPortName, 115200, status), 0);
    UINT8 bootArea[6] = {};
    ASSERT_EQ(api.ZKTR_DL_boot_target(FLASH_CHANNEL, path.c_str(), bootArea, status), 0);
    ASSERT_EQ(AwaitOutcome(), 0) << "boot";
    EXPECT_EQ(g_ReadGate.load(), 1);
    EXPECT_EQ(Modem().Loader().ExecTokensSeen(), 3u);

    for (UINT32 index : items) {
        SCOPED_TRACE(toc[index].Name);
        const std::string entry = "|" + std::to_string(index) + "|" + path;
        const UINT32 memoryClass = toc[index].MemoryClass;
        const INT32 result =
            memoryClass == 5 || memoryClass == 13
                ? api.ZKTR_DL_download_cust_file(FLASH_CHANNEL, entry.c_str(), status)
                : api.ZKTR_DL_download_fls_file(FLASH_CHANNEL, entry.c_str(), status);
        ASSERT_EQ(result, 0);
        ASSERT_EQ(AwaitOutcome(), 0);
    }
    EXPECT_EQ(api.ZKTR_DL_end_of_process(FLASH_CHANNEL, status), 0);

    // The loader saw every item whole and committed the image's version.
    const auto received = Modem().Loader().Items();
    ASSERT_EQ(received.size(), items.size());
    for (size_t k = 0; k < items.size(); ++k) {
        const fwimage::TocEntry& want = toc[items[k]];
        SCOPED_TRACE(want.Name);
        EXPECT_EQ(received[k].Index, items[k]);
        EXPECT_EQ(received[k].Name, want.Name);
        EXPECT_EQ(received[k].MemoryClass, want.MemoryClass);
        EXPECT_EQ(received[k].BytesReceived, want.Size);
        EXPECT_EQ(received[k].ReceivedChecksum, want.Checksum);
        EXPECT_TRUE(received[k].Verified);
    }
    EXPECT_EQ(Modem().Loader().CommitCount(), 1u);
    EXPECT_EQ(Modem().FirmwareVersion(), "FW_9.9.9");
    EXPECT_EQ(CountDebugOutput("\n Write failed"), 0u);
    EXPECT_GT(CountDebugOutput("UMDF: RxAvail  "), 0u);
}

}  // namespace
}  // namespace brelk::test
