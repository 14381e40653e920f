// CMBDeviceService against the simulated modem: finding the interface and the service,
// the command exchanges and the data session, with the modem's fault plan.
#include <oleauto.h>
#include <winplat/stats.h>

#include <cstring>
#include <vector>

#include "ModemFixture.h"

namespace brelk::test {
namespace {

class DeviceServiceTest : public ModemFixture {};

TEST_F(DeviceServiceTest, InitializeFindsTheServiceAndAdvisesOneSinkEach) {
    OpenBoth(false);
    EXPECT_STREQ(m_Upgrade->GetChosenServiceId(), sim::kUpgradeServiceId);
    EXPECT_STREQ(m_Flash->GetChosenServiceId(), sim::kFlashServiceId);
    EXPECT_NE(m_Upgrade->GetMbnInterface(), nullptr);
    EXPECT_NE(m_Upgrade->GetMbnDeviceService(), nullptr);
    EXPECT_EQ(Modem().AdvisedSinkCount(), 2u);
    EXPECT_STREQ(m_Upgrade->GetCurrentFirmwareVersion(), "");
    EXPECT_STREQ(m_Upgrade->GetImageFirmwareVersion(), "");

    m_Flash.reset();  // unadvised and released with the service
    EXPECT_EQ(Modem().AdvisedSinkCount(), 1u);
}

TEST_F(DeviceServiceTest, ServiceIdMatchesWithoutRegardToCase) {
    struct Case {
        const wchar_t* id;
        HRESULT expected;
    };
    const Case cases[] = {
        {L"{7b310386-5e82-4373-bd73-051b02539d3a}", S_OK},
        {L"{0ED374CB-F835-4474-BC11-3B3FD76F5641}", S_OK},
        {L"{00000000-0000-0000-0000-000000000000}", E_FAIL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.id)));
        CMBDeviceService service(c.id);
        EXPECT_HR(c.expected, service.Initialize());
        EXPECT_EQ(service.GetMbnDeviceService() != nullptr, SUCCEEDED(c.expected));
    }
}

TEST_F(DeviceServiceTest, ModemNotRegisteredFailsWithTheClassError) {
    Modem().Stop();
    CMBDeviceService service(sim::kUpgradeServiceId);
    EXPECT_HR(REGDB_E_CLASSNOTREG, service.Initialize());
}

class NoInterfaceTest : public ModemFixture {
    sim::ModemOptions Options() override {
        auto options = ModemFixture::Options();
        options.ListInterface = false;
        return options;
    }
};

// A manager that lists no interface is a failed attempt: ten of them, 100 ms apart.
TEST_F(NoInterfaceTest, InitializeRetriesTenTimesThenFails) {
    CMBDeviceService service(sim::kUpgradeServiceId);
    HRESULT hr = S_OK;
    const ULONGLONG elapsed = Timed([&] { hr = service.Initialize(); });
    EXPECT_HR(E_FAIL, hr);
    EXPECT_GE(elapsed, 1000u);
    EXPECT_EQ(service.GetMbnInterface(), nullptr);
}

// A step that reports success without its pointer: the service's assertions report it on
// the debugger output and Initialize goes on to a failure, in every build (no abort).
class HollowSuccessService : public CMBDeviceService {
public:
    enum class Hollow { Interface, Service, ContextService };
    explicit HollowSuccessService(Hollow hollow)
        : CMBDeviceService(sim::kUpgradeServiceId), m_Hollow(hollow) {}

    HRESULT FindInterface(IMbnInterfaceManager** ppManager, IMbnInterface** ppInterface) override {
        const HRESULT hr = CMBDeviceService::FindInterface(ppManager, ppInterface);
        if (SUCCEEDED(hr) && m_Hollow == Hollow::Interface) {
            (*ppInterface)->Release();
            *ppInterface = nullptr;
        }
        return hr;
    }
    HRESULT FindDeviceService(BSTR wantedId, IMbnDeviceServicesContext* context,
                              IMbnDeviceService** ppService) override {
        if (m_Hollow == Hollow::ContextService) {
            HollowContext hollow(context);
            return CMBDeviceService::FindDeviceService(wantedId, &hollow, ppService);
        }
        const HRESULT hr = CMBDeviceService::FindDeviceService(wantedId, context, ppService);
        if (SUCCEEDED(hr) && m_Hollow == Hollow::Service) {
            (*ppService)->Release();
            *ppService = nullptr;
        }
        return hr;
    }

private:
    // The modem's own list, but every service it hands out is a success without one.
    class HollowContext : public IMbnDeviceServicesContext {
    public:
        explicit HollowContext(IMbnDeviceServicesContext* inner) : m_Inner(inner) {}
        STDMETHOD(QueryInterface)(REFIID, void** ppv) override {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        STDMETHOD_(ULONG, AddRef)() override { return 1; }
        STDMETHOD_(ULONG, Release)() override { return 1; }
        STDMETHOD(EnumerateDeviceServices)(SAFEARRAY** services) override {
            return m_Inner->EnumerateDeviceServices(services);
        }
        STDMETHOD(GetDeviceService)(BSTR, IMbnDeviceService** service) override {
            *service = nullptr;
            return S_OK;
        }
        STDMETHOD(get_MaxCommandSize)(ULONG* size) override {
            return m_Inner->get_MaxCommandSize(size);
        }
        STDMETHOD(get_MaxDataSize)(ULONG* size) override { return m_Inner->get_MaxDataSize(size); }

    private:
        IMbnDeviceServicesContext* m_Inner;  // no reference: the service holds it
    };

    Hollow m_Hollow;
};

TEST_F(DeviceServiceTest, AHollowSuccessIsReportedAsAnAssertionAndFails) {
    using Hollow = HollowSuccessService::Hollow;
    const struct {
        Hollow hollow;
        const char* text;
        HRESULT expected;
    } cases[] = {
        {Hollow::Interface, "MBDeviceService: assertion failed: m_pMbnInterface", E_POINTER},
        {Hollow::Service, "MBDeviceService: assertion failed: m_pMbnDeviceService", E_POINTER},
        // Every matching record is tried; none gives a service.
        {Hollow::ContextService, "MBDeviceService: assertion failed: *ppMbnDeviceService != NULL",
         E_FAIL},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        WinplatClearDebugOutput();
        {
            HollowSuccessService service(c.hollow);
            EXPECT_HR(c.expected, service.Initialize());
            EXPECT_EQ(service.GetMbnDeviceService(), nullptr);
        }
        EXPECT_EQ(CountDebugOutput(c.text), 1u);
        const auto out = WinplatGetDebugOutput();
        EXPECT_EQ(std::count_if(out.begin(), out.end(),
                                [](const std::string& t) {
                                    return t.find("assertion failed") != std::string::npos;
                                }),
                  1);
    }
}

TEST(ToNarrow, KeepsTheTerminatorInTheString) {
    struct Case {
        const wchar_t* text;
        std::string expected;
    };
    const Case cases[] = {
        {L"abc", std::string("abc", 4)},
        {L"", std::string(1, '\0')},
        {nullptr, std::string(1, '\0')},
    };
    for (const Case& c : cases) {
        BSTR text = SysAllocString(c.text);
        EXPECT_EQ(CMBDeviceService::ToNarrow(text), c.expected);
        SysFreeString(text);
    }
}

TEST_F(DeviceServiceTest, QueriesAnswerWithinTheirSession) {
    OpenBoth(false);
    struct Case {
        ULONG command;
        std::string expected;
    };
    const Case cases[] = {{1, "2.3.4"}, {3, sim::kModemModelText}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        char response[4096];
        ULONG size = 0;
        EXPECT_HR(S_OK, m_Upgrade->QueryServiceCommand(c.command, nullptr, 0, response,
                                                       sizeof(response), &size));
        EXPECT_EQ(std::string(response, size), c.expected);
    }
    const auto commands = Modem().Commands();
    ASSERT_EQ(commands.size(), 2u);
    EXPECT_FALSE(commands[0].IsSet);
    EXPECT_EQ(commands[1].CommandId, 3u);
    // Each query opened and closed its own command session.
    const auto sessions = Modem().Sessions();
    ASSERT_EQ(sessions.size(), 4u);
    EXPECT_TRUE(sessions[0].Open);
    EXPECT_FALSE(sessions[1].Open);
    BOOL open = TRUE;
    m_Upgrade->GetMbnDeviceService()->get_IsCommandSessionOpen(&open);
    EXPECT_FALSE(open);
}

TEST_F(DeviceServiceTest, QueryWithPayloadAndMissingOutputs) {
    OpenBoth(false);
    const BYTE payload[] = {9, 8, 7};
    char response[64];
    ULONG size = 0;
    EXPECT_HR(S_OK, m_Upgrade->QueryServiceCommand(1, payload, sizeof(payload), response,
                                                   sizeof(response), &size));
    ASSERT_EQ(Modem().Commands().size(), 1u);
    EXPECT_EQ(Modem().Commands()[0].Payload, std::vector<uint8_t>(payload, payload + 3));

    EXPECT_HR(E_FAIL, m_Upgrade->QueryServiceCommand(1, nullptr, 0, nullptr, 0, &size));
    EXPECT_HR(E_FAIL, m_Upgrade->QueryServiceCommand(1, nullptr, 0, response, 64, nullptr));
    CMBDeviceService uninitialised(sim::kUpgradeServiceId);
    EXPECT_HR(E_FAIL, uninitialised.QueryServiceCommand(1, nullptr, 0, response, 64, &size));
    EXPECT_HR(E_FAIL, uninitialised.SetServiceCommand(4, nullptr, 0, nullptr, 0, nullptr));
    EXPECT_HR(E_FAIL, uninitialised.OpenServiceDataSession());
    EXPECT_HR(E_FAIL, uninitialised.CloseServiceDataSession());
    EXPECT_HR(E_FAIL, uninitialised.SendVendorText("abc"));
    EXPECT_EQ(Modem().Commands().size(), 1u);
}

TEST_F(DeviceServiceTest, SetCommandsAreRecordedInOrder) {
    OpenBoth();
    auto final = OpenDeviceService(sim::kFinalServiceId);
    EXPECT_HR(S_OK, m_Upgrade->SetServiceCommand(4, nullptr, 0, nullptr, 0, nullptr));
    EXPECT_HR(S_OK, m_Upgrade->SetServiceCommand(5, nullptr, 0, nullptr, 0, nullptr));
    EXPECT_HR(S_OK, final->SetServiceCommand(1, nullptr, 0, nullptr, 0, nullptr));
    EXPECT_HR(S_OK, m_Flash->CloseServiceDataSession());
    const auto commands = Modem().Commands();
    ASSERT_EQ(commands.size(), 3u);
    EXPECT_EQ(commands[0].ServiceId, sim::kUpgradeServiceId);
    EXPECT_EQ(commands[0].CommandId, 4u);
    EXPECT_EQ(commands[1].CommandId, 5u);
    EXPECT_EQ(commands[2].ServiceId, sim::kFinalServiceId);
    EXPECT_TRUE(commands[2].IsSet);
    EXPECT_FALSE(Modem().DataSessionOpen());
}

TEST_F(DeviceServiceTest, VendorTextIsSentAsSetCommandOne) {
    OpenBoth(false);
    EXPECT_HR(S_OK, m_Upgrade->SendVendorText("abc"));
    const auto commands = Modem().Commands();
    ASSERT_EQ(commands.size(), 1u);
    EXPECT_TRUE(commands[0].IsSet);
    EXPECT_EQ(commands[0].CommandId, 1u);
    const std::vector<uint8_t> expected = {'Q', 'M', 'R', 'V', 1, 0, 0, 0, 2, 0, 0,   0,   5,   0,
                                           0,   0,   8,   0,   0, 0, 3, 0, 0, 0, 'a', 'b', 'c', 0};
    EXPECT_EQ(commands[0].Payload, expected);

    // The block always has room for the length; an empty text is 4 bytes of zeros.
    EXPECT_HR(S_OK, m_Upgrade->SendVendorText(""));
    ASSERT_EQ(Modem().Commands().size(), 2u);
    EXPECT_EQ(Modem().Commands()[1].Payload.size(), 24u);
}

TEST_F(DeviceServiceTest, DataSessionOpenPausesAtLeast100ms) {
    OpenBoth(false);
    HRESULT hr = E_FAIL;
    EXPECT_GE(Timed([&] { hr = m_Flash->OpenServiceDataSession(); }), 100u);
    EXPECT_HR(S_OK, hr);
    EXPECT_TRUE(Modem().DataSessionOpen());
    EXPECT_HR(S_OK, m_Flash->CloseServiceDataSession());
    EXPECT_FALSE(Modem().DataSessionOpen());
}

// Every fault the modem can show on a command or session, and what the exchange makes of
// it. Waits run at the driver's real 10 000 / 15 000 ms, scaled.
enum class Op { Query, Set4, Set1, OpenData, CloseData, VendorText };

struct ExchangeFault {
    const char* faults;
    Op op;
    HRESULT expected;
    ULONGLONG minMs;         // at least this long (platform ms)
    ULONG expectedSize;      // response size afterwards (query only; 77 = untouched)
    size_t commandsSent;     // commands the modem recorded
    ULONGLONG maxMs = 0;     // and less than this (platform ms); 0: not checked
    int commandCloses = -1;  // command-session closes the modem recorded; -1: not checked
};

const HRESULT kDenied = E_ACCESSDENIED;

const ExchangeFault kExchangeFaults[] = {
    // session open refused: the request's error, nothing else happens
    {"modem.session.open/command:refuse=0x80070005", Op::Query, kDenied, 0, 77, 0},
    {"modem.session.open/command:refuse=0x80070005", Op::Set4, kDenied, 0, 77, 0},
    {"modem.session.open/data:refuse=0x80070005", Op::OpenData, kDenied, 0, 77, 0},
    // session open fails: waits out 10 s; a query still closes and reports the close
    {"modem.session.open/command:fail", Op::Query, S_OK, 10000, 77, 0},
    {"modem.session.open/command:fail", Op::Set4, E_FAIL, 10000, 77, 0},
    {"modem.session.open/command:fail", Op::VendorText, E_FAIL, 10000, 77, 0},
    {"modem.session.open/data:fail", Op::OpenData, E_FAIL, 10000, 77, 0},
    // session close refused or failing
    {"modem.session.close/command:refuse=0x80070005", Op::Query, kDenied, 0, 5, 1},
    {"modem.session.close/command:refuse=0x80070005", Op::Set4, E_FAIL, 0, 77, 1},
    {"modem.session.close/command:refuse=0x80070005", Op::Set1, S_OK, 0, 77, 1},
    {"modem.session.close/command:fail", Op::Query, E_FAIL, 10000, 5, 1},
    // command 1 does not wait for its session's close
    {"modem.session.close/command:fail", Op::Set1, S_OK, 0, 77, 1, 10000, 1},
    {"modem.session.close/data:refuse=0x80070005", Op::CloseData, kDenied, 0, 77, 0},
    {"modem.session.close/data:fail", Op::CloseData, E_FAIL, 10000, 77, 0},
    // command refused by the request, or failed through its completion
    {"modem.command/1:refuse=0x80070005", Op::Query, S_OK, 0, 77, 0},
    {"modem.command/4:refuse=0x80070005", Op::Set4, kDenied, 0, 77, 0},
    {"modem.command/1:fail=0x80004005", Op::Query, S_OK, 0, 0, 1},
    {"modem.command/4:fail=0x80004005", Op::Set4, S_OK, 0, 77, 1},
    // completions lost or late; a timed-out exchange still closes its session
    {"modem.complete/query:drop", Op::Query, S_OK, 10000, 77, 1, 0, 1},
    {"modem.complete/query:delay=20000", Op::Query, S_OK, 10000, 77, 1, 0, 1},
    {"modem.complete/set:drop", Op::Set4, E_FAIL, 15000, 77, 1, 0, 1},
    {"modem.complete/set:drop", Op::Set1, S_OK, 15000, 77, 1, 0, 1},
    {"modem.complete/set:delay=3000", Op::Set4, S_OK, 3000, 77, 1},
    {"modem.complete/open-data:drop", Op::OpenData, E_FAIL, 10000, 77, 0},
    {"modem.complete/close-command:drop", Op::Set4, E_FAIL, 10000, 77, 1},
    {"modem.complete/close-command:drop", Op::Set1, S_OK, 0, 77, 1, 10000, 1},
    // responses of odd shapes
    {"modem.response/1:oversize=5000", Op::Query, S_OK, 0, 4096, 1},
    {"modem.response/1:empty", Op::Query, S_OK, 0, 0, 1},
    {"modem.response/1:missing", Op::Query, S_OK, 0, 0, 1},
    // a modem that stops answering
    {"modem.silent:on", Op::Query, E_FAIL, 20000, 77, 0},
    {"modem.silent:on", Op::Set4, E_FAIL, 20000, 77, 0},
    {"modem.silent:on", Op::VendorText, E_FAIL, 10000, 77, 0},
};

class ExchangeFaultTest : public ModemFixture,
                          public ::testing::WithParamInterface<ExchangeFault> {};

TEST_P(ExchangeFaultTest, ResultAsWritten) {
    const ExchangeFault& c = GetParam();
    OpenBoth(false);
    if (c.op == Op::CloseData) {
        ASSERT_HR(S_OK, m_Flash->OpenServiceDataSession());
    }
    AddFaults(c.faults);
    std::vector<char> response(4096 + 16, 'x');
    ULONG size = 77;
    HRESULT hr = S_OK;
    const ULONGLONG elapsed = Timed([&] {
        switch (c.op) {
            case Op::Query:
                hr = m_Upgrade->QueryServiceCommand(1, nullptr, 0, response.data(), 4096, &size);
                break;
            case Op::Set4:
                hr = m_Upgrade->SetServiceCommand(4, nullptr, 0, nullptr, 0, nullptr);
                break;
            case Op::Set1:
                hr = m_Upgrade->SetServiceCommand(1, nullptr, 0, nullptr, 0, nullptr);
                break;
            case Op::OpenData:
                hr = m_Flash->OpenServiceDataSession();
                break;
            case Op::CloseData:
                hr = m_Flash->CloseServiceDataSession();
                break;
            case Op::VendorText:
                hr = m_Upgrade->SendVendorText("abc");
                break;
        }
    });
    EXPECT_HR(c.expected, hr);
    EXPECT_GE(elapsed, c.minMs);
    if (c.maxMs != 0) {
        EXPECT_LT(elapsed, c.maxMs);
    }
    if (c.commandCloses >= 0) {
        const auto sessions = Modem().Sessions();
        EXPECT_EQ(std::count_if(sessions.begin(), sessions.end(),
                                [](const sim::ModemSession& s) { return !s.Data && !s.Open; }),
                  c.commandCloses);
    }
    if (c.op == Op::Query) {
        EXPECT_EQ(size, c.expectedSize);
        EXPECT_EQ(response[size], 'x');  // nothing written past the response
    }
    EXPECT_EQ(Modem().Commands().size(), c.commandsSent);
    EXPECT_FALSE(sim::FaultPlan::Instance().Fired().empty());

    // The service is still usable once the modem behaves again; no late completion of
    // the faulted exchange is taken for the next one's.
    sim::FaultPlan::Instance().Clear();
    if (std::string(c.faults) != "modem.silent:on") {
        char text[64];
        ULONG textSize = 0;
        EXPECT_HR(S_OK,
                  m_Upgrade->QueryServiceCommand(3, nullptr, 0, text, sizeof(text), &textSize));
        EXPECT_EQ(std::string(text, textSize), sim::kModemModelText);
    }
}

INSTANTIATE_TEST_SUITE_P(Faults, ExchangeFaultTest, ::testing::ValuesIn(kExchangeFaults),
                         [](const auto& info) { return "case" + std::to_string(info.index); });

TEST_F(DeviceServiceTest, FaultsAlsoComeFromTheModemsCommandLineText) {
    m_Machine.StopModem();
    sim::ModemOptions options = Options();
    options.Faults = "modem.command/4:refuse=0x80070005";
    ASSERT_HR(S_OK, m_Machine.StartModem(options));
    OpenBoth(false);
    EXPECT_HR(E_ACCESSDENIED, m_Upgrade->SetServiceCommand(4, nullptr, 0, nullptr, 0, nullptr));

    sim::ModemOptions bad = Options();
    bad.Faults = "no colon here";
    sim::SimModem other(bad);
    EXPECT_HR(E_INVALIDARG, other.Start());
}

TEST_F(DeviceServiceTest, NothingLeaksAcrossManyExchanges) {
    const size_t handles = WinplatOpenHandleCount();
    for (int round = 0; round < 3; ++round) {
        OpenBoth();
        char response[64];
        ULONG size = 0;
        EXPECT_HR(S_OK, m_Upgrade->QueryServiceCommand(1, nullptr, 0, response, 64, &size));
        EXPECT_HR(S_OK, m_Upgrade->SetServiceCommand(4, nullptr, 0, nullptr, 0, nullptr));
        EXPECT_HR(S_OK, m_Flash->CloseServiceDataSession());
        m_Flash.reset();
        m_Upgrade.reset();
        // A delivery in progress may hold the last reference to a sink for a moment.
        ASSERT_TRUE(Modem().WaitIdle(60000));
        EXPECT_EQ(WinplatOpenHandleCount(), handles);
        EXPECT_EQ(Modem().AdvisedSinkCount(), 0u);
    }
}

}  // namespace
}  // namespace brelk::test
