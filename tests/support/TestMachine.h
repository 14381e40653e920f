#pragma once
// One simulated machine for a test, in a folder of its own: drive C: with the Windows and
// firmware folders, the machine store (also SetupAPI's device database), the framework
// host's driver with the driver's device objects on it, and the simulated modem. Each part
// starts when a test asks for it; Stop (or the destructor) ends them in reverse order and
// leaves the process as it found it: fault plan cleared, drive unmapped, COM undone. The
// folder outlives Stop, so that another process or a restart can use the machine; it goes
// with the machine.
#include <windows.h>
#include <objbase.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "FaultPlan.h"
#include "Framework.h"
#include "MachineStore.h"
#include "SimModem.h"
#include "TestFolders.h"

class CMBDeviceService;

namespace brelk::test {

class DevicePeer;

inline const std::wstring kModemInstance = L"USB\\VID_1E2D&PID_00B7&MI_0C\\7&2C5E8F1&0&000C";

// Adds the rules of `text` to the process's fault plan; a plan that does not parse fails
// the test.
void AddFaults(const char* text);

// The driver's object for device service `id` of the modem registered in this process,
// initialized as the device object does it (which must succeed).
std::shared_ptr<CMBDeviceService> OpenDeviceService(const wchar_t* id);

class Machine {
public:
    // A fresh folder below the temporary folder, removed by the destructor.
    explicit Machine(const char* tag = "machine");
    // The machine kept in `folder` (another process's machine), which outlives this one.
    struct Existing {
        std::filesystem::path Folder;
    };
    explicit Machine(Existing existing);
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    const std::filesystem::path& Folder() const { return m_Folder; }
    void Stop();

    // A multithreaded apartment for the calling thread until Stop.
    void InitializeCom();

    // C: maps to <folder>/c, with SystemRoot C:\Windows and the driver's firmware folder.
    void MapDrive();
    std::filesystem::path FirmwareFolder() const;
    // The Windows path of `file` in the firmware folder.
    static std::string FirmwarePath(const std::string& file);

    HRESULT OpenStore(const sim::StoreOptions& options = {});
    void CloseStore();
    const std::shared_ptr<sim::MachineStore>& Store() const { return m_Store; }
    std::string DbPath() const;

    HRESULT StartDriver();
    sim::CFxDriver* Driver() const { return m_pDriver; }
    // The driver's device add on a new framework device for `instance`; the machine holds
    // the device until Stop. Null (and a failed test) when the add fails.
    DevicePeer* AddDevice(const std::wstring& instance = kModemInstance);
    // A framework device whose callback object is a peer without device add.
    HRESULT AttachDevice(const std::wstring& instance = kModemInstance);
    // The store, the driver and an attached device: what the device's persistent state
    // needs.
    HRESULT StartAttachedDevice(const sim::StoreOptions& options = {},
                                const std::wstring& instance = kModemInstance);
    // The device added or attached last, and its framework device.
    DevicePeer* Device() const { return m_Devices.empty() ? nullptr : m_Devices.back(); }
    IWDFDevice* FxDevice() const;
    // Lets go of `device` and deletes the framework devices: the device's clean-up unloads
    // the libraries it loaded, for the next device.
    void RemoveDevice(DevicePeer* device);
    // Ends every device's download, lets go of the devices and the framework's driver.
    void StopDriver();

    // The modem's options with this machine's folder.
    sim::ModemOptions ModemOptions() const;
    HRESULT StartModem(const sim::ModemOptions& options);
    HRESULT StartModem() { return StartModem(ModemOptions()); }
    void StopModem();
    sim::SimModem& Modem() const { return *m_Modem; }

private:
    HRESULT NewDeviceInit(const std::wstring& instance, sim::CFxDeviceInit** init);

    std::filesystem::path m_Folder;
    const bool m_OwnsFolder;
    HRESULT m_hrCom = E_FAIL;
    bool m_DriveMapped = false;
    std::shared_ptr<sim::MachineStore> m_Store;
    sim::CFxDriver* m_pDriver = nullptr;   // one reference
    std::vector<DevicePeer*> m_Devices;    // one reference each
    std::vector<IWDFDevice*> m_FxDevices;  // one reference each, of attached devices
    std::unique_ptr<sim::SimModem> m_Modem;
};

}  // namespace brelk::test
