#pragma once
// The device database behind SetupAPI. The layer keeps no devices of its own: whoever
// plays the machine (a simulated PC) registers a provider, and SetupAPI asks it.
// Registry data travels as Windows stores it: little-endian UTF-16 for text types.
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "winplat/ext.h"

class WinplatDeviceDatabase {
public:
    virtual ~WinplatDeviceDatabase() = default;

    // ERROR_SUCCESS and the device's setup class (GUID_NULL when it has none),
    // ERROR_NO_SUCH_DEVINST for an unknown instance, or another Win32 error when the
    // database cannot answer. Instance identifiers match without regard to case.
    virtual DWORD FindDevice(const std::wstring& instanceId, GUID* classGuid) = 0;

    // ERROR_SUCCESS with the registry type and raw data of a device registry property
    // (SPDRP_*), ERROR_INVALID_DATA when the device has no such property, or another
    // Win32 error.
    virtual DWORD GetRegistryProperty(const std::wstring& instanceId, DWORD property,
                                      DWORD* regType, std::vector<BYTE>* data) = 0;
};

// Replaces the current provider (nullptr removes it). Calls in progress keep the provider
// they started with alive until they return.
WINPLAT_EXT void WinplatRegisterDeviceDatabase(std::shared_ptr<WinplatDeviceDatabase> provider);
WINPLAT_EXT std::shared_ptr<WinplatDeviceDatabase> WinplatGetDeviceDatabase();
