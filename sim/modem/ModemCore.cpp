#include "ModemCore.h"

#include <objbase.h>
#include <oleauto.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>

#ifdef __linux__
#include <sys/prctl.h>
#endif

#include "HostSystem.h"

namespace sim {
namespace modem {
namespace {

// One counter per process: request ids are unique across every modem and service.
std::atomic<ULONG> g_NextRequestId{1};

}  // namespace

ULONG NextRequestId() {
    ULONG id = g_NextRequestId.fetch_add(1);
    if (id == 0) {
        id = g_NextRequestId.fetch_add(1);
    }
    return id;
}

void StoreRequestId(ULONG* field, ULONG id) {
    std::atomic_ref<ULONG>(*field).store(id);
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

}  // namespace modem

using modem::Pending;
using modem::PendingKind;

// Kept in nanoseconds: a transfer lasts a few milliseconds, and whole ones would make
// each late by up to one.
uint64_t ModemCore::LinkDueNs(size_t bytes) {
    const uint64_t now = sim::Host().Time().NowNs();
    std::lock_guard lock(StateLock);
    if (Link.Off()) {
        return now;
    }
    LinkFreeAtNs = std::max(LinkFreeAtNs, static_cast<double>(now)) + Link.TransferMs(bytes) * 1e6;
    return static_cast<uint64_t>(std::ceil(LinkFreeAtNs));
}

std::filesystem::path ModemCore::FirmwareFile() const {
    return Options.MachineFolder / "modem" / "firmware_version";
}

std::string ModemCore::LoadFirmware() const {
    std::ifstream in(FirmwareFile());
    std::string version;
    if (in && std::getline(in, version) && !version.empty()) {
        return version;
    }
    return Options.InitialFirmwareVersion;
}

// Written to a side file and renamed, so a crash leaves the old or the new version.
void ModemCore::PersistFirmware(const std::string& version) const {
    std::error_code ec;
    std::filesystem::create_directories(FirmwareFile().parent_path(), ec);
    const auto temp = FirmwareFile().string() + ".new";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out << version << '\n';
    }
    std::filesystem::rename(temp, FirmwareFile(), ec);
}

std::string ModemCore::CurrentFirmware() const {
    std::lock_guard lock(StateLock);
    return Firmware;
}

void ModemCore::Push(Pending pending, ULONGLONG delayMs) {
    PushAt(std::move(pending), sim::Host().Time().NowNs() + delayMs * 1000000u);
}

void ModemCore::PushAt(Pending pending, uint64_t dueNs) {
    std::lock_guard lock(QueueLock);
    if (Stopping) {
        return;
    }
    if (pending.Kind != PendingKind::Feed) {
        if (Silent) {
            return;
        }
        if (modem::SilencedByPlan()) {
            Silent = true;
            return;
        }
    }
    const auto at = Queue.emplace(std::make_pair(dueNs, NextSeq++), std::move(pending)).first;
    // Only a new first entry changes what the worker waits for; idle waiters wait for an
    // empty queue, which a push never makes.
    if (at == Queue.begin()) {
        QueueCv.notify_all();
    }
}

void ModemCore::Complete(Pending pending, uint64_t linkDueNs) {
    const auto extra = modem::CompletionDelay(pending.Kind);
    if (!extra) {
        return;
    }
    PushAt(std::move(pending), std::max(linkDueNs, sim::Host().Time().NowNs()) + *extra * 1000000u);
}

IMbnDeviceService* ModemCore::DataOwnerRef() {
    std::lock_guard lock(StateLock);
    if (DataSessionOwner != nullptr) {
        DataSessionOwner->AddRef();
    }
    return DataSessionOwner;
}

void ModemCore::SendData(std::vector<uint8_t> bytes) {
    const modem::NotificationShape shape = modem::ShapeNotification(std::move(bytes));
    if (shape.Drop) {
        return;
    }
    for (int copy = 0; copy < shape.Copies; ++copy) {
        for (const auto& piece : shape.Pieces) {
            Pending p;
            p.Kind = PendingKind::Data;
            p.Service = DataOwnerRef();
            p.HasArray = shape.HasArray;
            p.Data = piece;
            Push(std::move(p), shape.DelayMs);
        }
    }
}

// Every boot of the loader since the machine was made, in a file beside the firmware,
// so that a power loss in the middle of a download still shows that one started.
void ModemCore::CountBoot() const {
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
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out << boots + 1 << '\n';
    }
    std::filesystem::rename(temp, file, ec);
}

void ModemCore::Feed(const std::vector<uint8_t>& bytes) {
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

void ModemCore::Deliver(Pending& p) {
    if (p.Kind == PendingKind::Feed) {
        Feed(p.Data);
        return;
    }
    SinkSnapshot sinks;
    if (FAILED(Sinks->Snapshot(&sinks))) {
        return;
    }
    SAFEARRAY* array = p.HasArray ? modem::ArrayOf(p.Data) : nullptr;
    sinks.ForEach<IMbnDeviceServicesEvents>([&](IMbnDeviceServicesEvents* sink) {
        switch (p.Kind) {
            case PendingKind::OpenCommand:
                sink->OnOpenCommandSessionComplete(p.Service, p.Status, p.RequestId);
                break;
            case PendingKind::CloseCommand:
                sink->OnCloseCommandSessionComplete(p.Service, p.Status, p.RequestId);
                break;
            case PendingKind::Set:
                sink->OnSetCommandComplete(p.Service, p.ResponseId, array, p.Status, p.RequestId);
                break;
            case PendingKind::Query:
                sink->OnQueryCommandComplete(p.Service, p.ResponseId, array, p.Status, p.RequestId);
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
    // Let go of the sinks at once: an Unadvise on another thread waits for that.
    sinks.Clear();
    SafeArrayDestroy(array);
    std::lock_guard lock(StateLock);
    if (p.Kind == PendingKind::Data) {
        ++Stats.Notifications;
        Stats.NotificationBytes += p.Data.size();
    } else {
        ++Stats.Completions;
    }
}

void ModemCore::Run() {
#ifdef __linux__
    // The kernel may defer a timed wake by the thread's timer slack (50 us unless set): on
    // a link whose transfers take tens of real microseconds at a high time scale, that
    // would be most of each one.
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
        const uint64_t now = sim::Host().Time().NowNs();
        if (first->first.first > now) {
            QueueCv.wait_for(lock, sim::Host().Time().ScaledWait(
                                       static_cast<double>(first->first.first - now) / 1e6));
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

}  // namespace sim
