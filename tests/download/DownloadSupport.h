#pragma once
// Fixtures of the download suites: a firmware image, and a loopback port that connects the
// Flashkit stand-in to a boot loader.

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
#include "FirmwareImage.h"
#include "DevicePeer.h"
#include "TestMachine.h"

namespace brelk::test {

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

// The texts of the Device unit's error-level trace messages sent while `run` runs,
// decoded with the build's catalogs.
std::vector<std::string> DeviceErrorTraces(const std::function<void()>& run);

}  // namespace brelk::test
