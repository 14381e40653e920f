#pragma once
// I/O queues and requests of the framework host.
#include "FxHost.h"

#include <deque>

namespace sim {

// A buffer of a request, seen by the driver as framework memory.
class CFxMemory final : public CFxObject<CFxMemory, IWDFMemory> {
public:
    static const simcom::InterfaceEntry<CFxMemory> kInterfaces[];

    static CFxMemory* Create(std::shared_ptr<std::vector<BYTE>> buffer);

    STDMETHODIMP CopyFromMemory(IWDFMemory* pSourceMemory,
                                PWDFMEMORY_OFFSET pSourceOffset) override;
    STDMETHODIMP CopyToBuffer(ULONG_PTR SourceOffset, void* TargetBuffer,
                              SIZE_T NumOfBytesToCopyTo) override;
    STDMETHODIMP CopyFromBuffer(ULONG_PTR DestOffset, void* SourceBuffer,
                                SIZE_T NumOfBytesToCopyFrom) override;
    STDMETHODIMP_(SIZE_T) GetSize() override;
    STDMETHODIMP_(void*) GetDataBuffer(SIZE_T* BufferSize) override;
    STDMETHODIMP_(void) SetBuffer(void* Buffer, SIZE_T BufferSize) override;

private:
    explicit CFxMemory(std::shared_ptr<std::vector<BYTE>> buffer) : m_Buffer(std::move(buffer)) {}
    // Shared with the request, which reads the output back at completion.
    std::shared_ptr<std::vector<BYTE>> m_Buffer;
};

class CFxIoRequest final : public CFxObject<CFxIoRequest, IWDFIoRequest> {
public:
    static const simcom::InterfaceEntry<CFxIoRequest> kInterfaces[];

    CFxIoRequest(WDF_REQUEST_TYPE type, ULONG controlCode, std::vector<BYTE> input,
                 SIZE_T outputSize, std::shared_ptr<IoCompletion> completion);

    STDMETHODIMP_(void)
    CompleteWithInformation(HRESULT CompletionStatus, SIZE_T Information) override;
    STDMETHODIMP_(void) SetInformation(ULONG_PTR Information) override;
    STDMETHODIMP_(void) Complete(HRESULT CompletionStatus) override;
    STDMETHODIMP_(void) SetCompletionCallback(IRequestCallbackRequestCompletion*, void*) override {}
    STDMETHODIMP_(WDF_REQUEST_TYPE) GetType() override { return m_Type; }
    STDMETHODIMP_(void)
    GetCreateParameters(ULONG* pOptions, USHORT* pFileAttributes, USHORT* pShareAccess) override;
    STDMETHODIMP_(void)
    GetReadParameters(SIZE_T* pSizeInBytes, LONGLONG* pullOffset, ULONG* pulKey) override;
    STDMETHODIMP_(void)
    GetWriteParameters(SIZE_T* pSizeInBytes, LONGLONG* pullOffset, ULONG* pulKey) override;
    STDMETHODIMP_(void)
    GetDeviceIoControlParameters(ULONG* pControlCode, SIZE_T* pInBufferSize,
                                 SIZE_T* pOutBufferSize) override;
    STDMETHODIMP_(void) GetOutputMemory(IWDFMemory** ppWdfMemory) override;
    STDMETHODIMP_(void) GetInputMemory(IWDFMemory** ppWdfMemory) override;
    STDMETHODIMP_(void) MarkCancelable(IRequestCallbackCancel*) override {}
    STDMETHODIMP UnmarkCancelable() override { return S_OK; }
    STDMETHODIMP_(BOOL) CancelSentRequest() override { return FALSE; }
    STDMETHODIMP ForwardToIoQueue(IWDFIoQueue* pDestination) override;
    STDMETHODIMP Send(IWDFIoTarget*, ULONG, LONGLONG) override { return E_NOTIMPL; }
    STDMETHODIMP_(void) GetFileObject(IWDFFile** ppFileObject) override;
    STDMETHODIMP_(void) FormatUsingCurrentType() override {}
    STDMETHODIMP_(ULONG) GetRequestorProcessId() override;
    STDMETHODIMP_(void) GetIoQueue(IWDFIoQueue** ppWdfIoQueue) override;
    STDMETHODIMP Impersonate(SECURITY_IMPERSONATION_LEVEL, IImpersonateCallback*, void*) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP_(BOOL) IsFrom32BitProcess() override { return FALSE; }
    STDMETHODIMP_(void) GetCompletionParams(IWDFRequestCompletionParams** pp) override;

    SIZE_T InputSize() const { return m_Input->size(); }
    SIZE_T OutputSize() const { return m_Output->size(); }
    ULONG ControlCode() const { return m_ControlCode; }
    // The queue takes the request: it holds a reference on the queue, and the framework
    // one on the request, until the request is completed.
    void SetQueue(CFxIoQueue* queue);
    // Handed to the driver: its completion counts as leaving the driver.
    void MarkDelivered();

private:
    ~CFxIoRequest() override;

    const WDF_REQUEST_TYPE m_Type;
    const ULONG m_ControlCode;
    const std::shared_ptr<std::vector<BYTE>> m_Input;
    const std::shared_ptr<std::vector<BYTE>> m_Output;
    const std::shared_ptr<IoCompletion> m_Completion;
    std::mutex m_Lock;
    SIZE_T m_Information = 0;        // guarded by m_Lock
    bool m_bCompleted = false;       // guarded by m_Lock
    bool m_bDelivered = false;       // guarded by m_Lock
    CFxIoQueue* m_pQueue = nullptr;  // one reference; guarded by m_Lock
};

class CFxIoQueue final : public CFxObject<CFxIoQueue, IWDFIoQueue> {
public:
    static const simcom::InterfaceEntry<CFxIoQueue> kInterfaces[];

    CFxIoQueue(CFxDevice* device, IUnknown* callback, bool defaultQueue,
               WDF_IO_QUEUE_DISPATCH_TYPE dispatch, bool allowZeroLength);

    STDMETHODIMP_(void) GetDevice(IWDFDevice** ppWdfDevice) override;
    STDMETHODIMP ConfigureRequestDispatching(WDF_REQUEST_TYPE RequestType, BOOL Forward) override;
    STDMETHODIMP_(WDF_IO_QUEUE_STATE)
    GetState(ULONG* pulNumOfRequestsInQueue, ULONG* pulNumOfRequestsInDriver) override;
    STDMETHODIMP RetrieveNextRequest(IWDFIoRequest** ppRequest) override;
    STDMETHODIMP RetrieveNextRequestByFileObject(IWDFFile*, IWDFIoRequest** ppRequest) override;
    STDMETHODIMP_(void) Start() override;
    STDMETHODIMP_(void) Stop(IQueueCallbackStateChange* pStopComplete) override;
    STDMETHODIMP_(void) StopSynchronously() override;
    STDMETHODIMP_(void) Drain(IQueueCallbackStateChange* pDrainComplete) override;
    STDMETHODIMP_(void) DrainSynchronously() override;
    STDMETHODIMP_(void) Purge(IQueueCallbackStateChange* pPurgeComplete) override;
    STDMETHODIMP_(void) PurgeSynchronously() override;

    // Takes one reference on the request until it is completed or handed out.
    void Enqueue(CFxIoRequest* request);
    // The request left the driver (completed).
    void RequestDone();
    bool IsDefault() const { return m_bDefault; }
    bool AllowsZeroLength() const { return m_bAllowZeroLength; }
    // Stops the dispatch threads, cancels what waits, drops the callback object.
    void Shutdown();

private:
    ~CFxIoQueue() override;
    void DispatchLoop();
    void Deliver(CFxIoRequest* request, IUnknown* callback);

    // No reference: the device holds its queues and outlives them while they work.
    CFxDevice* const m_pDevice;
    const bool m_bDefault;
    const WDF_IO_QUEUE_DISPATCH_TYPE m_Dispatch;
    const bool m_bAllowZeroLength;

    std::mutex m_Lock;
    std::condition_variable m_Changed;
    IUnknown* m_pCallback;                // one reference; guarded by m_Lock
    std::deque<CFxIoRequest*> m_Pending;  // one reference each; guarded by m_Lock
    ULONG m_InDriver = 0;                 // guarded by m_Lock
    bool m_bAccepting = true;             // guarded by m_Lock
    bool m_bDispatching = true;           // guarded by m_Lock
    bool m_bShutdown = false;             // guarded by m_Lock
    std::vector<std::thread> m_Workers;   // started in the constructor, joined by Shutdown
};

}  // namespace sim
