#pragma once
// A started simulated modem in a fresh machine folder, the fault plan cleared, the
// process-wide toggles back at their load values, and helpers to open device services
// the way the device object does (upgrade first, then flash: two sinks in that order).
#include <windows.h>
#include <winplat/clock.h>
#include <winplat/debugout.h>

#include <gtest/gtest.h>

#include <memory>

#include "EventSink.h"
#include "HResultPrinter.h"
#include "MBDeviceService.h"
#include "TestMachine.h"

namespace brelk::test {

class ModemFixture : public ::testing::Test {
protected:
    // Platform time runs this many times faster: the 10 000 ms time-outs take 200 ms, long
    // enough for a delivery on a loaded machine, short enough for a suite of time-outs.
    static constexpr double kTimeScale = 50;

    void SetUp() override {
        WinplatSetTimeScale(kTimeScale);
        m_Machine.InitializeCom();
        g_ReadDataToggle = 0;
        g_WriteDoneToggle = 0;
        StartModem();
        WinplatClearDebugOutput();
    }

    void TearDown() override {
        m_Flash.reset();
        m_Upgrade.reset();
        m_Machine.Stop();
    }

    virtual sim::ModemOptions Options() {
        sim::ModemOptions options = m_Machine.ModemOptions();
        options.InitialFirmwareVersion = "2.3.4";
        return options;
    }

    void StartModem() { ASSERT_HR(S_OK, m_Machine.StartModem(Options())); }
    sim::SimModem& Modem() const { return m_Machine.Modem(); }

    // Both services as the device object holds them during an upgrade.
    void OpenBoth(bool dataSession = true) {
        m_Upgrade = OpenDeviceService(sim::kUpgradeServiceId);
        m_Flash = OpenDeviceService(sim::kFlashServiceId);
        if (dataSession) {
            ASSERT_HR(S_OK, m_Flash->OpenServiceDataSession());
        }
    }

    // Platform milliseconds taken by f.
    template <class F>
    static ULONGLONG Timed(F&& f) {
        const ULONGLONG start = GetTickCount64();
        f();
        return GetTickCount64() - start;
    }

    Machine m_Machine{"transport"};
    std::shared_ptr<CMBDeviceService> m_Upgrade;
    std::shared_ptr<CMBDeviceService> m_Flash;
};

}  // namespace brelk::test
