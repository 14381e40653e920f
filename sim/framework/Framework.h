#pragma once
// The framework's objects (UMDF) for one simulated machine: the framework driver object,
// the device initialisation object, the framework device with its property-store
// factories, I/O queues and requests. A host program (or a test) creates the driver and
// one device initialisation object per device node, hands them to the driver callback's
// OnDeviceAdd, and then drives the device created there.
//
// Fault points (sim::FaultPlan):
//   host.device.qi/<interface>       fail=HR: QueryInterface answers HR;
//                                    null: it answers S_OK and no interface
//                                    (<interface> is IWDFPropertyStoreFactory or
//                                    IWDFUnifiedPropertyStoreFactory)
//   host.device.instanceid           fail=HR: RetrieveDeviceInstanceId answers HR
//   host.store.retrieve              fail=HR: RetrieveDevicePropertyStore answers HR
#include <windows.h>
#include <wudfddi.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ComBase.h"
#include "PropertyStore.h"

namespace sim {

class CFxDevice;
class CFxIoQueue;

// How one I/O request ended, as the sender sees it.
class IoCompletion {
public:
    IoCompletion();
    ~IoCompletion();
    IoCompletion(const IoCompletion&) = delete;
    IoCompletion& operator=(const IoCompletion&) = delete;

    // Waits on the platform clock (scaled); true once the request was completed.
    bool Wait(DWORD timeoutMs) const;
    bool Completed() const;
    HRESULT Status() const;
    SIZE_T Information() const;
    std::vector<BYTE> Output() const;
    // How often the driver called Complete on the request; 1 when all is well.
    int CompleteCalls() const;

private:
    friend class CFxIoRequest;
    void Record(HRESULT status, SIZE_T information, const std::vector<BYTE>& output);
    void CountExtraCompletion();

    HANDLE m_hDone;  // manual-reset event, set at the first completion
    mutable std::mutex m_Lock;
    bool m_Completed = false;      // guarded by m_Lock
    HRESULT m_Status = E_PENDING;  // guarded by m_Lock
    SIZE_T m_Information = 0;      // guarded by m_Lock
    std::vector<BYTE> m_Output;    // guarded by m_Lock
    int m_CompleteCalls = 0;       // guarded by m_Lock
};

// IWDFObject for the host's objects: context, cleanup callback and the object lock. Base
// is the object's IWDFObject interface, Extra its other interfaces; Derived's table
// answers QueryInterface.
template <class Derived, class Base, class... Extra>
class CFxObject : public simcom::ComObject<Derived, Base, Extra...> {
public:
    STDMETHODIMP DeleteWdfObject() override {
        RunCleanup();
        return S_OK;
    }
    STDMETHODIMP AssignContext(IObjectCleanup* pCleanupCallback, void* pContext) override {
        std::lock_guard<std::mutex> lock(m_ContextLock);
        if (m_ContextAssigned) {
            return HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS);
        }
        m_ContextAssigned = true;
        m_pContext = pContext;
        m_pCleanup = pCleanupCallback;
        if (m_pCleanup != nullptr) {
            m_pCleanup->AddRef();
        }
        return S_OK;
    }
    STDMETHODIMP RetrieveContext(void** ppvContext) override {
        if (ppvContext == nullptr) {
            return E_POINTER;
        }
        std::lock_guard<std::mutex> lock(m_ContextLock);
        *ppvContext = m_pContext;
        return m_ContextAssigned ? S_OK : HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
    }
    STDMETHODIMP_(void) AcquireLock() override { m_ObjectLock.lock(); }
    STDMETHODIMP_(void) ReleaseLock() override { m_ObjectLock.unlock(); }

protected:
    CFxObject() = default;
    ~CFxObject() override { RunCleanup(); }

    // The cleanup callback runs once, when the object is deleted or destroyed.
    void RunCleanup() {
        IObjectCleanup* cleanup = nullptr;
        {
            std::lock_guard<std::mutex> lock(m_ContextLock);
            cleanup = m_pCleanup;
            m_pCleanup = nullptr;
        }
        if (cleanup != nullptr) {
            cleanup->OnCleanup(this);
            cleanup->Release();
        }
    }

private:
    std::mutex m_ContextLock;
    bool m_ContextAssigned = false;        // guarded by m_ContextLock
    void* m_pContext = nullptr;            // guarded by m_ContextLock
    IObjectCleanup* m_pCleanup = nullptr;  // one reference; guarded by m_ContextLock
    std::recursive_mutex m_ObjectLock;
};

// The device initialisation object for one device node. It records the settings that
// the driver makes during device add.
class CFxDeviceInit final
    : public simcom::ComObject<CFxDeviceInit, IWDFDeviceInitialize, IWDFPropertyStoreFactory> {
public:
    static const simcom::InterfaceEntry<CFxDeviceInit> kInterfaces[];

    static HRESULT CreateInstance(std::shared_ptr<DevicePropertyStores> store,
                                  std::wstring instanceId, CFxDeviceInit** init);

    STDMETHODIMP_(void) SetFilter() override { m_bFilter = true; }
    STDMETHODIMP_(void) SetLockingConstraint(WDF_CALLBACK_CONSTRAINT LockType) override {
        m_LockingConstraint = LockType;
    }
    STDMETHODIMP RetrieveDevicePropertyStore(PCWSTR pcwszServiceName,
                                             WDF_PROPERTY_STORE_RETRIEVE_FLAGS Flags,
                                             IWDFNamedPropertyStore** ppPropStore,
                                             WDF_PROPERTY_STORE_DISPOSITION* pDisposition) override;
    STDMETHODIMP_(void) SetPowerPolicyOwnership(BOOL fTrue) override {
        m_PowerPolicyOwnership = fTrue;
    }
    STDMETHODIMP_(void) AutoForwardCreateCleanupClose(WDF_TRI_STATE State) override {
        m_AutoForward = State;
    }
    STDMETHODIMP RetrieveDeviceInstanceId(PWSTR Buffer, DWORD* pdwSizeInChars) override;
    STDMETHODIMP_(void)
    SetPnpCapability(WDF_PNP_CAPABILITY Capability, WDF_TRI_STATE Value) override {
        m_PnpCapabilities[Capability] = Value;
    }
    STDMETHODIMP_(WDF_TRI_STATE) GetPnpCapability(WDF_PNP_CAPABILITY Capability) override;

    // IWDFPropertyStoreFactory
    STDMETHODIMP RetrieveDevicePropertyStore(PWDF_PROPERTY_STORE_ROOT RootSpecifier,
                                             WDF_PROPERTY_STORE_RETRIEVE_FLAGS Flags,
                                             REGSAM DesiredAccess, PCWSTR SubkeyPath,
                                             IWDFNamedPropertyStore2** PropertyStore,
                                             WDF_PROPERTY_STORE_DISPOSITION* Disposition) override;

    // What the driver set (device add runs on one thread, before the device exists).
    std::optional<BOOL> PowerPolicyOwnership() const { return m_PowerPolicyOwnership; }
    std::optional<WDF_TRI_STATE> AutoForward() const { return m_AutoForward; }
    bool Filter() const { return m_bFilter; }
    std::optional<WDF_CALLBACK_CONSTRAINT> LockingConstraint() const { return m_LockingConstraint; }

    const std::wstring& InstanceId() const { return m_InstanceId; }
    const std::shared_ptr<DevicePropertyStores>& Store() const { return m_Store; }

private:
    CFxDeviceInit(std::shared_ptr<DevicePropertyStores> store, std::wstring instanceId)
        : m_Store(std::move(store)), m_InstanceId(std::move(instanceId)) {}
    ~CFxDeviceInit() override = default;

    const std::shared_ptr<DevicePropertyStores> m_Store;
    const std::wstring m_InstanceId;
    // Written by the driver during device add, read by the host afterwards.
    std::optional<BOOL> m_PowerPolicyOwnership;
    std::optional<WDF_TRI_STATE> m_AutoForward;
    std::optional<WDF_CALLBACK_CONSTRAINT> m_LockingConstraint;
    bool m_bFilter = false;
    std::map<WDF_PNP_CAPABILITY, WDF_TRI_STATE> m_PnpCapabilities;
};

// The framework driver object: it creates the framework devices and keeps them until
// they are deleted.
class CFxDriver final : public CFxObject<CFxDriver, IWDFDriver> {
public:
    static const simcom::InterfaceEntry<CFxDriver> kInterfaces[];

    static HRESULT CreateInstance(CFxDriver** driver);

    STDMETHODIMP CreateDevice(IWDFDeviceInitialize* pDeviceInit, IUnknown* pCallbackInterface,
                              IWDFDevice** ppDevice) override;
    STDMETHODIMP CreateWdfObject(IUnknown*, IWDFObject*, IWDFObject** ppWdfObject) override;
    STDMETHODIMP CreatePreallocatedWdfMemory(BYTE*, SIZE_T, IUnknown*, IWDFObject*,
                                             IWDFMemory** ppWdfMemory) override;
    STDMETHODIMP CreateWdfMemory(SIZE_T BufferSize, IUnknown*, IWDFObject*,
                                 IWDFMemory** ppWdfMemory) override;
    STDMETHODIMP_(BOOL) IsVersionAvailable(UMDF_VERSION_DATA* pMinimumVersion) override;
    STDMETHODIMP RetrieveVersionString(PWSTR pVersion, DWORD* pdwVersionLength) override;

    // The devices created so far, each with a reference for the caller.
    std::vector<CFxDevice*> Devices();
    // Deletes every device (queues stopped, callback objects released).
    void DeleteDevices();

private:
    CFxDriver() = default;
    ~CFxDriver() override;

    std::mutex m_Lock;
    std::vector<CFxDevice*> m_Devices;  // one reference each; guarded by m_Lock
};

struct DeviceInterfaceRecord {
    GUID InterfaceGuid;
    std::wstring ReferenceString;
    bool Enabled;
};

// A framework device. It holds one reference on the driver's callback object until it
// is deleted, and one on each of its queues.
class CFxDevice final : public CFxObject<CFxDevice, IWDFDevice, IWDFPropertyStoreFactory,
                                         IWDFUnifiedPropertyStoreFactory> {
public:
    static const simcom::InterfaceEntry<CFxDevice> kInterfaces[];

    // The table's answer, unless the fault plan intervenes for a factory.
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP DeleteWdfObject() override;

    STDMETHODIMP RetrieveDevicePropertyStore(PCWSTR pcwszServiceName,
                                             WDF_PROPERTY_STORE_RETRIEVE_FLAGS Flags,
                                             IWDFNamedPropertyStore** ppPropStore,
                                             WDF_PROPERTY_STORE_DISPOSITION* pDisposition) override;
    STDMETHODIMP_(void) GetDriver(IWDFDriver** ppWdfDriver) override;
    STDMETHODIMP RetrieveDeviceInstanceId(PWSTR Buffer, DWORD* pdwSizeInChars) override;
    STDMETHODIMP_(void) GetDefaultIoTarget(IWDFIoTarget** ppWdfIoTarget) override;
    STDMETHODIMP CreateWdfFile(LPCWSTR, IWDFDriverCreatedFile** ppFile) override;
    STDMETHODIMP_(void) GetDefaultIoQueue(IWDFIoQueue** ppWdfIoQueue) override;
    STDMETHODIMP CreateIoQueue(IUnknown* pCallbackInterface, BOOL bDefaultQueue,
                               WDF_IO_QUEUE_DISPATCH_TYPE DispatchType, BOOL bPowerManaged,
                               BOOL bAllowZeroLengthRequests, IWDFIoQueue** ppIoQueue) override;
    STDMETHODIMP CreateDeviceInterface(LPCGUID pDeviceInterfaceGuid,
                                       PCWSTR pReferenceString) override;
    STDMETHODIMP AssignDeviceInterfaceState(LPCGUID pDeviceInterfaceGuid, PCWSTR pReferenceString,
                                            BOOL Enable) override;
    STDMETHODIMP RetrieveDeviceName(PWSTR pDeviceName, DWORD* pdwDeviceNameLength) override;
    STDMETHODIMP PostEvent(REFGUID, WDF_EVENT_TYPE, BYTE*, DWORD) override;
    STDMETHODIMP ConfigureRequestDispatching(IWDFIoQueue* pQueue, WDF_REQUEST_TYPE RequestType,
                                             BOOL Forward) override;
    STDMETHODIMP_(void) SetPnpState(WDF_PNP_STATE State, WDF_TRI_STATE Value) override;
    STDMETHODIMP_(WDF_TRI_STATE) GetPnpState(WDF_PNP_STATE State) override;
    STDMETHODIMP_(void) CommitPnpState() override {}
    STDMETHODIMP CreateRequest(IUnknown*, IWDFObject*, IWDFIoRequest** ppRequest) override;
    STDMETHODIMP CreateSymbolicLink(PCWSTR pSymbolicLink) override;

    // IWDFPropertyStoreFactory
    STDMETHODIMP RetrieveDevicePropertyStore(PWDF_PROPERTY_STORE_ROOT RootSpecifier,
                                             WDF_PROPERTY_STORE_RETRIEVE_FLAGS Flags,
                                             REGSAM DesiredAccess, PCWSTR SubkeyPath,
                                             IWDFNamedPropertyStore2** PropertyStore,
                                             WDF_PROPERTY_STORE_DISPOSITION* Disposition) override;
    // IWDFUnifiedPropertyStoreFactory
    STDMETHODIMP RetrieveUnifiedDevicePropertyStore(
        PWDF_PROPERTY_STORE_ROOT RootSpecifier, IWDFUnifiedPropertyStore** PropertyStore) override;

    // ---- The host's side.
    // Runs the callback object's IPnpCallbackHardware operations (E_NOINTERFACE when it
    // has none).
    HRESULT PrepareHardware();
    HRESULT ReleaseHardware();
    // Sends a request to the device as an application would; the completion reports its
    // end. Requests that no queue takes complete at once with
    // HRESULT_FROM_WIN32(ERROR_INVALID_FUNCTION).
    std::shared_ptr<IoCompletion> SendRequest(WDF_REQUEST_TYPE type, ULONG controlCode,
                                              std::vector<BYTE> input, SIZE_T outputSize);
    std::shared_ptr<IoCompletion> SendDeviceIoControl(ULONG controlCode, std::vector<BYTE> input,
                                                      SIZE_T outputSize) {
        return SendRequest(WdfRequestDeviceIoControl, controlCode, std::move(input), outputSize);
    }

    std::vector<DeviceInterfaceRecord> DeviceInterfaces();
    std::vector<std::wstring> SymbolicLinks();
    // The callback object handed to CreateDevice, with a reference (nullptr once deleted).
    IUnknown* CallbackObject();
    const std::wstring& InstanceId() const { return m_InstanceId; }
    const std::shared_ptr<DevicePropertyStores>& Store() const { return m_Store; }

private:
    friend class CFxDriver;
    CFxDevice(CFxDriver* driver, std::shared_ptr<DevicePropertyStores> store,
              std::wstring instanceId, IUnknown* callback);
    ~CFxDevice() override;

    // The callback object's IPnpCallbackHardware, with a reference (E_NOINTERFACE when it
    // has none, or is gone).
    HRESULT HardwareCallback(IPnpCallbackHardware** hw);

    const std::shared_ptr<DevicePropertyStores> m_Store;
    const std::wstring m_InstanceId;
    // No reference: the driver object keeps its devices and outlives them.
    CFxDriver* const m_pDriver;

    std::mutex m_Lock;
    IUnknown* m_pCallback;                               // one reference; guarded by m_Lock
    std::vector<CFxIoQueue*> m_Queues;                   // one reference each; guarded by m_Lock
    CFxIoQueue* m_pDefaultQueue = nullptr;               // no reference (in m_Queues); m_Lock
    std::map<WDF_REQUEST_TYPE, CFxIoQueue*> m_Dispatch;  // no references; guarded by m_Lock
    std::vector<DeviceInterfaceRecord> m_Interfaces;     // guarded by m_Lock
    std::vector<std::wstring> m_SymbolicLinks;           // guarded by m_Lock
    std::map<WDF_PNP_STATE, WDF_TRI_STATE> m_PnpState;   // guarded by m_Lock
    bool m_bDeleted = false;                             // guarded by m_Lock
};

}  // namespace sim
