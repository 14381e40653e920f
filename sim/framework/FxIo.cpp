// I/O queues, requests and request memory of the framework host.
#include "FxIo.h"

#include <cstring>

#include "HostSystem.h"

namespace sim {

// ---- IoCompletion -------------------------------------------------------------------

IoCompletion::IoCompletion() : m_hDone(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

IoCompletion::~IoCompletion() {
    if (m_hDone != nullptr) {
        CloseHandle(m_hDone);
    }
}

bool IoCompletion::Wait(DWORD timeoutMs) const {
    return sim::Host().Time().WaitForObject(m_hDone, timeoutMs) == WAIT_OBJECT_0;
}

bool IoCompletion::Completed() const {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_Completed;
}

HRESULT IoCompletion::Status() const {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_Status;
}

SIZE_T IoCompletion::Information() const {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_Information;
}

std::vector<BYTE> IoCompletion::Output() const {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_Output;
}

int IoCompletion::CompleteCalls() const {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_CompleteCalls;
}

void IoCompletion::Record(HRESULT status, SIZE_T information, const std::vector<BYTE>& output) {
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        m_Completed = true;
        m_Status = status;
        m_Information = information;
        m_Output = output;
        ++m_CompleteCalls;
    }
    SetEvent(m_hDone);
}

void IoCompletion::CountExtraCompletion() {
    std::lock_guard<std::mutex> lock(m_Lock);
    ++m_CompleteCalls;
}

// ---- CFxMemory ----------------------------------------------------------------------

CFxMemory* CFxMemory::Create(std::shared_ptr<std::vector<BYTE>> buffer) {
    return new (std::nothrow) CFxMemory(std::move(buffer));
}

const simcom::InterfaceEntry<CFxMemory> CFxMemory::kInterfaces[] = {
    simcom::Entry<CFxMemory, IWDFMemory>(IID_IWDFMemory),
    simcom::Entry<CFxMemory, IWDFMemory>(IID_IWDFObject),
    {},
};

STDMETHODIMP CFxMemory::CopyFromMemory(IWDFMemory* pSourceMemory, PWDFMEMORY_OFFSET pSourceOffset) {
    if (pSourceMemory == nullptr) {
        return E_INVALIDARG;
    }
    SIZE_T size = 0;
    auto* data = static_cast<BYTE*>(pSourceMemory->GetDataBuffer(&size));
    SIZE_T offset = 0;
    SIZE_T length = size;
    if (pSourceOffset != nullptr) {
        offset = pSourceOffset->BufferOffset;
        length = pSourceOffset->BufferLength;
    }
    if (offset > size || length > size - offset) {
        return E_INVALIDARG;
    }
    return CopyFromBuffer(0, data + offset, length);
}

STDMETHODIMP CFxMemory::CopyToBuffer(ULONG_PTR SourceOffset, void* TargetBuffer,
                                     SIZE_T NumOfBytesToCopyTo) {
    if (SourceOffset > m_Buffer->size() || NumOfBytesToCopyTo > m_Buffer->size() - SourceOffset ||
        (TargetBuffer == nullptr && NumOfBytesToCopyTo != 0)) {
        return E_INVALIDARG;
    }
    if (NumOfBytesToCopyTo != 0) {
        memcpy(TargetBuffer, m_Buffer->data() + SourceOffset, NumOfBytesToCopyTo);
    }
    return S_OK;
}

STDMETHODIMP CFxMemory::CopyFromBuffer(ULONG_PTR DestOffset, void* SourceBuffer,
                                       SIZE_T NumOfBytesToCopyFrom) {
    if (DestOffset > m_Buffer->size() || NumOfBytesToCopyFrom > m_Buffer->size() - DestOffset ||
        (SourceBuffer == nullptr && NumOfBytesToCopyFrom != 0)) {
        return E_INVALIDARG;
    }
    if (NumOfBytesToCopyFrom != 0) {
        memmove(m_Buffer->data() + DestOffset, SourceBuffer, NumOfBytesToCopyFrom);
    }
    return S_OK;
}

STDMETHODIMP_(SIZE_T) CFxMemory::GetSize() {
    return m_Buffer->size();
}

STDMETHODIMP_(void*) CFxMemory::GetDataBuffer(SIZE_T* BufferSize) {
    if (BufferSize != nullptr) {
        *BufferSize = m_Buffer->size();
    }
    return m_Buffer->data();
}

// Request memory belongs to the request; the framework does not let drivers swap it.
STDMETHODIMP_(void) CFxMemory::SetBuffer(void*, SIZE_T) {}

// ---- CFxIoRequest -------------------------------------------------------------------

CFxIoRequest::CFxIoRequest(WDF_REQUEST_TYPE type, ULONG controlCode, std::vector<BYTE> input,
                           SIZE_T outputSize, std::shared_ptr<IoCompletion> completion)
    : m_Type(type),
      m_ControlCode(controlCode),
      m_Input(std::make_shared<std::vector<BYTE>>(std::move(input))),
      m_Output(std::make_shared<std::vector<BYTE>>(outputSize)),
      m_Completion(std::move(completion)) {}

CFxIoRequest::~CFxIoRequest() {
    if (m_pQueue != nullptr) {
        m_pQueue->Release();
    }
}

const simcom::InterfaceEntry<CFxIoRequest> CFxIoRequest::kInterfaces[] = {
    simcom::Entry<CFxIoRequest, IWDFIoRequest>(IID_IWDFIoRequest),
    simcom::Entry<CFxIoRequest, IWDFIoRequest>(IID_IWDFObject),
    {},
};

void CFxIoRequest::SetQueue(CFxIoQueue* queue) {
    queue->AddRef();
    AddRef();  // the framework's, until completion
    std::lock_guard<std::mutex> lock(m_Lock);
    m_pQueue = queue;
}

void CFxIoRequest::MarkDelivered() {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_bDelivered = true;
}

STDMETHODIMP_(void)
CFxIoRequest::CompleteWithInformation(HRESULT CompletionStatus, SIZE_T Information) {
    CFxIoQueue* queue = nullptr;
    bool delivered = false;
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        if (m_bCompleted) {
            // A second completion is a driver fault; the sender sees it counted.
            m_Completion->CountExtraCompletion();
            return;
        }
        m_bCompleted = true;
        queue = m_pQueue;
        m_pQueue = nullptr;
        delivered = m_bDelivered;
    }
    const SIZE_T shown = Information < m_Output->size() ? Information : m_Output->size();
    std::vector<BYTE> output;
    if (m_Type == WdfRequestRead || m_Type == WdfRequestDeviceIoControl) {
        output.assign(m_Output->begin(), m_Output->begin() + static_cast<ptrdiff_t>(shown));
    }
    m_Completion->Record(CompletionStatus, Information, output);
    if (queue != nullptr) {
        if (delivered) {
            queue->RequestDone();
        }
        queue->Release();
        Release();  // the framework's
    }
}

STDMETHODIMP_(void) CFxIoRequest::SetInformation(ULONG_PTR Information) {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Information = Information;
}

STDMETHODIMP_(void) CFxIoRequest::Complete(HRESULT CompletionStatus) {
    SIZE_T information = 0;
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        information = m_Information;
    }
    CompleteWithInformation(CompletionStatus, information);
}

STDMETHODIMP_(void)
CFxIoRequest::GetCreateParameters(ULONG* pOptions, USHORT* pFileAttributes, USHORT* pShareAccess) {
    if (pOptions != nullptr) {
        *pOptions = 0;
    }
    if (pFileAttributes != nullptr) {
        *pFileAttributes = 0;
    }
    if (pShareAccess != nullptr) {
        *pShareAccess = 0;
    }
}

STDMETHODIMP_(void)
CFxIoRequest::GetReadParameters(SIZE_T* pSizeInBytes, LONGLONG* pullOffset, ULONG* pulKey) {
    if (pSizeInBytes != nullptr) {
        *pSizeInBytes = m_Output->size();
    }
    if (pullOffset != nullptr) {
        *pullOffset = 0;
    }
    if (pulKey != nullptr) {
        *pulKey = 0;
    }
}

STDMETHODIMP_(void)
CFxIoRequest::GetWriteParameters(SIZE_T* pSizeInBytes, LONGLONG* pullOffset, ULONG* pulKey) {
    if (pSizeInBytes != nullptr) {
        *pSizeInBytes = m_Input->size();
    }
    if (pullOffset != nullptr) {
        *pullOffset = 0;
    }
    if (pulKey != nullptr) {
        *pulKey = 0;
    }
}

STDMETHODIMP_(void)
CFxIoRequest::GetDeviceIoControlParameters(ULONG* pControlCode, SIZE_T* pInBufferSize,
                                           SIZE_T* pOutBufferSize) {
    if (pControlCode != nullptr) {
        *pControlCode = m_ControlCode;
    }
    if (pInBufferSize != nullptr) {
        *pInBufferSize = m_Input->size();
    }
    if (pOutBufferSize != nullptr) {
        *pOutBufferSize = m_Output->size();
    }
}

STDMETHODIMP_(void) CFxIoRequest::GetOutputMemory(IWDFMemory** ppWdfMemory) {
    if (ppWdfMemory != nullptr) {
        *ppWdfMemory = m_Output->empty() ? nullptr : CFxMemory::Create(m_Output);
    }
}

STDMETHODIMP_(void) CFxIoRequest::GetInputMemory(IWDFMemory** ppWdfMemory) {
    if (ppWdfMemory != nullptr) {
        *ppWdfMemory = m_Input->empty() ? nullptr : CFxMemory::Create(m_Input);
    }
}

STDMETHODIMP CFxIoRequest::ForwardToIoQueue(IWDFIoQueue*) {
    return E_NOTIMPL;
}

STDMETHODIMP_(void) CFxIoRequest::GetFileObject(IWDFFile** ppFileObject) {
    if (ppFileObject != nullptr) {
        *ppFileObject = nullptr;
    }
}

STDMETHODIMP_(ULONG) CFxIoRequest::GetRequestorProcessId() {
    return static_cast<ULONG>(GetCurrentProcessId());
}

STDMETHODIMP_(void) CFxIoRequest::GetIoQueue(IWDFIoQueue** ppWdfIoQueue) {
    if (ppWdfIoQueue == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> lock(m_Lock);
    *ppWdfIoQueue = m_pQueue;
    if (m_pQueue != nullptr) {
        m_pQueue->AddRef();
    }
}

STDMETHODIMP_(void) CFxIoRequest::GetCompletionParams(IWDFRequestCompletionParams** pp) {
    if (pp != nullptr) {
        *pp = nullptr;
    }
}

// ---- CFxIoQueue ---------------------------------------------------------------------

namespace {
// Parallel queues hand requests to the driver on up to this many threads at once.
constexpr int kParallelThreads = 4;
// ERROR_INVALID_OPERATION: what the framework answers for manual retrieval from a queue
// that dispatches by itself.
constexpr DWORD kErrorInvalidOperation = 4317;
}  // namespace

CFxIoQueue::CFxIoQueue(CFxDevice* device, IUnknown* callback, bool defaultQueue,
                       WDF_IO_QUEUE_DISPATCH_TYPE dispatch, bool allowZeroLength)
    : m_pDevice(device),
      m_bDefault(defaultQueue),
      m_Dispatch(dispatch),
      m_bAllowZeroLength(allowZeroLength),
      m_pCallback(callback) {
    if (m_pCallback != nullptr) {
        m_pCallback->AddRef();
    }
    const int threads = dispatch == WdfIoQueueDispatchParallel     ? kParallelThreads
                        : dispatch == WdfIoQueueDispatchSequential ? 1
                                                                   : 0;
    for (int i = 0; i < threads; ++i) {
        m_Workers.emplace_back([this] { DispatchLoop(); });
    }
}

CFxIoQueue::~CFxIoQueue() {
    Shutdown();
}

const simcom::InterfaceEntry<CFxIoQueue> CFxIoQueue::kInterfaces[] = {
    simcom::Entry<CFxIoQueue, IWDFIoQueue>(IID_IWDFIoQueue),
    simcom::Entry<CFxIoQueue, IWDFIoQueue>(IID_IWDFObject),
    {},
};

STDMETHODIMP_(void) CFxIoQueue::GetDevice(IWDFDevice** ppWdfDevice) {
    if (ppWdfDevice != nullptr) {
        m_pDevice->AddRef();
        *ppWdfDevice = m_pDevice;
    }
}

STDMETHODIMP CFxIoQueue::ConfigureRequestDispatching(WDF_REQUEST_TYPE RequestType, BOOL Forward) {
    return m_pDevice->ConfigureRequestDispatching(this, RequestType, Forward);
}

STDMETHODIMP_(WDF_IO_QUEUE_STATE)
CFxIoQueue::GetState(ULONG* pulNumOfRequestsInQueue, ULONG* pulNumOfRequestsInDriver) {
    std::lock_guard<std::mutex> lock(m_Lock);
    if (pulNumOfRequestsInQueue != nullptr) {
        *pulNumOfRequestsInQueue = static_cast<ULONG>(m_Pending.size());
    }
    if (pulNumOfRequestsInDriver != nullptr) {
        *pulNumOfRequestsInDriver = m_InDriver;
    }
    int state = 0;
    if (m_bAccepting) {
        state |= WdfIoQueueAcceptRequests;
    }
    if (m_bDispatching) {
        state |= WdfIoQueueDispatchRequests;
    }
    if (m_Pending.empty()) {
        state |= WdfIoQueueNoRequests;
    }
    if (m_InDriver == 0) {
        state |= WdfIoQueueDriverNoRequests;
    }
    return static_cast<WDF_IO_QUEUE_STATE>(state);
}

STDMETHODIMP CFxIoQueue::RetrieveNextRequest(IWDFIoRequest** ppRequest) {
    if (ppRequest == nullptr) {
        return E_POINTER;
    }
    *ppRequest = nullptr;
    std::lock_guard<std::mutex> lock(m_Lock);
    if (m_Dispatch != WdfIoQueueDispatchManual) {
        return HRESULT_FROM_WIN32(kErrorInvalidOperation);
    }
    if (m_Pending.empty()) {
        return HRESULT_FROM_WIN32(ERROR_NO_MORE_ITEMS);
    }
    CFxIoRequest* request = m_Pending.front();
    m_Pending.pop_front();
    ++m_InDriver;
    request->MarkDelivered();
    // The pending reference becomes the framework's; the driver completes the request.
    *ppRequest = request;
    return S_OK;
}

STDMETHODIMP CFxIoQueue::RetrieveNextRequestByFileObject(IWDFFile*, IWDFIoRequest** ppRequest) {
    if (ppRequest != nullptr) {
        *ppRequest = nullptr;
    }
    return E_NOTIMPL;
}

STDMETHODIMP_(void) CFxIoQueue::Start() {
    std::lock_guard<std::mutex> lock(m_Lock);
    if (!m_bShutdown) {
        m_bAccepting = true;
        m_bDispatching = true;
    }
    m_Changed.notify_all();
}

STDMETHODIMP_(void) CFxIoQueue::Stop(IQueueCallbackStateChange* pStopComplete) {
    StopSynchronously();
    if (pStopComplete != nullptr) {
        pStopComplete->OnStateChange(this, GetState(nullptr, nullptr));
    }
}

STDMETHODIMP_(void) CFxIoQueue::StopSynchronously() {
    std::unique_lock<std::mutex> lock(m_Lock);
    m_bDispatching = false;
    m_Changed.wait(lock, [this] { return m_InDriver == 0; });
}

STDMETHODIMP_(void) CFxIoQueue::Drain(IQueueCallbackStateChange* pDrainComplete) {
    DrainSynchronously();
    if (pDrainComplete != nullptr) {
        pDrainComplete->OnStateChange(this, GetState(nullptr, nullptr));
    }
}

STDMETHODIMP_(void) CFxIoQueue::DrainSynchronously() {
    std::unique_lock<std::mutex> lock(m_Lock);
    m_bAccepting = false;
    m_Changed.wait(lock, [this] { return m_Pending.empty() && m_InDriver == 0; });
}

STDMETHODIMP_(void) CFxIoQueue::Purge(IQueueCallbackStateChange* pPurgeComplete) {
    PurgeSynchronously();
    if (pPurgeComplete != nullptr) {
        pPurgeComplete->OnStateChange(this, GetState(nullptr, nullptr));
    }
}

STDMETHODIMP_(void) CFxIoQueue::PurgeSynchronously() {
    std::deque<CFxIoRequest*> cancelled;
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        m_bAccepting = false;
        cancelled.swap(m_Pending);
    }
    for (auto* r : cancelled) {
        r->Complete(HRESULT_FROM_WIN32(ERROR_OPERATION_ABORTED));
    }
    std::unique_lock<std::mutex> lock(m_Lock);
    m_Changed.wait(lock, [this] { return m_InDriver == 0; });
}

void CFxIoQueue::Enqueue(CFxIoRequest* request) {
    request->SetQueue(this);
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        if (m_bAccepting) {
            m_Pending.push_back(request);
            m_Changed.notify_all();
            return;
        }
    }
    request->Complete(HRESULT_FROM_WIN32(ERROR_OPERATION_ABORTED));
}

void CFxIoQueue::RequestDone() {
    std::lock_guard<std::mutex> lock(m_Lock);
    --m_InDriver;
    m_Changed.notify_all();
}

void CFxIoQueue::Shutdown() {
    std::vector<std::thread> workers;
    std::deque<CFxIoRequest*> cancelled;
    IUnknown* callback = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        m_bShutdown = true;
        m_bAccepting = false;
        m_bDispatching = false;
        workers.swap(m_Workers);
        cancelled.swap(m_Pending);
        m_Changed.notify_all();
    }
    for (auto* r : cancelled) {
        r->Complete(HRESULT_FROM_WIN32(ERROR_OPERATION_ABORTED));
    }
    // A worker inside the driver's callback finishes that call first.
    for (auto& t : workers) {
        t.join();
    }
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        callback = m_pCallback;
        m_pCallback = nullptr;
    }
    if (callback != nullptr) {
        callback->Release();
    }
}

void CFxIoQueue::DispatchLoop() {
    for (;;) {
        CFxIoRequest* request = nullptr;
        IUnknown* callback = nullptr;
        {
            std::unique_lock<std::mutex> lock(m_Lock);
            m_Changed.wait(lock, [this] {
                return m_bShutdown ||
                       (m_bDispatching && !m_Pending.empty() &&
                        (m_Dispatch != WdfIoQueueDispatchSequential || m_InDriver == 0));
            });
            if (m_bShutdown) {
                return;
            }
            request = m_Pending.front();
            m_Pending.pop_front();
            ++m_InDriver;
            request->MarkDelivered();
            callback = m_pCallback;
            callback->AddRef();
        }
        request->AddRef();  // kept across the callback even if it completes at once
        Deliver(request, callback);
        request->Release();
        callback->Release();
    }
}

void CFxIoQueue::Deliver(CFxIoRequest* request, IUnknown* callback) {
    if (request->GetType() == WdfRequestDeviceIoControl) {
        IQueueCallbackDeviceIoControl* ioctl = nullptr;
        if (SUCCEEDED(callback->QueryInterface(IID_IQueueCallbackDeviceIoControl,
                                               reinterpret_cast<void**>(&ioctl))) &&
            ioctl != nullptr) {
            ioctl->OnDeviceIoControl(this, request, request->ControlCode(), request->InputSize(),
                                     request->OutputSize());
            ioctl->Release();
            return;
        }
    }
    IQueueCallbackDefaultIoHandler* handler = nullptr;
    if (SUCCEEDED(callback->QueryInterface(IID_IQueueCallbackDefaultIoHandler,
                                           reinterpret_cast<void**>(&handler))) &&
        handler != nullptr) {
        handler->OnDefaultIoHandler(this, request);
        handler->Release();
        return;
    }
    // The queue's callback object has no handler for this request type.
    request->Complete(HRESULT_FROM_WIN32(ERROR_INVALID_FUNCTION));
}

}  // namespace sim
