#include "TestMachine.h"

#include <gtest/gtest.h>

#include "DevicePeer.h"
#include "HResultPrinter.h"
#include "HostSystem.h"
#include "MBDeviceService.h"

namespace fs = std::filesystem;

namespace brelk::test {

void AddFaults(const char* text) {
    std::string error;
    ASSERT_TRUE(sim::FaultPlan::Instance().Parse(text, &error)) << error;
}

std::shared_ptr<CMBDeviceService> OpenDeviceService(const wchar_t* id) {
    auto service = std::make_shared<CMBDeviceService>(id);
    EXPECT_HR(S_OK, service->Initialize());
    return service;
}

Machine::Machine(const char* tag) : m_Folder(FreshFolder(tag)), m_OwnsFolder(true) {
    sim::FaultPlan::Instance().Clear();
}

Machine::Machine(Existing existing) : m_Folder(std::move(existing.Folder)), m_OwnsFolder(false) {
    sim::FaultPlan::Instance().Clear();
}

Machine::~Machine() {
    Stop();
    if (m_OwnsFolder) {
        std::error_code ec;
        fs::remove_all(m_Folder, ec);
    }
}

void Machine::Stop() {
    StopDriver();
    StopModem();
    sim::FaultPlan::Instance().Clear();
    CloseStore();
    if (m_DriveMapped) {
        sim::Host().Paths().UnmapAll();
        m_DriveMapped = false;
    }
    if (SUCCEEDED(m_hrCom)) {
        CoUninitialize();
        m_hrCom = E_FAIL;
    }
}

void Machine::InitializeCom() {
    if (FAILED(m_hrCom)) {
        m_hrCom = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    }
}

void Machine::MapDrive() {
    fs::create_directories(FirmwareFolder());
    ASSERT_TRUE(sim::Host().Paths().Map(L'C', (m_Folder / "c").string()));
    m_DriveMapped = true;
    SetEnvironmentVariableA("SystemRoot", "C:\\Windows");
}

fs::path Machine::FirmwareFolder() const {
    return m_Folder / "c" / "Windows" / "Firmware" / "Velto";
}

std::string Machine::FirmwarePath(const std::string& file) {
    return "C:\\Windows\\Firmware\\Velto\\" + file;
}

HRESULT Machine::OpenStore(const sim::StoreOptions& options) {
    const HRESULT hr = sim::MachineStore::Open(DbPath(), &m_Store, options);
    if (SUCCEEDED(hr)) {
        sim::Host().ServeDeviceNodes(m_Store);
    }
    return hr;
}

void Machine::CloseStore() {
    if (m_Store) {
        sim::Host().ServeDeviceNodes(nullptr);
        m_Store.reset();
    }
}

std::string Machine::DbPath() const {
    return sim::MachineStore::DbPathForMachine(m_Folder.string());
}

HRESULT Machine::StartDriver() {
    return sim::CFxDriver::CreateInstance(&m_pDriver);
}

HRESULT Machine::NewDeviceInit(const std::wstring& instance, sim::CFxDeviceInit** init) {
    return sim::CFxDeviceInit::CreateInstance(m_Store, instance, init);
}

DevicePeer* Machine::AddDevice(const std::wstring& instance) {
    sim::CFxDeviceInit* init = nullptr;
    EXPECT_HR(S_OK, NewDeviceInit(instance, &init));
    if (init == nullptr) {
        return nullptr;
    }
    DevicePeer* device = nullptr;
    EXPECT_HR(S_OK, DevicePeer::Create(m_pDriver, init, &device));
    init->Release();
    if (device != nullptr) {
        m_Devices.push_back(device);
    }
    return device;
}

HRESULT Machine::AttachDevice(const std::wstring& instance) {
    sim::CFxDeviceInit* init = nullptr;
    HRESULT hr = NewDeviceInit(instance, &init);
    if (FAILED(hr)) {
        return hr;
    }
    DevicePeer* device = nullptr;
    IWDFDevice* fxDevice = nullptr;
    hr = DevicePeer::Attach(m_pDriver, init, &device, &fxDevice);
    init->Release();
    m_Devices.push_back(device);
    if (fxDevice != nullptr) {
        m_FxDevices.push_back(fxDevice);
    }
    return hr;
}

void Machine::RemoveDevice(DevicePeer* device) {
    std::erase(m_Devices, device);
    device->Release();
    m_pDriver->DeleteDevices();
}

IWDFDevice* Machine::FxDevice() const {
    return Device() != nullptr ? Device()->FxDevice() : nullptr;
}

HRESULT Machine::StartAttachedDevice(const sim::StoreOptions& options,
                                     const std::wstring& instance) {
    HRESULT hr = OpenStore(options);
    if (SUCCEEDED(hr)) {
        hr = StartDriver();
    }
    if (SUCCEEDED(hr)) {
        hr = AttachDevice(instance);
    }
    return hr;
}

void Machine::StopDriver() {
    for (DevicePeer* device : m_Devices) {
        if (device->DownloadThreadHandle() != nullptr) {
            device->OnReleaseHardware(device->FxDevice());
        }
        device->Release();
    }
    m_Devices.clear();
    for (IWDFDevice* fxDevice : m_FxDevices) {
        fxDevice->Release();
    }
    m_FxDevices.clear();
    if (m_pDriver != nullptr) {
        // The framework devices let go of the device objects, whose clean-up unloads the
        // libraries they loaded.
        m_pDriver->DeleteDevices();
        m_pDriver->Release();
        m_pDriver = nullptr;
    }
}

sim::ModemOptions Machine::ModemOptions() const {
    sim::ModemOptions options;
    options.MachineFolder = m_Folder;
    return options;
}

HRESULT Machine::StartModem(const sim::ModemOptions& options) {
    m_Modem = std::make_unique<sim::SimModem>(options);
    return m_Modem->Start();
}

void Machine::StopModem() {
    if (m_Modem) {
        m_Modem->Stop();
        m_Modem.reset();
    }
}

}  // namespace brelk::test
