#include "HostRunner.h"

#include <objbase.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <ostream>
#include <thread>

#include "HostMachine.h"
#include "HostStory.h"
#include "HostSystem.h"
#include "HostText.h"
#include "HostedDriver.h"
#include "PersistedValues.h"
#include "SimModem.h"
#include "TraceSession.h"
#include "BootLoader.h"

namespace fs = std::filesystem;

namespace driverhost {

namespace {

// The host's own clock is the machine's, which the driver's waits also follow.
ULONGLONG PlatformMs() {
    return sim::Host().Time().NowMs();
}

// The driver's fixed pauses and budget, in platform ms: how long a started download may
// take before the host stops waiting for it (the release still waits for the thread).
constexpr ULONGLONG kDownloadBudgetMs = 180000;
constexpr ULONGLONG kFixedPausesMs = 3 * 3000 + 100 + 10000;
constexpr ULONGLONG kWaitMarginMs = 30000;
// After the state left "downloading", the final command follows a 10 s pause.
constexpr ULONGLONG kFinalCommandWaitMs = 60000;

std::string ServiceName(const std::wstring& id) {
    if (id == sim::kUpgradeServiceId) {
        return "upgrade";
    }
    if (id == sim::kFlashServiceId) {
        return "flash";
    }
    if (id == sim::kFinalServiceId) {
        return "final";
    }
    return Narrow(id);
}

std::vector<std::string> CommandList(const sim::SimModem& modem) {
    std::vector<std::string> list;
    for (const auto& c : modem.Commands()) {
        list.push_back(ServiceName(c.ServiceId) + (c.IsSet ? ":set" : ":query") +
                       std::to_string(c.CommandId));
    }
    return list;
}

std::vector<std::string> SessionList(const sim::SimModem& modem) {
    std::vector<std::string> list;
    for (const auto& s : modem.Sessions()) {
        list.push_back(ServiceName(s.ServiceId) + (s.Open ? ":open-" : ":close-") +
                       (s.Data ? "data" : "command") + (FAILED(s.Result) ? "!" : ""));
    }
    return list;
}

// Command 4 switches the modem into download mode: sent during the preparation, a
// download was started, whatever state it has stored since.
bool Command4Sent(const sim::SimModem& modem, size_t commandsBefore) {
    const auto commands = modem.Commands();
    return std::any_of(commands.begin() + static_cast<long>(commandsBefore), commands.end(),
                       [](const sim::ModemCommand& c) {
                           return c.ServiceId == sim::kUpgradeServiceId && c.IsSet &&
                                  c.CommandId == 4;
                       });
}

void LoaderProgress(sim::SimModem& modem, uint32_t* items, uint64_t* bytes) {
    *items = 0;
    *bytes = 0;
    for (const auto& record : modem.Loader().Items()) {
        *bytes += record.BytesReceived;
        *items += record.Verified ? 1 : 0;
    }
}

// The process's COM apartment for the run.
class ComApartment {
public:
    ComApartment() : m_Hr(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
    ~ComApartment() {
        if (SUCCEEDED(m_Hr)) {
            CoUninitialize();
        }
    }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;

private:
    const HRESULT m_Hr;
};

HostDecision DecisionAfterPrepare(const HostReport& r, bool command4Sent) {
    if (FAILED(r.PrepareHr)) {
        return HostDecision::Failed;
    }
    // A download that failed at once may already have stored its outcome.
    if (r.StateAfterPrepare == persisted::kStateDownloading || command4Sent) {
        return HostDecision::Upgrade;
    }
    if (r.StateAfterPrepare == persisted::kStateCompleted) {
        return HostDecision::Current;
    }
    if (r.StateAfterPrepare == persisted::kStateRetriesExhausted) {
        return HostDecision::Exhausted;
    }
    return HostDecision::None;
}

// Follows a started download until it ends (the final command was sent, or its pause
// ran out), the user stops the device, or the budget is spent.
void WaitForDownload(const HostOptions& o, const MachineRun& machine, sim::SimModem& modem,
                     size_t commandsBefore, ULONGLONG prepared, Story& story, HostReport& r) {
    const ULONGLONG limit = kDownloadBudgetMs + kFixedPausesMs + kWaitMarginMs;
    ULONGLONG leftDownloading = 0;
    for (;;) {
        story.DebugOutput(r);
        LoaderProgress(modem, &r.ItemsDone, &r.BytesDone);
        story.Progress(r.ItemsDone, r.ItemsTotal, r.BytesDone, r.BytesTotal);
        const ULONGLONG now = PlatformMs();
        if (o.StopAfterSec && static_cast<double>(now - prepared) >= *o.StopAfterSec * 1000.0) {
            r.StoppedByUser = true;
            break;
        }
        if (now - prepared >= limit) {
            r.Problems.push_back("the download did not end within its budget");
            break;
        }
        // A read that fails (the driver holds the database) tells nothing.
        if (const int state = machine.Read(persisted::kProgressStateName);
            leftDownloading == 0 && state >= 0 && state != persisted::kStateDownloading) {
            leftDownloading = now;
        }
        if (leftDownloading != 0) {
            const auto commands = modem.Commands();
            const bool finalSent =
                std::any_of(commands.begin() + static_cast<long>(commandsBefore), commands.end(),
                            [](const sim::ModemCommand& c) {
                                return c.ServiceId == sim::kFinalServiceId && c.IsSet;
                            });
            if (finalSent || now - leftDownloading >= kFinalCommandWaitMs) {
                r.DownloadEnded = true;
                break;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    LoaderProgress(modem, &r.ItemsDone, &r.BytesDone);
    story.Progress(r.ItemsDone, r.ItemsTotal, r.BytesDone, r.BytesTotal);
    story.EndBar();
    if (r.StoppedByUser) {
        story.Line("device   stopped by the user during the download");
    }
}

// The driver's lifecycle on the machine: load, add, prepare, wait, release, unload.
// False when the driver could not be hosted.
bool HostDriver(const HostOptions& o, const MachineRun& machine, sim::SimModem& modem, Story& story,
                HostReport& r) {
    HostedDriver driver;
    r.LoadHr = driver.Load(&r.LoadError);
    story.DebugOutput(r);
    if (FAILED(r.LoadHr)) {
        story.Line("driver   cannot host Brelk.dll: " +
                   (r.LoadError.empty() ? HrText(r.LoadHr) : r.LoadError));
        return false;
    }
    story.Line("driver   Brelk.dll loaded (framework 1.11)");
    const HRESULT hrInit = driver.Initialize();
    if (FAILED(hrInit)) {
        story.Line("driver   OnInitialize: " + HrText(hrInit));
    }
    r.AddHr = driver.AddDevice(machine.Store(), o.InstanceId);
    for (const wchar_t* module : {L"Parlex.dll", L"Flashkit.dll"}) {
        if (GetModuleHandleW(module) != nullptr) {
            r.ModulesAtAdd.push_back(Narrow(module));
        }
    }
    story.DebugOutput(r);
    story.Line("device   add: " + HrText(r.AddHr));
    if (SUCCEEDED(r.AddHr) && driver.Device() == nullptr) {
        r.Problems.push_back("device add succeeded without a framework device");
    }
    if (SUCCEEDED(r.AddHr) && driver.Device() != nullptr) {
        const size_t commandsBefore = modem.Commands().size();
        r.PrepareHr = driver.PrepareHardware();
        const ULONGLONG prepared = PlatformMs();
        story.DebugOutput(r);
        r.StateAfterPrepare = machine.Read(persisted::kProgressStateName);
        r.CounterAfterPrepare = machine.Read(persisted::kRetryCounterName);
        story.Line("device   prepare hardware: " + HrText(r.PrepareHr));
        r.Decision = DecisionAfterPrepare(r, Command4Sent(modem, commandsBefore));
        PrintDecision(story, r);
        if (r.Decision == HostDecision::Upgrade) {
            WaitForDownload(o, machine, modem, commandsBefore, prepared, story, r);
        }
        const ULONGLONG releaseStart = PlatformMs();
        const HRESULT hrRelease = driver.ReleaseHardware();
        r.ReleaseMs = PlatformMs() - releaseStart;
        story.DebugOutput(r);
        story.Line("device   release hardware: " + HrText(hrRelease) + " after " +
                   std::to_string(r.ReleaseMs) + " ms");
    }
    driver.Unload();
    return true;
}

}  // namespace

const char* DecisionName(HostDecision decision) {
    switch (decision) {
        case HostDecision::Failed:
            return "failed";
        case HostDecision::Upgrade:
            return "upgrade";
        case HostDecision::Current:
            return "current";
        case HostDecision::Exhausted:
            return "exhausted";
        case HostDecision::None:
            return "none";
        case HostDecision::NotMade:
            break;
    }
    return "";
}

int RunHost(const HostOptions& given, std::ostream& outStream, HostReport* reportOut) {
    HostReport localReport;
    HostReport& r = reportOut != nullptr ? *reportOut : localReport;
    r = HostReport{};
    HostOptions o = given;
    // The host works from the machine folder (see below), so paths are fixed first.
    auto absolute = [](std::string& p) {
        if (!p.empty()) {
            p = fs::absolute(p).lexically_normal().string();
        }
    };
    absolute(o.MachineFolder);
    absolute(o.Image);
    absolute(o.TraceFile);
    absolute(o.ReportFile);

    Story story(outStream, o.Progress, o.Terminal);
    auto finish = [&](int code) {
        if (!o.ReportFile.empty()) {
            WriteReport(o.ReportFile, r);
        }
        return code;
    };

    MachineRun machine;
    std::string failure;
    if (!machine.Prepare(o, &failure, &r.LoadError)) {
        story.Line(failure);
        return finish(3);
    }
    r.StateBefore = machine.Read(persisted::kProgressStateName);
    r.CounterBefore = machine.Read(persisted::kRetryCounterName);
    const ImageFacts image = ReadImageFacts(o.MachineFolder);
    r.ImageVersion = image.Version;
    r.ItemsTotal = image.Items;
    r.BytesTotal = image.Bytes;

    ComApartment apartment;
    sim::ModemOptions modemOptions;
    modemOptions.MachineFolder = o.MachineFolder;
    modemOptions.KeepWrittenBytes = false;  // memory must not grow with the image
    sim::SimModem modem(modemOptions);
    if (const HRESULT hr = modem.Start(); FAILED(hr)) {
        story.Line("brelk-sim: the modem did not start: " + HrText(hr));
        return finish(3);
    }
    r.ModemBefore = modem.FirmwareVersion();
    r.Link = modem.Link().Text();
    PrintMachine(story, o, machine.WindowsFolder(), image, r, !modem.Link().Off());

    brelk_trace::TraceSession trace;
    if (!o.TraceFile.empty()) {
        const ULONG status = trace.Start(o.TraceFile, o.TraceLevel, o.TraceFlags);
        if (status != ERROR_SUCCESS) {
            story.Line("brelk-sim: cannot record a trace to " + o.TraceFile + " (error " +
                       std::to_string(status) + ")");
        }
    }

    const ULONGLONG runStart = PlatformMs();
    const bool hosted = HostDriver(o, machine, modem, story, r);
    r.RunMs = PlatformMs() - runStart;
    story.DebugOutput(r, true);
    if (trace.Running()) {
        sim::TraceRecorder::Stats stats;
        trace.Stop(&stats);
        story.Line("trace    " + std::to_string(stats.MessagesWritten) + " messages to " +
                   o.TraceFile +
                   (stats.MessagesLost ? ", " + std::to_string(stats.MessagesLost) + " lost"
                                       : std::string()));
    }
    if (const size_t modules = sim::Host().Counters().LoadedModules(); modules != 0) {
        r.Problems.push_back(std::to_string(modules) + " modules still loaded after the unload");
    }
    // By name as well, for a system that counts no modules (Windows).
    for (const wchar_t* module : {L"Brelk.dll", L"Parlex.dll", L"Flashkit.dll"}) {
        if (GetModuleHandleW(module) != nullptr) {
            r.Problems.push_back(Narrow(module) + " still loaded after the unload");
        }
    }
    if (const size_t threads = sim::Host().Counters().LiveThreads(); threads != 0) {
        r.Problems.push_back(std::to_string(threads) + " threads still running after the unload");
    }
    r.Commands = CommandList(modem);
    r.Sessions = SessionList(modem);
    r.ModemWrites = modem.Stats().Writes;
    r.ModemBytes = modem.Stats().BytesWritten;
    modem.Stop();
    r.ModemAfter = modem.FirmwareVersion();
    r.StateAfter = machine.Read(persisted::kProgressStateName);
    r.CounterAfter = machine.Read(persisted::kRetryCounterName);
    if (const HRESULT hrFlush = machine.Close(); FAILED(hrFlush)) {
        r.Problems.push_back("the store's writes could not be flushed: " + HrText(hrFlush));
    }

    const Outcome outcome = OutcomeOf(r, hosted);
    PrintOutcome(story, r, outcome);
    return finish(ExitCodeOf(outcome));
}

}  // namespace driverhost
