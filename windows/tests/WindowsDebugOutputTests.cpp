// The debugger output the seam captures on Windows, from the exceptions OutputDebugStringA/W
// raise.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "HostSystem.h"

namespace brelk::test {
namespace {

TEST(WindowsDebugOutput, EachCallIsOneEntryInItsThreadsOrderAsUtf8) {
    // The program's manifest makes UTF-8 the ANSI code page, so both forms carry any text.
    ASSERT_EQ(GetACP(), static_cast<UINT>(CP_UTF8));
    auto& debugger = sim::Host().Debugger();
    debugger.Clear();
    constexpr int kThreads = 4;
    constexpr int kCalls = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kCalls; ++i) {
                const std::string head =
                    "thread " + std::to_string(t) + " call " + std::to_string(i) + " ";
                if (i % 2 == 0) {
                    OutputDebugStringA((head + "\u00fc\u20ac").c_str());
                } else {
                    OutputDebugStringW(
                        (std::wstring(head.begin(), head.end()) + L"\u00fc\u20ac").c_str());
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }

    const std::vector<std::string> entries = debugger.Read();
    EXPECT_EQ(entries.size(), static_cast<size_t>(kThreads * kCalls));
    for (int t = 0; t < kThreads; ++t) {
        SCOPED_TRACE(t);
        const std::string prefix = "thread " + std::to_string(t) + " ";
        std::vector<std::string> own;
        for (const auto& entry : entries) {
            if (entry.rfind(prefix, 0) == 0) {
                own.push_back(entry);
            }
        }
        ASSERT_EQ(own.size(), static_cast<size_t>(kCalls));
        for (int i = 0; i < kCalls; ++i) {
            EXPECT_EQ(own[i], prefix + "call " + std::to_string(i) + " \u00fc\u20ac");
        }
    }
    debugger.Clear();
    EXPECT_TRUE(debugger.Read().empty());
}

TEST(WindowsDebugOutput, TakesTheTextADebuggerIsSentAndContinuesTheCaller) {
    // The wide raise as Windows 10 makes it for a debugger that takes Unicode (Wine 8's
    // OutputDebugStringW converts to the ANSI code page and raises the ANSI form only).
    const wchar_t wide[] = L"wide \u00fc";
    const char narrow[] = "wide ?";
    const char ansi[] = "ansi";
    const struct {
        const char* name;
        DWORD code;
        std::vector<ULONG_PTR> arguments;
        std::string expected;
    } cases[] = {
        {"wide, with its ANSI form",
         DBG_PRINTEXCEPTION_WIDE_C,
         {wcslen(wide) + 1, reinterpret_cast<ULONG_PTR>(wide), strlen(narrow) + 1,
          reinterpret_cast<ULONG_PTR>(narrow)},
         "wide \u00fc"},
        {"ANSI",
         DBG_PRINTEXCEPTION_C,
         {strlen(ansi) + 1, reinterpret_cast<ULONG_PTR>(ansi)},
         "ansi"},
        {"wide, shorter than its terminator",
         DBG_PRINTEXCEPTION_WIDE_C,
         {3, reinterpret_cast<ULONG_PTR>(wide)},
         "wi"},
    };
    auto& debugger = sim::Host().Debugger();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        debugger.Clear();
        RaiseException(c.code, 0, static_cast<DWORD>(c.arguments.size()), c.arguments.data());
        EXPECT_EQ(debugger.Read(), std::vector<std::string>{c.expected});
    }
    debugger.Clear();
}

}  // namespace
}  // namespace brelk::test
