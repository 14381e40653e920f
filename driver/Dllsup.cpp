// The ModuleEntry source unit: the module object, DllMain, DllGetClassObject and the
// cached class factory.

#include <windows.h>

#include <atomic>

#include "Internal.h"
#include "Trace.h"

BRELK_TRACE_UNIT(ModuleEntry);

namespace {
std::atomic<LONG> g_ModuleLockCount{0};
}

void DllModuleLock() noexcept { ++g_ModuleLockCount; }

void DllModuleUnlock() noexcept { --g_ModuleLockCount; }

LONG DllModuleLockCount() noexcept { return g_ModuleLockCount.load(); }
