// The host system when it is Windows itself: paths are already Windows paths and the clock
// is the system's, scaled only by WINPLAT_TIME_SCALE as on our layer, so a stand-in runs at
// the same pace. The groups the PE modules of this build do not use yet answer as a system
// without them: no API faults on purpose, no trace recording, no debugger output or
// counters captured, and SetupAPI answers from Windows' own device tree.
#include <windows.h>

#include <atomic>
#include <cmath>
#include <cstdlib>

#include "HostSystem.h"

namespace sim {

namespace {

double ScaleFromEnvironment() {
    char text[64] = {};
    const DWORD n = GetEnvironmentVariableA("WINPLAT_TIME_SCALE", text, sizeof(text));
    if (n == 0 || n >= sizeof(text)) {
        return 1.0;
    }
    const double scale = std::strtod(text, nullptr);
    return std::isfinite(scale) && scale > 0 ? scale : 1.0;
}

std::string Utf8(std::wstring_view w) {
    if (w.empty()) {
        return {};
    }
    const int size = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr,
                                         0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size > 0 ? size : 0), '\0');
    if (size > 0) {
        WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), out.data(), size,
                            nullptr, nullptr);
    }
    return out;
}

class SystemClock final : public Clock {
public:
    bool SetScale(double scale) override {
        if (!std::isfinite(scale) || scale <= 0) {
            return false;
        }
        m_Scale = scale;
        return true;
    }
    double Scale() override { return m_Scale; }
    std::chrono::nanoseconds ScaledWait(double ms) override {
        return std::chrono::nanoseconds(static_cast<long long>(ms * 1e6 / m_Scale));
    }
    // The performance counter, run at the scale the pauses are divided by.
    uint64_t NowNs() override {
        LARGE_INTEGER count{};
        LARGE_INTEGER frequency{};
        QueryPerformanceCounter(&count);
        QueryPerformanceFrequency(&frequency);
        const double seconds =
            static_cast<double>(count.QuadPart) / static_cast<double>(frequency.QuadPart);
        return static_cast<uint64_t>(seconds * 1e9 * m_Scale);
    }
    void Sleep(ULONGLONG ms) override {
        ::Sleep(static_cast<DWORD>(static_cast<double>(ms) / m_Scale));
    }
    DWORD WaitForObject(HANDLE object, DWORD ms) override {
        return WaitForSingleObject(
            object, ms == INFINITE
                        ? INFINITE
                        : static_cast<DWORD>(std::ceil(static_cast<double>(ms) / m_Scale)));
    }
    bool ScaleModule(HMODULE) override { return false; }

private:
    std::atomic<double> m_Scale{ScaleFromEnvironment()};
};

// Windows owns its drives: a path is the path the C runtime opens.
class SystemDrives final : public Drives {
public:
    bool Map(wchar_t, const std::string&) override { return false; }
    void UnmapAll() override {}
    std::string ToHostPath(std::wstring_view windowsPath) override { return Utf8(windowsPath); }
    std::string ToHostPath(std::string_view windowsPath) override {
        return std::string(windowsPath);
    }
};

class NoDebugOutput final : public DebugOutput {
public:
    std::vector<std::string> Read() override { return {}; }
    void Clear() override {}
    void SetEcho(bool) override {}
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
    void ServeDeviceNodes(std::shared_ptr<DeviceNodes>) override {}

private:
    SystemClock m_Clock;
    SystemDrives m_Drives;
    NoDebugOutput m_Debug;
    NoApiFaults m_Faults;
    NoTrace m_Trace;
    NoCounters m_Counters;
};

}  // namespace

HostSystem& Host() {
    static WindowsHostSystem host;
    return host;
}

}  // namespace sim
