#pragma once
// A simulated machine for the device object in this process: drive C: with the firmware
// folder, the machine store with the modem's device node, the framework host's driver,
// the simulated modem, and Parlex/Flashkit found by name through the module search.
#include <windows.h>
#include <objbase.h>
#include <winplat/clock.h>
#include <winplat/debugout.h>
#include <winplat/devdb.h>
#include <winplat/drives.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Device.h"
#include "FaultPlan.h"
#include "FirmwareImage.h"
#include "Framework.h"
#include "HResultPrinter.h"
#include "MachineStore.h"
#include "SimModem.h"

namespace devtest {

inline const std::wstring kInstance = L"USB\\VID_1E2D&PID_00B7&MI_0C\\7&2C5E8F1&0&000C";
inline const std::wstring kPlainHardwareId = L"USB\\VID_1E2D&PID_00B7\\{11111111-2222-3333}";
inline const std::wstring kForcedHardwareId = L"MBFW\\{4ca8ca0e-2a90-4d00-b29d-15ab8a12d309}";

// The device object as device add leaves it, recording every state and counter write in
// order (the download thread writes too, hence the lock).
class TestDevice : public CMyDevice {
public:
    static HRESULT Create(IWDFDriver* driver, IWDFDeviceInitialize* init, TestDevice** out);

    HRESULT WriteProgressState(IWDFDevice* fx, const UCHAR* state) override;
    HRESULT WriteRetryCounter(IWDFDevice* fx, const UCHAR* count) override;
    void OnUpgradeComplete() override;

    std::vector<int> StateWrites();
    std::vector<int> CounterWrites();
    void ClearWrites();
    // Waits (platform time) until OnUpgradeComplete has returned.
    bool WaitCompleted(DWORD timeoutMs);

    IWDFDevice* FxDevice() const { return m_pWdfDevice; }
    bool HasFlashService() const { return m_pFlashService != nullptr; }
    LONG PortOpenFlag() const { return m_bPortOpen.load(); }
    LONG UpgradeCommandSent() const { return m_bUpgradeCommandSent; }
    HANDLE DownloadThreadHandle() const { return m_hDownloadThread; }

private:
    TestDevice();
    ~TestDevice() override;

    std::mutex m_Lock;
    std::vector<int> m_StateWrites;    // guarded by m_Lock
    std::vector<int> m_CounterWrites;  // guarded by m_Lock
    HANDLE m_hCompleted;               // manual-reset
};

class DeviceFixture : public ::testing::Test {
protected:
    // The driver's real constants run 100 times faster: the 10 s final pause takes 100 ms.
    static constexpr double kTimeScale = 100;

    void SetUp() override;
    void TearDown() override;

    // Modules are found in `folder` (current folder), then in build/bin (PATH).
    static void UseModuleFolder(const std::string& folder);
    static std::string BinFolder();

    virtual std::string ModemFirmware() { return "1.0.0"; }
    virtual std::wstring HardwareId() { return kPlainHardwareId; }

    // The image file of the firmware folder, written anew.
    void WriteImage(const std::string& versionText, const std::vector<fwimage::ItemSpec>& items,
                    const std::string& file = "Lumbra_QB4410_NAND_TEST.fls");
    static std::vector<fwimage::ItemSpec> SmallItems();

    // A new device object on a new framework device (no Configure yet).
    TestDevice* NewDevice();
    // NewDevice and Configure, which must succeed.
    TestDevice* ConfiguredDevice();

    void StoreState(UCHAR state, UCHAR counter);
    UCHAR StoredState();
    UCHAR StoredCounter();
    void AddFaults(const char* text);

    std::vector<sim::ModemCommand> SetCommands(const wchar_t* serviceId);
    bool DataSessionOpened();

    std::filesystem::path m_Folder;
    std::shared_ptr<sim::MachineStore> m_Store;
    sim::CFxDriver* m_pDriver = nullptr;
    std::unique_ptr<sim::SimModem> m_Modem;
    std::vector<TestDevice*> m_Devices;  // one reference each
    HRESULT m_hrCom = E_FAIL;
};

}  // namespace devtest
