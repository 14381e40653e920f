#pragma once
// A driver device object on the framework host of a simulated machine: the machine's
// database, the modem's device node registered in it, and a framework device whose
// callback object is the driver's CMyDevice.
#include <windows.h>

#include <string>
#include <vector>

#include "Device.h"
#include "Framework.h"
#include "MachineStore.h"

namespace brelk::test {

// CMyDevice as the device add would leave it, with its private state in reach.
class TestDevice : public CMyDevice {
public:
    TestDevice() { AddRef(); }
    void Attach(IWDFDevice* fxDevice) { m_pWdfDevice = fxDevice; }
    const std::wstring& DeviceKey() const { return m_DeviceKey; }
};

inline const std::wstring kModemInstance = L"USB\\VID_1E2D&PID_00B7&MI_0C\\7&2C5E8F1&0&000C";

struct DeviceHarness {
    std::shared_ptr<sim::MachineStore> Store;
    sim::CFxDriver* Driver = nullptr;
    IWDFDevice* FxDevice = nullptr;  // one reference
    TestDevice* Device = nullptr;    // one reference

    // Opens (or creates) the machine in `folder` and adds the device `instance`.
    HRESULT Start(const std::string& folder, const std::wstring& instance = kModemInstance,
                  sim::StoreOptions options = {}) {
        HRESULT hr =
            sim::MachineStore::Open(sim::MachineStore::DbPathForMachine(folder), &Store, options);
        if (FAILED(hr)) {
            return hr;
        }
        sim::Host().ServeDeviceNodes(Store);
        hr = sim::CFxDriver::CreateInstance(&Driver);
        if (FAILED(hr)) {
            return hr;
        }
        sim::CFxDeviceInit* init = nullptr;
        hr = sim::CFxDeviceInit::CreateInstance(Store, instance, &init);
        if (FAILED(hr)) {
            return hr;
        }
        Device = new TestDevice();
        hr = Driver->CreateDevice(init, static_cast<IPnpCallbackHardware*>(Device), &FxDevice);
        init->Release();
        if (SUCCEEDED(hr)) {
            Device->Attach(FxDevice);
        }
        return hr;
    }

    void Stop() {
        if (Device != nullptr) {
            Device->Release();
            Device = nullptr;
        }
        if (FxDevice != nullptr) {
            FxDevice->Release();
            FxDevice = nullptr;
        }
        if (Driver != nullptr) {
            Driver->DeleteDevices();
            Driver->Release();
            Driver = nullptr;
        }
        sim::Host().ServeDeviceNodes(nullptr);
        Store.reset();
    }
};

}  // namespace brelk::test
