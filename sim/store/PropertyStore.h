#pragma once
// The framework's device property stores over any backend of the host system: the rules
// for roots, access rights, missing values and value types live here, storage does not.
#include <windows.h>
#include <wudfddi.h>

#include <atomic>
#include <memory>
#include <string>

#include "HostSystem.h"

namespace sim {

struct PropertyStoreCounters {
    std::atomic<long> Opened{0};  // named stores handed out
    std::atomic<long> Alive{0};   // and not yet released
};

// IWDFPropertyStoreFactory::RetrieveDevicePropertyStore for the device `instanceId`.
HRESULT RetrieveNamedStore(PropertyBackend& backend,
                           const std::shared_ptr<PropertyStoreCounters>& counters,
                           const std::wstring& instanceId, const WDF_PROPERTY_STORE_ROOT* root,
                           WDF_PROPERTY_STORE_RETRIEVE_FLAGS flags, REGSAM desiredAccess,
                           PCWSTR subkeyPath, IWDFNamedPropertyStore2** store,
                           WDF_PROPERTY_STORE_DISPOSITION* disposition);

// IWDFUnifiedPropertyStoreFactory::RetrieveUnifiedDevicePropertyStore.
HRESULT RetrieveUnifiedStore(PropertyBackend& backend, const std::wstring& instanceId,
                             const WDF_PROPERTY_STORE_ROOT* root, IWDFUnifiedPropertyStore** store);

}  // namespace sim
