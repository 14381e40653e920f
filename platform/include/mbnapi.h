#pragma once
// Mobile Broadband API: the interface manager, the interface and the device services
// (managers, context, service, events). Method order is the order of the platform's
// IDL, which is the vtable order. Needs only the basic Windows types and the COM/OLE
// Automation declarations, so it sits on this layer's windows.h or on the real one.

#include <oaidl.h>
#include <ocidl.h>

// The layer's GUID values are defined where used, one per program; no import library.
#define MBN_DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    inline constexpr GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}

MBN_DEFINE_GUID(CLSID_MbnInterfaceManager, 0xBDFEE05B, 0x4418, 0x11DD, 0x90, 0xED, 0x00, 0x1C, 0x25,
                0x7C, 0xCF, 0xF1);
MBN_DEFINE_GUID(CLSID_MbnConnectionProfileManager, 0xBDFEE05A, 0x4418, 0x11DD, 0x90, 0xED, 0x00,
                0x1C, 0x25, 0x7C, 0xCF, 0xF1);
MBN_DEFINE_GUID(CLSID_MbnConnectionManager, 0xBDFEE05C, 0x4418, 0x11DD, 0x90, 0xED, 0x00, 0x1C,
                0x25, 0x7C, 0xCF, 0xF1);
MBN_DEFINE_GUID(CLSID_MbnDeviceServicesManager, 0x2269DAA3, 0x2A9F, 0x4165, 0xA5, 0x01, 0xCE, 0x00,
                0xA6, 0xF7, 0xA7, 0x5B);

MBN_DEFINE_GUID(IID_IMbnInterfaceManager, 0xDCBBBAB6, 0x201B, 0x4BBB, 0xAA, 0xEE, 0x33, 0x8E, 0x36,
                0x8A, 0xF6, 0xFA);
MBN_DEFINE_GUID(IID_IMbnInterfaceManagerEvents, 0xDCBBBAB6, 0x201C, 0x4BBB, 0xAA, 0xEE, 0x33, 0x8E,
                0x36, 0x8A, 0xF6, 0xFA);
MBN_DEFINE_GUID(IID_IMbnInterface, 0xDCBBBAB6, 0x2001, 0x4BBB, 0xAA, 0xEE, 0x33, 0x8E, 0x36, 0x8A,
                0xF6, 0xFA);
MBN_DEFINE_GUID(IID_IMbnInterfaceEvents, 0xDCBBBAB6, 0x2002, 0x4BBB, 0xAA, 0xEE, 0x33, 0x8E, 0x36,
                0x8A, 0xF6, 0xFA);
MBN_DEFINE_GUID(IID_IMbnDeviceServicesManager, 0x20A26258, 0x6811, 0x4478, 0xAC, 0x1D, 0x13, 0x32,
                0x4E, 0x45, 0xE4, 0x1C);
MBN_DEFINE_GUID(IID_IMbnDeviceServicesContext, 0xFC5AC347, 0x1592, 0x4068, 0x80, 0xBB, 0x6A, 0x57,
                0x58, 0x01, 0x50, 0xD8);
MBN_DEFINE_GUID(IID_IMbnDeviceService, 0xB3BB9A71, 0xDC70, 0x4BE9, 0xA4, 0xDA, 0x78, 0x86, 0xAE,
                0x8B, 0x19, 0x1B);
MBN_DEFINE_GUID(IID_IMbnDeviceServicesEvents, 0x0A900C19, 0x6824, 0x4E97, 0xB7, 0x6E, 0xCF, 0x23,
                0x9D, 0x0C, 0xA6, 0x42);
MBN_DEFINE_GUID(IID_IMbnDeviceServiceStateEvents, 0x5D3FF196, 0x89EE, 0x49D8, 0x8B, 0x60, 0x33,
                0xFF, 0xDD, 0xFF, 0xC5, 0x8D);

typedef enum MBN_READY_STATE {
    MBN_READY_STATE_OFF = 0,
    MBN_READY_STATE_INITIALIZED = 1,
    MBN_READY_STATE_SIM_NOT_INSERTED = 2,
    MBN_READY_STATE_BAD_SIM = 3,
    MBN_READY_STATE_FAILURE = 4,
    MBN_READY_STATE_NOT_ACTIVATED = 5,
    MBN_READY_STATE_DEVICE_LOCKED = 6,
    MBN_READY_STATE_DEVICE_BLOCKED = 7,
    MBN_READY_STATE_NO_ESIM_PROFILE = 8,
} MBN_READY_STATE;

typedef enum MBN_CELLULAR_CLASS {
    MBN_CELLULAR_CLASS_NONE = 0,
    MBN_CELLULAR_CLASS_GSM = 1,
    MBN_CELLULAR_CLASS_CDMA = 2,
} MBN_CELLULAR_CLASS;

typedef enum MBN_VOICE_CLASS {
    MBN_VOICE_CLASS_NONE = 0,
    MBN_VOICE_CLASS_NO_VOICE = 1,
    MBN_VOICE_CLASS_SEPARATE_VOICE_DATA = 2,
    MBN_VOICE_CLASS_SIMULTANEOUS_VOICE_DATA = 3,
} MBN_VOICE_CLASS;

typedef enum MBN_DATA_CLASS {
    MBN_DATA_CLASS_NONE = 0,
    MBN_DATA_CLASS_GPRS = 0x1,
    MBN_DATA_CLASS_EDGE = 0x2,
    MBN_DATA_CLASS_UMTS = 0x4,
    MBN_DATA_CLASS_HSDPA = 0x8,
    MBN_DATA_CLASS_HSUPA = 0x10,
    MBN_DATA_CLASS_LTE = 0x20,
    MBN_DATA_CLASS_5G_NSA = 0x40,
    MBN_DATA_CLASS_5G_SA = 0x80,
    MBN_DATA_CLASS_1XRTT = 0x10000,
    MBN_DATA_CLASS_1XEVDO = 0x20000,
    MBN_DATA_CLASS_1XEVDO_REVA = 0x40000,
    MBN_DATA_CLASS_1XEVDV = 0x80000,
    MBN_DATA_CLASS_3XRTT = 0x100000,
    MBN_DATA_CLASS_1XEVDO_REVB = 0x200000,
    MBN_DATA_CLASS_UMB = 0x400000,
    MBN_DATA_CLASS_CUSTOM = (int)0x80000000,
} MBN_DATA_CLASS;

typedef enum MBN_CTRL_CAPS {
    MBN_CTRL_CAPS_NONE = 0,
    MBN_CTRL_CAPS_REG_MANUAL = 0x1,
    MBN_CTRL_CAPS_HW_RADIO_SWITCH = 0x2,
    MBN_CTRL_CAPS_CDMA_MOBILE_IP = 0x4,
    MBN_CTRL_CAPS_CDMA_SIMPLE_IP = 0x8,
    MBN_CTRL_CAPS_PROTECT_UNIQUEID = 0x10,
    MBN_CTRL_CAPS_MODEL_MULTI_CARRIER = 0x20,
    MBN_CTRL_CAPS_USSD = 0x40,
    MBN_CTRL_CAPS_MULTI_MODE = 0x80,
} MBN_CTRL_CAPS;

typedef enum MBN_INTERFACE_CAPS_CONSTANTS {
    MBN_DEVICEID_LEN = 18,
    MBN_MANUFACTURER_LEN = 32,
    MBN_MODEL_LEN = 32,
    MBN_FIRMWARE_LEN = 32,
} MBN_INTERFACE_CAPS_CONSTANTS;

typedef enum MBN_DEVICE_SERVICES_INTERFACE_STATE {
    MBN_DEVICE_SERVICES_CAPABLE_INTERFACE_ARRIVAL = 0,
    MBN_DEVICE_SERVICES_CAPABLE_INTERFACE_REMOVAL = 1,
} MBN_DEVICE_SERVICES_INTERFACE_STATE;

typedef enum MBN_DEVICE_SERVICE_SESSIONS_STATE {
    MBN_DEVICE_SERVICE_SESSIONS_RESTORED = 0,
} MBN_DEVICE_SERVICE_SESSIONS_STATE;

// The BSTRs belong to the caller of GetInterfaceCapability, who frees them.
typedef struct MBN_INTERFACE_CAPS {
    MBN_CELLULAR_CLASS cellularClass;
    MBN_VOICE_CLASS voiceClass;
    ULONG dataClass;
    BSTR customDataClass;
    ULONG gsmBandClass;
    ULONG cdmaBandClass;
    BSTR customBandClass;
    ULONG smsCaps;
    ULONG controlCaps;
    BSTR deviceID;
    BSTR manufacturer;
    BSTR model;
    BSTR firmwareInfo;
} MBN_INTERFACE_CAPS;

// Element of EnumerateDeviceServices' array; the caller frees deviceServiceID.
typedef struct MBN_DEVICE_SERVICE {
    BSTR deviceServiceID;
    VARIANT_BOOL dataWriteSupported;
    VARIANT_BOOL dataReadSupported;
} MBN_DEVICE_SERVICE;

typedef struct MBN_PROVIDER {
    BSTR providerID;
    ULONG providerState;
    BSTR providerName;
    ULONG dataClass;
} MBN_PROVIDER;

#if defined(_WIN64) || defined(__LP64__)
static_assert(sizeof(MBN_INTERFACE_CAPS) == 80, "MBN_INTERFACE_CAPS layout");
static_assert(sizeof(MBN_DEVICE_SERVICE) == 16, "MBN_DEVICE_SERVICE layout");
#endif

struct IMbnInterface;
struct IMbnDeviceService;
struct IMbnDeviceServicesContext;
struct IMbnSubscriberInformation;
struct IMbnConnection;

MIDL_INTERFACE("DCBBBAB6-201B-4BBB-AAEE-338E368AF6FA")
IMbnInterfaceManager : public IUnknown {
public:
    virtual HRESULT STDMETHODCALLTYPE GetInterface(LPCWSTR interfaceID,
                                                   IMbnInterface * *mbnInterface) = 0;
    // A SAFEARRAY of VT_UNKNOWN (IMbnInterface); the caller destroys it.
    virtual HRESULT STDMETHODCALLTYPE GetInterfaces(SAFEARRAY * *mbnInterfaces) = 0;
};

MIDL_INTERFACE("DCBBBAB6-2001-4BBB-AAEE-338E368AF6FA")
IMbnInterface : public IUnknown {
public:
    virtual HRESULT STDMETHODCALLTYPE get_InterfaceID(BSTR * InterfaceID) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetInterfaceCapability(MBN_INTERFACE_CAPS *
                                                             interfaceCaps) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetSubscriberInformation(IMbnSubscriberInformation *
                                                               *subscriberInformation) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetReadyState(MBN_READY_STATE * readyState) = 0;
    virtual HRESULT STDMETHODCALLTYPE InEmergencyMode(VARIANT_BOOL * emergencyMode) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetHomeProvider(MBN_PROVIDER * homeProvider) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetPreferredProviders(SAFEARRAY * *preferredProviders) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetPreferredProviders(SAFEARRAY * preferredProviders,
                                                            ULONG * requestID) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetVisibleProviders(ULONG * age,
                                                          SAFEARRAY * *visibleProviders) = 0;
    virtual HRESULT STDMETHODCALLTYPE ScanNetwork(ULONG * requestID) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetConnection(IMbnConnection * *mbnConnection) = 0;
};

MIDL_INTERFACE("20A26258-6811-4478-AC1D-13324E45E41C")
IMbnDeviceServicesManager : public IUnknown {
public:
    // The interface id is a BSTR here, unlike IMbnInterfaceManager::GetInterface.
    virtual HRESULT STDMETHODCALLTYPE GetDeviceServicesContext(
        BSTR networkInterfaceID, IMbnDeviceServicesContext * *mbnDevicesContext) = 0;
};

MIDL_INTERFACE("FC5AC347-1592-4068-80BB-6A57580150D8")
IMbnDeviceServicesContext : public IUnknown {
public:
    // A SAFEARRAY of VT_RECORD (MBN_DEVICE_SERVICE); the caller frees each id, then the array.
    virtual HRESULT STDMETHODCALLTYPE EnumerateDeviceServices(SAFEARRAY * *deviceServices) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetDeviceService(BSTR deviceServiceID,
                                                       IMbnDeviceService * *mbnDeviceService) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_MaxCommandSize(ULONG * maxCommandSize) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_MaxDataSize(ULONG * maxDataSize) = 0;
};

// Every request returns at once; its outcome arrives on IMbnDeviceServicesEvents.
MIDL_INTERFACE("B3BB9A71-DC70-4BE9-A4DA-7886AE8B191B")
IMbnDeviceService : public IUnknown {
public:
    virtual HRESULT STDMETHODCALLTYPE QuerySupportedCommands(ULONG * requestID) = 0;
    virtual HRESULT STDMETHODCALLTYPE OpenCommandSession(ULONG * requestID) = 0;
    virtual HRESULT STDMETHODCALLTYPE CloseCommandSession(ULONG * requestID) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetCommand(ULONG commandID, SAFEARRAY * deviceServiceData,
                                                 ULONG * requestID) = 0;
    virtual HRESULT STDMETHODCALLTYPE QueryCommand(ULONG commandID, SAFEARRAY * deviceServiceData,
                                                   ULONG * requestID) = 0;
    virtual HRESULT STDMETHODCALLTYPE OpenDataSession(ULONG * requestID) = 0;
    virtual HRESULT STDMETHODCALLTYPE CloseDataSession(ULONG * requestID) = 0;
    virtual HRESULT STDMETHODCALLTYPE WriteData(SAFEARRAY * deviceServiceData,
                                                ULONG * requestID) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_InterfaceID(BSTR * InterfaceID) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_DeviceServiceID(BSTR * DeviceServiceID) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_IsCommandSessionOpen(BOOL * value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_IsDataSessionOpen(BOOL * value) = 0;
};

// The sink a client advises on the device-services manager. Note the argument order
// (status, then requestID), unlike the older Mobile Broadband sinks. The arrays belong
// to the caller and are freed when the method returns.
MIDL_INTERFACE("0A900C19-6824-4E97-B76E-CF239D0CA642")
IMbnDeviceServicesEvents : public IUnknown {
public:
    virtual HRESULT STDMETHODCALLTYPE OnQuerySupportedCommandsComplete(
        IMbnDeviceService * deviceService, SAFEARRAY * commandIDList, HRESULT status,
        ULONG requestID) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnOpenCommandSessionComplete(
        IMbnDeviceService * deviceService, HRESULT status, ULONG requestID) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnCloseCommandSessionComplete(
        IMbnDeviceService * deviceService, HRESULT status, ULONG requestID) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnSetCommandComplete(
        IMbnDeviceService * deviceService, ULONG responseID, SAFEARRAY * deviceServiceData,
        HRESULT status, ULONG requestID) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnQueryCommandComplete(
        IMbnDeviceService * deviceService, ULONG responseID, SAFEARRAY * deviceServiceData,
        HRESULT status, ULONG requestID) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnEventNotification(
        IMbnDeviceService * deviceService, ULONG eventID, SAFEARRAY * deviceServiceData) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnOpenDataSessionComplete(
        IMbnDeviceService * deviceService, HRESULT status, ULONG requestID) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnCloseDataSessionComplete(
        IMbnDeviceService * deviceService, HRESULT status, ULONG requestID) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnWriteDataComplete(IMbnDeviceService * deviceService,
                                                          HRESULT status, ULONG requestID) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnReadData(IMbnDeviceService * deviceService,
                                                 SAFEARRAY * deviceServiceData) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnInterfaceStateChange(
        BSTR interfaceID, MBN_DEVICE_SERVICES_INTERFACE_STATE stateChange) = 0;
};

MIDL_INTERFACE("5D3FF196-89EE-49D8-8B60-33FFDDFFC58D")
IMbnDeviceServiceStateEvents : public IUnknown {
public:
    virtual HRESULT STDMETHODCALLTYPE OnSessionsStateChange(
        BSTR interfaceID, MBN_DEVICE_SERVICE_SESSIONS_STATE stateChange) = 0;
};

__CRT_UUID_DECL(IMbnInterfaceManager, 0xDCBBBAB6, 0x201B, 0x4BBB, 0xAA, 0xEE, 0x33, 0x8E, 0x36,
                0x8A, 0xF6, 0xFA)
__CRT_UUID_DECL(IMbnInterface, 0xDCBBBAB6, 0x2001, 0x4BBB, 0xAA, 0xEE, 0x33, 0x8E, 0x36, 0x8A, 0xF6,
                0xFA)
__CRT_UUID_DECL(IMbnDeviceServicesManager, 0x20A26258, 0x6811, 0x4478, 0xAC, 0x1D, 0x13, 0x32, 0x4E,
                0x45, 0xE4, 0x1C)
__CRT_UUID_DECL(IMbnDeviceServicesContext, 0xFC5AC347, 0x1592, 0x4068, 0x80, 0xBB, 0x6A, 0x57, 0x58,
                0x01, 0x50, 0xD8)
__CRT_UUID_DECL(IMbnDeviceService, 0xB3BB9A71, 0xDC70, 0x4BE9, 0xA4, 0xDA, 0x78, 0x86, 0xAE, 0x8B,
                0x19, 0x1B)
__CRT_UUID_DECL(IMbnDeviceServicesEvents, 0x0A900C19, 0x6824, 0x4E97, 0xB7, 0x6E, 0xCF, 0x23, 0x9D,
                0x0C, 0xA6, 0x42)
__CRT_UUID_DECL(IMbnDeviceServiceStateEvents, 0x5D3FF196, 0x89EE, 0x49D8, 0x8B, 0x60, 0x33, 0xFF,
                0xDD, 0xFF, 0xC5, 0x8D)
