// The module the smoke program loads: says hello through the debugger output.
#include <windows.h>

#include <string>

BOOL WINAPI DllMain(HINSTANCE hinstDLL, DWORD fdwReason, LPVOID) {
    if (fdwReason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(hinstDLL);
        OutputDebugStringW(L"SmokeGreeter: loaded");
    } else if (fdwReason == DLL_PROCESS_DETACH) {
        OutputDebugStringW(L"SmokeGreeter: unloaded");
    }
    return TRUE;
}

extern "C" __declspec(dllexport) DWORD WINAPI Greet(LPVOID who) {
    Sleep(1500);  // platform milliseconds: quick at a high time scale
    const std::wstring text = L"SmokeGreeter: hello from thread " +
                              std::to_wstring(GetCurrentThreadId()) + L" to " +
                              static_cast<const wchar_t*>(who);
    OutputDebugStringW(text.c_str());
    return 42;
}
