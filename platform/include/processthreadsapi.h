#pragma once
#include "minwinbase.h"

WINPLAT_API HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                                       LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                                       DWORD dwCreationFlags, LPDWORD lpThreadId);
WINPLAT_API DWORD WINAPI ResumeThread(HANDLE hThread);
WINPLAT_API BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode);
WINPLAT_API DWORD WINAPI GetThreadId(HANDLE Thread);
WINPLAT_API DWORD WINAPI GetCurrentThreadId(void);
WINPLAT_API DWORD WINAPI GetCurrentProcessId(void);
