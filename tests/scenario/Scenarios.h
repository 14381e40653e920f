#pragma once
// Whole updates on simulated machines, as a user runs them: each start of the device node
// is one `brelk-sim update` process (the framework host with the real Brelk.dll,
// Parlex.dll and Flashkit.dll loaded by name), observed through its report, the machine's
// property store and the modem's firmware. The same table of starts runs on our layer and,
// with `update --wine`, with the PE builds under Wine, where the store is the registry and
// is read back with Wine's own reg.exe.
#include <sys/types.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "FirmwareImage.h"

namespace brelk::test {

// The driver's 3 x 3000 ms EXEC pauses, 10 s final pause and 10 s waits stay real; at
// this scale the pauses of a whole update take 0.2 s, and the budget (1.8 s of real time)
// leaves room for sanitizer builds.
inline constexpr const char* kTimeScale = "100";
// Under Wine every event and wait is a round trip to the wineserver, which must also get
// a core: half the scale leaves the budget 3.6 s of real time.
inline constexpr const char* kWineTimeScale = "50";

enum class HostSystem { Layer, Wine };

struct Report {
    int ExitCode = -1;
    std::map<std::string, std::string> Values;
    std::vector<std::string> Debug;
    std::string Output;

    std::string operator[](const std::string& key) const;
    int Int(const std::string& key) const;
    std::vector<std::string> List(const std::string& key) const;
    // A sanitizer report in the child would otherwise hide behind an expected exit code.
    bool Clean() const;
    bool Said(const std::string& text) const;
};

// A fresh machine folder, removed at the end; under Wine with a prefix of its own
// (BRELK_WINE_TEMPLATE's copy when set), whose server is ended first.
class Machine {
public:
    explicit Machine(HostSystem system = HostSystem::Layer);
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    const std::string& Folder() const { return m_Folder; }
    HostSystem System() const { return m_System; }
    // Where the driver looks for the image.
    std::string FirmwareFolder() const;

    void WriteImage(const std::string& versionText, const std::vector<fwimage::ItemSpec>& items);

    std::vector<std::string> Args(const std::vector<std::string>& extra) const;
    pid_t Spawn(const std::vector<std::string>& extra) const;
    // Runs brelk-sim with these arguments; its exit code and output.
    std::pair<int, std::string> Tool(const std::vector<std::string>& args) const;
    Report Collect(pid_t pid) const;
    Report Update(const std::vector<std::string>& extra) const;
    // What the running start has printed so far.
    std::string OutputSoFar() const;

    // A persisted value of the default device node, -1 when missing or unreadable.
    int Persisted(const wchar_t* name) const;
    int State() const;
    int Counter() const;
    std::string ModemVersion() const;

private:
    pid_t SpawnArgs(const std::vector<std::string>& args) const;
    std::string ReportPath() const { return m_Folder + "/report.txt"; }
    std::string OutputPath() const { return m_Folder + "/output.txt"; }

    const HostSystem m_System;
    std::string m_Folder;
};

// What one start must show. Empty texts and -2 are not checked.
struct Expect {
    int Exit;
    std::string Decision;
    int CounterPrepared;
    int StateAfter;
    int CounterAfter;
    std::string ModemAfter;
    std::string AddHr = "";         // report's add_hr
    std::string ModulesAtAdd = "";  // libraries held when device add returned; "-" none
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

const std::vector<Scenario>& Scenarios();
// A test name for the row, from its words.
std::string ScenarioTestName(const ::testing::TestParamInfo<size_t>& row);

// Runs the scenario's starts one after the other on a fresh machine of `system`, checking
// each start's report, stored state and modem.
void RunScenario(const Scenario& scenario, HostSystem system);

// Shared by the other suites of whole updates.
extern const std::string kNew;
extern const std::vector<fwimage::ItemSpec> kItems;
extern const std::vector<fwimage::ItemSpec> kSlowItems;
extern const std::vector<std::string> kSlowBlocks;
std::vector<std::string> Plus(std::vector<std::string> a, const std::vector<std::string>& b);

}  // namespace brelk::test
