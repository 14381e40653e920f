#pragma once
// The driver interfaces of the user-mode driver framework, version 1.x (1.11), as far as
// this system uses them. Methods stand in the order of the framework's IDL, which is
// the vtable order. Needs only the basic Windows types and the COM declarations, so it
// sits on this layer's windows.h or on the real one.
#include <unknwn.h>
#include <propidl.h>
#include <winreg.h>
#include <devpropdef.h>
#include <wudfddi_types.h>

// The layer's interface identifiers are defined where used, one per program (no import
// library); __uuidof works for each interface.
#define WUDF_INTERFACE_IID(itf, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8)           \
    struct itf;                                                                      \
    inline constexpr GUID IID_##itf = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}; \
    __CRT_UUID_DECL(itf, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8)

WUDF_INTERFACE_IID(IWDFObject, 0x64275C66, 0x2E71, 0x4060, 0xB5, 0xF4, 0x3A, 0x76, 0xDF, 0x96, 0xED,
                   0x3C);
WUDF_INTERFACE_IID(IWDFDriver, 0xAD368EBE, 0x4139, 0x43E3, 0xA8, 0x75, 0x69, 0xB2, 0x66, 0xA9, 0x13,
                   0x9C);
WUDF_INTERFACE_IID(IWDFDeviceInitialize, 0x74CC381C, 0x0871, 0x43C1, 0x87, 0x8B, 0x3F, 0x7C, 0x9D,
                   0x16, 0x93, 0x3D);
WUDF_INTERFACE_IID(IWDFDevice, 0xD657FE45, 0x460A, 0x49C3, 0x82, 0x19, 0x76, 0x6A, 0xE8, 0x03, 0x2A,
                   0x80);
WUDF_INTERFACE_IID(IWDFDevice2, 0x1B0D07B1, 0xF596, 0x4A76, 0x99, 0xB3, 0xB9, 0x49, 0x2A, 0xD8,
                   0xDF, 0x9F);
WUDF_INTERFACE_IID(IWDFDevice3, 0x863D943A, 0xC9CD, 0x4655, 0xA8, 0xD6, 0xC8, 0x4E, 0xF4, 0x11,
                   0xCC, 0x0D);
WUDF_INTERFACE_IID(IWDFNamedPropertyStore, 0x394B48C9, 0xBCA0, 0x498F, 0x8E, 0x2C, 0x01, 0x22, 0x54,
                   0x64, 0xA9, 0x32);
WUDF_INTERFACE_IID(IWDFNamedPropertyStore2, 0x1464EE0E, 0x8E0F, 0x4FDA, 0xB1, 0xA0, 0xB3, 0x61,
                   0x4C, 0x40, 0x5D, 0x56);
WUDF_INTERFACE_IID(IWDFIoQueue, 0xAE1162B9, 0x8B11, 0x4714, 0x99, 0x3D, 0x93, 0xDC, 0x48, 0xCC,
                   0x9E, 0x8A);
WUDF_INTERFACE_IID(IWDFIoRequest, 0x896DF312, 0x22B4, 0x4A9D, 0x95, 0xDD, 0xA3, 0x64, 0xAA, 0xF5,
                   0x97, 0x69);
WUDF_INTERFACE_IID(IWDFMemory, 0xAB098F88, 0x8F16, 0x472A, 0xB0, 0xBC, 0xEC, 0xA4, 0x64, 0x86, 0xC1,
                   0x02);
WUDF_INTERFACE_IID(IWDFPropertyStoreFactory, 0x45BE7E06, 0x9B65, 0x434D, 0xA7, 0xD6, 0x95, 0x72,
                   0xD7, 0xF7, 0x3D, 0x53);
WUDF_INTERFACE_IID(IWDFUnifiedPropertyStore, 0x6B966713, 0xAC73, 0x4975, 0xAC, 0x3C, 0x9D, 0xF3,
                   0x1C, 0x68, 0xDA, 0x73);
WUDF_INTERFACE_IID(IWDFUnifiedPropertyStoreFactory, 0x6AD8FAC3, 0x8B77, 0x4997, 0x99, 0xE4, 0x6B,
                   0x78, 0xC5, 0xF5, 0x48, 0xD6);
WUDF_INTERFACE_IID(IObjectCleanup, 0x244ABE3A, 0xABBC, 0x43B1, 0xA8, 0x77, 0xF0, 0x00, 0x77, 0x55,
                   0x0E, 0x6A);
WUDF_INTERFACE_IID(IDriverEntry, 0x1BEC7499, 0x8881, 0x4F2B, 0xB0, 0x1C, 0xA1, 0xA9, 0x07, 0x30,
                   0x4A, 0xFC);
WUDF_INTERFACE_IID(IPnpCallbackHardware, 0x51433BD3, 0xC7C1, 0x4BD8, 0xB4, 0xC1, 0xAB, 0x1E, 0x03,
                   0x46, 0x26, 0xCC);
WUDF_INTERFACE_IID(IQueueCallbackDeviceIoControl, 0xC5411408, 0x0F1E, 0x4ED6, 0xA4, 0x12, 0x36,
                   0xDD, 0x15, 0xEE, 0xE7, 0x07);
WUDF_INTERFACE_IID(IQueueCallbackDefaultIoHandler, 0x15FB6D38, 0xFDD8, 0x4005, 0x8E, 0x55, 0xEB,
                   0x0B, 0x98, 0x31, 0x34, 0x99);
WUDF_INTERFACE_IID(IQueueCallbackStateChange, 0xE7ECE381, 0x7CB1, 0x468A, 0xBC, 0x43, 0xAB, 0xD5,
                   0x94, 0x8F, 0xFC, 0x75);
WUDF_INTERFACE_IID(IRequestCallbackCancel, 0x4E9F1A77, 0x4587, 0x4235, 0x81, 0xC4, 0xE6, 0xD2, 0x45,
                   0x45, 0xA6, 0x56);

// Interfaces this system never calls; declared so that the tables below are complete.
struct IWDFIoTarget;
struct IWDFDriverCreatedFile;
struct IWDFFile;
struct IWDFRequestCompletionParams;
struct IRequestCallbackRequestCompletion;
struct IImpersonateCallback;

// The framework version the driver was built for; the host checks it at load.
#ifndef NO_UMDF_VERSION_EXPORT
__declspec(dllexport) __declspec(selectany) UMDF_VERSION_DATA Microsoft_WDF_UMDF_Version = {1, 11,
                                                                                            0};
#endif

struct IWDFObject;
struct IWDFDevice;
struct IWDFDriver;
struct IWDFMemory;
struct IWDFIoQueue;
struct IWDFIoRequest;
struct IWDFNamedPropertyStore;

MIDL_INTERFACE("244ABE3A-ABBC-43b1-A877-F00077550E6A")
IObjectCleanup : public IUnknown {
public:
    virtual void STDMETHODCALLTYPE OnCleanup(IWDFObject * pWdfObject) = 0;
};

MIDL_INTERFACE("64275C66-2E71-4060-B5F4-3A76DF96ED3C")
IWDFObject : public IUnknown {
public:
    virtual HRESULT STDMETHODCALLTYPE DeleteWdfObject() = 0;
    virtual HRESULT STDMETHODCALLTYPE AssignContext(IObjectCleanup * pCleanupCallback,
                                                    void* pContext) = 0;
    virtual HRESULT STDMETHODCALLTYPE RetrieveContext(void** ppvContext) = 0;
    virtual void STDMETHODCALLTYPE AcquireLock() = 0;
    virtual void STDMETHODCALLTYPE ReleaseLock() = 0;
};

MIDL_INTERFACE("394b48c9-bca0-498f-8e2c-01225464a932")
IWDFNamedPropertyStore : public IUnknown {
public:
    virtual HRESULT STDMETHODCALLTYPE GetNamedValue(LPCWSTR pszName, PROPVARIANT * pv) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetNamedValue(LPCWSTR pszName, const PROPVARIANT* pv) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetNameCount(DWORD * pdwCount) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetNameAt(DWORD iProp, PWSTR * ppwszName) = 0;
};

MIDL_INTERFACE("1464ee0e-8e0f-4fda-b1a0-b3614c405d56")
IWDFNamedPropertyStore2 : public IWDFNamedPropertyStore {
public:
    virtual HRESULT STDMETHODCALLTYPE DeleteNamedValue(LPCWSTR pwszName) = 0;
};

MIDL_INTERFACE("74CC381C-0871-43c1-878B-3F7C9D16933D")
IWDFDeviceInitialize : public IUnknown {
public:
    virtual void STDMETHODCALLTYPE SetFilter() = 0;
    virtual void STDMETHODCALLTYPE SetLockingConstraint(WDF_CALLBACK_CONSTRAINT LockType) = 0;
    virtual HRESULT STDMETHODCALLTYPE RetrieveDevicePropertyStore(
        PCWSTR pcwszServiceName, WDF_PROPERTY_STORE_RETRIEVE_FLAGS Flags,
        IWDFNamedPropertyStore * *ppPropStore, WDF_PROPERTY_STORE_DISPOSITION * pDisposition) = 0;
    virtual void STDMETHODCALLTYPE SetPowerPolicyOwnership(BOOL fTrue) = 0;
    virtual void STDMETHODCALLTYPE AutoForwardCreateCleanupClose(WDF_TRI_STATE State) = 0;
    virtual HRESULT STDMETHODCALLTYPE RetrieveDeviceInstanceId(PWSTR Buffer,
                                                               DWORD * pdwSizeInChars) = 0;
    virtual void STDMETHODCALLTYPE SetPnpCapability(WDF_PNP_CAPABILITY Capability,
                                                    WDF_TRI_STATE Value) = 0;
    virtual WDF_TRI_STATE STDMETHODCALLTYPE GetPnpCapability(WDF_PNP_CAPABILITY Capability) = 0;
};

MIDL_INTERFACE("AD368EBE-4139-43e3-A875-69B266A9139C")
IWDFDriver : public IWDFObject {
public:
    virtual HRESULT STDMETHODCALLTYPE CreateDevice(IWDFDeviceInitialize * pDeviceInit,
                                                   IUnknown * pCallbackInterface,
                                                   IWDFDevice * *ppDevice) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateWdfObject(
        IUnknown * pCallbackInterface, IWDFObject * pParentObject, IWDFObject * *ppWdfObject) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreatePreallocatedWdfMemory(
        BYTE * pBuff, SIZE_T BufferSize, IUnknown * pCallbackInterface, IWDFObject * pParentObject,
        IWDFMemory * *ppWdfMemory) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateWdfMemory(
        SIZE_T BufferSize, IUnknown * pCallbackInterface, IWDFObject * pParentObject,
        IWDFMemory * *ppWdfMemory) = 0;
    virtual BOOL STDMETHODCALLTYPE IsVersionAvailable(UMDF_VERSION_DATA * pMinimumVersion) = 0;
    virtual HRESULT STDMETHODCALLTYPE RetrieveVersionString(PWSTR pVersion,
                                                            DWORD * pdwVersionLength) = 0;
};

MIDL_INTERFACE("D657FE45-460A-49c3-8219-766AE8032A80")
IWDFDevice : public IWDFObject {
public:
    virtual HRESULT STDMETHODCALLTYPE RetrieveDevicePropertyStore(
        PCWSTR pcwszServiceName, WDF_PROPERTY_STORE_RETRIEVE_FLAGS Flags,
        IWDFNamedPropertyStore * *ppPropStore, WDF_PROPERTY_STORE_DISPOSITION * pDisposition) = 0;
    virtual void STDMETHODCALLTYPE GetDriver(IWDFDriver * *ppWdfDriver) = 0;
    virtual HRESULT STDMETHODCALLTYPE RetrieveDeviceInstanceId(PWSTR Buffer,
                                                               DWORD * pdwSizeInChars) = 0;
    virtual void STDMETHODCALLTYPE GetDefaultIoTarget(IWDFIoTarget * *ppWdfIoTarget) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateWdfFile(LPCWSTR pcwszFileName,
                                                    IWDFDriverCreatedFile * *ppFile) = 0;
    virtual void STDMETHODCALLTYPE GetDefaultIoQueue(IWDFIoQueue * *ppWdfIoQueue) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateIoQueue(
        IUnknown * pCallbackInterface, BOOL bDefaultQueue, WDF_IO_QUEUE_DISPATCH_TYPE DispatchType,
        BOOL bPowerManaged, BOOL bAllowZeroLengthRequests, IWDFIoQueue * *ppIoQueue) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateDeviceInterface(LPCGUID pDeviceInterfaceGuid,
                                                            PCWSTR pReferenceString) = 0;
    virtual HRESULT STDMETHODCALLTYPE AssignDeviceInterfaceState(
        LPCGUID pDeviceInterfaceGuid, PCWSTR pReferenceString, BOOL Enable) = 0;
    virtual HRESULT STDMETHODCALLTYPE RetrieveDeviceName(PWSTR pDeviceName,
                                                         DWORD * pdwDeviceNameLength) = 0;
    virtual HRESULT STDMETHODCALLTYPE PostEvent(REFGUID EventGuid, WDF_EVENT_TYPE EventType,
                                                BYTE * pbData, DWORD cbDataSize) = 0;
    virtual HRESULT STDMETHODCALLTYPE ConfigureRequestDispatching(
        IWDFIoQueue * pQueue, WDF_REQUEST_TYPE RequestType, BOOL Forward) = 0;
    virtual void STDMETHODCALLTYPE SetPnpState(WDF_PNP_STATE State, WDF_TRI_STATE Value) = 0;
    virtual WDF_TRI_STATE STDMETHODCALLTYPE GetPnpState(WDF_PNP_STATE State) = 0;
    virtual void STDMETHODCALLTYPE CommitPnpState() = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateRequest(
        IUnknown * pCallbackInterface, IWDFObject * pParentObject, IWDFIoRequest * *ppRequest) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateSymbolicLink(PCWSTR pSymbolicLink) = 0;
};

MIDL_INTERFACE("AB098F88-8F16-472a-B0BC-ECA46486C102")
IWDFMemory : public IWDFObject {
public:
    virtual HRESULT STDMETHODCALLTYPE CopyFromMemory(IWDFMemory * pSourceMemory,
                                                     PWDFMEMORY_OFFSET pSourceOffset) = 0;
    virtual HRESULT STDMETHODCALLTYPE CopyToBuffer(ULONG_PTR SourceOffset, void* TargetBuffer,
                                                   SIZE_T NumOfBytesToCopyTo) = 0;
    virtual HRESULT STDMETHODCALLTYPE CopyFromBuffer(ULONG_PTR DestOffset, void* SourceBuffer,
                                                     SIZE_T NumOfBytesToCopyFrom) = 0;
    virtual SIZE_T STDMETHODCALLTYPE GetSize() = 0;
    virtual void* STDMETHODCALLTYPE GetDataBuffer(SIZE_T * BufferSize) = 0;
    virtual void STDMETHODCALLTYPE SetBuffer(void* Buffer, SIZE_T BufferSize) = 0;
};

MIDL_INTERFACE("E7ECE381-7CB1-468a-BC43-ABD5948FFC75")
IQueueCallbackStateChange : public IUnknown {
public:
    virtual void STDMETHODCALLTYPE OnStateChange(IWDFIoQueue * pWdfQueue,
                                                 WDF_IO_QUEUE_STATE QueueState) = 0;
};

MIDL_INTERFACE("AE1162B9-8B11-4714-993D-93DC48CC9E8A")
IWDFIoQueue : public IWDFObject {
public:
    virtual void STDMETHODCALLTYPE GetDevice(IWDFDevice * *ppWdfDevice) = 0;
    virtual HRESULT STDMETHODCALLTYPE ConfigureRequestDispatching(WDF_REQUEST_TYPE RequestType,
                                                                  BOOL Forward) = 0;
    virtual WDF_IO_QUEUE_STATE STDMETHODCALLTYPE GetState(ULONG * pulNumOfRequestsInQueue,
                                                          ULONG * pulNumOfRequestsInDriver) = 0;
    virtual HRESULT STDMETHODCALLTYPE RetrieveNextRequest(IWDFIoRequest * *ppRequest) = 0;
    virtual HRESULT STDMETHODCALLTYPE RetrieveNextRequestByFileObject(
        IWDFFile * pFile, IWDFIoRequest * *ppRequest) = 0;
    virtual void STDMETHODCALLTYPE Start() = 0;
    virtual void STDMETHODCALLTYPE Stop(IQueueCallbackStateChange * pStopComplete) = 0;
    virtual void STDMETHODCALLTYPE StopSynchronously() = 0;
    virtual void STDMETHODCALLTYPE Drain(IQueueCallbackStateChange * pDrainComplete) = 0;
    virtual void STDMETHODCALLTYPE DrainSynchronously() = 0;
    virtual void STDMETHODCALLTYPE Purge(IQueueCallbackStateChange * pPurgeComplete) = 0;
    virtual void STDMETHODCALLTYPE PurgeSynchronously() = 0;
};

MIDL_INTERFACE("4E9F1A77-4587-4235-81C4-E6D24545A656")
IRequestCallbackCancel : public IUnknown {
public:
    virtual void STDMETHODCALLTYPE OnCancel(IWDFIoRequest * pWdfRequest) = 0;
};

MIDL_INTERFACE("896DF312-22B4-4a9d-95DD-A364AAF59769")
IWDFIoRequest : public IWDFObject {
public:
    virtual void STDMETHODCALLTYPE CompleteWithInformation(HRESULT CompletionStatus,
                                                           SIZE_T Information) = 0;
    virtual void STDMETHODCALLTYPE SetInformation(ULONG_PTR Information) = 0;
    virtual void STDMETHODCALLTYPE Complete(HRESULT CompletionStatus) = 0;
    virtual void STDMETHODCALLTYPE SetCompletionCallback(
        IRequestCallbackRequestCompletion * pCompletionCallback, void* pContext) = 0;
    virtual WDF_REQUEST_TYPE STDMETHODCALLTYPE GetType() = 0;
    virtual void STDMETHODCALLTYPE GetCreateParameters(ULONG * pOptions, USHORT * pFileAttributes,
                                                       USHORT * pShareAccess) = 0;
    virtual void STDMETHODCALLTYPE GetReadParameters(SIZE_T * pSizeInBytes, LONGLONG * pullOffset,
                                                     ULONG * pulKey) = 0;
    virtual void STDMETHODCALLTYPE GetWriteParameters(SIZE_T * pSizeInBytes, LONGLONG * pullOffset,
                                                      ULONG * pulKey) = 0;
    virtual void STDMETHODCALLTYPE GetDeviceIoControlParameters(
        ULONG * pControlCode, SIZE_T * pInBufferSize, SIZE_T * pOutBufferSize) = 0;
    virtual void STDMETHODCALLTYPE GetOutputMemory(IWDFMemory * *ppWdfMemory) = 0;
    virtual void STDMETHODCALLTYPE GetInputMemory(IWDFMemory * *ppWdfMemory) = 0;
    virtual void STDMETHODCALLTYPE MarkCancelable(IRequestCallbackCancel * pCancelCallback) = 0;
    virtual HRESULT STDMETHODCALLTYPE UnmarkCancelable() = 0;
    virtual BOOL STDMETHODCALLTYPE CancelSentRequest() = 0;
    virtual HRESULT STDMETHODCALLTYPE ForwardToIoQueue(IWDFIoQueue * pDestination) = 0;
    virtual HRESULT STDMETHODCALLTYPE Send(IWDFIoTarget * pIoTarget, ULONG Flags,
                                           LONGLONG Timeout) = 0;
    virtual void STDMETHODCALLTYPE GetFileObject(IWDFFile * *ppFileObject) = 0;
    virtual void STDMETHODCALLTYPE FormatUsingCurrentType() = 0;
    virtual ULONG STDMETHODCALLTYPE GetRequestorProcessId() = 0;
    virtual void STDMETHODCALLTYPE GetIoQueue(IWDFIoQueue * *ppWdfIoQueue) = 0;
    virtual HRESULT STDMETHODCALLTYPE Impersonate(SECURITY_IMPERSONATION_LEVEL ImpersonationLevel,
                                                  IImpersonateCallback * pCallback,
                                                  void* pvContext) = 0;
    virtual BOOL STDMETHODCALLTYPE IsFrom32BitProcess() = 0;
    virtual void STDMETHODCALLTYPE GetCompletionParams(IWDFRequestCompletionParams *
                                                       *ppCompletionParams) = 0;
};

MIDL_INTERFACE("45BE7E06-9B65-434d-A7D6-9572D7F73D53")
IWDFPropertyStoreFactory : public IUnknown {
public:
    // The store comes back as IWDFNamedPropertyStore2.
    virtual HRESULT STDMETHODCALLTYPE RetrieveDevicePropertyStore(
        PWDF_PROPERTY_STORE_ROOT RootSpecifier, WDF_PROPERTY_STORE_RETRIEVE_FLAGS Flags,
        REGSAM DesiredAccess, PCWSTR SubkeyPath, IWDFNamedPropertyStore2 * *PropertyStore,
        WDF_PROPERTY_STORE_DISPOSITION * Disposition) = 0;
};

MIDL_INTERFACE("6B966713-AC73-4975-AC3C-9DF31C68DA73")
IWDFUnifiedPropertyStore : public IUnknown {
public:
    virtual HRESULT STDMETHODCALLTYPE SetPropertyData(
        const DEVPROPKEY* PropertyKey, LCID Lcid, ULONG Flags, DEVPROPTYPE PropertyType,
        ULONG PropertyDataSize, PVOID PropertyData) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetPropertyData(
        const DEVPROPKEY* PropertyKey, LCID Lcid, ULONG Flags, ULONG PropertyDataSize,
        PVOID PropertyData, ULONG* PropertyDataRequiredSize, DEVPROPTYPE* PropertyType) = 0;
};

MIDL_INTERFACE("6AD8FAC3-8B77-4997-99E4-6B78C5F548D6")
IWDFUnifiedPropertyStoreFactory : public IUnknown {
public:
    virtual HRESULT STDMETHODCALLTYPE RetrieveUnifiedDevicePropertyStore(
        PWDF_PROPERTY_STORE_ROOT RootSpecifier, IWDFUnifiedPropertyStore * *PropertyStore) = 0;
};

MIDL_INTERFACE("1bec7499-8881-4f2b-b01c-a1a907304afc")
IDriverEntry : public IUnknown {
public:
    virtual HRESULT STDMETHODCALLTYPE OnInitialize(IWDFDriver * pWdfDriver) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnDeviceAdd(IWDFDriver * pWdfDriver,
                                                  IWDFDeviceInitialize * pWdfDeviceInit) = 0;
    virtual void STDMETHODCALLTYPE OnDeinitialize(IWDFDriver * pWdfDriver) = 0;
};

MIDL_INTERFACE("51433BD3-C7C1-4bd8-B4C1-AB1E034626CC")
IPnpCallbackHardware : public IUnknown {
public:
    virtual HRESULT STDMETHODCALLTYPE OnPrepareHardware(IWDFDevice * pWdfDevice) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnReleaseHardware(IWDFDevice * pWdfDevice) = 0;
};

MIDL_INTERFACE("C5411408-0F1E-4ed6-A412-36DD15EEE707")
IQueueCallbackDeviceIoControl : public IUnknown {
public:
    virtual void STDMETHODCALLTYPE OnDeviceIoControl(
        IWDFIoQueue * pWdfQueue, IWDFIoRequest * pWdfRequest, ULONG ControlCode,
        SIZE_T InputBufferSizeInBytes, SIZE_T OutputBufferSizeInBytes) = 0;
};

MIDL_INTERFACE("15FB6D38-FDD8-4005-8E55-EB0B98313499")
IQueueCallbackDefaultIoHandler : public IUnknown {
public:
    virtual void STDMETHODCALLTYPE OnDefaultIoHandler(IWDFIoQueue * pWdfQueue,
                                                      IWDFIoRequest * pWdfRequest) = 0;
};
