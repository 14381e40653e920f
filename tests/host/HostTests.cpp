// The framework host's objects: device add settings, the device object's interfaces and
// instance identifier, device interfaces, and I/O dispatch to a queue callback object.
#include <synchapi.h>

#include <atomic>

#include "ComBase.h"
#include "FxIo.h"
#include "HResultPrinter.h"
#include "MachineFixture.h"
#include "winplat/clock.h"

namespace brelk::test {
namespace {

// Platform milliseconds at the suite's time scale of 100: a second of real time, long
// enough for loaded sanitizer runs and only ever spent when something is wrong.
constexpr DWORD kPatienceMs = 100000;

const std::wstring kInstance = L"USB\\VID_1234&PID_5678&MI_0C\\7&1A2B3C4D&0&000C";

// A queue callback that reports each arrival and completes when told to; it answers
// the device I/O control callback interface and nothing else.
class QueueCallback final : public simcom::ComObject<QueueCallback, IQueueCallbackDeviceIoControl> {
public:
    static const simcom::InterfaceEntry<QueueCallback> kInterfaces[];

    QueueCallback() {
        m_hRelease = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        m_hTwoInside = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    STDMETHODIMP_(void)
    OnDeviceIoControl(IWDFIoQueue*, IWDFIoRequest* request, ULONG code, SIZE_T in,
                      SIZE_T out) override {
        const int now = ++m_InCallback;
        int seen = m_MaxInCallback.load();
        while (now > seen && !m_MaxInCallback.compare_exchange_weak(seen, now)) {
        }
        if (now == 2) {
            SetEvent(m_hTwoInside);
        }
        WaitForSingleObject(m_hRelease, INFINITE);
        IWDFMemory* output = nullptr;
        request->GetOutputMemory(&output);
        if (output != nullptr) {
            BYTE reply[] = {static_cast<BYTE>(code), static_cast<BYTE>(in)};
            output->CopyFromBuffer(0, reply, sizeof(reply) < out ? sizeof(reply) : out);
            output->Release();
        }
        --m_InCallback;
        request->CompleteWithInformation(S_OK, 2);
        if (code == kTwice) {
            request->Complete(E_FAIL);
        }
    }

    static constexpr ULONG kTwice = 0x99;
    HANDLE m_hRelease;
    HANDLE m_hTwoInside;  // set when two calls are inside the callback at once
    std::atomic<int> m_InCallback{0};
    std::atomic<int> m_MaxInCallback{0};

private:
    ~QueueCallback() override {
        CloseHandle(m_hRelease);
        CloseHandle(m_hTwoInside);
    }
};

const simcom::InterfaceEntry<QueueCallback> QueueCallback::kInterfaces[] = {
    simcom::Entry<QueueCallback, IQueueCallbackDeviceIoControl>(IID_IQueueCallbackDeviceIoControl),
    {},
};

class HostTest : public MachineFixture {
protected:
    void SetUp() override {
        MachineFixture::SetUp();
        WinplatSetTimeScale(100);
        ASSERT_HR(S_OK, m_Machine.StartDriver());
        ASSERT_HR(S_OK, sim::CFxDeviceInit::CreateInstance(Store(), kInstance, &m_Init));
    }
    void TearDown() override {
        if (m_Device != nullptr) {
            m_Device->Release();
        }
        m_Init->Release();
        WinplatSetTimeScale(1);
        MachineFixture::TearDown();
    }
    void CreateDevice(IUnknown* callback) {
        ASSERT_HR(S_OK, m_Machine.Driver()->CreateDevice(m_Init, callback, &m_Device));
        ASSERT_NE(m_Device, nullptr);
    }
    sim::CFxDevice* Device() { return static_cast<sim::CFxDevice*>(m_Device); }

    sim::CFxDeviceInit* m_Init = nullptr;
    IWDFDevice* m_Device = nullptr;
};

TEST_F(HostTest, DeviceAddRecordsTheDriversSettings) {
    EXPECT_FALSE(m_Init->PowerPolicyOwnership().has_value());
    IWDFDeviceInitialize* init = m_Init;
    init->SetPowerPolicyOwnership(FALSE);
    init->AutoForwardCreateCleanupClose(WdfTrue);
    EXPECT_EQ(m_Init->PowerPolicyOwnership(), std::optional<BOOL>(FALSE));
    EXPECT_EQ(m_Init->AutoForward(), std::optional<WDF_TRI_STATE>(WdfTrue));
}

TEST_F(HostTest, InstanceIdFollowsTheSizeQueryContract) {
    CreateDevice(nullptr);
    DWORD chars = 0;
    ASSERT_HR(S_OK, m_Device->RetrieveDeviceInstanceId(nullptr, &chars));
    EXPECT_EQ(chars, kInstance.size() + 1);

    std::vector<WCHAR> buffer(chars + 2, L'#');
    DWORD small = chars - 1;
    EXPECT_HR(HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER),
              m_Device->RetrieveDeviceInstanceId(buffer.data(), &small));
    EXPECT_EQ(small, chars);
    EXPECT_EQ(buffer[0], L'#');
    ASSERT_HR(S_OK, m_Device->RetrieveDeviceInstanceId(buffer.data(), &chars));
    EXPECT_EQ(std::wstring(buffer.data()), kInstance);
    EXPECT_EQ(buffer[chars], L'#');

    sim::FaultPlan::Instance().Add(
        {sim::FaultPoint::HostDeviceInstanceId, "", sim::FaultAction::Fail, 0x8007001F});
    EXPECT_HR(static_cast<HRESULT>(0x8007001F),
              m_Device->RetrieveDeviceInstanceId(nullptr, &chars));
}

TEST_F(HostTest, DeviceAnswersBothPropertyStoreFactories) {
    CreateDevice(nullptr);
    struct Case {
        const char* name;
        const IID* iid;
    } cases[] = {{"named", &IID_IWDFPropertyStoreFactory},
                 {"unified", &IID_IWDFUnifiedPropertyStoreFactory}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        IUnknown* factory = reinterpret_cast<IUnknown*>(0x1);
        ASSERT_HR(S_OK, m_Device->QueryInterface(*c.iid, reinterpret_cast<void**>(&factory)));
        ASSERT_NE(factory, nullptr);
        // Same object: it answers the device again.
        IWDFDevice* back = nullptr;
        EXPECT_HR(S_OK, factory->QueryInterface(IID_IWDFDevice, reinterpret_cast<void**>(&back)));
        EXPECT_EQ(back, m_Device);
        back->Release();
        factory->Release();
    }

    // A flag byte through the unified store, and read back with the size contract.
    IWDFUnifiedPropertyStoreFactory* unifiedFactory = nullptr;
    ASSERT_HR(S_OK, m_Device->QueryInterface(IID_IWDFUnifiedPropertyStoreFactory,
                                             reinterpret_cast<void**>(&unifiedFactory)));
    WDF_PROPERTY_STORE_ROOT root = {};
    root.LengthCb = sizeof(root);
    root.RootClass = WdfPropertyStoreRootClassHardwareKey;
    IWDFUnifiedPropertyStore* unified = nullptr;
    ASSERT_HR(S_OK, unifiedFactory->RetrieveUnifiedDevicePropertyStore(&root, &unified));
    const DEVPROPKEY key = {
        {0x540B947E, 0x8B40, 0x45BC, {0xA8, 0xA2, 0x6A, 0x0B, 0x89, 0x4C, 0xBD, 0xA2}}, 13};
    DEVPROP_BOOLEAN flag = DEVPROP_TRUE;
    EXPECT_HR(S_OK, unified->SetPropertyData(&key, 0, 0, DEVPROP_TYPE_BOOLEAN, 1, &flag));
    ULONG required = 0;
    DEVPROPTYPE type = 0;
    EXPECT_HR(HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER),
              unified->GetPropertyData(&key, 0, 0, 0, nullptr, &required, &type));
    EXPECT_EQ(required, 1u);
    EXPECT_EQ(type, static_cast<DEVPROPTYPE>(DEVPROP_TYPE_BOOLEAN));
    DEVPROP_BOOLEAN readBack = 0;
    EXPECT_HR(S_OK, unified->GetPropertyData(&key, 0, 0, 1, &readBack, &required, &type));
    EXPECT_EQ(readBack, DEVPROP_TRUE);
    unified->Release();
    unifiedFactory->Release();
}

TEST_F(HostTest, DeviceInterfacesAreRecorded) {
    CreateDevice(nullptr);
    const GUID guid = {0x11111111, 0x2222, 0x3333, {4, 4, 5, 5, 6, 6, 7, 7}};
    EXPECT_HR(E_INVALIDARG, m_Device->CreateDeviceInterface(nullptr, nullptr));
    EXPECT_HR(S_OK, m_Device->CreateDeviceInterface(&guid, nullptr));
    auto interfaces = Device()->DeviceInterfaces();
    ASSERT_EQ(interfaces.size(), 1u);
    EXPECT_TRUE(IsEqualGUID(interfaces[0].InterfaceGuid, guid));
    EXPECT_TRUE(interfaces[0].ReferenceString.empty());
}

TEST_F(HostTest, ParallelQueueDispatchesControlRequestsConcurrentlyAndCompletesThem) {
    auto* callback = new QueueCallback();
    CreateDevice(nullptr);
    IWDFIoQueue* queue = nullptr;
    ASSERT_HR(S_OK, m_Device->CreateIoQueue(callback, FALSE, WdfIoQueueDispatchParallel, TRUE,
                                            FALSE, &queue));
    ASSERT_HR(S_OK, m_Device->ConfigureRequestDispatching(queue, WdfRequestDeviceIoControl, TRUE));

    auto first = Device()->SendDeviceIoControl(0x22, {1, 2, 3}, 4);
    auto second = Device()->SendDeviceIoControl(0x23, {}, 0);
    // Both are inside the callback before either is allowed to finish.
    const DWORD bothInside = WaitForSingleObject(callback->m_hTwoInside, kPatienceMs);
    const bool firstDone = first->Completed();
    SetEvent(callback->m_hRelease);
    ASSERT_EQ(bothInside, WAIT_OBJECT_0);
    EXPECT_EQ(callback->m_MaxInCallback.load(), 2);
    EXPECT_FALSE(firstDone);

    ASSERT_TRUE(first->Wait(kPatienceMs));
    ASSERT_TRUE(second->Wait(kPatienceMs));
    EXPECT_HR(S_OK, first->Status());
    EXPECT_EQ(first->Information(), 2u);
    EXPECT_EQ(first->Output(), (std::vector<BYTE>{0x22, 3}));
    EXPECT_EQ(second->CompleteCalls(), 1);

    // Read and write requests are not configured to this queue, and it is not the default.
    for (auto type : {WdfRequestRead, WdfRequestWrite}) {
        SCOPED_TRACE(type);
        auto c = Device()->SendRequest(type, 0, {1}, 1);
        ASSERT_TRUE(c->Completed());
        EXPECT_HR(HRESULT_FROM_WIN32(ERROR_INVALID_FUNCTION), c->Status());
    }

    // A driver that completes twice is caught.
    auto twice = Device()->SendDeviceIoControl(QueueCallback::kTwice, {}, 0);
    ASSERT_TRUE(twice->Wait(kPatienceMs));
    m_Machine.Driver()->DeleteDevices();  // joins the dispatch threads
    EXPECT_EQ(twice->CompleteCalls(), 2);
    EXPECT_HR(S_OK, twice->Status());
    queue->Release();
    callback->Release();
}

}  // namespace
}  // namespace brelk::test
