// What the built modules offer and need, read from their PE files: each exports exactly
// its names (undecorated on x86 too), and imports only DLLs that Windows itself ships.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <iterator>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "PeImage.h"

namespace {

std::wstring Env(const wchar_t* name) {
    wchar_t buffer[MAX_PATH * 2] = {};
    const DWORD n = GetEnvironmentVariableW(name, buffer, MAX_PATH * 2);
    return n > 0 && n < MAX_PATH * 2 ? std::wstring(buffer) : std::wstring();
}

// Folders of the x64 and x86 builds' modules, set by the test run.
std::wstring Bin64() {
    return Env(L"BRELK_WIN64_BIN");
}
std::wstring Bin32() {
    return Env(L"BRELK_WIN32_BIN");
}

brelk::pe::Image LoadImage(const std::wstring& path) {
    std::string error;
    auto image = brelk::pe::Load(path, &error);
    if (!image) {
        ADD_FAILURE() << "cannot read the PE file: " << error;
        return {};
    }
    return *image;
}

std::vector<std::string> Names(const brelk::pe::Image& image) {
    std::vector<std::string> names;
    for (const auto& e : image.exports) {
        names.push_back(e.name);
    }
    return names;
}

const std::vector<std::string> kParlexExports = {"CheckForFwUpdate", "FWUpgradeResult",
                                                 "GetMaxRetryCountFromOEM", "IsDriverCheckRequired",
                                                 "SendRetryCountToOEM"};

struct ModuleCase {
    std::string name;
    bool x86;
    std::wstring file;  // below the build's bin folder
    std::vector<std::string> exports;
};

std::vector<ModuleCase> Modules() {
    std::vector<ModuleCase> cases;
    for (bool x86 : {false, true}) {
        const std::string arch = x86 ? " x86" : " x64";
        if (!x86) {
            cases.push_back({"Brelk" + arch,
                             x86,
                             L"Brelk.dll",
                             {"DllGetClassObject", "Microsoft_WDF_UMDF_Version"}});
        }
        cases.push_back({"Parlex" + arch, x86, L"Parlex.dll", kParlexExports});
        cases.push_back(
            {"Parlex limit5" + arch, x86, L"parlex-variants\\limit5\\Parlex.dll", kParlexExports});
        // Each test variant lacks exactly the export it is named after.
        for (const auto& omitted : kParlexExports) {
            std::vector<std::string> rest;
            std::copy_if(kParlexExports.begin(), kParlexExports.end(), std::back_inserter(rest),
                         [&](const std::string& e) { return e != omitted; });
            cases.push_back({"Parlex no-" + omitted + arch, x86,
                             L"parlex-variants\\no-" +
                                 std::wstring(omitted.begin(), omitted.end()) + L"\\Parlex.dll",
                             rest});
        }
    }
    return cases;
}

TEST(ModuleExports, EachModuleExportsExactlyItsNames) {
    ASSERT_FALSE(Bin64().empty()) << "BRELK_WIN64_BIN is not set";
    ASSERT_FALSE(Bin32().empty()) << "BRELK_WIN32_BIN is not set";
    for (const auto& c : Modules()) {
        SCOPED_TRACE(c.name);
        const auto image = LoadImage((c.x86 ? Bin32() : Bin64()) + L"\\" + c.file);
        EXPECT_EQ(image.machine, c.x86 ? IMAGE_FILE_MACHINE_I386 : IMAGE_FILE_MACHINE_AMD64);
        EXPECT_EQ(image.pe32plus, !c.x86);
        EXPECT_EQ(Names(image), c.exports);
    }
}

TEST(ModuleExports, ImportsNameOnlySystemDlls) {
    const std::set<std::string> system = {"advapi32.dll", "kernel32.dll", "msvcrt.dll",
                                          "ole32.dll",    "oleaut32.dll", "setupapi.dll"};
    for (const auto& c : Modules()) {
        SCOPED_TRACE(c.name);
        const auto image = LoadImage((c.x86 ? Bin32() : Bin64()) + L"\\" + c.file);
        EXPECT_FALSE(image.imports.empty());
        for (std::string dll : image.imports) {
            std::transform(dll.begin(), dll.end(), dll.begin(),
                           [](char ch) { return static_cast<char>(std::tolower(ch)); });
            EXPECT_TRUE(system.count(dll) == 1) << dll;
        }
    }
}

TEST(ModuleExports, FrameworkVersionIsADataExportOf1_11) {
    const auto image = LoadImage(Bin64() + L"\\Brelk.dll");
    const auto it = std::find_if(image.exports.begin(), image.exports.end(), [](const auto& e) {
        return e.name == "Microsoft_WDF_UMDF_Version";
    });
    ASSERT_NE(it, image.exports.end());
    EXPECT_FALSE(image.IsCode(it->rva));
    // Three 32-bit numbers, little-endian: major, minor, service.
    const auto bytes = image.Read(it->rva, 12);
    ASSERT_EQ(bytes.size(), 12u);
    uint32_t numbers[3];
    std::memcpy(numbers, bytes.data(), sizeof(numbers));
    EXPECT_EQ(numbers[0], 1u);
    EXPECT_EQ(numbers[1], 11u);

    // The loader gives the same record by name.
    HMODULE brelk = LoadLibraryW((Bin64() + L"\\Brelk.dll").c_str());
    ASSERT_NE(brelk, nullptr) << GetLastError();
    const auto* version =
        reinterpret_cast<const ULONG*>(GetProcAddress(brelk, "Microsoft_WDF_UMDF_Version"));
    ASSERT_NE(version, nullptr);
    EXPECT_EQ(version[0], 1u);
    EXPECT_EQ(version[1], 11u);
    FreeLibrary(brelk);
}

TEST(ModuleExports, LoaderFindsParlexByUndecoratedNames) {
    HMODULE parlex = LoadLibraryW((Bin64() + L"\\Parlex.dll").c_str());
    ASSERT_NE(parlex, nullptr) << GetLastError();
    for (const auto& name : kParlexExports) {
        EXPECT_NE(reinterpret_cast<void*>(GetProcAddress(parlex, name.c_str())), nullptr) << name;
    }
    using Query = INT32(WINAPI*)();
    auto retries = reinterpret_cast<Query>(
        reinterpret_cast<void*>(GetProcAddress(parlex, "GetMaxRetryCountFromOEM")));
    ASSERT_NE(retries, nullptr);
    EXPECT_EQ(retries(), 3);
    FreeLibrary(parlex);
}

}  // namespace
