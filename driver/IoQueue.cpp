// The IoQueue source unit: the I/O queue callback object.

#include "IoQueue.h"

#include <new>

#include "Device.h"
#include "Internal.h"
#include "Trace.h"

BRELK_TRACE_UNIT(IoQueue);

CMyQueue::CMyQueue() {
    DllModuleLock();
}

CMyQueue::~CMyQueue() {
    if (m_bLockInitialized) {
        DeleteCriticalSection(&m_Lock);
    }
    DllModuleUnlock();
}

HRESULT CMyQueue::CreateInstance(IWDFDevice* FxDevice, CMyDevice* MyDevice, CMyQueue** ppQueue) {
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_QUEUE, "CreateInstance: entry");
    if (ppQueue == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_QUEUE, "CreateInstance: no output pointer");
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_QUEUE, "CreateInstance: exit %!HRESULT!",
                    E_POINTER);
        return E_POINTER;
    }

    CMyQueue* queue = new (std::nothrow) CMyQueue();
    if (queue == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_QUEUE, "CreateInstance: allocation failed");
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_QUEUE, "CreateInstance: exit %!HRESULT!",
                    E_OUTOFMEMORY);
        return E_OUTOFMEMORY;
    }

    // The creator's own reference for the time of the creation: Initialize hands the
    // object to the framework and drops a reference of its own, which would otherwise
    // free the object under this function when the framework refuses it.
    queue->AddRef();
    HRESULT hr = S_OK;
    if (InitializeCriticalSectionEx(&queue->m_Lock, 0, 0)) {
        queue->m_bLockInitialized = true;
    } else {
        hr = HRESULT_FROM_WIN32(GetLastError());
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_QUEUE,
                    "CreateInstance: InitializeCriticalSectionEx %!HRESULT!", hr);
    }

    if (SUCCEEDED(hr)) {
        hr = queue->Initialize(FxDevice, MyDevice);
        if (FAILED(hr)) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_QUEUE,
                        "CreateInstance: Initialize %!HRESULT!", hr);
        }
    }

    if (SUCCEEDED(hr)) {
        *ppQueue = queue;
    }
    // On success the framework queue's reference keeps the object; on failure it goes,
    // unless a framework queue created before the failure holds it.
    queue->Release();
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_QUEUE, "CreateInstance: exit %!HRESULT!", hr);
    return hr;
}

HRESULT CMyQueue::Initialize(IWDFDevice* FxDevice, CMyDevice* MyDevice) {
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_QUEUE, "Initialize: entry");
    if (!CheckAssertion(FxDevice != nullptr, L"IoQueue: assertion failed: FxDevice != NULL")) {
        // There is no device to create the queue on.
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_QUEUE, "Initialize: no framework device");
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_QUEUE, "Initialize: exit %!HRESULT!",
                    E_POINTER);
        return E_POINTER;
    }
    // Without a device the queue still works: its requests complete with E_POINTER.
    CheckAssertion(MyDevice != nullptr, L"IoQueue: assertion failed: MyDevice != NULL");

    IUnknown* callback = nullptr;
    HRESULT hr = QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&callback));
    if (FAILED(hr)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_QUEUE, "Initialize: QueryInterface %!HRESULT!",
                    hr);
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_QUEUE, "Initialize: exit %!HRESULT!", hr);
        return hr;
    }

    IWDFIoQueue* fxQueue = nullptr;
    hr =
        FxDevice->CreateIoQueue(callback, FALSE, WdfIoQueueDispatchParallel, TRUE, FALSE, &fxQueue);
    // From here the framework queue, if created, holds this object alive.
    callback->Release();
    if (FAILED(hr)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_QUEUE, "Initialize: CreateIoQueue %!HRESULT!",
                    hr);
    } else {
        hr = FxDevice->ConfigureRequestDispatching(fxQueue, WdfRequestDeviceIoControl, TRUE);
        if (FAILED(hr)) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_QUEUE,
                        "Initialize: ConfigureRequestDispatching %!HRESULT!", hr);
        } else {
            m_pWdfQueue = fxQueue;
            m_pDevice = MyDevice;
        }
    }
    if (fxQueue != nullptr) {
        fxQueue->Release();
    }
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_QUEUE, "Initialize: exit %!HRESULT!", hr);
    return hr;
}

STDMETHODIMP CMyQueue::QueryInterface(REFIID riid, void** ppv) {
    if (ppv == nullptr) {
        return E_POINTER;
    }
    *ppv = nullptr;
    if (IsEqualIID(riid, IID_IUnknown)) {
        *ppv = static_cast<IUnknown*>(this);
    } else if (IsEqualIID(riid, IID_IQueueCallbackDeviceIoControl)) {
        *ppv = static_cast<IQueueCallbackDeviceIoControl*>(this);
    } else {
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) CMyQueue::AddRef() {
    return static_cast<ULONG>(++m_cRef);
}

STDMETHODIMP_(ULONG) CMyQueue::Release() {
    const LONG count = --m_cRef;
    if (count == 0) {
        delete this;
    }
    return static_cast<ULONG>(count);
}

STDMETHODIMP_(void)
CMyQueue::OnDeviceIoControl(IWDFIoQueue* /*pWdfQueue*/, IWDFIoRequest* pWdfRequest,
                            ULONG /*ControlCode*/, SIZE_T /*InputBufferSizeInBytes*/,
                            SIZE_T /*OutputBufferSizeInBytes*/) {
    HRESULT status = S_OK;
    if (m_pDevice == nullptr) {
        status = E_POINTER;
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_QUEUE, "OnDeviceIoControl: no device %!HRESULT!",
                    status);
    }
    if (pWdfRequest != nullptr) {
        pWdfRequest->Complete(status);
    }
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_QUEUE, "OnDeviceIoControl: exit %!HRESULT!",
                status);
}
