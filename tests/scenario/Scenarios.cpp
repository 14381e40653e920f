#include "Scenarios.h"

#include <signal.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "HostRunner.h"
#include "PersistedValues.h"
#include "Program.h"
#include "TestFolders.h"
#include "WineRun.h"

namespace fs = std::filesystem;

namespace brelk::test {

std::string Report::operator[](const std::string& key) const {
    auto it = Values.find(key);
    return it == Values.end() ? std::string("<none>") : it->second;
}

int Report::Int(const std::string& key) const {
    return std::atoi((*this)[key].c_str());
}

std::vector<std::string> Report::List(const std::string& key) const {
    std::vector<std::string> items;
    std::stringstream in((*this)[key]);
    for (std::string item; std::getline(in, item, ',');) {
        items.push_back(item);
    }
    return items;
}

bool Report::Clean() const {
    return Output.find("Sanitizer") == std::string::npos &&
           Output.find("runtime error") == std::string::npos;
}

bool Report::Said(const std::string& text) const {
    return std::find(Debug.begin(), Debug.end(), text) != Debug.end();
}

Machine::Machine(HostSystem system)
    : m_System(system),
      m_Folder(FreshFolder(system == HostSystem::Wine ? "wine-scenario" : "scenario")) {
    if (m_System == HostSystem::Wine) {
        std::string error;
        std::ostringstream out;
        EXPECT_TRUE(wine::EnsurePrefix(m_Folder, wine::SetupFromEnvironment(), out, &error))
            << error;
    }
}

Machine::~Machine() {
    if (m_System == HostSystem::Wine) {
        // The server keeps the prefix's files open and would save its registry into a
        // removed folder.
        wine::StopPrefix(m_Folder, wine::SetupFromEnvironment());
    }
    fs::remove_all(m_Folder);
}

std::string Machine::FirmwareFolder() const {
    if (m_System == HostSystem::Wine) {
        return wine::PrefixOf(m_Folder) + "/drive_c/windows/Firmware/Velto";
    }
    return driverhost::FirmwareFolder(m_Folder);
}

void Machine::WriteImage(const std::string& versionText,
                         const std::vector<fwimage::ItemSpec>& items) {
    fs::create_directories(FirmwareFolder());
    std::string error;
    ASSERT_TRUE(fwimage::WriteImage(FirmwareFolder() + "/Lumbra_QB4410_NAND.fls", versionText,
                                    items, &error))
        << error;
}

std::vector<std::string> Machine::Args(const std::vector<std::string>& extra) const {
    std::vector<std::string> args = {BinFolder() + "/brelk-sim", "update"};
    if (m_System == HostSystem::Wine) {
        args.push_back("--wine");
    }
    for (const std::string& a :
         {std::string("--machine"), m_Folder, std::string("--time-scale"),
          std::string(m_System == HostSystem::Wine ? kWineTimeScale : kTimeScale),
          std::string("--no-progress"), std::string("--report"), ReportPath()}) {
        args.push_back(a);
    }
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

pid_t Machine::Spawn(const std::vector<std::string>& extra) const {
    return SpawnArgs(Args(extra));
}

std::pair<int, std::string> Machine::Tool(const std::vector<std::string>& args) const {
    std::vector<std::string> full = {BinFolder() + "/brelk-sim"};
    full.insert(full.end(), args.begin(), args.end());
    const int code = simcommon::RunProgram(full, OutputPath());
    return {code, OutputSoFar()};
}

pid_t Machine::SpawnArgs(const std::vector<std::string>& args) const {
    return simcommon::SpawnProgram(args, OutputPath());
}

std::string Machine::OutputSoFar() const {
    std::ifstream out(OutputPath());
    return std::string(std::istreambuf_iterator<char>(out), {});
}

Report Machine::Collect(pid_t pid) const {
    Report r;
    r.ExitCode = simcommon::WaitProgram(pid);
    r.Output = OutputSoFar();
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

Report Machine::Update(const std::vector<std::string>& extra) const {
    return Collect(Spawn(extra));
}

namespace {

// Wine's own reg.exe reads the device's hardware key: "    NAME    REG_DWORD    0x2".
int RegistryNumber(const std::string& machineFolder, const wchar_t* name) {
    const std::wstring id = driverhost::kDefaultInstanceId;
    const std::string key = "HKLM\\System\\CurrentControlSet\\Enum\\" +
                            std::string(id.begin(), id.end()) + "\\Device Parameters";
    const std::string value(name, name + std::wcslen(name));
    const wine::WineSetup setup = wine::SetupFromEnvironment();
    wine::PointAtPrefix(machineFolder);
    const std::string out = machineFolder + "/reg-query.txt";
    const bool ran =
        simcommon::RunProgram({setup.Wine64, "reg", "query", key, "/v", value}, out) == 0;
    std::ifstream in(out);
    const std::regex line("^\\s+" + value + "\\s+REG_DWORD\\s+0x([0-9a-fA-F]+)\\s*$");
    for (std::string text; ran && std::getline(in, text);) {
        std::smatch m;
        if (std::regex_match(text, m, line)) {
            return static_cast<int>(std::stoul(m[1].str(), nullptr, 16));
        }
    }
    return -1;
}

}  // namespace

int Machine::Persisted(const wchar_t* name) const {
    if (m_System == HostSystem::Wine) {
        return RegistryNumber(m_Folder, name);
    }
    return driverhost::ReadPersistedUint(m_Folder, driverhost::kDefaultInstanceId, name);
}

int Machine::State() const {
    return Persisted(persisted::kProgressStateName);
}

int Machine::Counter() const {
    return Persisted(persisted::kRetryCounterName);
}

std::string Machine::ModemVersion() const {
    std::ifstream fw(m_Folder + "/modem/firmware_version");
    std::string version;
    std::getline(fw, version);
    return version;
}

const std::string kNew = "QB4410 FW 1:2.0.0 2024-05-01";
const std::vector<fwimage::ItemSpec> kItems = {
    {"boot", 2, 4096, ""}, {"modem", 4, 96 * 1024, ""}, {"user", 5, 40 * 1024, ""}};
const std::vector<fwimage::ItemSpec> kSlowItems = {{"modem", 4, 256 * 1024, ""}};
// Each block of the item waits 2 s of platform time: the download is still running when
// the host is killed or the device stopped.
const std::vector<std::string> kSlowBlocks = {"--faults", "flashkit.block:delay=2000x*"};

std::vector<std::string> Plus(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

namespace {

const std::vector<fwimage::ItemSpec> kNothingToDownload = {{"boot", 2, 4096, ""},
                                                           {"nvm", 3, 8192, ""}};

// The persisted progress states the starts expect.
constexpr int kPending = persisted::kStatePending;
constexpr int kCompleted = persisted::kStateCompleted;
constexpr int kFailed = persisted::kStateFailed;
constexpr int kExhausted = persisted::kStateRetriesExhausted;
constexpr int kNone = persisted::kStateNone;
constexpr int kDownloading = persisted::kStateDownloading;

const std::vector<std::string> kAlwaysFails = {"--faults", "flashkit.item/1:status1x*"};
// After a start that failed on bad input, a start on a sound machine is a first attempt:
// the failed one left nothing that reads as an attempt.
const Start kSoundFirstAttempt = {{}, {0, "upgrade", 0, kCompleted, 0, "2.0.0", "0x00000000"}};

const std::vector<Scenario> kScenarios = {
    {"first start updates, the next finds the firmware current",
     kNew,
     kItems,
     "1.0.0",
     {{{}, {0, "upgrade", 0, kCompleted, 0, "2.0.0", "0x00000000", "Parlex.dll,Flashkit.dll"}},
      {{}, {0, "current", 0, kCompleted, 0, "2.0.0"}}}},
    {"firmware current", kNew, kItems, "2.0.0", {{{}, {0, "current", 0, kCompleted, 0, "2.0.0"}}}},
    {"equal versions, forced device key",
     kNew,
     kItems,
     "2.0.0",
     {{{"--force-key"}, {0, "upgrade", 0, kCompleted, 0, "2.0.0"}}}},
    {"equal versions, forced device key in lower case",
     kNew,
     kItems,
     "2.0.0",
     {{{"--hardware-id", "mbfw\\{4ca8ca0e-2a90-4d00-b29d-15ab8a12d309}"},
       {0, "upgrade", 0, kCompleted, 0, "2.0.0"}}}},
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
    {"a modem that does not answer, then one that does",
     kNew,
     kItems,
     "1.0.0",
     {{{"--faults", "modem.silent:on"}, {1, "failed", 0, kPending, 0, "1.0.0"}},
      {{}, {0, "upgrade", 1, kCompleted, 0, "2.0.0"}}}},
    {"no image", "", {}, "1.0.0", {{{}, {1, "failed", 0, kNone, 0, "1.0.0", "0x00000000"}}}},
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
     {{{"--parlex", "none"}, {1, "", -2, kNone, 0, "1.0.0", "0x80004005", "-"}},
      kSoundFirstAttempt}},
    {"Parlex.dll lacking an export",
     kNew,
     kItems,
     "1.0.0",
     {{{"--parlex", "no-SendRetryCountToOEM"},
       {1, "", -2, kNone, 0, "1.0.0", "0x80004005", "Parlex.dll"}},
      kSoundFirstAttempt}},
    {"Parlex.dll without IsDriverCheckRequired: Flashkit.dll is not loaded",
     kNew,
     kItems,
     "1.0.0",
     {{{"--parlex", "no-IsDriverCheckRequired"},
       {1, "", -2, kNone, 0, "1.0.0", "0x80004005", "Parlex.dll"}},
      kSoundFirstAttempt}},
    {"Flashkit.dll missing",
     kNew,
     kItems,
     "1.0.0",
     {{{"--flashkit", "none"}, {1, "", -2, kNone, 0, "1.0.0", "0x80004005", "Parlex.dll"}},
      kSoundFirstAttempt}},
    {"Flashkit.dll lacking an export",
     kNew,
     kItems,
     "1.0.0",
     {{{"--flashkit", "no-ZKTR_DL_boot_target"},
       {1, "", -2, kNone, 0, "1.0.0", "0x80004005", "Parlex.dll,Flashkit.dll"}},
      kSoundFirstAttempt}},
};

// Waits (bounded) until the running host has said that the download started, which it
// does once the driver stored "downloading" and started its thread, then kills it.
void KillWhileDownloading(const Machine& machine, pid_t pid) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (machine.OutputSoFar().find("download started") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_NE(machine.OutputSoFar().find("download started"), std::string::npos)
        << "the download never started:\n"
        << machine.OutputSoFar();
    ASSERT_EQ(kill(pid, SIGKILL), 0);
}

}  // namespace

const std::vector<Scenario>& Scenarios() {
    return kScenarios;
}

std::string ScenarioTestName(const ::testing::TestParamInfo<size_t>& row) {
    std::string name;
    for (const char c : std::string(kScenarios[row.param].Name)) {
        if (std::isalnum(static_cast<unsigned char>(c))) {
            name += c;
        } else if (!name.empty() && name.back() != '_') {
            name += '_';
        }
    }
    while (!name.empty() && name.back() == '_') {
        name.pop_back();
    }
    return name;
}

void RunScenario(const Scenario& s, HostSystem system) {
    Machine machine(system);
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
            if (!w.AddHr.empty()) {
                EXPECT_EQ(r["add_hr"], w.AddHr);
            }
            if (!w.ModulesAtAdd.empty()) {
                EXPECT_EQ(r["modules_at_add"], w.ModulesAtAdd == "-" ? "" : w.ModulesAtAdd);
            }
        }
        EXPECT_EQ(machine.State(), w.StateAfter);
        EXPECT_EQ(machine.Counter(), w.CounterAfter);
        if (!w.ModemAfter.empty()) {
            EXPECT_EQ(machine.ModemVersion(), w.ModemAfter);
        }
        if (start.KillWhileDownloading) {
            continue;
        }
        const auto commands = r.List("commands");
        const bool set4 =
            std::find(commands.begin(), commands.end(), "upgrade:set4") != commands.end();
        EXPECT_EQ(set4, w.Decision == "upgrade");
        if (w.Decision == "upgrade") {
            // Every started download ends with the final command, and the release undoes
            // command 4 afterwards.
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

}  // namespace brelk::test
