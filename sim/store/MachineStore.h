#pragma once
// The persistent state of one simulated machine on our layer: one SQLite file that is the
// backend of the device property stores (named values per device instance and key, with their
// PROPVARIANT type; unified device properties) and the device database behind SetupAPI.
//
// Every write is committed with synchronous=FULL before the call returns, so killing the
// process right after it loses nothing. Failures become HRESULTs: a locked database
// HRESULT_FROM_WIN32(ERROR_LOCK_VIOLATION), a corrupt one HRESULT_FROM_WIN32(ERROR_BADDB),
// a file that cannot be opened HRESULT_FROM_WIN32(ERROR_CANTOPEN).
//
// Lazily flushed writes, as the registry behind a real store has them: under the fault
// "store.write:lazy=N" a named-value write also records what it replaced in a journal
// that keeps the process's last N such writes (older ones count as flushed). A process
// that ends cleanly flushes (FlushLazyWrites); one that is killed leaves its journal, and
// the next Open undoes those writes, newest first, as a power loss would have lost them.
#include <windows.h>
#include <setupapi.h>
#include <wudfddi.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "HostSystem.h"
#include "PropertyStore.h"

namespace sim {

struct StoreOptions {
    // How long a statement waits for another connection's lock before it fails. SQLite
    // sleeps on the host clock here, so tests that hold a lock on purpose set it low.
    int BusyTimeoutMs = 2000;
};

class MachineStore final : public DevicePropertyStores,
                           public PropertyBackend,
                           public sim::DeviceNodes,
                           public std::enable_shared_from_this<MachineStore> {
public:
    // "<machine folder>/machine.db".
    static std::string DbPathForMachine(const std::string& machineFolder);

    // Opens the database file, creating it and its tables when missing.
    static HRESULT Open(const std::string& dbPath, std::shared_ptr<MachineStore>* store,
                        StoreOptions options = {});

    const std::string& Path() const { return m_Path; }
    const StoreOptions& Options() const { return m_Options; }

    // Makes this process's lazily flushed writes durable.
    HRESULT FlushLazyWrites();

    // The machine file is the backend of its devices' property stores.
    PropertyBackend& Backend() override { return *this; }
    HRESULT OpenKey(const std::wstring& instanceId, const std::wstring& key, KeyOpen how,
                    std::unique_ptr<PropertyKey>* opened, bool* created) override;
    HRESULT OpenDeviceProperties(const std::wstring& instanceId, const std::wstring& key,
                                 std::unique_ptr<DevicePropertyKey>* opened) override;
    HRESULT Flush() override { return FlushLazyWrites(); }

    // Device database. A node is its instance id, setup class and hardware ids.
    HRESULT RegisterDeviceNode(const std::wstring& instanceId, const GUID& classGuid,
                               const std::vector<std::wstring>& hardwareIds);
    // Stores raw registry data for a property as it stands (REG_MULTI_SZ data is UTF-16LE),
    // so that malformed values can be staged.
    HRESULT SetDeviceRegistryProperty(const std::wstring& instanceId, DWORD property, DWORD regType,
                                      const std::vector<BYTE>& data);
    HRESULT RemoveDeviceNode(const std::wstring& instanceId);
    HRESULT DeviceNodes(std::vector<std::wstring>* instanceIds);

    // DeviceNodes, as the host system's device database reads them.
    HRESULT CreateNode(const std::wstring& instanceId, const GUID& classGuid,
                       const std::vector<std::wstring>& hardwareIds) override {
        return RegisterDeviceNode(instanceId, classGuid, hardwareIds);
    }
    HRESULT FindNode(const std::wstring& instanceId, GUID* classGuid) override;
    HRESULT NodeRegistryProperty(const std::wstring& instanceId, DWORD property, DWORD* regType,
                                 std::vector<BYTE>* data) override;
    HRESULT RemoveNode(const std::wstring& instanceId) override {
        return RemoveDeviceNode(instanceId);
    }

    // The PROPVARIANT type a named value was written with (reads convert it), for tools.
    // keyName is "HardwareKey" for the driver's default hardware key.
    HRESULT StoredValueType(const std::wstring& instanceId, const std::wstring& keyName,
                            const std::wstring& name, VARTYPE* vt);

private:
    MachineStore(std::string path, StoreOptions options)
        : m_Path(std::move(path)), m_Options(options) {}

    const std::string m_Path;
    const StoreOptions m_Options;
};

// Registry text helpers (UTF-16LE on disk and in registry data).
std::vector<BYTE> ToRegMultiSz(const std::vector<std::wstring>& strings);
std::vector<BYTE> ToUtf16Le(const std::wstring& text);

}  // namespace sim
