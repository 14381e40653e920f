#include "TraceFixture.h"

#include "Trace.h"

BRELK_TRACE_UNIT(Fixture);

namespace brelk::test::trace_fixture {

std::atomic<int> g_Evaluations{0};

namespace {

// Not a trace point: TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DLL, "in a comment");
const char* const kNotATracePoint = "TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DLL, \"text\")";

#define FIXTURE_FAILED(what, hr) \
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_TRANSPORT, what " failed, hr=%!HRESULT!", hr)

const char* Counted() {
    ++g_Evaluations;
    return "counted";
}

const GUID kFirst = {0x01234567, 0x89AB, 0xCDEF, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};

}  // namespace

void EmitCounted(ULONG flag, UCHAR level) {
    switch (flag) {
        case TRACE_FLAG_DEVICE:
            if (level == TRACE_LEVEL_ERROR) {
                TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "counted %s", Counted());
            } else {
                TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_FLAG_DEVICE, "counted %s", Counted());
            }
            break;
        default:
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_QUEUE, "counted %s", Counted());
            break;
    }
}

void EmitAll() {
    (void)kNotATracePoint;
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_DEVICE, "no arguments");
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_DEVICE, "one integer %d", -5);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_DEVICE, "two integers %u %x", 7u, 0xBEEFu);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_DEVICE,
                "three integers %d, %d, "
                "%!HRESULT!",
                1, 2, E_FAIL);
#if 0
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_DEVICE, "never compiled");
#endif
    int local = 0;
    (void)local;
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_TRANSPORT, "one pointer %p",
                reinterpret_cast<void*>(static_cast<uintptr_t>(0x12345678ABCDull)));
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_TRANSPORT, "pointer and integer %p %u",
                static_cast<ULONG_PTR>(0x10), 700u);
    FIXTURE_FAILED("WriteData", E_POINTER);
    FIXTURE_FAILED("ReadData", E_OUTOFMEMORY);
#include "TraceFixture.inc"
}

}  // namespace brelk::test::trace_fixture
