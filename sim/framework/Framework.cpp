// The framework's driver, device initialisation and device objects.
#include "Framework.h"

#include <new>

#include "FaultPlan.h"
#include "FxIo.h"

namespace sim {

namespace {

// {0D9F2C61-5B8E-4E0B-9A7C-3F1D2E4B6A01}: answers the concrete initialisation object, so
// that CreateDevice accepts only the host's own.
constexpr GUID IID_CFxDeviceInit = {
    0x0D9F2C61, 0x5B8E, 0x4E0B, {0x9A, 0x7C, 0x3F, 0x1D, 0x2E, 0x4B, 0x6A, 0x01}};

// The framework's size contract: a NULL buffer asks for the size (including the NUL),
// a short buffer fails with ERROR_INSUFFICIENT_BUFFER and the size.
HRESULT CopyText(const std::wstring& text, PWSTR buffer, DWORD* sizeInChars) {
    if (sizeInChars == nullptr) {
        return E_POINTER;
    }
    const DWORD needed = static_cast<DWORD>(text.size() + 1);
    if (buffer == nullptr) {
        *sizeInChars = needed;
        return S_OK;
    }
    if (*sizeInChars < needed) {
        *sizeInChars = needed;
        return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    }
    text.copy(buffer, text.size());
    buffer[text.size()] = L'\0';
    *sizeInChars = needed;
    return S_OK;
}

std::optional<HRESULT> InjectedFailure(FaultPoint point, std::string_view match = {}) {
    auto hit = FaultPlan::Instance().Check(point, match);
    if (hit && hit->action == FaultAction::Fail) {
        return static_cast<HRESULT>(hit->value != 0 ? hit->value : E_FAIL);
    }
    return std::nullopt;
}

// "fail" without a value must still fail: S_OK with no interface is what "null" asks for.
HRESULT QiFailure(const FaultHit& hit) {
    if (hit.action == FaultAction::Null) {
        return S_OK;
    }
    return hit.value != 0 ? static_cast<HRESULT>(hit.value) : E_NOINTERFACE;
}

// The old-style store of a service's hardware subkey, readable and writable.
HRESULT RetrieveServiceStore(DevicePropertyStores& store, const std::wstring& instanceId,
                             PCWSTR serviceName, WDF_PROPERTY_STORE_RETRIEVE_FLAGS flags,
                             IWDFNamedPropertyStore** ppPropStore,
                             WDF_PROPERTY_STORE_DISPOSITION* pDisposition) {
    if (ppPropStore == nullptr) {
        return E_POINTER;
    }
    *ppPropStore = nullptr;
    if (auto hr = InjectedFailure(FaultPoint::HostStoreRetrieve)) {
        return *hr;
    }
    WDF_PROPERTY_STORE_ROOT root = {};
    root.LengthCb = sizeof(root);
    root.RootClass = WdfPropertyStoreRootClassHardwareKey;
    root.Qualifier.HardwareKey.ServiceName = serviceName;
    const bool isRoot = serviceName != nullptr && std::wstring(serviceName) == L"\\";
    IWDFNamedPropertyStore2* named = nullptr;
    HRESULT hr = store.RetrieveNamedStore(instanceId, &root, flags,
                                          isRoot ? KEY_READ : (KEY_READ | KEY_SET_VALUE), nullptr,
                                          &named, pDisposition);
    if (SUCCEEDED(hr)) {
        *ppPropStore = named;
    }
    return hr;
}

}  // namespace

// ---- CFxDeviceInit ------------------------------------------------------------------

HRESULT CFxDeviceInit::CreateInstance(std::shared_ptr<DevicePropertyStores> store,
                                      std::wstring instanceId, CFxDeviceInit** init) {
    if (init == nullptr) {
        return E_POINTER;
    }
    *init = new (std::nothrow) CFxDeviceInit(std::move(store), std::move(instanceId));
    return *init != nullptr ? S_OK : E_OUTOFMEMORY;
}

const simcom::InterfaceEntry<CFxDeviceInit> CFxDeviceInit::kInterfaces[] = {
    simcom::Entry<CFxDeviceInit, IWDFDeviceInitialize>(IID_IWDFDeviceInitialize),
    simcom::Entry<CFxDeviceInit, IWDFPropertyStoreFactory>(IID_IWDFPropertyStoreFactory),
    simcom::Entry<CFxDeviceInit, CFxDeviceInit>(IID_CFxDeviceInit),
    {},
};

STDMETHODIMP CFxDeviceInit::RetrieveDevicePropertyStore(
    PCWSTR pcwszServiceName, WDF_PROPERTY_STORE_RETRIEVE_FLAGS Flags,
    IWDFNamedPropertyStore** ppPropStore, WDF_PROPERTY_STORE_DISPOSITION* pDisposition) {
    return RetrieveServiceStore(*m_Store, m_InstanceId, pcwszServiceName, Flags, ppPropStore,
                                pDisposition);
}

STDMETHODIMP CFxDeviceInit::RetrieveDeviceInstanceId(PWSTR Buffer, DWORD* pdwSizeInChars) {
    if (auto hr = InjectedFailure(FaultPoint::HostDeviceInstanceId)) {
        return *hr;
    }
    return CopyText(m_InstanceId, Buffer, pdwSizeInChars);
}

STDMETHODIMP_(WDF_TRI_STATE) CFxDeviceInit::GetPnpCapability(WDF_PNP_CAPABILITY Capability) {
    auto it = m_PnpCapabilities.find(Capability);
    return it != m_PnpCapabilities.end() ? it->second : WdfUseDefault;
}

STDMETHODIMP CFxDeviceInit::RetrieveDevicePropertyStore(
    PWDF_PROPERTY_STORE_ROOT RootSpecifier, WDF_PROPERTY_STORE_RETRIEVE_FLAGS Flags,
    REGSAM DesiredAccess, PCWSTR SubkeyPath, IWDFNamedPropertyStore2** PropertyStore,
    WDF_PROPERTY_STORE_DISPOSITION* Disposition) {
    if (PropertyStore != nullptr) {
        *PropertyStore = nullptr;
    }
    if (auto hr = InjectedFailure(FaultPoint::HostStoreRetrieve)) {
        return *hr;
    }
    return m_Store->RetrieveNamedStore(m_InstanceId, RootSpecifier, Flags, DesiredAccess,
                                       SubkeyPath, PropertyStore, Disposition);
}

// ---- CFxDriver ----------------------------------------------------------------------

HRESULT CFxDriver::CreateInstance(CFxDriver** driver) {
    if (driver == nullptr) {
        return E_POINTER;
    }
    *driver = new (std::nothrow) CFxDriver();
    return *driver != nullptr ? S_OK : E_OUTOFMEMORY;
}

CFxDriver::~CFxDriver() {
    DeleteDevices();
}

const simcom::InterfaceEntry<CFxDriver> CFxDriver::kInterfaces[] = {
    simcom::Entry<CFxDriver, IWDFDriver>(IID_IWDFDriver),
    simcom::Entry<CFxDriver, IWDFDriver>(IID_IWDFObject),
    {},
};

STDMETHODIMP CFxDriver::CreateDevice(IWDFDeviceInitialize* pDeviceInit,
                                     IUnknown* pCallbackInterface, IWDFDevice** ppDevice) {
    if (ppDevice == nullptr) {
        return E_POINTER;
    }
    *ppDevice = nullptr;
    if (pDeviceInit == nullptr) {
        return E_INVALIDARG;
    }
    CFxDeviceInit* init = nullptr;
    if (FAILED(pDeviceInit->QueryInterface(IID_CFxDeviceInit, reinterpret_cast<void**>(&init)))) {
        return E_INVALIDARG;
    }
    CFxDevice* device = nullptr;
    try {
        device = new CFxDevice(this, init->Store(), init->InstanceId(), pCallbackInterface);
    } catch (...) {
        init->Release();
        return E_OUTOFMEMORY;
    }
    init->Release();
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        try {
            m_Devices.push_back(device);
        } catch (...) {
            device->Release();
            return E_OUTOFMEMORY;
        }
    }
    device->AddRef();  // the caller's
    *ppDevice = device;
    return S_OK;
}

STDMETHODIMP CFxDriver::CreateWdfObject(IUnknown*, IWDFObject*, IWDFObject** ppWdfObject) {
    if (ppWdfObject != nullptr) {
        *ppWdfObject = nullptr;
    }
    return E_NOTIMPL;
}

STDMETHODIMP CFxDriver::CreatePreallocatedWdfMemory(BYTE*, SIZE_T, IUnknown*, IWDFObject*,
                                                    IWDFMemory** ppWdfMemory) {
    if (ppWdfMemory != nullptr) {
        *ppWdfMemory = nullptr;
    }
    return E_NOTIMPL;
}

STDMETHODIMP CFxDriver::CreateWdfMemory(SIZE_T BufferSize, IUnknown*, IWDFObject*,
                                        IWDFMemory** ppWdfMemory) {
    if (ppWdfMemory == nullptr) {
        return E_POINTER;
    }
    *ppWdfMemory = nullptr;
    try {
        *ppWdfMemory = CFxMemory::Create(std::make_shared<std::vector<BYTE>>(BufferSize));
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    return *ppWdfMemory != nullptr ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP_(BOOL) CFxDriver::IsVersionAvailable(UMDF_VERSION_DATA* pMinimumVersion) {
    if (pMinimumVersion == nullptr) {
        return FALSE;
    }
    return pMinimumVersion->MajorNumber == 1 && pMinimumVersion->MinorNumber <= 11;
}

STDMETHODIMP CFxDriver::RetrieveVersionString(PWSTR pVersion, DWORD* pdwVersionLength) {
    return CopyText(L"1.11.0", pVersion, pdwVersionLength);
}

std::vector<CFxDevice*> CFxDriver::Devices() {
    std::lock_guard<std::mutex> lock(m_Lock);
    for (auto* d : m_Devices) {
        d->AddRef();
    }
    return m_Devices;
}

void CFxDriver::DeleteDevices() {
    std::vector<CFxDevice*> devices;
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        devices.swap(m_Devices);
    }
    for (auto* d : devices) {
        d->DeleteWdfObject();
        d->Release();
    }
}

// ---- CFxDevice ----------------------------------------------------------------------

CFxDevice::CFxDevice(CFxDriver* driver, std::shared_ptr<DevicePropertyStores> store,
                     std::wstring instanceId, IUnknown* callback)
    : m_Store(std::move(store)),
      m_InstanceId(std::move(instanceId)),
      m_pDriver(driver),
      m_pCallback(callback) {
    if (m_pCallback != nullptr) {
        m_pCallback->AddRef();
    }
}

CFxDevice::~CFxDevice() {
    DeleteWdfObject();
}

const simcom::InterfaceEntry<CFxDevice> CFxDevice::kInterfaces[] = {
    simcom::Entry<CFxDevice, IWDFDevice>(IID_IWDFDevice),
    simcom::Entry<CFxDevice, IWDFDevice>(IID_IWDFObject),
    simcom::Entry<CFxDevice, IWDFPropertyStoreFactory>(IID_IWDFPropertyStoreFactory),
    simcom::Entry<CFxDevice, IWDFUnifiedPropertyStoreFactory>(IID_IWDFUnifiedPropertyStoreFactory),
    {},
};

STDMETHODIMP CFxDevice::QueryInterface(REFIID riid, void** ppv) {
    const char* factory = nullptr;
    if (IsEqualIID(riid, IID_IWDFPropertyStoreFactory)) {
        factory = "IWDFPropertyStoreFactory";
    } else if (IsEqualIID(riid, IID_IWDFUnifiedPropertyStoreFactory)) {
        factory = "IWDFUnifiedPropertyStoreFactory";
    }
    if (factory != nullptr && ppv != nullptr) {
        if (auto hit = FaultPlan::Instance().Check(FaultPoint::HostDeviceQi, factory)) {
            *ppv = nullptr;
            return QiFailure(*hit);
        }
    }
    return CFxObject::QueryInterface(riid, ppv);
}

STDMETHODIMP CFxDevice::DeleteWdfObject() {
    std::vector<CFxIoQueue*> queues;
    IUnknown* callback = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        if (m_bDeleted) {
            return S_OK;
        }
        m_bDeleted = true;
        queues.swap(m_Queues);
        m_Dispatch.clear();
        m_pDefaultQueue = nullptr;
        callback = m_pCallback;
        m_pCallback = nullptr;
    }
    for (auto* q : queues) {
        q->Shutdown();
        q->Release();
    }
    if (callback != nullptr) {
        callback->Release();
    }
    RunCleanup();
    return S_OK;
}

STDMETHODIMP CFxDevice::RetrieveDevicePropertyStore(PCWSTR pcwszServiceName,
                                                    WDF_PROPERTY_STORE_RETRIEVE_FLAGS Flags,
                                                    IWDFNamedPropertyStore** ppPropStore,
                                                    WDF_PROPERTY_STORE_DISPOSITION* pDisposition) {
    return RetrieveServiceStore(*m_Store, m_InstanceId, pcwszServiceName, Flags, ppPropStore,
                                pDisposition);
}

STDMETHODIMP_(void) CFxDevice::GetDriver(IWDFDriver** ppWdfDriver) {
    if (ppWdfDriver != nullptr) {
        m_pDriver->AddRef();
        *ppWdfDriver = m_pDriver;
    }
}

STDMETHODIMP CFxDevice::RetrieveDeviceInstanceId(PWSTR Buffer, DWORD* pdwSizeInChars) {
    if (auto hr = InjectedFailure(FaultPoint::HostDeviceInstanceId)) {
        return *hr;
    }
    return CopyText(m_InstanceId, Buffer, pdwSizeInChars);
}

STDMETHODIMP_(void) CFxDevice::GetDefaultIoTarget(IWDFIoTarget** ppWdfIoTarget) {
    if (ppWdfIoTarget != nullptr) {
        *ppWdfIoTarget = nullptr;  // the host has no lower stack
    }
}

STDMETHODIMP CFxDevice::CreateWdfFile(LPCWSTR, IWDFDriverCreatedFile** ppFile) {
    if (ppFile != nullptr) {
        *ppFile = nullptr;
    }
    return E_NOTIMPL;
}

STDMETHODIMP_(void) CFxDevice::GetDefaultIoQueue(IWDFIoQueue** ppWdfIoQueue) {
    if (ppWdfIoQueue == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> lock(m_Lock);
    *ppWdfIoQueue = m_pDefaultQueue;
    if (m_pDefaultQueue != nullptr) {
        m_pDefaultQueue->AddRef();
    }
}

STDMETHODIMP CFxDevice::CreateIoQueue(IUnknown* pCallbackInterface, BOOL bDefaultQueue,
                                      WDF_IO_QUEUE_DISPATCH_TYPE DispatchType, BOOL,
                                      BOOL bAllowZeroLengthRequests, IWDFIoQueue** ppIoQueue) {
    if (ppIoQueue == nullptr) {
        return E_POINTER;
    }
    *ppIoQueue = nullptr;
    if (DispatchType < WdfIoQueueDispatchSequential || DispatchType >= WdfIoQueueDispatchMaximum) {
        return E_INVALIDARG;
    }
    if (pCallbackInterface == nullptr && DispatchType != WdfIoQueueDispatchManual) {
        return E_INVALIDARG;  // nobody to dispatch to
    }
    std::lock_guard<std::mutex> lock(m_Lock);
    if (m_bDeleted) {
        return HRESULT_FROM_WIN32(ERROR_OPERATION_ABORTED);
    }
    if (bDefaultQueue && m_pDefaultQueue != nullptr) {
        return HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS);
    }
    CFxIoQueue* queue = nullptr;
    try {
        queue = new CFxIoQueue(this, pCallbackInterface, bDefaultQueue != FALSE, DispatchType,
                               bAllowZeroLengthRequests != FALSE);
        m_Queues.push_back(queue);
    } catch (...) {
        if (queue != nullptr) {
            queue->Shutdown();
            queue->Release();
        }
        return E_OUTOFMEMORY;
    }
    if (bDefaultQueue) {
        m_pDefaultQueue = queue;
    }
    queue->AddRef();  // the caller's
    *ppIoQueue = queue;
    return S_OK;
}

STDMETHODIMP CFxDevice::CreateDeviceInterface(LPCGUID pDeviceInterfaceGuid,
                                              PCWSTR pReferenceString) try {
    if (pDeviceInterfaceGuid == nullptr) {
        return E_INVALIDARG;
    }
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Interfaces.push_back(
        {*pDeviceInterfaceGuid, pReferenceString != nullptr ? pReferenceString : L"", true});
    return S_OK;
} catch (...) {
    return E_OUTOFMEMORY;
}

STDMETHODIMP CFxDevice::AssignDeviceInterfaceState(LPCGUID pDeviceInterfaceGuid,
                                                   PCWSTR pReferenceString, BOOL Enable) {
    if (pDeviceInterfaceGuid == nullptr) {
        return E_INVALIDARG;
    }
    const std::wstring reference = pReferenceString != nullptr ? pReferenceString : L"";
    std::lock_guard<std::mutex> lock(m_Lock);
    for (auto& i : m_Interfaces) {
        if (IsEqualGUID(i.InterfaceGuid, *pDeviceInterfaceGuid) && i.ReferenceString == reference) {
            i.Enabled = Enable != FALSE;
            return S_OK;
        }
    }
    return HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
}

STDMETHODIMP CFxDevice::RetrieveDeviceName(PWSTR pDeviceName, DWORD* pdwDeviceNameLength) {
    return CopyText(L"\\Device\\" + m_InstanceId, pDeviceName, pdwDeviceNameLength);
}

STDMETHODIMP CFxDevice::PostEvent(REFGUID, WDF_EVENT_TYPE, BYTE*, DWORD) {
    return E_NOTIMPL;
}

STDMETHODIMP CFxDevice::ConfigureRequestDispatching(IWDFIoQueue* pQueue,
                                                    WDF_REQUEST_TYPE RequestType, BOOL Forward) {
    switch (RequestType) {
        case WdfRequestCreate:
        case WdfRequestRead:
        case WdfRequestWrite:
        case WdfRequestDeviceIoControl:
        case WdfRequestInternalIoctl:
            break;
        default:
            return E_INVALIDARG;
    }
    std::lock_guard<std::mutex> lock(m_Lock);
    CFxIoQueue* queue = nullptr;
    for (auto* q : m_Queues) {
        if (static_cast<IWDFIoQueue*>(q) == pQueue) {
            queue = q;
        }
    }
    if (queue == nullptr) {
        return E_INVALIDARG;  // not a queue of this device
    }
    try {
        if (Forward) {
            m_Dispatch[RequestType] = queue;
        } else if (m_Dispatch.count(RequestType) != 0 && m_Dispatch[RequestType] == queue) {
            m_Dispatch.erase(RequestType);
        }
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

STDMETHODIMP_(void) CFxDevice::SetPnpState(WDF_PNP_STATE State, WDF_TRI_STATE Value) {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_PnpState[State] = Value;
}

STDMETHODIMP_(WDF_TRI_STATE) CFxDevice::GetPnpState(WDF_PNP_STATE State) {
    std::lock_guard<std::mutex> lock(m_Lock);
    auto it = m_PnpState.find(State);
    return it != m_PnpState.end() ? it->second : WdfUseDefault;
}

STDMETHODIMP CFxDevice::CreateRequest(IUnknown*, IWDFObject*, IWDFIoRequest** ppRequest) {
    if (ppRequest != nullptr) {
        *ppRequest = nullptr;
    }
    return E_NOTIMPL;
}

STDMETHODIMP CFxDevice::CreateSymbolicLink(PCWSTR pSymbolicLink) try {
    if (pSymbolicLink == nullptr) {
        return E_INVALIDARG;
    }
    std::lock_guard<std::mutex> lock(m_Lock);
    m_SymbolicLinks.emplace_back(pSymbolicLink);
    return S_OK;
} catch (...) {
    return E_OUTOFMEMORY;
}

STDMETHODIMP CFxDevice::RetrieveDevicePropertyStore(PWDF_PROPERTY_STORE_ROOT RootSpecifier,
                                                    WDF_PROPERTY_STORE_RETRIEVE_FLAGS Flags,
                                                    REGSAM DesiredAccess, PCWSTR SubkeyPath,
                                                    IWDFNamedPropertyStore2** PropertyStore,
                                                    WDF_PROPERTY_STORE_DISPOSITION* Disposition) {
    if (PropertyStore != nullptr) {
        *PropertyStore = nullptr;
    }
    if (auto hr = InjectedFailure(FaultPoint::HostStoreRetrieve)) {
        return *hr;
    }
    return m_Store->RetrieveNamedStore(m_InstanceId, RootSpecifier, Flags, DesiredAccess,
                                       SubkeyPath, PropertyStore, Disposition);
}

STDMETHODIMP CFxDevice::RetrieveUnifiedDevicePropertyStore(
    PWDF_PROPERTY_STORE_ROOT RootSpecifier, IWDFUnifiedPropertyStore** PropertyStore) {
    if (PropertyStore != nullptr) {
        *PropertyStore = nullptr;
    }
    if (auto hr = InjectedFailure(FaultPoint::HostStoreRetrieve)) {
        return *hr;
    }
    return m_Store->RetrieveUnifiedStore(m_InstanceId, RootSpecifier, PropertyStore);
}

HRESULT CFxDevice::HardwareCallback(IPnpCallbackHardware** hw) {
    *hw = nullptr;
    IUnknown* callback = CallbackObject();
    if (callback == nullptr) {
        return E_NOINTERFACE;
    }
    const HRESULT hr =
        callback->QueryInterface(IID_IPnpCallbackHardware, reinterpret_cast<void**>(hw));
    callback->Release();
    if (FAILED(hr)) {
        return hr;
    }
    return *hw != nullptr ? S_OK : E_NOINTERFACE;
}

HRESULT CFxDevice::PrepareHardware() {
    IPnpCallbackHardware* hw = nullptr;
    HRESULT hr = HardwareCallback(&hw);
    if (SUCCEEDED(hr)) {
        hr = hw->OnPrepareHardware(this);
        hw->Release();
    }
    return hr;
}

HRESULT CFxDevice::ReleaseHardware() {
    IPnpCallbackHardware* hw = nullptr;
    HRESULT hr = HardwareCallback(&hw);
    if (SUCCEEDED(hr)) {
        hr = hw->OnReleaseHardware(this);
        hw->Release();
    }
    return hr;
}

std::shared_ptr<IoCompletion> CFxDevice::SendRequest(WDF_REQUEST_TYPE type, ULONG controlCode,
                                                     std::vector<BYTE> input, SIZE_T outputSize) {
    auto completion = std::make_shared<IoCompletion>();
    const SIZE_T length = type == WdfRequestRead ? outputSize : input.size();
    auto* request = new CFxIoRequest(type, controlCode, std::move(input), outputSize, completion);
    CFxIoQueue* queue = nullptr;
    bool deleted = false;
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        deleted = m_bDeleted;
        auto it = m_Dispatch.find(type);
        queue = it != m_Dispatch.end() ? it->second : m_pDefaultQueue;
        if (queue != nullptr) {
            queue->AddRef();
        }
    }
    if (deleted) {
        request->Complete(HRESULT_FROM_WIN32(ERROR_OPERATION_ABORTED));
    } else if (queue == nullptr) {
        request->Complete(HRESULT_FROM_WIN32(ERROR_INVALID_FUNCTION));
    } else if (length == 0 && (type == WdfRequestRead || type == WdfRequestWrite) &&
               !queue->AllowsZeroLength()) {
        request->Complete(S_OK);  // the framework answers empty transfers itself
    } else {
        queue->Enqueue(request);
    }
    if (queue != nullptr) {
        queue->Release();
    }
    request->Release();
    return completion;
}

std::vector<DeviceInterfaceRecord> CFxDevice::DeviceInterfaces() {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_Interfaces;
}

std::vector<std::wstring> CFxDevice::SymbolicLinks() {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_SymbolicLinks;
}

IUnknown* CFxDevice::CallbackObject() {
    std::lock_guard<std::mutex> lock(m_Lock);
    if (m_pCallback != nullptr) {
        m_pCallback->AddRef();
    }
    return m_pCallback;
}

}  // namespace sim
