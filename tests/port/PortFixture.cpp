#include "PortFixture.h"

#include <winplat/clock.h>
#include <winplat/debugout.h>

#include "EventSink.h"
#include "Internal.h"

namespace brelk::test {

void ModemPort::SetUp() {
    WinplatSetTimeScale(kTimeScale);
    m_Machine.InitializeCom();
    g_ReadDataToggle = 0;
    g_WriteDoneToggle = 0;
    g_ExecCount = 0;
    g_ReadGate = 0;
    ASSERT_EQ(m_Machine.StartModem(), S_OK);
    m_Upgrade = OpenDeviceService(sim::kUpgradeServiceId);
    m_Flash = OpenDeviceService(sim::kFlashServiceId);
    ASSERT_EQ(m_Flash->OpenServiceDataSession(), S_OK);
    ASSERT_EQ(Modem().AdvisedSinkCount(), 2u);
    g_pFlashService = m_Flash;
    WaitModemIdle();
    WinplatClearDebugOutput();
}

void ModemPort::TearDown() {
    g_pFlashService.reset();
    m_Flash.reset();
    m_Upgrade.reset();
    m_Machine.Stop();
}

void ModemPort::WaitModemIdle() {
    ASSERT_TRUE(Modem().WaitIdle(60000));
}

}  // namespace brelk::test
