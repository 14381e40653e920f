#pragma once
// Trace points of Brelk.
//
//   TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_DEVICE, "Configure: queue created, hr=%!HRESULT!", hr);
//
// A trace point sends only its message identity (the source unit's message GUID and a
// number) and its arguments; the text is the reader's, kept in the unit's message
// catalog. Numbers run from 10 in the order the trace points stand in the unit.
// Markers in texts: %d %u %x (32-bit), %p (64-bit address), %s (narrow text),
// %S (wide text), %!GUID!, %!HRESULT! (32-bit).
//
// Each source unit (one .cpp, with the .inc parts it includes) names itself once,
// before its first trace point:  BRELK_TRACE_UNIT(Device)

#include <windows.h>

#define TRACE_FLAG_DLL 0x00000002
#define TRACE_FLAG_DRIVER 0x00000004
#define TRACE_FLAG_DEVICE 0x00000008
#define TRACE_FLAG_QUEUE 0x00000010
#define TRACE_FLAG_TRANSPORT 0x00000020
#define TRACE_FLAG_EVENTS 0x00000040

#ifndef TRACE_LEVEL_ERROR
#define TRACE_LEVEL_ERROR 2
#define TRACE_LEVEL_WARNING 3
#define TRACE_LEVEL_INFORMATION 4
#define TRACE_LEVEL_VERBOSE 5
#endif

template <class... Args>
inline void TraceArgsUnused(const Args&...) {}

// Until the provider exists a trace point compiles its arguments but never evaluates them.
#define BRELK_TRACE_UNIT(unit) static_assert(true, #unit)
#define TraceEvents(level, flags, msg, ...)                        \
    do {                                                           \
        if (false) {                                               \
            TraceArgsUnused((level), (flags), (msg)__VA_OPT__(, ) __VA_ARGS__); \
        }                                                          \
    } while (0)
