#pragma once
#include "minwinbase.h"

// Per thread, as on Windows.
WINPLAT_API DWORD WINAPI GetLastError(void);
WINPLAT_API void WINAPI SetLastError(DWORD dwErrCode);
