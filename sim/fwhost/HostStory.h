#pragma once
// The story a run tells: the lines the user reads (the progress bar drawn in place on a
// terminal), the outcome the exit code follows from, and the report file for scripts.
#include <windows.h>

#include <cstdint>
#include <ostream>
#include <string>

#include "HostMachine.h"
#include "HostRunner.h"

namespace fwhost {

class Story {
public:
    Story(std::ostream& out, bool progress, bool terminal)
        : m_Out(out), m_Progress(progress), m_Tty(terminal) {}

    void Line(const std::string& text);
    // New debugger output since the last call. The port callbacks say the same text for
    // every read, so a run of equal texts shows once, with its count.
    void DebugOutput(HostReport& report, bool flush = false);
    void Progress(uint32_t items, uint32_t totalItems, uint64_t bytes, uint64_t totalBytes);
    void EndBar();

private:
    void FlushRepeats();
    void ClearBar();
    void DrawBar();

    std::ostream& m_Out;
    const bool m_Progress;
    const bool m_Tty;
    size_t m_DebugSeen = 0;
    std::string m_LastDebug;
    bool m_DebugShown = false;
    uint64_t m_Repeats = 0;
    std::string m_Bar;
    bool m_BarShown = false;
    uint32_t m_LastItems = UINT32_MAX;
    int m_LastQuarter = -1;
};

// How a run ended, as the exit code and the story's last lines tell it.
enum class Outcome {
    NotHosted,     // the machine or the driver could not be set up
    AddFailed,     // OnDeviceAdd failed
    StartFailed,   // OnPrepareHardware failed (or no device to prepare)
    Updated,       // a download ran and the modem runs the image's firmware
    UpdateFailed,  // a download ran and did not complete
    Current,       // nothing to download
    Exhausted,     // retries exhausted, nothing downloaded
    NoUpdate,      // no decision to download
};

// hosted: the driver was loaded and its lifecycle ran.
[[nodiscard]] Outcome OutcomeOf(const HostReport& report, bool hosted);
// RunHost's exit code (HostRunner.h).
[[nodiscard]] int ExitCodeOf(Outcome outcome);

// The machine as the run found it: folder, image, modem, link, persisted values, faults.
void PrintMachine(Story& story, const HostOptions& options, const std::string& windowsFolder,
                  const ImageFacts& image, const HostReport& report, bool linkOn);
// What the driver decided at its start.
void PrintDecision(Story& story, const HostReport& report);
void PrintOutcome(Story& story, const HostReport& report, Outcome outcome);
// key=value lines of the report, for scripts and tests.
void WriteReport(const std::string& path, const HostReport& report);

}  // namespace fwhost
