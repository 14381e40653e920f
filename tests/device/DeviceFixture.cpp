#include "DeviceFixture.h"

#include <winplat/clock.h>
#include <winplat/debugout.h>

#include <algorithm>

namespace brelk::test {

void DeviceFixture::SetUp() {
    WinplatSetTimeScale(kTimeScale);
    m_Machine.InitializeCom();
    UseModuleFolder(BinFolder());
    m_Machine.MapDrive();
    ASSERT_HR(S_OK, m_Machine.OpenStore());
    ASSERT_HR(S_OK, m_Machine.Store()->RegisterDeviceNode(kModemInstance, GUID{}, {HardwareId()}));
    ASSERT_HR(S_OK, m_Machine.StartDriver());

    sim::ModemOptions options = m_Machine.ModemOptions();
    options.InitialFirmwareVersion = ModemFirmware();
    options.KeepWrittenBytes = false;
    ASSERT_HR(S_OK, m_Machine.StartModem(options));

    g_DownloadItemList = {};
    g_bUpgradeSucceeded = false;
    WinplatClearDebugOutput();
}

void DeviceFixture::TearDown() {
    m_Machine.Stop();
    UseModuleFolder(BinFolder());
}

void DeviceFixture::WriteImage(const std::string& versionText,
                               const std::vector<fwimage::ItemSpec>& items,
                               const std::string& file) {
    const auto path = m_Machine.FirmwareFolder() / file;
    std::string error;
    ASSERT_TRUE(fwimage::WriteImage(path.string(), versionText, items, &error)) << error;
}

std::vector<fwimage::ItemSpec> DeviceFixture::SmallItems() {
    return {{"boot", 4, 1500, ""}, {"nvm", 2, 300, ""}, {"cust", 5, 700, ""}};
}

DevicePeer* DeviceFixture::ConfiguredDevice() {
    DevicePeer* device = NewDevice();
    if (device != nullptr) {
        EXPECT_HR(S_OK, device->Configure());
    }
    return device;
}

void DeviceFixture::StoreState(UCHAR state, UCHAR counter) {
    DevicePeer* device = m_Machine.Device();
    ASSERT_HR(S_OK, device->CMyDevice::WriteProgressState(device->FxDevice(), &state));
    ASSERT_HR(S_OK, device->CMyDevice::WriteRetryCounter(device->FxDevice(), &counter));
}

UCHAR DeviceFixture::StoredState() {
    UCHAR value = 0xEE;
    DevicePeer* device = m_Machine.Device();
    EXPECT_HR(S_OK, device->ReadProgressState(device->FxDevice(), &value));
    return value;
}

UCHAR DeviceFixture::StoredCounter() {
    UCHAR value = 0xEE;
    DevicePeer* device = m_Machine.Device();
    EXPECT_HR(S_OK, device->ReadRetryCounter(device->FxDevice(), &value));
    return value;
}

std::vector<sim::ModemCommand> DeviceFixture::SetCommands(const wchar_t* serviceId) {
    std::vector<sim::ModemCommand> result;
    for (auto& c : m_Machine.Modem().Commands()) {
        if (c.IsSet && c.ServiceId == serviceId) {
            result.push_back(c);
        }
    }
    return result;
}

bool DeviceFixture::DataSessionOpened() {
    const auto sessions = m_Machine.Modem().Sessions();
    return std::any_of(sessions.begin(), sessions.end(), [](const sim::ModemSession& s) {
        return s.Data && s.Open && s.ServiceId == sim::kFlashServiceId;
    });
}

}  // namespace brelk::test
