#pragma once
// Classic event tracing, provider side: registration with a control callback, the
// enable level and flags a controller chose, and software trace messages.
// The controller side of this layer is in winplat/tracectl.h.
#include <stdarg.h>
#include "winnt.h"
#include "guiddef.h"
#include "minwinbase.h"
#include "wmistr.h"

#define WMIAPI __stdcall

typedef ULONG64 TRACEHANDLE, *PTRACEHANDLE;

#define TRACE_LEVEL_NONE 0
#define TRACE_LEVEL_CRITICAL 1
#define TRACE_LEVEL_FATAL 1
#define TRACE_LEVEL_ERROR 2
#define TRACE_LEVEL_WARNING 3
#define TRACE_LEVEL_INFORMATION 4
#define TRACE_LEVEL_VERBOSE 5
#define TRACE_LEVEL_RESERVED6 6
#define TRACE_LEVEL_RESERVED7 7
#define TRACE_LEVEL_RESERVED8 8
#define TRACE_LEVEL_RESERVED9 9

#define TRACE_MESSAGE_SEQUENCE 1
#define TRACE_MESSAGE_GUID 2
#define TRACE_MESSAGE_COMPONENTID 4
#define TRACE_MESSAGE_TIMESTAMP 8
#define TRACE_MESSAGE_PERFORMANCE_TIMESTAMP 16
#define TRACE_MESSAGE_SYSTEMINFO 32
#define TRACE_MESSAGE_POINTER32 0x0040
#define TRACE_MESSAGE_POINTER64 0x0080
#define TRACE_MESSAGE_FLAG_MASK 0xFFFF
#define TRACE_MESSAGE_MAXIMUM_SIZE (64 * 1024)

typedef struct _TRACE_GUID_REGISTRATION {
    LPCGUID Guid;
    HANDLE RegHandle;
} TRACE_GUID_REGISTRATION, *PTRACE_GUID_REGISTRATION;

typedef ULONG(WINAPI* WMIDPREQUEST)(WMIDPREQUESTCODE RequestCode, PVOID RequestContext,
                                    ULONG* BufferSize, PVOID Buffer);

// Registers a provider. When a session already enables ControlGuid, RequestAddress is
// called with WMI_ENABLE_EVENTS before this returns, and its result is returned.
WINPLAT_API ULONG WMIAPI RegisterTraceGuidsW(WMIDPREQUEST RequestAddress, PVOID RequestContext,
                                             LPCGUID ControlGuid, ULONG GuidCount,
                                             PTRACE_GUID_REGISTRATION TraceGuidReg,
                                             LPCWSTR MofImagePath, LPCWSTR MofResourceName,
                                             PTRACEHANDLE RegistrationHandle);
// Waits for a control callback of this registration that is running on another thread.
WINPLAT_API ULONG WMIAPI UnregisterTraceGuids(TRACEHANDLE RegistrationHandle);
WINPLAT_API TRACEHANDLE WMIAPI GetTraceLoggerHandle(PVOID Buffer);
WINPLAT_API UCHAR WMIAPI GetTraceEnableLevel(TRACEHANDLE TraceHandle);
WINPLAT_API ULONG WMIAPI GetTraceEnableFlags(TRACEHANDLE TraceHandle);
// The variable part is (PVOID data, size_t length) pairs ended by a NULL data pointer.
WINPLAT_API ULONG __cdecl TraceMessage(TRACEHANDLE LoggerHandle, ULONG MessageFlags,
                                       LPCGUID MessageGuid, USHORT MessageNumber, ...);
WINPLAT_API ULONG TraceMessageVa(TRACEHANDLE LoggerHandle, ULONG MessageFlags, LPCGUID MessageGuid,
                                 USHORT MessageNumber, va_list MessageArgList);
