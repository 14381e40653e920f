// Smoke program for the platform layer: loads SmokeGreeter.dll by name, runs its Greet
// export on a new thread, waits for it, and prints what reached the debugger output.
#include <windows.h>
#include <winplat/clock.h>
#include <winplat/debugout.h>
#include <winplat/stats.h>

#include <stdio.h>

int main() {
    const ULONGLONG start = GetTickCount64();
    HMODULE module = LoadLibraryW(L"smokegreeter.dll");
    if (module == nullptr) {
        fprintf(stderr, "LoadLibraryW failed: %lu\n", static_cast<unsigned long>(GetLastError()));
        return 1;
    }
    auto greet = reinterpret_cast<LPTHREAD_START_ROUTINE>(
        reinterpret_cast<void (*)()>(GetProcAddress(module, "Greet")));
    if (greet == nullptr) {
        fprintf(stderr, "GetProcAddress failed: %lu\n", static_cast<unsigned long>(GetLastError()));
        return 1;
    }
    DWORD threadId = 0;
    static wchar_t who[] = L"winplat-smoke";
    HANDLE thread = CreateThread(nullptr, 0, greet, who, 0, &threadId);
    if (thread == nullptr) {
        fprintf(stderr, "CreateThread failed: %lu\n", static_cast<unsigned long>(GetLastError()));
        return 1;
    }
    const DWORD wait = WaitForSingleObject(thread, 10000);
    DWORD exitCode = 0;
    GetExitCodeThread(thread, &exitCode);
    CloseHandle(thread);
    FreeLibrary(module);

    printf("time scale %gx, thread %lu: wait %s, exit code %lu, %llu platform ms\n",
           WinplatGetTimeScale(), static_cast<unsigned long>(threadId),
           wait == WAIT_OBJECT_0 ? "WAIT_OBJECT_0" : "failed", static_cast<unsigned long>(exitCode),
           static_cast<unsigned long long>(GetTickCount64() - start));
    printf("debugger output:\n");
    for (const auto& line : WinplatGetDebugOutput()) {
        printf("  %s\n", line.c_str());
    }
    printf("open handles %zu, loaded modules %zu, live threads %zu\n", WinplatOpenHandleCount(),
           WinplatLoadedModuleCount(), WinplatLiveThreadCount());
    return wait == WAIT_OBJECT_0 && exitCode == 42 ? 0 : 1;
}
