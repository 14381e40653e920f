#pragma once
// The device object in this process on a simulated machine: drive C: with the firmware
// folder, the machine store with the modem's device node, the framework host's driver, the
// simulated modem, and Parlex/Flashkit found by name through the module search.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FirmwareImage.h"
#include "HResultPrinter.h"
#include "DevicePeer.h"
#include "TestMachine.h"

namespace brelk::test {

inline const std::wstring kPlainHardwareId = L"USB\\VID_1E2D&PID_00B7\\{11111111-2222-3333}";
inline const std::wstring kForcedHardwareId = L"MBFW\\{4ca8ca0e-2a90-4d00-b29d-15ab8a12d309}";

class DeviceFixture : public ::testing::Test {
protected:
    // The driver's real constants run 100 times faster: the 10 s final pause takes 100 ms.
    static constexpr double kTimeScale = 100;

    void SetUp() override;
    void TearDown() override;

    virtual std::string ModemFirmware() { return "1.0.0"; }
    virtual std::wstring HardwareId() { return kPlainHardwareId; }

    // The image file of the firmware folder, written anew.
    void WriteImage(const std::string& versionText, const std::vector<fwimage::ItemSpec>& items,
                    const std::string& file = "Lumbra_QB4410_NAND_TEST.fls");
    static std::vector<fwimage::ItemSpec> SmallItems();

    // A new device object on a new framework device (no Configure yet).
    DevicePeer* NewDevice() { return m_Machine.AddDevice(); }
    // NewDevice and Configure, which must succeed.
    DevicePeer* ConfiguredDevice();

    void StoreState(UCHAR state, UCHAR counter);
    UCHAR StoredState();
    UCHAR StoredCounter();

    std::vector<sim::ModemCommand> SetCommands(const wchar_t* serviceId);
    bool DataSessionOpened();

    Machine m_Machine{"device"};
};

}  // namespace brelk::test
