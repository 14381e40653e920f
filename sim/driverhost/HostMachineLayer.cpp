// The machine on our layer: its drives are folders of the machine folder, its Windows
// folder is the one it was given, its device database and property stores are its
// machine file, and the process is pointed at all of them for the run.
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>

#include "HostMachine.h"
#include "HostSystem.h"
#include "HostText.h"
#include "MachineStore.h"

namespace fs = std::filesystem;

namespace driverhost {

fs::path DriveFolder(const std::string& machineFolder, char letter) {
    return fs::path(machineFolder) /
           std::string(1, static_cast<char>(std::toupper(static_cast<unsigned char>(letter))));
}

std::string SystemWindowsFolder() {
    return {};
}

// A link to the build, so the machine follows a rebuild.
bool PlaceModule(const std::string& machineFolder, const std::string& module, const fs::path& from,
                 std::string* error) {
    std::string windows;
    if (!HostPathOf(machineFolder, WindowsFolder(machineFolder), &windows, error)) {
        return false;
    }
    const fs::path link = fs::path(windows) / "System32" / module;
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

int ReadPersistedUint(const std::string& machineFolder, const std::wstring& instanceId,
                      const wchar_t* name) {
    std::shared_ptr<sim::MachineStore> store;
    if (FAILED(
            sim::MachineStore::Open(sim::MachineStore::DbPathForMachine(machineFolder), &store))) {
        return -1;
    }
    return ReadUint(*store, instanceId, name);
}

bool MachineRun::PrepareSystem(const HostOptions& o, std::string* failure) {
    const wchar_t windowsDrive =
        static_cast<wchar_t>(std::toupper(static_cast<unsigned char>(m_WindowsFolder[0])));
    sim::Host().Paths().Map(L'C', DriveFolder(o.MachineFolder, 'C').string());
    sim::Host().Paths().Map(windowsDrive,
                            DriveFolder(o.MachineFolder, static_cast<char>(windowsDrive)).string());
    // SystemRoot is the machine's own text, trailing separator and all, as Windows hands
    // it to a process.
    setenv("SystemRoot", m_WindowsFolder.c_str(), 1);
    setenv("windir", m_WindowsFolder.c_str(), 1);
    // Modules only from the machine's system folder: the current folder is searched
    // before PATH, so it must hold none.
    setenv("PATH", (WithoutTrailingSeparators(m_WindowsFolder) + "\\System32").c_str(), 1);
    if (chdir(o.MachineFolder.c_str()) != 0) {
        *failure = "brelk-sim: cannot enter " + o.MachineFolder;
        return false;
    }

    std::shared_ptr<sim::MachineStore> store;
    HRESULT hr =
        sim::MachineStore::Open(sim::MachineStore::DbPathForMachine(o.MachineFolder), &store);
    if (SUCCEEDED(hr)) {
        hr = store->RegisterDeviceNode(o.InstanceId, kModemSetupClass, {o.HardwareId});
    }
    if (FAILED(hr)) {
        *failure = "brelk-sim: machine database: " + HrText(hr);
        return false;
    }
    sim::Host().ServeDeviceNodes(store);
    m_Store = store;
    return true;
}

// The machine file serves the device database while the machine is open.
void MachineRun::CloseSystem() {
    if (m_Store) {
        sim::Host().ServeDeviceNodes(nullptr);
    }
}

}  // namespace driverhost
