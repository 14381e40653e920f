// The event sink on its own: completions and notifications delivered by hand, as the
// API's notification thread would, with arrays built here.
#include "EventSink.h"
#include "Internal.h"

#include <oleauto.h>
#include <winplat/clock.h>
#include <winplat/debugout.h>
#include <winplat/faults.h>
#include <winplat/stats.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <string>
#include <vector>

#include "HResultPrinter.h"
#include "TestFolders.h"

namespace brelk::test {
namespace {

SAFEARRAY* Bytes(const std::vector<BYTE>& bytes) {
    SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size()));
    void* data = nullptr;
    if (!bytes.empty() && SUCCEEDED(SafeArrayAccessData(array, &data))) {
        std::copy(bytes.begin(), bytes.end(), static_cast<BYTE*>(data));
        SafeArrayUnaccessData(array);
    }
    return array;
}

std::vector<BYTE> Pattern(size_t n, BYTE first = 0) {
    std::vector<BYTE> v(n);
    std::iota(v.begin(), v.end(), first);
    return v;
}

bool Signalled(HANDLE event) {
    return WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
}

class EventSinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        WinplatSetTimeScale(100);
        g_ReadDataToggle = 0;
        g_WriteDoneToggle = 0;
        WinplatClearDebugOutput();
        ASSERT_HR(S_OK, CMBDeviceServiceEvents::CreateInstance(&m_Sink));
        m_Sink->AddRef();
    }
    void TearDown() override {
        if (m_Sink != nullptr) {
            m_Sink->Release();
        }
        WinplatClearApiFaults();
    }

    // A notification that the read toggle lets through to this sink.
    void Store(const std::vector<BYTE>& bytes) {
        g_ReadDataToggle = 1;
        SAFEARRAY* array = Bytes(bytes);
        EXPECT_HR(S_OK, m_Sink->OnReadData(nullptr, array));
        SafeArrayDestroy(array);
    }

    std::vector<BYTE> Take(ULONG requested) {
        std::vector<BYTE> out(std::max<ULONG>(requested, 1), 0xCD);
        ULONG count = 0xDEADBEEF;
        EXPECT_HR(S_OK, m_Sink->TakeReceivedData(out.data(), &count, requested));
        EXPECT_LE(count, requested);
        out.resize(std::min<ULONG>(count, requested));
        return out;
    }

    CMBDeviceServiceEvents::ReceiveSnapshot Snapshot() {
        CMBDeviceServiceEvents::ReceiveSnapshot s{};
        m_Sink->SnapshotReceiveState(&s);
        return s;
    }

    CMBDeviceServiceEvents* m_Sink = nullptr;
};

TEST(EventSinkCreate, ContractOfCreateInstanceAndQueryInterface) {
    EXPECT_HR(E_POINTER, CMBDeviceServiceEvents::CreateInstance(nullptr));

    const LONG locks = DllModuleLockCount();
    auto* poison = reinterpret_cast<CMBDeviceServiceEvents*>(0x1234);
    CMBDeviceServiceEvents* sink = poison;
    ASSERT_HR(S_OK, CMBDeviceServiceEvents::CreateInstance(&sink));
    EXPECT_EQ(DllModuleLockCount(), locks + 1);  // held while the sink exists
    ASSERT_NE(sink, poison);
    EXPECT_EQ(sink->AddRef(), 1u);  // created with count 0; the caller takes the first
    EXPECT_EQ(sink->SpareRequestId(), 0u);

    void* unknown = nullptr;
    void* events = nullptr;
    ASSERT_HR(S_OK, sink->QueryInterface(IID_IUnknown, &unknown));
    ASSERT_HR(S_OK, sink->QueryInterface(IID_IMbnDeviceServicesEvents, &events));
    EXPECT_EQ(unknown, events);
    void* other = reinterpret_cast<void*>(0x1);
    EXPECT_HR(E_NOINTERFACE, sink->QueryInterface(IID_IMbnDeviceService, &other));
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(sink->Release(), 2u);
    EXPECT_EQ(sink->Release(), 1u);
    EXPECT_EQ(sink->Release(), 0u);
    EXPECT_EQ(DllModuleLockCount(), locks);
}

TEST(EventSinkCreate, FailsWithoutAllItsEventsAndLeaksNoHandle) {
    const size_t before = WinplatOpenHandleCount();
    for (unsigned pass = 0; pass < 8; ++pass) {
        SCOPED_TRACE(pass);
        WinplatFailApi("CreateEventW", pass, 1, ERROR_NOT_ENOUGH_MEMORY);
        CMBDeviceServiceEvents* sink = reinterpret_cast<CMBDeviceServiceEvents*>(0x1234);
        EXPECT_HR(E_FAIL, CMBDeviceServiceEvents::CreateInstance(&sink));
        EXPECT_EQ(sink, nullptr);
        EXPECT_EQ(WinplatOpenHandleCount(), before);
    }
    WinplatClearApiFaults();
}

TEST(EventSinkCreate, LockFailureGivesTheLastErrorAsHResult) {
    WinplatFailApi("InitializeCriticalSectionEx", 0, 1, ERROR_NOT_ENOUGH_MEMORY);
    CMBDeviceServiceEvents* sink = reinterpret_cast<CMBDeviceServiceEvents*>(0x1234);
    EXPECT_HR(HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY),
              CMBDeviceServiceEvents::CreateInstance(&sink));
    EXPECT_EQ(sink, nullptr);
    WinplatClearApiFaults();
}

// Session completions signal their event only for this sink's own request with status 0.
TEST_F(EventSinkTest, SessionCompletionsMatchRequestIdAndStatus) {
    using Method = HRESULT (CMBDeviceServiceEvents::*)(IMbnDeviceService*, HRESULT, ULONG);
    struct Kind {
        const char* name;
        Method method;
        ULONG* (CMBDeviceServiceEvents::*field)();
        HANDLE (CMBDeviceServiceEvents::*event)();
        HRESULT failResult;  // what the sink answers a failure status with
    };
    const Kind kinds[] = {
        {"open command", &CMBDeviceServiceEvents::OnOpenCommandSessionComplete,
         &CMBDeviceServiceEvents::OpenCommandSessionRequestId,
         &CMBDeviceServiceEvents::OpenCommandSessionEvent, S_OK},
        {"close command", &CMBDeviceServiceEvents::OnCloseCommandSessionComplete,
         &CMBDeviceServiceEvents::CloseCommandSessionRequestId,
         &CMBDeviceServiceEvents::CloseCommandSessionEvent, S_OK},
        {"open data", &CMBDeviceServiceEvents::OnOpenDataSessionComplete,
         &CMBDeviceServiceEvents::OpenDataSessionRequestId,
         &CMBDeviceServiceEvents::OpenDataSessionEvent, E_FAIL},
        {"close data", &CMBDeviceServiceEvents::OnCloseDataSessionComplete,
         &CMBDeviceServiceEvents::CloseDataSessionRequestId,
         &CMBDeviceServiceEvents::CloseDataSessionEvent, E_FAIL},
    };
    for (const Kind& k : kinds) {
        SCOPED_TRACE(k.name);
        *(m_Sink->*k.field)() = 41;
        HANDLE event = (m_Sink->*k.event)();
        EXPECT_HR(S_OK, (m_Sink->*k.method)(nullptr, S_OK, 40));
        EXPECT_FALSE(Signalled(event));
        EXPECT_HR(k.failResult, (m_Sink->*k.method)(nullptr, E_ACCESSDENIED, 41));
        EXPECT_FALSE(Signalled(event));
        EXPECT_HR(S_OK, (m_Sink->*k.method)(nullptr, S_OK, 41));
        EXPECT_TRUE(Signalled(event));
        EXPECT_FALSE(Signalled(event));  // auto-reset
    }
}

// A command completion is taken whatever its status; a missing or empty array leaves an
// empty response rather than the previous one; a long one is cut to 4096 bytes.
TEST_F(EventSinkTest, CommandCompletionsStoreTheirResponse) {
    struct Case {
        const char* name;
        bool present;
        size_t size;
        HRESULT status;
        ULONG expectedLength;
    };
    const Case cases[] = {
        {"10 bytes, failure status", true, 10, E_FAIL, 10},
        {"missing array", false, 0, S_OK, 0},
        {"empty array", true, 0, S_OK, 0},
        {"5000 bytes", true, 5000, S_OK, 4096},
    };
    for (bool set : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(set ? "set: " : "query: ") + c.name);
            // A previous response that must not be handed out again.
            SAFEARRAY* previous = Bytes(Pattern(33, 0x80));
            SAFEARRAY* array = c.present ? Bytes(Pattern(c.size)) : nullptr;
            HANDLE event = set ? m_Sink->SetCommandEvent() : m_Sink->QueryCommandEvent();
            ULONG* field = set ? m_Sink->SetCommandRequestId() : m_Sink->QueryCommandRequestId();
            auto deliver = [&](SAFEARRAY* a, HRESULT status, ULONG id) {
                return set ? m_Sink->OnSetCommandComplete(nullptr, 4, a, status, id)
                           : m_Sink->OnQueryCommandComplete(nullptr, 4, a, status, id);
            };
            *field = 7;
            ASSERT_HR(S_OK, deliver(previous, S_OK, 7));
            ASSERT_TRUE(Signalled(event));
            *field = 8;
            EXPECT_HR(S_OK, deliver(array, S_OK, 9));  // someone else's request
            EXPECT_FALSE(Signalled(event));
            EXPECT_HR(S_OK, deliver(array, c.status, 8));
            EXPECT_TRUE(Signalled(event));

            std::vector<BYTE> out(RESPONSE_BUFFER_SIZE + 10, 0xCD);
            ULONG length = 0xDEADBEEF;
            if (set) {
                m_Sink->CopySetResponse(out.data(), static_cast<ULONG>(out.size()), &length);
            } else {
                m_Sink->CopyQueryResponse(out.data(), static_cast<ULONG>(out.size()), &length);
            }
            EXPECT_EQ(length, c.expectedLength);
            const auto expected = Pattern(c.expectedLength);
            EXPECT_TRUE(std::equal(expected.begin(), expected.end(), out.begin()));
            EXPECT_EQ(out[length], 0xCD);
            SafeArrayDestroy(previous);
            SafeArrayDestroy(array);
        }
    }
}

TEST_F(EventSinkTest, ResponseCopyIsCutToTheCallersCapacity) {
    *m_Sink->QueryCommandRequestId() = 3;
    SAFEARRAY* array = Bytes(Pattern(100));
    m_Sink->OnQueryCommandComplete(nullptr, 1, array, S_OK, 3);
    SafeArrayDestroy(array);
    std::vector<BYTE> out(20, 0xCD);
    ULONG length = 0;
    m_Sink->CopyQueryResponse(out.data(), 16, &length);
    EXPECT_EQ(length, 16u);
    EXPECT_EQ(out[15], 15);
    EXPECT_EQ(out[16], 0xCD);
}

// Of the successful write completions, counted across all sinks, every second signals;
// a failed one changes nothing and says so on the debugger output.
TEST_F(EventSinkTest, WriteCompletionsSignalEverySecondSuccess) {
    struct Case {
        const char* name;
        std::vector<HRESULT> statuses;
        std::vector<bool> signalled;  // after each delivery
    };
    const Case cases[] = {
        {"first after load", {S_OK}, {false}},
        {"second", {S_OK, S_OK}, {false, true}},
        {"failure between", {S_OK, E_FAIL, S_OK}, {false, false, true}},
        {"four", {S_OK, S_OK, S_OK, S_OK}, {false, true, false, true}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        g_WriteDoneToggle = 0;
        WinplatClearDebugOutput();
        size_t failures = 0;
        for (size_t i = 0; i < c.statuses.size(); ++i) {
            EXPECT_HR(S_OK, m_Sink->OnWriteDataComplete(nullptr, c.statuses[i], 12345));
            EXPECT_EQ(Signalled(m_Sink->WriteDataEvent()), c.signalled[i]) << "delivery " << i;
            failures += FAILED(c.statuses[i]) ? 1 : 0;
        }
        EXPECT_EQ(CountDebugOutput("\n Fail status of write"), failures);
    }
}

TEST_F(EventSinkTest, EverySecondDataNotificationIsStored) {
    SAFEARRAY* first = Bytes({1, 2, 3});
    SAFEARRAY* second = Bytes({4, 5});
    EXPECT_HR(S_OK, m_Sink->OnReadData(nullptr, first));
    EXPECT_FALSE(Signalled(m_Sink->ReadDataEvent()));
    EXPECT_EQ(Snapshot().WritePosition, 0u);
    EXPECT_HR(S_OK, m_Sink->OnReadData(nullptr, second));
    EXPECT_TRUE(Signalled(m_Sink->ReadDataEvent()));
    EXPECT_EQ(Take(10), (std::vector<BYTE>{4, 5}));
    EXPECT_EQ(g_ReadDataToggle.load(), 0);
    SafeArrayDestroy(first);
    SafeArrayDestroy(second);
}

TEST_F(EventSinkTest, CopyByteArrayContract) {
    std::vector<BYTE> buffer(800, 0xCD);
    ULONG copied = 0xDEADBEEF;
    SAFEARRAY* big = Bytes(Pattern(1000));
    EXPECT_HR(S_OK, m_Sink->CopyByteArray(big, buffer.data(), RECEIVE_BUFFER_SIZE, &copied));
    EXPECT_EQ(copied, 700u);
    EXPECT_EQ(buffer[699], static_cast<BYTE>(699));
    EXPECT_EQ(buffer[700], 0xCD);

    SAFEARRAY* empty = Bytes({});
    copied = 0xDEADBEEF;
    EXPECT_HR(E_FAIL, m_Sink->CopyByteArray(empty, buffer.data(), 10, &copied));
    EXPECT_EQ(copied, 0xDEADBEEFu);
    EXPECT_HR(E_FAIL, m_Sink->CopyByteArray(nullptr, buffer.data(), 10, &copied));
    EXPECT_HR(E_FAIL, m_Sink->CopyByteArray(big, nullptr, 10, &copied));
    EXPECT_HR(E_FAIL, m_Sink->CopyByteArray(big, buffer.data(), 10, nullptr));
    SafeArrayDestroy(big);
    SafeArrayDestroy(empty);
}

// Only a one-dimensional byte array is copied: each element is fetched into one byte with
// one index. An empty array at LONG's minimum (upper bound wrapping to LONG's maximum)
// is empty, not 2^32 failed fetches.
TEST_F(EventSinkTest, CopyByteArrayRefusesWhatIsNotAByteVector) {
    struct Case {
        const char* name;
        VARTYPE vt;
        std::vector<SAFEARRAYBOUND> bounds;  // first dimension first
        HRESULT hr;
        ULONG copied;
    };
    const Case kCases[] = {
        {"bytes ending at LONG's maximum", VT_UI1, {{2, 0x7FFFFFFE}}, S_OK, 2},
        {"empty at LONG's minimum", VT_UI1, {{0, LONG(0x80000000)}}, E_FAIL, 0xDEADBEEF},
        {"32-bit integers", VT_I4, {{3, 0}}, E_INVALIDARG, 0xDEADBEEF},
        {"interfaces", VT_UNKNOWN, {{2, 0}}, E_INVALIDARG, 0xDEADBEEF},
        {"strings", VT_BSTR, {{2, 0}}, E_INVALIDARG, 0xDEADBEEF},
        {"bytes in two dimensions", VT_UI1, {{2, 0}, {2, 0}}, E_INVALIDARG, 0xDEADBEEF},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        std::vector<SAFEARRAYBOUND> bounds = c.bounds;
        SAFEARRAY* array = SafeArrayCreate(c.vt, static_cast<UINT>(bounds.size()), bounds.data());
        ASSERT_NE(array, nullptr);
        std::vector<BYTE> buffer(16, 0xCD);
        ULONG copied = 0xDEADBEEF;
        EXPECT_HR(c.hr, m_Sink->CopyByteArray(array, buffer.data(), 8, &copied));
        EXPECT_EQ(copied, c.copied);
        EXPECT_EQ(buffer[c.hr == S_OK ? c.copied : 0], 0xCD);
        SafeArrayDestroy(array);
    }
}

TEST_F(EventSinkTest, ReadsHandOutUnreadBytesInOrder) {
    Store(Pattern(10));
    EXPECT_EQ(Take(10), Pattern(10));
    auto s = Snapshot();
    EXPECT_EQ(s.ReadPosition, 10u);
    EXPECT_EQ(s.WritePosition, 10u);  // not compacted below the threshold

    Store(Pattern(8, 100));
    Store(Pattern(8, 108));
    EXPECT_EQ(Take(16), Pattern(16, 100));

    Store(Pattern(10, 50));
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(Take(20), Pattern(10, 50));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "\nZebrun:Updating number of bytes to read As available bytes are less than "
              "requested");
}

// With nothing unread a read hands out nothing, not the last chunk a second time.
TEST_F(EventSinkTest, NothingUnreadHandsOutNothing) {
    Store(Pattern(5));
    EXPECT_EQ(Take(5), Pattern(5));
    WinplatClearDebugOutput();
    const ULONGLONG start = GetTickCount64();
    EXPECT_TRUE(Take(5).empty());
    EXPECT_GE(GetTickCount64() - start, 20u);
    EXPECT_EQ(CountDebugOutput("Data is NOT available"), 1u);
}

TEST_F(EventSinkTest, ReadsPastTheThresholdResetTheBuffer) {
    Store(Pattern(300));
    Store(Pattern(201, 44));
    EXPECT_EQ(Take(250).size(), 250u);
    EXPECT_EQ(Snapshot().ReadPosition, 250u);
    EXPECT_EQ(Take(251).size(), 251u);
    const auto s = Snapshot();
    EXPECT_EQ(s.ReadPosition, 0u);
    EXPECT_EQ(s.WritePosition, 0u);
    EXPECT_TRUE(std::all_of(s.Buffer, s.Buffer + 501, [](BYTE b) { return b == 0; }));
}

TEST_F(EventSinkTest, LastChunkSizeOutlivesTheRead) {
    ULONG size = 0xDEADBEEF;
    m_Sink->GetLastChunkSize(&size);
    EXPECT_EQ(size, 0u);
    Store(Pattern(42));
    Take(42);
    m_Sink->GetLastChunkSize(&size);
    EXPECT_EQ(size, 42u);
    Store({});  // an empty chunk counts as 0 bytes
    m_Sink->GetLastChunkSize(&size);
    EXPECT_EQ(size, 0u);
    EXPECT_TRUE(Take(10).empty());
}

// Chunks that don't fit behind the write position: unread bytes move to the front first,
// and what still doesn't fit is dropped with a report, never written past the buffer.
TEST_F(EventSinkTest, ChunksThatDontFitAreCompactedThenCutWithAReport) {
    const std::string report = "DS : OnReadData : received bytes dropped, receive buffer full\n";
    Store(Pattern(400));
    EXPECT_EQ(Take(300), Pattern(300));  // 100 unread at 300..400
    Store(Pattern(500, 7));              // fits only after compaction
    auto s = Snapshot();
    EXPECT_EQ(s.ReadPosition, 0u);
    EXPECT_EQ(s.WritePosition, 600u);
    EXPECT_EQ(CountDebugOutput(report), 0u);

    Store(Pattern(300, 9));  // 100 of 300 fit
    s = Snapshot();
    EXPECT_EQ(s.WritePosition, 700u);
    EXPECT_EQ(CountDebugOutput(report), 1u);

    std::vector<BYTE> expected = Pattern(100, 44);  // bytes 300..399 of the first chunk
    for (BYTE b : Pattern(500, 7)) {
        expected.push_back(b);
    }
    for (BYTE b : Pattern(100, 9)) {
        expected.push_back(b);
    }
    std::vector<BYTE> got;
    while (got.size() < expected.size()) {
        const auto part = Take(128);
        ASSERT_FALSE(part.empty());
        got.insert(got.end(), part.begin(), part.end());
    }
    EXPECT_EQ(got, expected);

    Store(Pattern(900));  // larger than the staging area: cut to 700 and reported
    EXPECT_EQ(CountDebugOutput(report), 2u);
    EXPECT_EQ(Take(700), Pattern(700));
}

}  // namespace
}  // namespace brelk::test
