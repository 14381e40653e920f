// The Device source unit: the device callback object, its configuration, the upgrade
// decision, the persistent upgrade state, the device lookup and the download session.
// It is one translation unit so that its trace points form one numbered sequence; the
// parts below are included in a fixed order at the end of this file.

#include "Device.h"

#include "Trace.h"

BRELK_TRACE_UNIT(Device);

// Process-wide state of the download; complete before the download thread starts.
std::string g_FirmwareImagePath;
UINT32 g_TocItemCount = 0;
INT32 g_TotalImageSize = 0;
DownloadItemList g_DownloadItemList;
std::shared_ptr<CMBDeviceService> g_pFlashService;

CMyDevice::CMyDevice() = default;

CMyDevice::~CMyDevice() = default;

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

STDMETHODIMP_(ULONG) CMyDevice::AddRef() { return static_cast<ULONG>(++m_cRef); }

STDMETHODIMP_(ULONG) CMyDevice::Release() {
    const LONG count = --m_cRef;
    if (count == 0) {
        delete this;
    }
    return static_cast<ULONG>(count);
}

// ---- Parts of the unit, in order. -------------------------------------------------
#include "DevicePending.inc"
#include "DeviceState.inc"
#include "DeviceLookup.inc"
#include "PolicyBinding.inc"
#include "FlashkitBinding.inc"
#include "StatusChannel.inc"
#include "DownloadThread.inc"
