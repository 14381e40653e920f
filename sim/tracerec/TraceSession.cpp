#include "TraceSession.h"

#include "TraceIds.h"

namespace brelk_trace {

TraceSession::~TraceSession() {
    Stop();
}

ULONG TraceSession::Start(const std::string& path, UCHAR level, ULONG flags) {
    if (m_Session != 0) {
        return ERROR_ALREADY_EXISTS;
    }
    ULONG64 session = 0;
    const ULONG status =
        sim::Host().Trace().Start(path, BRELK_TRACE_CONTROL_GUID, level, flags, &session);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    m_Session = session;
    return ERROR_SUCCESS;
}

ULONG TraceSession::Stop(sim::TraceRecorder::Stats* stats) {
    if (m_Session == 0) {
        return ERROR_INVALID_HANDLE;
    }
    const ULONG status = sim::Host().Trace().Stop(m_Session, stats);
    m_Session = 0;
    return status;
}

}  // namespace brelk_trace
