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

// The framework's property-store factories for the devices of one machine, over whatever
// backend the machine keeps its values in.
class DevicePropertyStores {
public:
    virtual ~DevicePropertyStores() = default;
    virtual PropertyBackend& Backend() = 0;

    // IWDFPropertyStoreFactory::RetrieveDevicePropertyStore for the device `instanceId`.
    HRESULT RetrieveNamedStore(const std::wstring& instanceId, const WDF_PROPERTY_STORE_ROOT* root,
                               WDF_PROPERTY_STORE_RETRIEVE_FLAGS flags, REGSAM desiredAccess,
                               PCWSTR subkeyPath, IWDFNamedPropertyStore2** store,
                               WDF_PROPERTY_STORE_DISPOSITION* disposition);

    // IWDFUnifiedPropertyStoreFactory::RetrieveUnifiedDevicePropertyStore.
    HRESULT RetrieveUnifiedStore(const std::wstring& instanceId,
                                 const WDF_PROPERTY_STORE_ROOT* root,
                                 IWDFUnifiedPropertyStore** store);

    // Named stores handed out so far, and those not yet released.
    long NamedStoresOpened() const { return m_Counters->Opened; }
    long NamedStoresAlive() const { return m_Counters->Alive; }

private:
    // Shared with the stores, which may outlive this object.
    const std::shared_ptr<PropertyStoreCounters> m_Counters =
        std::make_shared<PropertyStoreCounters>();
};

// The factories over a backend that lives elsewhere (the registry's, say), kept alive
// with them.
class BackendPropertyStores final : public DevicePropertyStores {
public:
    explicit BackendPropertyStores(std::shared_ptr<PropertyBackend> backend)
        : m_Backend(std::move(backend)) {}
    PropertyBackend& Backend() override { return *m_Backend; }

private:
    const std::shared_ptr<PropertyBackend> m_Backend;
};

}  // namespace sim
