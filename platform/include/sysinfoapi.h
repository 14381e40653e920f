#pragma once
#include "minwinbase.h"

// Platform milliseconds: they grow WinplatGetTimeScale() times faster than real time.
WINPLAT_API DWORD WINAPI GetTickCount(void);
WINPLAT_API ULONGLONG WINAPI GetTickCount64(void);
WINPLAT_API void WINAPI GetSystemTimeAsFileTime(LPFILETIME lpSystemTimeAsFileTime);
