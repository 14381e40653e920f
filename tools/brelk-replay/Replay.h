#pragma once
// Runs of the retry policy's model (model/policy.pml), as spin prints them, replayed
// against the real modules: each start of a run becomes one `brelk-sim update` with the
// limit, the fault and the kill point the model chose, and after each start the machine
// must hold the state and counter the model holds, with as many loader boots as the
// model made downloads.
#include <ostream>
#include <string>
#include <vector>

namespace brelk_replay {

struct ModelStart {
    int Found = 0, Counter = 0, Limit = 3;
    bool ModemNew = false;
    int Writes = 0;               // state and counter writes this start made
    int KillAtWrite = -1;         // killed after this many writes, before the next
    bool KillBeforeBoot = false;  // ... the last of them state 2: before the loader boots
    bool KillInDownload = false;
    bool KillInPause = false;  // after the completion, in the pause before the final command
    int Lost = 0;              // writes the kill took back
    bool StartFails = false;   // the data session is refused
    bool Download = false;
    bool Fails = false;                  // the download fails
    bool NotTaken = false;               // reported successful, modem keeps its firmware
    int EndState = -1, EndCounter = -1;  // -1: the printout ended inside this start
};

struct Sequence {
    std::string Name;
    std::vector<ModelStart> Starts;
};

// The starts in spin's printout (a trail replayed with -t, or a random simulation); at
// most maxStarts of them. keepPartial keeps a last start the printout ends inside (its
// EndState is -1: only its download is checked).
Sequence ParseRun(const std::string& name, const std::string& printout, size_t maxStarts,
                  bool keepPartial = false);

// A random simulation of the model: spin -n<seed>, with its options.
std::string SimulateModel(const std::string& spin, const std::string& model, unsigned seed,
                          const std::string& options, size_t starts, std::string* error);

// The fault plan of one start of the machine.
std::string FaultsFor(const ModelStart& s);

struct ReplayOptions {
    std::string BinFolder;
    double TimeScale = 500;
};

// Replays one sequence on a fresh machine; false, with what disagreed, when the machine and
// the model parted.
bool Replay(const Sequence& sequence, const ReplayOptions& options, std::ostream& log,
            int* downloads);

}  // namespace brelk_replay
