#pragma once
// CMBDeviceService: one MBIM device service of the modem, chosen by its id, reached
// through the Mobile Broadband API. It turns the API's asynchronous requests into
// synchronous exchanges with fixed time-outs: command exchanges inside their own command
// session, the data session, and the flash data path. The device object holds each
// instance through a shared pointer.
//
// Exchanges on one object must not overlap: each kind has a single request-id field and
// completion event in the sink.

#include <windows.h>
#include <mbnapi.h>

#include <string>

class CMBDeviceServiceEvents;

constexpr DWORD SESSION_TIMEOUT_MS = 10000;      // session open/close, query completion
constexpr DWORD SET_COMMAND_TIMEOUT_MS = 15000;  // set-command completion
constexpr DWORD WRITE_TIMEOUT_MS = 10000;
constexpr DWORD READ_WAIT_MS = 300;
constexpr DWORD INTERFACE_SEARCH_ATTEMPTS = 10;
constexpr DWORD INTERFACE_SEARCH_PAUSE_MS = 100;
constexpr DWORD DATA_SESSION_OPEN_PAUSE_MS = 100;
constexpr size_t VERSION_TEXT_SIZE = 100;
constexpr size_t SERVICE_ID_CHARS = 50;

class CMBDeviceService {
public:
    explicit CMBDeviceService(const WCHAR* serviceId);
    CMBDeviceService(const CMBDeviceService&) = delete;
    CMBDeviceService& operator=(const CMBDeviceService&) = delete;

    virtual ~CMBDeviceService();
    virtual HRESULT Initialize();
    virtual void Uninitialize();
    virtual HRESULT CreateEvents();
    virtual void CloseEvents();
    virtual HRESULT AdviseEvents();
    virtual HRESULT UnadviseEvents();
    virtual void SetEventsContext(ULONG_PTR context);
    // Gives back the reference on *ppManager that the caller took for this call.
    virtual HRESULT FindInterface(IMbnInterfaceManager** ppManager, IMbnInterface** ppInterface);
    virtual HRESULT FindDeviceService(BSTR wantedId, IMbnDeviceServicesContext* context,
                                      IMbnDeviceService** ppMbnDeviceService);
    virtual HRESULT SendVendorText(const char* text);
    // A one-dimensional VT_UI1 array with lower bound 0 holding a copy of the bytes; the
    // caller destroys it. Null on failure.
    virtual SAFEARRAY* CreateByteArray(const void* bytes, LONG count);
    virtual HRESULT SetVendorTextCommand(IMbnDeviceService** ppService, ULONG* requestIdField,
                                         const char* text);

    // Command exchanges, each in its own command session. A response longer than
    // `responseCapacity` is cut to it; *responseSize is left unchanged when no response
    // arrived, so callers set it to 0 first.
    HRESULT QueryServiceCommand(ULONG commandId, const void* payload, ULONG payloadSize,
                                void* response, ULONG responseCapacity, ULONG* responseSize);
    // Command 1 neither waits for nor checks the session close and counts a missing
    // completion as success. `response` and `responseSize` may be null.
    HRESULT SetServiceCommand(ULONG commandId, const void* payload, ULONG payloadSize,
                              void* response, ULONG responseCapacity, ULONG* responseSize);
    HRESULT OpenServiceDataSession();
    HRESULT CloseServiceDataSession();

    // 100-byte, NUL-terminated narrow texts; never null.
    char* GetCurrentFirmwareVersion() { return m_szCurrentFwVersion; }
    char* GetImageFirmwareVersion() { return m_szImageFwVersion; }

    // Flash data path (the flash library's serial port).
    HRESULT WriteDataToDevice(const void* data, ULONG length);
    HRESULT WriteFlashData(const void* data, ULONG length);
    HRESULT ReadDataFromDevice(void* buffer, ULONG* count, ULONG requested);
    // The size of the most recent received chunk, read or not.
    HRESULT GetAvailableBytes(ULONG* count);

    // The BSTR in the ANSI code page; the terminating zero byte is part of the result.
    static std::string ToNarrow(BSTR text);

    // The full path of the firmware image file on the local disk, or empty.
    std::string FindFirmwareImage();

    // Read by the device object.
    IMbnInterface* GetMbnInterface() const { return m_pMbnInterface; }
    IMbnDeviceService* GetMbnDeviceService() const { return m_pMbnDeviceService; }
    CMBDeviceServiceEvents* GetEventSink() const { return m_pEvents; }
    const WCHAR* GetChosenServiceId() const { return m_ChosenServiceId; }

protected:
    // All references below are this object's own, released by the destructor.
    IMbnDeviceServicesManager* m_pServicesManager = nullptr;
    IMbnDeviceServicesContext* m_pServicesContext = nullptr;
    IMbnDeviceService* m_pMbnDeviceService = nullptr;
    IMbnInterfaceManager* m_pInterfaceManager = nullptr;
    IMbnInterface* m_pMbnInterface = nullptr;
    IConnectionPointContainer* m_pConnectionPointContainer = nullptr;
    IConnectionPoint* m_pConnectionPoint = nullptr;
    CMBDeviceServiceEvents* m_pEvents = nullptr;  // one reference
    IUnknown* m_pEventsUnknown = nullptr;         // a second reference; the one advised
    // Created by Initialize, closed by Uninitialize; nothing waits on them.
    HANDLE m_hSpareEvent1 = nullptr;
    HANDLE m_hSpareEvent2 = nullptr;
    WCHAR m_ChosenServiceId[SERVICE_ID_CHARS] = {};
    DWORD m_AdviseCookie = 0;
    BSTR m_WantedServiceId = nullptr;
    char m_szCurrentFwVersion[VERSION_TEXT_SIZE] = {};
    char m_szImageFwVersion[VERSION_TEXT_SIZE] = {};

private:
    HRESULT CloseCommandSessionAndWait();
};
