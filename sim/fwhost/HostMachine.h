#pragma once
// The simulated machine a run takes place on: its files (Windows folder, image, modules,
// modem) and, while the run lasts, the process pointed at it: time scale, drives,
// SystemRoot and PATH, the current folder, the fault plan, the store and the device
// database.
#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

#include "HostRunner.h"

namespace sim {
class MachineStore;
}

namespace fwhost {

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
    const std::shared_ptr<sim::MachineStore>& Store() const { return m_Store; }
    // A persisted value of the device, -1 when missing or unreadable.
    [[nodiscard]] int Read(const wchar_t* name) const;

    // Flushes the store's lazy writes and releases it; the flush's result.
    [[nodiscard]] HRESULT Close();

private:
    std::string m_WindowsFolder;
    std::wstring m_InstanceId;
    std::shared_ptr<sim::MachineStore> m_Store;
    bool m_DatabaseRegistered = false;
};

}  // namespace fwhost
