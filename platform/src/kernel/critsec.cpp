#include <windows.h>
#include <winplat/faults.h>

#include <atomic>

#include "kernel/kernel.h"

namespace {

// The lock behind a CRITICAL_SECTION (its DebugInfo points here).
struct CritSec {
    std::mutex lock;
    std::atomic<DWORD> owner{0};  // atomic: read by every thread to detect re-entry
    LONG recursion = 0;           // written by the owner only
};

void InitFields(LPCRITICAL_SECTION cs, DWORD spinCount, CritSec* impl) {
    cs->LockCount = -1;
    cs->RecursionCount = 0;
    cs->OwningThread = nullptr;
    cs->LockSemaphore = nullptr;
    cs->SpinCount = spinCount & 0x00FFFFFF;
    __atomic_store_n(&cs->DebugInfo, static_cast<PVOID>(impl), __ATOMIC_RELEASE);
}

// A zero-filled section that was never initialised would fault on Windows; here it is
// initialised on first use instead.
CritSec* Impl(LPCRITICAL_SECTION cs) {
    auto* impl = static_cast<CritSec*>(__atomic_load_n(&cs->DebugInfo, __ATOMIC_ACQUIRE));
    if (impl != nullptr) {
        return impl;
    }
    auto* fresh = new CritSec;
    PVOID expected = nullptr;
    if (__atomic_compare_exchange_n(&cs->DebugInfo, &expected, static_cast<PVOID>(fresh), false,
                                    __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
        return fresh;
    }
    delete fresh;
    return static_cast<CritSec*>(expected);
}

BOOL InitChecked(const char* api, LPCRITICAL_SECTION cs, DWORD spinCount) {
    DWORD error = ERROR_NOT_ENOUGH_MEMORY;
    if (WinplatShouldFail(api, &error)) {
        SetLastError(error);
        return FALSE;
    }
    if (cs == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    InitFields(cs, spinCount, new CritSec);
    return TRUE;
}

}  // namespace

// Cannot fail (as on Windows since Vista), so it takes no fault rule.
void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    if (lpCriticalSection != nullptr) {
        InitFields(lpCriticalSection, 0, new CritSec);
    }
}

BOOL WINAPI InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION lpCriticalSection,
                                                  DWORD dwSpinCount) {
    return InitChecked("InitializeCriticalSectionAndSpinCount", lpCriticalSection, dwSpinCount);
}

BOOL WINAPI InitializeCriticalSectionEx(LPCRITICAL_SECTION lpCriticalSection, DWORD dwSpinCount,
                                        DWORD Flags) {
    // Only the RTL_CRITICAL_SECTION_FLAG_* bits (the top byte) are defined.
    if ((Flags & 0x00FFFFFF) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return InitChecked("InitializeCriticalSectionEx", lpCriticalSection, dwSpinCount);
}

void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    if (lpCriticalSection == nullptr) {
        return;
    }
    CritSec* cs = Impl(lpCriticalSection);
    const DWORD self = GetCurrentThreadId();
    if (cs->owner.load(std::memory_order_relaxed) == self) {
        ++cs->recursion;
        return;
    }
    cs->lock.lock();
    cs->owner.store(self, std::memory_order_relaxed);
    cs->recursion = 1;
}

BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    if (lpCriticalSection == nullptr) {
        return FALSE;
    }
    CritSec* cs = Impl(lpCriticalSection);
    const DWORD self = GetCurrentThreadId();
    if (cs->owner.load(std::memory_order_relaxed) == self) {
        ++cs->recursion;
        return TRUE;
    }
    if (!cs->lock.try_lock()) {
        return FALSE;
    }
    cs->owner.store(self, std::memory_order_relaxed);
    cs->recursion = 1;
    return TRUE;
}

void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    if (lpCriticalSection == nullptr) {
        return;
    }
    CritSec* cs = Impl(lpCriticalSection);
    // Leaving a section the thread does not own corrupts it on Windows; ignored here.
    if (cs->owner.load(std::memory_order_relaxed) != GetCurrentThreadId()) {
        return;
    }
    if (--cs->recursion == 0) {
        cs->owner.store(0, std::memory_order_relaxed);
        cs->lock.unlock();
    }
}

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    if (lpCriticalSection == nullptr) {
        return;
    }
    auto* cs = static_cast<CritSec*>(__atomic_exchange_n(
        &lpCriticalSection->DebugInfo, static_cast<PVOID>(nullptr), __ATOMIC_ACQ_REL));
    delete cs;
}
