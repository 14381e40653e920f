// The layer's own extensions on the kernel side (winplat/*.h): the scaled clock and the
// API fault rules. Linux only; sync_test.cpp holds what Windows itself defines.
#include <windows.h>
#include <winplat/clock.h>
#include <winplat/faults.h>
#include <winplat/stats.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>

namespace brelk::test {
namespace {

constexpr DWORD kSentinel = 0xdeadbeef;

class ScaleGuard {
public:
    explicit ScaleGuard(double scale) : m_old(WinplatGetTimeScale()) { WinplatSetTimeScale(scale); }
    ~ScaleGuard() { WinplatSetTimeScale(m_old); }

private:
    double m_old;
};

TEST(Wait, TimeoutsRunOnTheScaledClock) {
    ScaleGuard scale(1000);
    HANDLE e = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const auto realStart = std::chrono::steady_clock::now();
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(WaitForSingleObject(e, 3000), static_cast<DWORD>(WAIT_TIMEOUT));
    const ULONGLONG afterWait = GetTickCount64();
    EXPECT_GE(afterWait - start, 3000u);
    Sleep(2000);
    EXPECT_GE(GetTickCount64() - afterWait, 2000u);
    // 5000 platform ms at 1000x take about 5 ms; a generous bound shows the scale applied.
    EXPECT_LT(std::chrono::steady_clock::now() - realStart, std::chrono::milliseconds(2500));
    CloseHandle(e);
}

TEST(Wait, TickCountStaysMonotonicAcrossScaleChanges) {
    ScaleGuard scale(1000);
    const ULONGLONG fast = GetTickCount64();
    Sleep(5000);
    const ULONGLONG later = GetTickCount64();
    EXPECT_GE(later, fast + 5000);
    ASSERT_TRUE(WinplatSetTimeScale(1));
    EXPECT_GE(GetTickCount64(), later);
    EXPECT_FALSE(WinplatSetTimeScale(0));
    EXPECT_FALSE(WinplatSetTimeScale(-2));
    EXPECT_EQ(WinplatGetTimeScale(), 1.0);
}

struct ReadyAndNever {
    HANDLE ready;
    HANDLE never;
};
DWORD WINAPI WaitTenMinutes(LPVOID p) {
    auto* events = static_cast<ReadyAndNever*>(p);
    SetEvent(events->ready);
    return WaitForSingleObject(events->never, 600000);
}

// A wait already blocked re-aims when the scale changes: ten platform minutes begun at
// scale 1 (ten real ones) end in 6 ms once the scale is 100 000, well within the main
// thread's 1000 platform hours (36 s) at that scale.
TEST(Wait, BlockedTimedWaitFollowsAScaleChange) {
    ScaleGuard scale(1);
    ReadyAndNever events = {CreateEventW(nullptr, TRUE, FALSE, nullptr),
                            CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    const HANDLE waiter = CreateThread(nullptr, 0, WaitTenMinutes, &events, 0, nullptr);
    ASSERT_NE(waiter, nullptr);
    // The waiter runs on into its wait while this thread wakes.
    ASSERT_EQ(WaitForSingleObject(events.ready, 10000), WAIT_OBJECT_0);
    ASSERT_TRUE(WinplatSetTimeScale(1e5));
    ASSERT_EQ(WaitForSingleObject(waiter, 3600000000u), WAIT_OBJECT_0);
    DWORD code = kSentinel;
    EXPECT_TRUE(GetExitCodeThread(waiter, &code));
    EXPECT_EQ(code, static_cast<DWORD>(WAIT_TIMEOUT));
    CloseHandle(waiter);
    CloseHandle(events.ready);
    CloseHandle(events.never);
}

DWORD WINAPI Nothing(LPVOID) {
    return 0;
}

TEST(Faults, RulePassesThenFailsThenPasses) {
    const size_t handles = WinplatOpenHandleCount();
    struct Case {
        const char* api;
        DWORD error;
        std::function<bool()> call;  // true when the call succeeded
    };
    CRITICAL_SECTION cs;
    const Case cases[] = {
        {"CreateEventW", ERROR_NOT_ENOUGH_MEMORY,
         [] {
             HANDLE h = CreateEventW(nullptr, FALSE, FALSE, nullptr);
             return h && CloseHandle(h);
         }},
        {"CreateMutexW", ERROR_ACCESS_DENIED,
         [] {
             HANDLE h = CreateMutexW(nullptr, FALSE, nullptr);
             return h && CloseHandle(h);
         }},
        {"CreateThread", ERROR_NOT_ENOUGH_MEMORY,
         [] {
             HANDLE h = CreateThread(nullptr, 0, Nothing, nullptr, 0, nullptr);
             return h && WaitForSingleObject(h, 10000) == WAIT_OBJECT_0 && CloseHandle(h);
         }},
        {"InitializeCriticalSectionAndSpinCount", ERROR_NOT_ENOUGH_MEMORY,
         [&] {
             const bool ok = InitializeCriticalSectionAndSpinCount(&cs, 0);
             if (ok) {
                 DeleteCriticalSection(&cs);
             }
             return ok;
         }},
        {"LoadLibraryW", ERROR_NOT_ENOUGH_MEMORY,
         [] {
             HMODULE m = LoadLibraryW(L"PlatProbe.dll");
             return m && FreeLibrary(m);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.api);
        WinplatFailApi(c.api, 1, 2, c.error);
        EXPECT_TRUE(c.call());
        for (int i = 0; i < 2; ++i) {
            SetLastError(kSentinel);
            EXPECT_FALSE(c.call());
            EXPECT_EQ(GetLastError(), c.error);
        }
        EXPECT_TRUE(c.call());
        WinplatClearApiFaults();
    }
    EXPECT_EQ(WinplatOpenHandleCount(), handles);
    WinplatFailApi("SafeArrayCreate", 0, WINPLAT_FAIL_ALWAYS, 0);
    DWORD error = kSentinel;
    EXPECT_TRUE(WinplatShouldFail("SafeArrayCreate", &error));
    EXPECT_EQ(error, 0u);
    EXPECT_FALSE(WinplatShouldFail("SafeArrayCreateVector"));
    WinplatClearApiFaults();
    EXPECT_FALSE(WinplatShouldFail("SafeArrayCreate"));
}

}  // namespace
}  // namespace brelk::test
