#include "TestFolders.h"

#include <windows.h>
#include <winplat/debugout.h>

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>

namespace brelk::test {

std::filesystem::path FreshFolder(const char* tag) {
    std::string pattern =
        (std::filesystem::temp_directory_path() / ("brelk-" + std::string(tag) + "-XXXXXX"))
            .string();
    const bool created = mkdtemp(pattern.data()) != nullptr;
    EXPECT_TRUE(created) << pattern;
    return created ? std::filesystem::path(pattern) : std::filesystem::path();
}

std::string BinFolder() {
    return BRELK_TEST_BIN_DIR;
}

void UseModuleFolder(const std::string& folder) {
    ASSERT_EQ(chdir(folder.c_str()), 0) << folder;
    ASSERT_TRUE(SetEnvironmentVariableA("PATH", BinFolder().c_str()));
}

size_t CountDebugOutput(const std::string& text) {
    const auto all = WinplatGetDebugOutput();
    return static_cast<size_t>(std::count(all.begin(), all.end(), text));
}

}  // namespace brelk::test
