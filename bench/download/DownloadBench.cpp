// download_bench: what the download thread costs while the library works, and what one
// status report costs on its way from the library's thread to the download thread.

#include <windows.h>
#include <winplat/clock.h>

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <chrono>
#include <cstring>
#include <string>

#include "Device.h"
#include "Flashkit.h"
#include "Internal.h"

namespace {

double ProcessCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// A library that accepts every call and reports only when the benchmark says so.
INT32 AcceptOpen(UINT8, const char*, const char*, UINT32, char*) {
    return 0;
}
INT32 AcceptBoot(UINT8, const char*, UINT8*, char*) {
    return 0;
}
void IgnoreResult(UINT8) {}

class QuietDevice : public CMyDevice {
public:
    void OnUpgradeComplete() override {}
};

// The thread waits 2 s of platform time for the boot report; the process's CPU time over
// that wait is the thread's (the benchmark thread sleeps meanwhile).
void BM_WaitStatusIdleCpu(benchmark::State& state) {
    WinplatSetTimeScale(1);
    g_pfnFWUpgradeResult = IgnoreResult;
    constexpr DWORD kWaitMs = 2000;

    double cpuShare = 0;
    for (auto _ : state) {
        DiscardStatusReports();
        // The device deletes the record when it releases the library, as the driver's
        // binding allocated it.
        g_pFlashkitApi = new FlashkitApi{};
        g_pFlashkitApi->ZKTR_DL_open_comm_port = AcceptOpen;
        g_pFlashkitApi->ZKTR_DL_boot_target = AcceptBoot;
        auto* device = new QuietDevice();
        const auto wallStart = std::chrono::steady_clock::now();
        const double cpuStart = ProcessCpuSeconds();
        HANDLE thread = CreateThread(nullptr, 0, DownloadThread, device, 0, nullptr);
        Sleep(kWaitMs);
        StatusCallback(FLASH_CHANNEL, 1, "failed");  // ends the wait, and the run
        WaitForSingleObject(thread, INFINITE);
        const double cpu = ProcessCpuSeconds() - cpuStart;
        const double wall =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
        CloseHandle(thread);
        delete device;
        cpuShare = cpu / wall;
        state.SetIterationTime(wall);
    }
    state.counters["cpu_percent_of_one_core"] = cpuShare * 100.0;
    g_pFlashkitApi = nullptr;
}
BENCHMARK(BM_WaitStatusIdleCpu)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_StatusRoundTrip(benchmark::State& state) {
    DiscardStatusReports();
    INT32 status = 0;
    std::string text;
    for (auto _ : state) {
        StatusCallback(FLASH_CHANNEL, 0, "download done");
        PopStatus(&status, &text);
        benchmark::DoNotOptimize(status);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_StatusRoundTrip);

}  // namespace

BENCHMARK_MAIN();
