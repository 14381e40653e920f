#include "DeviceFixture.h"

#include <unistd.h>

#include <algorithm>

namespace fs = std::filesystem;

namespace devtest {

TestDevice::TestDevice() : m_hCompleted(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

TestDevice::~TestDevice() {
    CloseHandle(m_hCompleted);
}

HRESULT TestDevice::Create(IWDFDriver* driver, IWDFDeviceInitialize* init, TestDevice** out) {
    auto* device = new TestDevice();
    device->AddRef();
    const HRESULT hr = device->Initialize(driver, init);
    if (FAILED(hr)) {
        device->Release();
        return hr;
    }
    *out = device;
    return hr;
}

HRESULT TestDevice::WriteProgressState(IWDFDevice* fx, const UCHAR* state) {
    {
        std::lock_guard lock(m_Lock);
        m_StateWrites.push_back(*state);
    }
    return CMyDevice::WriteProgressState(fx, state);
}

HRESULT TestDevice::WriteRetryCounter(IWDFDevice* fx, const UCHAR* count) {
    {
        std::lock_guard lock(m_Lock);
        m_CounterWrites.push_back(*count);
    }
    return CMyDevice::WriteRetryCounter(fx, count);
}

void TestDevice::OnUpgradeComplete() {
    CMyDevice::OnUpgradeComplete();
    SetEvent(m_hCompleted);
}

std::vector<int> TestDevice::StateWrites() {
    std::lock_guard lock(m_Lock);
    return m_StateWrites;
}

std::vector<int> TestDevice::CounterWrites() {
    std::lock_guard lock(m_Lock);
    return m_CounterWrites;
}

void TestDevice::ClearWrites() {
    std::lock_guard lock(m_Lock);
    m_StateWrites.clear();
    m_CounterWrites.clear();
    ResetEvent(m_hCompleted);
}

bool TestDevice::WaitCompleted(DWORD timeoutMs) {
    return WaitForSingleObject(m_hCompleted, timeoutMs) == WAIT_OBJECT_0;
}

std::string DeviceFixture::BinFolder() {
    return fs::canonical("/proc/self/exe").parent_path().parent_path().string();
}

void DeviceFixture::UseModuleFolder(const std::string& folder) {
    ASSERT_EQ(chdir(folder.c_str()), 0) << folder;
    ASSERT_TRUE(SetEnvironmentVariableA("PATH", BinFolder().c_str()));
}

void DeviceFixture::SetUp() {
    WinplatSetTimeScale(kTimeScale);
    m_hrCom = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    sim::FaultPlan::Instance().Clear();
    UseModuleFolder(BinFolder());

    std::string pattern = (fs::temp_directory_path() / "brelk-device-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    m_Folder = pattern;
    fs::create_directories(m_Folder / "c" / "Windows" / "Firmware" / "Velto");
    ASSERT_TRUE(WinplatMapDrive(L'C', (m_Folder / "c").c_str()));
    SetEnvironmentVariableA("SystemRoot", "C:\\Windows");

    ASSERT_HR(S_OK, sim::MachineStore::Open(sim::MachineStore::DbPathForMachine(m_Folder.string()),
                                            &m_Store, {}));
    sim::Host().ServeDeviceNodes(m_Store);
    ASSERT_HR(S_OK, m_Store->RegisterDeviceNode(kInstance, GUID{}, {HardwareId()}));
    ASSERT_HR(S_OK, sim::CFxDriver::CreateInstance(&m_pDriver));

    sim::ModemOptions options;
    options.MachineFolder = m_Folder;
    options.InitialFirmwareVersion = ModemFirmware();
    options.KeepWrittenBytes = false;
    m_Modem = std::make_unique<sim::SimModem>(options);
    ASSERT_HR(S_OK, m_Modem->Start());

    g_DownloadItemList = {};
    g_bUpgradeSucceeded = false;
    WinplatClearDebugOutput();
}

void DeviceFixture::TearDown() {
    for (TestDevice* device : m_Devices) {
        if (device->DownloadThreadHandle() != nullptr) {
            device->OnReleaseHardware(device->FxDevice());
        }
        device->Release();
    }
    m_Devices.clear();
    if (m_pDriver != nullptr) {
        // The framework devices let go of the device objects, whose clean-up unloads both
        // libraries.
        m_pDriver->DeleteDevices();
        m_pDriver->Release();
        m_pDriver = nullptr;
    }
    if (m_Modem) {
        m_Modem->Stop();
        m_Modem.reset();
    }
    sim::FaultPlan::Instance().Clear();
    sim::Host().ServeDeviceNodes(nullptr);
    m_Store.reset();
    WinplatUnmapDrive(L'C');
    if (SUCCEEDED(m_hrCom)) {
        CoUninitialize();
    }
    std::error_code ec;
    fs::remove_all(m_Folder, ec);
    UseModuleFolder(BinFolder());
}

void DeviceFixture::WriteImage(const std::string& versionText,
                               const std::vector<fwimage::ItemSpec>& items,
                               const std::string& file) {
    const fs::path path = m_Folder / "c" / "Windows" / "Firmware" / "Velto" / file;
    std::string error;
    ASSERT_TRUE(fwimage::WriteImage(path.string(), versionText, items, &error)) << error;
}

std::vector<fwimage::ItemSpec> DeviceFixture::SmallItems() {
    return {{"boot", 4, 1500, ""}, {"nvm", 2, 300, ""}, {"cust", 5, 700, ""}};
}

TestDevice* DeviceFixture::NewDevice() {
    sim::CFxDeviceInit* init = nullptr;
    EXPECT_HR(S_OK, sim::CFxDeviceInit::CreateInstance(m_Store, kInstance, &init));
    if (init == nullptr) {
        return nullptr;
    }
    TestDevice* device = nullptr;
    EXPECT_HR(S_OK, TestDevice::Create(m_pDriver, init, &device));
    init->Release();
    if (device != nullptr) {
        m_Devices.push_back(device);
    }
    return device;
}

TestDevice* DeviceFixture::ConfiguredDevice() {
    TestDevice* device = NewDevice();
    if (device != nullptr) {
        EXPECT_HR(S_OK, device->Configure());
    }
    return device;
}

void DeviceFixture::StoreState(UCHAR state, UCHAR counter) {
    TestDevice* device = m_Devices.back();
    ASSERT_HR(S_OK, device->CMyDevice::WriteProgressState(device->FxDevice(), &state));
    ASSERT_HR(S_OK, device->CMyDevice::WriteRetryCounter(device->FxDevice(), &counter));
}

UCHAR DeviceFixture::StoredState() {
    UCHAR value = 0xEE;
    TestDevice* device = m_Devices.back();
    EXPECT_HR(S_OK, device->ReadProgressState(device->FxDevice(), &value));
    return value;
}

UCHAR DeviceFixture::StoredCounter() {
    UCHAR value = 0xEE;
    TestDevice* device = m_Devices.back();
    EXPECT_HR(S_OK, device->ReadRetryCounter(device->FxDevice(), &value));
    return value;
}

void DeviceFixture::AddFaults(const char* text) {
    std::string error;
    ASSERT_TRUE(sim::FaultPlan::Instance().Parse(text, &error)) << error;
}

std::vector<sim::ModemCommand> DeviceFixture::SetCommands(const wchar_t* serviceId) {
    std::vector<sim::ModemCommand> result;
    for (auto& c : m_Modem->Commands()) {
        if (c.IsSet && c.ServiceId == serviceId) {
            result.push_back(c);
        }
    }
    return result;
}

bool DeviceFixture::DataSessionOpened() {
    const auto sessions = m_Modem->Sessions();
    return std::any_of(sessions.begin(), sessions.end(), [](const sim::ModemSession& s) {
        return s.Data && s.Open && s.ServiceId == sim::kFlashServiceId;
    });
}

}  // namespace devtest
