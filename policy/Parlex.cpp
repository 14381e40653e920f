// Parlex: the device maker's firmware-update policy. Fixed answers, one line of debugger
// output per call, no state.
//
// Test builds of the same source leave one export out (PARLEX_OMIT_<export>) or answer
// another retry limit (PARLEX_MAX_RETRY_COUNT).

#include <windows.h>

#include "FwVersionInfo.h"

#ifndef PARLEX_MAX_RETRY_COUNT
#define PARLEX_MAX_RETRY_COUNT 3
#endif

extern "C" {

#ifndef PARLEX_OMIT_CheckForFwUpdate
static char AsciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

__declspec(dllexport) INT32 WINAPI CheckForFwUpdate(const FwVersionInfo* Info) {
    // Case-blind, and never past the fields' 100 bytes: texts that fill a field without
    // a terminator still compare within the record.
    bool same = true;
    for (size_t i = 0; i < sizeof(Info->CurrentVersion); ++i) {
        const char a = Info->CurrentVersion[i];
        const char b = Info->ImageVersion[i];
        if (AsciiLower(a) != AsciiLower(b)) {
            same = false;
            break;
        }
        if (a == '\0') {
            break;
        }
    }
    if (same) {
        OutputDebugStringA("Firmware versions are same, upgrade not required");
        return 1;
    }
    OutputDebugStringA("Firmware versions are not same, upgrade required");
    return 0;
}
#endif

#ifndef PARLEX_OMIT_IsDriverCheckRequired
__declspec(dllexport) INT32 WINAPI IsDriverCheckRequired() {
    return 1;
}
#endif

#ifndef PARLEX_OMIT_GetMaxRetryCountFromOEM
__declspec(dllexport) INT32 WINAPI GetMaxRetryCountFromOEM() {
    OutputDebugStringA("Setting retry count from OEM DLL!");
    return PARLEX_MAX_RETRY_COUNT;
}
#endif

#ifndef PARLEX_OMIT_FWUpgradeResult
__declspec(dllexport) void WINAPI FWUpgradeResult(UINT8 Succeeded) {
    OutputDebugStringA(Succeeded != 0 ? "Result in OEM DLL-PASS" : "Result in OEM DLL-FAIL");
}
#endif

#ifndef PARLEX_OMIT_SendRetryCountToOEM
__declspec(dllexport) void WINAPI SendRetryCountToOEM(UINT8 RetryCount) {
    (void)RetryCount;
    OutputDebugStringA("Passed retry count to OEM");
}
#endif

}  // extern "C"
