// Environment variables as Windows defines them.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

namespace brelk::test {
namespace {

constexpr DWORD kSentinel = 0xdeadbeef;

TEST(Environment, GetEnvironmentVariableAReturnValues) {
    ASSERT_TRUE(SetEnvironmentVariableA("WinplatTestVar", "abc"));
    ASSERT_TRUE(SetEnvironmentVariableA("WinplatTestEmpty", ""));
    struct Case {
        const char* name;
        DWORD size;  // buffer size passed; 0 passes a null buffer
        DWORD result;
        DWORD lastError;  // kSentinel: left unchanged
        const char* buffer;
    };
    const Case cases[] = {
        {"WinplatTestVar", 4, 3, kSentinel, "abc"},
        {"wINPLATtESTvAR", 16, 3, kSentinel, "abc"},
        {"WinplatTestVar", 3, 4, kSentinel, "XXXXXXX"},  // too small: size needed, untouched
        {"WinplatTestVar", 0, 4, kSentinel, "XXXXXXX"},
        {"WinplatTestEmpty", 4, 0, kSentinel, ""},
        {"WinplatTestEmpty", 0, 1, kSentinel, "XXXXXXX"},
        {"WinplatTestMissing", 4, 0, ERROR_ENVVAR_NOT_FOUND, "XXXXXXX"},
        {"", 4, 0, ERROR_ENVVAR_NOT_FOUND, "XXXXXXX"},
        {"Winplat=TestVar", 4, 0, ERROR_ENVVAR_NOT_FOUND, "XXXXXXX"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " size " + std::to_string(c.size));
        char buffer[8] = "XXXXXXX";
        SetLastError(kSentinel);
        EXPECT_EQ(GetEnvironmentVariableA(c.name, c.size ? buffer : nullptr, c.size), c.result);
        EXPECT_EQ(GetLastError(), c.lastError);
        EXPECT_STREQ(buffer, c.buffer);
    }
    // Wide form counts characters the same way.
    wchar_t wide[8] = {};
    EXPECT_EQ(GetEnvironmentVariableW(L"WINPLATTESTVAR", wide, 8), 3u);
    EXPECT_STREQ(wide, L"abc");
    EXPECT_EQ(GetEnvironmentVariableW(L"WinplatTestVar", wide, 3), 4u);

    // Setting through another case replaces the variable; a null value deletes it.
    ASSERT_TRUE(SetEnvironmentVariableW(L"WINPLATTESTVAR", L"xyz"));
    char buffer[8] = {};
    EXPECT_EQ(GetEnvironmentVariableA("WinplatTestVar", buffer, 8), 3u);
    EXPECT_STREQ(buffer, "xyz");
    for (const char* name : {"WinplatTestVar", "WinplatTestEmpty"}) {
        EXPECT_TRUE(SetEnvironmentVariableA(name, nullptr));
        SetLastError(kSentinel);
        EXPECT_EQ(GetEnvironmentVariableA(name, buffer, 8), 0u);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ENVVAR_NOT_FOUND));
    }
    SetLastError(kSentinel);
    EXPECT_FALSE(SetEnvironmentVariableA("", "x"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

}  // namespace
}  // namespace brelk::test
