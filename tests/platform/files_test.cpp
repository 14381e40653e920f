// Drive mapping, wildcard search and the debug sink (the layer's extensions).
#include <windows.h>
#include <winplat/debugout.h>
#include <winplat/drives.h>

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "TestFolders.h"

namespace fs = std::filesystem;

namespace brelk::test {
namespace {

constexpr DWORD kSentinel = 0xdeadbeef;

// C: maps onto a scratch tree:
//   noext2, file.txt, windows/Firmware/Velto/{Lumbra_QB4410_NAND.fls (5 bytes),
//   lumbra_qb4410_nand_v2.FLS, Lumbra_QB4410_NANDdir.fls/, other.txt, a, a.b.c}
class DriveC : public testing::Test {
protected:
    void SetUp() override {
        m_root = FreshFolder("winplat-files");
        m_velto = m_root / "windows" / "Firmware" / "Velto";
        fs::create_directories(m_velto / "Lumbra_QB4410_NANDdir.fls");
        std::ofstream(m_velto / "Lumbra_QB4410_NAND.fls") << "12345";
        for (const char* name : {"lumbra_qb4410_nand_v2.FLS", "other.txt", "a", "a.b.c"}) {
            std::ofstream(m_velto / name) << "x";
        }
        std::ofstream(m_root / "noext2") << "x";
        std::ofstream(m_root / "file.txt") << "x";
        ASSERT_TRUE(WinplatMapDrive(L'C', m_root.c_str()));
    }
    void TearDown() override {
        WinplatUnmapDrive(L'C');
        fs::permissions(m_velto / "other.txt", fs::perms::owner_write, fs::perm_options::add);
        fs::remove_all(m_root);
    }

    static std::vector<std::string> List(const char* pattern) {
        std::vector<std::string> names;
        WIN32_FIND_DATAA data;
        HANDLE h = FindFirstFileA(pattern, &data);
        if (h == INVALID_HANDLE_VALUE) {
            return names;
        }
        do {
            names.push_back(data.cFileName);
        } while (FindNextFileA(h, &data));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
        EXPECT_TRUE(FindClose(h));
        return names;
    }

    fs::path m_root;
    fs::path m_velto;
};

using Names = std::vector<std::string>;

TEST_F(DriveC, WildcardsFollowWin32Rules) {
    const Names all = {".",
                       "..",
                       "a",
                       "a.b.c",
                       "Lumbra_QB4410_NAND.fls",
                       "Lumbra_QB4410_NANDdir.fls",
                       "lumbra_qb4410_nand_v2.FLS",
                       "other.txt"};
    struct Case {
        const char* pattern;
        Names expected;
    };
    const Case cases[] = {
        // The star may match nothing; a matching folder is listed like a file; case is
        // ignored; order is by name without regard to case.
        {"C:\\windows\\Firmware\\Velto\\Lumbra_QB4410_NAND*.fls",
         {"Lumbra_QB4410_NAND.fls", "Lumbra_QB4410_NANDdir.fls", "lumbra_qb4410_nand_v2.FLS"}},
        {"c:/WINDOWS//firmware\\\\VELTO/lumbra_qb4410_nand*.FLS",
         {"Lumbra_QB4410_NAND.fls", "Lumbra_QB4410_NANDdir.fls", "lumbra_qb4410_nand_v2.FLS"}},
        {"C:\\windows\\Firmware\\Velto\\*", all},
        {"C:\\windows\\Firmware\\Velto\\*.*", all},  // also names without a dot
        {"C:\\windows\\Firmware\\Velto\\a.*", {"a", "a.b.c"}},
        {"C:\\windows\\Firmware\\Velto\\?ther.tx?", {"other.txt"}},
        {"C:\\windows\\Firmware\\Velto\\OTHER.TXT", {"other.txt"}},
        {"C:\\windows\\Firmware\\Velto\\*.c", {"a.b.c"}},
        {"C:\\windows\\Firmware", {"Firmware"}},  // the folder itself
        {"C:\\windows\\Firmware\\.", {"Firmware"}},
        {"C:\\windows\\Firmware\\Velto\\..\\.\\Velto\\o*", {"other.txt"}},
        // A drive's root has no "." and ".."; "*." means names without an extension.
        {"C:\\*", {"file.txt", "noext2", "windows"}},
        {"C:\\*.", {"noext2", "windows"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pattern);
        EXPECT_EQ(List(c.pattern), c.expected);
    }
}

TEST_F(DriveC, FindDataDescribesTheEntry) {
    fs::permissions(m_velto / "other.txt", fs::perms::owner_write, fs::perm_options::remove);
    struct Case {
        const char* pattern;
        DWORD attributes;
        DWORD sizeLow;
    };
    const Case cases[] = {
        {"C:\\windows\\Firmware\\Velto\\Lumbra_QB4410_NAND.fls", FILE_ATTRIBUTE_NORMAL, 5},
        {"C:\\windows\\Firmware\\Velto\\Lumbra_QB4410_NANDdir.fls", FILE_ATTRIBUTE_DIRECTORY, 0},
        {"C:\\windows\\Firmware\\Velto\\other.txt", FILE_ATTRIBUTE_READONLY, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pattern);
        WIN32_FIND_DATAA data;
        memset(&data, 0xAB, sizeof data);
        HANDLE h = FindFirstFileA(c.pattern, &data);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        EXPECT_EQ(data.dwFileAttributes, c.attributes);
        EXPECT_EQ(data.nFileSizeHigh, 0u);
        EXPECT_EQ(data.nFileSizeLow, c.sizeLow);
        EXPECT_EQ(strrchr(c.pattern, '\\') + 1, std::string(data.cFileName));
        EXPECT_EQ(data.cAlternateFileName[0], '\0');
        EXPECT_NE(data.ftLastWriteTime.dwHighDateTime, 0xABABABABu);
        SetLastError(kSentinel);
        EXPECT_FALSE(FindNextFileA(h, &data));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
        EXPECT_TRUE(FindClose(h));
        SetLastError(kSentinel);
        EXPECT_FALSE(FindClose(h));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    }
}

TEST_F(DriveC, SearchFailuresReportWindowsErrors) {
    struct Case {
        const char* pattern;
        DWORD error;
    };
    const Case cases[] = {
        {"C:\\windows\\NoSuchFolder\\*.fls", ERROR_PATH_NOT_FOUND},
        {"Q:\\windows\\*", ERROR_PATH_NOT_FOUND},  // unmapped drive
        {"C:\\file.txt\\*", ERROR_PATH_NOT_FOUND},
        {"C:\\windows\\Firmware\\Velto\\*.bin", ERROR_FILE_NOT_FOUND},
        {"C:\\windows\\Firmware\\Velto\\", ERROR_FILE_NOT_FOUND},  // trailing separator
        {"", ERROR_PATH_NOT_FOUND},
        {"C:\\win*\\Firmware\\*", ERROR_INVALID_NAME},  // wildcards only in the last part
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pattern);
        WIN32_FIND_DATAA data;
        SetLastError(kSentinel);
        EXPECT_EQ(FindFirstFileA(c.pattern, &data), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), c.error);
    }
    SetLastError(kSentinel);
    EXPECT_EQ(FindFirstFileA("C:\\*", nullptr), INVALID_HANDLE_VALUE);
    EXPECT_NE(GetLastError(), kSentinel);
}

TEST_F(DriveC, HostPathConversion) {
    const std::string root = fs::canonical(m_root).string();
    struct Case {
        const char* windows;
        std::string host;
    };
    const Case cases[] = {
        {"C:\\WINDOWS\\firmware\\velto\\OTHER.txt", root + "/windows/Firmware/Velto/other.txt"},
        {"c:/windows//Firmware\\\\velto\\", root + "/windows/Firmware/Velto"},
        {"C:\\windows\\.\\..\\..\\file.txt", root + "/file.txt"},  // never above the root
        {"C:\\windows\\NewFolder\\New.txt", root + "/windows/NewFolder/New.txt"},
        {"C:", root},
        {"Z:\\windows", ""},  // unmapped
        {"\\\\server\\share\\x", ""},
        {"", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.windows);
        EXPECT_EQ(WinplatToHostPath(std::string_view(c.windows)), c.host);
    }
    EXPECT_EQ(WinplatToHostPath(std::wstring_view(L"C:\\Windows")), root + "/windows");
    EXPECT_FALSE(WinplatMapDrive(L'1', "/tmp"));
    EXPECT_FALSE(WinplatMapDrive(L'D', ""));
}

TEST(DebugOutput, OneEntryPerCallInOrder) {
    WinplatClearDebugOutput();
    OutputDebugStringA("narrow\n");
    OutputDebugStringW(L"wide \u00fc\u20ac");
    OutputDebugStringA("");
    OutputDebugStringA(nullptr);  // ignored
    EXPECT_EQ(WinplatGetDebugOutput(),
              (std::vector<std::string>{"narrow\n", "wide \xc3\xbc\xe2\x82\xac", ""}));

    testing::internal::CaptureStderr();
    WinplatSetDebugEcho(true);
    OutputDebugStringW(L"echoed");
    WinplatSetDebugEcho(false);
    OutputDebugStringA("quiet");
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("] echoed\n"), std::string::npos) << err;
    EXPECT_EQ(err.find("quiet"), std::string::npos) << err;

    WinplatClearDebugOutput();
    EXPECT_TRUE(WinplatGetDebugOutput().empty());
}

TEST(DebugOutput, ConcurrentWritersLoseNothing) {
    WinplatClearDebugOutput();
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([t] {
            for (int i = 0; i < 250; ++i) {
                OutputDebugStringA(("w" + std::to_string(t) + ":" + std::to_string(i)).c_str());
            }
        });
    }
    for (auto& w : writers) {
        w.join();
    }
    const auto lines = WinplatGetDebugOutput();
    EXPECT_EQ(lines.size(), 1000u);
    // Each writer's lines keep their order.
    std::vector<int> next(4, 0);
    for (const auto& line : lines) {
        const int t = line[1] - '0';
        EXPECT_EQ(line, "w" + std::to_string(t) + ":" + std::to_string(next[t]++));
    }
    WinplatClearDebugOutput();
}

}  // namespace
}  // namespace brelk::test
