#pragma once
// The seam's clock on Windows: platform time over the performance counter, divided by the
// time scale. Platform time is piecewise linear in real time; a change of scale re-anchors
// it, so it never jumps.
#include <windows.h>

#include "HostSystem.h"

namespace sim {

class SystemClock final : public Clock {
public:
    SystemClock();

    bool SetScale(double scale) override;
    double Scale() override;
    std::chrono::nanoseconds ScaledWait(double ms) override;
    uint64_t NowNs() override;
    void Sleep(ULONGLONG ms) override;
    DWORD WaitForObject(HANDLE object, DWORD ms) override;
    bool ScaleModule(HMODULE module) override;

private:
    using DelayExecution = LONG(NTAPI*)(BOOLEAN alertable, const LARGE_INTEGER* interval);

    static LONGLONG Counter();
    long double NowLocked(LONGLONG counter) const;  // m_Lock held, shared or exclusive
    void Delay(long double realNs) const;

    SRWLOCK m_Lock = SRWLOCK_INIT;
    CONDITION_VARIABLE m_ScaleChanged = CONDITION_VARIABLE_INIT;  // sleepers re-aim on it
    double m_Scale;                                               // guarded by m_Lock
    LONGLONG m_AnchorCounter;                                     // guarded by m_Lock
    long double m_AnchorNs;                                       // guarded by m_Lock
    long double m_NsPerCount;                                     // written at construction
    DelayExecution m_Delay;  // written at construction; null where ntdll lacks it
};

}  // namespace sim
