#include "SimModem.h"

#include <objbase.h>
#include <oleauto.h>
#include <winplat/clock.h>
#include <winplat/connpoint.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <cwctype>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#ifdef __linux__
#include <sys/prctl.h>
#endif

#include "BootLoader.h"
#include "FaultPlan.h"

namespace sim {
namespace {

// ERROR_INVALID_STATE: a request that needs a session that is not open.
constexpr HRESULT kNotInSession = static_cast<HRESULT>(0x8007139F);
// ERROR_NOT_READY: the modem was stopped.
constexpr HRESULT kNotReady = static_cast<HRESULT>(0x80070015);
constexpr HRESULT kNotSupported = static_cast<HRESULT>(0x80070032);

// One counter per process: request ids are unique across every modem and service.
std::atomic<ULONG> g_NextRequestId{1};

ULONG NextRequestId() {
    ULONG id = g_NextRequestId.fetch_add(1);
    if (id == 0) {
        id = g_NextRequestId.fetch_add(1);
    }
    return id;
}

// The API stores the id while the requester's sink may read the same field on a
// notification thread.
void StoreRequestId(ULONG* field, ULONG id) {
    std::atomic_ref<ULONG>(*field).store(id);
}

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

std::vector<uint8_t> BytesOf(SAFEARRAY* array) {
    std::vector<uint8_t> bytes;
    LONG lower = 0;
    LONG upper = -1;
    if (array == nullptr || FAILED(SafeArrayGetLBound(array, 1, &lower)) ||
        FAILED(SafeArrayGetUBound(array, 1, &upper)) || upper < lower) {
        return bytes;
    }
    void* data = nullptr;
    if (SUCCEEDED(SafeArrayAccessData(array, &data))) {
        const auto* p = static_cast<const uint8_t*>(data);
        bytes.assign(p, p + (upper - lower + 1));
        SafeArrayUnaccessData(array);
    }
    return bytes;
}

SAFEARRAY* ArrayOf(const std::vector<uint8_t>& bytes) {
    SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size()));
    if (array != nullptr && !bytes.empty()) {
        void* data = nullptr;
        if (SUCCEEDED(SafeArrayAccessData(array, &data))) {
            std::memcpy(data, bytes.data(), bytes.size());
            SafeArrayUnaccessData(array);
        }
    }
    return array;
}

HRESULT HitResult(const std::optional<FaultHit>& hit) {
    return hit->value != 0 ? static_cast<HRESULT>(hit->value) : E_FAIL;
}

// A small base for the modem's COM objects.
template <class... Interfaces>
class ComObject : public Interfaces... {
public:
    STDMETHOD_(ULONG, AddRef)() override { return ++m_cRef; }
    STDMETHOD_(ULONG, Release)() override {
        const LONG count = --m_cRef;
        if (count == 0) {
            delete this;
        }
        return static_cast<ULONG>(count);
    }
    virtual ~ComObject() = default;

protected:
    std::atomic<LONG> m_cRef{1};
};

// IRecordInfo for MBN_DEVICE_SERVICE, so its array can carry records.
class CDeviceServiceRecordInfo final : public ComObject<IRecordInfo> {
public:
    STDMETHOD(QueryInterface)(REFIID riid, void** ppv) override {
        if (ppv == nullptr) {
            return E_POINTER;
        }
        *ppv = nullptr;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IRecordInfo)) {
            *ppv = static_cast<IRecordInfo*>(this);
            AddRef();
            return S_OK;
        }
        return E_NOINTERFACE;
    }
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

enum class ServiceKind { Upgrade, Flash, Final };

struct ServiceInfo {
    ServiceKind Kind;
    const wchar_t* Id;
    bool Data;
};

constexpr ServiceInfo kServices[] = {
    {ServiceKind::Upgrade, kUpgradeServiceId, false},
    {ServiceKind::Flash, kFlashServiceId, true},
    {ServiceKind::Final, kFinalServiceId, false},
};

enum class PendingKind {
    OpenCommand,
    CloseCommand,
    Set,
    Query,
    OpenData,
    CloseData,
    Write,
    Data,
    Feed
};

const char* CompletionName(PendingKind kind) {
    switch (kind) {
        case PendingKind::OpenCommand:
            return "open-command";
        case PendingKind::CloseCommand:
            return "close-command";
        case PendingKind::Set:
            return "set";
        case PendingKind::Query:
            return "query";
        case PendingKind::OpenData:
            return "open-data";
        case PendingKind::CloseData:
            return "close-data";
        case PendingKind::Write:
            return "write";
        default:
            return "data";
    }
}

struct Pending {
    PendingKind Kind = PendingKind::Data;
    IMbnDeviceService* Service = nullptr;  // one reference, or null
    HRESULT Status = S_OK;
    ULONG RequestId = 0;
    ULONG ResponseId = 0;
    bool HasArray = false;
    std::vector<uint8_t> Data;

    Pending() = default;
    Pending(Pending&& other) noexcept { *this = std::move(other); }
    Pending& operator=(Pending&& other) noexcept {
        std::swap(Kind, other.Kind);
        std::swap(Service, other.Service);
        std::swap(Status, other.Status);
        std::swap(RequestId, other.RequestId);
        std::swap(ResponseId, other.ResponseId);
        std::swap(HasArray, other.HasArray);
        std::swap(Data, other.Data);
        return *this;
    }
    ~Pending() {
        if (Service != nullptr) {
            Service->Release();
        }
    }
};

}  // namespace

struct ModemCore {
    explicit ModemCore(ModemOptions options)
        : Options(std::move(options)), Sinks(std::make_shared<winplat::SinkList>()) {}

    const ModemOptions Options;
    const std::shared_ptr<winplat::SinkList> Sinks;  // every services manager's point shares it
    IRecordInfo* RecordInfo = new CDeviceServiceRecordInfo();  // one reference, this core's
    BootLoader Loader;  // fed only on the notification thread

    // Modem state; guarded by StateLock.
    mutable std::mutex StateLock;
    bool Running = false;
    std::string Firmware;
    uint32_t LoaderCommits = 0;
    bool LoaderBooted = false;  // guarded by StateLock: handshake seen since the last Reset
    bool CommandSessionOpen[3] = {};
    bool DataSessionOpen = false;
    IMbnDeviceService* DataSessionOwner = nullptr;  // one reference while the session is open
    std::vector<ModemCommand> Commands;
    std::vector<ModemSession> Sessions;
    std::vector<uint8_t> Written;
    ModemStats Stats;
    LinkModel Link;           // guarded by StateLock; set by Start
    double LinkFreeAtNs = 0;  // guarded by StateLock: platform ns the link is busy until

    // Notification queue; guarded by QueueLock. Ordered by due time (platform ns), then
    // arrival.
    std::mutex QueueLock;
    std::condition_variable QueueCv;
    std::map<std::pair<uint64_t, uint64_t>, Pending> Queue;
    uint64_t NextSeq = 0;
    bool Stopping = false;
    bool Delivering = false;
    bool Silent = false;
    std::thread Worker;

    DWORD FactoryCookies[2] = {};

    ~ModemCore() { RecordInfo->Release(); }

    // One transfer after another: a write waits for the link to carry the ones before it.
    // The platform time at which this one is through. Kept in nanoseconds: a transfer
    // lasts a few milliseconds, and whole ones would make each late by up to one.
    uint64_t LinkDueNs(size_t bytes) {
        const uint64_t now = WinplatNowNs();
        std::lock_guard lock(StateLock);
        if (Link.Off()) {
            return now;
        }
        LinkFreeAtNs =
            std::max(LinkFreeAtNs, static_cast<double>(now)) + Link.TransferMs(bytes) * 1e6;
        return static_cast<uint64_t>(std::ceil(LinkFreeAtNs));
    }

    std::filesystem::path FirmwareFile() const {
        return Options.MachineFolder / "modem" / "firmware_version";
    }

    std::string LoadFirmware() const {
        std::ifstream in(FirmwareFile());
        std::string version;
        if (in && std::getline(in, version) && !version.empty()) {
            return version;
        }
        return Options.InitialFirmwareVersion;
    }

    // Written to a side file and renamed, so a crash leaves the old or the new version.
    void PersistFirmware(const std::string& version) const {
        std::error_code ec;
        std::filesystem::create_directories(FirmwareFile().parent_path(), ec);
        const auto temp = FirmwareFile().string() + ".new";
        {
            std::ofstream out(temp, std::ios::trunc);
            out << version << '\n';
        }
        std::filesystem::rename(temp, FirmwareFile(), ec);
    }

    std::string CurrentFirmware() const {
        std::lock_guard lock(StateLock);
        return Firmware;
    }

    void Push(Pending pending, ULONGLONG delayMs = 0) {
        PushAt(std::move(pending), WinplatNowNs() + delayMs * 1000000u);
    }

    void PushAt(Pending pending, uint64_t dueNs) {
        std::lock_guard lock(QueueLock);
        if (Stopping) {
            return;
        }
        if (pending.Kind != PendingKind::Feed) {
            if (Silent) {
                return;
            }
            if (FaultPlan::Instance().Check("modem.silent")) {
                Silent = true;
                return;
            }
        }
        const auto at = Queue.emplace(std::make_pair(dueNs, NextSeq++), std::move(pending)).first;
        // Only a new first entry changes what the worker waits for; idle waiters wait for
        // an empty queue, which a push never makes.
        if (at == Queue.begin()) {
            QueueCv.notify_all();
        }
    }

    // A completion goes through the plan's drop and delay first; linkDueNs is when the
    // link has carried the request (0: it holds nothing).
    void Complete(Pending pending, uint64_t linkDueNs = 0) {
        const auto hit =
            FaultPlan::Instance().Check("modem.complete", CompletionName(pending.Kind));
        uint64_t delayNs = 0;
        if (hit) {
            if (hit->action == "drop") {
                return;
            }
            if (hit->action == "delay") {
                delayNs = static_cast<uint64_t>(hit->value) * 1000000u;
            }
        }
        PushAt(std::move(pending), std::max(linkDueNs, WinplatNowNs()) + delayNs);
    }

    IMbnDeviceService* DataOwnerRef() {
        std::lock_guard lock(StateLock);
        if (DataSessionOwner != nullptr) {
            DataSessionOwner->AddRef();
        }
        return DataSessionOwner;
    }

    void SendData(std::vector<uint8_t> bytes) {
        const auto hit = FaultPlan::Instance().Check("modem.notify");
        ULONGLONG delay = 0;
        size_t pieceSize = bytes.size();
        int copies = 1;
        bool hasArray = true;
        if (hit) {
            const std::string& action = hit->action;
            if (action == "drop") {
                return;
            } else if (action == "duplicate") {
                copies = 2;
            } else if (action == "split") {
                pieceSize = hit->value > 0 ? static_cast<size_t>(hit->value)
                                           : std::max<size_t>(1, (bytes.size() + 1) / 2);
            } else if (action == "oversize") {
                if (static_cast<size_t>(hit->value) > bytes.size()) {
                    bytes.resize(static_cast<size_t>(hit->value), 0xEE);
                }
                pieceSize = bytes.size();
            } else if (action == "empty") {
                bytes.clear();
            } else if (action == "missing") {
                bytes.clear();
                hasArray = false;
            } else if (action == "corrupt" && !bytes.empty()) {
                bytes[static_cast<size_t>(hit->value) % bytes.size()] ^= 0xFF;
            } else if (action == "delay") {
                delay = static_cast<ULONGLONG>(hit->value);
            }
        }
        std::vector<std::vector<uint8_t>> pieces;
        if (bytes.empty() || pieceSize >= bytes.size()) {
            pieces.push_back(bytes);
        } else {
            for (size_t at = 0; at < bytes.size(); at += pieceSize) {
                const size_t n = std::min(pieceSize, bytes.size() - at);
                pieces.emplace_back(bytes.begin() + at, bytes.begin() + at + n);
            }
        }
        for (int copy = 0; copy < copies; ++copy) {
            for (const auto& piece : pieces) {
                Pending p;
                p.Kind = PendingKind::Data;
                p.Service = DataOwnerRef();
                p.HasArray = hasArray;
                p.Data = piece;
                Push(std::move(p), delay);
            }
        }
    }

    // Every boot of the loader since the machine was made, in a file beside the firmware,
    // so that a power loss in the middle of a download still shows that one started.
    void CountBoot() const {
        const auto file = Options.MachineFolder / "modem" / "boots";
        unsigned long boots = 0;
        {
            std::ifstream in(file);
            in >> boots;
        }
        std::error_code ec;
        std::filesystem::create_directories(file.parent_path(), ec);
        const auto temp = file.string() + ".new";
        {
            std::ofstream out(temp, std::ios::trunc);
            out << boots + 1 << '\n';
        }
        std::filesystem::rename(temp, file, ec);
    }

    void Feed(const std::vector<uint8_t>& bytes) {
        Loader.Receive(bytes.data(), bytes.size());
        const uint32_t commits = Loader.CommitCount();
        std::string committed;
        bool booted = false;
        const bool ready = Loader.Ready();  // the loader's own lock, not under StateLock
        {
            std::lock_guard lock(StateLock);
            if (ready && !LoaderBooted) {
                LoaderBooted = booted = true;
            }
            if (commits != LoaderCommits) {
                LoaderCommits = commits;
                Firmware = Loader.FirmwareVersion();
                committed = Firmware;
            }
        }
        if (booted) {
            CountBoot();
        }
        if (!committed.empty()) {
            PersistFirmware(committed);
        }
    }

    void Deliver(Pending& p) {
        if (p.Kind == PendingKind::Feed) {
            Feed(p.Data);
            return;
        }
        winplat::SinkSnapshot sinks;
        if (FAILED(Sinks->Snapshot(&sinks))) {
            return;
        }
        SAFEARRAY* array = p.HasArray ? ArrayOf(p.Data) : nullptr;
        sinks.ForEach<IMbnDeviceServicesEvents>([&](IMbnDeviceServicesEvents* sink) {
            switch (p.Kind) {
                case PendingKind::OpenCommand:
                    sink->OnOpenCommandSessionComplete(p.Service, p.Status, p.RequestId);
                    break;
                case PendingKind::CloseCommand:
                    sink->OnCloseCommandSessionComplete(p.Service, p.Status, p.RequestId);
                    break;
                case PendingKind::Set:
                    sink->OnSetCommandComplete(p.Service, p.ResponseId, array, p.Status,
                                               p.RequestId);
                    break;
                case PendingKind::Query:
                    sink->OnQueryCommandComplete(p.Service, p.ResponseId, array, p.Status,
                                                 p.RequestId);
                    break;
                case PendingKind::OpenData:
                    sink->OnOpenDataSessionComplete(p.Service, p.Status, p.RequestId);
                    break;
                case PendingKind::CloseData:
                    sink->OnCloseDataSessionComplete(p.Service, p.Status, p.RequestId);
                    break;
                case PendingKind::Write:
                    sink->OnWriteDataComplete(p.Service, p.Status, p.RequestId);
                    break;
                case PendingKind::Data:
                    sink->OnReadData(p.Service, array);
                    break;
                case PendingKind::Feed:
                    break;
            }
        });
        SafeArrayDestroy(array);
        std::lock_guard lock(StateLock);
        if (p.Kind == PendingKind::Data) {
            ++Stats.Notifications;
            Stats.NotificationBytes += p.Data.size();
        } else {
            ++Stats.Completions;
        }
    }

    void Run() {
#ifdef __linux__
        // The kernel may defer a timed wake by the thread's timer slack (50 us unless set):
        // on a link whose transfers take tens of real microseconds at a high time scale,
        // that would be most of each one.
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
        const HRESULT hrCom = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        std::unique_lock lock(QueueLock);
        while (!Stopping) {
            if (Queue.empty()) {
                QueueCv.wait(lock);
                continue;
            }
            auto first = Queue.begin();
            const uint64_t now = WinplatNowNs();
            if (first->first.first > now) {
                QueueCv.wait_for(
                    lock, WinplatScaledMs(static_cast<double>(first->first.first - now) / 1e6));
                continue;
            }
            Pending pending = std::move(first->second);
            Queue.erase(first);
            Delivering = true;
            lock.unlock();
            Deliver(pending);
            pending = Pending();
            lock.lock();
            Delivering = false;
            QueueCv.notify_all();
        }
        lock.unlock();
        if (SUCCEEDED(hrCom)) {
            CoUninitialize();
        }
    }
};

namespace {

// ---- COM objects handed to the driver. Each holds the core alive.

class CInterface final : public ComObject<IMbnInterface> {
public:
    explicit CInterface(std::shared_ptr<ModemCore> core) : m_Core(std::move(core)) {}

    STDMETHOD(QueryInterface)(REFIID riid, void** ppv) override {
        if (ppv == nullptr) {
            return E_POINTER;
        }
        *ppv = nullptr;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IMbnInterface)) {
            *ppv = static_cast<IMbnInterface*>(this);
            AddRef();
            return S_OK;
        }
        return E_NOINTERFACE;
    }
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

class CInterfaceManager final : public ComObject<IMbnInterfaceManager> {
public:
    explicit CInterfaceManager(std::shared_ptr<ModemCore> core) : m_Core(std::move(core)) {}

    STDMETHOD(QueryInterface)(REFIID riid, void** ppv) override {
        if (ppv == nullptr) {
            return E_POINTER;
        }
        *ppv = nullptr;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IMbnInterfaceManager)) {
            *ppv = static_cast<IMbnInterfaceManager*>(this);
            AddRef();
            return S_OK;
        }
        return E_NOINTERFACE;
    }
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

class CDeviceService final : public ComObject<IMbnDeviceService> {
public:
    CDeviceService(std::shared_ptr<ModemCore> core, size_t index)
        : m_Core(std::move(core)), m_Index(index) {}

    STDMETHOD(QueryInterface)(REFIID riid, void** ppv) override {
        if (ppv == nullptr) {
            return E_POINTER;
        }
        *ppv = nullptr;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IMbnDeviceService)) {
            *ppv = static_cast<IMbnDeviceService*>(this);
            AddRef();
            return S_OK;
        }
        return E_NOINTERFACE;
    }

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

HRESULT CDeviceService::Session(ULONG* requestID, bool data, bool open, PendingKind kind) {
    if (requestID == nullptr) {
        return E_POINTER;
    }
    const auto hit = FaultPlan::Instance().Check(
        open ? "modem.session.open" : "modem.session.close", data ? "data" : "command");
    HRESULT result = S_OK;
    HRESULT status = S_OK;
    IMbnDeviceService* released = nullptr;
    {
        std::lock_guard lock(m_Core->StateLock);
        if (!m_Core->Running) {
            result = kNotReady;
        } else if (data && !kServices[m_Index].Data) {
            result = kNotSupported;
        } else if (hit && hit->action == "refuse") {
            result = HitResult(hit);
        } else if (hit && hit->action == "fail") {
            status = HitResult(hit);
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
    const auto hit = FaultPlan::Instance().Check("modem.command", static_cast<int64_t>(commandID));
    {
        std::lock_guard lock(m_Core->StateLock);
        if (!m_Core->Running) {
            return kNotReady;
        }
        if (!m_Core->CommandSessionOpen[m_Index]) {
            return kNotInSession;
        }
        if (hit && hit->action == "refuse") {
            return HitResult(hit);
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
    if (hit && hit->action == "fail") {
        p.Status = HitResult(hit);
        p.Data.clear();
        p.HasArray = false;
    }
    if (const auto shape =
            FaultPlan::Instance().Check("modem.response", static_cast<int64_t>(commandID))) {
        if (shape->action == "oversize") {
            p.Data.resize(static_cast<size_t>(shape->value));
            for (size_t i = 0; i < p.Data.size(); ++i) {
                p.Data[i] = static_cast<uint8_t>(i);
            }
            p.HasArray = true;
        } else if (shape->action == "empty") {
            p.Data.clear();
            p.HasArray = true;
        } else if (shape->action == "missing") {
            p.Data.clear();
            p.HasArray = false;
        }
    }
    m_Core->Complete(std::move(p));
    return S_OK;
}

HRESULT CDeviceService::WriteData(SAFEARRAY* data, ULONG* requestID) {
    if (requestID == nullptr) {
        return E_POINTER;
    }
    std::vector<uint8_t> bytes = BytesOf(data);
    const auto hit = FaultPlan::Instance().Check("modem.write");
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
    if (hit && hit->action == "fail") {
        status = HitResult(hit);
    } else {
        if (hit && hit->action == "corrupt" && !bytes.empty()) {
            bytes[static_cast<size_t>(hit->value) % bytes.size()] ^= 0xFF;
        }
        Pending feed;
        feed.Kind = PendingKind::Feed;
        feed.Data = std::move(bytes);
        m_Core->PushAt(std::move(feed), linkDue);
    }
    m_Core->Complete(Make(PendingKind::Write, status, id), linkDue);
    return S_OK;
}

class CServicesContext final : public ComObject<IMbnDeviceServicesContext> {
public:
    explicit CServicesContext(std::shared_ptr<ModemCore> core) : m_Core(std::move(core)) {}

    STDMETHOD(QueryInterface)(REFIID riid, void** ppv) override {
        if (ppv == nullptr) {
            return E_POINTER;
        }
        *ppv = nullptr;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IMbnDeviceServicesContext)) {
            *ppv = static_cast<IMbnDeviceServicesContext*>(this);
            AddRef();
            return S_OK;
        }
        return E_NOINTERFACE;
    }
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

class CServicesManager final
    : public ComObject<IMbnDeviceServicesManager, IConnectionPointContainer> {
public:
    explicit CServicesManager(std::shared_ptr<ModemCore> core)
        : m_Core(std::move(core)),
          m_Point(static_cast<IConnectionPointContainer*>(this), IID_IMbnDeviceServicesEvents,
                  m_Core->Sinks) {}

    STDMETHOD(QueryInterface)(REFIID riid, void** ppv) override {
        if (ppv == nullptr) {
            return E_POINTER;
        }
        *ppv = nullptr;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IMbnDeviceServicesManager)) {
            *ppv = static_cast<IMbnDeviceServicesManager*>(this);
        } else if (IsEqualIID(riid, IID_IConnectionPointContainer)) {
            *ppv = static_cast<IConnectionPointContainer*>(this);
        } else {
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
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
        return winplat::CreateConnectionPointEnumerator(points, 1, ppEnum);
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
    winplat::ConnectionPoint m_Point;
};

template <class Manager>
class CManagerFactory final : public ComObject<IClassFactory> {
public:
    explicit CManagerFactory(std::shared_ptr<ModemCore> core) : m_Core(std::move(core)) {}

    STDMETHOD(QueryInterface)(REFIID riid, void** ppv) override {
        if (ppv == nullptr) {
            return E_POINTER;
        }
        *ppv = nullptr;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
            *ppv = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        return E_NOINTERFACE;
    }
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

}  // namespace

// ---- SimModem

SimModem::SimModem(ModemOptions options)
    : m_Core(std::make_shared<ModemCore>(std::move(options))) {}

SimModem::~SimModem() {
    Stop();
}

HRESULT SimModem::Start() {
    ModemCore& core = *m_Core;
    {
        std::lock_guard lock(core.StateLock);
        if (core.Running) {
            return S_FALSE;
        }
    }
    if (!core.Options.Faults.empty()) {
        std::string error;
        if (!FaultPlan::Instance().Parse(core.Options.Faults, &error)) {
            return E_INVALIDARG;
        }
    }
    std::string linkText = core.Options.Link;
    if (linkText.empty()) {
        std::ifstream in(core.Options.MachineFolder / "modem" / "link");
        std::getline(in, linkText);
    }
    LinkModel link;
    std::string linkError;
    if (!ParseLinkModel(linkText, &link, &linkError)) {
        return E_INVALIDARG;
    }
    const std::string firmware = core.LoadFirmware();
    core.PersistFirmware(firmware);
    {
        std::lock_guard lock(core.StateLock);
        core.Firmware = firmware;
        core.Link = link;
        core.LinkFreeAtNs = 0;
        core.LoaderCommits = core.Loader.CommitCount();
        core.Running = true;
    }
    ModemCore* raw = m_Core.get();
    core.Loader.SetReplyHandler([raw](const uint8_t* data, size_t length) {
        raw->SendData(std::vector<uint8_t>(data, data + length));
    });
    {
        std::lock_guard lock(core.QueueLock);
        core.Stopping = false;
        core.Silent = false;
    }
    core.Worker = std::thread([raw] { raw->Run(); });

    IClassFactory* factories[] = {new CManagerFactory<CInterfaceManager>(m_Core),
                                  new CManagerFactory<CServicesManager>(m_Core)};
    const CLSID* classes[] = {&CLSID_MbnInterfaceManager, &CLSID_MbnDeviceServicesManager};
    HRESULT hr = S_OK;
    for (int i = 0; i < 2; ++i) {
        const HRESULT hrRegister = CoRegisterClassObject(
            *classes[i], factories[i], CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER,
            REGCLS_MULTIPLEUSE, &core.FactoryCookies[i]);
        if (FAILED(hrRegister) && SUCCEEDED(hr)) {
            hr = hrRegister;
        }
        factories[i]->Release();
    }
    if (FAILED(hr)) {
        Stop();
    }
    return hr;
}

void SimModem::Stop() {
    ModemCore& core = *m_Core;
    for (DWORD& cookie : core.FactoryCookies) {
        if (cookie != 0) {
            CoRevokeClassObject(cookie);
            cookie = 0;
        }
    }
    std::map<std::pair<ULONGLONG, uint64_t>, Pending> discarded;
    {
        std::lock_guard lock(core.QueueLock);
        core.Stopping = true;
        core.QueueCv.notify_all();
    }
    if (core.Worker.joinable()) {
        core.Worker.join();
    }
    IMbnDeviceService* owner = nullptr;
    {
        std::lock_guard lock(core.QueueLock);
        discarded.swap(core.Queue);
    }
    {
        std::lock_guard lock(core.StateLock);
        core.Running = false;
        core.DataSessionOpen = false;
        owner = core.DataSessionOwner;
        core.DataSessionOwner = nullptr;
        std::fill(std::begin(core.CommandSessionOpen), std::end(core.CommandSessionOpen), false);
    }
    core.Loader.SetReplyHandler(nullptr);
    discarded.clear();
    if (owner != nullptr) {
        owner->Release();
    }
}

std::vector<ModemCommand> SimModem::Commands() const {
    std::lock_guard lock(m_Core->StateLock);
    return m_Core->Commands;
}

std::vector<ModemSession> SimModem::Sessions() const {
    std::lock_guard lock(m_Core->StateLock);
    return m_Core->Sessions;
}

std::vector<uint8_t> SimModem::WrittenBytes() const {
    std::lock_guard lock(m_Core->StateLock);
    return m_Core->Written;
}

ModemStats SimModem::Stats() const {
    std::lock_guard lock(m_Core->StateLock);
    return m_Core->Stats;
}

std::string SimModem::FirmwareVersion() const {
    return m_Core->CurrentFirmware();
}

LinkModel SimModem::Link() const {
    std::lock_guard lock(m_Core->StateLock);
    return m_Core->Link;
}

size_t SimModem::AdvisedSinkCount() const {
    return m_Core->Sinks->Count();
}

bool SimModem::DataSessionOpen() const {
    std::lock_guard lock(m_Core->StateLock);
    return m_Core->DataSessionOpen;
}

void SimModem::SendData(const uint8_t* data, size_t length) {
    m_Core->SendData(std::vector<uint8_t>(data, data + length));
}

bool SimModem::WaitIdle(DWORD timeoutMs) {
    ModemCore& core = *m_Core;
    std::unique_lock lock(core.QueueLock);
    return core.QueueCv.wait_for(lock, WinplatScaledMs(timeoutMs), [&] {
        return core.Stopping || (core.Queue.empty() && !core.Delivering);
    });
}

BootLoader& SimModem::Loader() {
    return m_Core->Loader;
}

}  // namespace sim
