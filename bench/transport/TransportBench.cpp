// The flash data path's cost in the driver: writes through WriteFlashData to a modem that
// answers at once, with the upgrade and flash services both advised (so every completion
// reaches two sinks and the write-done toggle is at work), and the receive path from
// OnReadData to ReadDataFromDevice, with the heap allocations it makes counted.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <winplat/clock.h>

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "EventSink.h"
#include "MBDeviceService.h"
#include "ModemRig.h"

namespace {

std::atomic<uint64_t> g_Allocations{0};

}  // namespace

// Every C++ allocation in the process (driver, platform, modem) is counted.
// Counting replacements of the global allocator. GCC cannot see that these pairs match.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(size_t size) {
    g_Allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size != 0 ? size : 1)) {
        return p;
    }
    throw std::bad_alloc();
}
void* operator new[](size_t size) {
    return operator new(size);
}
void* operator new(size_t size, const std::nothrow_t&) noexcept {
    g_Allocations.fetch_add(1, std::memory_order_relaxed);
    return std::malloc(size != 0 ? size : 1);
}
void* operator new[](size_t size, const std::nothrow_t& tag) noexcept {
    return operator new(size, tag);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, size_t) noexcept {
    std::free(p);
}

#pragma GCC diagnostic pop

namespace {

// The process's side of the rig: its COM apartment, and the scale at which a write that
// waits out its 10 s time-out costs 200 ms.
struct Apartment {
    Apartment() {
        WinplatSetTimeScale(50);
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    }
    ~Apartment() { CoUninitialize(); }
};

void BM_WriteFlashData(benchmark::State& state) {
    Apartment apartment;
    ModemRig rig;
    if (!rig.Start("brelk-transport-bench")) {
        state.SkipWithError("modem rig did not start");
        return;
    }
    const std::vector<uint8_t> block(static_cast<size_t>(state.range(0)), 0x5A);
    uint64_t timeouts = 0;
    for (auto _ : state) {
        const ULONGLONG start = GetTickCount64();
        const HRESULT hr =
            rig.Flash().WriteFlashData(block.data(), static_cast<ULONG>(block.size()));
        if (FAILED(hr)) {
            state.SkipWithError("write failed");
            break;
        }
        // A write that waited out its time-out still succeeds; count it.
        timeouts += GetTickCount64() - start >= WRITE_TIMEOUT_MS ? 1 : 0;
    }
    state.counters["timeouts"] = static_cast<double>(timeouts);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_WriteFlashData)->Arg(2048)->Arg(16384)->UseRealTime();

// One chunk stored by the flash sink's OnReadData and read back by ReadDataFromDevice.
void BM_ReadPath(benchmark::State& state) {
    Apartment apartment;
    ModemRig rig;
    if (!rig.Start("brelk-transport-bench")) {
        state.SkipWithError("modem rig did not start");
        return;
    }
    const ULONG size = static_cast<ULONG>(state.range(0));
    SAFEARRAY* chunk = rig.Flash().CreateByteArray(std::vector<uint8_t>(size, 0xA5).data(),
                                                   static_cast<LONG>(size));
    CMBDeviceServiceEvents* sink = rig.Flash().GetEventSink();
    std::vector<uint8_t> buffer(size);
    uint64_t allocations = 0;
    for (auto _ : state) {
        const uint64_t start = g_Allocations.load();
        g_ReadDataToggle = 1;
        sink->OnReadData(nullptr, chunk);
        ULONG count = 0;
        rig.Flash().ReadDataFromDevice(buffer.data(), &count, size);
        allocations += g_Allocations.load() - start;
        if (count != size) {
            state.SkipWithError("short read");
            break;
        }
    }
    state.counters["allocs_per_read"] =
        benchmark::Counter(static_cast<double>(allocations), benchmark::Counter::kAvgIterations);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size);
    SafeArrayDestroy(chunk);
}
BENCHMARK(BM_ReadPath)->Arg(64)->Arg(700);

}  // namespace

BENCHMARK_MAIN();
