// Whole updates on simulated machines, as a user runs them: each start of the device node
// is one `brelk-sim update` process (the framework host with the real Brelk.dll,
// Parlex.dll and Flashkit.dll loaded by name), observed through its report, the machine's
// property store and the modem's firmware.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "FirmwareImage.h"
#include "HostRunner.h"
#include "PersistedValues.h"
#include "TestFolders.h"

extern char** environ;

namespace fs = std::filesystem;

namespace brelk::test {
namespace {

// The driver's 3 x 3000 ms EXEC pauses, 10 s final pause and 10 s waits stay real; at
// this scale the pauses of a whole update take 0.2 s, and the budget (1.8 s of real time)
// leaves room for sanitizer builds.
constexpr const char* kTimeScale = "100";

struct Report {
    int ExitCode = -1;
    std::map<std::string, std::string> Values;
    std::vector<std::string> Debug;
    std::string Output;

    std::string operator[](const std::string& key) const {
        auto it = Values.find(key);
        return it == Values.end() ? std::string("<none>") : it->second;
    }
    int Int(const std::string& key) const { return std::atoi((*this)[key].c_str()); }
    std::vector<std::string> List(const std::string& key) const {
        std::vector<std::string> items;
        std::stringstream in((*this)[key]);
        for (std::string item; std::getline(in, item, ',');) {
            items.push_back(item);
        }
        return items;
    }
    // A sanitizer report in the child would otherwise hide behind an expected exit code.
    bool Clean() const {
        return Output.find("Sanitizer") == std::string::npos &&
               Output.find("runtime error") == std::string::npos;
    }
    bool Said(const std::string& text) const {
        return std::find(Debug.begin(), Debug.end(), text) != Debug.end();
    }
};

// A fresh machine folder, removed at the end.
class Machine {
public:
    Machine() : m_Folder(FreshFolder("scenario")) {}
    ~Machine() { fs::remove_all(m_Folder); }
    const std::string& Folder() const { return m_Folder; }

    void WriteImage(const std::string& versionText, const std::vector<fwimage::ItemSpec>& items) {
        fs::create_directories(driverhost::FirmwareFolder(m_Folder));
        std::string error;
        ASSERT_TRUE(
            fwimage::WriteImage(driverhost::FirmwareFolder(m_Folder) + "/Lumbra_QB4410_NAND.fls",
                                versionText, items, &error))
            << error;
    }

    std::vector<std::string> Args(const std::vector<std::string>& extra) const {
        std::vector<std::string> args = {BinFolder() + "/brelk-sim",
                                         "update",
                                         "--machine",
                                         m_Folder,
                                         "--time-scale",
                                         kTimeScale,
                                         "--no-progress",
                                         "--report",
                                         ReportPath()};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }

    pid_t Spawn(const std::vector<std::string>& extra) const { return SpawnArgs(Args(extra)); }

    // Runs brelk-sim with these arguments; its exit code and output.
    std::pair<int, std::string> Tool(const std::vector<std::string>& args) const {
        std::vector<std::string> full = {BinFolder() + "/brelk-sim"};
        full.insert(full.end(), args.begin(), args.end());
        const pid_t pid = SpawnArgs(full);
        int status = 0;
        const int code = pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status)
                             ? WEXITSTATUS(status)
                             : -1;
        std::ifstream out(OutputPath());
        return {code, std::string(std::istreambuf_iterator<char>(out), {})};
    }

    pid_t SpawnArgs(const std::vector<std::string>& args) const {
        std::vector<char*> argv;
        for (const auto& a : args) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, OutputPath().c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        pid_t pid = -1;
        const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        return rc == 0 ? pid : -1;
    }

    Report Collect(pid_t pid) const {
        Report r;
        int status = 0;
        if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
            r.ExitCode = WEXITSTATUS(status);
        }
        std::ifstream out(OutputPath());
        r.Output.assign(std::istreambuf_iterator<char>(out), {});
        std::ifstream in(ReportPath());
        for (std::string line; std::getline(in, line);) {
            const size_t eq = line.find('=');
            if (eq == std::string::npos) {
                continue;
            }
            const std::string key = line.substr(0, eq);
            if (key == "debug") {
                r.Debug.push_back(line.substr(eq + 1));
            } else {
                r.Values[key] = line.substr(eq + 1);
            }
        }
        fs::remove(ReportPath());
        return r;
    }

    Report Update(const std::vector<std::string>& extra) const { return Collect(Spawn(extra)); }

    int State() const {
        return driverhost::ReadPersistedUint(m_Folder, driverhost::kDefaultInstanceId,
                                             persisted::kProgressStateName);
    }

private:
    std::string ReportPath() const { return m_Folder + "/report.txt"; }
    std::string OutputPath() const { return m_Folder + "/output.txt"; }
    std::string m_Folder;
};

const std::vector<fwimage::ItemSpec> kItems = {
    {"boot", 2, 4096, ""}, {"modem", 4, 96 * 1024, ""}, {"user", 5, 40 * 1024, ""}};
const std::vector<fwimage::ItemSpec> kSlowItems = {{"modem", 4, 256 * 1024, ""}};
const std::vector<fwimage::ItemSpec> kNothingToDownload = {{"boot", 2, 4096, ""},
                                                           {"nvm", 3, 8192, ""}};

// The persisted progress states the starts expect.
constexpr int kPending = persisted::kStatePending;
constexpr int kCompleted = persisted::kStateCompleted;
constexpr int kFailed = persisted::kStateFailed;
constexpr int kExhausted = persisted::kStateRetriesExhausted;
constexpr int kNone = persisted::kStateNone;
constexpr int kDownloading = persisted::kStateDownloading;

// What one start must show. Empty texts and -2 are not checked.
struct Expect {
    int Exit;
    std::string Decision;
    int CounterPrepared;
    int StateAfter;
    int CounterAfter;
    std::string ModemAfter;
};

struct Start {
    std::vector<std::string> Options;
    Expect Want;
    bool KillWhileDownloading = false;
};

struct Scenario {
    const char* Name;
    std::string VersionText;  // empty: no image
    std::vector<fwimage::ItemSpec> Items;
    std::string ModemVersion;
    std::vector<Start> Starts;
};

const std::string kNew = "QB4410 FW 1:2.0.0 2024-05-01";
const std::vector<std::string> kAlwaysFails = {"--faults", "flashkit.item/1:status1x*"};
// Each block of the item waits 2 s of platform time: the download is still running when
// the host is killed or the device stopped.
const std::vector<std::string> kSlowBlocks = {"--faults", "flashkit.block:delay=2000x*"};

std::vector<std::string> Plus(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const Scenario kScenarios[] = {
    {"first start updates, the next finds the firmware current",
     kNew,
     kItems,
     "1.0.0",
     {{{}, {0, "upgrade", 0, kCompleted, 0, "2.0.0"}},
      {{}, {0, "current", 0, kCompleted, 0, "2.0.0"}}}},
    {"firmware current", kNew, kItems, "2.0.0", {{{}, {0, "current", 0, kCompleted, 0, "2.0.0"}}}},
    {"equal versions, forced device key",
     kNew,
     kItems,
     "2.0.0",
     {{{"--force-key"}, {0, "upgrade", 0, kCompleted, 0, "2.0.0"}}}},
    {"download always fails until retries are exhausted, then the limit is raised",
     kNew,
     kItems,
     "1.0.0",
     {{kAlwaysFails, {1, "upgrade", 0, kFailed, 0, "1.0.0"}},
      {kAlwaysFails, {1, "upgrade", 1, kFailed, 1, "1.0.0"}},
      {kAlwaysFails, {1, "upgrade", 2, kFailed, 2, "1.0.0"}},
      {kAlwaysFails, {1, "upgrade", 3, kFailed, 3, "1.0.0"}},
      {kAlwaysFails, {1, "exhausted", 3, kExhausted, 3, "1.0.0"}},
      {kAlwaysFails, {1, "exhausted", 3, kExhausted, 3, "1.0.0"}},
      {{"--retry-limit", "5"}, {0, "upgrade", 4, kCompleted, 0, "2.0.0"}}}},
    {"download that fails at once is still seen as an upgrade, and its final command awaited",
     kNew,
     kItems,
     "1.0.0",
     {{{"--faults", "flashkit.boot_call:refuse"}, {1, "upgrade", 0, kFailed, 0, "1.0.0"}}}},
    {"host killed during the download, then started again",
     kNew,
     kSlowItems,
     "1.0.0",
     {{kSlowBlocks, {-2, "", -2, kDownloading, 0, "1.0.0"}, true},
      {{}, {0, "upgrade", 1, kCompleted, 0, "2.0.0"}}}},
    {"no image", "", {}, "1.0.0", {{{}, {1, "failed", 0, kNone, 0, "1.0.0"}}}},
    {"image without downloadable items",
     kNew,
     kNothingToDownload,
     "1.0.0",
     {{{}, {0, "upgrade", 0, kCompleted, 0, ""}}}},
    {"image with an empty table of contents",
     kNew,
     {},
     "1.0.0",
     {{{}, {1, "failed", 0, kPending, 0, "1.0.0"}}}},
    {"version text without the 1: marker",
     "QB4410 FW 2.0.0",
     kItems,
     "1.0.0",
     {{{}, {1, "failed", 0, kNone, 0, "1.0.0"}}}},
    {"Parlex.dll missing",
     kNew,
     kItems,
     "1.0.0",
     {{{"--parlex", "none"}, {1, "", -2, kNone, 0, "1.0.0"}}}},
    {"Parlex.dll lacking an export",
     kNew,
     kItems,
     "1.0.0",
     {{{"--parlex", "no-SendRetryCountToOEM"}, {1, "", -2, kNone, 0, "1.0.0"}}}},
    {"Flashkit.dll missing",
     kNew,
     kItems,
     "1.0.0",
     {{{"--flashkit", "none"}, {1, "", -2, kNone, 0, "1.0.0"}}}},
};

// Waits (bounded) until the running host has stored "downloading", then kills it.
void KillWhileDownloading(const Machine& machine, pid_t pid) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (machine.State() != 2 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_EQ(machine.State(), 2) << "the download never started";
    ASSERT_EQ(kill(pid, SIGKILL), 0);
}

TEST(Scenario, StartAfterStart) {
    for (const Scenario& s : kScenarios) {
        SCOPED_TRACE(s.Name);
        Machine machine;
        if (!s.VersionText.empty()) {
            ASSERT_NO_FATAL_FAILURE(machine.WriteImage(s.VersionText, s.Items));
        }
        int n = 0;
        for (const Start& start : s.Starts) {
            SCOPED_TRACE("start " + std::to_string(++n));
            std::vector<std::string> options = start.Options;
            if (n == 1) {
                options = Plus({"--modem-version", s.ModemVersion}, options);
            }
            const pid_t pid = machine.Spawn(options);
            ASSERT_GT(pid, 0);
            if (start.KillWhileDownloading) {
                ASSERT_NO_FATAL_FAILURE(KillWhileDownloading(machine, pid));
            }
            const Report r = machine.Collect(pid);
            SCOPED_TRACE(r.Output);
            EXPECT_TRUE(r.Clean());
            const Expect& w = start.Want;
            if (start.KillWhileDownloading) {
                EXPECT_EQ(r.ExitCode, -1);  // killed by the signal
            } else {
                EXPECT_EQ(r.ExitCode, w.Exit);
                EXPECT_EQ(r["problems"], "");
                EXPECT_EQ(r["load_hr"], "0x00000000");
                if (!w.Decision.empty()) {
                    EXPECT_EQ(r["decision"], w.Decision);
                }
                if (w.CounterPrepared != -2) {
                    EXPECT_EQ(r.Int("counter_prepared"), w.CounterPrepared);
                }
            }
            EXPECT_EQ(machine.State(), w.StateAfter);
            EXPECT_EQ(
                driverhost::ReadPersistedUint(machine.Folder(), driverhost::kDefaultInstanceId,
                                              persisted::kRetryCounterName),
                w.CounterAfter);
            if (!w.ModemAfter.empty()) {
                std::ifstream fw(machine.Folder() + "/modem/firmware_version");
                std::string version;
                std::getline(fw, version);
                EXPECT_EQ(version, w.ModemAfter);
            }
            if (start.KillWhileDownloading) {
                continue;
            }
            const auto commands = r.List("commands");
            const bool set4 =
                std::find(commands.begin(), commands.end(), "upgrade:set4") != commands.end();
            EXPECT_EQ(set4, w.Decision == "upgrade");
            if (w.Decision == "upgrade") {
                // Every started download ends with the final command, and the release
                // undoes command 4 afterwards.
                const auto final = std::find(commands.begin(), commands.end(), "final:set1");
                const auto set5 = std::find(commands.begin(), commands.end(), "upgrade:set5");
                EXPECT_NE(final, commands.end());
                EXPECT_NE(set5, commands.end());
                EXPECT_LT(final, set5);
                EXPECT_TRUE(r.Said(w.StateAfter == kCompleted ? "Firmware upgrade done"
                                                              : "Result in OEM DLL-FAIL"));
                if (w.StateAfter == kCompleted) {
                    EXPECT_EQ(r["items_done"], r["items_total"]);
                    EXPECT_EQ(r["bytes_done"], r["bytes_total"]);
                }
            } else {
                EXPECT_EQ(r.Int("bytes_done"), 0);
            }
        }
    }
}

// Stopping the device mid-download: command 5 goes out and the port closes while the
// download thread still runs; the release then waits for the thread, which ends at once
// (its port is gone) and still pauses 10 s before the final command.
TEST(Scenario, DeviceStoppedDuringDownload) {
    Machine machine;
    ASSERT_NO_FATAL_FAILURE(machine.WriteImage(kNew, kSlowItems));
    const Report r =
        machine.Update(Plus({"--modem-version", "1.0.0", "--stop-after", "15"}, kSlowBlocks));
    SCOPED_TRACE(r.Output);
    EXPECT_TRUE(r.Clean());
    EXPECT_EQ(r.ExitCode, 1);
    EXPECT_EQ(r["stopped_by_user"], "1");
    EXPECT_EQ(r["problems"], "");
    const auto commands = r.List("commands");
    const auto set5 = std::find(commands.begin(), commands.end(), "upgrade:set5");
    const auto final = std::find(commands.begin(), commands.end(), "final:set1");
    ASSERT_NE(set5, commands.end());
    ASSERT_NE(final, commands.end());
    EXPECT_LT(set5, final);
    // 256 blocks at 2 s each would take minutes; a closed port ends the item at once.
    EXPECT_GE(r.Int("release_ms"), 10000);
    EXPECT_LT(r.Int("release_ms"), 60000);
    EXPECT_EQ(r.Int("items_done"), 0);
    EXPECT_EQ(machine.State(), 4);
    const auto sessions = r.List("sessions");
    EXPECT_NE(std::find(sessions.begin(), sessions.end(), "flash:close-data"), sessions.end());
}

// A recorded update decodes into its story: configuration, decision, download, completion
// and release at information level; at error level only what the driver calls errors.
// A previous version stored as a number (by hand, say) is never replaced at device add;
// it must not stop the update, and the successful download writes it as text again.
TEST(Scenario, APreviousVersionThatIsNotTextNeitherBlocksNorOutlivesAnUpdate) {
    Machine machine;
    ASSERT_NO_FATAL_FAILURE(machine.WriteImage(kNew, kItems));
    const std::wstring id = driverhost::kDefaultInstanceId;
    const std::string device(id.begin(), id.end());  // ASCII
    const auto [setCode, setOut] = machine.Tool({"state", machine.Folder(), "--device", device,
                                                 "set", "PrevFwVersion", "7", "--type", "uint"});
    ASSERT_EQ(setCode, 0) << setOut;

    const Report r = machine.Update({"--modem-version", "1.0.0"});
    EXPECT_EQ(r.ExitCode, 0) << r.Output;
    EXPECT_EQ(r["problems"], "");
    EXPECT_EQ(r["decision"], "upgrade");
    EXPECT_EQ(machine.State(), 3);
    const auto [showCode, shown] =
        machine.Tool({"state", machine.Folder(), "--device", device, "show"});
    ASSERT_EQ(showCode, 0) << shown;
    EXPECT_TRUE(std::regex_search(shown, std::regex("PrevFwVersion +VT_LPWSTR +\"1\\.0\\.0\"")))
        << shown;
}

TEST(Scenario, TracedUpdateDecodes) {
    Machine machine;
    ASSERT_NO_FATAL_FAILURE(machine.WriteImage(kNew, kItems));
    const std::string log = machine.Folder() + "/update.log";
    const Report r = machine.Update({"--modem-version", "1.0.0", "--trace", log});
    ASSERT_EQ(r.ExitCode, 0) << r.Output;
    EXPECT_TRUE(r.Clean()) << r.Output;

    const auto [infoCode, info] = machine.Tool({"trace", "--level", "4", log});
    ASSERT_EQ(infoCode, 0) << info;
    for (const char* step : {"Configure", "OnPrepareHardware", "DownloadThread",
                             "OnUpgradeComplete", "OnReleaseHardware"}) {
        EXPECT_NE(info.find(step), std::string::npos) << step;
    }
    // The decision's service reads are the service's own messages: a reader that keeps
    // only the transport's flag still sees both versions that were compared.
    const auto [transportCode, transport] = machine.Tool({"trace", "--flags", "0x20", log});
    ASSERT_EQ(transportCode, 0) << transport;
    for (const char* read :
         {"ReadFirmwareVersions: entry", "ReadImageFirmwareVersion: 2\\.0\\.0\n",
          "ReadCurrentFirmwareVersion: 1\\.0\\.0\n", "ReadFirmwareVersions: exit 0x00000000"}) {
        EXPECT_TRUE(std::regex_search(
            transport, std::regex(std::string("MBDeviceService +INFO +TRANSPORT +") + read)))
            << read << "\n"
            << transport;
    }
    EXPECT_EQ(transport.find(" Device "), std::string::npos);
    const auto [errorCode, errors] = machine.Tool({"trace", "--level", "2", log});
    ASSERT_EQ(errorCode, 0) << errors;
    EXPECT_NE(errors.find(" ERROR "), std::string::npos);
    EXPECT_EQ(errors.find(" INFO "), std::string::npos);
    // The host joined the multithreaded apartment before the driver's OnInitialize: its
    // S_FALSE is no error.
    EXPECT_NE(info.find("OnInitialize: entry"), std::string::npos);
    EXPECT_EQ(errors.find("OnInitialize"), std::string::npos) << errors;

    // A damaged log stops the decoder with a message, not a crash.
    fs::resize_file(log, fs::file_size(log) - 3);
    EXPECT_EQ(machine.Tool({"trace", log}).first, 1);
}

}  // namespace

namespace {

// Whether a module of this name is mapped into the process.
bool Mapped(const std::string& module) {
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);) {
        if (line.size() >= module.size() + 1 &&
            line.compare(line.size() - module.size() - 1, std::string::npos, "/" + module) == 0) {
            return true;
        }
    }
    return false;
}

// The host unloads the driver at the end of every run in its process, and the module
// leaves the process as FreeLibrary promises: nothing of the modem calls into it
// afterwards, and what it allocated is freed (a sanitized build reports a leak at exit).
TEST(Scenario, EachRunUnloadsTheDriverModule) {
    Machine machine;
    ASSERT_NO_FATAL_FAILURE(machine.WriteImage(kNew, kItems));
    const fs::path folder = fs::current_path();  // the host works from the machine folder
    driverhost::HostOptions options;
    options.MachineFolder = machine.Folder();
    options.ModemVersion = "1.0.0";
    options.TimeScale = std::stod(kTimeScale);
    options.Progress = false;
    using driverhost::HostDecision;
    for (const HostDecision want :
         {HostDecision::Upgrade, HostDecision::Current, HostDecision::Current}) {
        SCOPED_TRACE(driverhost::DecisionName(want));
        std::ostringstream story;
        driverhost::HostReport report;
        EXPECT_EQ(driverhost::RunHost(options, story, &report), 0) << story.str();
        EXPECT_EQ(report.Decision, want) << story.str();
        EXPECT_TRUE(report.Problems.empty()) << story.str();
        EXPECT_FALSE(Mapped("Brelk.dll"));
        options.ModemVersion.clear();
    }
    fs::current_path(folder);
}

// A machine keeps the Windows folder it was given: the driver finds the image and its
// modules below it through SystemRoot, on any drive, with or without a trailing
// separator, and the next start without the option still uses it.
TEST(Scenario, MachineKeepsItsWindowsFolder) {
    struct Case {
        const char* folder;
        const char* hostFolder;  // below the machine folder
    };
    for (const Case& c : {Case{"D:\\WinNT\\", "D/WinNT"}, Case{"c:/Win/Sys", "C/Win/Sys"},
                          Case{"C:\\Windows", "C/Windows"}}) {
        SCOPED_TRACE(c.folder);
        Machine machine;
        const std::string image = machine.Folder() + "/new.fls";
        std::string error;
        ASSERT_TRUE(fwimage::WriteImage(image, kNew, kItems, &error)) << error;
        const Report first = machine.Update(
            {"--windows-folder", c.folder, "--image", image, "--modem-version", "1.0.0"});
        ASSERT_EQ(first.ExitCode, 0) << first.Output;
        EXPECT_TRUE(first.Clean()) << first.Output;
        EXPECT_EQ(first["modem_after"], "2.0.0");
        EXPECT_NE(first.Output.find("progress state not yet created"), std::string::npos)
            << first.Output;
        EXPECT_EQ(first.Output.find("state -1"), std::string::npos) << first.Output;
        EXPECT_EQ(first.Output.find("counter -1"), std::string::npos) << first.Output;
        const fs::path velto = fs::path(machine.Folder()) / c.hostFolder / "Firmware" / "Velto";
        EXPECT_TRUE(fs::exists(velto / "new.fls") || fs::exists(velto / "Lumbra_QB4410_NAND.fls"));
        EXPECT_EQ(driverhost::FirmwareFolder(machine.Folder()), velto.string());

        const Report again = machine.Update({});
        ASSERT_EQ(again.ExitCode, 0) << again.Output;
        EXPECT_EQ(again["decision"], "current");
        EXPECT_NE(again.Output.find(std::string("Windows folder ") + c.folder), std::string::npos)
            << again.Output;
    }
    Machine machine;
    for (const char* bad : {"Windows", "\\Windows", "C:Windows", "C:\\..\\etc"}) {
        SCOPED_TRACE(bad);
        const Report r = machine.Update({"--windows-folder", bad});
        EXPECT_EQ(r.ExitCode, 2) << r.Output;
        EXPECT_NE(r.Output.find("--windows-folder"), std::string::npos) << r.Output;
    }
}

}  // namespace
}  // namespace brelk::test
