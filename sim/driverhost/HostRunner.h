#pragma once
// The framework host's lifecycle for one start and stop of the modem's device node on a
// simulated machine, as the framework's driver host process runs it:
//
//   load Brelk.dll by name, check Microsoft_WDF_UMDF_Version, DllGetClassObject for the
//   driver class, create the driver, OnInitialize, register the modem's device node,
//   OnDeviceAdd, OnPrepareHardware, wait until the download (if one started) ends or
//   the user stops the device, OnReleaseHardware, release everything, OnDeinitialize,
//   unload the module.
//
// The machine folder holds machine.db (property store and device database), one folder
// per drive (C/, and the drive of the machine's Windows folder), windows-folder (that
// folder as SystemRoot names it, C:\Windows unless the machine was given another), the
// image below <Windows folder>\Firmware\Velto, the driver's modules in <Windows
// folder>\System32, and modem/ (the modem's firmware). The modules are found only
// through PATH=<Windows folder>\System32, so the host program must live in a folder without
// modules of its own (bin/driverhost/): which build of Parlex.dll and Flashkit.dll the
// driver gets is then the machine's choice, as on a real PC.
#include <windows.h>

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace sim {
class DevicePropertyStores;
}

namespace driverhost {

// The device node the host starts unless told otherwise.
inline constexpr wchar_t kDefaultInstanceId[] = L"USB\\VID_1E2D&PID_00B7&MI_0C\\7&2C5E8F1&0&000C";
inline constexpr wchar_t kDefaultHardwareId[] = L"MBFW\\{2E4C6B1D-7F3A-4C58-9A61-0B8D5E2F7C43}";
inline constexpr wchar_t kForcedHardwareId[] = L"MBFW\\{4CA8CA0E-2A90-4D00-B29D-15AB8A12D309}";
inline constexpr char kDefaultWindowsFolder[] = "C:\\Windows";
// The driver class Brelk.dll serves.
inline constexpr GUID kDriverClsid = {
    0xD29F1A12, 0xE977, 0x4399, {0xAA, 0xB2, 0x87, 0x7A, 0x27, 0x54, 0x67, 0x3E}};

struct HostOptions {
    std::string MachineFolder;  // required
    std::string Image;          // host file installed as the machine's image; "" keeps it
    bool RemoveImage = false;   // take every image off the machine first
    std::string ModemVersion;   // "" keeps the modem's firmware (new modems: "1.0.0")
    // The machine's Windows folder as SystemRoot names it (D:\WinNT\); "" keeps the
    // one the machine has (new machines: kDefaultWindowsFolder).
    std::string WindowsFolder;
    // The modem's link (sim/modem/LinkModel.h: "rate=4.3MB/s;turnaround=0.125ms", "off");
    // "" keeps the one the machine has (new machines: off).
    std::string Link;
    // Which build of each module the machine has: "default" (the one beside the host's
    // parent folder), "none", a variant name (parlex-variants/<name>, flashkit-variants/
    // <name>) or a folder that holds the module.
    std::string Parlex = "default";
    std::string Flashkit = "default";
    std::wstring InstanceId = kDefaultInstanceId;
    std::wstring HardwareId = kDefaultHardwareId;
    double TimeScale = 20;
    std::string Faults;                  // fault-plan text
    std::optional<double> StopAfterSec;  // platform seconds after the hardware was prepared
    std::string TraceFile;               // "" records nothing
    UCHAR TraceLevel = 4;
    ULONG TraceFlags = 0xFFFFFFFF;
    bool Progress = true;    // draw the download's progress
    bool Terminal = false;   // the story goes to a terminal: redraw the bar in place
    std::string ReportFile;  // key=value lines of the outcome, for scripts and tests
};

// What the driver decided at the device's start, as the host read it.
enum class HostDecision {
    NotMade,    // the hardware was not prepared
    Failed,     // the start failed
    Upgrade,    // a download started
    Current,    // the firmware is current
    Exhausted,  // retries are exhausted
    None,       // any other state
};
// The report's name of a decision: "", failed, upgrade, current, exhausted, none.
[[nodiscard]] const char* DecisionName(HostDecision decision);

// What one run showed, as a user of the machine could see it.
struct HostReport {
    HRESULT LoadHr = E_FAIL;  // module load, version check, class object, driver creation
    std::string LoadError;
    HRESULT AddHr = E_PENDING;
    HRESULT PrepareHr = E_PENDING;
    HostDecision Decision = HostDecision::NotMade;
    int StateBefore = -1, CounterBefore = -1;
    int StateAfterPrepare = -1, CounterAfterPrepare = -1;
    int StateAfter = -1, CounterAfter = -1;
    std::string ModemBefore, ModemAfter, ImageVersion;
    uint32_t ItemsTotal = 0, ItemsDone = 0;
    uint64_t BytesTotal = 0, BytesDone = 0;
    std::string Link;                          // the modem's link model, "off" for none
    uint64_t ModemWrites = 0, ModemBytes = 0;  // flash writes the modem took, and their bytes
    bool StoppedByUser = false;
    bool DownloadEnded = false;         // seen ending before the release
    ULONGLONG ReleaseMs = 0;            // platform ms that OnReleaseHardware took
    ULONGLONG RunMs = 0;                // platform ms from load to unload
    std::vector<std::string> Commands;  // "upgrade:set4", "final:set1", ... in order
    std::vector<std::string> Sessions;  // "flash:open-data", ...
    // The libraries the driver held when device add returned (Parlex.dll, Flashkit.dll).
    std::vector<std::string> ModulesAtAdd;
    std::vector<std::string> DebugOutput;
    std::vector<std::string> Problems;  // the host's own complaints (leaks, timeouts)
};

// Reads host options from a command line (without the program name); false with a
// message on a bad one.
[[nodiscard]] bool ParseHostArgs(const std::vector<std::string>& args, HostOptions* options,
                                 std::string* error);
// The same options as a command line, for handing a run to the host program.
std::vector<std::string> ToHostArgs(const HostOptions& options);
// The text `--help` shows for these options.
const char* HostOptionsHelp();

// Runs the whole lifecycle, printing the story to `out`. Returns the exit code:
// 0 the modem runs the image's firmware (updated, or already current);
// 1 the start or the update failed, or retries are exhausted;
// 3 the host could not prepare the machine or load the driver.
[[nodiscard]] int RunHost(const HostOptions& options, std::ostream& out,
                          HostReport* report = nullptr);

// Persisted upgrade values of a device, -1 when missing or unreadable.
[[nodiscard]] int ReadPersistedUint(const std::string& machineFolder,
                                    const std::wstring& instanceId, const wchar_t* name);
[[nodiscard]] int ReadUint(sim::DevicePropertyStores& store, const std::wstring& instanceId,
                           const wchar_t* name);

// The machine's Windows folder, as SystemRoot names it: the one it was given last, or
// kDefaultWindowsFolder.
[[nodiscard]] std::string WindowsFolder(const std::string& machineFolder);
// The host folder behind a Windows path of the machine (drive X: is <machine>/X); false,
// with the reason, for a path that is not absolute (X:\... or X:/...).
[[nodiscard]] bool HostPathOf(const std::string& machineFolder, const std::string& windowsPath,
                              std::string* hostPath, std::string* error);

// Where the host puts an image in a machine (<Windows folder>\Firmware\Velto), and the
// image's host file there ("" if none).
[[nodiscard]] std::string FirmwareFolder(const std::string& machineFolder);
[[nodiscard]] std::string InstalledImage(const std::string& machineFolder);

}  // namespace driverhost
