// The serial-port callbacks against the simulated modem: what the modem receives, what
// the library is told, when reads are let through, and what the debugger shows.

#include <windows.h>
#include <winplat/clock.h>
#include <winplat/debugout.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BootLoader.h"
#include "EventSink.h"
#include "Internal.h"
#include "PortFixture.h"

namespace brelk::test {
namespace {

constexpr char kWriteFailed[] = "\n Write failed";
constexpr char kRxAvail[] = "UMDF: RxAvail  ";
constexpr UINT32 kPoison = 0xdeadbeef;
constexpr ULONGLONG kExecPauseMs = 3000;

std::vector<char> Bytes(const char* data, size_t length) {
    return std::vector<char>(data, data + length);
}

class PortCallbacks : public ModemPort {
protected:
    // One write through the callback; the buffer holds exactly `data`, so a look past
    // its end is caught by the address sanitizer.
    struct WriteResult {
        UINT32 written;
        ULONGLONG elapsedMs;  // platform time
    };
    WriteResult Write(const std::vector<char>& data) {
        std::unique_ptr<char[]> exact(new char[data.size()]);
        std::memcpy(exact.get(), data.data(), data.size());
        UINT32 written = kPoison;
        const ULONGLONG start = GetTickCount64();
        PortWrite(nullptr, exact.get(), static_cast<UINT32>(data.size()), &written);
        return {written, GetTickCount64() - start};
    }

    void ExpectSentSince(size_t before, const std::vector<char>& data) {
        const auto sent = Sent();
        ASSERT_EQ(sent.size(), before + data.size());
        EXPECT_TRUE(std::equal(data.begin(), data.end(), sent.begin() + before,
                               [](char a, uint8_t b) { return static_cast<uint8_t>(a) == b; }));
    }
};

// Which writes count as "EXEC": the data read as zero-terminated text, never past its
// length. An "EXEC" write pauses before it is sent; every write reaches the modem unchanged.
TEST_F(PortCallbacks, ExecWritesAreCountedPausedAndSent) {
    struct Case {
        const char* name;
        std::vector<char> data;
        bool exec;
    };
    const Case cases[] = {
        {"EXEC and its zero byte", Bytes("EXEC\0", 5), true},
        {"EXEC filling the length, no zero byte", Bytes("EXEC", 4), true},
        {"EXEC, zero byte, more bytes", Bytes("EXEC\0tail", 9), true},
        {"EXEC followed by other bytes", Bytes("EXECUTE\0", 8), false},
        {"EXEC followed by other bytes, no zero byte", Bytes("EXEC!", 5), false},
        {"shorter than EXEC", Bytes("EXE", 3), false},
        {"other case", Bytes("exec\0", 5), false},
        {"zero byte before EXEC", Bytes("\0EXEC", 5), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        g_ExecCount = 0;
        const size_t before = Sent().size();
        // Slower time for an "EXEC" write, so that its pause outlasts the look below.
        WinplatSetTimeScale(c.exec ? 20 : kTimeScale);
        WriteResult r{};
        std::thread writer([&] { r = Write(c.data); });
        if (c.exec) {
            // Counted, then paused: the modem has nothing yet.
            for (int spin = 0; g_ExecCount.load() == 0 && spin < 1000000; ++spin) {
                std::this_thread::yield();
            }
            EXPECT_EQ(Sent().size(), before);
        }
        writer.join();
        WinplatSetTimeScale(kTimeScale);
        EXPECT_EQ(r.written, c.data.size());
        EXPECT_EQ(g_ExecCount.load(), c.exec ? 1 : 0);
        if (c.exec) {
            EXPECT_GE(r.elapsedMs, kExecPauseMs);
        }
        EXPECT_EQ(g_ReadGate.load(), 0);
        ExpectSentSince(before, c.data);
    }
    EXPECT_EQ(CountDebugOutput(kWriteFailed), 0u);
}

TEST_F(PortCallbacks, EmptyWriteReportsNothingWrittenAndCountsNoExec) {
    UINT32 written = kPoison;
    PortWrite(nullptr, "EXEC", 0, &written);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(g_ExecCount.load(), 0);
    // Passed on unchanged: the transport sends an empty block and reports success.
    EXPECT_EQ(Modem().Stats().Writes, 1u);
    EXPECT_TRUE(Sent().empty());
    EXPECT_EQ(CountDebugOutput(kWriteFailed), 0u);
}

// Reads wait for the library's boot handshake; the count of received bytes does not.
TEST_F(PortCallbacks, ThirdExecOpensReadGateForGood) {
    const uint8_t chunk[] = {'h', 'e', 'l', 'l', 'o', 0, 1, 2, 3, 4};
    Modem().SendData(chunk, sizeof(chunk));
    WaitModemIdle();
    EXPECT_EQ(PortRxAvail(nullptr), sizeof(chunk));
    EXPECT_EQ(CountDebugOutput(kRxAvail), 1u);

    auto expectHeldBack = [] {
        char buffer[64];
        std::memset(buffer, 0x5c, sizeof(buffer));
        UINT32 count = kPoison;
        PortRead(nullptr, buffer, sizeof(buffer), &count);
        EXPECT_EQ(count, kPoison);
        EXPECT_EQ(buffer[0], 0x5c);
    };
    expectHeldBack();

    const std::vector<char> exec = Bytes("EXEC\0", 5);
    for (int i = 1; i <= 2; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(Write(exec).written, exec.size());
        EXPECT_EQ(g_ExecCount.load(), i);
        EXPECT_EQ(g_ReadGate.load(), 0);
        expectHeldBack();
    }
    EXPECT_EQ(Write(exec).written, exec.size());
    EXPECT_EQ(g_ExecCount.load(), 0);
    EXPECT_EQ(g_ReadGate.load(), 1);

    // What arrived while the gate was closed comes first, then the loader's answer to
    // the handshake.
    WaitModemIdle();
    char buffer[sizeof(chunk)] = {};
    UINT32 count = kPoison;
    PortRead(nullptr, buffer, sizeof(buffer), &count);
    ASSERT_EQ(count, sizeof(chunk));
    EXPECT_EQ(std::memcmp(buffer, chunk, sizeof(chunk)), 0);
    char reply[64] = {};
    count = kPoison;
    PortRead(nullptr, reply, sizeof(reply), &count);
    EXPECT_GT(count, 0u);
    EXPECT_NE(count, kPoison);
    EXPECT_EQ(Modem().Loader().ExecTokensSeen(), 3u);

    // Later "EXEC" writes count again from 0; the sixth brings the counter back to 0 and
    // the gate stays open.
    for (int i = 4; i <= 6; ++i) {
        SCOPED_TRACE(i);
        const WriteResult r = Write(exec);
        EXPECT_EQ(r.written, exec.size());
        EXPECT_GE(r.elapsedMs, kExecPauseMs);
        EXPECT_EQ(g_ExecCount.load(), (i - 3) % 3);
        EXPECT_EQ(g_ReadGate.load(), 1);
    }
    EXPECT_EQ(Sent().size(), 6 * exec.size());
}

// An IMbnDeviceService whose data writes are accepted with S_FALSE and never complete:
// the transport then answers the positive status after its write time-out.
class PositiveWriteService final : public IMbnDeviceService {
public:
    STDMETHOD(QueryInterface)(REFIID riid, void** ppv) override {
        if (ppv == nullptr) {
            return E_POINTER;
        }
        *ppv = nullptr;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IMbnDeviceService)) {
            *ppv = static_cast<IMbnDeviceService*>(this);
            AddRef();
            return S_OK;
        }
        return E_NOINTERFACE;
    }
    STDMETHOD_(ULONG, AddRef)() override { return ++m_cRef; }
    STDMETHOD_(ULONG, Release)() override {
        const ULONG n = --m_cRef;
        if (n == 0) {
            delete this;
        }
        return n;
    }
    STDMETHOD(QuerySupportedCommands)(ULONG*) override { return Unexpected(); }
    STDMETHOD(OpenCommandSession)(ULONG*) override { return Unexpected(); }
    STDMETHOD(CloseCommandSession)(ULONG*) override { return Unexpected(); }
    STDMETHOD(SetCommand)(ULONG, SAFEARRAY*, ULONG*) override { return Unexpected(); }
    STDMETHOD(QueryCommand)(ULONG, SAFEARRAY*, ULONG*) override { return Unexpected(); }
    STDMETHOD(OpenDataSession)(ULONG*) override { return Unexpected(); }
    STDMETHOD(CloseDataSession)(ULONG*) override { return Unexpected(); }
    STDMETHOD(WriteData)(SAFEARRAY*, ULONG* requestID) override {
        ++Writes;
        *requestID = 0x7fff0001;
        return S_FALSE;
    }
    STDMETHOD(get_InterfaceID)(BSTR*) override { return Unexpected(); }
    STDMETHOD(get_DeviceServiceID)(BSTR*) override { return Unexpected(); }
    STDMETHOD(get_IsCommandSessionOpen)(BOOL*) override { return Unexpected(); }
    STDMETHOD(get_IsDataSessionOpen)(BOOL*) override { return Unexpected(); }

    std::atomic<int> Writes{0};

private:
    ~PositiveWriteService() = default;
    static HRESULT Unexpected() {
        ADD_FAILURE() << "unexpected call on the device service";
        return E_NOTIMPL;
    }
    std::atomic<ULONG> m_cRef{1};
};

// A flash service whose API object is the one above, with a sink of its own.
class PositiveFlashService : public CMBDeviceService {
public:
    explicit PositiveFlashService(PositiveWriteService* api)
        : CMBDeviceService(sim::kFlashServiceId) {
        api->AddRef();
        m_pMbnDeviceService = api;
        CMBDeviceServiceEvents* events = nullptr;
        EXPECT_EQ(CMBDeviceServiceEvents::CreateInstance(&events), S_OK);
        if (events != nullptr) {
            events->AddRef();
            m_pEvents = events;
        }
    }
};

// Every way a write can fail tells the library that nothing was written.
TEST_F(PortCallbacks, FailedWritesReportZeroBytes) {
    struct Case {
        const char* name;
        std::function<void()> arrange;
        UINT32 written;
        size_t failedTexts;
        size_t modemBytes;
    };
    PositiveWriteService* positive = new PositiveWriteService();
    const std::vector<char> data = Bytes("\xA5\x5A payload", 10);
    const Case cases[] = {
        {"data session open", [] {}, 10, 0, 10},
        {"no flash service", [] { g_pFlashService.reset(); }, 0, 1, 0},
        {"data session closed (negative result)",
         [this] { ASSERT_EQ(m_Flash->CloseServiceDataSession(), S_OK); }, 0, 1, 0},
        {"transport answers S_FALSE",
         [positive] { g_pFlashService = std::make_shared<PositiveFlashService>(positive); }, 0, 1,
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        g_pFlashService = m_Flash;
        c.arrange();
        WinplatClearDebugOutput();
        const size_t before = Sent().size();
        EXPECT_EQ(Write(data).written, c.written);
        EXPECT_EQ(CountDebugOutput(kWriteFailed), c.failedTexts);
        EXPECT_EQ(Sent().size() - before, c.modemBytes);
    }
    EXPECT_EQ(positive->Writes.load(), 1);
    g_pFlashService.reset();
    positive->Release();
}

TEST_F(PortCallbacks, NullWrittenIsNotStored) {
    const char data[] = "block";
    PortWrite(nullptr, data, 5, nullptr);
    EXPECT_EQ(Sent().size(), 5u);
    g_pFlashService.reset();
    PortWrite(nullptr, data, 5, nullptr);
    EXPECT_EQ(Sent().size(), 5u);
    EXPECT_EQ(CountDebugOutput(kWriteFailed), 1u);
}

// Without a flash service the handshake still opens the gate, but nothing is read and
// nothing is reported available.
TEST_F(PortCallbacks, WithoutFlashServiceNothingIsSentOrRead) {
    const uint8_t chunk[] = {1, 2, 3, 4, 5, 6, 7};
    Modem().SendData(chunk, sizeof(chunk));
    WaitModemIdle();
    g_pFlashService.reset();

    const std::vector<char> exec = Bytes("EXEC\0", 5);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(Write(exec).written, 0u);
    }
    EXPECT_EQ(g_ReadGate.load(), 1);
    EXPECT_TRUE(Sent().empty());
    EXPECT_EQ(CountDebugOutput(kWriteFailed), 3u);

    char buffer[16];
    std::memset(buffer, 0x5c, sizeof(buffer));
    UINT32 count = kPoison;
    PortRead(nullptr, buffer, sizeof(buffer), &count);
    EXPECT_EQ(count, kPoison);
    EXPECT_EQ(buffer[0], 0x5c);
    EXPECT_EQ(PortRxAvail(nullptr), 0u);
    EXPECT_EQ(CountDebugOutput(kRxAvail), 1u);
}

}  // namespace
}  // namespace brelk::test
