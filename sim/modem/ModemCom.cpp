// The COM objects the modem hands to the driver. Each holds the core alive.

#include <objbase.h>
#include <olectl.h>
#include <oleauto.h>

#include <cstring>
#include <cwctype>
#include <new>

#include "ComBase.h"
#include "ModemCore.h"

namespace sim::modem {
namespace {

std::wstring Widen(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

bool SameIdIgnoringCase(const std::wstring& a, const wchar_t* b) {
    if (b == nullptr) {
        return false;
    }
    const std::wstring other(b);
    return a.size() == other.size() &&
           std::equal(a.begin(), a.end(), other.begin(), [](wchar_t x, wchar_t y) {
               return std::towlower(static_cast<wint_t>(x)) ==
                      std::towlower(static_cast<wint_t>(y));
           });
}

// IRecordInfo for MBN_DEVICE_SERVICE, so its array can carry records.
class CDeviceServiceRecordInfo final
    : public simcom::ComObject<CDeviceServiceRecordInfo, IRecordInfo> {
public:
    static const simcom::InterfaceEntry<CDeviceServiceRecordInfo> kInterfaces[];

    STDMETHOD(RecordInit)(PVOID pvNew) override {
        std::memset(pvNew, 0, sizeof(MBN_DEVICE_SERVICE));
        return S_OK;
    }
    STDMETHOD(RecordClear)(PVOID pvExisting) override {
        auto* record = static_cast<MBN_DEVICE_SERVICE*>(pvExisting);
        SysFreeString(record->deviceServiceID);
        record->deviceServiceID = nullptr;
        return S_OK;
    }
    STDMETHOD(RecordCopy)(PVOID pvExisting, PVOID pvNew) override {
        const auto* from = static_cast<const MBN_DEVICE_SERVICE*>(pvExisting);
        auto* to = static_cast<MBN_DEVICE_SERVICE*>(pvNew);
        *to = *from;
        to->deviceServiceID =
            from->deviceServiceID != nullptr
                ? SysAllocStringLen(from->deviceServiceID, SysStringLen(from->deviceServiceID))
                : nullptr;
        return S_OK;
    }
    STDMETHOD(GetGuid)(GUID* pguid) override {
        // The record's uuid in the platform's IDL.
        *pguid = {0x60436154, 0x3466, 0x48A4, {0x82, 0xE2, 0x9A, 0x46, 0x15, 0x27, 0xA8, 0xC5}};
        return S_OK;
    }
    STDMETHOD(GetName)(BSTR* name) override {
        *name = SysAllocString(L"MBN_DEVICE_SERVICE");
        return S_OK;
    }
    STDMETHOD(GetSize)(ULONG* size) override {
        *size = sizeof(MBN_DEVICE_SERVICE);
        return S_OK;
    }
    STDMETHOD(GetTypeInfo)(ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHOD(GetField)(PVOID, LPCOLESTR, VARIANT*) override { return E_NOTIMPL; }
    STDMETHOD(GetFieldNoCopy)(PVOID, LPCOLESTR, VARIANT*, PVOID*) override { return E_NOTIMPL; }
    STDMETHOD(PutField)(ULONG, PVOID, LPCOLESTR, VARIANT*) override { return E_NOTIMPL; }
    STDMETHOD(PutFieldNoCopy)(ULONG, PVOID, LPCOLESTR, VARIANT*) override { return E_NOTIMPL; }
    STDMETHOD(GetFieldNames)(ULONG*, BSTR*) override { return E_NOTIMPL; }
    STDMETHOD_(BOOL, IsMatchingType)(IRecordInfo* other) override { return other == this; }
    STDMETHOD_(PVOID, RecordCreate)() override {
        auto* record = static_cast<MBN_DEVICE_SERVICE*>(CoTaskMemAlloc(sizeof(MBN_DEVICE_SERVICE)));
        if (record != nullptr) {
            RecordInit(record);
        }
        return record;
    }
    STDMETHOD(RecordCreateCopy)(PVOID source, PVOID* dest) override {
        *dest = RecordCreate();
        return *dest != nullptr ? RecordCopy(source, *dest) : E_OUTOFMEMORY;
    }
    STDMETHOD(RecordDestroy)(PVOID record) override {
        if (record != nullptr) {
            RecordClear(record);
            CoTaskMemFree(record);
        }
        return S_OK;
    }
};

const simcom::InterfaceEntry<CDeviceServiceRecordInfo> CDeviceServiceRecordInfo::kInterfaces[] = {
    simcom::Entry<CDeviceServiceRecordInfo, IRecordInfo>(IID_IRecordInfo),
    {},
};

class CInterface final : public simcom::ComObject<CInterface, IMbnInterface> {
public:
    static const simcom::InterfaceEntry<CInterface> kInterfaces[];

    explicit CInterface(std::shared_ptr<ModemCore> core) : m_Core(std::move(core)) {}

    STDMETHOD(get_InterfaceID)(BSTR* id) override {
        if (id == nullptr) {
            return E_POINTER;
        }
        *id = SysAllocString(kModemInterfaceId);
        return *id != nullptr ? S_OK : E_OUTOFMEMORY;
    }
    STDMETHOD(GetInterfaceCapability)(MBN_INTERFACE_CAPS* caps) override {
        if (caps == nullptr) {
            return E_POINTER;
        }
        *caps = {};
        caps->cellularClass = MBN_CELLULAR_CLASS_GSM;
        caps->voiceClass = MBN_VOICE_CLASS_NO_VOICE;
        caps->dataClass = MBN_DATA_CLASS_LTE | MBN_DATA_CLASS_UMTS;
        caps->deviceID = SysAllocString(L"359072061234567");
        caps->manufacturer = SysAllocString(L"Simulated");
        caps->model = SysAllocString(Widen(kModemModelText).c_str());
        caps->firmwareInfo = SysAllocString(Widen(m_Core->CurrentFirmware()).c_str());
        return S_OK;
    }
    STDMETHOD(GetSubscriberInformation)(IMbnSubscriberInformation**) override { return E_NOTIMPL; }
    STDMETHOD(GetReadyState)(MBN_READY_STATE* state) override {
        if (state == nullptr) {
            return E_POINTER;
        }
        *state = MBN_READY_STATE_INITIALIZED;
        return S_OK;
    }
    STDMETHOD(InEmergencyMode)(VARIANT_BOOL* mode) override {
        if (mode == nullptr) {
            return E_POINTER;
        }
        *mode = VARIANT_FALSE;
        return S_OK;
    }
    STDMETHOD(GetHomeProvider)(MBN_PROVIDER*) override { return E_NOTIMPL; }
    STDMETHOD(GetPreferredProviders)(SAFEARRAY**) override { return E_NOTIMPL; }
    STDMETHOD(SetPreferredProviders)(SAFEARRAY*, ULONG*) override { return E_NOTIMPL; }
    STDMETHOD(GetVisibleProviders)(ULONG*, SAFEARRAY**) override { return E_NOTIMPL; }
    STDMETHOD(ScanNetwork)(ULONG*) override { return E_NOTIMPL; }
    STDMETHOD(GetConnection)(IMbnConnection**) override { return E_NOTIMPL; }

private:
    const std::shared_ptr<ModemCore> m_Core;
};

const simcom::InterfaceEntry<CInterface> CInterface::kInterfaces[] = {
    simcom::Entry<CInterface, IMbnInterface>(IID_IMbnInterface),
    {},
};

class CInterfaceManager final : public simcom::ComObject<CInterfaceManager, IMbnInterfaceManager> {
public:
    static const simcom::InterfaceEntry<CInterfaceManager> kInterfaces[];

    explicit CInterfaceManager(std::shared_ptr<ModemCore> core) : m_Core(std::move(core)) {}

    STDMETHOD(GetInterface)(LPCWSTR id, IMbnInterface** result) override {
        if (result == nullptr) {
            return E_POINTER;
        }
        *result = nullptr;
        if (!m_Core->Options.ListInterface || !SameIdIgnoringCase(kModemInterfaceId, id)) {
            return HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
        }
        *result = new CInterface(m_Core);
        return S_OK;
    }
    STDMETHOD(GetInterfaces)(SAFEARRAY** result) override {
        if (result == nullptr) {
            return E_POINTER;
        }
        const ULONG count = m_Core->Options.ListInterface ? 1 : 0;
        *result = SafeArrayCreateVector(VT_UNKNOWN, 0, count);
        if (*result == nullptr) {
            return E_OUTOFMEMORY;
        }
        if (count != 0) {
            IMbnInterface* item = new CInterface(m_Core);
            LONG index = 0;
            const HRESULT hr = SafeArrayPutElement(*result, &index, static_cast<IUnknown*>(item));
            item->Release();
            if (FAILED(hr)) {
                SafeArrayDestroy(*result);
                *result = nullptr;
                return hr;
            }
        }
        return S_OK;
    }

private:
    const std::shared_ptr<ModemCore> m_Core;
};

const simcom::InterfaceEntry<CInterfaceManager> CInterfaceManager::kInterfaces[] = {
    simcom::Entry<CInterfaceManager, IMbnInterfaceManager>(IID_IMbnInterfaceManager),
    {},
};

class CDeviceService final : public simcom::ComObject<CDeviceService, IMbnDeviceService> {
public:
    static const simcom::InterfaceEntry<CDeviceService> kInterfaces[];

    CDeviceService(std::shared_ptr<ModemCore> core, size_t index)
        : m_Core(std::move(core)), m_Index(index) {}

    STDMETHOD(QuerySupportedCommands)(ULONG*) override { return E_NOTIMPL; }
    STDMETHOD(OpenCommandSession)(ULONG* requestID) override {
        return Session(requestID, false, true, PendingKind::OpenCommand);
    }
    STDMETHOD(CloseCommandSession)(ULONG* requestID) override {
        return Session(requestID, false, false, PendingKind::CloseCommand);
    }
    STDMETHOD(SetCommand)(ULONG commandID, SAFEARRAY* data, ULONG* requestID) override {
        return Command(commandID, data, requestID, true);
    }
    STDMETHOD(QueryCommand)(ULONG commandID, SAFEARRAY* data, ULONG* requestID) override {
        return Command(commandID, data, requestID, false);
    }
    STDMETHOD(OpenDataSession)(ULONG* requestID) override {
        return Session(requestID, true, true, PendingKind::OpenData);
    }
    STDMETHOD(CloseDataSession)(ULONG* requestID) override {
        return Session(requestID, true, false, PendingKind::CloseData);
    }
    STDMETHOD(WriteData)(SAFEARRAY* data, ULONG* requestID) override;
    STDMETHOD(get_InterfaceID)(BSTR* id) override {
        if (id == nullptr) {
            return E_POINTER;
        }
        *id = SysAllocString(kModemInterfaceId);
        return S_OK;
    }
    STDMETHOD(get_DeviceServiceID)(BSTR* id) override {
        if (id == nullptr) {
            return E_POINTER;
        }
        *id = SysAllocString(kServices[m_Index].Id);
        return S_OK;
    }
    STDMETHOD(get_IsCommandSessionOpen)(BOOL* value) override {
        if (value == nullptr) {
            return E_POINTER;
        }
        std::lock_guard lock(m_Core->StateLock);
        *value = m_Core->CommandSessionOpen[m_Index] ? TRUE : FALSE;
        return S_OK;
    }
    STDMETHOD(get_IsDataSessionOpen)(BOOL* value) override {
        if (value == nullptr) {
            return E_POINTER;
        }
        std::lock_guard lock(m_Core->StateLock);
        *value = kServices[m_Index].Data && m_Core->DataSessionOpen ? TRUE : FALSE;
        return S_OK;
    }

private:
    Pending Make(PendingKind kind, HRESULT status, ULONG id) {
        Pending p;
        p.Kind = kind;
        p.Service = this;
        AddRef();
        p.Status = status;
        p.RequestId = id;
        return p;
    }

    HRESULT Session(ULONG* requestID, bool data, bool open, PendingKind kind);
    HRESULT Command(ULONG commandID, SAFEARRAY* data, ULONG* requestID, bool set);
    std::vector<uint8_t> Response(ULONG commandID, bool set, bool* known);

    const std::shared_ptr<ModemCore> m_Core;
    const size_t m_Index;
};

const simcom::InterfaceEntry<CDeviceService> CDeviceService::kInterfaces[] = {
    simcom::Entry<CDeviceService, IMbnDeviceService>(IID_IMbnDeviceService),
    {},
};

HRESULT CDeviceService::Session(ULONG* requestID, bool data, bool open, PendingKind kind) {
    if (requestID == nullptr) {
        return E_POINTER;
    }
    const RequestFault fault = SessionFault(open, data);
    HRESULT result = S_OK;
    HRESULT status = S_OK;
    IMbnDeviceService* released = nullptr;
    {
        std::lock_guard lock(m_Core->StateLock);
        if (!m_Core->Running) {
            result = kNotReady;
        } else if (data && !kServices[m_Index].Data) {
            result = kNotSupported;
        } else if (fault.Refuse) {
            result = *fault.Refuse;
        } else if (fault.Fail) {
            status = *fault.Fail;
        } else if (data) {
            m_Core->DataSessionOpen = open;
            released = m_Core->DataSessionOwner;
            m_Core->DataSessionOwner = nullptr;
            if (open) {
                m_Core->DataSessionOwner = this;
                AddRef();
            }
        } else {
            m_Core->CommandSessionOpen[m_Index] = open;
        }
        m_Core->Sessions.push_back({kServices[m_Index].Id, data, open, result});
    }
    if (released != nullptr) {
        released->Release();
    }
    if (FAILED(result)) {
        return result;
    }
    const ULONG id = NextRequestId();
    StoreRequestId(requestID, id);
    m_Core->Complete(Make(kind, status, id));
    return S_OK;
}

std::vector<uint8_t> CDeviceService::Response(ULONG commandID, bool set, bool* known) {
    *known = true;
    switch (kServices[m_Index].Kind) {
        case ServiceKind::Upgrade:
            if (!set && commandID == 1) {
                const std::string version = m_Core->CurrentFirmware();
                return std::vector<uint8_t>(version.begin(), version.end());
            }
            if (!set && commandID == 3) {
                return std::vector<uint8_t>(kModemModelText,
                                            kModemModelText + std::strlen(kModemModelText));
            }
            if (set && (commandID == 1 || commandID == 4 || commandID == 5)) {
                return {};
            }
            break;
        case ServiceKind::Final:
            if (set && commandID == 1) {
                return {};
            }
            break;
        case ServiceKind::Flash:
            break;
    }
    *known = false;
    return {};
}

HRESULT CDeviceService::Command(ULONG commandID, SAFEARRAY* data, ULONG* requestID, bool set) {
    if (requestID == nullptr) {
        return E_POINTER;
    }
    std::vector<uint8_t> payload = BytesOf(data);
    const RequestFault fault = CommandFault(commandID);
    {
        std::lock_guard lock(m_Core->StateLock);
        if (!m_Core->Running) {
            return kNotReady;
        }
        if (!m_Core->CommandSessionOpen[m_Index]) {
            return kNotInSession;
        }
        if (fault.Refuse) {
            return *fault.Refuse;
        }
        m_Core->Commands.push_back({kServices[m_Index].Id, set, commandID, payload});
    }
    // Switching into download mode starts the boot loader afresh.
    if (set && commandID == 4 && kServices[m_Index].Kind == ServiceKind::Upgrade) {
        m_Core->Loader.Reset();
        std::lock_guard lock(m_Core->StateLock);
        m_Core->LoaderBooted = false;
    }

    const ULONG id = NextRequestId();
    StoreRequestId(requestID, id);
    Pending p = Make(set ? PendingKind::Set : PendingKind::Query, S_OK, id);
    p.ResponseId = commandID;
    bool known = false;
    p.Data = Response(commandID, set, &known);
    p.HasArray = true;
    if (!known) {
        p.Status = kNotSupported;
    }
    if (fault.Fail) {
        p.Status = *fault.Fail;
        p.Data.clear();
        p.HasArray = false;
    }
    ShapeResponse(commandID, &p);
    m_Core->Complete(std::move(p));
    return S_OK;
}

HRESULT CDeviceService::WriteData(SAFEARRAY* data, ULONG* requestID) {
    if (requestID == nullptr) {
        return E_POINTER;
    }
    std::vector<uint8_t> bytes = BytesOf(data);
    const WriteFault fault = FlashWriteFault();
    {
        std::lock_guard lock(m_Core->StateLock);
        if (!m_Core->Running) {
            return kNotReady;
        }
        if (!kServices[m_Index].Data || !m_Core->DataSessionOpen) {
            return kNotInSession;
        }
        ++m_Core->Stats.Writes;
        m_Core->Stats.BytesWritten += bytes.size();
        if (m_Core->Options.KeepWrittenBytes) {
            m_Core->Written.insert(m_Core->Written.end(), bytes.begin(), bytes.end());
        }
    }
    const ULONG id = NextRequestId();
    StoreRequestId(requestID, id);
    const uint64_t linkDue = m_Core->LinkDueNs(bytes.size());
    HRESULT status = S_OK;
    if (fault.Fail) {
        status = *fault.Fail;
    } else {
        if (fault.CorruptOffset) {
            CorruptByte(&bytes, *fault.CorruptOffset);
        }
        Pending feed;
        feed.Kind = PendingKind::Feed;
        feed.Data = std::move(bytes);
        m_Core->PushAt(std::move(feed), linkDue);
    }
    m_Core->Complete(Make(PendingKind::Write, status, id), linkDue);
    return S_OK;
}

class CServicesContext final
    : public simcom::ComObject<CServicesContext, IMbnDeviceServicesContext> {
public:
    static const simcom::InterfaceEntry<CServicesContext> kInterfaces[];

    explicit CServicesContext(std::shared_ptr<ModemCore> core) : m_Core(std::move(core)) {}

    STDMETHOD(EnumerateDeviceServices)(SAFEARRAY** result) override {
        if (result == nullptr) {
            return E_POINTER;
        }
        *result = SafeArrayCreateVectorEx(VT_RECORD, 0, ARRAYSIZE(kServices), m_Core->RecordInfo);
        if (*result == nullptr) {
            return E_OUTOFMEMORY;
        }
        for (LONG i = 0; i < static_cast<LONG>(ARRAYSIZE(kServices)); ++i) {
            MBN_DEVICE_SERVICE record = {};
            record.deviceServiceID = SysAllocString(kServices[i].Id);
            record.dataWriteSupported = kServices[i].Data ? VARIANT_TRUE : VARIANT_FALSE;
            record.dataReadSupported = record.dataWriteSupported;
            const HRESULT hr = SafeArrayPutElement(*result, &i, &record);
            SysFreeString(record.deviceServiceID);
            if (FAILED(hr)) {
                SafeArrayDestroy(*result);
                *result = nullptr;
                return hr;
            }
        }
        return S_OK;
    }
    STDMETHOD(GetDeviceService)(BSTR id, IMbnDeviceService** result) override {
        if (result == nullptr) {
            return E_POINTER;
        }
        *result = nullptr;
        for (size_t i = 0; i < ARRAYSIZE(kServices); ++i) {
            if (SameIdIgnoringCase(kServices[i].Id, id)) {
                *result = new CDeviceService(m_Core, i);
                return S_OK;
            }
        }
        return HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
    }
    STDMETHOD(get_MaxCommandSize)(ULONG* size) override {
        if (size == nullptr) {
            return E_POINTER;
        }
        *size = 4096;
        return S_OK;
    }
    STDMETHOD(get_MaxDataSize)(ULONG* size) override {
        if (size == nullptr) {
            return E_POINTER;
        }
        *size = 16384;
        return S_OK;
    }

private:
    const std::shared_ptr<ModemCore> m_Core;
};

const simcom::InterfaceEntry<CServicesContext> CServicesContext::kInterfaces[] = {
    simcom::Entry<CServicesContext, IMbnDeviceServicesContext>(IID_IMbnDeviceServicesContext),
    {},
};

class CServicesManager final : public simcom::ComObject<CServicesManager, IMbnDeviceServicesManager,
                                                        IConnectionPointContainer> {
public:
    static const simcom::InterfaceEntry<CServicesManager> kInterfaces[];

    explicit CServicesManager(std::shared_ptr<ModemCore> core)
        : m_Core(std::move(core)),
          m_Point(static_cast<IConnectionPointContainer*>(this), IID_IMbnDeviceServicesEvents,
                  m_Core->Sinks) {}

    STDMETHOD(GetDeviceServicesContext)(BSTR id, IMbnDeviceServicesContext** result) override {
        if (result == nullptr) {
            return E_POINTER;
        }
        *result = nullptr;
        if (!m_Core->Options.ListInterface || !SameIdIgnoringCase(kModemInterfaceId, id)) {
            return HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
        }
        *result = new CServicesContext(m_Core);
        return S_OK;
    }
    STDMETHOD(EnumConnectionPoints)(IEnumConnectionPoints** ppEnum) override {
        IConnectionPoint* points[] = {&m_Point};
        return CreateConnectionPointEnumerator(points, 1, ppEnum);
    }
    STDMETHOD(FindConnectionPoint)(REFIID riid, IConnectionPoint** ppCP) override {
        if (ppCP == nullptr) {
            return E_POINTER;
        }
        *ppCP = nullptr;
        if (!IsEqualIID(riid, IID_IMbnDeviceServicesEvents)) {
            return CONNECT_E_NOCONNECTION;
        }
        *ppCP = &m_Point;
        m_Point.AddRef();
        return S_OK;
    }

private:
    const std::shared_ptr<ModemCore> m_Core;
    ConnectionPoint m_Point;
};

const simcom::InterfaceEntry<CServicesManager> CServicesManager::kInterfaces[] = {
    simcom::Entry<CServicesManager, IMbnDeviceServicesManager>(IID_IMbnDeviceServicesManager),
    simcom::Entry<CServicesManager, IConnectionPointContainer>(IID_IConnectionPointContainer),
    {},
};

template <class Manager>
class CManagerFactory final : public simcom::ComObject<CManagerFactory<Manager>, IClassFactory> {
public:
    static const simcom::InterfaceEntry<CManagerFactory> kInterfaces[];

    explicit CManagerFactory(std::shared_ptr<ModemCore> core) : m_Core(std::move(core)) {}

    STDMETHOD(CreateInstance)(IUnknown* outer, REFIID riid, void** ppv) override {
        if (ppv == nullptr) {
            return E_POINTER;
        }
        *ppv = nullptr;
        if (outer != nullptr) {
            return CLASS_E_NOAGGREGATION;
        }
        Manager* manager = new (std::nothrow) Manager(m_Core);
        if (manager == nullptr) {
            return E_OUTOFMEMORY;
        }
        const HRESULT hr = manager->QueryInterface(riid, ppv);
        manager->Release();
        return hr;
    }
    STDMETHOD(LockServer)(BOOL) override { return S_OK; }

private:
    const std::shared_ptr<ModemCore> m_Core;
};

template <class Manager>
const simcom::InterfaceEntry<CManagerFactory<Manager>> CManagerFactory<Manager>::kInterfaces[] = {
    simcom::Entry<CManagerFactory<Manager>, IClassFactory>(IID_IClassFactory),
    {},
};

}  // namespace

IRecordInfo* NewDeviceServiceRecordInfo() {
    return new CDeviceServiceRecordInfo();
}

IClassFactory* NewInterfaceManagerFactory(std::shared_ptr<ModemCore> core) {
    return new CManagerFactory<CInterfaceManager>(std::move(core));
}

IClassFactory* NewServicesManagerFactory(std::shared_ptr<ModemCore> core) {
    return new CManagerFactory<CServicesManager>(std::move(core));
}

}  // namespace sim::modem
