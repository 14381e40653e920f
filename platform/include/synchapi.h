#pragma once
#include "minwinbase.h"

// Events and mutexes. A name makes the object process-wide by that name: a second
// create returns a new handle to it with ERROR_ALREADY_EXISTS.
WINPLAT_API HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                                       BOOL bInitialState, LPCWSTR lpName);
WINPLAT_API HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                                       BOOL bInitialState, LPCSTR lpName);
WINPLAT_API BOOL WINAPI SetEvent(HANDLE hEvent);
WINPLAT_API BOOL WINAPI ResetEvent(HANDLE hEvent);

WINPLAT_API HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner,
                                       LPCWSTR lpName);
WINPLAT_API HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner,
                                       LPCSTR lpName);
WINPLAT_API BOOL WINAPI ReleaseMutex(HANDLE hMutex);

// Time-outs are platform milliseconds (see winplat/clock.h).
WINPLAT_API DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
WINPLAT_API DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles,
                                                BOOL bWaitAll, DWORD dwMilliseconds);

WINPLAT_API void WINAPI Sleep(DWORD dwMilliseconds);

WINPLAT_API void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
WINPLAT_API BOOL WINAPI InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION lpCriticalSection,
                                                              DWORD dwSpinCount);
WINPLAT_API BOOL WINAPI InitializeCriticalSectionEx(LPCRITICAL_SECTION lpCriticalSection,
                                                    DWORD dwSpinCount, DWORD Flags);
WINPLAT_API void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
WINPLAT_API void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
WINPLAT_API BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
WINPLAT_API void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection);

#ifdef UNICODE
#define CreateEvent CreateEventW
#define CreateMutex CreateMutexW
#else
#define CreateEvent CreateEventA
#define CreateMutex CreateMutexA
#endif
