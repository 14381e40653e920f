#pragma once
// Recording Brelk's trace messages on a simulated machine, as a trace controller does.
#include <windows.h>
#include <evntrace.h>

#include "HostSystem.h"

#include <string>

namespace brelk_trace {

// A trace session that records Brelk's provider into a log file from Start to Stop.
class TraceSession {
public:
    TraceSession() = default;
    TraceSession(const TraceSession&) = delete;
    TraceSession& operator=(const TraceSession&) = delete;
    ~TraceSession();

    // Starts the session and enables Brelk's control GUID; a Windows error code.
    [[nodiscard]] ULONG Start(const std::string& path, UCHAR level, ULONG flags);
    ULONG Stop(sim::TraceRecorder::Stats* stats = nullptr);
    bool Running() const { return m_Session != 0; }

private:
    ULONG64 m_Session = 0;
};

}  // namespace brelk_trace
