#pragma once
// A started simulated modem with both device services open as the device object holds
// them during an upgrade (upgrade first, then flash, so two sinks are advised in that
// order), the flash data session open and published as g_pFlashService, and the port
// callbacks' process-wide state back at its load values.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "MBDeviceService.h"
#include "TestMachine.h"

namespace brelk::test {

class ModemPort : public ::testing::Test {
protected:
    // 3000 ms "EXEC" pauses take 3 ms, the 10 000 ms write wait 10 ms.
    static constexpr double kTimeScale = 1000;

    void SetUp() override;
    void TearDown() override;

    // Waits until the modem has delivered everything it queued.
    void WaitModemIdle();
    // The bytes the modem received since the test began.
    std::vector<uint8_t> Sent() const { return Modem().WrittenBytes(); }
    sim::SimModem& Modem() const { return m_Machine.Modem(); }

    Machine m_Machine{"port"};
    std::shared_ptr<CMBDeviceService> m_Upgrade;
    std::shared_ptr<CMBDeviceService> m_Flash;
};

}  // namespace brelk::test
