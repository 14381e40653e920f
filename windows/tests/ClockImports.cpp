// A module that takes its time from kernel32 as Brelk.dll does, for the seam's clock to bind
// to itself. GetTickCount stands for the imports the clock leaves alone.
#include <windows.h>

extern "C" {

__declspec(dllexport) void ProbeSleep(DWORD ms) {
    Sleep(ms);
}

__declspec(dllexport) DWORD ProbeWait(HANDLE object, DWORD ms) {
    return WaitForSingleObject(object, ms);
}

__declspec(dllexport) ULONGLONG ProbeTickCount64() {
    return GetTickCount64();
}

__declspec(dllexport) DWORD ProbeTickCount() {
    return GetTickCount();
}
}
