#pragma once
// A ready-made IConnectionPoint for the simulated machine's in-process event sources.
//
// The point lives inside its container object and shares the container's reference count,
// so a client that holds the point keeps the container alive. It queries each advised sink
// for the connection interface, keeps that reference until Unadvise (or until the container
// is destroyed), and numbers connections with non-zero cookies. The owner delivers an event
// by taking a Snapshot (the sinks AddRef'd, in advise order) and calling them outside any
// lock, so a sink may Advise or Unadvise from inside a notification.
//
// As Windows promises a client, no sink is called after its Unadvise returned: Unadvise
// (and the point's destruction) waits until the snapshots other threads hold are released,
// the sink's reference with them, and a snapshot skips a sink unadvised since it was taken
// (from inside a notification, on the delivering thread, Unadvise does not wait). So a
// module may unload once it has unadvised. The owner releases a snapshot soon after the
// delivery, and never holds one while waiting for a thread that may be unadvising.
//
// Several points may share one SinkList: cookies are then unique across them and a snapshot
// holds the sinks of all of them in advise order, which is how one source delivers every
// event to every sink advised on any of its containers. Points that share a list must carry
// the same connection interface.
//
//   class CSource : public IConnectionPointContainer {
//       sim::ConnectionPoint m_Point{this, IID_IMyEvents};
//       ...
//       sim::SinkSnapshot sinks;
//       if (SUCCEEDED(m_Point.Snapshot(&sinks)))
//           sinks.ForEach<IMyEvents>([&](IMyEvents* sink) { sink->OnSomething(); });
//   };
#include <ocidl.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace sim {

struct SinkGate;  // what a list and its snapshots share (ConnectionPoint.cpp)

// Sinks taken from a connection point, one reference each, released with the snapshot.
class SinkSnapshot {
public:
    SinkSnapshot() noexcept = default;
    SinkSnapshot(SinkSnapshot&& other) noexcept;
    SinkSnapshot& operator=(SinkSnapshot&& other) noexcept;
    SinkSnapshot(const SinkSnapshot&) = delete;
    SinkSnapshot& operator=(const SinkSnapshot&) = delete;
    ~SinkSnapshot();

    size_t size() const noexcept { return m_Sinks.size(); }
    bool empty() const noexcept { return m_Sinks.empty(); }

    // The i-th sink as the connection interface I (the point queried it for that interface).
    template <class I>
    I* Get(size_t i) const noexcept {
        return static_cast<I*>(m_Sinks[i]);
    }

    // Calls f(I*) for every sink still advised, in advise order.
    template <class I, class F>
    void ForEach(F&& f) const {
        for (size_t i = 0; i < m_Sinks.size(); ++i) {
            if (StillAdvised(i)) {
                f(static_cast<I*>(m_Sinks[i]));
            }
        }
    }

    // Releases every sink now, and lets a waiting Unadvise return.
    void Clear() noexcept;

private:
    friend class SinkList;
    bool StillAdvised(size_t i) const noexcept;

    std::vector<IUnknown*> m_Sinks;    // one reference each
    std::vector<uint64_t> m_Serials;   // the connections the sinks were taken from
    std::shared_ptr<SinkGate> m_Gate;  // set while the snapshot holds sinks
    std::thread::id m_Thread;          // the thread that took it
};

// Connections of one or more points, in advise order.
class SinkList {
public:
    SinkList() noexcept;
    SinkList(const SinkList&) = delete;
    SinkList& operator=(const SinkList&) = delete;
    ~SinkList();

    // Every sink of the list, AddRef'd, in advise order. E_POINTER, E_OUTOFMEMORY.
    HRESULT Snapshot(SinkSnapshot* out) const noexcept;
    size_t Count() const noexcept;

private:
    friend class ConnectionPoint;
    struct Entry {
        const void* point;  // the point it was advised on
        DWORD cookie;
        IUnknown* sink;   // one reference: the connection interface queried from the sink
        uint64_t serial;  // never reused, unlike a cookie
    };

    HRESULT Add(const void* point, IUnknown* sink, DWORD* cookie) noexcept;
    IUnknown* Remove(const void* point, DWORD cookie) noexcept;
    void RemoveAll(const void* point) noexcept;
    // Marks the connections unadvised and waits until no other thread's snapshot holds
    // them; called with m_Lock held by `held`, which it releases.
    void Retire(std::unique_lock<std::mutex>& held, const std::vector<uint64_t>& serials) noexcept;
    HRESULT Connections(const void* point, std::vector<CONNECTDATA>* out) const noexcept;
    size_t CountOf(const void* point) const noexcept;

    mutable std::mutex m_Lock;
    std::vector<Entry> m_Entries;  // guarded by m_Lock
    DWORD m_NextCookie = 1;        // guarded by m_Lock
    uint64_t m_NextSerial = 1;     // guarded by m_Lock
    // Shared with the snapshots, which may outlive the list; null only when it could not
    // be allocated (every Advise then fails). Locked after m_Lock, never before.
    std::shared_ptr<SinkGate> m_Gate;
};

class ConnectionPoint final : public IConnectionPoint {
public:
    // owner: no reference; the point is a member of its owner, shares its reference count and
    // is destroyed with it. shared: the list to share with other points, or null for a list of
    // this point's own.
    ConnectionPoint(IConnectionPointContainer* owner, REFIID iid,
                    std::shared_ptr<SinkList> shared = nullptr) noexcept;
    ConnectionPoint(const ConnectionPoint&) = delete;
    ConnectionPoint& operator=(const ConnectionPoint&) = delete;
    virtual ~ConnectionPoint();

    // IUnknown, delegated to the owner.
    STDMETHOD(QueryInterface)(REFIID riid, void** ppv) override;
    STDMETHOD_(ULONG, AddRef)() override;
    STDMETHOD_(ULONG, Release)() override;

    // IConnectionPoint
    STDMETHOD(GetConnectionInterface)(IID* pIID) override;
    STDMETHOD(GetConnectionPointContainer)(IConnectionPointContainer** ppCPC) override;
    STDMETHOD(Advise)(IUnknown* pUnkSink, DWORD* pdwCookie) override;
    STDMETHOD(Unadvise)(DWORD dwCookie) override;
    STDMETHOD(EnumConnections)(IEnumConnections** ppEnum) override;

    // The sinks of this point's list (all points sharing it), AddRef'd, in advise order.
    HRESULT Snapshot(SinkSnapshot* out) const noexcept { return m_List->Snapshot(out); }
    // Connections of this point alone.
    size_t ConnectionCount() const noexcept;
    const IID& Iid() const noexcept { return m_Iid; }

private:
    IConnectionPointContainer* m_Owner;  // no reference: the owner contains this point
    const IID m_Iid;
    std::shared_ptr<SinkList> m_Shared;  // set in the constructor
    SinkList m_OwnList;
    SinkList* m_List;  // m_Shared or m_OwnList; set in the constructor
};

// An IEnumConnectionPoints over the given points (each AddRef'd by the enumerator), for a
// container's EnumConnectionPoints. E_POINTER, E_INVALIDARG, E_OUTOFMEMORY.
HRESULT CreateConnectionPointEnumerator(IConnectionPoint* const* points, ULONG count,
                                        IEnumConnectionPoints** ppEnum) noexcept;

}  // namespace sim
