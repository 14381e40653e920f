#include <windows.h>
#include <winplat/clock.h>

#include <math.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include "kernel/kernel.h"

namespace winplat {
namespace {

using Steady = std::chrono::steady_clock;

// Platform time is piecewise linear in real time: a change of scale re-anchors it, so
// it never jumps backwards.
struct Clock {
    std::mutex lock;
    double scale;                   // guarded by lock
    Steady::time_point anchorReal;  // guarded by lock
    long double anchorPlatformNs;   // guarded by lock
    std::condition_variable sleepers;
};

double ScaleFromEnvironment() {
    const char* text = getenv("WINPLAT_TIME_SCALE");
    if (text == nullptr || *text == '\0') {
        return 1.0;
    }
    char* end = nullptr;
    const double value = strtod(text, &end);
    if (end == text || *end != '\0' || !isfinite(value) || value <= 0) {
        fprintf(stderr, "winplat: ignoring WINPLAT_TIME_SCALE=\"%s\"; using 1\n", text);
        return 1.0;
    }
    return value;
}

Clock& TheClock() {
    // Never destroyed: threads may still read the clock while the process exits.
    static Clock* clock = [] {
        auto* c = new Clock;
        c->scale = ScaleFromEnvironment();
        c->anchorReal = Steady::now();
        // Start where Windows would: milliseconds since the machine started.
        c->anchorPlatformNs = static_cast<long double>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(c->anchorReal.time_since_epoch())
                .count());
        return c;
    }();
    return *clock;
}

long double NowLocked(Clock& c, Steady::time_point real) {
    const auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(real - c.anchorReal);
    return c.anchorPlatformNs + static_cast<long double>(elapsed.count()) * c.scale;
}

}  // namespace

uint64_t PlatformNowNs() {
    Clock& c = TheClock();
    std::lock_guard<std::mutex> guard(c.lock);
    return static_cast<uint64_t>(NowLocked(c, Steady::now()));
}

Steady::time_point RealTimeAt(uint64_t platformNs) {
    Clock& c = TheClock();
    std::lock_guard<std::mutex> guard(c.lock);
    const long double ahead = static_cast<long double>(platformNs) - c.anchorPlatformNs;
    // Rounded up, so that waking at this instant finds the platform clock there.
    const auto realNs = static_cast<int64_t>(ceill(ahead / c.scale)) + 1;
    return c.anchorReal + std::chrono::nanoseconds(realNs);
}

}  // namespace winplat

using namespace winplat;

bool WinplatSetTimeScale(double scale) {
    if (!isfinite(scale) || scale <= 0) {
        return false;
    }
    Clock& c = TheClock();
    {
        std::lock_guard<std::mutex> guard(c.lock);
        const auto now = Steady::now();
        c.anchorPlatformNs = NowLocked(c, now);
        c.anchorReal = now;
        c.scale = scale;
        c.sleepers.notify_all();
    }
    OnTimeScaleChanged();
    return true;
}

double WinplatGetTimeScale() {
    Clock& c = TheClock();
    std::lock_guard<std::mutex> guard(c.lock);
    return c.scale;
}

std::chrono::nanoseconds WinplatScaledMs(double ms) {
    if (!(ms > 0)) {
        return std::chrono::nanoseconds(0);
    }
    return std::chrono::nanoseconds(static_cast<int64_t>(ceil(ms * 1e6 / WinplatGetTimeScale())));
}

uint64_t WinplatNowNs() {
    return PlatformNowNs();
}

void WinplatSleepMs(ULONGLONG ms) {
    if (ms == 0) {
        sched_yield();
        return;
    }
    Clock& c = TheClock();
    std::unique_lock<std::mutex> guard(c.lock);
    const long double target = NowLocked(c, Steady::now()) + static_cast<long double>(ms) * 1e6L;
    for (;;) {
        const auto now = Steady::now();
        const long double ahead = target - NowLocked(c, now);
        if (ahead <= 0) {
            return;
        }
        const auto realNs = static_cast<int64_t>(ceill(ahead / c.scale)) + 1;
        c.sleepers.wait_until(guard, now + std::chrono::nanoseconds(realNs));
    }
}

void WINAPI Sleep(DWORD dwMilliseconds) {
    if (dwMilliseconds == INFINITE) {
        for (;;) {
            pause();
        }
    }
    WinplatSleepMs(dwMilliseconds);
}

ULONGLONG WINAPI GetTickCount64(void) {
    return PlatformNowNs() / 1000000u;
}

DWORD WINAPI GetTickCount(void) {
    return static_cast<DWORD>(GetTickCount64());
}

void WINAPI GetSystemTimeAsFileTime(LPFILETIME lpSystemTimeAsFileTime) {
    if (lpSystemTimeAsFileTime == nullptr) {
        return;
    }
    // Wall-clock time, unscaled: 100 ns units since 1601-01-01.
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    const uint64_t ft = (static_cast<uint64_t>(ts.tv_sec) + 11644473600ull) * 10000000ull +
                        static_cast<uint64_t>(ts.tv_nsec) / 100u;
    lpSystemTimeAsFileTime->dwLowDateTime = static_cast<DWORD>(ft);
    lpSystemTimeAsFileTime->dwHighDateTime = static_cast<DWORD>(ft >> 32);
}
