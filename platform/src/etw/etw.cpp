// Classic event tracing: provider registration, the controller's sessions and the log
// file they write.
#include <evntrace.h>
#include <windows.h>
#include <winplat/tracectl.h>

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "kernel/kernel.h"

namespace winplat {
namespace {

// A logger handle carries what a provider asks for with it, as Windows' does:
// session id in bits 0-15, enable level in bits 16-23, enable flags in bits 32-63.
constexpr ULONG64 kSessionMask = 0xFFFF;
constexpr USHORT kMaxSessionId = 0xFFFE;  // 0xFFFF would make INVALID_HANDLE_VALUE valid

TRACEHANDLE MakeLoggerHandle(USHORT session, UCHAR level, ULONG flags) {
    return (static_cast<ULONG64>(flags) << 32) | (static_cast<ULONG64>(level) << 16) | session;
}

bool IsWellFormedLogger(TRACEHANDLE h) {
    const USHORT session = static_cast<USHORT>(h & kSessionMask);
    return session != 0 && session <= kMaxSessionId && (h & 0xFF000000ull) == 0;
}

struct Session {
    USHORT id = 0;
    ULONG64 startTime = 0;         // written before the session is published
    uint64_t startPlatformNs = 0;  // written before the session is published
    std::mutex fileLock;
    FILE* file = nullptr;  // guarded by fileLock; NULL once stopped
    ULONG sequence = 0;    // guarded by fileLock
    ULONG64 written = 0;   // guarded by fileLock
    ULONG64 lost = 0;      // guarded by fileLock
};

struct Registration {
    TRACEHANDLE handle;
    GUID control;
    WMIDPREQUEST callback;
    PVOID context;
};

struct Enablement {
    GUID control;
    USHORT session;
    UCHAR level;
    ULONG flags;
};

struct Controller {
    // Serialises control callbacks with registration changes, so that no callback runs
    // after UnregisterTraceGuids returns. Taken before tableLock.
    std::mutex delivery;
    std::mutex tableLock;
    std::map<USHORT, std::shared_ptr<Session>> sessions;  // guarded by tableLock
    std::vector<Registration> registrations;              // guarded by tableLock
    std::vector<Enablement> enabled;                      // guarded by tableLock
    TRACEHANDLE nextRegistration = 1;                     // guarded by tableLock
    USHORT nextSession = 1;                               // guarded by tableLock
};

Controller& TheController() {
    // Never destroyed: modules may unregister while the process exits.
    static Controller* c = new Controller;
    return *c;
}

Enablement* FindEnablementLocked(Controller& c, const GUID& control) {
    for (auto& e : c.enabled) {
        if (e.control == control) {
            return &e;
        }
    }
    return nullptr;
}

std::vector<Registration> RegistrationsForLocked(Controller& c, const GUID& control) {
    std::vector<Registration> out;
    for (const auto& r : c.registrations) {
        if (r.control == control) {
            out.push_back(r);
        }
    }
    return out;
}

ULONG CallProvider(const Registration& r, WMIDPREQUESTCODE code, TRACEHANDLE logger) {
    WNODE_HEADER header{};
    header.BufferSize = sizeof(header);
    header.HistoricalContext = logger;
    header.Guid = r.control;
    header.Flags = WNODE_FLAG_TRACED_GUID;
    ULONG size = sizeof(header);
    return r.callback(code, r.context, &size, &header);
}

// Runs the callbacks on a controller thread, as Windows does, and waits for them.
// Called with c.delivery held.
void DeliverOnControllerThread(const std::vector<Registration>& targets, WMIDPREQUESTCODE code,
                               TRACEHANDLE logger) {
    if (targets.empty()) {
        return;
    }
    std::thread worker([&] {
        for (const auto& r : targets) {
            CallProvider(r, code, logger);
        }
    });
    worker.join();
}

ULONG64 FileTimeNow() {
    FILETIME ft{};
    GetSystemTimeAsFileTime(&ft);
    return (static_cast<ULONG64>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

std::shared_ptr<Session> FindSession(TRACEHANDLE h) {
    Controller& c = TheController();
    std::lock_guard<std::mutex> guard(c.tableLock);
    auto it = c.sessions.find(static_cast<USHORT>(h & kSessionMask));
    return it == c.sessions.end() ? nullptr : it->second;
}

bool IsSessionHandle(TRACEHANDLE h) {
    return h != 0 && h <= kMaxSessionId;
}

ULONG WriteMessage(Session& s, ULONG flags, LPCGUID guid, USHORT number, va_list args) {
    // Sizes first, on a copy of the list, so that a record is written whole or not at all.
    size_t argBytes = 0;
    {
        va_list scan;
        va_copy(scan, args);
        for (;;) {
            const void* data = va_arg(scan, const void*);
            if (data == nullptr) {
                break;
            }
            argBytes += va_arg(scan, size_t);
            if (argBytes > TRACE_MESSAGE_MAXIMUM_SIZE) {
                break;
            }
        }
        va_end(scan);
    }
    size_t fieldBytes = 0;
    if (flags & TRACE_MESSAGE_SEQUENCE) {
        fieldBytes += sizeof(ULONG);
    }
    if (flags & TRACE_MESSAGE_GUID) {
        fieldBytes += sizeof(GUID);
    }
    if (flags & TRACE_MESSAGE_COMPONENTID) {
        fieldBytes += sizeof(ULONG);
    }
    if (flags & TRACE_MESSAGE_TIMESTAMP) {
        fieldBytes += sizeof(LONGLONG);
    }
    if (flags & TRACE_MESSAGE_SYSTEMINFO) {
        fieldBytes += 2 * sizeof(ULONG);
    }

    // Windows keeps 72 bytes of each buffer for its own headers.
    const bool tooLarge = argBytes + 72 > TRACE_MESSAGE_MAXIMUM_SIZE;

    const ULONG64 timeStamp =
        s.startTime + (PlatformNowNs() - s.startPlatformNs) / 100;  // before the lock
    const ULONG threadId = GetCurrentThreadId();
    // Asked once: it is a system call here, and a process keeps its id.
    static const ULONG processId = GetCurrentProcessId();

    std::lock_guard<std::mutex> guard(s.fileLock);
    if (s.file == nullptr) {
        return ERROR_INVALID_HANDLE;  // stopped while this message was on its way
    }
    if (tooLarge) {
        ++s.lost;
        return ERROR_MORE_DATA;
    }
    WinplatTraceRecordHeader header{};
    header.Size = static_cast<ULONG>(sizeof(header) + fieldBytes + argBytes);
    header.MessageFlags = static_cast<USHORT>(flags);
    header.MessageNumber = number;
    const ULONG sequence = s.sequence + 1;

    // The record is put together first and written with one call: most messages are
    // small, and stdio calls cost more than the copy.
    uint8_t small[512];
    size_t used = 0;
    bool ok = true;
    auto put = [&](const void* data, size_t length) {
        if (length == 0) {
            return;
        }
        if (used + length > sizeof(small)) {
            ok = ok && (used == 0 || fwrite_unlocked(small, used, 1, s.file) == 1);
            used = 0;
            if (length > sizeof(small)) {
                ok = ok && fwrite_unlocked(data, length, 1, s.file) == 1;
                return;
            }
        }
        memcpy(small + used, data, length);
        used += length;
    };
    put(&header, sizeof(header));
    if (flags & TRACE_MESSAGE_SEQUENCE) {
        put(&sequence, sizeof(sequence));
    }
    if (flags & TRACE_MESSAGE_GUID) {
        const GUID zero{};
        put(guid != nullptr ? guid : &zero, sizeof(GUID));
    }
    if (flags & TRACE_MESSAGE_COMPONENTID) {
        const ULONG component = guid != nullptr ? guid->Data1 : 0;
        put(&component, sizeof(component));
    }
    if (flags & TRACE_MESSAGE_TIMESTAMP) {
        put(&timeStamp, sizeof(timeStamp));
    }
    if (flags & TRACE_MESSAGE_SYSTEMINFO) {
        put(&threadId, sizeof(threadId));
        put(&processId, sizeof(processId));
    }
    for (;;) {
        const void* data = va_arg(args, const void*);
        if (data == nullptr) {
            break;
        }
        put(data, va_arg(args, size_t));
    }
    ok = ok && (used == 0 || fwrite_unlocked(small, used, 1, s.file) == 1);
    if (!ok) {
        // A partly written record would make the rest of the file unreadable; the file
        // is abandoned at this point, as a full disk would leave it.
        ++s.lost;
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    s.sequence = sequence;
    ++s.written;
    return ERROR_SUCCESS;
}

}  // namespace
}  // namespace winplat

using namespace winplat;

ULONG WMIAPI RegisterTraceGuidsW(WMIDPREQUEST RequestAddress, PVOID RequestContext,
                                 LPCGUID ControlGuid, ULONG GuidCount,
                                 PTRACE_GUID_REGISTRATION TraceGuidReg, LPCWSTR MofImagePath,
                                 LPCWSTR MofResourceName, PTRACEHANDLE RegistrationHandle) {
    if (RequestAddress == nullptr || ControlGuid == nullptr || RegistrationHandle == nullptr ||
        (GuidCount != 0 && TraceGuidReg == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    try {
        Controller& c = TheController();
        std::lock_guard<std::mutex> delivery(c.delivery);
        Registration r{};
        Enablement enabled{};
        bool isEnabled = false;
        {
            std::lock_guard<std::mutex> guard(c.tableLock);
            r = Registration{c.nextRegistration++, *ControlGuid, RequestAddress, RequestContext};
            c.registrations.push_back(r);
            if (const Enablement* e = FindEnablementLocked(c, *ControlGuid)) {
                enabled = *e;
                isEnabled = true;
            }
        }
        *RegistrationHandle = r.handle;
        for (ULONG i = 0; i < GuidCount; ++i) {
            TraceGuidReg[i].RegHandle = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(r.handle));
        }
        if (isEnabled) {
            return CallProvider(r, WMI_ENABLE_EVENTS,
                                MakeLoggerHandle(enabled.session, enabled.level, enabled.flags));
        }
        return ERROR_SUCCESS;
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

ULONG WMIAPI UnregisterTraceGuids(TRACEHANDLE RegistrationHandle) {
    Controller& c = TheController();
    std::lock_guard<std::mutex> delivery(c.delivery);
    std::lock_guard<std::mutex> guard(c.tableLock);
    for (auto it = c.registrations.begin(); it != c.registrations.end(); ++it) {
        if (it->handle == RegistrationHandle) {
            c.registrations.erase(it);
            return ERROR_SUCCESS;
        }
    }
    return ERROR_INVALID_PARAMETER;
}

TRACEHANDLE WMIAPI GetTraceLoggerHandle(PVOID Buffer) {
    if (Buffer == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return reinterpret_cast<TRACEHANDLE>(INVALID_HANDLE_VALUE);
    }
    const TRACEHANDLE h = static_cast<const WNODE_HEADER*>(Buffer)->HistoricalContext;
    if (!IsWellFormedLogger(h)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return reinterpret_cast<TRACEHANDLE>(INVALID_HANDLE_VALUE);
    }
    return h;
}

UCHAR WMIAPI GetTraceEnableLevel(TRACEHANDLE TraceHandle) {
    if (!IsWellFormedLogger(TraceHandle)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return static_cast<UCHAR>(TraceHandle >> 16);
}

ULONG WMIAPI GetTraceEnableFlags(TRACEHANDLE TraceHandle) {
    if (!IsWellFormedLogger(TraceHandle)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return static_cast<ULONG>(TraceHandle >> 32);
}

ULONG TraceMessageVa(TRACEHANDLE LoggerHandle, ULONG MessageFlags, LPCGUID MessageGuid,
                     USHORT MessageNumber, va_list MessageArgList) {
    if (LoggerHandle == 0 || !IsWellFormedLogger(LoggerHandle)) {
        return ERROR_INVALID_HANDLE;
    }
    if ((MessageFlags & ~static_cast<ULONG>(TRACE_MESSAGE_FLAG_MASK)) != 0 ||
        ((MessageFlags & TRACE_MESSAGE_GUID) && (MessageFlags & TRACE_MESSAGE_COMPONENTID))) {
        return ERROR_INVALID_PARAMETER;
    }
    try {
        std::shared_ptr<Session> s = FindSession(LoggerHandle);
        if (s == nullptr) {
            return ERROR_INVALID_HANDLE;
        }
        return WriteMessage(*s, MessageFlags, MessageGuid, MessageNumber, MessageArgList);
    } catch (...) {
        return ERROR_OUTOFMEMORY;
    }
}

ULONG __cdecl TraceMessage(TRACEHANDLE LoggerHandle, ULONG MessageFlags, LPCGUID MessageGuid,
                           USHORT MessageNumber, ...) {
    va_list args;
    // The Windows signature puts a USHORT before the ellipsis; clang warns that it is
    // promoted. va_start only needs the position, which the calling convention fixes.
#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wvarargs"
#endif
    va_start(args, MessageNumber);
#if defined(__clang__)
#pragma clang diagnostic pop
#endif
    const ULONG result =
        TraceMessageVa(LoggerHandle, MessageFlags, MessageGuid, MessageNumber, args);
    va_end(args);
    return result;
}

ULONG WinplatStartTraceSession(const char* LogFilePath, PTRACEHANDLE Session) {
    if (LogFilePath == nullptr || *LogFilePath == '\0' || Session == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    *Session = 0;
    try {
        auto s = std::make_shared<winplat::Session>();
        FILE* f = fopen(LogFilePath, "wb");
        if (f == nullptr) {
            return errno == ENOENT || errno == ENOTDIR ? ERROR_PATH_NOT_FOUND : ERROR_ACCESS_DENIED;
        }
        setvbuf(f, nullptr, _IOFBF, 64 * 1024);
        s->startTime = FileTimeNow();
        s->startPlatformNs = PlatformNowNs();
        WinplatTraceLogHeader header{};
        memcpy(header.Magic, WINPLAT_TRACE_LOG_MAGIC, sizeof(header.Magic));
        header.Version = WINPLAT_TRACE_LOG_VERSION;
        header.HeaderSize = sizeof(header);
        header.StartTime = static_cast<LONGLONG>(s->startTime);
        header.PointerSize = sizeof(void*);
        if (fwrite(&header, sizeof(header), 1, f) != 1) {
            fclose(f);
            return ERROR_ACCESS_DENIED;
        }
        s->file = f;

        Controller& c = TheController();
        std::lock_guard<std::mutex> guard(c.tableLock);
        if (c.sessions.size() >= kMaxSessionId) {
            fclose(f);
            return ERROR_NOT_ENOUGH_MEMORY;
        }
        while (c.sessions.count(c.nextSession) != 0) {
            c.nextSession = c.nextSession == kMaxSessionId ? 1 : c.nextSession + 1;
        }
        s->id = c.nextSession;
        c.nextSession = c.nextSession == kMaxSessionId ? 1 : c.nextSession + 1;
        c.sessions.emplace(s->id, s);
        *Session = s->id;
        return ERROR_SUCCESS;
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

ULONG WinplatEnableTrace(TRACEHANDLE Session, LPCGUID ControlGuid, UCHAR Level, ULONG Flags) {
    if (ControlGuid == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    if (!IsSessionHandle(Session)) {
        return ERROR_INVALID_HANDLE;
    }
    try {
        Controller& c = TheController();
        std::lock_guard<std::mutex> delivery(c.delivery);
        std::vector<Registration> targets;
        {
            std::lock_guard<std::mutex> guard(c.tableLock);
            const USHORT id = static_cast<USHORT>(Session);
            if (c.sessions.count(id) == 0) {
                return ERROR_INVALID_HANDLE;
            }
            if (Enablement* e = FindEnablementLocked(c, *ControlGuid)) {
                *e = Enablement{*ControlGuid, id, Level, Flags};
            } else {
                c.enabled.push_back(Enablement{*ControlGuid, id, Level, Flags});
            }
            targets = RegistrationsForLocked(c, *ControlGuid);
        }
        DeliverOnControllerThread(targets, WMI_ENABLE_EVENTS,
                                  MakeLoggerHandle(static_cast<USHORT>(Session), Level, Flags));
        return ERROR_SUCCESS;
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

ULONG WinplatDisableTrace(TRACEHANDLE Session, LPCGUID ControlGuid) {
    if (ControlGuid == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    if (!IsSessionHandle(Session)) {
        return ERROR_INVALID_HANDLE;
    }
    try {
        Controller& c = TheController();
        std::lock_guard<std::mutex> delivery(c.delivery);
        std::vector<Registration> targets;
        {
            std::lock_guard<std::mutex> guard(c.tableLock);
            const USHORT id = static_cast<USHORT>(Session);
            if (c.sessions.count(id) == 0) {
                return ERROR_INVALID_HANDLE;
            }
            Enablement* e = FindEnablementLocked(c, *ControlGuid);
            if (e == nullptr || e->session != id) {
                return ERROR_WMI_GUID_NOT_FOUND;
            }
            c.enabled.erase(c.enabled.begin() + (e - c.enabled.data()));
            targets = RegistrationsForLocked(c, *ControlGuid);
        }
        DeliverOnControllerThread(targets, WMI_DISABLE_EVENTS,
                                  MakeLoggerHandle(static_cast<USHORT>(Session), 0, 0));
        return ERROR_SUCCESS;
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

ULONG WinplatStopTraceSession(TRACEHANDLE Session, WinplatTraceSessionStats* Stats) {
    if (!IsSessionHandle(Session)) {
        return ERROR_INVALID_HANDLE;
    }
    try {
        Controller& c = TheController();
        std::lock_guard<std::mutex> delivery(c.delivery);
        std::shared_ptr<winplat::Session> s;
        std::vector<Registration> targets;
        {
            std::lock_guard<std::mutex> guard(c.tableLock);
            const USHORT id = static_cast<USHORT>(Session);
            auto it = c.sessions.find(id);
            if (it == c.sessions.end()) {
                return ERROR_INVALID_HANDLE;
            }
            s = it->second;
            c.sessions.erase(it);
            for (auto e = c.enabled.begin(); e != c.enabled.end();) {
                if (e->session == id) {
                    for (auto& r : RegistrationsForLocked(c, e->control)) {
                        targets.push_back(r);
                    }
                    e = c.enabled.erase(e);
                } else {
                    ++e;
                }
            }
        }
        DeliverOnControllerThread(targets, WMI_DISABLE_EVENTS,
                                  MakeLoggerHandle(static_cast<USHORT>(Session), 0, 0));
        std::lock_guard<std::mutex> guard(s->fileLock);
        const bool closed = fclose(s->file) == 0;
        s->file = nullptr;
        if (Stats != nullptr) {
            Stats->MessagesWritten = s->written;
            Stats->MessagesLost = s->lost;
        }
        return closed ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}
