// The state command: what a user sees and stages is what the driver reads.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "DevicePeer.h"
#include "TestMachine.h"
#include "HResultPrinter.h"
#include "StateTool.h"

namespace brelk::test {
namespace {

class StateToolTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(std::filesystem::is_directory(m_Machine.Folder()));
        ASSERT_HR(S_OK, m_Machine.StartAttachedDevice());
        ASSERT_HR(S_OK, m_Machine.Store()->RegisterDeviceNode(kModemInstance, GUID{}, {L"A\\{B}"}));
    }
    void TearDown() override { m_Machine.Stop(); }
    int Run(std::vector<std::string> args) {
        m_Out.str("");
        m_Err.str("");
        args.insert(args.begin(), m_Machine.Folder().string());
        return brelk::state::Run(args, m_Out, m_Err);
    }
    Machine m_Machine{"state"};
    std::ostringstream m_Out, m_Err;
};

TEST_F(StateToolTest, ShowsSetsAndDeletesWhatTheDriverReads) {
    ASSERT_EQ(0, Run({"show"}));
    EXPECT_NE(m_Out.str().find("FWUpdateProgressState (missing)"), std::string::npos)
        << m_Out.str();

    ASSERT_HR(S_OK, m_Machine.Device()->InitializeUpgradeState(m_Machine.FxDevice()));
    ASSERT_EQ(0, Run({"set", "FWUpdateProgressState", "300", "--type", "ui4"}));
    ASSERT_EQ(0, Run({"delete", "FWURetryCounter"}));
    ASSERT_EQ(0, Run({"show"}));
    const std::string shown = m_Out.str();
    EXPECT_NE(shown.find("FWUpdateProgressState VT_UI4    300 (the driver reads 44)"),
              std::string::npos)
        << shown;
    EXPECT_NE(shown.find("FWURetryCounter       (missing)"), std::string::npos) << shown;
    EXPECT_NE(shown.find("PrevFwVersion         VT_LPSTR  \"0.0\""), std::string::npos) << shown;

    UCHAR state = 0, counter = 0xA5;
    EXPECT_HR(S_OK, m_Machine.Device()->ReadProgressState(m_Machine.FxDevice(), &state));
    EXPECT_EQ(state, 44);
    EXPECT_HR(static_cast<HRESULT>(0x80070002),
              m_Machine.Device()->ReadRetryCounter(m_Machine.FxDevice(), &counter));
}

TEST_F(StateToolTest, DeviceOptionNamesTheNodeOnAMachineWithSeveral) {
    ASSERT_HR(S_OK, m_Machine.Store()->RegisterDeviceNode(L"USB\\VID_0000&PID_0001\\1", GUID{},
                                                          {L"A\\{C}"}));
    ASSERT_HR(S_OK, m_Machine.Device()->InitializeUpgradeState(m_Machine.FxDevice()));
    EXPECT_EQ(2, Run({"set", "FWURetryCounter", "7"}));
    const std::string modem(kModemInstance.begin(), kModemInstance.end());
    ASSERT_EQ(0, Run({"--device", modem, "set", "FWURetryCounter", "7", "--type", "uint"}))
        << m_Err.str();
    UCHAR counter = 0;
    EXPECT_HR(S_OK, m_Machine.Device()->ReadRetryCounter(m_Machine.FxDevice(), &counter));
    EXPECT_EQ(counter, 7);
}

TEST_F(StateToolTest, RefusesBadCommandsAndValues) {
    EXPECT_EQ(2, Run({"frobnicate"}));
    EXPECT_NE(m_Err.str().find("usage:"), std::string::npos);
    EXPECT_EQ(1, Run({"set", "FWURetryCounter", "lots"}));
    EXPECT_EQ(1, Run({"delete", "FWURetryCounter"}));  // never created
    EXPECT_NE(m_Err.str().find("0x80070002"), std::string::npos) << m_Err.str();
    std::vector<std::string> elsewhere = {"/nonexistent/machine", "show"};
    EXPECT_EQ(1, brelk::state::Run(elsewhere, m_Out, m_Err));
}

}  // namespace
}  // namespace brelk::test
