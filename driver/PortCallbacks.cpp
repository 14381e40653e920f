// The PortCallbacks source unit: the serial port that the flash library believes it
// talks to. Writes go out through the flash device service; reads are served from what
// the modem sent, once the library's boot handshake (three "EXEC" writes) has been seen.

#include <windows.h>

#include <cstring>

#include "Internal.h"
#include "MBDeviceService.h"
#include "Trace.h"

BRELK_TRACE_UNIT(PortCallbacks);

std::atomic<UINT16> g_ExecCount{0};
std::atomic<UINT8> g_ReadGate{0};

namespace {

constexpr DWORD EXEC_PAUSE_MS = 3000;
constexpr UINT16 EXEC_WRITES_TO_OPEN_GATE = 3;
constexpr char EXEC_TEXT[] = "EXEC";
constexpr UINT32 EXEC_TEXT_LENGTH = sizeof(EXEC_TEXT) - 1;

// The data read as zero-terminated text equals "EXEC". Nothing beyond `length` is read:
// the four bytes "EXEC" that fill `length` exactly count as the text.
bool IsExecWrite(const char* data, UINT32 length) {
    if (data == nullptr || length < EXEC_TEXT_LENGTH) {
        return false;
    }
    if (std::memcmp(data, EXEC_TEXT, EXEC_TEXT_LENGTH) != 0) {
        return false;
    }
    return length == EXEC_TEXT_LENGTH || data[EXEC_TEXT_LENGTH] == '\0';
}

}  // namespace

extern "C" void PortWrite(void* /*Port*/, const char* Data, UINT32 Length,
                          UINT32* Written) noexcept {
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_FLAG_TRANSPORT, "PortWrite: entry");
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_FLAG_TRANSPORT, "PortWrite: data %p length %u", Data,
                Length);

    if (IsExecWrite(Data, Length)) {
        ++g_ExecCount;
        Sleep(EXEC_PAUSE_MS);
    }
    if (g_ExecCount.load() == EXEC_WRITES_TO_OPEN_GATE) {
        g_ReadGate.store(1);
        UINT16 expected = EXEC_WRITES_TO_OPEN_GATE;
        g_ExecCount.compare_exchange_strong(expected, 0);
    }

    HRESULT hr = E_POINTER;
    CMBDeviceService* service = g_pFlashService.get();
    if (service == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_TRANSPORT, "PortWrite: no flash service");
    } else if (Data == nullptr && Length != 0) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_TRANSPORT, "PortWrite: no data for %u bytes",
                    Length);
    } else {
        hr = service->WriteDataToDevice(Data, Length);
    }

    // Only exactly S_OK is a completed write: a positive status is no proof that the
    // bytes went out.
    const bool succeeded = hr == S_OK;
    if (!succeeded) {
        OutputDebugStringW(L"\n Write failed");
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_TRANSPORT, "PortWrite: write failed %!HRESULT!",
                    hr);
    }
    if (Written != nullptr) {
        *Written = succeeded ? Length : 0;
    }
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_TRANSPORT, "PortWrite: exit %!HRESULT!", hr);
}

extern "C" void PortRead(void* /*Port*/, char* Buffer, UINT32 Capacity, UINT32* Count) noexcept {
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_FLAG_TRANSPORT, "PortRead: entry");
    CMBDeviceService* service = g_pFlashService.get();
    // Until the gate opens the library's buffer and count stay as it set them.
    if (g_ReadGate.load() != 0 && service != nullptr) {
        // The library counts in UINT32, the service in ULONG: distinct types on Windows,
        // so the count goes through a local of the service's type. A read that does not
        // touch the count leaves the library's value as it was.
        ULONG got = Count != nullptr ? static_cast<ULONG>(*Count) : 0;
        service->ReadDataFromDevice(Buffer, Count != nullptr ? &got : nullptr, Capacity);
        if (Count != nullptr) {
            *Count = static_cast<UINT32>(got);
        }
    }
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_FLAG_TRANSPORT, "PortRead: exit");
}

extern "C" UINT32 PortRxAvail(void* /*Port*/) noexcept {
    OutputDebugStringW(L"UMDF: RxAvail  ");
    CMBDeviceService* service = g_pFlashService.get();
    ULONG count = 0;
    if (service != nullptr && SUCCEEDED(service->GetAvailableBytes(&count))) {
        return count;
    }
    return 0;
}
