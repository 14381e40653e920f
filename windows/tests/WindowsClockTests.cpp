// The seam's clock on Windows: its scale, platform time across changes of scale, and a
// module's own Sleep, WaitForSingleObject and GetTickCount64 bound to it.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "HostSystem.h"

namespace brelk::test {
namespace {

class WindowsClock : public ::testing::Test {
protected:
    void SetUp() override { m_Scale = Time().Scale(); }
    void TearDown() override { Time().SetScale(m_Scale); }

    static sim::Clock& Time() { return sim::Host().Time(); }

    static uint64_t RealNs() {
        LARGE_INTEGER count = {};
        LARGE_INTEGER frequency = {};
        QueryPerformanceCounter(&count);
        QueryPerformanceFrequency(&frequency);
        return static_cast<uint64_t>(static_cast<long double>(count.QuadPart) * 1e9L /
                                     static_cast<long double>(frequency.QuadPart));
    }

    template <typename Fn>
    static Fn Export(HMODULE module, const char* name) {
        return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
    }

private:
    double m_Scale = 1;
};

TEST_F(WindowsClock, PlatformTimeGoesOnFromWhereItWasWhenTheScaleChanges) {
    // Between two readings platform time grows by at most the larger scale times the real
    // time between them, and never falls back; scaling the whole time since the clock
    // started would do neither.
    const struct {
        const char* name;
        double scale;
    } steps[] = {{"faster", 1e6}, {"slower", 1e-3}, {"back", 1}};
    for (const auto& step : steps) {
        SCOPED_TRACE(step.name);
        const double before = Time().Scale();
        const uint64_t realStart = RealNs();
        const uint64_t start = Time().NowNs();
        ASSERT_TRUE(Time().SetScale(step.scale));
        const uint64_t end = Time().NowNs();
        const uint64_t realEnd = RealNs();
        EXPECT_GE(end, start);
        EXPECT_LE(static_cast<double>(end - start),
                  static_cast<double>(realEnd - realStart) * std::max(before, step.scale) + 2);
    }

    ASSERT_TRUE(Time().SetScale(100));
    EXPECT_EQ(Time().ScaledWait(1000), std::chrono::milliseconds(10));
    for (double refused : {0.0, -1.0, std::nan(""), HUGE_VAL}) {
        EXPECT_FALSE(Time().SetScale(refused)) << refused;
    }
    EXPECT_EQ(Time().Scale(), 100);
}

DWORD WINAPI SleepAnHour(void* asleep) {
    SetEvent(static_cast<HANDLE>(asleep));
    sim::Host().Time().Sleep(3600000);
    return 0;
}

TEST_F(WindowsClock, SleepInProgressFollowsAChangeOfScale) {
    ASSERT_TRUE(Time().SetScale(1));
    HANDLE asleep = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(asleep, nullptr);
    HANDLE sleeper = CreateThread(nullptr, 0, &SleepAnHour, asleep, 0, nullptr);
    ASSERT_NE(sleeper, nullptr);
    ASSERT_EQ(WaitForSingleObject(asleep, 60000), WAIT_OBJECT_0);
    // What is left of the hour now takes microseconds.
    ASSERT_TRUE(Time().SetScale(1e9));
    EXPECT_EQ(WaitForSingleObject(sleeper, 60000), WAIT_OBJECT_0);
    CloseHandle(sleeper);
    CloseHandle(asleep);
}

TEST_F(WindowsClock, ScaledModuleTakesItsTimeFromTheClock) {
    HMODULE module = LoadLibraryW(L"ClockImports.dll");
    ASSERT_NE(module, nullptr);
    const auto sleep = Export<void (*)(DWORD)>(module, "ProbeSleep");
    const auto wait = Export<DWORD (*)(HANDLE, DWORD)>(module, "ProbeWait");
    const auto tickCount64 = Export<ULONGLONG (*)()>(module, "ProbeTickCount64");
    const auto tickCount = Export<DWORD (*)()>(module, "ProbeTickCount");
    ASSERT_TRUE(sleep && wait && tickCount64 && tickCount);

    ASSERT_TRUE(Time().ScaleModule(module));
    ASSERT_TRUE(Time().ScaleModule(module));  // once more changes nothing
    ASSERT_TRUE(Time().SetScale(1e6));

    // An hour of the module's time passes in milliseconds, and no less than an hour of
    // platform time.
    ULONGLONG before = Time().NowMs();
    sleep(3600000);
    EXPECT_GE(Time().NowMs() - before, 3600000u);

    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    before = Time().NowMs();
    EXPECT_EQ(wait(event, 3600000), WAIT_TIMEOUT);
    EXPECT_GE(Time().NowMs() - before, 3600000u);
    SetEvent(event);
    EXPECT_EQ(wait(event, 3600000), WAIT_OBJECT_0);
    EXPECT_EQ(wait(event, INFINITE), WAIT_OBJECT_0);
    CloseHandle(event);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(wait(event, 1000), WAIT_FAILED);  // closed
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    // Platform time is now hours ahead of the system's tick count: the module's
    // GetTickCount64 reads the former, its GetTickCount still the latter.
    const ULONGLONG low = Time().NowMs();
    const ULONGLONG platform = tickCount64();
    const ULONGLONG high = Time().NowMs();
    EXPECT_LE(low, platform);
    EXPECT_LE(platform, high);
    const DWORD realLow = GetTickCount();
    const DWORD real = tickCount();
    const DWORD realHigh = GetTickCount();
    EXPECT_LE(static_cast<DWORD>(real - realLow), static_cast<DWORD>(realHigh - realLow));
    FreeLibrary(module);
}

TEST_F(WindowsClock, ScaleModuleRefusesWhatIsNoLoadedImage) {
    std::vector<BYTE> garbage(8192, 0xCC);
    garbage[0] = 'M';
    garbage[1] = 'Z';
    const std::vector<BYTE> before = garbage;
    HMODULE asData = LoadLibraryExW(L"ClockImports.dll", nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(asData, nullptr);
    const struct {
        const char* name;
        const void* module;
    } cases[] = {
        {"null", nullptr},
        {"heap bytes that start like an image", garbage.data()},
        {"an address inside a module", reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr)) + 0x1000},
        {"a module loaded as data", asData},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(Time().ScaleModule(static_cast<HMODULE>(const_cast<void*>(c.module))));
    }
    EXPECT_EQ(garbage, before);
    FreeLibrary(asData);
}

}  // namespace
}  // namespace brelk::test
