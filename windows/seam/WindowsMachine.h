#pragma once
// The simulated machine's device tree and property storage when its host system is Windows:
// the nodes are Windows' own, created through SetupAPI, and each device's property stores
// are registry keys below that device's keys. Both hold no state of their own, so any
// number of them, in any number of processes, see the same devices.
#include <memory>

#include "HostSystem.h"

namespace sim {

// Device nodes through SetupAPI: HRESULTs as its calls fail, ERROR_NO_SUCH_DEVINST for a
// node the tree does not have. A node created with another setup class than it had is
// removed (keys and all) and created anew: installers cannot change a node's class.
std::shared_ptr<DeviceNodes> SystemDeviceNodes();

// Property stores in the registry:
//   "HardwareKey", "DeviceParameters"   the device's hardware key (DIREG_DEV: its instance's
//                                       "Device Parameters")
//   "SoftwareKey"                       the device's software key (DIREG_DRV)
//   "DeviceInterfaceKey\{guid}[\ref]",  keys of those names below the device's instance
//   "LegacyHardwareKey\<name>"          key, beside "Device Parameters"
// and any further "\<subkey>" a subkey of those. Numbers are REG_DWORD, text REG_SZ and
// bytes REG_BINARY; the registry keeps no VARTYPE, so values read back as VT_UI4,
// VT_LPWSTR and VT_BLOB, and any other registry type reads as ERROR_BADDB. Unified device
// properties of "HardwareKey" live where Windows keeps a device's properties, the
// instance key's "Properties\{fmtid}\<pid in 4 hex digits>" (those of an interface key in
// its own "Properties"), with the locale-neutral value as the key's default value and each
// other locale a value named by its LCID in 4 hex digits, of registry type
// 0xFFFF0000 | DEVPROPTYPE.
// Every call fails with HRESULT_FROM_WIN32(ERROR_NO_SUCH_DEVINST) for a device the tree
// does not have, and otherwise with the registry's own codes as HRESULTs.
std::shared_ptr<PropertyBackend> RegistryPropertyBackend();

}  // namespace sim
