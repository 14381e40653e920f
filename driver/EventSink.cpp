#include "EventSink.h"

#include <windows.h>
#include <oleauto.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "Internal.h"
#include "Trace.h"

BRELK_TRACE_UNIT(EventSink);

std::atomic<UCHAR> g_ReadDataToggle{0};
std::atomic<UCHAR> g_WriteDoneToggle{0};

namespace {

// Number of elements of a one-dimensional array, 0 when it has none or cannot be read.
ULONG ElementCount(SAFEARRAY* array) {
    LONG lower = 0;
    LONG upper = -1;
    if (array == nullptr || FAILED(SafeArrayGetLBound(array, 1, &lower)) ||
        FAILED(SafeArrayGetUBound(array, 1, &upper)) || upper < lower) {
        return 0;
    }
    return static_cast<ULONG>(upper - lower) + 1;
}

}  // namespace

CMBDeviceServiceEvents::CMBDeviceServiceEvents() {
    DllModuleLock();
    std::memset(&m_Lock, 0, sizeof(m_Lock));
    if (FAILED(CreateCompletionEvents())) {
        CloseCompletionEvents();
    }
}

CMBDeviceServiceEvents::~CMBDeviceServiceEvents() {
    DllModuleUnlock();
    CloseCompletionEvents();
    m_pContext.store(nullptr);
    if (m_bLockInitialized) {
        DeleteCriticalSection(&m_Lock);
        m_bLockInitialized = false;
    }
}

HRESULT CMBDeviceServiceEvents::InitializeLock() {
    if (!InitializeCriticalSectionEx(&m_Lock, 0, 0)) {
        return HRESULT_FROM_WIN32(GetLastError());
    }
    m_bLockInitialized = true;
    return S_OK;
}

HRESULT CMBDeviceServiceEvents::CreateInstance(CMBDeviceServiceEvents** ppEvents) {
    if (ppEvents == nullptr) {
        return E_POINTER;
    }
    *ppEvents = nullptr;
    CMBDeviceServiceEvents* events = new (std::nothrow) CMBDeviceServiceEvents();
    if (events == nullptr) {
        return E_OUTOFMEMORY;
    }
    HRESULT hr = events->InitializeLock();
    if (FAILED(hr)) {
        delete events;
        return hr;
    }
    // A sink without all its events would make every wait on the missing ones fail at
    // once, which the callers would read as a completed exchange.
    if (events->m_hReadDataEvent == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_EVENTS,
                    "CreateInstance: completion events could not be created");
        delete events;
        return E_FAIL;
    }
    *ppEvents = events;
    return S_OK;
}

HRESULT CMBDeviceServiceEvents::CreateCompletionEvents() {
    HANDLE* const fields[] = {&m_hOpenCommandSessionEvent, &m_hCloseCommandSessionEvent,
                              &m_hSetCommandEvent,         &m_hQueryCommandEvent,
                              &m_hOpenDataSessionEvent,    &m_hCloseDataSessionEvent,
                              &m_hWriteDataEvent,          &m_hReadDataEvent};
    for (HANDLE* field : fields) {
        *field = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        if (*field == nullptr) {
            return E_FAIL;
        }
    }
    return S_OK;
}

void CMBDeviceServiceEvents::CloseCompletionEvents() {
    HANDLE* const fields[] = {&m_hOpenCommandSessionEvent, &m_hCloseCommandSessionEvent,
                              &m_hSetCommandEvent,         &m_hQueryCommandEvent,
                              &m_hOpenDataSessionEvent,    &m_hCloseDataSessionEvent,
                              &m_hWriteDataEvent,          &m_hReadDataEvent};
    for (HANDLE* field : fields) {
        if (*field != nullptr) {
            CloseHandle(*field);
            *field = nullptr;
        }
    }
}

STDMETHODIMP CMBDeviceServiceEvents::QueryInterface(REFIID riid, void** ppv) {
    if (ppv == nullptr) {
        return E_POINTER;
    }
    *ppv = nullptr;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IMbnDeviceServicesEvents)) {
        *ppv = static_cast<IMbnDeviceServicesEvents*>(this);
        AddRef();
        return S_OK;
    }
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CMBDeviceServiceEvents::AddRef() {
    return ++m_cRef;
}

STDMETHODIMP_(ULONG) CMBDeviceServiceEvents::Release() {
    const LONG count = --m_cRef;
    if (count == 0) {
        // The module stays locked while the object is torn down.
        DllModuleLock();
        delete this;
        DllModuleUnlock();
    }
    return static_cast<ULONG>(count);
}

bool CMBDeviceServiceEvents::MatchesRequest(const ULONG* field, ULONG requestID) const {
    return std::atomic_ref<ULONG>(const_cast<ULONG&>(*field)).load() == requestID;
}

STDMETHODIMP CMBDeviceServiceEvents::OnQuerySupportedCommandsComplete(IMbnDeviceService* service,
                                                                      SAFEARRAY* commands,
                                                                      HRESULT status,
                                                                      ULONG requestID) {
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_EVENTS,
                "OnQuerySupportedCommandsComplete: status %!HRESULT! request %u", status,
                requestID);
    return S_OK;
}

STDMETHODIMP CMBDeviceServiceEvents::OnOpenCommandSessionComplete(IMbnDeviceService* service,
                                                                  HRESULT status, ULONG requestID) {
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_EVENTS,
                "OnOpenCommandSessionComplete: entry, status %!HRESULT! request %u", status,
                requestID);
    if (status == S_OK && MatchesRequest(&m_OpenCommandSessionRequestId, requestID)) {
        SetEvent(m_hOpenCommandSessionEvent);
    }
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_EVENTS, "OnOpenCommandSessionComplete: exit");
    return S_OK;
}

STDMETHODIMP CMBDeviceServiceEvents::OnCloseCommandSessionComplete(IMbnDeviceService* service,
                                                                   HRESULT status,
                                                                   ULONG requestID) {
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_EVENTS,
                "OnCloseCommandSessionComplete: entry, status %!HRESULT! request %u", status,
                requestID);
    if (status == S_OK && MatchesRequest(&m_CloseCommandSessionRequestId, requestID)) {
        SetEvent(m_hCloseCommandSessionEvent);
    }
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_EVENTS, "OnCloseCommandSessionComplete: exit");
    return S_OK;
}

// A missing or empty array stores an empty response: handing out the previous response
// again would answer this request with another request's bytes.
void CMBDeviceServiceEvents::StoreResponse(SAFEARRAY* data, BYTE* buffer, ULONG* length) {
    EnterCriticalSection(&m_Lock);
    ULONG copied = 0;
    const ULONG total = ElementCount(data);
    if (FAILED(CopyByteArray(data, buffer, RESPONSE_BUFFER_SIZE, &copied))) {
        copied = 0;
    }
    *length = copied;
    LeaveCriticalSection(&m_Lock);
    if (total > RESPONSE_BUFFER_SIZE) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_EVENTS,
                    "StoreResponse: response of %u bytes cut to %u", total, RESPONSE_BUFFER_SIZE);
    }
}

STDMETHODIMP CMBDeviceServiceEvents::OnSetCommandComplete(IMbnDeviceService* service,
                                                          ULONG responseID,
                                                          SAFEARRAY* deviceServiceData,
                                                          HRESULT status, ULONG requestID) {
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_EVENTS,
                "OnSetCommandComplete: status %!HRESULT! request %u response %u", status, requestID,
                responseID);
    if (MatchesRequest(&m_SetCommandRequestId, requestID)) {
        StoreResponse(deviceServiceData, m_SetResponse, &m_SetResponseLength);
        SetEvent(m_hSetCommandEvent);
    }
    return S_OK;
}

STDMETHODIMP CMBDeviceServiceEvents::OnQueryCommandComplete(IMbnDeviceService* service,
                                                            ULONG responseID,
                                                            SAFEARRAY* deviceServiceData,
                                                            HRESULT status, ULONG requestID) {
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_EVENTS,
                "OnQueryCommandComplete: status %!HRESULT! request %u response %u", status,
                requestID, responseID);
    if (MatchesRequest(&m_QueryCommandRequestId, requestID)) {
        StoreResponse(deviceServiceData, m_QueryResponse, &m_QueryResponseLength);
        SetEvent(m_hQueryCommandEvent);
    }
    return S_OK;
}

STDMETHODIMP CMBDeviceServiceEvents::OnEventNotification(IMbnDeviceService* service, ULONG eventID,
                                                         SAFEARRAY* deviceServiceData) {
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_EVENTS, "OnEventNotification: event %u",
                eventID);
    return S_OK;
}

STDMETHODIMP CMBDeviceServiceEvents::OnOpenDataSessionComplete(IMbnDeviceService* service,
                                                               HRESULT status, ULONG requestID) {
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_EVENTS,
                "OnOpenDataSessionComplete: entry, status %!HRESULT! request %u", status,
                requestID);
    if (status != S_OK) {
        return E_FAIL;
    }
    if (MatchesRequest(&m_OpenDataSessionRequestId, requestID)) {
        SetEvent(m_hOpenDataSessionEvent);
    }
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_EVENTS, "OnOpenDataSessionComplete: exit");
    return S_OK;
}

STDMETHODIMP CMBDeviceServiceEvents::OnCloseDataSessionComplete(IMbnDeviceService* service,
                                                                HRESULT status, ULONG requestID) {
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_EVENTS,
                "OnCloseDataSessionComplete: entry, status %!HRESULT! request %u", status,
                requestID);
    if (status != S_OK) {
        return E_FAIL;
    }
    if (MatchesRequest(&m_CloseDataSessionRequestId, requestID)) {
        SetEvent(m_hCloseDataSessionEvent);
    }
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_EVENTS, "OnCloseDataSessionComplete: exit");
    return S_OK;
}

STDMETHODIMP CMBDeviceServiceEvents::OnWriteDataComplete(IMbnDeviceService* service, HRESULT status,
                                                         ULONG requestID) {
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_EVENTS,
                "OnWriteDataComplete: entry, status %!HRESULT! request %u", status, requestID);
    if (status != S_OK) {
        OutputDebugStringW(L"\n Fail status of write");
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_EVENTS,
                    "OnWriteDataComplete: fail status of write %!HRESULT!", status);
        return S_OK;
    }
    // Of the successful completions delivered to all sinks, every second one signals.
    if (g_WriteDoneToggle.fetch_xor(1) == 1) {
        SetEvent(m_hWriteDataEvent);
    }
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_EVENTS, "OnWriteDataComplete: exit");
    return S_OK;
}

STDMETHODIMP CMBDeviceServiceEvents::OnReadData(IMbnDeviceService* service,
                                                SAFEARRAY* deviceServiceData) {
    // Of the notifications delivered to all sinks, every second one is stored.
    if (g_ReadDataToggle.fetch_xor(1) == 1) {
        StoreReceivedChunk(deviceServiceData);
        SetEvent(m_hReadDataEvent);
    }
    return S_OK;
}

// Copies the chunk into the staging area and appends it to the receive buffer. Nothing
// is written past the buffer and no byte is dropped without a report: a chunk larger than
// the staging area is cut, and a chunk that doesn't fit behind the unread bytes (after
// moving them to the front) keeps what fits.
void CMBDeviceServiceEvents::StoreReceivedChunk(SAFEARRAY* data) {
    const ULONG total = ElementCount(data);
    ULONG dropped = 0;
    EnterCriticalSection(&m_Lock);
    ULONG copied = 0;
    if (FAILED(CopyByteArray(data, m_Staging, RECEIVE_BUFFER_SIZE, &copied))) {
        copied = 0;
    }
    m_LastChunkSize = copied;
    if (m_WritePosition + copied > RECEIVE_BUFFER_SIZE) {
        CompactLocked();
    }
    ULONG kept = copied;
    if (m_WritePosition + kept > RECEIVE_BUFFER_SIZE) {
        kept = RECEIVE_BUFFER_SIZE - m_WritePosition;
    }
    std::memcpy(m_Receive + m_WritePosition, m_Staging, kept);
    m_WritePosition += kept;
    dropped = (total > copied ? total - copied : 0) + (copied - kept);
    LeaveCriticalSection(&m_Lock);

    if (dropped != 0) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_EVENTS,
                    "OnReadData: %u of %u received bytes dropped, receive buffer full", dropped,
                    total);
        OutputDebugStringW(L"DS : OnReadData : received bytes dropped, receive buffer full\n");
    }
}

HRESULT CMBDeviceServiceEvents::OnInterfaceStateChange(
    BSTR interfaceID, MBN_DEVICE_SERVICES_INTERFACE_STATE stateChange) {
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_EVENTS, "OnInterfaceStateChange: state %d",
                static_cast<int>(stateChange));
    return S_OK;
}

HRESULT CMBDeviceServiceEvents::CopyByteArray(SAFEARRAY* array, void* buffer, ULONG capacity,
                                              ULONG* copied) {
    if (array == nullptr || buffer == nullptr || copied == nullptr) {
        return E_FAIL;
    }
    // Each element is fetched into one byte with one index: an array of wider elements
    // or of more dimensions would be written or read past them.
    if (SafeArrayGetDim(array) != 1 || SafeArrayGetElemsize(array) != 1) {
        return E_INVALIDARG;
    }
    LONG lower = 0;
    LONG upper = 0;
    HRESULT hr = SafeArrayGetLBound(array, 1, &lower);
    if (FAILED(hr)) {
        return hr;
    }
    hr = SafeArrayGetUBound(array, 1, &upper);
    if (FAILED(hr)) {
        return hr;
    }
    // An empty array whose lower bound is LONG's minimum reports LONG's maximum as its
    // upper bound: the descriptor's count tells it from one of 2^32 elements.
    if (array->rgsabound[0].cElements == 0 || upper < lower) {
        return E_FAIL;
    }
    BYTE* out = static_cast<BYTE*>(buffer);
    ULONG stored = 0;
    for (LONG index = lower; index <= upper; ++index) {
        BYTE value = 0;
        hr = SafeArrayGetElement(array, &index, &value);
        if (SUCCEEDED(hr) && stored < capacity) {
            out[stored++] = value;
        }
        if (index == upper) {
            break;  // upper may be LONG's maximum
        }
    }
    *copied = stored;
    return hr;
}

bool CMBDeviceServiceEvents::IsDataAvailable() {
    EnterCriticalSection(&m_Lock);
    const bool available = m_ReadPosition != m_WritePosition;
    LeaveCriticalSection(&m_Lock);
    if (!available) {
        OutputDebugStringW(L"Data is NOT available");
        Sleep(20);
    }
    return available;
}

// With nothing unread this hands out nothing: the last chunk has already been read, and
// handing it out again would feed the flash library bytes twice.
HRESULT CMBDeviceServiceEvents::TakeReceivedData(void* buffer, ULONG* count, ULONG requested) {
    IsDataAvailable();
    bool lowered = false;
    EnterCriticalSection(&m_Lock);
    const ULONG unread = UnreadLocked();
    ULONG taken = 0;
    if (unread != 0) {
        taken = requested;
        if (unread < requested) {
            lowered = true;
            taken = unread;
        }
        std::memcpy(buffer, m_Receive + m_ReadPosition, taken);
        m_ReadPosition += taken;
        if (m_ReadPosition > COMPACT_READ_THRESHOLD) {
            ResetIfDrainedLocked();
        }
    }
    *count = taken;
    LeaveCriticalSection(&m_Lock);
    if (lowered) {
        std::fputs(
            "\nZebrun:Updating number of bytes to read As available bytes are less than "
            "requested",
            stdout);
    }
    return S_OK;
}

void CMBDeviceServiceEvents::CompactReceiveBuffer() {
    EnterCriticalSection(&m_Lock);
    ResetIfDrainedLocked();
    LeaveCriticalSection(&m_Lock);
}

void CMBDeviceServiceEvents::ResetIfDrainedLocked() {
    if (m_ReadPosition == m_WritePosition) {
        std::memset(m_Receive, 0, m_ReadPosition);
        m_ReadPosition = 0;
        m_WritePosition = 0;
    }
}

// Moves the unread bytes to the front so a new chunk finds room behind them.
void CMBDeviceServiceEvents::CompactLocked() {
    const ULONG unread = UnreadLocked();
    std::memmove(m_Receive, m_Receive + m_ReadPosition, unread);
    std::memset(m_Receive + unread, 0, RECEIVE_BUFFER_SIZE - unread);
    m_ReadPosition = 0;
    m_WritePosition = unread;
}

void CMBDeviceServiceEvents::GetLastChunkSize(ULONG* count) {
    EnterCriticalSection(&m_Lock);
    *count = m_LastChunkSize;
    LeaveCriticalSection(&m_Lock);
}

void CMBDeviceServiceEvents::CopyQueryResponse(void* buffer, ULONG capacity, ULONG* length) {
    EnterCriticalSection(&m_Lock);
    const ULONG n = m_QueryResponseLength < capacity ? m_QueryResponseLength : capacity;
    std::memcpy(buffer, m_QueryResponse, n);
    *length = n;
    LeaveCriticalSection(&m_Lock);
}

void CMBDeviceServiceEvents::CopySetResponse(void* buffer, ULONG capacity, ULONG* length) {
    EnterCriticalSection(&m_Lock);
    const ULONG n = m_SetResponseLength < capacity ? m_SetResponseLength : capacity;
    std::memcpy(buffer, m_SetResponse, n);
    *length = n;
    LeaveCriticalSection(&m_Lock);
}

void CMBDeviceServiceEvents::SnapshotReceiveState(ReceiveSnapshot* snapshot) {
    EnterCriticalSection(&m_Lock);
    snapshot->LastChunkSize = m_LastChunkSize;
    snapshot->WritePosition = m_WritePosition;
    snapshot->ReadPosition = m_ReadPosition;
    std::memcpy(snapshot->Buffer, m_Receive, sizeof(m_Receive));
    LeaveCriticalSection(&m_Lock);
}
