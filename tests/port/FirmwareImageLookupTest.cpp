// Where the driver looks for the firmware image: below the Windows folder that the
// environment names, on a simulated machine's drives.

#include <windows.h>
#include <winplat/drives.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "MBDeviceService.h"
#include "PortFixture.h"

namespace brelk::test {
namespace {

namespace fs = std::filesystem;

class FirmwareImageLookup : public ::testing::Test {
protected:
    void SetUp() override {
        m_Root = FreshFolder("drives");
        fs::create_directories(m_Root / "c");
        fs::create_directories(m_Root / "d");
        ASSERT_TRUE(WinplatMapDrive(L'C', (m_Root / "c").c_str()));
        ASSERT_TRUE(WinplatMapDrive(L'D', (m_Root / "d").c_str()));
    }
    void TearDown() override {
        SetEnvironmentVariableA("SystemRoot", nullptr);
        WinplatUnmapAllDrives();
        std::error_code ec;
        fs::remove_all(m_Root, ec);
    }

    // A file (or, for names ending in '/', a folder) below the drive folders.
    void Create(const std::string& relative) {
        const fs::path path = m_Root / relative;
        if (relative.back() == '/') {
            fs::create_directories(path);
        } else {
            fs::create_directories(path.parent_path());
            std::ofstream(path) << "image";
        }
    }

    fs::path m_Root;
};

TEST_F(FirmwareImageLookup, BuildsPathBelowWindowsFolder) {
    struct Case {
        const char* name;
        std::optional<std::string> systemRoot;  // nullopt: no such variable
        std::vector<std::string> entries;       // below the drive folders c/ and d/
        std::string expected;
    };
    const Case cases[] = {
        {"no variable: C:\\windows",
         std::nullopt,
         {"c/Windows/Firmware/Velto/Lumbra_QB4410_NAND_1.2.fls"},
         "C:\\windows\\Firmware\\Velto\\Lumbra_QB4410_NAND_1.2.fls"},
        {"empty variable: C:\\windows",
         "",
         {"c/windows/firmware/velto/Lumbra_QB4410_NAND_a.fls"},
         "C:\\windows\\Firmware\\Velto\\Lumbra_QB4410_NAND_a.fls"},
        {"variable used as it stands",
         "d:\\WinDir",
         {"d/windir/Firmware/Velto/Lumbra_QB4410_NAND_b.fls",
          "c/windows/Firmware/Velto/Lumbra_QB4410_NAND_c.fls"},
         "d:\\WinDir\\Firmware\\Velto\\Lumbra_QB4410_NAND_b.fls"},
        {"trailing backslash kept",
         "D:\\WinDir\\",
         {"d/WinDir/Firmware/Velto/Lumbra_QB4410_NAND_b.fls"},
         "D:\\WinDir\\\\Firmware\\Velto\\Lumbra_QB4410_NAND_b.fls"},
        {"drive root only",
         "D:",
         {"d/Firmware/Velto/Lumbra_QB4410_NAND_r.fls"},
         "D:\\Firmware\\Velto\\Lumbra_QB4410_NAND_r.fls"},
        {"long variable",
         "D:\\" + std::string(200, 'w'),
         {"d/" + std::string(200, 'w') + "/Firmware/Velto/Lumbra_QB4410_NAND_l.fls"},
         "D:\\" + std::string(200, 'w') + "\\Firmware\\Velto\\Lumbra_QB4410_NAND_l.fls"},
        {"star matches nothing",
         std::nullopt,
         {"c/windows/Firmware/Velto/Lumbra_QB4410_NAND.fls"},
         "C:\\windows\\Firmware\\Velto\\Lumbra_QB4410_NAND.fls"},
        {"matching folder taken like a file",
         std::nullopt,
         {"c/windows/Firmware/Velto/Lumbra_QB4410_NAND_dir.fls/"},
         "C:\\windows\\Firmware\\Velto\\Lumbra_QB4410_NAND_dir.fls"},
        {"missing firmware folder", std::nullopt, {"c/windows/Firmware/"}, ""},
        {"missing Windows folder", "D:\\Nowhere", {}, ""},
        {"no matching name",
         std::nullopt,
         {"c/windows/Firmware/Velto/Lumbra_QB4410_NOR_1.fls",
          "c/windows/Firmware/Velto/Lumbra_QB4410_NAND_1.bin",
          "c/windows/Firmware/Velto/Other_Lumbra_QB4410_NAND_1.fls"},
         ""},
        {"image in the folder of an unmapped drive", "E:\\windows", {}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(m_Root / "c");
        fs::remove_all(m_Root / "d");
        fs::create_directories(m_Root / "c");
        fs::create_directories(m_Root / "d");
        for (const auto& entry : c.entries) {
            Create(entry);
        }
        ASSERT_TRUE(
            SetEnvironmentVariableA("SystemRoot", c.systemRoot ? c.systemRoot->c_str() : nullptr) ||
            !c.systemRoot);
        CMBDeviceService service(L"{E422F724-24B1-448C-B3E0-9A69401490D3}");
        EXPECT_EQ(service.FindFirmwareImage(), c.expected);
    }
}

// The listing's order is the file system's (by name, without regard to case, here as on
// NTFS), not the order of creation; the lookup takes the first entry it returns.
TEST_F(FirmwareImageLookup, SeveralMatchesGiveTheFirstListed) {
    const std::vector<std::string> created = {
        "Lumbra_QB4410_NAND_c.fls", "lumbra_qb4410_nand_B.fls", "Lumbra_QB4410_NAND_a2.fls",
        "LUMBRA_QB4410_NAND_A1.FLS"};
    for (const auto& name : created) {
        Create("c/windows/Firmware/Velto/" + name);
    }
    const std::string folder = "C:\\windows\\Firmware\\Velto\\";
    WIN32_FIND_DATAA data = {};
    HANDLE find = FindFirstFileA((folder + "Lumbra_QB4410_NAND*.fls").c_str(), &data);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    FindClose(find);
    EXPECT_STREQ(data.cFileName, "LUMBRA_QB4410_NAND_A1.FLS");

    CMBDeviceService service(L"{E422F724-24B1-448C-B3E0-9A69401490D3}");
    EXPECT_EQ(service.FindFirmwareImage(), folder + data.cFileName);
}

}  // namespace
}  // namespace brelk::test
