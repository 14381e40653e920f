#include "HostRunner.h"

#include <objbase.h>
#include <propidl.h>
#include <unistd.h>
#include <wudfddi.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <sstream>
#include <thread>

#include "FaultPlan.h"
#include "FirmwareImage.h"
#include "FxHost.h"
#include "MachineStore.h"
#include "Numbers.h"
#include "Program.h"
#include "SimModem.h"
#include "TraceSession.h"
#include "BootLoader.h"
#include "HostSystem.h"

namespace fs = std::filesystem;

namespace fwhost {

namespace {

// The driver's fixed pauses and budget, in platform ms: how long a started download may
// take before the host stops waiting for it (the release still waits for the thread).
constexpr ULONGLONG kDownloadBudgetMs = 180000;
constexpr ULONGLONG kFixedPausesMs = 3 * 3000 + 100 + 10000;
constexpr ULONGLONG kWaitMarginMs = 30000;
// After the state left "downloading", the final command follows a 10 s pause.
constexpr ULONGLONG kFinalCommandWaitMs = 60000;

constexpr char kImagePattern[] = "lumbra_qb4410_nand";
// Network adapters' setup class, under which the modem's node is registered.
constexpr GUID kNetClass = {
    0x4D36E972, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

std::string Narrow(const std::wstring& w) {
    std::string s;
    for (wchar_t c : w) {
        s += c < 0x80 ? static_cast<char>(c) : '?';
    }
    return s;
}

std::wstring Widen(const std::string& s) {
    return std::wstring(s.begin(), s.end());
}

std::string Hex(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
    return text;
}

std::string HrText(HRESULT hr) {
    struct Name {
        HRESULT hr;
        const char* name;
    };
    static const Name kNames[] = {
        {S_OK, "S_OK"},
        {S_FALSE, "S_FALSE"},
        {E_FAIL, "E_FAIL"},
        {E_OUTOFMEMORY, "E_OUTOFMEMORY"},
        {E_POINTER, "E_POINTER"},
        {E_INVALIDARG, "E_INVALIDARG"},
        {E_NOINTERFACE, "E_NOINTERFACE"},
        {E_UNEXPECTED, "E_UNEXPECTED"},
        {HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), "ERROR_FILE_NOT_FOUND"},
        {HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND), "ERROR_MOD_NOT_FOUND"},
        {HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND), "ERROR_PROC_NOT_FOUND"},
    };
    for (const auto& n : kNames) {
        if (n.hr == hr) {
            return Hex(hr) + " " + n.name;
        }
    }
    return Hex(hr);
}

const char* StateName(int state) {
    switch (state) {
        case 0:
            return "none";
        case 1:
            return "pending";
        case 2:
            return "downloading";
        case 3:
            return "completed";
        case 4:
            return "failed";
        case 6:
            return "retries exhausted";
        default:
            return "unknown, read as failed";
    }
}

// A persisted value as the story tells it; a first start finds neither value yet.
std::string StateText(int state) {
    if (state < 0) {
        return "progress state not yet created";
    }
    return "progress state " + std::to_string(state) + " (" + StateName(state) + ")";
}

std::string CounterText(int counter) {
    return counter < 0 ? "retry counter not yet created"
                       : "retry counter " + std::to_string(counter);
}

std::string MiB(uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1024.0 * 1024.0));
    return text;
}

// Where the build keeps the modules: beside the host's folder (bin/fxhost/ -> bin/).
fs::path ModuleFolder() {
    fs::path here = simcommon::ProgramFolder();
    if (fs::exists(here / "Brelk.dll")) {
        return here;
    }
    return here.parent_path();
}

// The folder that holds the chosen build of a module, or "" for none.
bool ResolveBuild(const std::string& choice, const std::string& module, const char* variants,
                  fs::path* folder, std::string* error) {
    if (choice == "none") {
        folder->clear();
        return true;
    }
    fs::path candidate;
    if (choice.empty() || choice == "default") {
        candidate = ModuleFolder();
    } else if (choice.find('/') != std::string::npos) {
        candidate = fs::absolute(choice);
    } else {
        candidate = ModuleFolder() / variants / choice;
    }
    if (!fs::exists(candidate / module)) {
        *error = "no " + module + " build '" + choice + "' (looked in " + candidate.string() + ")";
        return false;
    }
    *folder = candidate;
    return true;
}

// ---- Machine preparation

bool IsImageName(const fs::path& p) {
    const std::string name = Lower(p.filename().string());
    return name.rfind(kImagePattern, 0) == 0 && name.size() >= 4 &&
           name.compare(name.size() - 4, 4, ".fls") == 0;
}

void RemoveImages(const fs::path& folder) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
        if (IsImageName(entry.path())) {
            fs::remove(entry.path(), ec);
        }
    }
}

bool InstallImage(const fs::path& source, const fs::path& folder, std::string* error) {
    if (!fs::is_regular_file(source)) {
        *error = "no image file " + source.string();
        return false;
    }
    RemoveImages(folder);
    const fs::path target =
        folder / (IsImageName(source) ? source.filename() : fs::path("Lumbra_QB4410_NAND.fls"));
    std::error_code ec;
    fs::create_hard_link(source, target, ec);  // instant for large images on one file system
    if (ec) {
        fs::copy_file(source, target, fs::copy_options::overwrite_existing, ec);
    }
    if (ec) {
        *error = "cannot install the image: " + ec.message();
        return false;
    }
    return true;
}

bool PlaceModule(const fs::path& system32, const std::string& module, const fs::path& from,
                 std::string* error) {
    const fs::path link = system32 / module;
    std::error_code ec;
    fs::remove(link, ec);
    if (from.empty()) {
        return true;
    }
    fs::create_symlink(from / module, link, ec);
    if (ec) {
        *error = "cannot place " + module + ": " + ec.message();
        return false;
    }
    return true;
}

// The Windows folder of a machine is kept beside its database, as the text SystemRoot
// gets: its case and a trailing separator are the machine's.
fs::path WindowsFolderFile(const std::string& machineFolder) {
    return fs::path(machineFolder) / "windows-folder";
}

// The folder without its trailing separators, to append a name to as Windows does.
std::string WithoutTrailingSeparators(std::string folder) {
    while (folder.size() > 3 && (folder.back() == '\\' || folder.back() == '/')) {
        folder.pop_back();
    }
    return folder;
}

bool PrepareMachine(const HostOptions& o, std::string* error) {
    const fs::path machine = o.MachineFolder;
    std::error_code ec;
    fs::create_directories(machine, ec);
    if (!o.WindowsFolder.empty()) {
        std::string unused;
        if (!HostPathOf(o.MachineFolder, o.WindowsFolder, &unused, error)) {
            return false;
        }
        std::ofstream out(WindowsFolderFile(o.MachineFolder), std::ios::trunc);
        out << o.WindowsFolder << "\n";
        if (!out) {
            *error = "cannot write the machine's Windows folder";
            return false;
        }
    }
    std::string windowsHost;
    if (!HostPathOf(o.MachineFolder, WindowsFolder(o.MachineFolder), &windowsHost, error)) {
        *error = "the machine's Windows folder: " + *error;
        return false;
    }
    const fs::path windows = windowsHost;
    for (const fs::path& p :
         {fs::path(FirmwareFolder(o.MachineFolder)), windows / "System32", machine / "modem"}) {
        fs::create_directories(p, ec);
        if (ec) {
            *error = "cannot create " + p.string() + ": " + ec.message();
            return false;
        }
    }
    if (o.RemoveImage) {
        RemoveImages(FirmwareFolder(o.MachineFolder));
    }
    if (!o.Image.empty() && !InstallImage(o.Image, FirmwareFolder(o.MachineFolder), error)) {
        return false;
    }
    if (!o.Link.empty()) {
        std::ofstream out(machine / "modem" / "link", std::ios::trunc);
        out << o.Link << "\n";
        if (!out) {
            *error = "cannot write the modem's link";
            return false;
        }
    }
    if (!o.ModemVersion.empty()) {
        std::ofstream out(machine / "modem" / "firmware_version", std::ios::trunc);
        out << o.ModemVersion << "\n";
        if (!out) {
            *error = "cannot write the modem's firmware version";
            return false;
        }
    }
    fs::path brelk, parlex, flashkit;
    if (!ResolveBuild("default", "Brelk.dll", "", &brelk, error) ||
        !ResolveBuild(o.Parlex, "Parlex.dll", "parlex-variants", &parlex, error) ||
        !ResolveBuild(o.Flashkit, "Flashkit.dll", "flashkit-variants", &flashkit, error)) {
        return false;
    }
    const fs::path system32 = windows / "System32";
    return PlaceModule(system32, "Brelk.dll", brelk, error) &&
           PlaceModule(system32, "Parlex.dll", parlex, error) &&
           PlaceModule(system32, "Flashkit.dll", flashkit, error);
}

// ---- Output

class Story {
public:
    Story(std::ostream& out, bool progress, bool terminal)
        : m_Out(out), m_Progress(progress), m_Tty(terminal) {}

    void Line(const std::string& text) {
        ClearBar();
        m_Out << text << "\n";
        m_Out.flush();
        DrawBar();
    }

    // New debugger output since the last call. The port callbacks say the same text for
    // every read, so a run of equal texts shows once, with its count.
    void DebugOutput(HostReport& report, bool flush = false) {
        const auto all = sim::Host().Debugger().Read();
        for (size_t i = m_DebugSeen; i < all.size(); ++i) {
            std::string text = all[i];
            const size_t first = text.find_first_not_of(" \t\r\n");
            const size_t last = text.find_last_not_of(" \t\r\n");
            text =
                first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
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

    void Progress(uint32_t items, uint32_t totalItems, uint64_t bytes, uint64_t totalBytes) {
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

    void EndBar() {
        if (m_Tty && m_BarShown) {
            m_Out << "\n";
            m_Out.flush();
        }
        m_BarShown = false;
        m_Bar.clear();
    }

private:
    void FlushRepeats() {
        if (m_Repeats != 0) {
            Line("  debugger | (" + std::to_string(m_Repeats) + " more times)");
            m_Repeats = 0;
        }
    }
    void ClearBar() {
        if (m_Tty && m_BarShown) {
            m_Out << "\r\033[K";
        }
    }
    void DrawBar() {
        if (m_Tty && m_BarShown) {
            m_Out << m_Bar;
            m_Out.flush();
        }
    }

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

struct ImageFacts {
    std::string Version;
    uint32_t Items = 0;
    uint64_t Bytes = 0;
    std::string Name;
};

ImageFacts ReadImageFacts(const std::string& machine) {
    ImageFacts facts;
    const std::string path = InstalledImage(machine);
    if (path.empty()) {
        return facts;
    }
    facts.Name = fs::path(path).filename().string();
    std::string error;
    auto image = fwimage::ImageReader::Open(path, &error);
    if (!image) {
        facts.Version = "(unreadable: " + error + ")";
        return facts;
    }
    facts.Version = VersionTokenOf(image->VersionText());
    for (const auto& e : image->Toc()) {
        if (e.MemoryClass >= 4) {
            ++facts.Items;
            facts.Bytes += e.Size;
        }
    }
    return facts;
}

void LoaderProgress(sim::SimModem& modem, uint32_t* items, uint64_t* bytes) {
    *items = 0;
    *bytes = 0;
    for (const auto& record : modem.Loader().Items()) {
        *bytes += record.BytesReceived;
        *items += record.Verified ? 1 : 0;
    }
}

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

void WriteReport(const std::string& path, const HostReport& r) {
    std::ofstream out(path, std::ios::trunc);
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
        << "decision=" << r.Decision << "\n"
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
        << "problems=" << join(r.Problems) << "\n"
        << "faults_fired=" << join(sim::FaultPlan::Instance().Fired()) << "\n"
        << "peak_rss_kb=" << PeakRssKb() << "\n";
    for (const auto& d : r.DebugOutput) {
        out << "debug=" << d << "\n";
    }
}

// ---- The driver module

// What the host holds of a loaded driver; released in reverse order by Unload.
struct DriverModule {
    HMODULE Module = nullptr;
    IClassFactory* Factory = nullptr;  // one reference
    IDriverEntry* Entry = nullptr;     // one reference
};

HRESULT LoadDriver(DriverModule* d, std::string* why) {
    d->Module = LoadLibraryW(L"Brelk.dll");
    if (d->Module == nullptr) {
        *why = "Brelk.dll not found on the module search path (error " +
               std::to_string(GetLastError()) + ")";
        return HRESULT_FROM_WIN32(GetLastError());
    }
    const auto* version = reinterpret_cast<const UMDF_VERSION_DATA*>(
        GetProcAddress(d->Module, "Microsoft_WDF_UMDF_Version"));
    if (version == nullptr) {
        *why = "Brelk.dll does not export Microsoft_WDF_UMDF_Version";
        return HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
    }
    if (version->MajorNumber != 1 || version->MinorNumber > 11) {
        *why = "Brelk.dll wants framework " + std::to_string(version->MajorNumber) + "." +
               std::to_string(version->MinorNumber) + "; this host offers 1.11";
        return HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED);
    }
    using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, LPVOID*);
    const auto getClassObject = reinterpret_cast<GetClassObjectFn>(
        reinterpret_cast<void*>(GetProcAddress(d->Module, "DllGetClassObject")));
    if (getClassObject == nullptr) {
        *why = "Brelk.dll does not export DllGetClassObject";
        return HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
    }
    void* object = nullptr;
    HRESULT hr = getClassObject(kDriverClsid, IID_IClassFactory, &object);
    if (FAILED(hr) || object == nullptr) {
        *why = "DllGetClassObject answered " + HrText(hr);
        return FAILED(hr) ? hr : E_NOINTERFACE;
    }
    d->Factory = static_cast<IClassFactory*>(object);
    object = nullptr;
    hr = d->Factory->CreateInstance(nullptr, IID_IDriverEntry, &object);
    if (FAILED(hr) || object == nullptr) {
        *why = "the class factory answered " + HrText(hr);
        return FAILED(hr) ? hr : E_NOINTERFACE;
    }
    d->Entry = static_cast<IDriverEntry*>(object);
    return S_OK;
}

void UnloadDriver(DriverModule* d) {
    if (d->Entry != nullptr) {
        d->Entry->Release();
        d->Entry = nullptr;
    }
    if (d->Factory != nullptr) {
        d->Factory->Release();
        d->Factory = nullptr;
    }
    if (d->Module != nullptr) {
        FreeLibrary(d->Module);
        d->Module = nullptr;
    }
}

}  // namespace

std::string WindowsFolder(const std::string& machineFolder) {
    std::ifstream in(WindowsFolderFile(machineFolder));
    std::string folder;
    if (!std::getline(in, folder) || folder.empty()) {
        return kDefaultWindowsFolder;
    }
    return folder;
}

bool HostPathOf(const std::string& machineFolder, const std::string& windowsPath,
                std::string* hostPath, std::string* error) {
    const bool absolute =
        windowsPath.size() >= 3 && std::isalpha(static_cast<unsigned char>(windowsPath[0])) &&
        windowsPath[1] == ':' && (windowsPath[2] == '\\' || windowsPath[2] == '/');
    if (!absolute) {
        *error = "'" + windowsPath + "' is not an absolute Windows path (such as C:\\Windows)";
        return false;
    }
    fs::path path =
        fs::path(machineFolder) /
        std::string(1, static_cast<char>(std::toupper(static_cast<unsigned char>(windowsPath[0]))));
    std::string part;
    for (size_t i = 3; i <= windowsPath.size(); ++i) {
        if (i == windowsPath.size() || windowsPath[i] == '\\' || windowsPath[i] == '/') {
            if (part == "..") {
                *error = "'" + windowsPath + "' climbs out of its drive";
                return false;
            }
            if (!part.empty() && part != ".") {
                path /= part;
            }
            part.clear();
        } else {
            part += windowsPath[i];
        }
    }
    *hostPath = path.string();
    return true;
}

std::string FirmwareFolder(const std::string& machineFolder) {
    std::string folder;
    std::string error;
    if (!HostPathOf(machineFolder, WindowsFolder(machineFolder), &folder, &error)) {
        folder = (fs::path(machineFolder) / "C" / "Windows").string();
    }
    return (fs::path(folder) / "Firmware" / "Velto").string();
}

std::string InstalledImage(const std::string& machineFolder) {
    // The driver takes the first match of its search; a machine holds at most one image
    // when the host installed it, so any match is that one.
    std::error_code ec;
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(FirmwareFolder(machineFolder), ec)) {
        if (IsImageName(entry.path())) {
            found.push_back(entry.path());
        }
    }
    std::sort(found.begin(), found.end());
    return found.empty() ? std::string() : found.front().string();
}

int ReadPersistedUint(const std::string& machineFolder, const std::wstring& instanceId,
                      const wchar_t* name) {
    std::shared_ptr<sim::MachineStore> store;
    if (FAILED(
            sim::MachineStore::Open(sim::MachineStore::DbPathForMachine(machineFolder), &store))) {
        return -1;
    }
    return ReadUint(*store, instanceId, name);
}

int ReadUint(sim::MachineStore& store, const std::wstring& instanceId, const wchar_t* name) {
    WDF_PROPERTY_STORE_ROOT root = {};
    root.LengthCb = sizeof(root);
    root.RootClass = WdfPropertyStoreRootClassHardwareKey;
    IWDFNamedPropertyStore2* named = nullptr;
    if (FAILED(store.RetrieveNamedStore(instanceId, &root, WdfPropertyStoreNormal, KEY_READ,
                                        nullptr, &named, nullptr)) ||
        named == nullptr) {
        return -1;
    }
    PROPVARIANT value;
    PropVariantInit(&value);
    const HRESULT hr = named->GetNamedValue(name, &value);
    int result = -1;
    if (SUCCEEDED(hr)) {
        result = static_cast<int>(value.uintVal);
    }
    PropVariantClear(&value);
    named->Release();
    return result;
}

const char* HostOptionsHelp() {
    return "  --machine DIR         the simulated machine's folder (created when missing)\n"
           "  --image FILE          install FILE as the machine's firmware image\n"
           "                        (<Windows folder>\\Firmware\\Velto\\Lumbra_QB4410_NAND*.fls)\n"
           "  --no-image            take the machine's image away first\n"
           "  --modem-version V     set the modem's running firmware version (a new modem\n"
           "                        runs 1.0.0)\n"
           "  --windows-folder DIR  the machine's Windows folder, as SystemRoot names it (a\n"
           "                        new machine has C:\\Windows; the machine keeps it)\n"
           "  --link TEXT           the modem's link: flash write rate and turnaround per\n"
           "                        data transfer, e.g. 'rate=4.3MB/s;turnaround=0.125ms',\n"
           "                        or off (a new machine's; the machine keeps it)\n"
           "  --retry-limit N       the retry limit Parlex answers: 3 (its own build) or\n"
           "                        -1, 0, 1, 2, 4, 5 (its test builds limit<N>)\n"
           "  --parlex BUILD        the Parlex.dll on the machine: default, none, a test\n"
           "                        build (limit5, no-<Export>) or a folder holding one\n"
           "  --flashkit BUILD      the Flashkit.dll on the machine: default, none, a test\n"
           "                        build (no-<Export>) or a folder holding one\n"
           "  --hardware-id ID      the modem node's first hardware id\n"
           "  --force-key           use the hardware id that forces an update\n"
           "  --instance-id ID      the modem node's device instance id\n"
           "  --time-scale X        platform time runs X times faster than real time\n"
           "                        (default 20; the driver keeps its real pauses)\n"
           "  --faults PLAN         fault plan, e.g. 'flashkit.item/1:status1' (rules joined\n"
           "                        by ';'; see sim/faults/FaultPlan.h)\n"
           "  --stop-after SEC      stop the device SEC platform seconds after its start,\n"
           "                        even while a download runs\n"
           "  --trace FILE          record Brelk's trace messages to FILE\n"
           "  --trace-level N       trace level to record (default 4: information)\n"
           "  --trace-flags X       trace flags to record (default 0xFFFFFFFF)\n"
           "  --no-progress         no progress bar\n"
           "  --report FILE         write the outcome as key=value lines\n";
}

bool ParseHostArgs(const std::vector<std::string>& args, HostOptions* o, std::string* error) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string* out) {
            if (i + 1 >= args.size()) {
                *error = a + " wants a value";
                return false;
            }
            *out = args[++i];
            return true;
        };
        std::string v;
        unsigned long long n = 0;
        if (a == "--no-image") {
            o->RemoveImage = true;
        } else if (a == "--force-key") {
            o->HardwareId = kForcedHardwareId;
        } else if (a == "--no-progress") {
            o->Progress = false;
        } else if (!value(&v)) {
            if (a.rfind("--", 0) != 0) {
                *error = "unexpected argument '" + a + "'";
            }
            return false;
        } else if (a == "--machine") {
            o->MachineFolder = v;
        } else if (a == "--image") {
            o->Image = v;
        } else if (a == "--modem-version") {
            o->ModemVersion = v;
        } else if (a == "--windows-folder") {
            std::string unused;
            if (!HostPathOf(o->MachineFolder.empty() ? "." : o->MachineFolder, v, &unused, error)) {
                *error = "--windows-folder: " + *error;
                return false;
            }
            o->WindowsFolder = v;
        } else if (a == "--link") {
            sim::LinkModel link;
            if (!sim::ParseLinkModel(v, &link, error)) {
                *error = "--link: " + *error;
                return false;
            }
            o->Link = v;
        } else if (a == "--parlex") {
            o->Parlex = v;
        } else if (a == "--flashkit") {
            o->Flashkit = v;
        } else if (a == "--retry-limit") {
            if (v == "-1") {
                o->Parlex = "limit-1";
            } else if (!simcommon::ParseUnsigned(v, 255, &n)) {
                *error = "--retry-limit wants a number from -1 to 255";
                return false;
            } else {
                o->Parlex = n == 3 ? "default" : "limit" + std::to_string(n);
            }
        } else if (a == "--hardware-id") {
            o->HardwareId = Widen(v);
        } else if (a == "--instance-id") {
            o->InstanceId = Widen(v);
        } else if (a == "--time-scale") {
            if (!simcommon::ParsePositive(v, &o->TimeScale)) {
                *error = "--time-scale wants a positive number";
                return false;
            }
        } else if (a == "--faults") {
            o->Faults = v;
        } else if (a == "--stop-after") {
            double seconds = 0;
            if (!simcommon::ParsePositive(v, &seconds)) {
                *error = "--stop-after wants a positive number of seconds";
                return false;
            }
            o->StopAfterSec = seconds;
        } else if (a == "--trace") {
            o->TraceFile = v;
        } else if (a == "--trace-level") {
            if (!simcommon::ParseUnsigned(v, 255, &n)) {
                *error = "--trace-level wants a number from 0 to 255";
                return false;
            }
            o->TraceLevel = static_cast<UCHAR>(n);
        } else if (a == "--trace-flags") {
            if (!simcommon::ParseUnsigned(v, 0xFFFFFFFFull, &n)) {
                *error = "--trace-flags wants a 32-bit number";
                return false;
            }
            o->TraceFlags = static_cast<ULONG>(n);
        } else if (a == "--report") {
            o->ReportFile = v;
        } else {
            *error = "unknown option '" + a + "'";
            return false;
        }
    }
    if (o->MachineFolder.empty()) {
        *error = "--machine is required";
        return false;
    }
    return true;
}

std::vector<std::string> ToHostArgs(const HostOptions& o) {
    std::vector<std::string> a = {"--machine", o.MachineFolder};
    auto add = [&](const char* name, const std::string& value) {
        a.push_back(name);
        a.push_back(value);
    };
    if (!o.Image.empty()) {
        add("--image", o.Image);
    }
    if (o.RemoveImage) {
        a.push_back("--no-image");
    }
    if (!o.ModemVersion.empty()) {
        add("--modem-version", o.ModemVersion);
    }
    if (!o.WindowsFolder.empty()) {
        add("--windows-folder", o.WindowsFolder);
    }
    if (!o.Link.empty()) {
        add("--link", o.Link);
    }
    add("--parlex", o.Parlex);
    add("--flashkit", o.Flashkit);
    add("--instance-id", Narrow(o.InstanceId));
    add("--hardware-id", Narrow(o.HardwareId));
    std::ostringstream scale;
    scale << o.TimeScale;
    add("--time-scale", scale.str());
    if (!o.Faults.empty()) {
        add("--faults", o.Faults);
    }
    if (o.StopAfterSec) {
        std::ostringstream s;
        s << *o.StopAfterSec;
        add("--stop-after", s.str());
    }
    if (!o.TraceFile.empty()) {
        add("--trace", o.TraceFile);
        add("--trace-level", std::to_string(o.TraceLevel));
        add("--trace-flags", std::to_string(o.TraceFlags));
    }
    if (!o.Progress) {
        a.push_back("--no-progress");
    }
    if (!o.ReportFile.empty()) {
        add("--report", o.ReportFile);
    }
    return a;
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

    std::string error;
    if (!PrepareMachine(o, &error)) {
        r.LoadError = error;
        story.Line("brelk-sim: " + error);
        return finish(3);
    }
    // Modules only from the machine's system folder: the current folder is searched
    // before PATH, so it must hold none.
    sim::Host().Time().SetScale(o.TimeScale);
    // SystemRoot is the machine's own text, trailing separator and all, as Windows hands
    // it to a process.
    const std::string windowsFolder = WindowsFolder(o.MachineFolder);
    const wchar_t windowsDrive =
        static_cast<wchar_t>(std::toupper(static_cast<unsigned char>(windowsFolder[0])));
    sim::Host().Paths().Map(L'C', (fs::path(o.MachineFolder) / "C").string());
    sim::Host().Paths().Map(
        windowsDrive,
        (fs::path(o.MachineFolder) / std::string(1, static_cast<char>(windowsDrive))).string());
    setenv("SystemRoot", windowsFolder.c_str(), 1);
    setenv("windir", windowsFolder.c_str(), 1);
    setenv("PATH", (WithoutTrailingSeparators(windowsFolder) + "\\System32").c_str(), 1);
    if (chdir(o.MachineFolder.c_str()) != 0) {
        story.Line("brelk-sim: cannot enter " + o.MachineFolder);
        return finish(3);
    }
    if (!o.Faults.empty() && !sim::FaultPlan::Instance().Parse(o.Faults, &error)) {
        story.Line("brelk-sim: bad fault plan: " + error);
        return finish(3);
    }

    std::shared_ptr<sim::MachineStore> store;
    HRESULT hr =
        sim::MachineStore::Open(sim::MachineStore::DbPathForMachine(o.MachineFolder), &store);
    if (SUCCEEDED(hr)) {
        hr = store->RegisterDeviceNode(o.InstanceId, kNetClass, {o.HardwareId});
    }
    if (FAILED(hr)) {
        story.Line("brelk-sim: machine database: " + HrText(hr));
        return finish(3);
    }
    sim::Host().ServeDeviceNodes(store);

    auto readState = [&] { return ReadUint(*store, o.InstanceId, L"FWUpdateProgressState"); };
    auto readCounter = [&] { return ReadUint(*store, o.InstanceId, L"FWURetryCounter"); };
    r.StateBefore = readState();
    r.CounterBefore = readCounter();
    const ImageFacts image = ReadImageFacts(o.MachineFolder);
    r.ImageVersion = image.Version;
    r.ItemsTotal = image.Items;
    r.BytesTotal = image.Bytes;

    const HRESULT hrCom = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    sim::ModemOptions modemOptions;
    modemOptions.MachineFolder = o.MachineFolder;
    modemOptions.KeepWrittenBytes = false;  // memory must not grow with the image
    sim::SimModem modem(modemOptions);
    hr = modem.Start();
    if (FAILED(hr)) {
        story.Line("brelk-sim: the modem did not start: " + HrText(hr));
        return finish(3);
    }
    r.ModemBefore = modem.FirmwareVersion();

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
    r.Link = modem.Link().Text();
    if (!modem.Link().Off()) {
        story.Line("link     " + r.Link);
    }
    story.Line("state    " + StateText(r.StateBefore) + ", " + CounterText(r.CounterBefore));
    if (!o.Faults.empty()) {
        story.Line("faults   " + o.Faults);
    }

    brelk_trace::TraceSession trace;
    if (!o.TraceFile.empty()) {
        const ULONG status = trace.Start(o.TraceFile, o.TraceLevel, o.TraceFlags);
        if (status != ERROR_SUCCESS) {
            story.Line("brelk-sim: cannot record a trace to " + o.TraceFile + " (error " +
                       std::to_string(status) + ")");
        }
    }

    const ULONGLONG runStart = GetTickCount64();
    DriverModule driverModule;
    r.LoadHr = LoadDriver(&driverModule, &r.LoadError);
    sim::CFxDriver* fxDriver = nullptr;
    if (SUCCEEDED(r.LoadHr)) {
        r.LoadHr = sim::CFxDriver::CreateInstance(&fxDriver);
    }
    story.DebugOutput(r);
    int code = 0;
    if (FAILED(r.LoadHr)) {
        story.Line("driver   cannot host Brelk.dll: " +
                   (r.LoadError.empty() ? HrText(r.LoadHr) : r.LoadError));
        code = 3;
    } else {
        story.Line("driver   Brelk.dll loaded (framework 1.11)");
        const HRESULT hrInit = driverModule.Entry->OnInitialize(fxDriver);
        if (FAILED(hrInit)) {
            story.Line("driver   OnInitialize: " + HrText(hrInit));
        }
        sim::CFxDeviceInit* init = nullptr;
        r.AddHr = sim::CFxDeviceInit::CreateInstance(store, o.InstanceId, &init);
        if (SUCCEEDED(r.AddHr)) {
            r.AddHr = driverModule.Entry->OnDeviceAdd(fxDriver, init);
        }
        story.DebugOutput(r);
        story.Line("device   add: " + HrText(r.AddHr));
        std::vector<sim::CFxDevice*> devices = fxDriver->Devices();
        sim::CFxDevice* device = devices.empty() ? nullptr : devices.front();
        if (SUCCEEDED(r.AddHr) && device == nullptr) {
            r.Problems.push_back("device add succeeded without a framework device");
        }
        if (SUCCEEDED(r.AddHr) && device != nullptr) {
            const size_t commandsBefore = modem.Commands().size();
            r.PrepareHr = device->PrepareHardware();
            const ULONGLONG prepared = GetTickCount64();
            story.DebugOutput(r);
            r.StateAfterPrepare = readState();
            r.CounterAfterPrepare = readCounter();
            story.Line("device   prepare hardware: " + HrText(r.PrepareHr));
            if (FAILED(r.PrepareHr)) {
                r.Decision = "failed";
                story.Line("decision the start failed (" + HrText(r.PrepareHr) + "), " +
                           StateText(r.StateAfterPrepare));
            } else if (r.StateAfterPrepare == 2 || Command4Sent(modem, commandsBefore)) {
                // A download that failed at once may already have stored its outcome.
                r.Decision = "upgrade";
                story.Line("decision upgrade required: modem " + r.ModemBefore + ", image " +
                           image.Version + "; download started (retry counter " +
                           std::to_string(r.CounterAfterPrepare) + ")");
            } else if (r.StateAfterPrepare == 3) {
                r.Decision = "current";
                story.Line("decision firmware current (" + r.ModemBefore +
                           "): nothing to download");
            } else if (r.StateAfterPrepare == 6) {
                r.Decision = "exhausted";
                story.Line("decision retries exhausted (retry counter " +
                           std::to_string(r.CounterAfterPrepare) + "): no download");
            } else {
                r.Decision = "none";
                story.Line("decision none: " + StateText(r.StateAfterPrepare));
            }

            if (r.Decision == "upgrade") {
                const ULONGLONG limit = kDownloadBudgetMs + kFixedPausesMs + kWaitMarginMs;
                ULONGLONG leftDownloading = 0;
                for (;;) {
                    story.DebugOutput(r);
                    LoaderProgress(modem, &r.ItemsDone, &r.BytesDone);
                    story.Progress(r.ItemsDone, r.ItemsTotal, r.BytesDone, r.BytesTotal);
                    const ULONGLONG now = GetTickCount64();
                    if (o.StopAfterSec &&
                        static_cast<double>(now - prepared) >= *o.StopAfterSec * 1000.0) {
                        r.StoppedByUser = true;
                        break;
                    }
                    if (now - prepared >= limit) {
                        r.Problems.push_back("the download did not end within its budget");
                        break;
                    }
                    // A read that fails (the driver holds the database) tells nothing.
                    if (const int state = readState();
                        leftDownloading == 0 && state >= 0 && state != 2) {
                        leftDownloading = now;
                    }
                    if (leftDownloading != 0) {
                        const auto commands = modem.Commands();
                        const bool finalSent =
                            std::any_of(commands.begin() + static_cast<long>(commandsBefore),
                                        commands.end(), [](const sim::ModemCommand& c) {
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
            const ULONGLONG releaseStart = GetTickCount64();
            const HRESULT hrRelease = device->ReleaseHardware();
            r.ReleaseMs = GetTickCount64() - releaseStart;
            story.DebugOutput(r);
            story.Line("device   release hardware: " + HrText(hrRelease) + " after " +
                       std::to_string(r.ReleaseMs) + " ms");
        }
        for (sim::CFxDevice* d : devices) {
            d->Release();
        }
        fxDriver->DeleteDevices();
        if (init != nullptr) {
            init->Release();
        }
        driverModule.Entry->OnDeinitialize(fxDriver);
    }
    UnloadDriver(&driverModule);
    if (fxDriver != nullptr) {
        fxDriver->Release();
    }
    r.RunMs = GetTickCount64() - runStart;
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
    if (const size_t threads = sim::Host().Counters().LiveThreads(); threads != 0) {
        r.Problems.push_back(std::to_string(threads) + " threads still running after the unload");
    }
    r.Commands = CommandList(modem);
    r.Sessions = SessionList(modem);
    r.ModemWrites = modem.Stats().Writes;
    r.ModemBytes = modem.Stats().BytesWritten;
    modem.Stop();
    r.ModemAfter = modem.FirmwareVersion();
    r.StateAfter = readState();
    r.CounterAfter = readCounter();
    sim::Host().ServeDeviceNodes(nullptr);
    // A host that ends by itself shuts down cleanly: nothing it wrote is lost.
    if (const HRESULT hrFlush = store->FlushLazyWrites(); FAILED(hrFlush)) {
        r.Problems.push_back("the store's writes could not be flushed: " + HrText(hrFlush));
    }
    store.reset();
    if (SUCCEEDED(hrCom)) {
        CoUninitialize();
    }

    if (code == 0) {
        if (FAILED(r.AddHr) || FAILED(r.PrepareHr)) {
            code = 1;
        } else if (r.Decision == "current") {
            code = 0;
        } else if (r.Decision == "upgrade") {
            code = r.StateAfter == 3 ? 0 : 1;
        } else {
            code = 1;
        }
    }
    std::string outcome;
    if (code == 3) {
        outcome = "the driver could not be hosted";
    } else if (FAILED(r.AddHr)) {
        outcome = "device add failed (" + HrText(r.AddHr) + ")";
    } else if (FAILED(r.PrepareHr)) {
        outcome = "the device's start failed (" + HrText(r.PrepareHr) + ")";
    } else if (r.Decision == "upgrade") {
        outcome = r.StateAfter == 3 ? "update succeeded" : "update failed";
    } else if (r.Decision == "current") {
        outcome = "firmware current, nothing downloaded";
    } else if (r.Decision == "exhausted") {
        outcome = "retries exhausted, nothing downloaded";
    } else {
        outcome = "no update";
    }
    story.Line("outcome  " + outcome);
    story.Line("         " + StateText(r.StateAfter) + ", " + CounterText(r.CounterAfter));
    story.Line("         modem firmware " + r.ModemBefore + " -> " + r.ModemAfter);
    if (r.ItemsTotal != 0 && r.Decision == "upgrade") {
        story.Line("         loader received " + std::to_string(r.ItemsDone) + "/" +
                   std::to_string(r.ItemsTotal) + " items, " + MiB(r.BytesDone));
    }
    for (const auto& p : r.Problems) {
        story.Line("host     problem: " + p);
    }
    return finish(code);
}

}  // namespace fwhost
