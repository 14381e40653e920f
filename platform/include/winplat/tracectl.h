#pragma once
// The layer's trace controller: sessions that write software trace messages to a binary
// log file, and the enabling of providers by control GUID with a level and flags. On
// Windows a controller does this through its own API and writes .etl files; the log
// format here is the layer's own and is described below for readers.
#include <evntrace.h>
#include "winplat/ext.h"

// Starts a session that writes to LogFilePath, a host path; an existing file is replaced.
// ERROR_INVALID_PARAMETER without a path or out pointer, ERROR_PATH_NOT_FOUND or
// ERROR_ACCESS_DENIED when the file cannot be created.
WINPLAT_EXT ULONG WinplatStartTraceSession(const char* LogFilePath, PTRACEHANDLE Session);

// Enables the providers registered under ControlGuid for Session, or changes their level
// and flags. Their control callbacks run with WMI_ENABLE_EVENTS on a controller thread
// before this returns; a provider that registers later is called during its registration.
// A classic provider logs to one session: enabling it from another session moves it there.
WINPLAT_EXT ULONG WinplatEnableTrace(TRACEHANDLE Session, LPCGUID ControlGuid, UCHAR Level,
                                     ULONG Flags);

// Disables ControlGuid (WMI_DISABLE_EVENTS, on a controller thread, before this returns).
// ERROR_WMI_GUID_NOT_FOUND when Session does not have it enabled.
WINPLAT_EXT ULONG WinplatDisableTrace(TRACEHANDLE Session, LPCGUID ControlGuid);

struct WinplatTraceSessionStats {
    ULONG64 MessagesWritten;
    ULONG64 MessagesLost;  // dropped: too large, or the file could not be written
};

// Disables every provider the session has enabled, then completes and closes its file.
// Stats may be NULL.
WINPLAT_EXT ULONG WinplatStopTraceSession(TRACEHANDLE Session, WinplatTraceSessionStats* Stats);

// ---- Log file layout (little-endian). The file header, then one record per message.
#define WINPLAT_TRACE_LOG_MAGIC "WPTRCLOG"
#define WINPLAT_TRACE_LOG_VERSION 1

struct WinplatTraceLogHeader {
    char Magic[8];       // WINPLAT_TRACE_LOG_MAGIC, without its terminating zero
    ULONG Version;       // WINPLAT_TRACE_LOG_VERSION
    ULONG HeaderSize;    // sizeof(WinplatTraceLogHeader)
    LONGLONG StartTime;  // 100 ns units since 1601-01-01
    ULONG PointerSize;   // of the writing process
    ULONG Reserved;
};

// A record starts with this header. Then come, each only when its TRACE_MESSAGE_* flag is
// set and in this order: sequence number (ULONG, from 1 in each session), message GUID
// (16 bytes) or component id (ULONG), time stamp (LONGLONG, 100 ns units since 1601;
// session start plus platform time elapsed, so scaled runs keep their story's timing),
// thread id and process id (two ULONGs, for TRACE_MESSAGE_SYSTEMINFO). The argument bytes
// follow, as the caller passed them.
struct WinplatTraceRecordHeader {
    ULONG Size;  // the whole record, this header included
    USHORT MessageFlags;
    USHORT MessageNumber;
};
