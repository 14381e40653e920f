#pragma once
// The platform clock. Platform milliseconds run WinplatGetTimeScale() times faster than
// real time: every Sleep and wait time-out is divided by the scale, and GetTickCount64
// grows scale times faster. The scale starts from WINPLAT_TIME_SCALE (default 1), read
// at first use. Simulated components take their delays from here too.
#include <chrono>
#include <cstdint>
#include <windows.h>
#include "winplat/ext.h"

// Returns false and keeps the current scale unless scale is finite and positive.
// GetTickCount64 stays monotonic across the change.
WINPLAT_EXT bool WinplatSetTimeScale(double scale);
WINPLAT_EXT double WinplatGetTimeScale();

// The real time that `ms` platform milliseconds take at the current scale, for
// condition-variable waits in simulated components.
WINPLAT_EXT std::chrono::nanoseconds WinplatScaledMs(double ms);

// Platform time in nanoseconds: what GetTickCount64 counts, with the fraction of a
// millisecond that it drops, for components that schedule many short events.
WINPLAT_EXT uint64_t WinplatNowNs();

// Sleeps `ms` platform milliseconds; returns when GetTickCount64 has advanced by at
// least that much, even if the scale changes meanwhile.
WINPLAT_EXT void WinplatSleepMs(ULONGLONG ms);
