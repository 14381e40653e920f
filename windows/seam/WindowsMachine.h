#pragma once
// The simulated machine's storage when the host system is Windows: the device tree and
// the registry are the system's own.
#include <memory>

#include "HostSystem.h"

namespace sim {

// The device nodes of this system, through SetupAPI.
std::shared_ptr<DeviceNodes> SystemDeviceNodes();
// The device property stores' backend in the registry below each device's keys.
std::shared_ptr<PropertyBackend> RegistryPropertyBackend();

}  // namespace sim
