// Soak: consecutive updates of one machine whose image alternates between two versions,
// so every start downloads. In one host process (the framework host's lifecycle run
// again and again: load, device add, prepare, download, release, remove, unload) nothing
// may pile up: handles, threads, modules, file descriptors, resident memory. In fresh
// processes the host's own checks must hold every time and the per-process peak memory
// and the machine's database must not grow.
#include <windows.h>
#include <winplat/stats.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "FirmwareImage.h"
#include "HostRunner.h"
#include "TestFolders.h"
#include "UpdateRun.h"

namespace fs = std::filesystem;

namespace brelk::test {
namespace {

#ifdef BRELK_SANITIZED
constexpr int kUpdates = 20;
// Twenty updates in a row meet every stall a loaded machine has: at scale 100 the
// driver's 10 s write wait is 100 ms of real time, which a ThreadSanitizer build running
// beside another test has overrun.
constexpr double kTimeScale = 50;
#else
constexpr int kUpdates = 200;
constexpr double kTimeScale = 200;
#endif
// Counts are taken once the process has settled (allocator pools, lazily created
// singletons), then again at the end.
constexpr int kWarmUp = 5;

const std::vector<fwimage::ItemSpec> kItems = {
    {"boot", 2, 4096, ""}, {"modem", 4, 64 * 1024, ""}, {"user", 5, 16 * 1024, ""}};

long StatusKb(const char* field) {
    std::ifstream in("/proc/self/status");
    const std::string prefix = std::string(field) + ":";
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(prefix, 0) == 0) {
            return std::atol(line.c_str() + prefix.size());
        }
    }
    return -1;
}

size_t OpenDescriptors() {
    size_t n = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator("/proc/self/fd")) {
        ++n;
    }
    return n;
}

struct Counts {
    size_t Handles, Modules, Threads, Descriptors;
    long RssKb;
};

Counts Take() {
    return {WinplatOpenHandleCount(), WinplatLoadedModuleCount(), WinplatLiveThreadCount(),
            OpenDescriptors(), StatusKb("VmRSS")};
}

// Two images of different versions, as host files.
class TwoImages {
public:
    TwoImages() : m_Folder(FreshFolder("soak")) {
        for (int i = 0; i < 2; ++i) {
            std::string error;
            EXPECT_TRUE(fwimage::WriteImage(Path(i), "QB4410 FW 1:" + Version(i), kItems, &error))
                << error;
        }
    }
    ~TwoImages() { fs::remove_all(m_Folder); }
    std::string Path(int i) const {
        return m_Folder + "/Lumbra_QB4410_NAND_" + Version(i) + ".fls";
    }
    static std::string Version(int i) { return i == 0 ? "2.0.0" : "3.0.0"; }
    std::string Machine() const { return m_Folder + "/machine"; }
    std::string Console() const { return m_Folder + "/console.log"; }

private:
    std::string m_Folder;
};

// The driver writes to standard output, as into a driver host's missing console; while
// it runs here, that output goes to a file (gtest's own output keeps the terminal).
class ConsoleToFile {
public:
    explicit ConsoleToFile(const std::string& path) {
        std::fflush(stdout);
        m_Saved = dup(1);
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 1);
        close(fd);
    }
    ~ConsoleToFile() {
        std::fflush(stdout);
        dup2(m_Saved, 1);
        close(m_Saved);
    }

private:
    int m_Saved;
};

TEST(Soak, ConsecutiveUpdatesInOneHostProcess) {
    TwoImages images;
    const std::string start = fs::current_path().string();
    Counts settled{};
    Counts end{};
    std::string failure;
    {
        ConsoleToFile console(images.Console());
        for (int n = 0; n < kUpdates && failure.empty(); ++n) {
            driverhost::HostOptions options;
            options.MachineFolder = images.Machine();
            options.Image = images.Path(n % 2);
            options.ModemVersion = n == 0 ? "1.0.0" : "";
            options.TimeScale = kTimeScale;
            options.Progress = false;
            std::ostringstream story;
            driverhost::HostReport report;
            const int code = driverhost::RunHost(options, story, &report);
            if (code != 0 || report.Decision != driverhost::HostDecision::Upgrade ||
                report.ModemAfter != TwoImages::Version(n % 2) || report.ItemsDone != 2 ||
                !report.Problems.empty()) {
                failure = "update " + std::to_string(n + 1) + " exited with " +
                          std::to_string(code) + ":\n" + story.str();
            }
            if (n + 1 == kWarmUp) {
                settled = Take();
            }
        }
        end = Take();  // with the same descriptors open as at the first count
    }
    ASSERT_EQ(failure, "");
    fs::current_path(start);  // the host works from the machine folder
    EXPECT_EQ(end.Handles, settled.Handles);
    EXPECT_EQ(end.Modules, 0u);
    EXPECT_EQ(end.Threads, 0u);
    EXPECT_EQ(end.Descriptors, settled.Descriptors);
#ifndef BRELK_SANITIZED  // the sanitizers' quarantine and shadow memory make RSS meaningless
    // A leak of a few KiB per update would pass 1 MiB over this many updates.
    EXPECT_LT(end.RssKb - settled.RssKb, 1024) << settled.RssKb << " -> " << end.RssKb;
#endif
}

TEST(Soak, ConsecutiveUpdatesInFreshProcesses) {
    TwoImages images;
    brelk_matrix::Machine machine(BinFolder(), kTimeScale);
    std::vector<long> peakKb;
    uintmax_t dbSize = 0;
    for (int n = 0; n < kUpdates; ++n) {
        SCOPED_TRACE("update " + std::to_string(n + 1));
        const auto r = machine.Update({"--image", images.Path(n % 2)});
        ASSERT_TRUE(r.Exited && r.ExitCode == 0 && r.Clean()) << r.Output;
        ASSERT_EQ(r.Get("decision"), "upgrade") << r.Output;
        ASSERT_EQ(r.Get("modem_after"), TwoImages::Version(n % 2)) << r.Output;
        ASSERT_EQ(r.Get("problems"), "") << r.Output;  // modules or threads left behind
        peakKb.push_back(r.Int("peak_rss_kb"));
        if (n + 1 == kWarmUp) {
            dbSize = fs::file_size(machine.Folder() + "/machine.db");
        }
    }
    EXPECT_THAT(brelk_matrix::CheckDatabase(machine.Folder()), ::testing::IsEmpty());
    EXPECT_EQ(fs::file_size(machine.Folder() + "/machine.db"), dbSize);
    const long first = peakKb[kWarmUp - 1];
    const long last = peakKb.back();
    EXPECT_LT(last, first + first / 10) << first << " kB -> " << last << " kB";
}

}  // namespace
}  // namespace brelk::test
