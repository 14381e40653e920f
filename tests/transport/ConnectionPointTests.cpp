#include <windows.h>
#include <ocidl.h>

#include "ComBase.h"
#include "ConnectionPoint.h"
#include "HResultPrinter.h"
#include "RefCountChecker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace brelk::test {
namespace {

// {0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}
DEFINE_GUID(IID_ITestEvents, 0x0F1E2D3C, 0x4B5A, 0x6978, 0x87, 0x96, 0xA5, 0xB4, 0xC3, 0xD2, 0xE1,
            0xF0);

struct ITestEvents : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE OnEvent(int value) = 0;
};

// Records every event it receives, with its own id, in a shared log.
class Sink final : public simcom::ComObject<Sink, ITestEvents> {
public:
    static const simcom::InterfaceEntry<Sink> kInterfaces[];

    Sink(int id, std::vector<std::pair<int, int>>* log, std::mutex* lock)
        : m_Id(id), m_Log(log), m_LogLock(lock) {}

    STDMETHODIMP OnEvent(int value) override {
        std::lock_guard<std::mutex> guard(*m_LogLock);
        m_Log->push_back({m_Id, value});
        if (onEvent) {
            onEvent();
        }
        return S_OK;
    }

    std::function<void()> onEvent;  // set before advising

private:
    ~Sink() override = default;
    const int m_Id;
    std::vector<std::pair<int, int>>* m_Log;  // owned by the test
    std::mutex* m_LogLock;
};

const simcom::InterfaceEntry<Sink> Sink::kInterfaces[] = {
    simcom::Entry<Sink, ITestEvents>(IID_ITestEvents),
    {},
};

// An event source: a container with one point, the shape the simulated managers take.
class Source final : public simcom::ComObject<Source, IConnectionPointContainer> {
public:
    static const simcom::InterfaceEntry<Source> kInterfaces[];

    explicit Source(std::shared_ptr<sim::SinkList> shared = nullptr,
                    std::atomic<int>* destroyed = nullptr)
        : point(this, IID_ITestEvents, std::move(shared)), m_Destroyed(destroyed) {}

    STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override {
        IConnectionPoint* points[] = {&point};
        return sim::CreateConnectionPointEnumerator(points, 1, ppEnum);
    }
    STDMETHODIMP FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override {
        if (!ppCP) {
            return E_POINTER;
        }
        *ppCP = nullptr;
        if (riid != IID_ITestEvents) {
            return CONNECT_E_NOCONNECTION;
        }
        *ppCP = &point;
        point.AddRef();
        return S_OK;
    }

    void Fire(int value) {
        sim::SinkSnapshot sinks;
        ASSERT_HR(S_OK, point.Snapshot(&sinks));
        sinks.ForEach<ITestEvents>([&](ITestEvents* sink) { sink->OnEvent(value); });
    }

    sim::ConnectionPoint point;

private:
    ~Source() override {
        if (m_Destroyed) {
            ++*m_Destroyed;
        }
    }
    std::atomic<int>* m_Destroyed;
};

const simcom::InterfaceEntry<Source> Source::kInterfaces[] = {
    simcom::Entry<Source, IConnectionPointContainer>(IID_IConnectionPointContainer),
    {},
};

class ConnectionPointTest : public ::testing::Test {
protected:
    Sink* NewSink(int id) { return new Sink(id, &log, &logLock); }
    std::vector<std::pair<int, int>> Log() {
        std::lock_guard<std::mutex> guard(logLock);
        return log;
    }

    std::vector<std::pair<int, int>> log;
    std::mutex logLock;
};

using Events = std::vector<std::pair<int, int>>;

}  // namespace

TEST_F(ConnectionPointTest, DeliversInAdviseOrderUntilUnadvised) {
    auto* source = new Source;
    Sink* sinks[] = {NewSink(1), NewSink(2), NewSink(3)};
    DWORD cookies[3] = {};
    for (int i = 0; i < 3; ++i) {
        ASSERT_HR(S_OK, source->point.Advise(sinks[i], &cookies[i]));
        EXPECT_NE(cookies[i], 0u);
        EXPECT_TRUE(HasRefCount(sinks[i], 2));  // the point holds one
    }
    EXPECT_NE(cookies[0], cookies[1]);
    EXPECT_NE(cookies[1], cookies[2]);
    EXPECT_NE(cookies[0], cookies[2]);

    source->Fire(10);
    EXPECT_HR(S_OK, source->point.Unadvise(cookies[1]));
    EXPECT_TRUE(HasRefCount(sinks[1], 1));
    EXPECT_HR(CONNECT_E_NOCONNECTION, source->point.Unadvise(cookies[1]));
    EXPECT_HR(CONNECT_E_NOCONNECTION, source->point.Unadvise(0));
    source->Fire(20);
    EXPECT_EQ(Log(), (Events{{1, 10}, {2, 10}, {3, 10}, {1, 20}, {3, 20}}));

    // A sink advised again goes to the end and gets a cookie of its own.
    DWORD again = 0;
    ASSERT_HR(S_OK, source->point.Advise(sinks[1], &again));
    EXPECT_NE(again, cookies[0]);
    EXPECT_NE(again, cookies[2]);
    log.clear();
    source->Fire(30);
    EXPECT_EQ(Log(), (Events{{1, 30}, {3, 30}, {2, 30}}));

    // Destroying the source releases the sinks still advised.
    source->Release();
    for (Sink* s : sinks) {
        EXPECT_TRUE(HasRefCount(s, 1));
        s->Release();
    }
}

TEST_F(ConnectionPointTest, AdviseErrors) {
    auto* source = new Source;
    auto* plain = new TestUnknown;  // has no ITestEvents
    DWORD cookie = 0xdeadbeef;
    EXPECT_HR(CONNECT_E_CANNOTCONNECT, source->point.Advise(plain, &cookie));
    EXPECT_EQ(cookie, 0u);
    EXPECT_TRUE(HasRefCount(plain, 1));
    cookie = 0xdeadbeef;
    EXPECT_HR(E_POINTER, source->point.Advise(nullptr, &cookie));
    EXPECT_EQ(cookie, 0u);
    EXPECT_HR(E_POINTER, source->point.Advise(plain, nullptr));
    EXPECT_EQ(source->point.ConnectionCount(), 0u);
    plain->Release();
    source->Release();
}

TEST_F(ConnectionPointTest, PointSharesItsContainersLifetime) {
    std::atomic<int> destroyed{0};
    auto* source = new Source(nullptr, &destroyed);
    IConnectionPoint* point = nullptr;
    ASSERT_HR(S_OK, source->FindConnectionPoint(IID_ITestEvents, &point));
    EXPECT_TRUE(HasRefCount(source, 2));
    source->Release();
    EXPECT_EQ(destroyed.load(), 0);  // the client's point keeps the source alive

    IID iid = {};
    EXPECT_HR(S_OK, point->GetConnectionInterface(&iid));
    EXPECT_EQ(iid, IID_ITestEvents);
    IConnectionPointContainer* container = nullptr;
    ASSERT_HR(S_OK, point->GetConnectionPointContainer(&container));
    EXPECT_EQ(container, static_cast<IConnectionPointContainer*>(source));
    container->Release();
    IUnknown* unk = nullptr;
    ASSERT_HR(S_OK, point->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unk)));
    EXPECT_EQ(unk, static_cast<IUnknown*>(point));
    unk->Release();
    EXPECT_HR(E_POINTER, point->GetConnectionInterface(nullptr));

    point->Release();
    EXPECT_EQ(destroyed.load(), 1);
}

TEST_F(ConnectionPointTest, EnumeratesConnectionsWithReferences) {
    auto* source = new Source;
    Sink* a = NewSink(1);
    Sink* b = NewSink(2);
    DWORD ca = 0, cb = 0;
    ASSERT_HR(S_OK, source->point.Advise(a, &ca));
    ASSERT_HR(S_OK, source->point.Advise(b, &cb));

    IEnumConnections* e = nullptr;
    ASSERT_HR(S_OK, source->point.EnumConnections(&e));
    CONNECTDATA cd[3] = {};
    ULONG fetched = 99;
    EXPECT_HR(S_FALSE, e->Next(3, cd, &fetched));
    ASSERT_EQ(fetched, 2u);
    EXPECT_EQ(cd[0].pUnk, static_cast<IUnknown*>(a));
    EXPECT_EQ(cd[0].dwCookie, ca);
    EXPECT_EQ(cd[1].pUnk, static_cast<IUnknown*>(b));
    EXPECT_EQ(cd[1].dwCookie, cb);
    EXPECT_TRUE(HasRefCount(a, 4));  // point, enumerator, returned CONNECTDATA, creation
    cd[0].pUnk->Release();
    cd[1].pUnk->Release();

    // The enumerator outlives an Unadvise with its own references.
    EXPECT_HR(S_OK, source->point.Unadvise(ca));
    EXPECT_HR(S_OK, e->Reset());
    EXPECT_HR(S_OK, e->Skip(1));
    EXPECT_HR(S_FALSE, e->Skip(5));
    e->Release();
    EXPECT_TRUE(HasRefCount(a, 1));

    IEnumConnectionPoints* points = nullptr;
    ASSERT_HR(S_OK, source->EnumConnectionPoints(&points));
    IConnectionPoint* p = nullptr;
    EXPECT_HR(S_OK, points->Next(1, &p, nullptr));
    EXPECT_EQ(p, &source->point);
    p->Release();
    EXPECT_HR(S_FALSE, points->Next(1, &p, nullptr));
    points->Release();

    source->Release();
    a->Release();
    b->Release();
}

TEST_F(ConnectionPointTest, SharedListDeliversAcrossSourcesInAdviseOrder) {
    auto list = std::make_shared<sim::SinkList>();
    auto* first = new Source(list);
    auto* second = new Source(list);
    Sink* s1 = NewSink(1);
    Sink* s2 = NewSink(2);
    Sink* s3 = NewSink(3);
    DWORD c1 = 0, c2 = 0, c3 = 0;
    ASSERT_HR(S_OK, first->point.Advise(s1, &c1));
    ASSERT_HR(S_OK, second->point.Advise(s2, &c2));
    ASSERT_HR(S_OK, first->point.Advise(s3, &c3));
    EXPECT_EQ(list->Count(), 3u);

    second->Fire(5);  // every sink of every source, in advise order
    EXPECT_EQ(Log(), (Events{{1, 5}, {2, 5}, {3, 5}}));
    // A cookie is only good on the point that issued it.
    EXPECT_HR(CONNECT_E_NOCONNECTION, first->point.Unadvise(c2));
    EXPECT_EQ(first->point.ConnectionCount(), 2u);

    // Destroying one source drops only its own sinks.
    first->Release();
    EXPECT_EQ(list->Count(), 1u);
    EXPECT_TRUE(HasRefCount(s1, 1));
    EXPECT_TRUE(HasRefCount(s2, 2));
    EXPECT_HR(S_OK, second->point.Unadvise(c2));
    second->Release();
    for (Sink* s : {s1, s2, s3}) {
        s->Release();
    }
}

TEST_F(ConnectionPointTest, SinkMayUnadviseDuringDelivery) {
    auto* source = new Source;
    Sink* a = NewSink(1);
    Sink* b = NewSink(2);
    DWORD ca = 0, cb = 0;
    a->onEvent = [&] { EXPECT_HR(S_OK, source->point.Unadvise(ca)); };
    ASSERT_HR(S_OK, source->point.Advise(a, &ca));
    ASSERT_HR(S_OK, source->point.Advise(b, &cb));
    a->Release();  // only the point keeps a alive now; the snapshot must too
    source->Fire(1);
    source->Fire(2);
    EXPECT_EQ(Log(), (Events{{1, 1}, {2, 1}, {2, 2}}));
    source->Release();
    b->Release();
}

TEST_F(ConnectionPointTest, ConcurrentAdviseAndDelivery) {
    auto* source = new Source;
    std::atomic<bool> stop{false};
    std::thread firer([&] {
        for (int i = 0; !stop.load(); ++i) {
            source->Fire(i);
        }
    });
    std::vector<std::thread> clients;
    for (int t = 0; t < 3; ++t) {
        clients.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                Sink* s = NewSink(t);
                DWORD cookie = 0;
                EXPECT_HR(S_OK, source->point.Advise(s, &cookie));
                EXPECT_HR(S_OK, source->point.Unadvise(cookie));
                s->Release();
            }
        });
    }
    for (std::thread& c : clients) {
        c.join();
    }
    stop = true;
    firer.join();
    EXPECT_EQ(source->point.ConnectionCount(), 0u);
    source->Release();
}

// As Windows promises: once Unadvise returned on one thread, no call reaches the sink from
// a delivery on another, Release included, so its module may unload. The sink waits inside
// its call for Unadvise to return; that wait must run out, not end.
TEST_F(ConnectionPointTest, NoCallReachesASinkAfterItsUnadviseReturned) {
    auto* source = new Source;
    Sink* sink = NewSink(1);
    DWORD cookie = 0;
    ASSERT_HR(S_OK, source->point.Advise(sink, &cookie));
    HANDLE inside = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE unadvised = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<bool> returnedDuringCall{false};
    sink->onEvent = [&] {
        SetEvent(inside);
        returnedDuringCall = WaitForSingleObject(unadvised, 300) == WAIT_OBJECT_0;
    };
    std::thread deliverer([&] { source->Fire(1); });
    ASSERT_EQ(WaitForSingleObject(inside, INFINITE), WAIT_OBJECT_0);
    EXPECT_HR(S_OK, source->point.Unadvise(cookie));
    SetEvent(unadvised);
    EXPECT_FALSE(returnedDuringCall.load());
    EXPECT_TRUE(HasRefCount(sink, 1));  // the delivery's reference is gone too
    deliverer.join();
    source->Fire(2);
    EXPECT_EQ(Log(), (Events{{1, 1}}));
    CloseHandle(inside);
    CloseHandle(unadvised);
    source->Release();
    sink->Release();
}

// Unadvised from inside a notification, a sink later in the same delivery is skipped.
TEST_F(ConnectionPointTest, SinkUnadvisedDuringADeliveryIsSkippedByIt) {
    auto* source = new Source;
    Sink* a = NewSink(1);
    Sink* b = NewSink(2);
    DWORD ca = 0, cb = 0;
    a->onEvent = [&] { EXPECT_HR(S_OK, source->point.Unadvise(cb)); };
    ASSERT_HR(S_OK, source->point.Advise(a, &ca));
    ASSERT_HR(S_OK, source->point.Advise(b, &cb));
    source->Fire(1);
    EXPECT_EQ(Log(), (Events{{1, 1}}));
    EXPECT_TRUE(HasRefCount(b, 1));
    EXPECT_HR(S_OK, source->point.Unadvise(ca));
    source->Release();
    a->Release();
    b->Release();
}
}  // namespace brelk::test
