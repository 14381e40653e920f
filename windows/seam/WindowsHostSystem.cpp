// The host system when it is Windows itself. The clock runs on the performance counter at
// the scale of WINPLAT_TIME_SCALE, as our layer's does; paths are already Windows paths;
// the debugger output is taken from the exceptions OutputDebugString raises; SetupAPI
// answers from Windows' own device tree, where WindowsMachine.h creates the nodes. Windows
// has no way to fail its APIs on purpose and keeps no count of what LoadLibrary and
// CreateThread handed out (the counters answer 0); its event tracing, under Wine, delivers
// no messages, so recording a trace answers ERROR_NOT_SUPPORTED.
#include <windows.h>

#include "DebugCapture.h"
#include "HostSystem.h"
#include "SystemClock.h"
#include "Text.h"

namespace sim {

namespace {

// Windows owns its drives: a path is the path the C runtime opens.
class SystemDrives final : public Drives {
public:
    bool Map(wchar_t, const std::string&) override { return false; }
    void UnmapAll() override {}
    std::string ToHostPath(std::wstring_view windowsPath) override {
        return simcommon::ToUtf8(std::wstring(windowsPath));
    }
    std::string ToHostPath(std::string_view windowsPath) override {
        return std::string(windowsPath);
    }
};

class NoApiFaults final : public ApiFaults {
public:
    bool Fail(const std::string&, unsigned, unsigned, DWORD) override { return false; }
    void Clear() override {}
    std::vector<std::string> Faultable() override { return {}; }
    unsigned Failures(const std::string&) override { return 0; }
};

class NoTrace final : public TraceRecorder {
public:
    ULONG Start(const std::string&, const GUID&, UCHAR, ULONG, ULONG64*) override {
        return ERROR_NOT_SUPPORTED;
    }
    ULONG Stop(ULONG64, Stats*) override { return ERROR_INVALID_HANDLE; }
};

class NoCounters final : public ProcessCounters {
public:
    size_t LoadedModules() override { return 0; }
    size_t LiveThreads() override { return 0; }
};

class WindowsHostSystem final : public HostSystem {
public:
    Clock& Time() override { return m_Clock; }
    Drives& Paths() override { return m_Drives; }
    DebugOutput& Debugger() override { return m_Debug; }
    ApiFaults& Faults() override { return m_Faults; }
    TraceRecorder& Trace() override { return m_Trace; }
    ProcessCounters& Counters() override { return m_Counters; }
    // SetupAPI answers from Windows' own tree, which holds the nodes already.
    void ServeDeviceNodes(std::shared_ptr<DeviceNodes>) override {}

private:
    SystemClock m_Clock;
    SystemDrives m_Drives;
    // Capturing from the first use of the host system on, not from the first read, so that
    // what the process says before anyone asks is kept.
    DebugCapture m_Debug;
    NoApiFaults m_Faults;
    NoTrace m_Trace;
    NoCounters m_Counters;
};

}  // namespace

HostSystem& Host() {
    // Never destroyed: threads may still use the clock, and the exception handler the
    // capture, while the process exits.
    static WindowsHostSystem* host = new WindowsHostSystem;
    return *host;
}

}  // namespace sim
