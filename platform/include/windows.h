#pragma once
// The Windows API subset of this layer. Kernel services come from libwinplat.so.
#include "winnt.h"
#include "guiddef.h"
#include "winerror.h"
#include "minwinbase.h"
#include "interlockedapi.h"
#include "errhandlingapi.h"
#include "handleapi.h"
#include "synchapi.h"
#include "processthreadsapi.h"
#include "libloaderapi.h"
#include "fileapi.h"
#include "processenv.h"
#include "debugapi.h"
#include "sysinfoapi.h"
#if __has_include(<stringapiset.h>)
#include <stringapiset.h>
#endif

#ifdef __cplusplus
// A module's entry point. Declared with default visibility so that a definition in a
// module built with hidden visibility is still found by name when the module loads.
extern "C" __attribute__((visibility("default"))) BOOL WINAPI DllMain(HINSTANCE hinstDLL,
                                                                      DWORD fdwReason,
                                                                      LPVOID lpvReserved);
#endif
