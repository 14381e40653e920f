// The host system when it is our own layer: each group forwards to the layer's extension
// API. The layer keeps no devices of its own, so served device nodes are registered with
// it as its device database.
#include <winplat/clock.h>
#include <winplat/debugout.h>
#include <winplat/devdb.h>
#include <winplat/drives.h>
#include <winplat/faults.h>
#include <winplat/stats.h>
#include <winplat/tracectl.h>

#include "HostSystem.h"

namespace sim {

namespace {

DWORD Win32Of(HRESULT hr) {
    if (SUCCEEDED(hr)) {
        return ERROR_SUCCESS;
    }
    // SetupAPI's own codes (ERROR_NO_SUCH_DEVINST) carry the customer bit and pass
    // through HRESULT_FROM_WIN32 unchanged.
    if ((static_cast<DWORD>(hr) & 0xE0000000u) == 0xE0000000u) {
        return static_cast<DWORD>(hr);
    }
    return HRESULT_FACILITY(hr) == FACILITY_WIN32 ? HRESULT_CODE(hr) : ERROR_INVALID_DATA;
}

class DeviceDatabase final : public WinplatDeviceDatabase {
public:
    explicit DeviceDatabase(std::shared_ptr<DeviceNodes> nodes) : m_Nodes(std::move(nodes)) {}

    DWORD FindDevice(const std::wstring& instanceId, GUID* classGuid) override {
        return Win32Of(m_Nodes->FindNode(instanceId, classGuid));
    }

    DWORD GetRegistryProperty(const std::wstring& instanceId, DWORD property, DWORD* regType,
                              std::vector<BYTE>* data) override {
        return Win32Of(m_Nodes->NodeRegistryProperty(instanceId, property, regType, data));
    }

private:
    const std::shared_ptr<DeviceNodes> m_Nodes;
};

class LayerClock final : public Clock {
public:
    bool SetScale(double scale) override { return WinplatSetTimeScale(scale); }
    double Scale() override { return WinplatGetTimeScale(); }
    std::chrono::nanoseconds ScaledWait(double ms) override { return WinplatScaledMs(ms); }
    uint64_t NowNs() override { return WinplatNowNs(); }
    void Sleep(ULONGLONG ms) override { WinplatSleepMs(ms); }
    DWORD WaitForObject(HANDLE object, DWORD ms) override {
        return WaitForSingleObject(object, ms);
    }
    // The layer's own Sleep, waits and tick count are already scaled.
    bool ScaleModule(HMODULE module) override { return module != nullptr; }
};

class LayerDrives final : public Drives {
public:
    bool Map(wchar_t letter, const std::string& hostFolder) override {
        return WinplatMapDrive(letter, hostFolder.c_str());
    }
    void UnmapAll() override { WinplatUnmapAllDrives(); }
    std::string ToHostPath(std::wstring_view windowsPath) override {
        return WinplatToHostPath(windowsPath);
    }
    std::string ToHostPath(std::string_view windowsPath) override {
        return WinplatToHostPath(windowsPath);
    }
};

class LayerDebugOutput final : public DebugOutput {
public:
    std::vector<std::string> Read() override { return WinplatGetDebugOutput(); }
    void Clear() override { WinplatClearDebugOutput(); }
    void SetEcho(bool on) override { WinplatSetDebugEcho(on); }
};

class LayerApiFaults final : public ApiFaults {
public:
    bool Fail(const std::string& api, unsigned passFirst, unsigned failCount,
              DWORD lastError) override {
        WinplatFailApi(api.c_str(), passFirst, failCount, lastError);
        return true;
    }
    void Clear() override { WinplatClearApiFaults(); }
    std::vector<std::string> Faultable() override {
        std::vector<std::string> names;
        for (const char* const* api = WinplatFaultableApis(); *api != nullptr; ++api) {
            names.emplace_back(*api);
        }
        return names;
    }
    unsigned Failures(const std::string& api) override { return WinplatApiFailures(api.c_str()); }
};

class LayerTrace final : public TraceRecorder {
public:
    ULONG Start(const std::string& logPath, const GUID& controlGuid, UCHAR level, ULONG flags,
                ULONG64* session) override {
        if (session == nullptr) {
            return ERROR_INVALID_PARAMETER;
        }
        TRACEHANDLE handle = 0;
        ULONG status = WinplatStartTraceSession(logPath.c_str(), &handle);
        if (status != ERROR_SUCCESS) {
            return status;
        }
        status = WinplatEnableTrace(handle, &controlGuid, level, flags);
        if (status != ERROR_SUCCESS) {
            WinplatStopTraceSession(handle, nullptr);
            return status;
        }
        *session = handle;
        return ERROR_SUCCESS;
    }

    ULONG Stop(ULONG64 session, Stats* stats) override {
        WinplatTraceSessionStats raw = {};
        const ULONG status = WinplatStopTraceSession(session, &raw);
        if (stats != nullptr) {
            stats->MessagesWritten = raw.MessagesWritten;
            stats->MessagesLost = raw.MessagesLost;
        }
        return status;
    }
};

class LayerCounters final : public ProcessCounters {
public:
    size_t LoadedModules() override { return WinplatLoadedModuleCount(); }
    size_t LiveThreads() override { return WinplatLiveThreadCount(); }
};

class WinplatHostSystem final : public HostSystem {
public:
    Clock& Time() override { return m_Clock; }
    Drives& Paths() override { return m_Drives; }
    DebugOutput& Debugger() override { return m_Debug; }
    ApiFaults& Faults() override { return m_Faults; }
    TraceRecorder& Trace() override { return m_Trace; }
    ProcessCounters& Counters() override { return m_Counters; }

    void ServeDeviceNodes(std::shared_ptr<DeviceNodes> nodes) override {
        WinplatRegisterDeviceDatabase(nodes ? std::make_shared<DeviceDatabase>(std::move(nodes))
                                            : nullptr);
    }

private:
    LayerClock m_Clock;
    LayerDrives m_Drives;
    LayerDebugOutput m_Debug;
    LayerApiFaults m_Faults;
    LayerTrace m_Trace;
    LayerCounters m_Counters;
};

}  // namespace

HostSystem& Host() {
    static WinplatHostSystem host;
    return host;
}

}  // namespace sim
