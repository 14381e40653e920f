// The trace provider of Brelk: registration with the platform and the enable callback.
// The trace points themselves are in Trace.h.
#include "Trace.h"

TraceControlBlock g_TraceControlBlock{};
std::atomic<TraceControlBlock*> g_pTraceControlBlock{nullptr};

namespace {

const GUID* const kControlGuids[] = {&BRELK_TRACE_CONTROL_GUID};

}  // namespace

void StartTracing() {
    TraceControlBlock& block = g_TraceControlBlock;
    block.Next = nullptr;
    block.Logger.store(0, std::memory_order_relaxed);
    block.FlagsLength = 1;
    block.Level.store(0, std::memory_order_relaxed);
    block.Options = 0;
    block.Flags.store(0, std::memory_order_relaxed);
    g_pTraceControlBlock.store(&block, std::memory_order_release);

    std::size_t next = 0;
    for (TraceControlBlock* b = &block; b != nullptr; b = b->Next) {
        b->ControlGuid = kControlGuids[next++];
        TRACE_GUID_REGISTRATION registration = {b->ControlGuid, nullptr};
        // Not checked: a provider that could not register is never enabled, and every
        // trace point stays silent.
        RegisterTraceGuidsW(TraceEnableCallback, b, b->ControlGuid, 1, &registration, nullptr,
                            nullptr, &b->RegistrationHandle);
    }
}

void StopTracing() {
    TraceControlBlock* block = g_pTraceControlBlock.load(std::memory_order_acquire);
    if (block == nullptr) {
        return;
    }
    for (TraceControlBlock* b = block; b != nullptr; b = b->Next) {
        if (b->RegistrationHandle != 0) {
            UnregisterTraceGuids(b->RegistrationHandle);
            b->RegistrationHandle = 0;
        }
    }
    g_pTraceControlBlock.store(nullptr, std::memory_order_release);
}

ULONG WINAPI TraceEnableCallback(WMIDPREQUESTCODE RequestCode, PVOID Context,
                                 ULONG* InOutBufferSize, PVOID Buffer) noexcept {
    auto* block = static_cast<TraceControlBlock*>(Context);
    if (InOutBufferSize != nullptr) {
        *InOutBufferSize = 0;
    }
    TRACEHANDLE logger = 0;
    UCHAR level = 0;
    ULONG flags = 0;
    switch (RequestCode) {
        case WMI_ENABLE_EVENTS:
            logger = GetTraceLoggerHandle(Buffer);
            level = GetTraceEnableLevel(logger);
            flags = GetTraceEnableFlags(logger);
            break;
        case WMI_DISABLE_EVENTS:
            break;
        default:
            return ERROR_INVALID_PARAMETER;
    }
    if (block == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    TraceControlBlock* target = block;
    const TRACEHANDLE current = block->Logger.load(std::memory_order_relaxed);
    if ((block->Options & TRACE_CONTROL_OPTION_FORWARD) != 0 && current != 0) {
        target = reinterpret_cast<TraceControlBlock*>(static_cast<uintptr_t>(current));
    }
    target->Logger.store(logger, std::memory_order_relaxed);
    target->Level.store(level, std::memory_order_relaxed);
    target->Flags.store(flags, std::memory_order_relaxed);
    return ERROR_SUCCESS;
}
