#include "DevicePeer.h"

namespace brelk::test {

DevicePeer::DevicePeer() : m_hCompleted(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    AddRef();
}

DevicePeer::~DevicePeer() {
    CloseHandle(m_hCompleted);
}

HRESULT DevicePeer::Create(IWDFDriver* driver, IWDFDeviceInitialize* init, DevicePeer** out) {
    auto* device = new DevicePeer();
    const HRESULT hr = device->Initialize(driver, init);
    if (FAILED(hr)) {
        device->Release();
        return hr;
    }
    *out = device;
    return hr;
}

HRESULT DevicePeer::Attach(sim::CFxDriver* driver, IWDFDeviceInitialize* init, DevicePeer** out,
                           IWDFDevice** fxDevice) {
    auto* device = new DevicePeer();
    *out = device;
    const HRESULT hr =
        driver->CreateDevice(init, static_cast<IPnpCallbackHardware*>(device), fxDevice);
    if (SUCCEEDED(hr)) {
        device->m_pWdfDevice = *fxDevice;
    }
    return hr;
}

HRESULT DevicePeer::WriteProgressState(IWDFDevice* fx, const UCHAR* state) {
    {
        std::lock_guard lock(m_Lock);
        m_StateWrites.push_back(*state);
    }
    return CMyDevice::WriteProgressState(fx, state);
}

HRESULT DevicePeer::WriteRetryCounter(IWDFDevice* fx, const UCHAR* count) {
    {
        std::lock_guard lock(m_Lock);
        m_CounterWrites.push_back(*count);
    }
    return CMyDevice::WriteRetryCounter(fx, count);
}

void DevicePeer::OnUpgradeComplete() {
    SucceededAtCompletion = g_bUpgradeSucceeded.load();
    ++Completions;
    CMyDevice::OnUpgradeComplete();
    SetEvent(m_hCompleted);
}

std::vector<int> DevicePeer::StateWrites() {
    std::lock_guard lock(m_Lock);
    return m_StateWrites;
}

std::vector<int> DevicePeer::CounterWrites() {
    std::lock_guard lock(m_Lock);
    return m_CounterWrites;
}

void DevicePeer::ClearWrites() {
    std::lock_guard lock(m_Lock);
    m_StateWrites.clear();
    m_CounterWrites.clear();
    ResetEvent(m_hCompleted);
}

bool DevicePeer::WaitCompleted(DWORD timeoutMs) {
    return WaitForSingleObject(m_hCompleted, timeoutMs) == WAIT_OBJECT_0;
}

}  // namespace brelk::test
