#pragma once
// A started simulated modem in a fresh machine folder, the fault plan cleared, the
// process-wide toggles back at their load values, and helpers to open device services
// the way the device object does (upgrade first, then flash: two sinks in that order).
#include <windows.h>
#include <objbase.h>
#include <winplat/clock.h>
#include <winplat/debugout.h>

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>

#include "EventSink.h"
#include "FaultPlan.h"
#include "HResultPrinter.h"
#include "MBDeviceService.h"
#include "SimModem.h"

namespace transport_test {

inline std::filesystem::path FreshFolder(const char* tag) {
    static int counter = 0;
    const auto path =
        std::filesystem::temp_directory_path() / ("brelk-transport-" + std::to_string(::getpid()) +
                                                  "-" + tag + "-" + std::to_string(++counter));
    std::filesystem::remove_all(path);
    std::filesystem::create_directories(path);
    return path;
}

class ModemFixture : public ::testing::Test {
protected:
    // Platform time runs this many times faster: the 10 000 ms time-outs take 200 ms, long
    // enough for a delivery on a loaded machine, short enough for a suite of time-outs.
    static constexpr double kTimeScale = 50;

    void SetUp() override {
        WinplatSetTimeScale(kTimeScale);
        m_hrCom = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        sim::FaultPlan::Instance().Clear();
        g_ReadDataToggle = 0;
        g_WriteDoneToggle = 0;
        m_Folder = FreshFolder("m");
        StartModem();
        WinplatClearDebugOutput();
    }

    void TearDown() override {
        m_Flash.reset();
        m_Upgrade.reset();
        if (m_Modem) {
            m_Modem->Stop();
        }
        sim::FaultPlan::Instance().Clear();
        if (SUCCEEDED(m_hrCom)) {
            CoUninitialize();
        }
        std::error_code ec;
        std::filesystem::remove_all(m_Folder, ec);
    }

    virtual sim::ModemOptions Options() {
        sim::ModemOptions options;
        options.MachineFolder = m_Folder;
        options.InitialFirmwareVersion = "2.3.4";
        return options;
    }

    void StartModem() {
        m_Modem = std::make_unique<sim::SimModem>(Options());
        ASSERT_HR(S_OK, m_Modem->Start());
    }

    std::shared_ptr<CMBDeviceService> Open(const wchar_t* id) {
        auto service = std::make_shared<CMBDeviceService>(id);
        EXPECT_HR(S_OK, service->Initialize());
        return service;
    }

    // Both services as the device object holds them during an upgrade.
    void OpenBoth(bool dataSession = true) {
        m_Upgrade = Open(sim::kUpgradeServiceId);
        m_Flash = Open(sim::kFlashServiceId);
        if (dataSession) {
            ASSERT_HR(S_OK, m_Flash->OpenServiceDataSession());
        }
    }

    void AddFaults(const char* text) {
        std::string error;
        ASSERT_TRUE(sim::FaultPlan::Instance().Parse(text, &error)) << error;
    }

    static size_t CountDebugText(const std::string& text) {
        const auto out = WinplatGetDebugOutput();
        return static_cast<size_t>(std::count(out.begin(), out.end(), text));
    }

    // Platform milliseconds taken by f.
    template <class F>
    static ULONGLONG Timed(F&& f) {
        const ULONGLONG start = GetTickCount64();
        f();
        return GetTickCount64() - start;
    }

    HRESULT m_hrCom = E_FAIL;
    std::filesystem::path m_Folder;
    std::unique_ptr<sim::SimModem> m_Modem;
    std::shared_ptr<CMBDeviceService> m_Upgrade;
    std::shared_ptr<CMBDeviceService> m_Flash;
};

}  // namespace transport_test
