#include "HostStory.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "FaultPlan.h"
#include "HostSystem.h"
#include "HostText.h"
#include "PersistedValues.h"

namespace driverhost {
namespace {

// The process's peak resident set, from the kernel's own account.
long PeakRssKb() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::atol(line.c_str() + 6);
        }
    }
    return -1;
}

}  // namespace

void Story::Line(const std::string& text) {
    ClearBar();
    m_Out << text << "\n";
    m_Out.flush();
    DrawBar();
}

void Story::DebugOutput(HostReport& report, bool flush) {
    const auto all = sim::Host().Debugger().Read();
    for (size_t i = m_DebugSeen; i < all.size(); ++i) {
        std::string text = all[i];
        const size_t first = text.find_first_not_of(" \t\r\n");
        const size_t last = text.find_last_not_of(" \t\r\n");
        text = first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
        if (text == m_LastDebug && m_DebugShown) {
            ++m_Repeats;
            continue;
        }
        FlushRepeats();
        m_LastDebug = text;
        m_DebugShown = true;
        report.DebugOutput.push_back(text);
        Line("  debugger | " + text);
    }
    m_DebugSeen = std::max(m_DebugSeen, all.size());
    if (flush) {
        FlushRepeats();
    }
}

void Story::Progress(uint32_t items, uint32_t totalItems, uint64_t bytes, uint64_t totalBytes) {
    if (!m_Progress || totalBytes == 0) {
        return;
    }
    const int percent = static_cast<int>(std::min<uint64_t>(100, bytes * 100 / totalBytes));
    char text[160];
    const int width = 30;
    const int filled = percent * width / 100;
    std::snprintf(text, sizeof text, "download [%s%s] %3d%%  items %u/%u  %s of %s",
                  std::string(static_cast<size_t>(filled), '#').c_str(),
                  std::string(static_cast<size_t>(width - filled), '.').c_str(), percent, items,
                  totalItems, MiB(bytes).c_str(), MiB(totalBytes).c_str());
    const bool changed = text != m_Bar;
    m_Bar = text;
    if (m_Tty) {
        if (changed) {
            m_Out << "\r\033[K" << m_Bar;
            m_Out.flush();
            m_BarShown = true;
        }
        return;
    }
    // Not a terminal: one line per finished item and per quarter.
    const int quarter = percent / 25;
    if (items != m_LastItems || quarter != m_LastQuarter) {
        m_LastItems = items;
        m_LastQuarter = quarter;
        m_Out << m_Bar << "\n";
        m_Out.flush();
    }
}

void Story::EndBar() {
    if (m_Tty && m_BarShown) {
        m_Out << "\n";
        m_Out.flush();
    }
    m_BarShown = false;
    m_Bar.clear();
}

void Story::FlushRepeats() {
    if (m_Repeats != 0) {
        Line("  debugger | (" + std::to_string(m_Repeats) + " more times)");
        m_Repeats = 0;
    }
}

void Story::ClearBar() {
    if (m_Tty && m_BarShown) {
        m_Out << "\r\033[K";
    }
}

void Story::DrawBar() {
    if (m_Tty && m_BarShown) {
        m_Out << m_Bar;
        m_Out.flush();
    }
}

Outcome OutcomeOf(const HostReport& r, bool hosted) {
    if (!hosted) {
        return Outcome::NotHosted;
    }
    if (FAILED(r.AddHr)) {
        return Outcome::AddFailed;
    }
    if (FAILED(r.PrepareHr)) {
        return Outcome::StartFailed;
    }
    switch (r.Decision) {
        case HostDecision::Upgrade:
            return r.StateAfter == persisted::kStateCompleted ? Outcome::Updated
                                                              : Outcome::UpdateFailed;
        case HostDecision::Current:
            return Outcome::Current;
        case HostDecision::Exhausted:
            return Outcome::Exhausted;
        default:
            return Outcome::NoUpdate;
    }
}

int ExitCodeOf(Outcome outcome) {
    switch (outcome) {
        case Outcome::NotHosted:
            return 3;
        case Outcome::Updated:
        case Outcome::Current:
            return 0;
        default:
            return 1;
    }
}

void PrintMachine(Story& story, const HostOptions& o, const std::string& windowsFolder,
                  const ImageFacts& image, const HostReport& r, bool linkOn) {
    std::ostringstream head;
    head << "machine  " << o.MachineFolder << " (Windows folder " << windowsFolder
         << ", time scale " << o.TimeScale << ")";
    story.Line(head.str());
    story.Line("image    " + (image.Name.empty()
                                  ? std::string("none")
                                  : image.Name + ", version " + image.Version + ", " +
                                        std::to_string(image.Items) + " items to download (" +
                                        MiB(image.Bytes) + ")"));
    story.Line("modem    firmware " + r.ModemBefore + ", node " + Narrow(o.InstanceId));
    if (linkOn) {
        story.Line("link     " + r.Link);
    }
    story.Line("state    " + StateText(r.StateBefore) + ", " + CounterText(r.CounterBefore));
    if (!o.Faults.empty()) {
        story.Line("faults   " + o.Faults);
    }
}

void PrintDecision(Story& story, const HostReport& r) {
    switch (r.Decision) {
        case HostDecision::Failed:
            story.Line("decision the start failed (" + HrText(r.PrepareHr) + "), " +
                       StateText(r.StateAfterPrepare));
            break;
        case HostDecision::Upgrade:
            story.Line("decision upgrade required: modem " + r.ModemBefore + ", image " +
                       r.ImageVersion + "; download started (retry counter " +
                       std::to_string(r.CounterAfterPrepare) + ")");
            break;
        case HostDecision::Current:
            story.Line("decision firmware current (" + r.ModemBefore + "): nothing to download");
            break;
        case HostDecision::Exhausted:
            story.Line("decision retries exhausted (retry counter " +
                       std::to_string(r.CounterAfterPrepare) + "): no download");
            break;
        case HostDecision::None:
            story.Line("decision none: " + StateText(r.StateAfterPrepare));
            break;
        case HostDecision::NotMade:
            break;
    }
}

void PrintOutcome(Story& story, const HostReport& r, Outcome outcome) {
    std::string text;
    switch (outcome) {
        case Outcome::NotHosted:
            text = "the driver could not be hosted";
            break;
        case Outcome::AddFailed:
            text = "device add failed (" + HrText(r.AddHr) + ")";
            break;
        case Outcome::StartFailed:
            text = "the device's start failed (" + HrText(r.PrepareHr) + ")";
            break;
        case Outcome::Updated:
            text = "update succeeded";
            break;
        case Outcome::UpdateFailed:
            text = "update failed";
            break;
        case Outcome::Current:
            text = "firmware current, nothing downloaded";
            break;
        case Outcome::Exhausted:
            text = "retries exhausted, nothing downloaded";
            break;
        case Outcome::NoUpdate:
            text = "no update";
            break;
    }
    story.Line("outcome  " + text);
    story.Line("         " + StateText(r.StateAfter) + ", " + CounterText(r.CounterAfter));
    story.Line("         modem firmware " + r.ModemBefore + " -> " + r.ModemAfter);
    if (r.ItemsTotal != 0 && r.Decision == HostDecision::Upgrade) {
        story.Line("         loader received " + std::to_string(r.ItemsDone) + "/" +
                   std::to_string(r.ItemsTotal) + " items, " + MiB(r.BytesDone));
    }
    for (const auto& p : r.Problems) {
        story.Line("host     problem: " + p);
    }
    for (const auto& rule : sim::FaultPlan::Instance().Unfired()) {
        story.Line("faults   never fired: " + rule);
    }
}

void WriteReport(const std::string& path, const HostReport& r) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    auto join = [](const std::vector<std::string>& v) {
        std::string s;
        for (const auto& e : v) {
            s += (s.empty() ? "" : ",") + e;
        }
        return s;
    };
    out << "load_hr=" << Hex(r.LoadHr) << "\n"
        << "add_hr=" << Hex(r.AddHr) << "\n"
        << "prepare_hr=" << Hex(r.PrepareHr) << "\n"
        << "decision=" << DecisionName(r.Decision) << "\n"
        << "state_before=" << r.StateBefore << "\ncounter_before=" << r.CounterBefore << "\n"
        << "state_prepared=" << r.StateAfterPrepare
        << "\ncounter_prepared=" << r.CounterAfterPrepare << "\n"
        << "state_after=" << r.StateAfter << "\ncounter_after=" << r.CounterAfter << "\n"
        << "modem_before=" << r.ModemBefore << "\nmodem_after=" << r.ModemAfter << "\n"
        << "image_version=" << r.ImageVersion << "\n"
        << "items_total=" << r.ItemsTotal << "\nitems_done=" << r.ItemsDone << "\n"
        << "bytes_total=" << r.BytesTotal << "\nbytes_done=" << r.BytesDone << "\n"
        << "link=" << r.Link << "\nmodem_writes=" << r.ModemWrites
        << "\nmodem_bytes=" << r.ModemBytes << "\n"
        << "stopped_by_user=" << (r.StoppedByUser ? 1 : 0) << "\n"
        << "download_ended=" << (r.DownloadEnded ? 1 : 0) << "\n"
        << "release_ms=" << r.ReleaseMs << "\nrun_ms=" << r.RunMs << "\n"
        << "commands=" << join(r.Commands) << "\n"
        << "sessions=" << join(r.Sessions) << "\n"
        << "modules_at_add=" << join(r.ModulesAtAdd) << "\n"
        << "problems=" << join(r.Problems) << "\n"
        << "faults_fired=" << join(sim::FaultPlan::Instance().Fired()) << "\n"
        << "faults_unfired=" << join(sim::FaultPlan::Instance().Unfired()) << "\n"
        << "peak_rss_kb=" << PeakRssKb() << "\n";
    for (const auto& d : r.DebugOutput) {
        out << "debug=" << d << "\n";
    }
}

}  // namespace driverhost
