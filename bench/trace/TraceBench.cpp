#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "BrelkTrace.h"
#include "Trace.h"

// {3C1E5F7A-2B4D-4E6F-8A9B-0C1D2E3F4A5B}
#define BRELK_TRACE_GUID_Bench                                                         \
    {                                                                                  \
        0x3C1E5F7A, 0x2B4D, 0x4E6F, { 0x8A, 0x9B, 0x0C, 0x1D, 0x2E, 0x3F, 0x4A, 0x5B } \
    }
BRELK_TRACE_UNIT(Bench);

namespace {

int g_Evaluations = 0;

// An argument whose evaluation shows: a disabled trace point must never call it.
const char* ImagePath() {
    ++g_Evaluations;
    return "C:\\Windows\\Firmware\\Velto\\Lumbra_QB4410_NAND_0001.fls";
}

__attribute__((noinline)) void TracePoint(const std::wstring& device, HRESULT hr) {
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_DEVICE,
                "Configure: image %s for %S, hr=%!HRESULT!", ImagePath(), device, hr);
}

std::string LogPath() {
    return "/tmp/brelk-trace-bench-" + std::to_string(getpid()) + ".log";
}

void DisabledTracePoint(benchmark::State& state, bool started, UCHAR level, ULONG flags) {
    const std::wstring device = L"USB\\VID_1234&PID_5678\\0001";
    const std::string path = LogPath();
    if (started) {
        StartTracing();
    }
    brelk_trace::TraceSession session;
    if (level != 0 && session.Start(path, level, flags) != 0) {
        state.SkipWithError("no trace session");
    }
    g_Evaluations = 0;
    for (auto _ : state) {
        TracePoint(device, S_OK);
    }
    session.Stop();
    if (started) {
        StopTracing();
    }
    std::remove(path.c_str());
    if (g_Evaluations != 0) {
        state.SkipWithError("a disabled trace point evaluated its arguments");
    }
}

void BM_TracePoint_NotStarted(benchmark::State& state) {
    DisabledTracePoint(state, false, 0, 0);
}
void BM_TracePoint_StartedNotEnabled(benchmark::State& state) {
    DisabledTracePoint(state, true, 0, 0);
}
void BM_TracePoint_OtherFlags(benchmark::State& state) {
    DisabledTracePoint(state, true, TRACE_LEVEL_VERBOSE, TRACE_FLAG_TRANSPORT);
}
void BM_TracePoint_LowerLevel(benchmark::State& state) {
    DisabledTracePoint(state, true, TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE);
}

// Enabled: the message is encoded and written to the session's log file.
void BM_TracePoint_EnabledWritingToSession(benchmark::State& state) {
    const std::wstring device = L"USB\\VID_1234&PID_5678\\0001";
    const std::string path = LogPath();
    StartTracing();
    brelk_trace::TraceSession session;
    if (session.Start(path, TRACE_LEVEL_INFORMATION, TRACE_FLAG_DEVICE) != 0) {
        state.SkipWithError("no trace session");
    }
    g_Evaluations = 0;
    for (auto _ : state) {
        TracePoint(device, E_FAIL);
    }
    sim::TraceRecorder::Stats stats;
    session.Stop(&stats);
    StopTracing();
    std::remove(path.c_str());
    if (stats.MessagesWritten != static_cast<ULONG64>(g_Evaluations) || stats.MessagesLost != 0) {
        state.SkipWithError("not every message reached the log");
    }
    state.SetItemsProcessed(state.iterations());
}

}  // namespace

BENCHMARK(BM_TracePoint_NotStarted);
BENCHMARK(BM_TracePoint_StartedNotEnabled);
BENCHMARK(BM_TracePoint_OtherFlags);
BENCHMARK(BM_TracePoint_LowerLevel);
BENCHMARK(BM_TracePoint_EnabledWritingToSession);
BENCHMARK_MAIN();
