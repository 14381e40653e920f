// Module loading: search order, reference counts, DllMain calls, exports.
#include <windows.h>
#include <winplat/debugout.h>
#include <winplat/drives.h>
#include <winplat/stats.h>

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "TestFolders.h"

namespace fs = std::filesystem;

namespace brelk::test {
namespace {

constexpr DWORD kSentinel = 0xdeadbeef;

std::vector<std::string> TakeDebugOutput() {
    auto lines = WinplatGetDebugOutput();
    WinplatClearDebugOutput();
    return lines;
}

// FARPROC is generic; the detour through void (*)() is the cast GCC accepts.
template <typename Fn>
Fn Export(HMODULE h, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(h, name)));
}

fs::path ProgramFolder() {
    return fs::read_symlink("/proc/self/exe").parent_path();
}

std::string ModuleFolder(HMODULE h) {
    char path[MAX_PATH] = {};
    if (GetModuleFileNameA(h, path, MAX_PATH) == 0) {
        return {};
    }
    return fs::path(path).parent_path().string();
}

class TempDir {
public:
    TempDir() : m_path(FreshFolder("winplat-mod")) {}
    ~TempDir() { fs::remove_all(m_path); }
    const fs::path& path() const { return m_path; }

private:
    fs::path m_path;
};

// Runs a test body with a different current folder and PATH, restoring both.
class ScopedCwdAndPath {
public:
    ScopedCwdAndPath(const fs::path& cwd, const std::string& path)
        : m_cwd(fs::current_path()),
          m_hadPath(getenv("PATH") != nullptr),
          m_path(m_hadPath ? getenv("PATH") : "") {
        fs::current_path(cwd);
        setenv("PATH", path.c_str(), 1);
    }
    ~ScopedCwdAndPath() {
        fs::current_path(m_cwd);
        if (m_hadPath) {
            setenv("PATH", m_path.c_str(), 1);
        } else {
            unsetenv("PATH");
        }
    }

private:
    fs::path m_cwd;
    bool m_hadPath;
    std::string m_path;
};

TEST(Loader, ReferenceCountsAndDllMainCalls) {
    const size_t modules = WinplatLoadedModuleCount();
    WinplatClearDebugOutput();
    HMODULE first = LoadLibraryW(L"platprobe.dll");  // file is PlatProbe.dll
    ASSERT_NE(first, nullptr);
    HMODULE second = LoadLibraryA("PLATPROBE");  // ".dll" is implied
    EXPECT_EQ(second, first);
    EXPECT_EQ(TakeDebugOutput(), std::vector<std::string>{"PlatProbe process attach"});
    EXPECT_EQ(WinplatLoadedModuleCount(), modules + 1);

    auto instance = Export<HINSTANCE (*)()>(first, "ProbeInstance");
    auto add = Export<int (*)(int, int)>(first, "ProbeAdd");
    ASSERT_NE(instance, nullptr);
    ASSERT_NE(add, nullptr);
    EXPECT_EQ(instance(), first);  // DllMain's hinstDLL is the HMODULE
    EXPECT_EQ(add(2, 3), 5);

    // Found by file name in any case, ".dll" implied, without a reference of its own.
    EXPECT_EQ(GetModuleHandleW(L"PLATPROBE.DLL"), first);
    EXPECT_EQ(GetModuleHandleW(L"platprobe"), first);

    EXPECT_TRUE(FreeLibrary(first));
    EXPECT_EQ(TakeDebugOutput(), std::vector<std::string>{});  // one reference left
    EXPECT_TRUE(FreeLibrary(second));
    SetLastError(kSentinel);
    EXPECT_EQ(GetModuleHandleW(L"PlatProbe.dll"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    EXPECT_EQ(TakeDebugOutput(), std::vector<std::string>{"PlatProbe process detach"});
    EXPECT_EQ(WinplatLoadedModuleCount(), modules);

    SetLastError(kSentinel);
    EXPECT_FALSE(FreeLibrary(first));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    SetLastError(kSentinel);
    EXPECT_EQ(GetProcAddress(first, "ProbeAdd"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

TEST(Loader, GetProcAddressFindsOnlyTheModulesOwnExports) {
    HMODULE h = LoadLibraryW(L"PlatProbe.dll");
    ASSERT_NE(h, nullptr);
    // "GetLastError" is exported by a library the module depends on, not by the module.
    for (const char* name : {"NoSuchExport", "probeadd", "GetLastError"}) {
        SCOPED_TRACE(name);
        SetLastError(kSentinel);
        EXPECT_EQ(GetProcAddress(h, name), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
    }
    SetLastError(kSentinel);
    EXPECT_EQ(GetProcAddress(h, reinterpret_cast<LPCSTR>(1)), nullptr);  // ordinal
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
    FreeLibrary(h);
}

TEST(Loader, FailingDllMainFailsTheLoadAndUnloads) {
    const size_t modules = WinplatLoadedModuleCount();
    for (int attempt = 0; attempt < 2; ++attempt) {
        SCOPED_TRACE(attempt);
        WinplatClearDebugOutput();
        SetLastError(kSentinel);
        EXPECT_EQ(LoadLibraryW(L"PlatInitFail.dll"), nullptr);
        EXPECT_EQ(GetLastError(), 1114u);  // ERROR_DLL_INIT_FAILED
        EXPECT_EQ(TakeDebugOutput(), (std::vector<std::string>{"PlatInitFail process attach",
                                                               "PlatInitFail process detach"}));
        EXPECT_EQ(WinplatLoadedModuleCount(), modules);
    }
}

DWORD WINAPI Nothing(LPVOID) {
    return 0;
}

void RunOneThread() {
    HANDLE t = CreateThread(nullptr, 0, Nothing, nullptr, 0, nullptr);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(WaitForSingleObject(t, 10000), WAIT_OBJECT_0);
    CloseHandle(t);
}

TEST(Loader, ThreadNotificationsUntilDisabled) {
    HMODULE h = LoadLibraryW(L"PlatProbe.dll");
    ASSERT_NE(h, nullptr);
    WinplatClearDebugOutput();
    RunOneThread();
    EXPECT_EQ(TakeDebugOutput(),
              (std::vector<std::string>{"PlatProbe thread attach", "PlatProbe thread detach"}));
    auto disable = Export<BOOL (*)()>(h, "ProbeDisableThreadCalls");
    ASSERT_NE(disable, nullptr);
    EXPECT_TRUE(disable());
    RunOneThread();
    EXPECT_EQ(TakeDebugOutput(), std::vector<std::string>{});
    EXPECT_TRUE(FreeLibrary(h));
    SetLastError(kSentinel);
    EXPECT_FALSE(DisableThreadLibraryCalls(h));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    WinplatClearDebugOutput();
}

TEST(Loader, SearchOrderIsProgramFolderThenCurrentFolderThenPath) {
    TempDir cwd, pathDir;
    const fs::path probe = ProgramFolder() / "PlatProbe.dll";
    const fs::path copies[] = {ProgramFolder() / "SearchOrderProbe.dll",
                               cwd.path() / "searchorderprobe.DLL",
                               pathDir.path() / "SEARCHORDERPROBE.dll"};
    for (const auto& copy : copies) {
        fs::copy_file(probe, copy, fs::copy_options::overwrite_existing);
    }
    ScopedCwdAndPath scope(cwd.path(), "/nonexistent-folder:" + pathDir.path().string());
    for (const auto& copy : copies) {
        SCOPED_TRACE(copy.string());
        HMODULE h = LoadLibraryW(L"SearchOrderProbe.dll");
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(ModuleFolder(h), fs::canonical(copy.parent_path()).string());
        EXPECT_TRUE(FreeLibrary(h));
        fs::remove(copy);  // uncovers the next place in the order
    }
    SetLastError(kSentinel);
    EXPECT_EQ(LoadLibraryW(L"SearchOrderProbe.dll"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    WinplatClearDebugOutput();
}

TEST(Loader, NameWithPathIsUsedAsIs) {
    TempDir root;
    fs::create_directories(root.path() / "Mods");
    fs::copy_file(ProgramFolder() / "PlatProbe.dll", root.path() / "Mods" / "PathProbe.dll");
    std::ofstream(root.path() / "Mods" / "NotElf.dll") << "MZ this is not a module";
    ASSERT_TRUE(WinplatMapDrive(L'Q', root.path().c_str()));

    HMODULE h = LoadLibraryW(L"q:\\MODS\\\\pathprobe.DLL");
    ASSERT_NE(h, nullptr);
    char name[MAX_PATH];
    EXPECT_GT(GetModuleFileNameA(h, name, MAX_PATH), 0u);
    EXPECT_STREQ(name, "Q:\\Mods\\PathProbe.dll");
    FreeLibrary(h);

    struct Case {
        const wchar_t* name;
        DWORD error;
    };
    const Case cases[] = {
        // A path is not searched for, even though PlatProbe.dll is in the program folder.
        {L".\\no-such-folder\\PlatProbe.dll", ERROR_MOD_NOT_FOUND},
        {L"Q:\\PlatProbe.dll", ERROR_MOD_NOT_FOUND},
        {L"NoSuchModule.dll", ERROR_MOD_NOT_FOUND},
        {L"", ERROR_MOD_NOT_FOUND},
        {L"Q:\\Mods\\NotElf.dll", ERROR_BAD_EXE_FORMAT},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.name)));
        SetLastError(kSentinel);
        EXPECT_EQ(LoadLibraryW(c.name), nullptr);
        EXPECT_EQ(GetLastError(), c.error);
    }
    SetLastError(kSentinel);
    EXPECT_EQ(LoadLibraryW(nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    SetLastError(kSentinel);
    EXPECT_EQ(GetProcAddress(reinterpret_cast<HMODULE>(0xdeadbeef), "ProbeAdd"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    WinplatUnmapDrive(L'Q');
    WinplatClearDebugOutput();
}

}  // namespace
}  // namespace brelk::test
