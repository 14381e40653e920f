#pragma once
// CMyQueue: the callback object of the device's one I/O queue. The queue takes the
// device I/O control requests sent to the device and completes each at once; it carries
// no data and plays no part in the download. It is neither the default queue nor does
// it see read or write requests.

#include <windows.h>
#include <wudfddi.h>

#include <atomic>

class CMyDevice;

class CMyQueue : public IQueueCallbackDeviceIoControl {
public:
    // Creates the object and its framework queue (parallel dispatch, power-managed, no
    // zero-length requests) and routes device I/O control requests to it. On success
    // *ppQueue receives the object without a reference of its own: the framework queue's
    // reference keeps it alive. On failure *ppQueue is not written.
    static HRESULT CreateInstance(IWDFDevice* FxDevice, CMyDevice* MyDevice, CMyQueue** ppQueue);

    // IUnknown
    STDMETHOD(QueryInterface)(REFIID riid, void** ppv) override;
    STDMETHOD_(ULONG, AddRef)() override;
    STDMETHOD_(ULONG, Release)() override;

    // IQueueCallbackDeviceIoControl; runs on several framework threads at once.
    STDMETHOD_(void, OnDeviceIoControl)
    (IWDFIoQueue* pWdfQueue, IWDFIoRequest* pWdfRequest, ULONG ControlCode,
     SIZE_T InputBufferSizeInBytes, SIZE_T OutputBufferSizeInBytes) override;

    virtual ~CMyQueue();

private:
    CMyQueue();
    HRESULT Initialize(IWDFDevice* FxDevice, CMyDevice* MyDevice);

    std::atomic<LONG> m_cRef{0};
    CRITICAL_SECTION m_Lock;
    bool m_bLockInitialized = false;
    // Written by Initialize before the framework queue can dispatch; read-only afterwards.
    // No reference: the framework queue holds this object, not the other way round.
    IWDFIoQueue* m_pWdfQueue = nullptr;
    // No reference: the device owns the framework device, which owns the queue and thus
    // outlives this object's use of the pointer.
    CMyDevice* m_pDevice = nullptr;
};
