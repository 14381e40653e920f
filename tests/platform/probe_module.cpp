// Test module: reports each DllMain call to the debug sink as "PlatProbe <reason>".
#include <windows.h>

namespace {
HINSTANCE g_self;  // written at process attach, under the loader lock
}

BOOL WINAPI DllMain(HINSTANCE hinstDLL, DWORD fdwReason, LPVOID) {
    static const char* const kNames[] = {"PlatProbe process detach", "PlatProbe process attach",
                                         "PlatProbe thread attach", "PlatProbe thread detach"};
    if (fdwReason == DLL_PROCESS_ATTACH) {
        g_self = hinstDLL;
    }
    OutputDebugStringA(fdwReason < 4 ? kNames[fdwReason] : "PlatProbe ?");
    return TRUE;
}

extern "C" __declspec(dllexport) int ProbeAdd(int a, int b) {
    return a + b;
}
extern "C" __declspec(dllexport) HINSTANCE ProbeInstance() {
    return g_self;
}
extern "C" __declspec(dllexport) BOOL ProbeDisableThreadCalls() {
    return DisableThreadLibraryCalls(g_self);
}
