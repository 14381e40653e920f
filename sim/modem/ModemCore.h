#pragma once
// The modem's private parts, shared by its sources: the core (state, notification queue,
// worker, persistence; ModemCore.cpp), the COM objects handed to the driver
// (ModemCom.cpp) and the effects of the fault plan (ModemFaults.cpp).

#include <windows.h>
#include <mbnapi.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "BootLoader.h"
#include "ConnectionPoint.h"
#include "LinkModel.h"
#include "SimModem.h"

namespace sim {
namespace modem {

// ERROR_INVALID_STATE: a request that needs a session that is not open.
inline constexpr HRESULT kNotInSession = static_cast<HRESULT>(0x8007139F);
// ERROR_NOT_READY: the modem was stopped.
inline constexpr HRESULT kNotReady = static_cast<HRESULT>(0x80070015);
inline constexpr HRESULT kNotSupported = static_cast<HRESULT>(0x80070032);

// A request id unique in the process, never 0.
ULONG NextRequestId();
// The API stores the id while the requester's sink may read the same field on a
// notification thread.
void StoreRequestId(ULONG* field, ULONG id);

std::vector<uint8_t> BytesOf(SAFEARRAY* array);
SAFEARRAY* ArrayOf(const std::vector<uint8_t>& bytes);

enum class ServiceKind { Upgrade, Flash, Final };

struct ServiceInfo {
    ServiceKind Kind;
    const wchar_t* Id;
    bool Data;
};

inline constexpr ServiceInfo kServices[] = {
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

// ---- Fault effects (ModemFaults.cpp). Each consults the plan once, as the request it
// belongs to is made.

// What the plan does to a request call: refuse it (the call fails) or fail it (the
// completion reports the status).
struct RequestFault {
    std::optional<HRESULT> Refuse;
    std::optional<HRESULT> Fail;
};
RequestFault SessionFault(bool open, bool data);
RequestFault CommandFault(ULONG commandID);
// Reshapes a command's response as the plan says.
void ShapeResponse(ULONG commandID, Pending* pending);

struct WriteFault {
    std::optional<HRESULT> Fail;           // the loader gets nothing
    std::optional<int64_t> CorruptOffset;  // the loader gets this byte flipped
};
WriteFault FlashWriteFault();
// Flips one byte (offset taken modulo the size); nothing for no bytes.
void CorruptByte(std::vector<uint8_t>* bytes, int64_t offset);

// How one data notification goes out: dropped, or as pieces, each sent Copies times.
struct NotificationShape {
    bool Drop = false;
    int Copies = 1;
    bool HasArray = true;
    ULONGLONG DelayMs = 0;
    std::vector<std::vector<uint8_t>> Pieces;
};
NotificationShape ShapeNotification(std::vector<uint8_t> bytes);

// A completion's extra delay, or nothing when the plan drops it.
std::optional<ULONGLONG> CompletionDelay(PendingKind kind);
// True once the plan has silenced the modem.
bool SilencedByPlan();

// ---- COM objects (ModemCom.cpp).

IRecordInfo* NewDeviceServiceRecordInfo();
IClassFactory* NewInterfaceManagerFactory(std::shared_ptr<ModemCore> core);
IClassFactory* NewServicesManagerFactory(std::shared_ptr<ModemCore> core);

}  // namespace modem

// One modem's state. The COM objects each hold it alive through a shared pointer.
struct ModemCore {
    explicit ModemCore(ModemOptions options)
        : Options(std::move(options)), Sinks(std::make_shared<SinkList>()) {}

    const ModemOptions Options;
    const std::shared_ptr<SinkList> Sinks;  // every services manager's point shares it
    IRecordInfo* RecordInfo = modem::NewDeviceServiceRecordInfo();  // one reference, this core's
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
    std::map<std::pair<ULONGLONG, uint64_t>, modem::Pending> Queue;
    uint64_t NextSeq = 0;
    bool Stopping = false;
    bool Delivering = false;
    bool Silent = false;
    std::thread Worker;

    DWORD FactoryCookies[2] = {};

    ~ModemCore() { RecordInfo->Release(); }

    // One transfer after another: a write waits for the link to carry the ones before it.
    // The platform time (ns) at which this one is through.
    uint64_t LinkDueNs(size_t bytes);

    std::filesystem::path FirmwareFile() const;
    std::string LoadFirmware() const;
    void PersistFirmware(const std::string& version) const;
    std::string CurrentFirmware() const;

    void Push(modem::Pending pending, ULONGLONG delayMs = 0);
    void PushAt(modem::Pending pending, uint64_t dueNs);
    // A completion goes through the plan's drop and delay first; linkDueNs is when the
    // link has carried the request (0: it holds nothing).
    void Complete(modem::Pending pending, uint64_t linkDueNs = 0);
    IMbnDeviceService* DataOwnerRef();
    void SendData(std::vector<uint8_t> bytes);
    void CountBoot() const;
    void Feed(const std::vector<uint8_t>& bytes);
    void Deliver(modem::Pending& p);
    void Run();
};

}  // namespace sim
