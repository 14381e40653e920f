// The Device source unit: the device callback object, its configuration, the upgrade
// decision, the persistent upgrade state, the device lookup and the download session.
// It is one translation unit so that its trace points form one numbered sequence; the
// parts below are included in a fixed order at the end of this file.

#include "Device.h"

#include <cstring>
#include <new>

#include "Flashkit.h"
#include "IoQueue.h"
#include "MBDeviceService.h"
#include "Trace.h"

BRELK_TRACE_UNIT(Device);

// Process-wide state of the download; complete before the download thread starts.
std::string g_FirmwareImagePath;
UINT32 g_TocItemCount = 0;
INT32 g_TotalImageSize = 0;
DownloadItemList g_DownloadItemList;
std::shared_ptr<CMBDeviceService> g_pFlashService;
// The firmware the modem ran before the download that is under way; set by the start of
// a download on the framework's thread before the thread exists, read by that thread.
std::string g_PreviousFwVersion;

// Device property {540B947E-8B40-45BC-A8A2-6A0B894CBDA2}, 13.
static const DEVPROPKEY DEVICE_FLAG_PROPERTY = {
    {0x540B947E, 0x8B40, 0x45BC, {0xA8, 0xA2, 0x6A, 0x0B, 0x89, 0x4C, 0xBD, 0xA2}}, 13};

// Pause between the recorded outcome and the final command.
constexpr DWORD FINAL_COMMAND_DELAY_MS = 10000;

CMyDevice::CMyDevice() {
    DllModuleLock();
}

CMyDevice::~CMyDevice() {
    ReleaseResources();
    m_DeviceKey.clear();
    if (m_pWorkItem != nullptr) {
        m_pWorkItem->Release();
        m_pWorkItem = nullptr;
    }
    m_pFinalService.reset();
    m_pFlashService.reset();
    m_pUpgradeService.reset();
    DllModuleUnlock();
}

HRESULT CMyDevice::CreateInstance(IWDFDriver* FxDriver, IWDFDeviceInitialize* FxDeviceInit,
                                  CMyDevice** Device) {
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_DEVICE, "CreateInstance: entry");
    if (Device == nullptr) {
        return E_POINTER;
    }
    *Device = nullptr;
    CMyDevice* device = new (std::nothrow) CMyDevice();
    if (device == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "CreateInstance: no memory");
        return E_OUTOFMEMORY;
    }
    device->AddRef();
    const HRESULT hr = device->Initialize(FxDriver, FxDeviceInit);
    if (FAILED(hr)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "CreateInstance: Initialize %!HRESULT!",
                    hr);
        device->Release();
        return hr;
    }
    *Device = device;
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_DEVICE, "CreateInstance: exit %!HRESULT!", hr);
    return hr;
}

HRESULT CMyDevice::Initialize(IWDFDriver* FxDriver, IWDFDeviceInitialize* FxDeviceInit) {
    if (FxDriver == nullptr || FxDeviceInit == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "Initialize: missing framework object");
        return E_INVALIDARG;
    }
    FxDeviceInit->SetPowerPolicyOwnership(FALSE);
    FxDeviceInit->AutoForwardCreateCleanupClose(WdfTrue);

    IWDFDevice* fxDevice = nullptr;
    const HRESULT hr =
        FxDriver->CreateDevice(FxDeviceInit, static_cast<IPnpCallbackHardware*>(this), &fxDevice);
    if (FAILED(hr)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "Initialize: CreateDevice %!HRESULT!",
                    hr);
        return hr;
    }
    // The framework device owns this object; holding a reference back would make a cycle.
    m_pWdfDevice = fxDevice;
    if (fxDevice != nullptr) {
        fxDevice->Release();
    }
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_DEVICE, "Initialize: device %p", fxDevice);
    return hr;
}

STDMETHODIMP CMyDevice::QueryInterface(REFIID riid, void** ppv) {
    if (ppv == nullptr) {
        return E_POINTER;
    }
    *ppv = nullptr;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IPnpCallbackHardware)) {
        *ppv = static_cast<IPnpCallbackHardware*>(this);
        AddRef();
        return S_OK;
    }
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CMyDevice::AddRef() {
    return static_cast<ULONG>(++m_cRef);
}

STDMETHODIMP_(ULONG) CMyDevice::Release() {
    const LONG count = --m_cRef;
    if (count == 0) {
        delete this;
    }
    return static_cast<ULONG>(count);
}

STDMETHODIMP CMyDevice::OnPrepareHardware(IWDFDevice* FxDevice) {
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_DEVICE, "OnPrepareHardware: entry");
    bool upgradeRequired = false;
    HRESULT hr = DecideUpgrade(FxDevice, &upgradeRequired);
    if (FAILED(hr) || !upgradeRequired) {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_DEVICE,
                    "OnPrepareHardware: no download %!HRESULT!", hr);
        return hr;
    }

    // Only a configuration that found items opened the flash service; without it there
    // is nothing to carry the download, so nothing is opened or sent.
    if (!m_pFlashService) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE,
                    "OnPrepareHardware: upgrade required but no flash service");
        return E_FAIL;
    }

    hr = m_pFlashService->OpenServiceDataSession();
    if (FAILED(hr)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE,
                    "OnPrepareHardware: OpenServiceDataSession %!HRESULT!", hr);
        return hr;
    }

    hr = m_pUpgradeService->SetServiceCommand(4, nullptr, 0, nullptr, 0, nullptr);
    if (FAILED(hr)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE,
                    "OnPrepareHardware: set command 4 %!HRESULT!", hr);
        return hr;
    }
    m_bUpgradeCommandSent = 1;

    m_ProgressState = PROGRESS_DOWNLOADING;
    const HRESULT hrWrite = WriteProgressState(FxDevice, &m_ProgressState);
    if (FAILED(hrWrite)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE,
                    "OnPrepareHardware: writing state 2 %!HRESULT!", hrWrite);
    }

    try {
        g_PreviousFwVersion = m_pUpgradeService->GetCurrentFirmwareVersion();
    } catch (...) {
        g_PreviousFwVersion.clear();
    }

    DWORD threadId = 0;
    HANDLE thread = CreateThread(nullptr, 0, DownloadThread, this, 0, &threadId);
    if (thread != nullptr) {
        m_hDownloadThread = thread;
        m_DownloadThreadId = threadId;
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_DEVICE,
                    "OnPrepareHardware: download thread %u started", threadId);
        return hr;
    }

    const HRESULT hrThread = HRESULT_FROM_WIN32(GetLastError());
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "OnPrepareHardware: CreateThread %!HRESULT!",
                hrThread);
    m_ProgressState = PROGRESS_FAILED;
    const HRESULT hrFailed = WriteProgressState(FxDevice, &m_ProgressState);
    if (FAILED(hrFailed)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE,
                    "OnPrepareHardware: writing state 4 %!HRESULT!", hrFailed);
    }
    return E_FAIL;
}

// Closes the flash library's port if the download thread opened it; the flag is taken
// in one step so that the port is closed once.
void CMyDevice::ClosePortIfOpen() {
    if (m_bPortOpen.exchange(0) == 0) {
        return;
    }
    if (g_pFlashkitApi != nullptr && g_hFlashkit != nullptr) {
        char statusText[512] = {};
        g_pFlashkitApi->ZKTR_DL_close_comm_port(FLASH_CHANNEL, statusText);
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_DEVICE,
                    "OnReleaseHardware: flash port closed");
    }
}

STDMETHODIMP CMyDevice::OnReleaseHardware(IWDFDevice* FxDevice) {
    (void)FxDevice;
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_DEVICE, "OnReleaseHardware: entry");

    if (m_bUpgradeCommandSent != 0 && m_pUpgradeService) {
        const HRESULT hr = m_pUpgradeService->SetServiceCommand(5, nullptr, 0, nullptr, 0, nullptr);
        if (SUCCEEDED(hr)) {
            m_bUpgradeCommandSent = 0;
        } else {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE,
                        "OnReleaseHardware: set command 5 %!HRESULT!", hr);
        }
    }

    ClosePortIfOpen();

    if (m_pFlashService) {
        const HRESULT hr = m_pFlashService->CloseServiceDataSession();
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_DEVICE,
                    "OnReleaseHardware: CloseServiceDataSession %!HRESULT!", hr);
    }

    if (m_hDownloadThread != nullptr) {
        WaitForSingleObject(m_hDownloadThread, INFINITE);
        CloseHandle(m_hDownloadThread);
        m_hDownloadThread = nullptr;
        m_DownloadThreadId = 0;
        // A thread that had not yet opened the port when the release began has opened
        // it since; it must not stay open past the release.
        ClosePortIfOpen();
    }

    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_DEVICE, "OnReleaseHardware: exit");
    return S_OK;
}

void CMyDevice::OnUpgradeComplete() {
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_DEVICE, "OnUpgradeComplete: entry");
    if (!m_pFlashService) {
        return;
    }

    const bool succeeded = g_bUpgradeSucceeded.load();
    if (succeeded) {
        m_ProgressState = PROGRESS_COMPLETED;
        m_RetryCount = 0;
        const HRESULT hr = WriteRetryCounter(m_pWdfDevice, &m_RetryCount);
        if (FAILED(hr)) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE,
                        "OnUpgradeComplete: writing the retry counter %!HRESULT!", hr);
        }
    } else {
        m_ProgressState = PROGRESS_FAILED;
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "OnUpgradeComplete: upgrade failed");
    }
    HRESULT hr = WriteProgressState(m_pWdfDevice, &m_ProgressState);
    if (FAILED(hr)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE,
                    "OnUpgradeComplete: writing state %u %!HRESULT!",
                    static_cast<UINT>(m_ProgressState), hr);
    }

    // Only a download that succeeded replaced the firmware the modem ran before it.
    if (succeeded && !g_PreviousFwVersion.empty()) {
        hr = WritePrevFwVersion(m_pWdfDevice, g_PreviousFwVersion.c_str());
        if (FAILED(hr)) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE,
                        "OnUpgradeComplete: writing the previous version %!HRESULT!", hr);
        }
    }

    hr = OpenFinalService();
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_DEVICE,
                "OnUpgradeComplete: OpenFinalService %!HRESULT!", hr);
    if (hr != S_OK) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE,
                    "OnUpgradeComplete: no final service, no final command %!HRESULT!", hr);
        return;
    }
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE,
                "OnUpgradeComplete: final command in %u seconds", FINAL_COMMAND_DELAY_MS / 1000);
    Sleep(FINAL_COMMAND_DELAY_MS);
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "OnUpgradeComplete: sending final command");
    SendFinalCommand();
}

HRESULT CMyDevice::OpenFinalService() {
    std::shared_ptr<CMBDeviceService> service;
    try {
        service = std::make_shared<CMBDeviceService>(FINAL_SERVICE_ID);
    } catch (...) {
        service.reset();
    }
    m_pFinalService = service;
    if (!m_pFinalService) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "OpenFinalService: no memory");
        return E_OUTOFMEMORY;
    }
    const HRESULT hr = m_pFinalService->Initialize();
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_DEVICE,
                "OpenFinalService: Initialize %!HRESULT!", hr);
    return hr;
}

HRESULT CMyDevice::SendFinalCommand() {
    if (!m_pFinalService) {
        return E_FAIL;
    }
    const HRESULT hr = m_pFinalService->SetServiceCommand(1, nullptr, 0, nullptr, 0, nullptr);
    if (FAILED(hr)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE,
                    "SendFinalCommand: set command 1 failed %!HRESULT!", hr);
    } else {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE,
                    "SendFinalCommand: set command 1 sent %!HRESULT!", hr);
    }
    return hr;
}

void CMyDevice::ReleaseResources() {
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_DEVICE,
                "ReleaseResources: upgrade %d, flash %d, final %d",
                static_cast<INT32>(m_pUpgradeService.use_count()),
                static_cast<INT32>(m_pFlashService.use_count()),
                static_cast<INT32>(m_pFinalService.use_count()));
    g_pFlashService.reset();
    UnloadFlashkit();
    UnloadPolicyDll();
}

std::shared_ptr<CMBDeviceService> CMyDevice::GetUpgradeService() {
    return m_pUpgradeService;
}

UCHAR CMyDevice::GetProgressState() {
    return m_ProgressState;
}

void CMyDevice::SetProgressState(UCHAR State) {
    m_ProgressState = State;
}

HRESULT CMyDevice::OpenUnifiedPropertyStore(IWDFDevice* FxDevice,
                                            IWDFUnifiedPropertyStore** Store) {
    if (FxDevice == nullptr || Store == nullptr) {
        return E_INVALIDARG;
    }
    *Store = nullptr;
    IWDFUnifiedPropertyStoreFactory* factory = nullptr;
    HRESULT hr = FxDevice->QueryInterface(IID_IWDFUnifiedPropertyStoreFactory,
                                          reinterpret_cast<void**>(&factory));
    if (FAILED(hr) || factory == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE,
                    "OpenUnifiedPropertyStore: no factory %!HRESULT!", hr);
        return FAILED(hr) ? hr : E_NOINTERFACE;
    }
    WDF_PROPERTY_STORE_ROOT root = {};
    root.LengthCb = sizeof(WDF_PROPERTY_STORE_ROOT);
    root.RootClass = WdfPropertyStoreRootClassHardwareKey;
    root.Qualifier.HardwareKey.ServiceName = nullptr;
    hr = factory->RetrieveUnifiedDevicePropertyStore(&root, Store);
    factory->Release();
    if (FAILED(hr)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE,
                    "OpenUnifiedPropertyStore: RetrieveUnifiedDevicePropertyStore %!HRESULT!", hr);
        *Store = nullptr;
        return hr;
    }
    if (*Store == nullptr) {
        return E_NOINTERFACE;
    }
    return hr;
}

HRESULT CMyDevice::SetDeviceFlagProperty(IWDFDevice* FxDevice, UCHAR Flag) {
    IWDFUnifiedPropertyStore* store = nullptr;
    HRESULT hr = OpenUnifiedPropertyStore(FxDevice, &store);
    if (FAILED(hr)) {
        return hr;
    }
    BYTE value = Flag;
    hr = store->SetPropertyData(&DEVICE_FLAG_PROPERTY, 0, 0, DEVPROP_TYPE_BOOLEAN, sizeof(value),
                                &value);
    store->Release();
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_DEVICE, "SetDeviceFlagProperty: %u %!HRESULT!",
                static_cast<UINT>(Flag), hr);
    return hr;
}

// The download always runs on its own thread; no framework work item is created.
HRESULT CMyDevice::CreateUpgradeWorkItem() {
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_DEVICE,
                "CreateUpgradeWorkItem: not supported, the download uses a thread");
    return E_NOTIMPL;
}

// ---- Parts of the unit, in order. -------------------------------------------------
#include "DeviceConfigure.inc"
#include "DeviceDecision.inc"
#include "DeviceState.inc"
#include "DeviceLookup.inc"
#include "PolicyBinding.inc"
#include "FlashkitBinding.inc"
#include "StatusChannel.inc"
#include "DownloadThread.inc"
