#include "PortFixture.h"

#include <winplat/clock.h>
#include <winplat/debugout.h>

#include <unistd.h>

#include <algorithm>

#include "EventSink.h"
#include "FaultPlan.h"
#include "Internal.h"

namespace porttest {

std::filesystem::path FreshFolder(const char* tag) {
    static int counter = 0;
    const auto path =
        std::filesystem::temp_directory_path() /
        ("brelk-port-" + std::to_string(::getpid()) + "-" + tag + "-" + std::to_string(++counter));
    std::filesystem::remove_all(path);
    std::filesystem::create_directories(path);
    return path;
}

size_t CountDebugOutput(const std::string& text) {
    const auto all = WinplatGetDebugOutput();
    return static_cast<size_t>(std::count(all.begin(), all.end(), text));
}

void ModemPort::SetUp() {
    WinplatSetTimeScale(kTimeScale);
    m_hrCom = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    sim::FaultPlan::Instance().Clear();
    g_ReadDataToggle = 0;
    g_WriteDoneToggle = 0;
    g_ExecCount = 0;
    g_ReadGate = 0;
    m_Folder = FreshFolder("modem");
    sim::ModemOptions options;
    options.MachineFolder = m_Folder;
    m_Modem = std::make_unique<sim::SimModem>(options);
    ASSERT_EQ(m_Modem->Start(), S_OK);
    m_Upgrade = OpenService(sim::kUpgradeServiceId);
    m_Flash = OpenService(sim::kFlashServiceId);
    ASSERT_EQ(m_Flash->OpenServiceDataSession(), S_OK);
    ASSERT_EQ(m_Modem->AdvisedSinkCount(), 2u);
    g_pFlashService = m_Flash;
    WaitModemIdle();
    WinplatClearDebugOutput();
}

void ModemPort::TearDown() {
    g_pFlashService.reset();
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

std::shared_ptr<CMBDeviceService> ModemPort::OpenService(const wchar_t* id) {
    auto service = std::make_shared<CMBDeviceService>(id);
    EXPECT_EQ(service->Initialize(), S_OK);
    return service;
}

void ModemPort::WaitModemIdle() {
    ASSERT_TRUE(m_Modem->WaitIdle(60000));
}

}  // namespace porttest
