#pragma once
// CMBDeviceServiceEvents: the sink a CMBDeviceService advises on the device-services
// manager. It turns the API's completions into signals of its auto-reset events (each
// waited on by one operation of the owning service), matches session and command
// completions to the request ids its own service received, keeps the command responses,
// and collects the bytes the modem sends for the flash library's reads.

#include <windows.h>
#include <mbnapi.h>

#include <atomic>

// Process-wide, shared by every sink (one per device service). The API hands every
// notification to every advised sink in advise order; these toggles let only every
// second delivery through, so exactly one of the two open services acts on it.
extern std::atomic<UCHAR> g_ReadDataToggle;
extern std::atomic<UCHAR> g_WriteDoneToggle;

constexpr ULONG RECEIVE_BUFFER_SIZE = 700;    // staging area and receive buffer
constexpr ULONG RESPONSE_BUFFER_SIZE = 4096;  // each command response
constexpr ULONG COMPACT_READ_THRESHOLD = 500;

class CMBDeviceServiceEvents : public IMbnDeviceServicesEvents {
public:
    // On success *ppEvents holds the object with reference count 0; the caller takes the
    // first reference.
    static HRESULT CreateInstance(CMBDeviceServiceEvents** ppEvents);

    // IUnknown
    STDMETHOD(QueryInterface)(REFIID riid, void** ppv) override;
    STDMETHOD_(ULONG, AddRef)() override;
    STDMETHOD_(ULONG, Release)() override;

    // IMbnDeviceServicesEvents; these run on the API's notification threads.
    STDMETHOD(OnQuerySupportedCommandsComplete)
    (IMbnDeviceService* service, SAFEARRAY* commands, HRESULT status, ULONG requestID) override;
    STDMETHOD(OnOpenCommandSessionComplete)
    (IMbnDeviceService* service, HRESULT status, ULONG requestID) override;
    STDMETHOD(OnCloseCommandSessionComplete)
    (IMbnDeviceService* service, HRESULT status, ULONG requestID) override;
    STDMETHOD(OnSetCommandComplete)
    (IMbnDeviceService* service, ULONG responseID, SAFEARRAY* deviceServiceData, HRESULT status,
     ULONG requestID) override;
    STDMETHOD(OnQueryCommandComplete)
    (IMbnDeviceService* service, ULONG responseID, SAFEARRAY* deviceServiceData, HRESULT status,
     ULONG requestID) override;
    STDMETHOD(OnEventNotification)
    (IMbnDeviceService* service, ULONG eventID, SAFEARRAY* deviceServiceData) override;
    STDMETHOD(OnOpenDataSessionComplete)
    (IMbnDeviceService* service, HRESULT status, ULONG requestID) override;
    STDMETHOD(OnCloseDataSessionComplete)
    (IMbnDeviceService* service, HRESULT status, ULONG requestID) override;
    STDMETHOD(OnWriteDataComplete)
    (IMbnDeviceService* service, HRESULT status, ULONG requestID) override;
    STDMETHOD(OnReadData)(IMbnDeviceService* service, SAFEARRAY* deviceServiceData) override;
    STDMETHOD(OnInterfaceStateChange)
    (BSTR interfaceID, MBN_DEVICE_SERVICES_INTERFACE_STATE stateChange) override;

    virtual ~CMBDeviceServiceEvents();

    // Request-id fields: the owning service passes their addresses to its requests, and
    // the API stores the new request's id there.
    virtual ULONG* OpenCommandSessionRequestId() { return &m_OpenCommandSessionRequestId; }
    virtual ULONG* CloseCommandSessionRequestId() { return &m_CloseCommandSessionRequestId; }
    virtual ULONG* OpenDataSessionRequestId() { return &m_OpenDataSessionRequestId; }
    virtual ULONG* CloseDataSessionRequestId() { return &m_CloseDataSessionRequestId; }
    virtual ULONG* SetCommandRequestId() { return &m_SetCommandRequestId; }
    virtual ULONG* QueryCommandRequestId() { return &m_QueryCommandRequestId; }
    virtual ULONG* WriteDataRequestId() { return &m_WriteDataRequestId; }
    virtual ULONG SpareRequestId() { return m_SpareRequestId; }

    virtual HANDLE OpenCommandSessionEvent() { return m_hOpenCommandSessionEvent; }
    virtual HANDLE CloseCommandSessionEvent() { return m_hCloseCommandSessionEvent; }
    virtual HANDLE SetCommandEvent() { return m_hSetCommandEvent; }
    virtual HANDLE QueryCommandEvent() { return m_hQueryCommandEvent; }
    virtual HANDLE OpenDataSessionEvent() { return m_hOpenDataSessionEvent; }
    virtual HANDLE CloseDataSessionEvent() { return m_hCloseDataSessionEvent; }
    virtual HANDLE ReadDataEvent() { return m_hReadDataEvent; }
    virtual HANDLE WriteDataEvent() { return m_hWriteDataEvent; }

    virtual void SetCommandFlag(LONG value) { m_Flag.store(value); }
    // Copies the bytes of a one-dimensional byte array, at most `capacity` of them; the
    // rest are read and dropped. An empty array fails without writing *copied, and so
    // does one of other dimensions or of elements wider than a byte (E_INVALIDARG).
    virtual HRESULT CopyByteArray(SAFEARRAY* array, void* buffer, ULONG capacity, ULONG* copied);
    virtual HRESULT CreateCompletionEvents();
    virtual void CloseCompletionEvents();

    // Read path. All of them take the sink's lock for the receive state.
    bool IsDataAvailable();
    HRESULT TakeReceivedData(void* buffer, ULONG* count, ULONG requested);
    void CompactReceiveBuffer();
    void GetLastChunkSize(ULONG* count);

    // Command responses, copied out under the sink's lock: at most `capacity` bytes of
    // the stored response; *length receives the number copied.
    void CopyQueryResponse(void* buffer, ULONG capacity, ULONG* length);
    void CopySetResponse(void* buffer, ULONG capacity, ULONG* length);

    void SetContext(void* context) { m_pContext.store(context); }

    // For tests and diagnostics: a consistent copy of the receive state.
    struct ReceiveSnapshot {
        ULONG LastChunkSize;
        ULONG WritePosition;
        ULONG ReadPosition;
        BYTE Buffer[RECEIVE_BUFFER_SIZE];
    };
    void SnapshotReceiveState(ReceiveSnapshot* snapshot);

private:
    CMBDeviceServiceEvents();
    HRESULT InitializeLock();
    bool MatchesRequest(const ULONG* field, ULONG requestID) const;
    void StoreResponse(SAFEARRAY* data, BYTE* buffer, ULONG* length);
    void StoreReceivedChunk(SAFEARRAY* data);
    ULONG UnreadLocked() const { return m_WritePosition - m_ReadPosition; }
    void CompactLocked();
    void ResetIfDrainedLocked();

    std::atomic<LONG> m_cRef{0};
    CRITICAL_SECTION m_Lock;  // guards the receive state and the response buffers
    bool m_bLockInitialized = false;
    std::atomic<void*> m_pContext{nullptr};  // set by the owning service, read by nobody

    // Written by the API inside the request call on the requesting thread, read by the
    // notification threads: accessed through std::atomic_ref on both sides.
    ULONG m_OpenCommandSessionRequestId = 0;
    ULONG m_CloseCommandSessionRequestId = 0;
    ULONG m_OpenDataSessionRequestId = 0;
    ULONG m_CloseDataSessionRequestId = 0;
    ULONG m_SetCommandRequestId = 0;
    ULONG m_QueryCommandRequestId = 0;
    ULONG m_WriteDataRequestId = 0;
    ULONG m_SpareRequestId = 0;

    // Created at construction, closed by the destructor; the handles don't change between.
    HANDLE m_hOpenCommandSessionEvent = nullptr;
    HANDLE m_hCloseCommandSessionEvent = nullptr;
    HANDLE m_hSetCommandEvent = nullptr;
    HANDLE m_hQueryCommandEvent = nullptr;
    HANDLE m_hOpenDataSessionEvent = nullptr;
    HANDLE m_hCloseDataSessionEvent = nullptr;
    HANDLE m_hWriteDataEvent = nullptr;
    HANDLE m_hReadDataEvent = nullptr;

    std::atomic<LONG> m_Flag{0};

    // Receive state; guarded by m_Lock. ReadPosition <= WritePosition <= RECEIVE_BUFFER_SIZE.
    BYTE m_Staging[RECEIVE_BUFFER_SIZE] = {};
    BYTE m_Receive[RECEIVE_BUFFER_SIZE] = {};
    ULONG m_LastChunkSize = 0;
    ULONG m_WritePosition = 0;
    ULONG m_ReadPosition = 0;

    // Guarded by m_Lock.
    BYTE m_QueryResponse[RESPONSE_BUFFER_SIZE] = {};
    ULONG m_QueryResponseLength = 0;
    BYTE m_SetResponse[RESPONSE_BUFFER_SIZE] = {};
    ULONG m_SetResponseLength = 0;
};
