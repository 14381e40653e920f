#pragma once
#include "minwinbase.h"

// Goes to the process-wide sink of winplat/debugout.h.
WINPLAT_API void WINAPI OutputDebugStringA(LPCSTR lpOutputString);
WINPLAT_API void WINAPI OutputDebugStringW(LPCWSTR lpOutputString);
WINPLAT_API BOOL WINAPI IsDebuggerPresent(void);

#ifdef UNICODE
#define OutputDebugString OutputDebugStringW
#else
#define OutputDebugString OutputDebugStringA
#endif
