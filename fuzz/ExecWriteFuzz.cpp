// The "EXEC" detection of PortWrite: a write counts when its data, read as zero-terminated
// text but never beyond its length, is "EXEC"; the third such write opens the read gate
// for good and the count starts again. Each write's data is allocated at its exact length,
// so a look past it shows. No flash service is set, so every write fails and reports
// nothing written.
//
// Input: a sequence of writes, each a flag byte (1: null data, 2: no written count), a
// length byte and that many data bytes.

#include <sys/prctl.h>
#include <winplat/clock.h>
#include <winplat/debugout.h>

#include <cstring>
#include <memory>
#include <string_view>

#include "FuzzInput.h"
#include "Internal.h"

namespace {

using brelkfuzz::CheckEq;

constexpr size_t kMaxWrites = 64;
constexpr UINT32 kSentinel = 0xA5A5A5A5;

bool IsExecText(const char* data, size_t length) {
    if (data == nullptr) {
        return false;
    }
    return std::string_view(data, strnlen(data, length)) == "EXEC";
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    WinplatSetTimeScale(1e8);       // the 3 s pause after each "EXEC"
    prctl(PR_SET_TIMERSLACK, 1UL);  // waits of nanoseconds then end on time, not 50 us late
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    brelkfuzz::Input in(data, size);
    g_pFlashService.reset();
    g_ExecCount = 0;
    g_ReadGate = 0;
    int execs = 0;
    bool gateOpen = false;

    for (size_t i = 0; i < kMaxWrites && !in.Empty(); ++i) {
        const uint8_t flags = in.U8();
        const uint8_t declared = in.U8();
        const auto bytes = in.Bytes(declared);
        std::unique_ptr<char[]> copy(new char[bytes.size()]);
        std::memcpy(copy.get(), bytes.data(), bytes.size());
        const char* payload = (flags & 1) ? nullptr : copy.get();
        const UINT32 length = (flags & 1) ? declared : static_cast<UINT32>(bytes.size());

        UINT32 written = kSentinel;
        PortWrite(nullptr, payload, length, (flags & 2) ? nullptr : &written);

        if (IsExecText(payload, length) && ++execs == 3) {
            gateOpen = true;
            execs = 0;
        }
        CheckEq(execs, g_ExecCount.load(), "EXEC writes counted");
        CheckEq(gateOpen ? 1 : 0, g_ReadGate.load(), "read gate");
        CheckEq((flags & 2) ? kSentinel : 0, written, "written count of a failed write");
    }
    WinplatClearDebugOutput();
    return 0;
}
