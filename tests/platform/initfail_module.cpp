// Test module whose DllMain refuses process attach.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD fdwReason, LPVOID) {
    OutputDebugStringA(fdwReason == DLL_PROCESS_ATTACH   ? "PlatInitFail process attach"
                       : fdwReason == DLL_PROCESS_DETACH ? "PlatInitFail process detach"
                                                         : "PlatInitFail other");
    return fdwReason == DLL_PROCESS_ATTACH ? FALSE : TRUE;
}

extern "C" __declspec(dllexport) int InitFailMarker() {
    return 1;
}
