#pragma once
// Fixtures of the download suites: where the modules are, a firmware image on a mapped
// C: drive, and a loopback port that connects the Flashkit stand-in to a boot loader.

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "BootLoader.h"
#include "Device.h"
#include "FirmwareImage.h"

namespace dltest {

// build/bin, the folder above this program's.
std::string BinFolder();
// Makes the module search find modules in `folder` first (current folder), then in
// build/bin (PATH). This program's own folder holds no modules.
void UseModuleFolder(const std::string& folder);

// A scratch folder mapped as drive C:, with the firmware folder of the driver in it.
class ScratchDrive {
public:
    ScratchDrive();
    ~ScratchDrive();
    const std::string& Root() const { return m_Root; }
    // Windows and host path of a file in C:\Windows\Firmware\Velto\.
    static std::string WindowsImagePath(const std::string& file);
    std::string HostImagePath(const std::string& file) const;

private:
    std::string m_Root;
};

// The byte a loopback port or test sees when it recomputes a generated item.
std::vector<fwimage::TocEntry> WriteTestImage(const std::string& hostPath,
                                              const std::string& versionText,
                                              const std::vector<fwimage::ItemSpec>& items);

// The port callbacks registered with the stand-in under codes 21, 22 and 23: what is
// written goes into the loader, what it answers comes back on reads.
struct Loopback {
    Loopback() {
        Loader.SetReplyHandler([this](const uint8_t* data, size_t length) {
            std::lock_guard lock(Lock);
            Rx.insert(Rx.end(), data, data + length);
        });
    }

    BootLoader Loader{"FW_OLD"};
    std::mutex Lock;
    std::deque<uint8_t> Rx;  // guarded by Lock
    std::atomic<uint32_t> Writes{0};

    static Loopback* Current;  // the one the callbacks use
    static void Write(void* port, const char* data, UINT32 length, UINT32* written);
    static void Read(void* port, char* buffer, UINT32 capacity, UINT32* count);
    static UINT32 RxAvail(void* port);
};

// A device whose completion the test observes.
class TestDevice : public CMyDevice {
public:
    void OnUpgradeComplete() override {
        SucceededAtCompletion = g_bUpgradeSucceeded.load();
        ++Completions;
    }
    LONG PortOpenFlag() const { return m_bPortOpen.load(); }

    std::atomic<int> Completions{0};
    std::atomic<bool> SucceededAtCompletion{false};
};

// Counts of the debugger texts of one run.
size_t CountDebugOutput(const std::string& text);

// The texts of the Device unit's error-level trace messages sent while `run` runs,
// decoded with the build's catalogs.
std::vector<std::string> DeviceErrorTraces(const std::function<void()>& run);

}  // namespace dltest
