#pragma once
// Device installation services: device information sets and device registry
// properties, as far as this system uses them.
#include <windows.h>
#include <winreg.h>

typedef PVOID HDEVINFO;

typedef struct _SP_DEVINFO_DATA {
    DWORD cbSize;  // the caller sets sizeof(SP_DEVINFO_DATA)
    GUID ClassGuid;
    DWORD DevInst;
    ULONG_PTR Reserved;
} SP_DEVINFO_DATA, *PSP_DEVINFO_DATA;

#if defined(__LP64__) || defined(_WIN64)
static_assert(sizeof(SP_DEVINFO_DATA) == 32, "SP_DEVINFO_DATA is 32 bytes on x64");
#endif

// Device registry properties.
#define SPDRP_DEVICEDESC 0x00000000
#define SPDRP_HARDWAREID 0x00000001
#define SPDRP_COMPATIBLEIDS 0x00000002
#define SPDRP_SERVICE 0x00000004
#define SPDRP_CLASS 0x00000007
#define SPDRP_CLASSGUID 0x00000008
#define SPDRP_DRIVER 0x00000009
#define SPDRP_MFG 0x0000000B
#define SPDRP_FRIENDLYNAME 0x0000000C
#define SPDRP_MAXIMUM_PROPERTY 0x00000025

// SetupDiOpenDeviceInfo flags.
#define DIOD_INHERIT_CLASSDRVS 0x00000002
#define DIOD_CANCEL_REMOVE 0x00000004

// Errors of the device installation services (set as the last error).
#define APPLICATION_ERROR_MASK 0x20000000
#define ERROR_SEVERITY_ERROR 0xC0000000
#define ERROR_CLASS_MISMATCH (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x201)
#define ERROR_INVALID_REG_PROPERTY (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x209)
#define ERROR_NO_SUCH_DEVINST (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x20B)
#define ERROR_INVALID_DEVINST_NAME (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x205)

// Handle-returning functions fail with INVALID_HANDLE_VALUE, never NULL.
WINPLAT_API HDEVINFO WINAPI SetupDiCreateDeviceInfoList(const GUID* ClassGuid, HWND hwndParent);
WINPLAT_API BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet);
WINPLAT_API BOOL WINAPI SetupDiOpenDeviceInfoW(HDEVINFO DeviceInfoSet, PCWSTR DeviceInstanceId,
                                               HWND hwndParent, DWORD OpenFlags,
                                               PSP_DEVINFO_DATA DeviceInfoData);
// Sizes are in bytes. Text properties come back as WCHAR strings (REG_MULTI_SZ: a list of
// zero-terminated strings closed by an empty one), exactly as far as the stored data goes.
WINPLAT_API BOOL WINAPI
SetupDiGetDeviceRegistryPropertyW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                  DWORD Property, PDWORD PropertyRegDataType, PBYTE PropertyBuffer,
                                  DWORD PropertyBufferSize, PDWORD RequiredSize);
