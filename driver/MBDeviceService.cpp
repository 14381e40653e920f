#include "MBDeviceService.h"

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <cstring>
#include <cwchar>
#include <cwctype>
#include <new>

#include "EventSink.h"
#include "Internal.h"
#include "Trace.h"

BRELK_TRACE_UNIT(MBDeviceService);

namespace {

template <class T>
void SafeRelease(T*& pointer) {
    if (pointer != nullptr) {
        pointer->Release();
        pointer = nullptr;
    }
}

bool SameIdIgnoringCase(const WCHAR* a, const WCHAR* b) {
    if (a == nullptr || b == nullptr) {
        return a == b;
    }
    for (;; ++a, ++b) {
        const wint_t ca = std::towlower(static_cast<wint_t>(*a));
        const wint_t cb = std::towlower(static_cast<wint_t>(*b));
        if (ca != cb) {
            return false;
        }
        if (ca == 0) {
            return true;
        }
    }
}

}  // namespace

CMBDeviceService::CMBDeviceService(const WCHAR* serviceId)
    : m_WantedServiceId(SysAllocString(serviceId)) {}

CMBDeviceService::~CMBDeviceService() {
    SysFreeString(m_WantedServiceId);
    m_WantedServiceId = nullptr;
    Uninitialize();
    SafeRelease(m_pConnectionPoint);
    SafeRelease(m_pConnectionPointContainer);
    SafeRelease(m_pMbnInterface);
    SafeRelease(m_pInterfaceManager);
    SafeRelease(m_pMbnDeviceService);
    SafeRelease(m_pServicesContext);
    SafeRelease(m_pServicesManager);
}

HRESULT CMBDeviceService::Initialize() {
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_TRANSPORT, "Initialize: entry");
    HRESULT hr = CreateEvents();
    if (FAILED(hr)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_TRANSPORT, "Initialize: CreateEvents %!HRESULT!",
                    hr);
        return hr;
    }

    hr = CoCreateInstance(CLSID_MbnInterfaceManager, nullptr, CLSCTX_ALL, IID_IMbnInterfaceManager,
                          reinterpret_cast<void**>(&m_pInterfaceManager));
    if (FAILED(hr) || m_pInterfaceManager == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_TRANSPORT,
                    "Initialize: CoCreateInstance(MbnInterfaceManager) %!HRESULT!", hr);
        return hr;
    }

    hr = CoCreateInstance(CLSID_MbnDeviceServicesManager, nullptr, CLSCTX_ALL,
                          IID_IMbnDeviceServicesManager,
                          reinterpret_cast<void**>(&m_pServicesManager));
    if (FAILED(hr) || m_pServicesManager == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_TRANSPORT,
                    "Initialize: CoCreateInstance(MbnDeviceServicesManager) %!HRESULT!", hr);
        return hr;
    }

    hr = AdviseEvents();
    if (FAILED(hr)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_TRANSPORT, "Initialize: AdviseEvents %!HRESULT!",
                    hr);
        return hr;
    }

    // The modem's interface may not be up yet when the device starts.
    for (DWORD attempt = 1; attempt <= INTERFACE_SEARCH_ATTEMPTS; ++attempt) {
        m_pInterfaceManager->AddRef();
        hr = FindInterface(&m_pInterfaceManager, &m_pMbnInterface);
        if (SUCCEEDED(hr)) {
            break;
        }
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_TRANSPORT,
                    "Initialize: FindInterface attempt %u %!HRESULT!", attempt, hr);
        Sleep(INTERFACE_SEARCH_PAUSE_MS);
    }
    if (FAILED(hr)) {
        return hr;
    }
    if (!CheckAssertion(m_pMbnInterface != nullptr,
                        L"MBDeviceService: assertion failed: m_pMbnInterface")) {
        // A search that succeeded without an interface leaves nothing to ask for services.
        return E_POINTER;
    }

    BSTR interfaceId = nullptr;
    hr = m_pMbnInterface->get_InterfaceID(&interfaceId);
    if (FAILED(hr)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_TRANSPORT,
                    "Initialize: get_InterfaceID %!HRESULT!", hr);
        return hr;
    }

    MBN_INTERFACE_CAPS caps = {};
    if (SUCCEEDED(m_pMbnInterface->GetInterfaceCapability(&caps))) {
        try {
            const std::string firmware = ToNarrow(caps.firmwareInfo);
            TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_TRANSPORT, "Initialize: firmware %s",
                        firmware.c_str());
        } catch (const std::bad_alloc&) {
        }
        for (BSTR text : {caps.customDataClass, caps.customBandClass, caps.deviceID,
                          caps.manufacturer, caps.model, caps.firmwareInfo}) {
            SysFreeString(text);
        }
    }

    hr = m_pServicesManager->GetDeviceServicesContext(interfaceId, &m_pServicesContext);
    SysFreeString(interfaceId);
    if (FAILED(hr)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_TRANSPORT,
                    "Initialize: GetDeviceServicesContext %!HRESULT!", hr);
        return hr;
    }
    if (m_pServicesContext == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_TRANSPORT,
                    "Initialize: no device services context %!HRESULT!", hr);
        return hr;
    }

    hr = FindDeviceService(m_WantedServiceId, m_pServicesContext, &m_pMbnDeviceService);
    if (FAILED(hr)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_TRANSPORT,
                    "Initialize: FindDeviceService %!HRESULT!", hr);
        return hr;
    }
    if (!CheckAssertion(m_pMbnDeviceService != nullptr,
                        L"MBDeviceService: assertion failed: m_pMbnDeviceService")) {
        return E_POINTER;
    }
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_TRANSPORT, "Initialize: exit %!HRESULT!", S_OK);
    return S_OK;
}

void CMBDeviceService::Uninitialize() {
    try {
        CloseEvents();
        const HRESULT hr = UnadviseEvents();
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_TRANSPORT,
                    "Uninitialize: UnadviseEvents %!HRESULT!", hr);
    } catch (...) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_TRANSPORT, "Uninitialize: exception");
    }
}

HRESULT CMBDeviceService::CreateEvents() {
    m_hSpareEvent1 = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    m_hSpareEvent2 = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (m_hSpareEvent1 == nullptr || m_hSpareEvent2 == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_TRANSPORT, "CreateEvents: failed");
        return E_FAIL;
    }
    return S_OK;
}

void CMBDeviceService::CloseEvents() {
    for (HANDLE* event : {&m_hSpareEvent1, &m_hSpareEvent2}) {
        if (*event != nullptr) {
            CloseHandle(*event);
            *event = nullptr;
        }
    }
}

HRESULT CMBDeviceService::AdviseEvents() {
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_TRANSPORT, "AdviseEvents: entry");
    HRESULT hr = S_OK;
    if (m_pEvents == nullptr) {
        CMBDeviceServiceEvents* events = nullptr;
        hr = CMBDeviceServiceEvents::CreateInstance(&events);
        if (FAILED(hr) || events == nullptr) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_TRANSPORT,
                        "AdviseEvents: sink creation %!HRESULT!", hr);
            return FAILED(hr) ? hr : E_FAIL;
        }
        m_pEvents = events;
        m_pEvents->AddRef();
        hr = m_pEvents->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&m_pEventsUnknown));
        if (FAILED(hr)) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_TRANSPORT,
                        "AdviseEvents: QueryInterface(IUnknown) %!HRESULT!", hr);
            return hr;
        }
    }

    hr = m_pServicesManager->QueryInterface(IID_IConnectionPointContainer,
                                            reinterpret_cast<void**>(&m_pConnectionPointContainer));
    if (FAILED(hr)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_TRANSPORT,
                    "AdviseEvents: QueryInterface(IConnectionPointContainer) %!HRESULT!", hr);
        return hr;
    }
    hr = m_pConnectionPointContainer->FindConnectionPoint(IID_IMbnDeviceServicesEvents,
                                                          &m_pConnectionPoint);
    if (FAILED(hr)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_TRANSPORT,
                    "AdviseEvents: FindConnectionPoint %!HRESULT!", hr);
        return hr;
    }
    hr = m_pConnectionPoint->Advise(m_pEventsUnknown, &m_AdviseCookie);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_TRANSPORT, "AdviseEvents: exit %!HRESULT!", hr);
    return hr;
}

HRESULT CMBDeviceService::UnadviseEvents() {
    HRESULT hr = E_FAIL;
    if (m_pConnectionPoint != nullptr) {
        hr = m_pConnectionPoint->Unadvise(m_AdviseCookie);
        if (FAILED(hr)) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_TRANSPORT,
                        "UnadviseEvents: Unadvise %!HRESULT!", hr);
        }
    }
    SafeRelease(m_pEventsUnknown);
    SafeRelease(m_pEvents);
    return hr;
}

void CMBDeviceService::SetEventsContext(ULONG_PTR context) {
    if (m_pEvents != nullptr) {
        m_pEvents->SetContext(reinterpret_cast<void*>(context));
    }
}

HRESULT CMBDeviceService::FindInterface(IMbnInterfaceManager** ppManager,
                                        IMbnInterface** ppInterface) {
    if (ppManager == nullptr || *ppManager == nullptr || ppInterface == nullptr) {
        return E_FAIL;
    }
    *ppInterface = nullptr;
    IMbnInterfaceManager* manager = *ppManager;

    SAFEARRAY* interfaces = nullptr;
    LONG lower = 0;
    LONG upper = -1;
    HRESULT hr = manager->GetInterfaces(&interfaces);
    if (SUCCEEDED(hr)) {
        hr = SafeArrayGetLBound(interfaces, 1, &lower);
    }
    if (SUCCEEDED(hr)) {
        hr = SafeArrayGetUBound(interfaces, 1, &upper);
    }
    if (FAILED(hr)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_TRANSPORT,
                    "FindInterface: GetInterfaces %!HRESULT!", hr);
    }

    IUnknown* element = nullptr;
    for (LONG index = lower; SUCCEEDED(hr) && index <= upper; ++index) {
        SafeRelease(element);
        hr = SafeArrayGetElement(interfaces, &index, &element);
        IMbnInterface* candidate = nullptr;
        if (SUCCEEDED(hr)) {
            hr = element != nullptr ? element->QueryInterface(IID_IMbnInterface,
                                                              reinterpret_cast<void**>(&candidate))
                                    : E_POINTER;
        }
        BSTR interfaceId = nullptr;
        if (SUCCEEDED(hr)) {
            hr = candidate->get_InterfaceID(&interfaceId);
        }
        if (SUCCEEDED(hr)) {
            MBN_READY_STATE readyState = MBN_READY_STATE_OFF;
            hr = candidate->GetReadyState(&readyState);
            TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_TRANSPORT,
                        "FindInterface: ready state %d", static_cast<int>(readyState));
        }
        if (SUCCEEDED(hr)) {
            hr = manager->GetInterface(interfaceId, ppInterface);
        }
        SysFreeString(interfaceId);
        SafeRelease(candidate);
        if (SUCCEEDED(hr) && *ppInterface != nullptr) {
            break;
        }
        if (FAILED(hr)) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_TRANSPORT,
                        "FindInterface: element %d skipped %!HRESULT!", index, hr);
        }
        if (index == upper) {
            break;
        }
        hr = S_OK;  // a skipped element doesn't end the search
    }
    SafeRelease(element);
    if (interfaces != nullptr) {
        SafeArrayDestroy(interfaces);
    }
    manager->Release();

    // A manager that lists no usable interface has not found one: the caller retries.
    if (SUCCEEDED(hr) && *ppInterface == nullptr) {
        hr = E_FAIL;
    }
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_TRANSPORT, "FindInterface: exit %!HRESULT!",
                hr);
    return hr;
}

HRESULT CMBDeviceService::FindDeviceService(BSTR wantedId, IMbnDeviceServicesContext* context,
                                            IMbnDeviceService** ppMbnDeviceService) {
    if (context == nullptr || ppMbnDeviceService == nullptr) {
        return E_FAIL;
    }
    *ppMbnDeviceService = nullptr;

    SAFEARRAY* services = nullptr;
    HRESULT hr = context->EnumerateDeviceServices(&services);
    LONG lower = 0;
    LONG upper = -1;
    if (SUCCEEDED(hr)) {
        hr = SafeArrayGetLBound(services, 1, &lower);
    }
    if (SUCCEEDED(hr)) {
        hr = SafeArrayGetUBound(services, 1, &upper);
    }
    if (FAILED(hr)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_TRANSPORT,
                    "FindDeviceService: EnumerateDeviceServices %!HRESULT!", hr);
        SafeArrayDestroy(services);
        return hr;
    }

    for (LONG index = lower; index <= upper; ++index) {
        MBN_DEVICE_SERVICE record = {};
        hr = SafeArrayGetElement(services, &index, &record);
        if (FAILED(hr)) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_TRANSPORT,
                        "FindDeviceService: element %d %!HRESULT!", index, hr);
        } else if (SameIdIgnoringCase(record.deviceServiceID, wantedId)) {
            wcsncpy(m_ChosenServiceId, record.deviceServiceID, SERVICE_ID_CHARS - 1);
            m_ChosenServiceId[SERVICE_ID_CHARS - 1] = 0;
            BSTR chosen = SysAllocString(m_ChosenServiceId);
            hr = chosen != nullptr ? context->GetDeviceService(chosen, ppMbnDeviceService)
                                   : E_OUTOFMEMORY;
            SysFreeString(chosen);
            // A success without a service counts as a failed record: the next may match.
            if (SUCCEEDED(hr) &&
                CheckAssertion(*ppMbnDeviceService != nullptr,
                               L"MBDeviceService: assertion failed: *ppMbnDeviceService != NULL")) {
                SysFreeString(record.deviceServiceID);
                break;
            }
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_TRANSPORT,
                        "FindDeviceService: GetDeviceService %!HRESULT!", hr);
        }
        SysFreeString(record.deviceServiceID);
        if (index == upper) {
            break;
        }
    }
    SafeArrayDestroy(services);
    hr = *ppMbnDeviceService != nullptr ? S_OK : E_FAIL;
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_TRANSPORT, "FindDeviceService: exit %!HRESULT!",
                hr);
    return hr;
}

std::string CMBDeviceService::ToNarrow(BSTR text) {
    const UINT length = SysStringLen(text);
    if (length == 0) {
        return std::string(1, '\0');
    }
    const int size = WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(length), nullptr, 0,
                                         nullptr, nullptr);
    const size_t n = size > 0 ? static_cast<size_t>(size) : 0;
    std::string narrow(n + 1, '\0');
    if (n != 0) {
        WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(length), narrow.data(),
                            static_cast<int>(n), nullptr, nullptr);
    }
    return narrow;
}

// ---- Data paths

SAFEARRAY* CMBDeviceService::CreateByteArray(const void* bytes, LONG count) {
    SAFEARRAYBOUND bound = {static_cast<ULONG>(count), 0};
    SAFEARRAY* array = SafeArrayCreate(VT_UI1, 1, &bound);
    if (array == nullptr) {
        OutputDebugStringW(L"\n Fail to create SafeArrayCreate");
        return nullptr;
    }
    void* data = nullptr;
    if (FAILED(SafeArrayAccessData(array, &data))) {
        OutputDebugStringW(L"\n fail to SafeArrayAccessData");
        SafeArrayDestroy(array);
        return nullptr;
    }
    if (count > 0) {
        std::memcpy(data, bytes, static_cast<size_t>(count));
    }
    if (FAILED(SafeArrayUnaccessData(array))) {
        OutputDebugStringW(L"\n Fail to SafeArrayUnaccessData");
    }
    return array;
}

HRESULT CMBDeviceService::WriteDataToDevice(const void* data, ULONG length) {
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_TRANSPORT, "WriteDataToDevice: entry, %u bytes",
                length);
    const HRESULT hr = WriteFlashData(data, length);
    if (FAILED(hr)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_TRANSPORT,
                    "WriteDataToDevice: WriteFlashData %!HRESULT!", hr);
    }
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_TRANSPORT, "WriteDataToDevice: exit %!HRESULT!",
                hr);
    return hr;
}

HRESULT CMBDeviceService::WriteFlashData(const void* data, ULONG length) {
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_TRANSPORT, "WriteFlashData: data %p length %u",
                data, length);
    if (m_pEvents == nullptr || m_pMbnDeviceService == nullptr) {
        return E_FAIL;
    }
    SAFEARRAY* array = CreateByteArray(data, static_cast<LONG>(length));
    if (array == nullptr) {
        OutputDebugStringW(L"DSS : Fail to create safearray\n");
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_TRANSPORT,
                    "WriteFlashData: byte array not created");
        return E_FAIL;
    }

    ResetEvent(m_pEvents->WriteDataEvent());
    const HRESULT hrWrite = m_pMbnDeviceService->WriteData(array, m_pEvents->WriteDataRequestId());
    if (FAILED(hrWrite)) {
        OutputDebugStringW(L"DSS : WriteFlashData over MBIM : FAILED to Write Data\n");
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_TRANSPORT, "WriteFlashData: WriteData %!HRESULT!",
                    hrWrite);
        SafeArrayDestroy(array);
        return hrWrite;
    }

    HRESULT hr = hrWrite;
    const DWORD wait = WaitForSingleObject(m_pEvents->WriteDataEvent(), WRITE_TIMEOUT_MS);
    if (wait == WAIT_TIMEOUT) {
        // The completion may have gone to the other open service's sink (the toggle lets
        // every second one through); the modem has taken the data either way.
        OutputDebugStringW(L"DSS : WriteFlashData over MBIM: Write Time out\n");
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_TRANSPORT, "WriteFlashData: write time-out");
        SafeArrayDestroy(array);
    } else if (wait != WAIT_OBJECT_0) {
        SafeArrayDestroy(array);
    } else {
        hr = SafeArrayDestroyData(array);
        if (FAILED(hr)) {
            OutputDebugStringW(L"\n SafeArrayDestroyData failed");
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_TRANSPORT,
                        "WriteFlashData: SafeArrayDestroyData %!HRESULT!", hr);
            SafeArrayDestroy(array);
            return hr;
        }
        hr = SafeArrayDestroy(array);
    }
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_TRANSPORT, "WriteFlashData: exit %!HRESULT!",
                hr);
    return hr;
}

HRESULT CMBDeviceService::ReadDataFromDevice(void* buffer, ULONG* count, ULONG requested) {
    if (m_pEvents == nullptr || buffer == nullptr || count == nullptr) {
        return E_FAIL;
    }
    const DWORD wait = WaitForSingleObject(m_pEvents->ReadDataEvent(), READ_WAIT_MS);
    if (wait == WAIT_TIMEOUT) {
        if (!m_pEvents->IsDataAvailable()) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_TRANSPORT,
                        "ReadDataFromDevice: time-out, no data");
            OutputDebugStringW(L"DS : ReadDataFromDevice : Timeuot while ReadDataFromDevice()");
            return E_FAIL;
        }
    } else if (wait != WAIT_OBJECT_0) {
        return E_FAIL;
    }
    return m_pEvents->TakeReceivedData(buffer, count, requested);
}

HRESULT CMBDeviceService::GetAvailableBytes(ULONG* count) {
    ULONG size = 0;
    if (m_pEvents != nullptr) {
        m_pEvents->GetLastChunkSize(&size);
    }
    if (count != nullptr) {
        *count = size;
    }
    return S_OK;
}

// ---- Command and data-session exchanges

HRESULT CMBDeviceService::CloseCommandSessionAndWait() {
    ResetEvent(m_pEvents->CloseCommandSessionEvent());
    HRESULT hr =
        m_pMbnDeviceService->CloseCommandSession(m_pEvents->CloseCommandSessionRequestId());
    if (FAILED(hr)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_TRANSPORT,
                    "CloseCommandSession: request %!HRESULT!", hr);
        return hr;
    }
    if (WaitForSingleObject(m_pEvents->CloseCommandSessionEvent(), SESSION_TIMEOUT_MS) ==
        WAIT_TIMEOUT) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_TRANSPORT, "CloseCommandSession: time-out");
        return E_FAIL;
    }
    return hr;
}

HRESULT CMBDeviceService::QueryServiceCommand(ULONG commandId, const void* payload,
                                              ULONG payloadSize, void* response,
                                              ULONG responseCapacity, ULONG* responseSize) {
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_TRANSPORT,
                "QueryServiceCommand: entry, command %u", commandId);
    if (m_pEvents == nullptr || m_pMbnDeviceService == nullptr || response == nullptr ||
        responseSize == nullptr) {
        return E_FAIL;
    }
    ResetEvent(m_pEvents->OpenCommandSessionEvent());
    HRESULT hr = m_pMbnDeviceService->OpenCommandSession(m_pEvents->OpenCommandSessionRequestId());
    if (FAILED(hr)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_TRANSPORT,
                    "QueryServiceCommand: OpenCommandSession %!HRESULT!", hr);
        return hr;
    }

    SAFEARRAY* array = nullptr;
    if (WaitForSingleObject(m_pEvents->OpenCommandSessionEvent(), SESSION_TIMEOUT_MS) ==
        WAIT_TIMEOUT) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_TRANSPORT,
                    "QueryServiceCommand: session open time-out");
    } else if (payloadSize != 0 &&
               (array = CreateByteArray(payload, static_cast<LONG>(payloadSize))) == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_TRANSPORT,
                    "QueryServiceCommand: payload array not created");
    } else {
        ResetEvent(m_pEvents->QueryCommandEvent());
        const HRESULT hrQuery =
            m_pMbnDeviceService->QueryCommand(commandId, array, m_pEvents->QueryCommandRequestId());
        if (FAILED(hrQuery)) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_TRANSPORT,
                        "QueryServiceCommand: QueryCommand %u %!HRESULT!", commandId, hrQuery);
        } else {
            const DWORD wait =
                WaitForSingleObject(m_pEvents->QueryCommandEvent(), SESSION_TIMEOUT_MS);
            if (wait == WAIT_OBJECT_0) {
                m_pEvents->CopyQueryResponse(response, responseCapacity, responseSize);
            } else {
                TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_TRANSPORT,
                            "QueryServiceCommand: no completion for command %u", commandId);
            }
        }
    }
    SafeArrayDestroy(array);

    hr = CloseCommandSessionAndWait();
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_TRANSPORT,
                "QueryServiceCommand: exit %!HRESULT!", hr);
    return hr;
}

HRESULT CMBDeviceService::SetServiceCommand(ULONG commandId, const void* payload, ULONG payloadSize,
                                            void* response, ULONG responseCapacity,
                                            ULONG* responseSize) {
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_TRANSPORT,
                "SetServiceCommand: entry, command %u", commandId);
    if (m_pEvents == nullptr || m_pMbnDeviceService == nullptr) {
        return E_FAIL;
    }
    ResetEvent(m_pEvents->OpenCommandSessionEvent());
    HRESULT hr = m_pMbnDeviceService->OpenCommandSession(m_pEvents->OpenCommandSessionRequestId());
    if (FAILED(hr)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_TRANSPORT,
                    "SetServiceCommand: OpenCommandSession for command %u %!HRESULT!", commandId,
                    hr);
        return hr;
    }

    SAFEARRAY* array = nullptr;
    if (WaitForSingleObject(m_pEvents->OpenCommandSessionEvent(), SESSION_TIMEOUT_MS) ==
        WAIT_TIMEOUT) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_TRANSPORT,
                    "SetServiceCommand: session open time-out, command %u", commandId);
        hr = E_FAIL;
    } else if (payloadSize != 0 &&
               (array = CreateByteArray(payload, static_cast<LONG>(payloadSize))) == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_TRANSPORT,
                    "SetServiceCommand: payload array not created, command %u", commandId);
    } else {
        ResetEvent(m_pEvents->SetCommandEvent());
        hr = m_pMbnDeviceService->SetCommand(commandId, array, m_pEvents->SetCommandRequestId());
        if (FAILED(hr)) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_TRANSPORT,
                        "SetServiceCommand: SetCommand %u %!HRESULT!", commandId, hr);
        } else {
            const DWORD wait =
                WaitForSingleObject(m_pEvents->SetCommandEvent(), SET_COMMAND_TIMEOUT_MS);
            if (wait == WAIT_TIMEOUT) {
                TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_TRANSPORT,
                            "SetServiceCommand: no completion for command %u", commandId);
                if (commandId != 1) {
                    hr = E_FAIL;
                }
            } else if (wait == WAIT_OBJECT_0 && commandId != 1 && response != nullptr &&
                       responseSize != nullptr) {
                m_pEvents->CopySetResponse(response, responseCapacity, responseSize);
            }
        }
    }
    SafeArrayDestroy(array);

    if (commandId == 1) {
        // The modem may already be restarting into its new firmware.
        m_pMbnDeviceService->CloseCommandSession(m_pEvents->CloseCommandSessionRequestId());
    } else {
        ResetEvent(m_pEvents->CloseCommandSessionEvent());
        if (FAILED(m_pMbnDeviceService->CloseCommandSession(
                m_pEvents->CloseCommandSessionRequestId()))) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_TRANSPORT,
                        "SetServiceCommand: CloseCommandSession failed, command %u", commandId);
            hr = E_FAIL;
        } else if (WaitForSingleObject(m_pEvents->CloseCommandSessionEvent(), SESSION_TIMEOUT_MS) ==
                   WAIT_TIMEOUT) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_TRANSPORT,
                        "SetServiceCommand: session close time-out, command %u", commandId);
            hr = E_FAIL;
        }
    }
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_TRANSPORT,
                "SetServiceCommand: exit, command %u %!HRESULT!", commandId, hr);
    return hr;
}

HRESULT CMBDeviceService::OpenServiceDataSession() {
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_TRANSPORT, "OpenServiceDataSession: entry");
    if (m_pEvents == nullptr || m_pMbnDeviceService == nullptr) {
        return E_FAIL;
    }
    ResetEvent(m_pEvents->OpenDataSessionEvent());
    HRESULT hr = m_pMbnDeviceService->OpenDataSession(m_pEvents->OpenDataSessionRequestId());
    if (FAILED(hr)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_TRANSPORT,
                    "OpenServiceDataSession: OpenDataSession %!HRESULT!", hr);
        return hr;
    }
    Sleep(DATA_SESSION_OPEN_PAUSE_MS);
    if (WaitForSingleObject(m_pEvents->OpenDataSessionEvent(), SESSION_TIMEOUT_MS) ==
        WAIT_TIMEOUT) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_TRANSPORT, "OpenServiceDataSession: time-out");
        hr = E_FAIL;
    }
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_TRANSPORT,
                "OpenServiceDataSession: exit %!HRESULT!", hr);
    return hr;
}

HRESULT CMBDeviceService::CloseServiceDataSession() {
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_TRANSPORT, "CloseServiceDataSession: entry");
    if (m_pEvents == nullptr || m_pMbnDeviceService == nullptr) {
        return E_FAIL;
    }
    ResetEvent(m_pEvents->CloseDataSessionEvent());
    HRESULT hr = m_pMbnDeviceService->CloseDataSession(m_pEvents->CloseDataSessionRequestId());
    if (FAILED(hr)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_TRANSPORT,
                    "CloseServiceDataSession: CloseDataSession %!HRESULT!", hr);
        return hr;
    }
    if (WaitForSingleObject(m_pEvents->CloseDataSessionEvent(), SESSION_TIMEOUT_MS) ==
        WAIT_TIMEOUT) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_TRANSPORT, "CloseServiceDataSession: time-out");
        hr = E_FAIL;
    }
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_TRANSPORT,
                "CloseServiceDataSession: exit %!HRESULT!", hr);
    return hr;
}

HRESULT CMBDeviceService::SendVendorText(const char* text) {
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_TRANSPORT, "SendVendorText: entry");
    if (m_pEvents == nullptr || m_pMbnDeviceService == nullptr) {
        return E_FAIL;
    }
    ResetEvent(m_pEvents->OpenCommandSessionEvent());
    HRESULT hr = m_pMbnDeviceService->OpenCommandSession(m_pEvents->OpenCommandSessionRequestId());
    if (FAILED(hr)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_TRANSPORT,
                    "SendVendorText: OpenCommandSession %!HRESULT!", hr);
        return hr;
    }
    if (WaitForSingleObject(m_pEvents->OpenCommandSessionEvent(), SESSION_TIMEOUT_MS) ==
        WAIT_TIMEOUT) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_TRANSPORT,
                    "SendVendorText: session open time-out");
        return E_FAIL;
    }
    hr = SetVendorTextCommand(&m_pMbnDeviceService, m_pEvents->SetCommandRequestId(), text);
    if (FAILED(hr)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_TRANSPORT,
                    "SendVendorText: SetVendorTextCommand %!HRESULT!", hr);
    }
    hr = CloseCommandSessionAndWait();
    if (SUCCEEDED(hr)) {
        hr = S_OK;
    }
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_TRANSPORT, "SendVendorText: exit %!HRESULT!",
                hr);
    return hr;
}

namespace {

void PutLE32(BYTE* at, ULONG value) {
    at[0] = static_cast<BYTE>(value);
    at[1] = static_cast<BYTE>(value >> 8);
    at[2] = static_cast<BYTE>(value >> 16);
    at[3] = static_cast<BYTE>(value >> 24);
}

}  // namespace

HRESULT CMBDeviceService::SetVendorTextCommand(IMbnDeviceService** ppService, ULONG* requestIdField,
                                               const char* text) {
    if (m_pEvents == nullptr) {
        return E_FAIL;
    }
    m_pEvents->SetCommandFlag(1);
    const size_t textLength = text != nullptr ? std::strlen(text) : 0;
    // A 32-bit length, the text, zero padding to a multiple of 4.
    const size_t payloadSize = (textLength + 4 + 3) & ~size_t{3};
    BYTE* payload = new (std::nothrow) BYTE[payloadSize]();
    if (payload == nullptr) {
        return E_FAIL;
    }
    PutLE32(payload, static_cast<ULONG>(textLength));
    if (textLength != 0) {
        std::memcpy(payload + 4, text, textLength);
    }
    const size_t messageSize = payloadSize + 20;
    BYTE* message = new (std::nothrow) BYTE[messageSize]();
    if (message == nullptr) {
        delete[] payload;
        return E_FAIL;
    }
    std::memcpy(message, "QMRV", 4);
    PutLE32(message + 4, 1);
    PutLE32(message + 8, 2);
    PutLE32(message + 12, 5);
    PutLE32(message + 16, static_cast<ULONG>(payloadSize));
    std::memcpy(message + 20, payload, payloadSize);

    SAFEARRAY* array = CreateByteArray(message, static_cast<LONG>(messageSize));
    if (array != nullptr) {
        IMbnDeviceService* service = ppService != nullptr ? *ppService : nullptr;
        ResetEvent(m_pEvents->SetCommandEvent());
        if (service != nullptr && SUCCEEDED(service->SetCommand(1, array, requestIdField))) {
            WaitForSingleObject(m_pEvents->SetCommandEvent(), SESSION_TIMEOUT_MS);
        }
        SafeArrayDestroy(array);
    }
    delete[] message;
    delete[] payload;
    return S_OK;
}
#include "FirmwareImageLookup.inc"
#include "ServiceVersions.inc"
