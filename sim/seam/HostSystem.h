#pragma once
// What the simulated machine needs from the system it runs on beyond the Windows API:
// the clock and its scale, drive mapping, the debugger output, the device database behind
// SetupAPI, the storage of device property stores, faults of the system's own APIs, trace
// recording and a few counters of what a process still holds. The simulated components
// reach these only through this header, so the same components run on our layer and on
// Windows, where the registry, SetupAPI and a vectored exception handler stand behind the
// same groups. The process-wide groups come from Host(); device nodes and the property
// backend belong to one machine (on our layer its machine file, sim/store), and the
// machine hands its nodes to the host system to serve.
//
// Every group is thread-safe. Results are HRESULTs or Win32 codes as Windows gives them.
#include <windows.h>
#include <devpropdef.h>
#include <propidl.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

// Platform milliseconds run Scale() times faster than real time: every Sleep, wait
// time-out and the growth of GetTickCount64 in the process is divided by the scale.
class Clock {
public:
    virtual ~Clock() = default;
    // False, with the scale kept, unless scale is finite and positive.
    virtual bool SetScale(double scale) = 0;
    virtual double Scale() = 0;
    // The real time that `ms` platform milliseconds take, for condition-variable waits.
    virtual std::chrono::nanoseconds ScaledWait(double ms) = 0;
    // Platform time in nanoseconds: what GetTickCount64 counts, with the fraction of a
    // millisecond it drops, for components that schedule many short events.
    virtual uint64_t NowNs() = 0;
    // Returns when GetTickCount64 has advanced by at least `ms`.
    virtual void Sleep(ULONGLONG ms) = 0;
    // WaitForSingleObject with a time-out in platform milliseconds (INFINITE stays so):
    // WAIT_OBJECT_0, WAIT_ABANDONED, WAIT_TIMEOUT or WAIT_FAILED with the last error.
    virtual DWORD WaitForObject(HANDLE object, DWORD ms) = 0;
    // Makes a loaded module's own Sleep, WaitForSingleObject and GetTickCount64 run on
    // this clock. Our layer's already do; on Windows the module's imports of those three
    // are bound to this clock instead. False, with the module unchanged, when it cannot be.
    virtual bool ScaleModule(HMODULE module) = 0;
    // Platform time in whole milliseconds, as GetTickCount64 counts it on this clock.
    ULONGLONG NowMs() { return NowNs() / 1000000u; }
};

// Windows paths of the simulated machine and the host folders behind them.
class Drives {
public:
    virtual ~Drives() = default;
    // Letter is A-Z or a-z; replaces an earlier mapping. False where the system owns its
    // drives (Windows).
    virtual bool Map(wchar_t letter, const std::string& hostFolder) = 0;
    virtual void UnmapAll() = 0;
    // The path the host's C runtime opens for a Windows path (UTF-8); empty when the path
    // names an unmapped drive or is empty.
    virtual std::string ToHostPath(std::wstring_view windowsPath) = 0;
    virtual std::string ToHostPath(std::string_view windowsPath) = 0;
};

// What the process passed to OutputDebugStringA/W, one entry per call, as UTF-8.
class DebugOutput {
public:
    virtual ~DebugOutput() = default;
    // Entries since the last Clear (the newest 100000).
    virtual std::vector<std::string> Read() = 0;
    virtual void Clear() = 0;
    // Also prints each entry to stderr as a debugger shows it.
    virtual void SetEcho(bool on) = 0;
};

// One node of the device tree, as SetupAPI finds it.
class DeviceNodes {
public:
    virtual ~DeviceNodes() = default;
    // Creates or replaces the node with its setup class and SPDRP_HARDWAREID.
    virtual HRESULT CreateNode(const std::wstring& instanceId, const GUID& classGuid,
                               const std::vector<std::wstring>& hardwareIds) = 0;
    // S_OK and the setup class, HRESULT_FROM_WIN32(ERROR_NO_SUCH_DEVINST) when there is no
    // such node. Instance ids match without regard to case.
    virtual HRESULT FindNode(const std::wstring& instanceId, GUID* classGuid) = 0;
    // The registry type and raw data of an SPDRP_* property (text as UTF-16LE);
    // HRESULT_FROM_WIN32(ERROR_INVALID_DATA) when the node has no such property.
    virtual HRESULT NodeRegistryProperty(const std::wstring& instanceId, DWORD property,
                                         DWORD* regType, std::vector<BYTE>* data) = 0;
    // Removes the node and its properties; S_OK when there was none.
    virtual HRESULT RemoveNode(const std::wstring& instanceId) = 0;
};

// A named value as storage keeps it. The registry has three shapes for the types a
// property store takes: a 32-bit number (REG_DWORD), text (REG_SZ) and bytes (REG_BINARY).
struct StoredValue {
    enum class Shape { Number, Text, Bytes };
    Shape Kind = Shape::Number;
    // The type the value was written with, where the storage remembers it; otherwise
    // VT_UI4, VT_LPWSTR or VT_BLOB by shape.
    VARTYPE WrittenAs = VT_UI4;
    ULONG Number = 0;
    std::wstring Text;
    std::vector<BYTE> Bytes;
};

// One open key of a device's named values.
class PropertyKey {
public:
    virtual ~PropertyKey() = default;
    // HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) when there is no such value,
    // HRESULT_FROM_WIN32(ERROR_BADDB) when storage holds something no write left.
    virtual HRESULT Read(const std::wstring& name, StoredValue* value) = 0;
    // Durable when the call returns if lazyDepth is 0. Otherwise the write may be lost to
    // a power loss as long as it is among the process's last lazyDepth such writes and
    // the backend has not been flushed.
    virtual HRESULT Write(const std::wstring& name, const StoredValue& value,
                          unsigned lazyDepth) = 0;
    // HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) when there is no such value.
    virtual HRESULT Delete(const std::wstring& name) = 0;
    virtual HRESULT Count(DWORD* count) = 0;
    // Each name once, in an order that holds while the key is unchanged (the machine file
    // keeps the order of first writes; the registry documents none);
    // HRESULT_FROM_WIN32(ERROR_NO_MORE_ITEMS) past the last.
    virtual HRESULT NameAt(DWORD index, std::wstring* name) = 0;
};

// The unified device properties of one key.
class DevicePropertyKey {
public:
    virtual ~DevicePropertyKey() = default;
    // HRESULT_FROM_WIN32(ERROR_NOT_FOUND) when there is no such property.
    virtual HRESULT Get(const DEVPROPKEY& key, LCID lcid, DEVPROPTYPE* type,
                        std::vector<BYTE>* data) = 0;
    // DEVPROP_TYPE_EMPTY deletes the property.
    virtual HRESULT Set(const DEVPROPKEY& key, LCID lcid, DEVPROPTYPE type, const void* data,
                        ULONG size) = 0;
};

// Where the property stores of a machine's devices live. Keys are named as the device's
// registry has them below its instance: "HardwareKey", "HardwareKey\<service>",
// "DeviceParameters", "SoftwareKey", "DeviceInterfaceKey\{guid}[\ref]",
// "LegacyHardwareKey\<name>", each optionally followed by "\<subkey>". Storage that ties
// the stores to device nodes (the registry) fails every call for a device without one with
// HRESULT_FROM_WIN32(ERROR_NO_SUCH_DEVINST).
class PropertyBackend {
public:
    enum class KeyOpen {
        Existing,         // HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) when missing
        CreateIfMissing,  // *created says whether it was missing
        DeviceOwned,      // exists as long as the device does
    };
    virtual ~PropertyBackend() = default;
    virtual HRESULT OpenKey(const std::wstring& instanceId, const std::wstring& key, KeyOpen how,
                            std::unique_ptr<PropertyKey>* opened, bool* created) = 0;
    virtual HRESULT OpenDeviceProperties(const std::wstring& instanceId, const std::wstring& key,
                                         std::unique_ptr<DevicePropertyKey>* opened) = 0;
    // Makes this process's lazy writes durable.
    virtual HRESULT Flush() = 0;
};

// Faults of the system's own APIs, by API name: a rule lets the first passFirst calls
// through, fails the next failCount, then lets calls through again. A failing API answers
// as Windows does on that failure, with lastError as its last error. Rules may be refused
// (false) where the system cannot fail that API on purpose.
class ApiFaults {
public:
    static constexpr unsigned kAlways = 0xFFFFFFFFu;
    virtual ~ApiFaults() = default;
    virtual bool Fail(const std::string& api, unsigned passFirst, unsigned failCount,
                      DWORD lastError) = 0;
    virtual void Clear() = 0;
    // The APIs a rule can fault, sorted; empty where the system has no API faults.
    virtual std::vector<std::string> Faultable() = 0;
    // How many calls of `api` its current rule has failed so far.
    virtual unsigned Failures(const std::string& api) = 0;
};

// Recording the trace messages of one provider into a log file, as a trace controller
// does. A system whose event tracing delivers nothing answers ERROR_NOT_SUPPORTED.
class TraceRecorder {
public:
    struct Stats {
        ULONG64 MessagesWritten = 0;
        ULONG64 MessagesLost = 0;
    };
    virtual ~TraceRecorder() = default;
    // A Win32 code; on success *session names the recording.
    virtual ULONG Start(const std::string& logPath, const GUID& controlGuid, UCHAR level,
                        ULONG flags, ULONG64* session) = 0;
    virtual ULONG Stop(ULONG64 session, Stats* stats) = 0;
};

// What a process still holds, for checks after a driver's unload.
class ProcessCounters {
public:
    virtual ~ProcessCounters() = default;
    // Modules loaded through LoadLibrary and not yet freed.
    virtual size_t LoadedModules() = 0;
    // Threads started by CreateThread that have not returned.
    virtual size_t LiveThreads() = 0;
};

class HostSystem {
public:
    virtual ~HostSystem() = default;
    virtual Clock& Time() = 0;
    virtual Drives& Paths() = 0;
    virtual DebugOutput& Debugger() = 0;
    virtual ApiFaults& Faults() = 0;
    virtual TraceRecorder& Trace() = 0;
    virtual ProcessCounters& Counters() = 0;
    // Makes `nodes` the device tree that SetupAPI answers from in this process (nullptr
    // stops). A system with a device database of its own answers from that instead and
    // only keeps `nodes` for the simulated machine's own use. Calls in progress keep the
    // nodes they started with alive.
    virtual void ServeDeviceNodes(std::shared_ptr<DeviceNodes> nodes) = 0;
};

// The process's host system: one per process, whichever module asks.
HostSystem& Host();

}  // namespace sim
