#pragma once
// CMyDevice: the device callback object. One per modem device node; it owns everything
// that belongs to one upgrade: the framework device, the I/O queue object, the three
// device-service objects, the persisted progress state and retry counter, the upgrade
// decision and the download thread.

#include <windows.h>
#include <wudfddi.h>

#include <atomic>
#include <memory>
#include <string>

#include "Internal.h"

class CMBDeviceService;
class CMyQueue;

// Progress state persisted as "FWUpdateProgressState".
enum UpgradeProgress : UCHAR {
    PROGRESS_NONE = 0,
    PROGRESS_PENDING = 1,
    PROGRESS_DOWNLOADING = 2,
    PROGRESS_COMPLETED = 3,
    PROGRESS_FAILED = 4,
    PROGRESS_RETRIES_EXHAUSTED = 6,
    PROGRESS_NOT_REQUIRED = 8,  // held in memory only, never written
};

class CMyDevice : public IPnpCallbackHardware {
public:
    static HRESULT CreateInstance(IWDFDriver* FxDriver, IWDFDeviceInitialize* FxDeviceInit,
                                  CMyDevice** Device);

    // Turns a fresh device into one that can be upgraded; runs once, at device add.
    HRESULT Configure();

    // IUnknown
    STDMETHOD(QueryInterface)(REFIID riid, void** ppv) override;
    STDMETHOD_(ULONG, AddRef)() override;
    STDMETHOD_(ULONG, Release)() override;

    // IPnpCallbackHardware
    STDMETHOD(OnPrepareHardware)(IWDFDevice* FxDevice) override;
    STDMETHOD(OnReleaseHardware)(IWDFDevice* FxDevice) override;

    // The class's own operations, in table order after the two callbacks above.
    virtual ~CMyDevice();
    virtual std::shared_ptr<CMBDeviceService> GetUpgradeService();
    virtual UCHAR GetProgressState();
    virtual void SetProgressState(UCHAR State);
    virtual HRESULT OpenUnifiedPropertyStore(IWDFDevice* FxDevice,
                                             IWDFUnifiedPropertyStore** Store);
    virtual HRESULT SetDeviceFlagProperty(IWDFDevice* FxDevice, UCHAR Flag);
    virtual HRESULT OpenPropertyStore(IWDFDevice* FxDevice, IWDFNamedPropertyStore2** Store);
    virtual HRESULT WriteProgressState(IWDFDevice* FxDevice, const UCHAR* State);
    virtual HRESULT ReadProgressState(IWDFDevice* FxDevice, UCHAR* State);
    virtual HRESULT WriteRetryCounter(IWDFDevice* FxDevice, const UCHAR* Count);
    virtual HRESULT ReadRetryCounter(IWDFDevice* FxDevice, UCHAR* Count);
    virtual HRESULT WritePrevFwVersion(IWDFDevice* FxDevice, const char* Text);
    virtual HRESULT ReadPrevFwVersion(IWDFDevice* FxDevice, char* Buffer, ULONG Capacity);
    virtual HRESULT InitializeUpgradeState(IWDFDevice* FxDevice);
    virtual HRESULT CreateUpgradeWorkItem();
    virtual HRESULT UpdateRetryState(IWDFDevice* FxDevice);
    // Runs on the download thread as its last action: records the outcome and, after a
    // pause, sends the final command.
    virtual void OnUpgradeComplete();

    HRESULT LookupDeviceKey();
    HRESULT OpenFinalService();
    HRESULT SendFinalCommand();
    void ReleaseResources();

protected:
    CMyDevice();
    HRESULT Initialize(IWDFDriver* FxDriver, IWDFDeviceInitialize* FxDeviceInit);

    // The decision that opens OnPrepareHardware: *UpgradeRequired tells whether the
    // download is to start; a failure ends the start.
    HRESULT DecideUpgrade(IWDFDevice* FxDevice, bool* UpgradeRequired);
    // Loads and binds Parlex and Flashkit and hands Flashkit its parameters and status
    // callback; E_FAIL when either library or one of its exports is missing.
    HRESULT BindLibraries();
    // Hands Flashkit the three port callbacks and the port parameters.
    void SetPortParameters();
    void ClosePortIfOpen();

    std::atomic<LONG> m_cRef{0};
    // No reference: the framework device owns this object, so it outlives it.
    IWDFDevice* m_pWdfDevice = nullptr;
    // No reference: the framework queue holds the queue object alive.
    CMyQueue* m_pQueue = nullptr;
    std::shared_ptr<CMBDeviceService> m_pUpgradeService;
    std::shared_ptr<CMBDeviceService> m_pFlashService;  // absent without image or items
    std::shared_ptr<CMBDeviceService> m_pFinalService;  // opened by OnUpgradeComplete
    UCHAR m_ProgressState = PROGRESS_NONE;
    UCHAR m_RetryCount = 0;
    char m_szPrevFwVersion[100] = {};
    // One reference when set; this driver never creates a work item.
    IUnknown* m_pWorkItem = nullptr;
    HANDLE m_hDownloadThread = nullptr;
    DWORD m_DownloadThreadId = 0;
    LONG m_bUpgradeCommandSent = 0;
    // Set by the download thread once it opened the library's port; the release reads
    // and clears it while that thread may still run.
    std::atomic<LONG> m_bPortOpen{0};
    std::wstring m_DeviceKey;

    friend DWORD WINAPI DownloadThread(LPVOID Parameter);
};
