#pragma once
// Whole updates as child processes, observed from outside: one `brelk-sim update` per
// start of the modem's device node on a simulated machine, its report, the machine's
// database and the modem's firmware. Shared by the fault matrix, the power-loss test
// and the soak.
#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace brelk_matrix {

inline constexpr char kOldFirmware[] = "1.0.0";
inline constexpr char kNewFirmware[] = "2.0.0";
inline constexpr char kImageVersionText[] = "QB4410 FW 1:2.0.0 2024-05-01";
inline constexpr int kRetryLimit = 3;  // Parlex's own build
inline constexpr char kInstanceId[] = "USB\\VID_1E2D&PID_00B7&MI_0C\\7&2C5E8F1&0&000C";

// The folder of the running program, where brelk-sim lives.
std::string BinFolder();

// What one start showed. A start that did not end by itself within its bound was killed.
struct StartResult {
    bool Exited = false;  // ended by itself (exit code valid)
    bool Hung = false;    // still running at the bound, then killed
    int ExitCode = -1;
    int Signal = 0;  // the signal that ended it, if one did
    std::map<std::string, std::string> Values;
    std::string Output;

    std::string Get(const std::string& key) const;
    int Int(const std::string& key) const;
    // A sanitizer report in the child would otherwise hide behind an expected result.
    bool Clean() const;
};

// A fresh machine folder with the test image installed, removed at the end.
class Machine {
public:
    Machine(std::string binFolder, double timeScale);
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    const std::string& Folder() const { return m_Folder; }
    double TimeScale() const { return m_TimeScale; }
    // Stages a persisted value as a user could (brelk-sim state ... set).
    bool Preset(const std::string& name, int value);

    // Starts `brelk-sim update` on this machine; the first start sets the modem's firmware.
    pid_t Spawn(const std::vector<std::string>& extra = {});
    // Waits for the child, killing it once the bound has passed.
    StartResult Wait(pid_t pid);
    StartResult Update(const std::vector<std::string>& extra = {}) { return Wait(Spawn(extra)); }

    // How long one start may take in real seconds: the driver's longest path (download
    // budget, the decision's and the release's time-outs and pauses) at this time scale,
    // plus time to start and end a process.
    double BoundSeconds() const;
    std::string ModemFirmware() const;

private:
    pid_t SpawnArgs(const std::vector<std::string>& args, const std::string& output);
    std::string m_Bin;
    double m_TimeScale;
    std::string m_Folder;
    int m_Starts = 0;
};

// What a fault-free start must do, from the persisted state and counter it finds (-1:
// missing) and whether the modem already runs the image's firmware.
struct PolicyStep {
    std::string Decision;  // upgrade, current, exhausted
    int CounterPrepared = 0;
    int StateAfter = 0;
    int CounterAfter = 0;
    bool ModemNew = false;
};
PolicyStep NextStart(int state, int counter, bool modemNew, int limit = kRetryLimit);

// A fault-free start checked against NextStart; what disagreed, empty when it all held.
std::vector<std::string> CheckPolicyStart(const StartResult& start, const PolicyStep& want);

// The machine's database: SQLite's integrity check, and the driver's three values of the
// right types where they exist. Empty when sound.
std::vector<std::string> CheckDatabase(const std::string& machineFolder);

// A persisted number of the modem's node ("FWUpdateProgressState", "FWURetryCounter"),
// read straight from the database; -1 when missing or unreadable.
int PersistedValue(const std::string& machineFolder, const std::string& name);

// "q1 q3 s4 f1 s5" for the report's commands (query/set on the upgrade service, f on the
// final service).
std::string ShortCommands(const std::string& commands);

}  // namespace brelk_matrix
