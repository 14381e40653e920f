#include "Replay.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "PersistedValues.h"
#include "Program.h"
#include "UpdateRun.h"

namespace brelk_replay {

namespace {

// The two values the model knows; the driver's other writes (PrevFwVersion, the defaults
// of a new device) are not its business.
constexpr char kPolicyValues[] = "store.write/FWUpdateProgressState|FWURetryCounter";
constexpr char kNewFirmware[] = "2.0.0";

int Field(const std::string& line, const std::string& key) {
    const size_t at = line.find(key + "=");
    return at == std::string::npos ? -1 : std::stoi(line.substr(at + key.size() + 1));
}

int Boots(const std::string& folder) {
    std::ifstream in(folder + "/modem/boots");
    int n = 0;
    in >> n;
    return n;
}

// What the machine's next boot sees: opening the store rolls back the writes a killed
// host had not flushed.
bool Reboot(const brelk_matrix::Machine& machine, const std::string& bin) {
    const std::string sim = bin + "/brelk-sim";
    return simcommon::RunProgram({sim, "state", machine.Folder(), "show"}, "/dev/null") == 0;
}

}  // namespace

Sequence ParseRun(const std::string& name, const std::string& printout, size_t maxStarts,
                  bool keepPartial) {
    Sequence seq{name, {}};
    std::istringstream in(printout);
    std::string line;
    ModelStart s;
    bool open = false;
    bool lastWasTwo = false;
    while (std::getline(in, line) && seq.Starts.size() < maxStarts) {
        const size_t first = line.find_first_not_of(' ');
        if (first == std::string::npos) {
            continue;
        }
        line = line.substr(first);
        if (line.rfind("START", 0) == 0) {
            s = ModelStart{};
            lastWasTwo = false;
            s.Found = Field(line, "found");
            s.Counter = Field(line, "counter");
            s.Limit = Field(line, "limit");
            s.ModemNew = Field(line, "modem") == 1;
            open = true;
        } else if (!open) {
            continue;
        } else if (line.rfind("WRITE", 0) == 0) {
            ++s.Writes;
            lastWasTwo = line == "WRITE state 2";
        } else if (line == "KILL writes") {
            s.KillAtWrite = s.Writes;
            s.KillBeforeBoot = lastWasTwo;
        } else if (line == "KILL download") {
            s.KillInDownload = true;
        } else if (line == "KILL pause") {
            s.KillInPause = true;
        } else if (line.rfind("LOST ", 0) == 0) {
            s.Lost = std::stoi(line.substr(5));
        } else if (line == "FAIL start") {
            s.StartFails = true;
        } else if (line == "DOWNLOAD") {
            s.Download = true;
        } else if (line == "OUTCOME failure") {
            s.Fails = true;
        } else if (line == "NOTAKE") {
            s.NotTaken = true;
        } else if (line.rfind("END", 0) == 0) {
            s.EndState = Field(line, "state");
            s.EndCounter = Field(line, "counter");
            seq.Starts.push_back(s);
            open = false;
        }
    }
    // A counterexample ends inside the start that broke the property: what it did so far
    // (the download it began, or none) is still checked.
    if (open && keepPartial && seq.Starts.size() < maxStarts) {
        seq.Starts.push_back(s);
    }
    return seq;
}

std::string SimulateModel(const std::string& spin, const std::string& model, unsigned seed,
                          const std::string& options, size_t starts, std::string* error) {
    // spin writes its preprocessed model into the current folder: one folder per process,
    // so that replays side by side do not share it.
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("brelk-replay-" + std::to_string(getpid()));
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    // Enough steps for that many starts; the run is cut to whole starts afterwards.
    const std::string command = "cd '" + dir.string() + "' && " + spin + " -n" +
                                std::to_string(seed) + " -u" + std::to_string(100 * starts + 100) +
                                " " + options + " '" + std::filesystem::absolute(model).string() +
                                "' 2>&1";
    FILE* p = popen(command.c_str(), "r");
    if (p == nullptr) {
        *error = "cannot run " + command;
        return {};
    }
    std::string out;
    char buffer[4096];
    size_t n = 0;
    while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) {
        out.append(buffer, n);
    }
    if (pclose(p) != 0 && out.find("START") == std::string::npos) {
        *error = command + " failed: " + out;
    }
    return out;
}

std::string FaultsFor(const ModelStart& s) {
    std::vector<std::string> rules;
    // The kill first: a rule that fires hides the ones after it from that call.
    if (s.KillBeforeBoot) {
        rules.push_back("flashkit.boot_call:kill");
    } else if (s.KillAtWrite >= 0) {
        rules.push_back(std::string(kPolicyValues) + ":kill@" + std::to_string(s.KillAtWrite));
    } else if (s.KillInPause) {
        // The final command (the second command 1 of the start; the decision queried the
        // first) is sent when the pause ends: killed there, the pause never ended.
        rules.push_back("modem.command/1:kill@1");
    } else if (s.KillInDownload) {
        rules.push_back("flashkit.item/1:kill");
    }
    if (s.Lost > 0) {
        rules.push_back(std::string(kPolicyValues) + ":lazy=" + std::to_string(s.Lost) + "x*");
    }
    if (s.StartFails) {
        rules.push_back("modem.session.open/data:refuse");
    }
    if (s.Fails) {
        rules.push_back("flashkit.item/1:status1");
    }
    std::string plan;
    for (const auto& r : rules) {
        plan += (plan.empty() ? "" : ";") + r;
    }
    return plan;
}

bool Replay(const Sequence& seq, const ReplayOptions& options, std::ostream& log, int* downloads) {
    brelk_matrix::Machine machine(options.BinFolder, options.TimeScale);
    *downloads = 0;
    if (seq.Starts.empty()) {
        return true;
    }
    const ModelStart& first = seq.Starts.front();
    // The model's 7 stands for every state handled like 4.
    if (!machine.Preset(persisted::kProgressStateText, first.Found == 7 ? 200 : first.Found) ||
        !machine.Preset(persisted::kRetryCounterText, first.Counter)) {
        log << seq.Name << ": cannot stage the first start's state\n";
        return false;
    }
    for (size_t i = 0; i < seq.Starts.size(); ++i) {
        const ModelStart& s = seq.Starts[i];
        auto fail = [&](const std::string& what) {
            log << seq.Name << ", start " << i + 1 << " (found " << s.Found << "/" << s.Counter
                << ", limit " << s.Limit << ", faults '" << FaultsFor(s) << "'): " << what << "\n";
            return false;
        };
        if (s.NotTaken) {
            return fail("the simulated modem always takes a download reported successful");
        }
        const bool modemNew = machine.ModemFirmware() == kNewFirmware;
        if (i > 0 && modemNew != s.ModemNew) {
            return fail("modem firmware " + machine.ModemFirmware() + ", the model's modem " +
                        (s.ModemNew ? "new" : "old"));
        }
        std::vector<std::string> args = {"--retry-limit", std::to_string(s.Limit)};
        if (i == 0 && s.ModemNew) {
            args.insert(args.end(), {"--modem-version", kNewFirmware});
        }
        if (const std::string plan = FaultsFor(s); !plan.empty()) {
            args.insert(args.end(), {"--faults", plan});
        }
        const int bootsBefore = Boots(machine.Folder());
        const auto result = machine.Update(args);
        if (result.Hung) {
            return fail("the start did not end\n" + result.Output);
        }
        if (!Reboot(machine, options.BinFolder)) {
            return fail("the machine's store could not be opened after the start");
        }
        const int state =
            brelk_matrix::PersistedValue(machine.Folder(), persisted::kProgressStateText);
        const int counter =
            brelk_matrix::PersistedValue(machine.Folder(), persisted::kRetryCounterText);
        const int expectedState = s.EndState == 7 ? 200 : s.EndState;
        const int boots = Boots(machine.Folder()) - bootsBefore;
        *downloads += boots;
        const bool partial = s.EndState < 0;
        if ((!partial && (state != expectedState || counter != s.EndCounter)) ||
            boots != (s.Download ? 1 : 0)) {
            std::ostringstream what;
            what << "the machine holds state " << state << ", counter " << counter << " after "
                 << boots << " downloads; the model " << expectedState << ", " << s.EndCounter
                 << " after " << (s.Download ? 1 : 0) << "\n"
                 << result.Output;
            return fail(what.str());
        }
        if (const auto problems = brelk_matrix::CheckDatabase(machine.Folder());
            !problems.empty()) {
            return fail("the store is damaged: " + problems.front());
        }
    }
    return true;
}

}  // namespace brelk_replay
