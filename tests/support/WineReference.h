#pragma once
// The platform suites run on our layer and, built as PE programs, under Wine, an
// independent implementation of the same API. Two markers keep them honest on both:
//
//   WINE_DEPARTS("what the documentation says") EXPECT_...;
//     Wine departs here from documented Windows behaviour: the expectation is checked on
//     our layer (and on Windows), and under Wine the departure is printed instead.
//   if (brelk::test::kOnOurLayer) EXPECT_...;
//     A choice of our layer that Windows does not promise.
//   #if BRELK_OUR_LAYER ... #endif
//     The same, where the check uses the layer's own extensions (winplat/*.h).
#include <gtest/gtest.h>

#include <cstdio>

#if defined(_WIN32) && defined(__MINGW32__)
#define BRELK_OUR_LAYER 0
#include <windows.h>
#else
#define BRELK_OUR_LAYER 1
#endif

namespace brelk::test {

#if !BRELK_OUR_LAYER
inline constexpr bool kOnOurLayer = false;
inline bool RunningUnderWine() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr &&
           reinterpret_cast<void*>(GetProcAddress(ntdll, "wine_get_version")) != nullptr;
}
#else
inline constexpr bool kOnOurLayer = true;
inline bool RunningUnderWine() {
    return false;
}
#endif

inline bool NoteWineDeparture(const char* documented, const char* file, int line) {
    if (!RunningUnderWine()) {
        return false;
    }
    std::printf("[ WINE     ] %s:%d departs from Windows: %s\n", file, line, documented);
    testing::Test::RecordProperty("wine_departure", documented);
    return true;
}

}  // namespace brelk::test

#define WINE_DEPARTS(documented)                                            \
    if (::brelk::test::NoteWineDeparture(documented, __FILE__, __LINE__)) { \
    } else
