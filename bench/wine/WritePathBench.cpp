// The flash write path's rate on whichever system runs this program: WriteFlashData to a
// modem that answers at once, with the upgrade and flash services both advised (every
// completion reaches two sinks and the write-done toggle is at work), as transport_bench's
// BM_WriteFlashData measures it. The same source builds on our layer and as PE for Wine,
// so that the two rates compare; Google Benchmark has no PE build here, hence this small
// harness: per block size a warm-up, then repetitions of a fixed real-time budget each.
//
//   write_path_bench [--repetitions N] [--seconds S] [--warmup S] [BLOCK_BYTES...]
//
// Blocks of 2048 and 16384 bytes by default. One line per repetition (key=value, for
// scripts/bench-report.py), then the median.
#include <windows.h>
#include <objbase.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "HostSystem.h"
#include "MBDeviceService.h"
#include "ModemRig.h"
#include "ScaleProgram.h"

namespace {

using RealClock = std::chrono::steady_clock;

// The time scale of transport_bench: a write that waits out its 10 s time-out costs 200 ms.
constexpr double kTimeScale = 50;

struct Settings {
    int Repetitions = 5;
    double Seconds = 0.5;
    double Warmup = 0.2;
    std::vector<ULONG> Blocks;
};

struct Run {
    uint64_t Writes = 0;
    double Seconds = 0;
    uint64_t Timeouts = 0;  // writes that waited out WRITE_TIMEOUT_MS and still succeeded
    bool Failed = false;
};

// Writes blocks until `seconds` of real time have passed.
Run Write(CMBDeviceService& flash, const std::vector<uint8_t>& block, double seconds) {
    Run run;
    sim::Clock& clock = sim::Host().Time();
    const auto start = RealClock::now();
    const auto end = start + std::chrono::duration_cast<RealClock::duration>(
                                 std::chrono::duration<double>(seconds));
    auto now = start;
    ULONGLONG platformMs = clock.NowMs();
    while (now < end) {
        if (FAILED(flash.WriteFlashData(block.data(), static_cast<ULONG>(block.size())))) {
            run.Failed = true;
            break;
        }
        const ULONGLONG after = clock.NowMs();
        run.Timeouts += after - platformMs >= WRITE_TIMEOUT_MS ? 1 : 0;
        platformMs = after;
        ++run.Writes;
        now = RealClock::now();
    }
    run.Seconds = std::chrono::duration<double>(now - start).count();
    return run;
}

bool Failed(ULONG blockBytes, const char* what) {
    std::printf("write_path block=%lu error=\"%s\"\n", static_cast<unsigned long>(blockBytes),
                what);
    return false;
}

bool Measure(ULONG blockBytes, const Settings& settings) {
    ModemRig rig;
    if (!rig.Start("brelk-write-path-bench")) {
        return Failed(blockBytes, "modem rig did not start");
    }
    const std::vector<uint8_t> block(blockBytes, 0x5A);
    if (Write(rig.Flash(), block, settings.Warmup).Failed) {
        return Failed(blockBytes, "write failed");
    }
    std::vector<double> rates;
    for (int r = 1; r <= settings.Repetitions; ++r) {
        const Run run = Write(rig.Flash(), block, settings.Seconds);
        if (run.Failed) {
            return Failed(blockBytes, "write failed");
        }
        const double mbps = static_cast<double>(run.Writes) * blockBytes / run.Seconds / 1e6;
        rates.push_back(mbps);
        std::printf(
            "write_path block=%lu rep=%d writes=%llu seconds=%.6f mbps=%.3f timeouts=%llu\n",
            static_cast<unsigned long>(blockBytes), r, static_cast<unsigned long long>(run.Writes),
            run.Seconds, mbps, static_cast<unsigned long long>(run.Timeouts));
        std::fflush(stdout);
    }
    std::sort(rates.begin(), rates.end());
    const size_t n = rates.size();
    const double median = n % 2 != 0 ? rates[n / 2] : (rates[n / 2 - 1] + rates[n / 2]) / 2;
    std::printf("# %lu-byte blocks: median %.1f MB/s (%.1f-%.1f) of %zu repetitions\n",
                static_cast<unsigned long>(blockBytes), median, rates.front(), rates.back(), n);
    return true;
}

bool Parse(int argc, char** argv, Settings* settings) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--repetitions" && hasValue) {
            settings->Repetitions = std::atoi(argv[++i]);
        } else if (arg == "--seconds" && hasValue) {
            settings->Seconds = std::atof(argv[++i]);
        } else if (arg == "--warmup" && hasValue) {
            settings->Warmup = std::atof(argv[++i]);
        } else {
            char* end = nullptr;
            const unsigned long bytes = std::strtoul(arg.c_str(), &end, 10);
            if (end == arg.c_str() || *end != '\0' || bytes == 0 || bytes > 1u << 20) {
                return false;
            }
            settings->Blocks.push_back(static_cast<ULONG>(bytes));
        }
    }
    if (settings->Blocks.empty()) {
        settings->Blocks = {2048, 16384};
    }
    return settings->Repetitions > 0 && settings->Seconds > 0 && settings->Warmup >= 0;
}

}  // namespace

int main(int argc, char** argv) {
    constexpr char kUsage[] =
        "usage: write_path_bench [--repetitions N] [--seconds S] [--warmup S] [BLOCK_BYTES...]\n";
    if (argc == 2 && std::string(argv[1]) == "--help") {
        std::printf("%s", kUsage);
        return 0;
    }
    Settings settings;
    if (!Parse(argc, argv, &settings)) {
        std::fprintf(stderr, "%s", kUsage);
        return 2;
    }
    // The driver's waits are linked into this program; a time-out must cost what it
    // costs on the other system.
    if (!sim::Host().Time().SetScale(kTimeScale) || !ScaleProgram()) {
        std::fprintf(stderr, "write_path_bench: cannot put this program on the seam's clock\n");
        return 3;
    }
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {
        std::fprintf(stderr, "write_path_bench: CoInitializeEx failed\n");
        return 3;
    }
    bool ok = true;
    for (const ULONG block : settings.Blocks) {
        ok = Measure(block, settings) && ok;
    }
    CoUninitialize();
    return ok ? 0 : 1;
}
