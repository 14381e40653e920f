// The stand-in for the flash-download library: all 41 exports. The calls the driver makes
// behave as its call contract says; boot and download run on the library's own thread and
// reach the modem only through the port callbacks registered under codes 21, 22 and 23.

#include <windows.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "FaultPlan.h"
#include "FirmwareImage.h"
#include "FlashProtocol.h"
#include "FlashkitStandIn.h"
#include "HostSystem.h"

namespace {

using namespace flashkit;
using flashproto::AckStatus;
using flashproto::Frame;
using flashproto::FrameType;

using StatusFn = void (*)(uint8_t, int32_t, const char*);
using PortWriteFn = void (*)(void*, const char*, uint32_t, uint32_t*);
using PortReadFn = void (*)(void*, char*, uint32_t, uint32_t*);
using PortRxAvailFn = uint32_t (*)(void*);

constexpr uint32_t kDefaultReplyTimeoutMs = 5000;
// Large blocks: each one waits for its acknowledgement, so the round trip sets the pace.
constexpr uint32_t kDefaultBlockSize = 16384;
constexpr int kAttempts = 4;
constexpr uint32_t kReadChunk = 700;
constexpr DWORD kIdlePollMs = 2;

// Why a job stopped without an answer from the loader.
enum class Outcome { Done, Failed, Silent };

struct Job {
    enum Kind { Boot, Download, End } kind;
    std::string hostPath;
    uint32_t index = 0;
    uint32_t memoryClass = 0;
    // End of process only: where the caller waits for the result.
    struct Waiter {
        bool done = false;
        int32_t result = kErrTimeout;
    };
    std::shared_ptr<Waiter> waiter;
};

class Library {
public:
    static Library& Instance() {
        static Library library;
        return library;
    }

    ~Library() {
        {
            std::lock_guard lock(m_Lock);
            m_Stop = true;
        }
        m_Cv.notify_all();
        if (m_Worker.joinable()) {
            m_Worker.join();
        }
    }

    int32_t SetParameter(uint8_t code, uintptr_t value) {
        std::lock_guard lock(m_Lock);
        m_Params[code] = value;
        m_ConfigCalls.push_back({code, value});
        switch (code) {
            case kParamPortWrite:
                m_PortWrite = reinterpret_cast<PortWriteFn>(value);
                break;
            case kParamPortRead:
                m_PortRead = reinterpret_cast<PortReadFn>(value);
                break;
            case kParamPortRxAvail:
                m_PortRxAvail = reinterpret_cast<PortRxAvailFn>(value);
                break;
            default:
                break;
        }
        return kOk;
    }

    bool GetParameter(uint8_t code, uintptr_t* value) {
        std::lock_guard lock(m_Lock);
        auto it = m_Params.find(code);
        if (it == m_Params.end()) {
            return false;
        }
        *value = it->second;
        return true;
    }

    int32_t InitCallback(StatusFn callback) {
        std::lock_guard lock(m_Lock);
        m_StatusCallback = callback;
        m_ConfigCalls.push_back({kConfigInitCallback, reinterpret_cast<uintptr_t>(callback)});
        return kOk;
    }

    size_t ConfigCalls(ConfigCall* calls, size_t capacity) {
        std::lock_guard lock(m_Lock);
        if (calls != nullptr) {
            std::copy_n(m_ConfigCalls.begin(), std::min(capacity, m_ConfigCalls.size()), calls);
        }
        return m_ConfigCalls.size();
    }

    int32_t OpenPort() {
        std::lock_guard lock(m_Lock);
        if (m_PortWrite == nullptr || m_PortRead == nullptr) {
            return kErrPort;  // no device behind the port name, and no callbacks
        }
        m_PortOpen = true;
        return kOk;
    }

    // Ends the channel's work before it returns, as the library's own close would: queued
    // jobs are dropped (each reports its failure), the running one is cut short at its
    // next port access or pause and has made its last report by then. No report of this
    // port's jobs can reach the driver afterwards, so a new attempt's start, which drops
    // what is queued, sees none of them.
    //
    // The library's thread ends with the port, so that it is joined here and not at the
    // module's unload: on Windows a thread cannot end while the unloading thread holds
    // the loader's lock, and joining it there would never return.
    int32_t ClosePort() {
        std::deque<Job> dropped;
        std::thread worker;
        {
            std::unique_lock lock(m_Lock);
            m_PortOpen = false;
            ++m_Closes;
            dropped.swap(m_Jobs);
            for (const Job& job : dropped) {
                if (job.waiter) {
                    job.waiter->result = kErrPort;
                    job.waiter->done = true;
                }
            }
            m_Cv.notify_all();
            // A close from a callback on the library's own thread cannot wait for itself;
            // the thread ends once that callback returns.
            if (std::this_thread::get_id() != m_Worker.get_id()) {
                m_Cv.wait(lock, [this] { return !m_Running && !m_WorkerAlive; });
                worker = std::move(m_Worker);
            }
        }
        if (worker.joinable()) {
            worker.join();
        }
        for (const Job& job : dropped) {
            if (!job.waiter) {
                Report(kStatusFailed, "port closed");
            }
        }
        return kOk;
    }

    int32_t Submit(Job job) {
        std::lock_guard lock(m_Lock);
        if (!m_PortOpen) {
            return kErrPort;
        }
        if (!m_WorkerAlive) {
            // One that closed its own port has left its loop and no longer needs the lock.
            if (m_Worker.joinable()) {
                m_Worker.join();
            }
            m_WorkerAlive = true;
            m_Worker = std::thread([this, closes = m_Closes] { WorkerMain(closes); });
        }
        m_Jobs.push_back(std::move(job));
        m_Cv.notify_all();
        return kOk;
    }

    int32_t EndOfProcess() {
        if (auto hit = sim::FaultPlan::Instance().Check(sim::FaultPoint::FlashkitEnd);
            hit && hit->action == sim::FaultAction::Refuse) {
            return kErrRefused;
        }
        auto waiter = std::make_shared<Job::Waiter>();
        Job job{Job::End, {}, 0, 0, waiter};
        if (const int32_t r = Submit(std::move(job)); r != kOk) {
            return r;
        }
        std::unique_lock lock(m_Lock);
        const uint32_t limit =
            Param(kParamReplyTimeoutMs, kDefaultReplyTimeoutMs) * (kAttempts + 1);
        const ULONGLONG deadline = sim::Host().Time().NowMs() + limit;
        while (!waiter->done && !m_Stop) {
            const ULONGLONG now = sim::Host().Time().NowMs();
            if (now >= deadline) {
                break;
            }
            m_Cv.wait_for(lock, sim::Host().Time().ScaledWait(static_cast<double>(deadline - now)));
        }
        return waiter->done ? waiter->result : kErrTimeout;
    }

private:
    Library() = default;

    // Caller holds m_Lock.
    uint32_t Param(uint8_t code, uint32_t fallback) const {
        auto it = m_Params.find(code);
        return it == m_Params.end() || it->second == 0 ? fallback
                                                       : static_cast<uint32_t>(it->second);
    }

    uint32_t LockedParam(uint8_t code, uint32_t fallback) {
        std::lock_guard lock(m_Lock);
        return Param(code, fallback);
    }

    void Report(int32_t status, const char* text) {
        StatusFn callback;
        {
            std::lock_guard lock(m_Lock);
            callback = m_StatusCallback;
        }
        if (callback != nullptr) {
            callback(1, status, text);
        }
    }

    bool Stopping() {
        std::lock_guard lock(m_Lock);
        return m_Stop || !m_PortOpen;
    }

    // Waits platform milliseconds, or until the port closes or the library unloads.
    // False when it was cut short.
    bool Pause(uint32_t ms) {
        std::unique_lock lock(m_Lock);
        const ULONGLONG deadline = sim::Host().Time().NowMs() + ms;
        while (!m_Stop && m_PortOpen) {
            const ULONGLONG now = sim::Host().Time().NowMs();
            if (now >= deadline) {
                return true;
            }
            m_Cv.wait_for(lock, sim::Host().Time().ScaledWait(static_cast<double>(deadline - now)));
        }
        return false;
    }

    void Park() {
        std::unique_lock lock(m_Lock);
        m_Cv.wait(lock, [this] { return m_Stop || !m_PortOpen; });
    }

    // Runs the jobs of the port opened when it started, until the library unloads or the
    // port closes with nothing left queued.
    void WorkerMain(uint64_t closes) {
        for (;;) {
            Job job;
            {
                std::unique_lock lock(m_Lock);
                m_Cv.wait(lock, [&] { return m_Stop || !m_Jobs.empty() || m_Closes != closes; });
                if (m_Stop || m_Jobs.empty()) {
                    m_WorkerAlive = false;
                    m_Cv.notify_all();
                    return;
                }
                closes = m_Closes;
                job = std::move(m_Jobs.front());
                m_Jobs.pop_front();
                m_Running = true;
            }
            switch (job.kind) {
                case Job::Boot:
                    Finish(RunBoot(job));
                    break;
                case Job::Download:
                    Finish(RunDownload(job));
                    break;
                case Job::End: {
                    const int32_t result = RunEnd();
                    {
                        std::lock_guard lock(m_Lock);
                        job.waiter->result = result;
                        job.waiter->done = true;
                    }
                    break;
                }
            }
            {
                std::lock_guard lock(m_Lock);
                m_Running = false;
            }
            m_Cv.notify_all();
        }
    }

    void Finish(std::pair<Outcome, std::string> outcome) {
        if (outcome.first == Outcome::Done) {
            Report(kStatusDone, outcome.second.c_str());
        } else if (outcome.first == Outcome::Failed) {
            Report(kStatusFailed, outcome.second.c_str());
        }
    }

    // ---- port access (library thread only)

    bool Write(const uint8_t* data, size_t length) {
        PortWriteFn write;
        {
            std::lock_guard lock(m_Lock);
            if (!m_PortOpen) {
                return false;
            }
            write = m_PortWrite;
        }
        uint32_t written = 0;
        write(&m_PortCookie, reinterpret_cast<const char*>(data), static_cast<uint32_t>(length),
              &written);
        return written == length;
    }

    // Reads what the port has; 0 when nothing arrived.
    uint32_t ReadSome() {
        PortReadFn read;
        {
            std::lock_guard lock(m_Lock);
            if (!m_PortOpen) {
                return 0;
            }
            read = m_PortRead;
        }
        uint8_t buffer[kReadChunk];
        uint32_t count = 0;  // a read that delivers nothing may leave it untouched
        read(&m_PortCookie, reinterpret_cast<char*>(buffer), kReadChunk, &count);
        count = std::min(count, kReadChunk);
        if (count > 0) {
            m_Reader.Feed(std::span<const uint8_t>(buffer, count));
        }
        return count;
    }

    uint32_t RxAvail() {
        PortRxAvailFn avail;
        {
            std::lock_guard lock(m_Lock);
            avail = m_PortRxAvail;
        }
        return avail != nullptr ? avail(&m_PortCookie) : 0;
    }

    // Waits for a frame of `type` (and, for acknowledgements, `seq`); everything else
    // that arrives is a stale repeat or noise and is dropped.
    std::optional<Frame> AwaitFrame(FrameType type, uint16_t seq, uint32_t timeoutMs) {
        const ULONGLONG deadline = sim::Host().Time().NowMs() + timeoutMs;
        RxAvail();  // the port's own hint; the frame reader decides what is there
        for (;;) {
            while (auto item = m_Reader.Next()) {
                if (!item->IsExec && item->Packet.Type == type &&
                    (type != FrameType::Ack || item->Packet.Seq == seq)) {
                    return std::move(item->Packet);
                }
            }
            if (Stopping() || sim::Host().Time().NowMs() >= deadline) {
                return std::nullopt;
            }
            if (ReadSome() == 0) {
                sim::Host().Time().Sleep(kIdlePollMs);
            }
        }
    }

    // One request and its acknowledgement, with retransmission. The loader answers a
    // repeated sequence number from its cache, so a retry never applies a block twice.
    std::optional<Frame> Exchange(FrameType type, std::vector<uint8_t> payload) {
        Frame request{type, 0, ++m_Seq, std::move(payload)};
        const std::vector<uint8_t> bytes = flashproto::Encode(request);
        const uint32_t replyTimeout = LockedParam(kParamReplyTimeoutMs, kDefaultReplyTimeoutMs);
        for (int attempt = 0; attempt < kAttempts && !Stopping(); ++attempt) {
            if (!Write(bytes.data(), bytes.size())) {
                continue;
            }
            if (auto ack = AwaitFrame(FrameType::Ack, request.Seq, replyTimeout)) {
                return ack;
            }
        }
        return std::nullopt;
    }

    static std::string Describe(const char* what, const std::optional<Frame>& ack) {
        if (!ack) {
            return std::string(what) + ": no answer from the loader";
        }
        return std::string(what) + ": loader status " + std::to_string(ack->Status);
    }

    static bool Accepted(const std::optional<Frame>& ack) {
        return ack && ack->Status == static_cast<uint8_t>(AckStatus::Ok);
    }

    std::pair<Outcome, std::string> RunBoot(const Job& job) {
        Report(kStatusStarted, "boot");
        if (auto hit = sim::FaultPlan::Instance().Check(sim::FaultPoint::FlashkitBoot)) {
            if (hit->action == sim::FaultAction::Status1) {
                return {Outcome::Failed, "boot failed (injected)"};
            }
            if (hit->action == sim::FaultAction::Hang) {
                Park();
                return {Outcome::Silent, {}};
            }
            if (hit->action == sim::FaultAction::Delay &&
                !Pause(static_cast<uint32_t>(hit->value))) {
                return {Outcome::Failed, "port closed"};
            }
        }
        std::string error;
        auto image = fwimage::ImageReader::Open(job.hostPath, &error);
        if (!image) {
            return {Outcome::Failed, "image: " + error};
        }
        m_Reader.Clear();
        m_Seq = 0;
        for (int i = 0; i < flashproto::kExecCount; ++i) {
            if (!Write(reinterpret_cast<const uint8_t*>(flashproto::kExecToken),
                       sizeof(flashproto::kExecToken))) {
                return {Outcome::Failed, "EXEC write failed"};
            }
        }
        const uint32_t replyTimeout = LockedParam(kParamReplyTimeoutMs, kDefaultReplyTimeoutMs);
        if (!AwaitFrame(FrameType::Ready, 0, replyTimeout * kAttempts)) {
            return {Outcome::Failed, "loader did not answer the boot handshake"};
        }
        std::vector<uint8_t> start;
        flashproto::PutU32(start, static_cast<uint32_t>(image->Toc().size()));
        start.insert(start.end(), image->VersionText().begin(), image->VersionText().end());
        const auto ack = Exchange(FrameType::SessionStart, std::move(start));
        if (!Accepted(ack)) {
            return {Outcome::Failed, Describe("session start", ack)};
        }
        return {Outcome::Done, "boot done"};
    }

    std::pair<Outcome, std::string> RunDownload(const Job& job) {
        Report(kStatusStarted, "download");
        std::optional<uint64_t> corruptAt;
        if (auto hit = sim::FaultPlan::Instance().Check(sim::FaultPoint::FlashkitItem, job.index)) {
            if (hit->action == sim::FaultAction::Status1) {
                return {Outcome::Failed, "download failed (injected)"};
            }
            if (hit->action == sim::FaultAction::Hang) {
                Park();
                return {Outcome::Silent, {}};
            }
            if (hit->action == sim::FaultAction::Delay &&
                !Pause(static_cast<uint32_t>(hit->value))) {
                return {Outcome::Failed, "port closed"};
            }
            if (hit->action == sim::FaultAction::Corrupt) {
                corruptAt = static_cast<uint64_t>(hit->value);
            }
        }
        std::string error;
        auto image = fwimage::ImageReader::Open(job.hostPath, &error);
        std::unique_ptr<fwimage::ImageReader::ItemStream> stream;
        if (image) {
            stream = image->OpenItem(job.index, &error);
        }
        if (!stream) {
            return {Outcome::Failed, "image: " + error};
        }
        const fwimage::TocEntry& entry = image->Toc()[job.index];

        std::vector<uint8_t> begin;
        flashproto::PutU32(begin, job.index);
        flashproto::PutU32(begin, entry.MemoryClass);
        flashproto::PutU32(begin, entry.Size);
        flashproto::PutU32(begin, entry.Checksum);
        begin.insert(begin.end(), entry.Name.begin(), entry.Name.end());
        if (const auto ack = Exchange(FrameType::ItemBegin, std::move(begin)); !Accepted(ack)) {
            return {Outcome::Failed, Describe("item begin", ack)};
        }

        const uint32_t blockSize = std::clamp<uint32_t>(
            LockedParam(kParamBlockSize, kDefaultBlockSize), 1, flashproto::kMaxPayload - 4);
        std::vector<uint8_t> block(blockSize);
        int lastTenth = 0;
        while (!stream->AtEnd()) {
            if (auto hit =
                    sim::FaultPlan::Instance().Check(sim::FaultPoint::FlashkitBlock, job.index);
                hit && hit->action == sim::FaultAction::Delay &&
                !Pause(static_cast<uint32_t>(hit->value))) {
                return {Outcome::Failed, "port closed"};
            }
            const uint64_t offset = stream->Position();
            const size_t n = stream->Read(block.data(), block.size());
            if (n == 0) {
                return {Outcome::Failed, "image read error"};
            }
            std::vector<uint8_t> payload;
            payload.reserve(4 + n);
            flashproto::PutU32(payload, static_cast<uint32_t>(offset));
            payload.insert(payload.end(), block.begin(), block.begin() + static_cast<ptrdiff_t>(n));
            if (corruptAt && *corruptAt >= offset && *corruptAt < offset + n) {
                payload[4 + static_cast<size_t>(*corruptAt - offset)] ^= 0x5A;
            }
            if (const auto ack = Exchange(FrameType::ItemData, std::move(payload));
                !Accepted(ack)) {
                return {Outcome::Failed, Describe("item data", ack)};
            }
            const int tenth =
                entry.Size == 0 ? 10 : static_cast<int>(stream->Position() * 10 / entry.Size);
            if (tenth != lastTenth) {
                lastTenth = tenth;
                Report(kStatusProgress, (std::to_string(tenth * 10) + "%").c_str());
            }
        }
        if (!stream->Verified()) {
            return {Outcome::Failed, "image data does not match its checksum"};
        }
        std::vector<uint8_t> end;
        flashproto::PutU32(end, job.index);
        if (const auto ack = Exchange(FrameType::ItemEnd, std::move(end)); !Accepted(ack)) {
            return {Outcome::Failed, Describe("item end", ack)};
        }
        return {Outcome::Done, "download done"};
    }

    int32_t RunEnd() {
        const auto ack = Exchange(FrameType::EndOfProcess, {});
        if (!ack) {
            return kErrTimeout;
        }
        return Accepted(ack) ? kOk : kErrLoader;
    }

    std::mutex m_Lock;
    std::condition_variable m_Cv;
    // Guarded by m_Lock.
    std::map<uint8_t, uintptr_t> m_Params;
    std::vector<ConfigCall> m_ConfigCalls;
    StatusFn m_StatusCallback = nullptr;
    PortWriteFn m_PortWrite = nullptr;
    PortReadFn m_PortRead = nullptr;
    PortRxAvailFn m_PortRxAvail = nullptr;
    bool m_PortOpen = false;
    bool m_Stop = false;
    bool m_Running = false;  // the worker is inside a job, its reports included
    std::deque<Job> m_Jobs;
    uint64_t m_Closes = 0;
    bool m_WorkerAlive = false;  // the worker has not left its loop
    // Started by a port's first job, joined when the port closes (or at unload).
    std::thread m_Worker;
    // Library thread only.
    flashproto::FrameReader m_Reader;
    uint16_t m_Seq = 0;
    // The port handle handed to the callbacks; its address is all that matters.
    int m_PortCookie = 0;
};

// The host path of a Windows image path; empty when it maps to nothing.
std::string HostPath(const char* windowsPath) {
    if (windowsPath == nullptr || *windowsPath == '\0') {
        return {};
    }
    return sim::Host().Paths().ToHostPath(std::string_view(windowsPath));
}

std::unique_ptr<fwimage::ImageReader> OpenImage(const char* windowsPath) {
    const std::string host = HostPath(windowsPath);
    if (host.empty()) {
        return nullptr;
    }
    return fwimage::ImageReader::Open(host, nullptr);
}

// "|<index>|<image path>", as the driver builds its download entries.
bool ParseEntry(const char* entry, uint32_t* index, std::string* path) {
    if (entry == nullptr || entry[0] != '|') {
        return false;
    }
    const char* p = entry + 1;
    uint64_t value = 0;
    const char* digits = p;
    while (*p >= '0' && *p <= '9') {
        value = value * 10 + static_cast<uint64_t>(*p - '0');
        if (value > UINT32_MAX) {
            return false;
        }
        ++p;
    }
    if (p == digits || *p != '|') {
        return false;
    }
    *index = static_cast<uint32_t>(value);
    *path = p + 1;
    return true;
}

int32_t TocValue(const char* path, uint32_t index, uint32_t* out,
                 uint32_t fwimage::TocEntry::*field) {
    if (out == nullptr) {
        return kErrArgument;
    }
    auto image = OpenImage(path);
    if (!image) {
        return kErrImage;
    }
    if (index >= image->Toc().size()) {
        return kErrArgument;
    }
    *out = image->Toc()[index].*field;
    return kOk;
}

int32_t StartDownload(uint8_t channel, const char* entry) {
    (void)channel;
    uint32_t index = 0;
    std::string windowsPath;
    if (!ParseEntry(entry, &index, &windowsPath)) {
        return kErrArgument;
    }
    if (auto hit = sim::FaultPlan::Instance().Check(sim::FaultPoint::FlashkitDownloadCall, index);
        hit && hit->action == sim::FaultAction::Refuse) {
        return kErrRefused;
    }
    const std::string host = HostPath(windowsPath.c_str());
    auto image = host.empty() ? nullptr : fwimage::ImageReader::Open(host, nullptr);
    if (!image) {
        return kErrImage;
    }
    if (index >= image->Toc().size()) {
        return kErrArgument;
    }
    Job job{Job::Download, host, index, image->Toc()[index].MemoryClass, nullptr};
    return Library::Instance().Submit(std::move(job));
}

}  // namespace

#define FLASHKIT_API extern "C" __declspec(dllexport)

FLASHKIT_API int32_t ZKTR_DL_set_dll_parameter(uint8_t code, uintptr_t value, char* statusText) {
    (void)statusText;
    return Library::Instance().SetParameter(code, value);
}

FLASHKIT_API int32_t ZKTR_DL_init_callback(StatusFn callback, char* statusText) {
    (void)statusText;
    return Library::Instance().InitCallback(callback);
}

FLASHKIT_API int32_t ZKTR_DL_TOC_get_nof_items(const char* imagePath, uint32_t* count) {
    if (count == nullptr) {
        return kErrArgument;
    }
    auto image = OpenImage(imagePath);
    if (!image) {
        return kErrImage;
    }
    *count = static_cast<uint32_t>(image->Toc().size());
    return kOk;
}

FLASHKIT_API int32_t ZKTR_DL_TOC_get_filesize(const char* imagePath, uint32_t index,
                                              uint32_t* size) {
    return TocValue(imagePath, index, size, &fwimage::TocEntry::Size);
}

FLASHKIT_API int32_t ZKTR_DL_TOC_get_memory_class(const char* imagePath, uint32_t index,
                                                  uint32_t* memoryClass) {
    return TocValue(imagePath, index, memoryClass, &fwimage::TocEntry::MemoryClass);
}

FLASHKIT_API int32_t ZKTR_DL_get_sys_version(const char* imagePath, int32_t selector, char* buffer,
                                             uint32_t capacity) {
    (void)selector;
    if (buffer == nullptr || capacity == 0) {
        return kErrArgument;
    }
    auto image = OpenImage(imagePath);
    if (!image) {
        return kErrImage;
    }
    const std::string& text = image->VersionText();
    const size_t n = std::min<size_t>(text.size(), capacity - 1);
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
    return kOk;
}

FLASHKIT_API int32_t ZKTR_DL_open_comm_port(uint8_t channel, const char* portName,
                                            const char* altPortName, uint32_t baudRate,
                                            char* statusText) {
    (void)channel, (void)portName, (void)altPortName, (void)baudRate, (void)statusText;
    return Library::Instance().OpenPort();
}

FLASHKIT_API int32_t ZKTR_DL_close_comm_port(uint8_t channel, char* statusText) {
    (void)channel, (void)statusText;
    return Library::Instance().ClosePort();
}

FLASHKIT_API int32_t ZKTR_DL_boot_target(uint8_t channel, const char* imagePath, uint8_t* bootArea,
                                         char* statusText) {
    (void)channel, (void)bootArea, (void)statusText;
    if (auto hit = sim::FaultPlan::Instance().Check(sim::FaultPoint::FlashkitBootCall);
        hit && hit->action == sim::FaultAction::Refuse) {
        return kErrRefused;
    }
    const std::string host = HostPath(imagePath);
    if (host.empty() || !fwimage::ImageReader::Open(host, nullptr)) {
        return kErrImage;
    }
    return Library::Instance().Submit(Job{Job::Boot, host, 0, 0, nullptr});
}

FLASHKIT_API int32_t ZKTR_DL_download_fls_file(uint8_t channel, const char* entry,
                                               char* statusText) {
    (void)statusText;
    return StartDownload(channel, entry);
}

FLASHKIT_API int32_t ZKTR_DL_download_cust_file(uint8_t channel, const char* entry,
                                                char* statusText) {
    (void)statusText;
    return StartDownload(channel, entry);
}

FLASHKIT_API int32_t ZKTR_DL_end_of_process(uint8_t channel, char* statusText) {
    (void)channel, (void)statusText;
    return Library::Instance().EndOfProcess();
}

// For tests: see FlashkitStandIn.h.
FLASHKIT_API size_t FlashkitStandIn_ConfigCalls(flashkit::ConfigCall* calls, size_t capacity) {
    return Library::Instance().ConfigCalls(calls, capacity);
}

// The exports the driver binds but never calls: a plain failure.
#define FLASHKIT_UNSUPPORTED(name) \
    FLASHKIT_API int32_t name() { return kErrNotSupported; }
FLASHKIT_UNSUPPORTED(ZKTR_DL_get_dll_version)
FLASHKIT_UNSUPPORTED(ZKTR_DL_get_sw_version_data)
FLASHKIT_UNSUPPORTED(ZKTR_DL_dll_get_parameter)
FLASHKIT_UNSUPPORTED(ZKTR_DL_boot_bin_target)
FLASHKIT_UNSUPPORTED(ZKTR_DL_set_get_control_signal)
FLASHKIT_UNSUPPORTED(ZKTR_DL_download_bin_image)
FLASHKIT_UNSUPPORTED(ZKTR_DL_download_eep_file)
FLASHKIT_UNSUPPORTED(ZKTR_DL_download_dffs_file)
FLASHKIT_UNSUPPORTED(ZKTR_DL_upload_eep_file)
FLASHKIT_UNSUPPORTED(ZKTR_DL_upload_bin_image)
FLASHKIT_UNSUPPORTED(ZKTR_DL_update_static_eeprom)
FLASHKIT_UNSUPPORTED(ZKTR_DL_erase_image)
FLASHKIT_UNSUPPORTED(ZKTR_DL_verify_flash_image)
FLASHKIT_UNSUPPORTED(ZKTR_DL_abort_process)
FLASHKIT_UNSUPPORTED(ZKTR_DL_force_target_reset)
FLASHKIT_UNSUPPORTED(ZKTR_DL_start_AT_mode)
FLASHKIT_UNSUPPORTED(ZKTR_DL_stop_AT_mode)
FLASHKIT_UNSUPPORTED(ZKTR_DL_AT_send)
FLASHKIT_UNSUPPORTED(ZKTR_DL_dll_get_nof_progressbars)
FLASHKIT_UNSUPPORTED(ZKTR_DL_TOC_get_hw_platform)
FLASHKIT_UNSUPPORTED(ZKTR_DL_TOC_get_sw_option)
FLASHKIT_UNSUPPORTED(ZKTR_DL_TOC_get_filename)
FLASHKIT_UNSUPPORTED(ZKTR_DL_TOC_get_checksum)
FLASHKIT_UNSUPPORTED(ZKTR_DL_NVM_get_nof_user_options)
FLASHKIT_UNSUPPORTED(ZKTR_DL_NVM_get_user_option)
FLASHKIT_UNSUPPORTED(ZKTR_DL_NVM_set_user_option)
FLASHKIT_UNSUPPORTED(ZKTR_DL_trace_insert)
FLASHKIT_UNSUPPORTED(ZKTR_DL_out_of_session_comm)
FLASHKIT_UNSUPPORTED(ZKTR_get_comm_handle)
