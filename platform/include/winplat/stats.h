#pragma once
// Counters for soak tests: what is alive right now.
#include <stddef.h>
#include "winplat/ext.h"

// Handles of every kind (events, mutexes, threads, searches) not yet closed.
WINPLAT_EXT size_t WinplatOpenHandleCount();
// Modules loaded through LoadLibrary and not yet freed.
WINPLAT_EXT size_t WinplatLoadedModuleCount();
// Threads started by CreateThread whose routine has not returned.
WINPLAT_EXT size_t WinplatLiveThreadCount();
