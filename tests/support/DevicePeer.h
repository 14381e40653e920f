#pragma once
// The driver's device object as the framework host holds it, with its private state in
// reach of a test and every state and counter write recorded in order (the download
// thread writes too, hence the lock).
#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "Device.h"
#include "Framework.h"

namespace brelk::test {

class DevicePeer : public CMyDevice {
public:
    // Starts with one reference, held by the caller.
    DevicePeer();
    ~DevicePeer() override;

    // The device add of the driver: the framework device and its queue, created through
    // `init` (no Configure yet).
    static HRESULT Create(IWDFDriver* driver, IWDFDeviceInitialize* init, DevicePeer** out);
    // A framework device whose callback object is a peer that skipped the device add:
    // *fxDevice holds one reference.
    static HRESULT Attach(sim::CFxDriver* driver, IWDFDeviceInitialize* init, DevicePeer** out,
                          IWDFDevice** fxDevice);

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
    const std::wstring& DeviceKey() const { return m_DeviceKey; }

    // OnUpgradeComplete calls, and whether the upgrade had succeeded at the last one.
    std::atomic<int> Completions{0};
    std::atomic<bool> SucceededAtCompletion{false};

private:
    std::mutex m_Lock;
    std::vector<int> m_StateWrites;    // guarded by m_Lock
    std::vector<int> m_CounterWrites;  // guarded by m_Lock
    HANDLE m_hCompleted;               // manual-reset
};

}  // namespace brelk::test
