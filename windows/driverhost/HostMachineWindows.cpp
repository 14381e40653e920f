// The machine on Windows: its Windows folder, registry and device tree are the system's
// own. The modem's node is created through SetupAPI, the device's property stores live in
// the registry below the node's keys, and the driver's modules are copied to the system
// folder, where Windows' own search order finds them. The machine folder keeps the modem.
#include <windows.h>

#include <filesystem>

#include "HostMachine.h"
#include "HostText.h"
#include "WindowsMachine.h"

namespace fs = std::filesystem;

namespace driverhost {
namespace {

std::string Win32Text(DWORD code) {
    return "error " + std::to_string(code);
}

// The system folder, where Windows' own search order finds the driver's modules.
std::string SystemFolder() {
    wchar_t folder[MAX_PATH] = {};
    const UINT n = GetSystemDirectoryW(folder, MAX_PATH);
    return n == 0 || n >= MAX_PATH ? std::string() : Narrow(folder);
}

}  // namespace

fs::path DriveFolder(const std::string&, char letter) {
    return fs::path(std::string(1, letter) + ":\\");
}

std::string SystemWindowsFolder() {
    wchar_t folder[MAX_PATH] = {};
    const UINT n = GetWindowsDirectoryW(folder, MAX_PATH);
    return n == 0 || n >= MAX_PATH ? std::string(kDefaultWindowsFolder) : Narrow(folder);
}

// A copy: a module in use cannot be replaced under its user, and the next run of another
// build must not change this one's.
bool PlaceModule(const std::string&, const std::string& module, const fs::path& from,
                 std::string* error) {
    const std::string system = SystemFolder();
    if (system.empty()) {
        *error = "no system folder (" + Win32Text(GetLastError()) + ")";
        return false;
    }
    const std::wstring target = Widen(system + "\\" + module);
    if (!DeleteFileW(target.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND) {
        *error = "cannot take " + module + " away from " + system + " (" +
                 Win32Text(GetLastError()) + ")";
        return false;
    }
    if (from.empty()) {
        return true;
    }
    if (!CopyFileW((from / module).wstring().c_str(), target.c_str(), FALSE)) {
        *error =
            "cannot place " + module + " in " + system + " (" + Win32Text(GetLastError()) + ")";
        return false;
    }
    return true;
}

bool MachineRun::PrepareSystem(const HostOptions& o, std::string* failure) {
    // The current folder is searched for modules too; the machine folder holds none.
    if (!SetCurrentDirectoryW(fs::path(o.MachineFolder).wstring().c_str())) {
        *failure = "brelk-sim: cannot enter " + o.MachineFolder;
        return false;
    }
    const HRESULT hr =
        sim::SystemDeviceNodes()->CreateNode(o.InstanceId, kModemSetupClass, {o.HardwareId});
    if (FAILED(hr)) {
        *failure = "brelk-sim: the modem's device node: " + HrText(hr);
        return false;
    }
    m_Store = std::make_shared<sim::BackendPropertyStores>(sim::RegistryPropertyBackend());
    return true;
}

void MachineRun::CloseSystem() {}

}  // namespace driverhost
