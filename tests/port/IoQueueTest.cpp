// The device's I/O queue on the framework host: how it is created, what it answers, how
// long it lives, and what happens when the framework or the caller lets it down.

#include <windows.h>
#include <wudfddi.h>
#include <winplat/clock.h>
#include <winplat/debugout.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <thread>
#include <vector>

#include "Device.h"
#include "Framework.h"
#include "Internal.h"
#include "IoQueue.h"
#include "MachineStore.h"
#include "PortFixture.h"

namespace brelk::test {
namespace {

using ::testing::_;
using ::testing::NotNull;
using ::testing::StrictMock;

constexpr char kFxDeviceAssertion[] = "IoQueue: assertion failed: FxDevice != NULL";
constexpr char kMyDeviceAssertion[] = "IoQueue: assertion failed: MyDevice != NULL";
constexpr ULONG kIoctl = 0x0022E004;
CMyQueue* const kPoisonQueue = reinterpret_cast<CMyQueue*>(static_cast<uintptr_t>(0xdeadbeef));

// The device object that owns the queue; the queue only keeps its address.
class QueueOwner : public CMyDevice {};

// The framework device's callback object; this suite never runs its callbacks.
class PlainCallback final : public IUnknown {
public:
    STDMETHOD(QueryInterface)(REFIID riid, void** ppv) override {
        if (ppv == nullptr) {
            return E_POINTER;
        }
        *ppv = nullptr;
        if (!IsEqualIID(riid, IID_IUnknown)) {
            return E_NOINTERFACE;
        }
        *ppv = this;
        AddRef();
        return S_OK;
    }
    STDMETHOD_(ULONG, AddRef)() override { return ++m_cRef; }
    STDMETHOD_(ULONG, Release)() override {
        const ULONG n = --m_cRef;
        if (n == 0) {
            delete this;
        }
        return n;
    }

private:
    ~PlainCallback() = default;
    std::atomic<ULONG> m_cRef{1};
};

class IoQueue : public ::testing::Test {
protected:
    void SetUp() override {
        WinplatSetTimeScale(1000);
        ASSERT_EQ(m_Machine.OpenStore(), S_OK);
        ASSERT_EQ(m_Machine.StartDriver(), S_OK);
        sim::CFxDeviceInit* init = nullptr;
        ASSERT_EQ(sim::CFxDeviceInit::CreateInstance(m_Machine.Store(), L"ROOT\\WWAN\\0000", &init),
                  S_OK);
        PlainCallback* callback = new PlainCallback();
        IWDFDevice* device = nullptr;
        EXPECT_EQ(m_Machine.Driver()->CreateDevice(init, callback, &device), S_OK);
        callback->Release();
        init->Release();
        ASSERT_NE(device, nullptr);
        m_Device = static_cast<sim::CFxDevice*>(device);
        m_BaseLocks = DllModuleLockCount();
        WinplatClearDebugOutput();
    }

    void TearDown() override {
        if (m_Device != nullptr) {
            m_Device->Release();
        }
        m_Machine.Stop();
    }

    // Tears the framework device down, as at device removal; the framework queue then
    // lets go of the callback object.
    void DeleteDevice() {
        m_Device->Release();
        m_Device = nullptr;
        m_Machine.Driver()->DeleteDevices();
    }

    std::shared_ptr<sim::IoCompletion> Send(WDF_REQUEST_TYPE type) {
        return m_Device->SendRequest(type, kIoctl, std::vector<BYTE>(8, 0x11), 16);
    }

    Machine m_Machine{"host"};
    sim::CFxDevice* m_Device = nullptr;  // one reference
    QueueOwner m_Owner;
    LONG m_BaseLocks = 0;
};

TEST_F(IoQueue, AnswersDeviceIoControlAtOnceAndNothingElse) {
    CMyQueue* queue = kPoisonQueue;
    ASSERT_EQ(CMyQueue::CreateInstance(m_Device, &m_Owner, &queue), S_OK);
    ASSERT_NE(queue, kPoisonQueue);
    ASSERT_NE(queue, nullptr);
    EXPECT_EQ(DllModuleLockCount(), m_BaseLocks + 1);
    EXPECT_TRUE(WinplatGetDebugOutput().empty());

    IWDFIoQueue* defaultQueue = nullptr;
    m_Device->GetDefaultIoQueue(&defaultQueue);
    EXPECT_EQ(defaultQueue, nullptr);

    // Parallel dispatch: requests from several senders at once, each completed once.
    std::vector<std::shared_ptr<sim::IoCompletion>> completions(32);
    std::vector<std::thread> senders;
    for (size_t t = 0; t < 4; ++t) {
        senders.emplace_back([&, t] {
            for (size_t i = t; i < completions.size(); i += 4) {
                completions[i] = Send(WdfRequestDeviceIoControl);
            }
        });
    }
    for (auto& s : senders) {
        s.join();
    }
    for (const auto& c : completions) {
        ASSERT_TRUE(c->Wait(60000));
        EXPECT_EQ(c->Status(), S_OK);
        EXPECT_EQ(c->Information(), 0u);
        EXPECT_EQ(c->CompleteCalls(), 1);
    }

    // Reads and writes are not routed to this queue, and there is no default queue.
    for (WDF_REQUEST_TYPE type : {WdfRequestRead, WdfRequestWrite}) {
        SCOPED_TRACE(type);
        auto c = Send(type);
        ASSERT_TRUE(c->Wait(60000));
        EXPECT_EQ(c->Status(), HRESULT_FROM_WIN32(ERROR_INVALID_FUNCTION));
    }

    DeleteDevice();
    EXPECT_EQ(DllModuleLockCount(), m_BaseLocks);
}

TEST_F(IoQueue, AnswersOnlyItsCallbackInterface) {
    CMyQueue* queue = nullptr;
    ASSERT_EQ(CMyQueue::CreateInstance(m_Device, &m_Owner, &queue), S_OK);
    struct Case {
        const char* name;
        IID iid;
        HRESULT hr;
    };
    const Case cases[] = {
        {"IUnknown", IID_IUnknown, S_OK},
        {"IQueueCallbackDeviceIoControl", IID_IQueueCallbackDeviceIoControl, S_OK},
        {"IQueueCallbackDefaultIoHandler", IID_IQueueCallbackDefaultIoHandler, E_NOINTERFACE},
        {"IWDFIoQueue", IID_IWDFIoQueue, E_NOINTERFACE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        void* out = reinterpret_cast<void*>(static_cast<uintptr_t>(0xdeadbeef));
        EXPECT_EQ(queue->QueryInterface(c.iid, &out), c.hr);
        if (c.hr == S_OK) {
            EXPECT_EQ(static_cast<IUnknown*>(out), static_cast<IUnknown*>(queue));
            queue->Release();
        } else {
            EXPECT_EQ(out, nullptr);
        }
    }
    EXPECT_EQ(queue->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
}

// A framework device that records what the queue asks of it and hands the work to the
// host's device unless a test says otherwise.
class MockDevice : public IWDFDevice {
public:
    explicit MockDevice(IWDFDevice* real) : m_Real(real) {
        ON_CALL(*this, CreateIoQueue).WillByDefault([this](auto... args) {
            return m_Real->CreateIoQueue(args...);
        });
        ON_CALL(*this, ConfigureRequestDispatching).WillByDefault([this](auto... args) {
            return m_Real->ConfigureRequestDispatching(args...);
        });
    }
    virtual ~MockDevice() = default;

    STDMETHOD_(ULONG, AddRef)() override { return 2; }
    STDMETHOD_(ULONG, Release)() override { return 1; }
    MOCK_METHOD(HRESULT, QueryInterface, (REFIID, void**), (override));
    MOCK_METHOD(HRESULT, DeleteWdfObject, (), (override));
    MOCK_METHOD(HRESULT, AssignContext, (IObjectCleanup*, void*), (override));
    MOCK_METHOD(HRESULT, RetrieveContext, (void**), (override));
    MOCK_METHOD(void, AcquireLock, (), (override));
    MOCK_METHOD(void, ReleaseLock, (), (override));
    MOCK_METHOD(HRESULT, RetrieveDevicePropertyStore,
                (PCWSTR, WDF_PROPERTY_STORE_RETRIEVE_FLAGS, IWDFNamedPropertyStore**,
                 WDF_PROPERTY_STORE_DISPOSITION*),
                (override));
    MOCK_METHOD(void, GetDriver, (IWDFDriver**), (override));
    MOCK_METHOD(HRESULT, RetrieveDeviceInstanceId, (PWSTR, DWORD*), (override));
    MOCK_METHOD(void, GetDefaultIoTarget, (IWDFIoTarget**), (override));
    MOCK_METHOD(HRESULT, CreateWdfFile, (LPCWSTR, IWDFDriverCreatedFile**), (override));
    MOCK_METHOD(void, GetDefaultIoQueue, (IWDFIoQueue**), (override));
    MOCK_METHOD(HRESULT, CreateIoQueue,
                (IUnknown*, BOOL, WDF_IO_QUEUE_DISPATCH_TYPE, BOOL, BOOL, IWDFIoQueue**),
                (override));
    MOCK_METHOD(HRESULT, CreateDeviceInterface, (LPCGUID, PCWSTR), (override));
    MOCK_METHOD(HRESULT, AssignDeviceInterfaceState, (LPCGUID, PCWSTR, BOOL), (override));
    MOCK_METHOD(HRESULT, RetrieveDeviceName, (PWSTR, DWORD*), (override));
    MOCK_METHOD(HRESULT, PostEvent, (REFGUID, WDF_EVENT_TYPE, BYTE*, DWORD), (override));
    MOCK_METHOD(HRESULT, ConfigureRequestDispatching, (IWDFIoQueue*, WDF_REQUEST_TYPE, BOOL),
                (override));
    MOCK_METHOD(void, SetPnpState, (WDF_PNP_STATE, WDF_TRI_STATE), (override));
    MOCK_METHOD(WDF_TRI_STATE, GetPnpState, (WDF_PNP_STATE), (override));
    MOCK_METHOD(void, CommitPnpState, (), (override));
    MOCK_METHOD(HRESULT, CreateRequest, (IUnknown*, IWDFObject*, IWDFIoRequest**), (override));
    MOCK_METHOD(HRESULT, CreateSymbolicLink, (PCWSTR), (override));

private:
    IWDFDevice* m_Real;  // no reference: the fixture holds it
};

TEST_F(IoQueue, AsksForNonDefaultParallelPowerManagedQueueForDeviceIoControl) {
    StrictMock<MockDevice> device(m_Device);
    IUnknown* callback = nullptr;
    IWDFIoQueue* created = nullptr;
    EXPECT_CALL(device,
                CreateIoQueue(NotNull(), FALSE, WdfIoQueueDispatchParallel, TRUE, FALSE, NotNull()))
        .WillOnce([&](IUnknown* cb, BOOL d, WDF_IO_QUEUE_DISPATCH_TYPE t, BOOL p, BOOL z,
                      IWDFIoQueue** q) {
            callback = cb;
            const HRESULT hr = m_Device->CreateIoQueue(cb, d, t, p, z, q);
            created = *q;
            return hr;
        });
    EXPECT_CALL(device, ConfigureRequestDispatching(NotNull(), WdfRequestDeviceIoControl, TRUE))
        .WillOnce([&](IWDFIoQueue* q, WDF_REQUEST_TYPE t, BOOL f) {
            EXPECT_EQ(q, created);
            return m_Device->ConfigureRequestDispatching(q, t, f);
        });

    CMyQueue* queue = nullptr;
    ASSERT_EQ(CMyQueue::CreateInstance(&device, &m_Owner, &queue), S_OK);
    EXPECT_EQ(callback, static_cast<IUnknown*>(queue));
}

// The framework's failures come back unchanged, the output pointer stays as it was, and
// the object goes away with whoever holds it: at once when no queue was created, with
// the framework queue otherwise.
TEST_F(IoQueue, FrameworkFailuresAreReturned) {
    struct Case {
        const char* name;
        HRESULT createQueue;  // S_OK: the host creates it
        HRESULT configure;
        HRESULT expected;
        LONG locksHeldByFrameworkQueue;
    };
    const Case cases[] = {
        {"queue not created", E_OUTOFMEMORY, S_OK, E_OUTOFMEMORY, 0},
        {"dispatching refused", S_OK, HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED),
         HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED), 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StrictMock<MockDevice> device(m_Device);
        if (FAILED(c.createQueue)) {
            EXPECT_CALL(device, CreateIoQueue)
                .WillOnce([&](auto, auto, auto, auto, auto, IWDFIoQueue** q) {
                    *q = nullptr;
                    return c.createQueue;
                });
        } else {
            EXPECT_CALL(device, CreateIoQueue);
            EXPECT_CALL(device, ConfigureRequestDispatching)
                .WillOnce(::testing::Return(c.configure));
        }
        CMyQueue* queue = kPoisonQueue;
        EXPECT_EQ(CMyQueue::CreateInstance(&device, &m_Owner, &queue), c.expected);
        EXPECT_EQ(queue, kPoisonQueue);
        EXPECT_EQ(DllModuleLockCount(), m_BaseLocks + c.locksHeldByFrameworkQueue);
    }
    DeleteDevice();
    EXPECT_EQ(DllModuleLockCount(), m_BaseLocks);
}

TEST_F(IoQueue, MissingPointers) {
    struct Case {
        const char* name;
        bool fxDevice;
        bool myDevice;
        bool output;
        HRESULT expected;
        const char* assertion;  // debugger text, or none
        HRESULT ioctlStatus;    // how a request then completes; S_FALSE: no queue made
    };
    const Case cases[] = {
        {"no output pointer", true, true, false, E_POINTER, nullptr, S_FALSE},
        {"no framework device", false, true, true, E_POINTER, kFxDeviceAssertion, S_FALSE},
        {"no device object", true, false, true, S_OK, kMyDeviceAssertion, E_POINTER},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WinplatClearDebugOutput();
        CMyQueue* queue = kPoisonQueue;
        EXPECT_EQ(
            CMyQueue::CreateInstance(c.fxDevice ? m_Device : nullptr,
                                     c.myDevice ? &m_Owner : nullptr, c.output ? &queue : nullptr),
            c.expected);
        EXPECT_EQ(CountDebugOutput(c.assertion != nullptr ? c.assertion : kFxDeviceAssertion),
                  c.assertion != nullptr ? 1u : 0u);
        EXPECT_EQ(queue == kPoisonQueue, FAILED(c.expected));
        if (c.ioctlStatus != S_FALSE) {
            auto completion = Send(WdfRequestDeviceIoControl);
            ASSERT_TRUE(completion->Wait(60000));
            EXPECT_EQ(completion->Status(), c.ioctlStatus);
            EXPECT_EQ(completion->Information(), 0u);
        } else {
            EXPECT_EQ(DllModuleLockCount(), m_BaseLocks);
        }
    }
}

}  // namespace
}  // namespace brelk::test
