// Whole updates on our layer (Scenarios.h): the shared table of starts, and what only our
// layer shows (traces, the module's unload, the machine's own Windows folder).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "FirmwareImage.h"
#include "HostRunner.h"
#include "Scenarios.h"

namespace fs = std::filesystem;

namespace brelk::test {
namespace {

class ScenarioTable : public ::testing::TestWithParam<size_t> {};

TEST_P(ScenarioTable, StartAfterStart) {
    const auto& s = Scenarios()[GetParam()];
    SCOPED_TRACE(s.Name);
    RunScenario(s, HostSystem::Layer);
}

INSTANTIATE_TEST_SUITE_P(Rows, ScenarioTable, ::testing::Range<size_t>(0, Scenarios().size()),
                         ScenarioTestName);

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
