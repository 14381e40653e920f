#pragma once
// The simulated machine a run takes place on: its files (Windows folder, image, modules,
// modem) and, while the run lasts, the process pointed at it: time scale, drives,
// SystemRoot and PATH, the current folder, the fault plan, the store and the device
// database.
#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "HostRunner.h"
#include "HostSystem.h"
#include "PropertyStore.h"

namespace driverhost {

// Network adapters' setup class, under which the modem's node is registered.
inline constexpr GUID kModemSetupClass = {
    0x4D36E972, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

// The installed image as the story and the report tell it.
struct ImageFacts {
    std::string Version;
    uint32_t Items = 0;
    uint64_t Bytes = 0;
    std::string Name;
};
[[nodiscard]] ImageFacts ReadImageFacts(const std::string& machine);

// The folder without its trailing separators, to append a name to as Windows does.
[[nodiscard]] std::string WithoutTrailingSeparators(std::string folder);

// The machine, set up for one run. Close (or the destructor) takes the device database
// away from the platform again and releases the store.
//
// What a machine is depends on the host system (HostMachineLayer.cpp on our layer,
// windows/driverhost on Windows): on our layer the machine folder holds its drives and
// its machine file, and the process is pointed at them; on Windows the machine's Windows
// folder, registry and device tree are the system's own, and the folder keeps the modem.
class MachineRun {
public:
    MachineRun() = default;
    ~MachineRun();
    MachineRun(const MachineRun&) = delete;
    MachineRun& operator=(const MachineRun&) = delete;

    // Puts the machine's files in place and points the process at it. False with the
    // line the story shows; *filesError is set when the machine's files could not be
    // made (the report's load error).
    [[nodiscard]] bool Prepare(const HostOptions& options, std::string* failure,
                               std::string* filesError);

    const std::string& WindowsFolder() const { return m_WindowsFolder; }
    const std::shared_ptr<sim::DevicePropertyStores>& Store() const { return m_Store; }
    // A persisted value of the device, -1 when missing or unreadable.
    [[nodiscard]] int Read(const wchar_t* name) const;

    // Flushes the store's lazy writes and releases it; the flush's result.
    [[nodiscard]] HRESULT Close();

private:
    // The host system's part of Prepare, after the files: the process pointed at the
    // machine, the store opened and the modem's device node registered.
    [[nodiscard]] bool PrepareSystem(const HostOptions& options, std::string* failure);
    // The host system's part of Close.
    void CloseSystem();

    std::string m_WindowsFolder;
    std::wstring m_InstanceId;
    std::shared_ptr<sim::DevicePropertyStores> m_Store;  // set while the machine is open
};

// ---- Provided by the host system's part.

// Puts the chosen build of a module in the machine's system folder, or takes it away
// (from empty).
[[nodiscard]] bool PlaceModule(const std::string& machineFolder, const std::string& module,
                               const std::filesystem::path& from, std::string* error);
// The folder behind drive `letter` of the machine.
[[nodiscard]] std::filesystem::path DriveFolder(const std::string& machineFolder, char letter);
// The Windows folder the system fixes for every machine; empty where each machine keeps
// the one it was given (our layer).
[[nodiscard]] std::string SystemWindowsFolder();

}  // namespace driverhost
