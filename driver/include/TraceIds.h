#pragma once
// The identities on Brelk's trace wire: flag bits, the message fields every trace point
// sends, the provider's control GUID and each source unit's message GUID. The driver
// sends with them; the recorder and the decoder read with them.
#include <windows.h>
#include <evntrace.h>

#define TRACE_FLAG_DLL 0x00000002
#define TRACE_FLAG_DRIVER 0x00000004
#define TRACE_FLAG_DEVICE 0x00000008
#define TRACE_FLAG_QUEUE 0x00000010
#define TRACE_FLAG_TRANSPORT 0x00000020
#define TRACE_FLAG_EVENTS 0x00000040

// Sequence number, message GUID, time stamp and system information.
#define BRELK_TRACE_MESSAGE_FLAGS                                            \
    (TRACE_MESSAGE_SEQUENCE | TRACE_MESSAGE_GUID | TRACE_MESSAGE_TIMESTAMP | \
     TRACE_MESSAGE_SYSTEMINFO)

// The provider's control GUID {8C6CF268-1F59-40AE-BBA4-868CD35C3115}.
inline constexpr GUID BRELK_TRACE_CONTROL_GUID = {
    0x8C6CF268, 0x1F59, 0x40AE, {0xBB, 0xA4, 0x86, 0x8C, 0xD3, 0x5C, 0x31, 0x15}};

// Message GUIDs of the source units, by the name each gives BRELK_TRACE_UNIT.
// clang-format off
#define BRELK_TRACE_GUID_ModuleEntry     {0xC727A97B, 0x19B7, 0x443D, {0xFB, 0x59, 0x5F, 0x4C, 0xEF, 0x9B, 0x7C, 0x67}}
#define BRELK_TRACE_GUID_Driver          {0xCB9FB63F, 0xD71C, 0x45F2, {0xED, 0x12, 0x94, 0x30, 0xDE, 0xB5, 0xB0, 0x2C}}
#define BRELK_TRACE_GUID_Device          {0xAE975877, 0x9A53, 0xD225, {0x42, 0x06, 0x7D, 0x79, 0xBD, 0xA7, 0x97, 0xB9}}
#define BRELK_TRACE_GUID_IoQueue         {0x7F0CDCBE, 0x04C5, 0x351E, {0x21, 0x5C, 0xB5, 0x2C, 0x50, 0xF1, 0xB6, 0x46}}
#define BRELK_TRACE_GUID_PortCallbacks   {0xB66E13FD, 0xACBA, 0x140C, {0x6F, 0xE4, 0xA3, 0xFE, 0x31, 0x1E, 0x9B, 0x04}}
#define BRELK_TRACE_GUID_MBDeviceService {0xCE2DCF55, 0x2058, 0xB199, {0xA4, 0x21, 0x29, 0xA3, 0x5A, 0xFF, 0x5B, 0xCA}}
#define BRELK_TRACE_GUID_EventSink       {0x328461A3, 0x2603, 0x7B8A, {0x9A, 0x09, 0x40, 0x1F, 0x39, 0xC8, 0x8F, 0x76}}
// clang-format on
