#pragma once
// Brelk.dll as the framework's host holds it: the module, its class factory and driver
// entry, the framework driver object, the device it added. Each step is called by the
// host in the lifecycle's order; Unload, which the destructor also runs, takes whatever
// is held down in reverse order, whichever step failed, so the module is always unloaded.
#include <windows.h>
#include <wudfddi.h>

#include <memory>
#include <string>
#include <vector>

#include "FxHost.h"

namespace sim {
class MachineStore;
}

namespace fwhost {

class HostedDriver {
public:
    HostedDriver() = default;
    ~HostedDriver();
    HostedDriver(const HostedDriver&) = delete;
    HostedDriver& operator=(const HostedDriver&) = delete;

    // Loads Brelk.dll by name, checks Microsoft_WDF_UMDF_Version, gets the driver class's
    // factory and entry, and creates the framework driver object; *why says what failed.
    [[nodiscard]] HRESULT Load(std::string* why);
    HRESULT Initialize();
    // OnDeviceAdd for the device node; the framework device it made is Device().
    [[nodiscard]] HRESULT AddDevice(const std::shared_ptr<sim::MachineStore>& store,
                                    const std::wstring& instanceId);
    // The first framework device the driver added, or null.
    sim::CFxDevice* Device() const { return m_Devices.empty() ? nullptr : m_Devices.front(); }
    HRESULT PrepareHardware();
    HRESULT ReleaseHardware();
    // Releases the devices, OnDeinitialize, releases the driver entry and the factory,
    // unloads the module and releases the framework driver object. Runs once.
    void Unload();

private:
    HMODULE m_Module = nullptr;
    IClassFactory* m_Factory = nullptr;      // one reference
    IDriverEntry* m_Entry = nullptr;         // one reference
    sim::CFxDriver* m_FxDriver = nullptr;    // one reference
    sim::CFxDeviceInit* m_Init = nullptr;    // one reference
    std::vector<sim::CFxDevice*> m_Devices;  // one reference each
    bool m_Loaded = false;                   // OnDeinitialize is owed
    bool m_Prepared = false;                 // OnReleaseHardware is owed
};

}  // namespace fwhost
