#pragma once
// A source unit built as Brelk's are (one .cpp with an .inc part), whose trace points
// cover every argument shape and the ways a trace point can stand in a file.
#include <windows.h>

#include <atomic>
#include <string>

// {5F0D3A51-6C0E-4B7A-9D22-8E1B40C7A3F1}
#define BRELK_TRACE_GUID_Fixture                                                       \
    {                                                                                  \
        0x5F0D3A51, 0x6C0E, 0x4B7A, { 0x9D, 0x22, 0x8E, 0x1B, 0x40, 0xC7, 0xA3, 0xF1 } \
    }

namespace brelk::test::trace_fixture {

inline constexpr GUID kMessageGuid = BRELK_TRACE_GUID_Fixture;

// Sends each of the unit's trace points once, in file order.
void EmitAll();

// A trace point at the given level and flag whose argument counts its evaluations.
void EmitCounted(ULONG flag, UCHAR level);
extern std::atomic<int> g_Evaluations;

}  // namespace brelk::test::trace_fixture
