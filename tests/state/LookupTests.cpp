// The device key: "MBFW\" and the braced part of the first hardware identifier, looked up
// through the framework device's instance identifier and SetupAPI.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

#include "DevicePeer.h"
#include "TestMachine.h"
#include "HResultPrinter.h"

namespace brelk::test {
namespace {

class LookupTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(std::filesystem::is_directory(m_Machine.Folder()));
        ASSERT_HR(S_OK, m_Machine.StartAttachedDevice());
    }
    void TearDown() override { m_Machine.Stop(); }
    Machine m_Machine{"state"};
};

TEST_F(LookupTest, KeyIsMbfwAndTheBracedPartOfTheFirstHardwareId) {
    struct Case {
        const char* name;
        std::vector<std::wstring> ids;
        std::wstring key;
    } cases[] = {
        {"the forced device",
         {L"MBFW\\{4CA8CA0E-2A90-4D00-B29D-15AB8A12D309}"},
         FORCE_UPGRADE_DEVICE_KEY},
        {"another prefix is dropped", {L"USB\\VID_1E2D&PID_00B7\\{ABC-1}"}, L"MBFW\\{ABC-1}"},
        {"text after the last brace is dropped", {L"X\\{A}{B}tail"}, L"MBFW\\{A}{B}"},
        {"only the first id counts", {L"A\\{FIRST}", L"MBFW\\{SECOND}"}, L"MBFW\\{FIRST}"},
        {"no closing brace runs to the end", {L"A\\{OPEN"}, L"MBFW\\{OPEN"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_HR(S_OK, m_Machine.Store()->RegisterDeviceNode(kModemInstance, GUID{}, c.ids));
        EXPECT_HR(S_OK, m_Machine.Device()->LookupDeviceKey());
        EXPECT_EQ(m_Machine.Device()->DeviceKey(), c.key);
    }
}

TEST_F(LookupTest, FailuresLeaveTheKeyEmpty) {
    const HRESULT noBraces = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
    const HRESULT invalidData = HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
    struct Case {
        const char* name;
        bool registered;
        std::vector<BYTE> property;  // raw REG_MULTI_SZ data
        std::optional<sim::FaultPoint> fault;
        HRESULT expected;
    } cases[] = {
        {"unknown instance", false, {}, std::nullopt, static_cast<HRESULT>(0xE000020B)},
        {"no braced part", true, sim::ToRegMultiSz({L"USB\\VID_1E2D&PID_00B7"}), std::nullopt,
         noBraces},
        {"closing brace before the opening one", true, sim::ToRegMultiSz({L"A}B{C"}), std::nullopt,
         noBraces},
        {"empty list", true, sim::ToRegMultiSz({}), std::nullopt, noBraces},
        {"empty property", true, {}, std::nullopt, invalidData},
        {"odd byte count", true, {'A', 0, '{'}, std::nullopt, invalidData},
        {"instance id refused", true, sim::ToRegMultiSz({L"A\\{B}"}),
         sim::FaultPoint::HostDeviceInstanceId, E_ACCESSDENIED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_HR(S_OK, m_Machine.Store()->RemoveDeviceNode(kModemInstance));
        if (c.registered) {
            ASSERT_HR(S_OK, m_Machine.Store()->RegisterDeviceNode(kModemInstance, GUID{}, {}));
            ASSERT_HR(S_OK, m_Machine.Store()->SetDeviceRegistryProperty(
                                kModemInstance, SPDRP_HARDWAREID, REG_MULTI_SZ, c.property));
        }
        if (c.fault) {
            sim::FaultPlan::Instance().Add(
                {*c.fault, "", sim::FaultAction::Fail, E_ACCESSDENIED, 0, 0});
        }
        EXPECT_HR(c.expected, m_Machine.Device()->LookupDeviceKey());
        EXPECT_TRUE(m_Machine.Device()->DeviceKey().empty());
    }
}

TEST_F(LookupTest, AnUnterminatedPropertyIsReadOnlyAsFarAsItGoes) {
    ASSERT_HR(S_OK, m_Machine.Store()->RegisterDeviceNode(kModemInstance, GUID{}, {}));
    // No terminator at all: the identifier ends where the data ends.
    ASSERT_HR(S_OK, m_Machine.Store()->SetDeviceRegistryProperty(
                        kModemInstance, SPDRP_HARDWAREID, REG_MULTI_SZ,
                        sim::ToUtf16Le(L"MBFW\\{4CA8CA0E-2A90-4D00-B29D-15AB8A12D309}")));
    EXPECT_HR(S_OK, m_Machine.Device()->LookupDeviceKey());
    EXPECT_EQ(m_Machine.Device()->DeviceKey(), FORCE_UPGRADE_DEVICE_KEY);
}

TEST_F(LookupTest, AFailedLookupKeepsAnEarlierKey) {
    ASSERT_HR(S_OK, m_Machine.Store()->RegisterDeviceNode(kModemInstance, GUID{}, {L"A\\{KEPT}"}));
    ASSERT_HR(S_OK, m_Machine.Device()->LookupDeviceKey());
    ASSERT_HR(S_OK, m_Machine.Store()->RegisterDeviceNode(kModemInstance, GUID{}, {L"NOBRACES"}));
    EXPECT_HR(HRESULT_FROM_WIN32(ERROR_NOT_FOUND), m_Machine.Device()->LookupDeviceKey());
    EXPECT_EQ(m_Machine.Device()->DeviceKey(), L"MBFW\\{KEPT}");
}

}  // namespace
}  // namespace brelk::test
