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
    TRACEHANDLE session = 0;
    ULONG status = WinplatStartTraceSession(path.c_str(), &session);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    status = WinplatEnableTrace(session, &BRELK_TRACE_CONTROL_GUID, level, flags);
    if (status != ERROR_SUCCESS) {
        WinplatStopTraceSession(session, nullptr);
        return status;
    }
    m_Session = session;
    return ERROR_SUCCESS;
}

ULONG TraceSession::Stop(WinplatTraceSessionStats* stats) {
    if (m_Session == 0) {
        return ERROR_INVALID_HANDLE;
    }
    const ULONG status = WinplatStopTraceSession(m_Session, stats);
    m_Session = 0;
    return status;
}

}  // namespace brelk_trace
