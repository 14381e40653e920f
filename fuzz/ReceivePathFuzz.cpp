// The receive path as the flash library sees it: notifications of any size arrive at the
// two advised sinks (the flash service's and the upgrade service's), the read toggle lets
// every second delivery through, and the library reads through PortRead and asks
// PortRxAvail. The bytes handed out must be exactly the bytes the flash sink stored, in
// order; a byte may go missing only where the sink reported a drop, and only when the
// receive buffer had no room for it.
//
// Input: a sequence of one-byte operations, some followed by a 16-bit size.
//   0 notification to both sinks (upgrade's first, as advised), n bytes
//   1 notification to the flash sink only (the other sink missed it)
//   2 notification to the upgrade sink only
//   3 notification without data, 4 with an empty array (to both)
//   5 PortRead of n bytes, 6 PortRxAvail, 7 CompactReceiveBuffer

#include <oleauto.h>
#include <sys/prctl.h>
#include <winplat/clock.h>
#include <winplat/debugout.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "EventSink.h"
#include "FuzzInput.h"
#include "Internal.h"
#include "MBDeviceService.h"

namespace {

using brelkfuzz::Check;
using brelkfuzz::CheckEq;

constexpr size_t kMaxOperations = 256;
constexpr ULONG kMaxChunk = 1600;
constexpr ULONG kMaxRead = 1100;
constexpr UINT32 kSentinel = 0xA5A5A5A5;
const char kDropText[] = "DS : OnReadData : received bytes dropped, receive buffer full\n";

// The flash service with a sink of the fuzzer's choosing in place of an advised one.
class FlashService : public CMBDeviceService {
public:
    explicit FlashService(CMBDeviceServiceEvents* sink) : CMBDeviceService(L"fuzz") {
        sink->AddRef();
        m_pEvents = sink;  // released by the destructor
    }
};

// What a sink must hold after the deliveries so far.
struct SinkModel {
    CMBDeviceServiceEvents* Sink = nullptr;  // one reference
    std::deque<BYTE> Unread;
    ULONG LastChunk = 0;
    bool ReadEventSignalled = false;
};

struct Session {
    SinkModel Upgrade;
    SinkModel Flash;
    UCHAR Toggle = 0;
    uint32_t Sequence = 0;  // position in everything the modem sent

    // Every byte the modem sends is a function of its position, so a byte handed out
    // twice, skipped or reordered shows.
    BYTE NextByte() {
        const uint32_t x = (Sequence++) * 0x9E3779B1u;
        return static_cast<BYTE>((x >> 24) ^ (x >> 13));
    }
};

SAFEARRAY* MakeChunk(Session& s, ULONG n, std::vector<BYTE>* bytes) {
    bytes->resize(n);
    for (BYTE& b : *bytes) {
        b = s.NextByte();
    }
    SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, n);
    Check(array != nullptr, "chunk array not created");
    if (n != 0) {
        std::memcpy(array->pvData, bytes->data(), n);
    }
    return array;
}

void CheckReceiveState(const SinkModel& m) {
    CMBDeviceServiceEvents::ReceiveSnapshot snap;
    m.Sink->SnapshotReceiveState(&snap);
    Check(snap.ReadPosition <= snap.WritePosition && snap.WritePosition <= RECEIVE_BUFFER_SIZE,
          "receive positions out of order");
    CheckEq(static_cast<long long>(m.Unread.size()), snap.WritePosition - snap.ReadPosition,
            "unread bytes");
    Check(std::equal(m.Unread.begin(), m.Unread.end(), snap.Buffer + snap.ReadPosition),
          "unread bytes differ from those received");
}

void Deliver(Session& s, SinkModel& m, SAFEARRAY* array, const std::vector<BYTE>& bytes) {
    const bool stored = s.Toggle == 1;
    s.Toggle ^= 1;
    WinplatClearDebugOutput();
    CheckEq(S_OK, m.Sink->OnReadData(nullptr, array), "OnReadData");
    const auto out = WinplatGetDebugOutput();
    const long long reports = std::count(out.begin(), out.end(), std::string(kDropText));

    if (!stored) {
        CheckEq(0, reports, "drop reported for a delivery the toggle passed on");
        return;
    }
    const size_t n = bytes.size();
    const size_t room = RECEIVE_BUFFER_SIZE - m.Unread.size();
    const size_t kept = std::min(n, room);
    m.Unread.insert(m.Unread.end(), bytes.begin(), bytes.begin() + kept);
    m.LastChunk = static_cast<ULONG>(std::min<size_t>(n, RECEIVE_BUFFER_SIZE));
    m.ReadEventSignalled = true;
    CheckEq(kept < n ? 1 : 0, reports, "drop reports for one chunk");
}

void Notify(Session& s, int targets, SAFEARRAY* array, const std::vector<BYTE>& bytes) {
    if (targets & 1) {
        Deliver(s, s.Upgrade, array, bytes);
    }
    if (targets & 2) {
        Deliver(s, s.Flash, array, bytes);
    }
}

void Read(Session& s, ULONG requested) {
    std::unique_ptr<char[]> buffer(new char[requested]);  // exact size: overruns show
    UINT32 count = kSentinel;
    PortRead(nullptr, buffer.get(), requested, &count);
    SinkModel& m = s.Flash;
    if (!m.Unread.empty()) {
        const size_t expected = std::min<size_t>(requested, m.Unread.size());
        CheckEq(static_cast<long long>(expected), count, "bytes handed out");
        Check(std::equal(m.Unread.begin(), m.Unread.begin() + expected, buffer.get(),
                         [](BYTE a, char b) { return a == static_cast<BYTE>(b); }),
              "bytes handed out differ from those received");
        m.Unread.erase(m.Unread.begin(), m.Unread.begin() + expected);
    } else {
        // Nothing unread: a pending signal ends in an empty read, no signal in a time-out
        // that leaves the count alone. Never a byte handed out twice.
        CheckEq(m.ReadEventSignalled ? 0 : kSentinel, count, "read with nothing unread");
    }
    m.ReadEventSignalled = false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    WinplatSetTimeScale(1e8);       // the read's 300 ms wait and 20 ms pause
    prctl(PR_SET_TIMERSLACK, 1UL);  // waits of nanoseconds then end on time, not 50 us late
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    brelkfuzz::Input in(data, size);
    Session s;
    for (SinkModel* m : {&s.Upgrade, &s.Flash}) {
        Check(SUCCEEDED(CMBDeviceServiceEvents::CreateInstance(&m->Sink)), "sink not created");
        m->Sink->AddRef();
    }
    g_pFlashService = std::make_shared<FlashService>(s.Flash.Sink);
    g_ReadDataToggle = 0;
    g_ReadGate = 1;

    std::vector<BYTE> bytes;
    for (size_t i = 0; i < kMaxOperations && !in.Empty(); ++i) {
        const uint8_t op = in.U8() % 8;
        switch (op) {
            case 0:
            case 1:
            case 2: {
                SAFEARRAY* array = MakeChunk(s, in.U16() % (kMaxChunk + 1), &bytes);
                Notify(s, op == 0 ? 3 : op == 1 ? 2 : 1, array, bytes);
                SafeArrayDestroy(array);
                break;
            }
            case 3:
                bytes.clear();
                Notify(s, 3, nullptr, bytes);
                break;
            case 4: {
                SAFEARRAY* array = MakeChunk(s, 0, &bytes);
                Notify(s, 3, array, bytes);
                SafeArrayDestroy(array);
                break;
            }
            case 5:
                Read(s, in.U16() % (kMaxRead + 1));
                break;
            case 6:
                CheckEq(s.Flash.LastChunk, PortRxAvail(nullptr), "PortRxAvail");
                break;
            case 7:
                s.Flash.Sink->CompactReceiveBuffer();
                break;
        }
        CheckReceiveState(s.Flash);
        CheckReceiveState(s.Upgrade);
    }

    g_pFlashService.reset();
    g_ReadGate = 0;
    s.Upgrade.Sink->Release();
    s.Flash.Sink->Release();
    WinplatClearDebugOutput();
    return 0;
}
