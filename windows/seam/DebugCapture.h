#pragma once
// The debugger output of the process as a debugger would receive it: OutputDebugStringA/W
// raise DBG_PRINTEXCEPTION_C / DBG_PRINTEXCEPTION_WIDE_C, and a vectored exception handler
// takes each one before any frame handler does and continues the caller, which then neither
// reports the text again (as ANSI, after a wide raise) nor looks for a debugger's monitor.
#include <windows.h>

#include <atomic>
#include <deque>
#include <mutex>
#include <string>

#include "HostSystem.h"

namespace sim {

class DebugCapture final : public DebugOutput {
public:
    // Installs the handler, which stays for the life of the process. One per process.
    DebugCapture();

    std::vector<std::string> Read() override;
    void Clear() override;
    void SetEcho(bool on) override;

private:
    static LONG CALLBACK OnException(EXCEPTION_POINTERS* pointers);
    void Append(std::string text);

    std::mutex m_Lock;
    std::deque<std::string> m_Entries;  // guarded by m_Lock
    std::atomic<bool> m_Echo;
};

}  // namespace sim
