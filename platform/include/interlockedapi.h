#pragma once
// Interlocked operations: full barriers, as on Windows. Inline over the compiler's
// atomic builtins so that sanitizers see them as atomic accesses.
#include "winnt.h"

#ifdef __cplusplus
#define WINPLAT_INLINE inline
#else
#define WINPLAT_INLINE static inline
#endif

WINPLAT_INLINE LONG InterlockedIncrement(LONG volatile* Addend) {
    return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
WINPLAT_INLINE LONG InterlockedDecrement(LONG volatile* Addend) {
    return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
WINPLAT_INLINE LONG InterlockedExchange(LONG volatile* Target, LONG Value) {
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
WINPLAT_INLINE LONG InterlockedExchangeAdd(LONG volatile* Addend, LONG Value) {
    return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}
WINPLAT_INLINE LONG InterlockedAdd(LONG volatile* Addend, LONG Value) {
    return __atomic_add_fetch(Addend, Value, __ATOMIC_SEQ_CST);
}
// Returns the initial value; stores Exchange only when it equalled Comperand.
WINPLAT_INLINE LONG InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange,
                                               LONG Comperand) {
    __atomic_compare_exchange_n(Destination, &Comperand, Exchange, 0, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return Comperand;
}
WINPLAT_INLINE LONG64 InterlockedIncrement64(LONG64 volatile* Addend) {
    return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
WINPLAT_INLINE LONG64 InterlockedDecrement64(LONG64 volatile* Addend) {
    return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
WINPLAT_INLINE LONG64 InterlockedCompareExchange64(LONG64 volatile* Destination, LONG64 Exchange,
                                                   LONG64 Comperand) {
    __atomic_compare_exchange_n(Destination, &Comperand, Exchange, 0, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return Comperand;
}
WINPLAT_INLINE PVOID InterlockedExchangePointer(PVOID volatile* Target, PVOID Value) {
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
WINPLAT_INLINE PVOID InterlockedCompareExchangePointer(PVOID volatile* Destination, PVOID Exchange,
                                                       PVOID Comperand) {
    __atomic_compare_exchange_n(Destination, &Comperand, Exchange, 0, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return Comperand;
}
