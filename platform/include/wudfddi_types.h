#pragma once
// Types and enumerations of the user-mode driver framework, version 1.x.
// Needs only the basic Windows types, so it sits on this layer's windows.h or on the
// real one.
#include <winnt.h>
#include <guiddef.h>

typedef struct UMDF_VERSION_DATA {
    ULONG MajorNumber;
    ULONG MinorNumber;
    ULONG ServiceNumber;
} UMDF_VERSION_DATA, *PUMDF_VERSION_DATA;

typedef enum _WDF_PROPERTY_STORE_ROOT_CLASS {
    WdfPropertyStoreRootClassHardwareKey = 0,
    WdfPropertyStoreRootClassSoftwareKey = 1,
    WdfPropertyStoreRootClassDeviceInterfaceKey = 2,
    WdfPropertyStoreRootClassLegacyHardwareKey = 3,
} WDF_PROPERTY_STORE_ROOT_CLASS;

typedef struct _WDF_PROPERTY_STORE_ROOT {
    ULONG LengthCb;  // the caller sets sizeof(WDF_PROPERTY_STORE_ROOT)
    WDF_PROPERTY_STORE_ROOT_CLASS RootClass;
    union {
        struct {
            PCWSTR ServiceName;
        } HardwareKey;
        struct {
            LPCGUID InterfaceGUID;
            PCWSTR ReferenceString;
        } DeviceInterfaceKey;
        struct {
            PCWSTR LegacyMapName;
        } LegacyHardwareKey;
    } Qualifier;
} WDF_PROPERTY_STORE_ROOT, *PWDF_PROPERTY_STORE_ROOT;

#if defined(__LP64__) || defined(_WIN64)
static_assert(sizeof(WDF_PROPERTY_STORE_ROOT) == 24, "WDF_PROPERTY_STORE_ROOT is 24 bytes on x64");
static_assert(offsetof(WDF_PROPERTY_STORE_ROOT, Qualifier) == 8, "Qualifier at offset 8");
#endif

// Hardware-key qualifiers: the read-only "Device Parameters" key itself, or (NULL) the
// subkey named after the driver's service.
#define WDF_PROPERTY_STORE_HARDWARE_KEY_ROOT ((PCWSTR)L"\\")
#define WDF_PROPERTY_STORE_HARDWARE_KEY_DEFAULT ((PCWSTR)NULL)

typedef enum _WDF_PROPERTY_STORE_RETRIEVE_FLAGS {
    WdfPropertyStoreNormal = 0,
    WdfPropertyStoreCreateIfMissing = 1,
    WdfPropertyStoreCreateVolatile = 2,
    WdfPropertyStoreRetrieveFlagsMask = 3,
} WDF_PROPERTY_STORE_RETRIEVE_FLAGS;

typedef enum _WDF_PROPERTY_STORE_DISPOSITION {
    CreatedNewStore = 1,
    OpenedExistingStore = 2,
} WDF_PROPERTY_STORE_DISPOSITION;

typedef enum _WDF_IO_QUEUE_DISPATCH_TYPE {
    WdfIoQueueDispatchSequential = 1,
    WdfIoQueueDispatchParallel = 2,
    WdfIoQueueDispatchManual = 3,
    WdfIoQueueDispatchMaximum = 4,
} WDF_IO_QUEUE_DISPATCH_TYPE;

typedef enum _WDF_IO_QUEUE_STATE {
    WdfIoQueueAcceptRequests = 0x01,
    WdfIoQueueDispatchRequests = 0x02,
    WdfIoQueueNoRequests = 0x04,
    WdfIoQueueDriverNoRequests = 0x08,
    WdfIoQueuePnpHeld = 0x10,
} WDF_IO_QUEUE_STATE;

typedef enum _WDF_REQUEST_TYPE {
    WdfRequestUndefined = 0,
    WdfRequestCreate = 1,
    WdfRequestCleanup = 2,
    WdfRequestRead = 3,
    WdfRequestWrite = 4,
    WdfRequestDeviceIoControl = 5,
    WdfRequestClose = 6,
    WdfRequestUsb = 7,
    WdfRequestOther = 8,
    WdfRequestInternalIoctl = 9,
    WdfRequestTypeNoFormat = 10,
    WdfRequestFlushBuffers = 11,
    WdfRequestQueryInformation = 12,
    WdfRequestSetInformation = 13,
    WdfRequestMaximum = 14,
} WDF_REQUEST_TYPE;

typedef enum _WDF_CALLBACK_CONSTRAINT {
    None = 0,
    WdfDeviceLevel = 1,
    WdfLevelReserved = 2,
} WDF_CALLBACK_CONSTRAINT;

typedef enum _WDF_PNP_CAPABILITY {
    WdfPnpCapInvalid = 0,
    WdfPnpCapLockSupported = 1,
    WdfPnpCapEjectSupported = 2,
    WdfPnpCapRemovable = 3,
    WdfPnpCapDockDevice = 4,
    WdfPnpCapSurpriseRemovalOk = 5,
    WdfPnpCapNoDisplayInUI = 6,
} WDF_PNP_CAPABILITY;

typedef enum _WDF_PNP_STATE {
    WdfPnpStateInvalid = 0,
    WdfPnpStateDisabled = 1,
    WdfPnpStateDontDisplayInUI = 2,
    WdfPnpStateFailed = 3,
    WdfPnpStateNotDisableable = 4,
    WdfPnpStateRemoved = 5,
    WdfPnpStateResourcesChanged = 6,
    WdfPnpStateMaximum = 7,
} WDF_PNP_STATE;

typedef enum _WDF_POWER_DEVICE_STATE {
    WdfPowerDeviceInvalid = 0,
    WdfPowerDeviceD0 = 1,
    WdfPowerDeviceD1 = 2,
    WdfPowerDeviceD2 = 3,
    WdfPowerDeviceD3 = 4,
    WdfPowerDeviceD3Final = 5,
    WdfPowerDevicePrepareForHibernation = 6,
} WDF_POWER_DEVICE_STATE;

typedef enum _WDF_EVENT_TYPE {
    WdfEventReserved = 0,
    WdfEventBroadcast = 1,
} WDF_EVENT_TYPE;

// Not part of the framework 1.x type header; values as the kernel-mode framework has them.
typedef enum _WDF_TRI_STATE {
    WdfFalse = FALSE,
    WdfTrue = TRUE,
    WdfUseDefault = 2,
} WDF_TRI_STATE;

typedef struct _WDFMEMORY_OFFSET {
    SIZE_T BufferOffset;
    SIZE_T BufferLength;
} WDFMEMORY_OFFSET, *PWDFMEMORY_OFFSET;
