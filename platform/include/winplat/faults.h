#pragma once
// Fault injection for the layer's own APIs: one process-wide rule per API name. A rule
// lets the first `passFirst` calls through, fails the next `failCount`, then lets
// calls through again. A failing API answers as Windows does on that failure (NULL or
// FALSE) with `lastError` as its last error.
#include <windows.h>
#include "winplat/ext.h"

inline constexpr unsigned WINPLAT_FAIL_ALWAYS = 0xFFFFFFFFu;

// Replaces any rule for the same name and restarts its count.
WINPLAT_EXT void WinplatFailApi(const char* api, unsigned passFirst, unsigned failCount,
                                DWORD lastError);
WINPLAT_EXT void WinplatClearApiFaults();
// Counts one call of `api` and says whether it must fail; on true, stores the rule's
// error in *lastError when that is not null. APIs call this at their start, and only the
// APIs WinplatFaultableApis lists do.
WINPLAT_EXT bool WinplatShouldFail(const char* api, DWORD* lastError = nullptr);
// The names a rule can fault, sorted, ending in a null pointer: a rule for another name
// would never fire.
WINPLAT_EXT const char* const* WinplatFaultableApis();
// How many calls of `api` its current rule has failed so far.
WINPLAT_EXT unsigned WinplatApiFailures(const char* api);
