#include "ConnectionPoint.h"

#include <olectl.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <new>

#include "ComBase.h"

namespace sim {

namespace {

// What an enumerator holds a reference to in each of its items.
IUnknown* HeldBy(const CONNECTDATA& cd) {
    return cd.pUnk;
}
IUnknown* HeldBy(IConnectionPoint* point) {
    return point;
}

const IID& IidOf(IEnumConnections*) {
    return IID_IEnumConnections;
}
const IID& IidOf(IEnumConnectionPoints*) {
    return IID_IEnumConnectionPoints;
}

// The enumerators of connections and of connection points. They hold their own references,
// taken when they are made, so that a sink unadvised meanwhile stays valid for whoever
// enumerates.
template <class Enum, class Item>
class Enumerator final : public simcom::ComObject<Enumerator<Enum, Item>, Enum> {
public:
    static const simcom::InterfaceEntry<Enumerator> kInterfaces[];

    // Takes over the items' references, also on failure.
    static HRESULT CreateInstance(std::vector<Item>&& items, size_t position,
                                  Enum** ppEnum) noexcept {
        auto* e = new (std::nothrow) Enumerator(position);
        if (!e) {
            for (const Item& item : items) {
                HeldBy(item)->Release();
            }
            return E_OUTOFMEMORY;
        }
        e->m_Items = std::move(items);
        *ppEnum = e;
        return S_OK;
    }

    STDMETHODIMP Next(ULONG count, Item* out, ULONG* pcFetched) override {
        if (pcFetched) {
            *pcFetched = 0;
        }
        if (!out || (!pcFetched && count != 1)) {
            return E_POINTER;
        }
        ULONG fetched = 0;
        while (fetched < count && m_Position < m_Items.size()) {
            out[fetched] = m_Items[m_Position++];
            HeldBy(out[fetched])->AddRef();
            ++fetched;
        }
        if (pcFetched) {
            *pcFetched = fetched;
        }
        return fetched == count ? S_OK : S_FALSE;
    }
    STDMETHODIMP Skip(ULONG count) override {
        const size_t left = m_Items.size() - m_Position;
        m_Position += count < left ? count : left;
        return count <= left ? S_OK : S_FALSE;
    }
    STDMETHODIMP Reset() override {
        m_Position = 0;
        return S_OK;
    }
    STDMETHODIMP Clone(Enum** ppEnum) override {
        if (!ppEnum) {
            return E_POINTER;
        }
        *ppEnum = nullptr;
        std::vector<Item> items;
        try {
            items = m_Items;
        } catch (...) {
            return E_OUTOFMEMORY;
        }
        for (const Item& item : items) {
            HeldBy(item)->AddRef();
        }
        return CreateInstance(std::move(items), m_Position, ppEnum);
    }

private:
    explicit Enumerator(size_t position) noexcept : m_Position(position) {}
    ~Enumerator() override {
        for (const Item& item : m_Items) {
            HeldBy(item)->Release();
        }
    }

    std::vector<Item> m_Items;  // one reference each; used by one client thread
    size_t m_Position;
};

template <class Enum, class Item>
const simcom::InterfaceEntry<Enumerator<Enum, Item>> Enumerator<Enum, Item>::kInterfaces[] = {
    simcom::Entry<Enumerator<Enum, Item>, Enum>(IidOf(static_cast<Enum*>(nullptr))),
    {},
};

using ConnectionEnumerator = Enumerator<IEnumConnections, CONNECTDATA>;
using PointEnumerator = Enumerator<IEnumConnectionPoints, IConnectionPoint*>;

}  // namespace

struct SinkGate {
    std::mutex lock;
    std::condition_variable released;      // a snapshot let go of its sinks
    std::vector<std::thread::id> holders;  // one per snapshot that holds sinks; guarded by lock
    std::vector<uint64_t> retired;         // unadvised while a snapshot was held; guarded by lock
};

SinkSnapshot::SinkSnapshot(SinkSnapshot&& other) noexcept
    : m_Sinks(std::move(other.m_Sinks)),
      m_Serials(std::move(other.m_Serials)),
      m_Gate(std::move(other.m_Gate)),
      m_Thread(other.m_Thread) {
    other.m_Sinks.clear();
    other.m_Serials.clear();
}

SinkSnapshot& SinkSnapshot::operator=(SinkSnapshot&& other) noexcept {
    if (this != &other) {
        Clear();
        m_Sinks.swap(other.m_Sinks);
        m_Serials.swap(other.m_Serials);
        m_Gate.swap(other.m_Gate);
        m_Thread = other.m_Thread;
    }
    return *this;
}

SinkSnapshot::~SinkSnapshot() {
    Clear();
}

void SinkSnapshot::Clear() noexcept {
    std::vector<IUnknown*> sinks;
    sinks.swap(m_Sinks);
    m_Serials.clear();
    std::shared_ptr<SinkGate> gate;
    gate.swap(m_Gate);
    // The references go before the holder does: a waiting Unadvise returns only once no
    // call into the sink, Release included, can follow.
    for (IUnknown* sink : sinks) {
        sink->Release();
    }
    if (!gate) {
        return;
    }
    std::lock_guard<std::mutex> guard(gate->lock);
    const auto it = std::find(gate->holders.begin(), gate->holders.end(), m_Thread);
    if (it != gate->holders.end()) {
        gate->holders.erase(it);
    }
    if (gate->holders.empty()) {
        gate->retired.clear();
    }
    gate->released.notify_all();
}

bool SinkSnapshot::StillAdvised(size_t i) const noexcept {
    if (!m_Gate) {
        return true;
    }
    std::lock_guard<std::mutex> guard(m_Gate->lock);
    return std::find(m_Gate->retired.begin(), m_Gate->retired.end(), m_Serials[i]) ==
           m_Gate->retired.end();
}

SinkList::SinkList() noexcept {
    try {
        m_Gate = std::make_shared<SinkGate>();
    } catch (...) {
        // Left null: every Advise fails with E_OUTOFMEMORY.
    }
}

SinkList::~SinkList() {
    for (Entry& e : m_Entries) {
        e.sink->Release();
    }
}

HRESULT SinkList::Snapshot(SinkSnapshot* out) const noexcept {
    if (!out) {
        return E_POINTER;
    }
    out->Clear();
    std::vector<IUnknown*> sinks;
    std::vector<uint64_t> serials;
    std::lock_guard<std::mutex> guard(m_Lock);
    if (m_Entries.empty()) {
        return S_OK;
    }
    try {
        sinks.reserve(m_Entries.size());
        serials.reserve(m_Entries.size());
        std::lock_guard<std::mutex> gate(m_Gate->lock);
        m_Gate->holders.push_back(std::this_thread::get_id());
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    for (const Entry& e : m_Entries) {
        e.sink->AddRef();
        sinks.push_back(e.sink);
        serials.push_back(e.serial);
    }
    out->m_Sinks.swap(sinks);
    out->m_Serials.swap(serials);
    out->m_Gate = m_Gate;
    out->m_Thread = std::this_thread::get_id();
    return S_OK;
}

void SinkList::Retire(std::unique_lock<std::mutex>& held,
                      const std::vector<uint64_t>& serials) noexcept {
    std::unique_lock<std::mutex> gate(m_Gate->lock);
    held.unlock();
    if (m_Gate->holders.empty()) {
        return;
    }
    try {
        m_Gate->retired.insert(m_Gate->retired.end(), serials.begin(), serials.end());
    } catch (...) {
        // Not marked: a snapshot of this thread may still call them; others are waited for.
    }
    const std::thread::id self = std::this_thread::get_id();
    m_Gate->released.wait(gate, [&] {
        return std::all_of(m_Gate->holders.begin(), m_Gate->holders.end(),
                           [&](std::thread::id holder) { return holder == self; });
    });
}

size_t SinkList::Count() const noexcept {
    std::lock_guard<std::mutex> guard(m_Lock);
    return m_Entries.size();
}

HRESULT SinkList::Add(const void* point, IUnknown* sink, DWORD* cookie) noexcept {
    std::lock_guard<std::mutex> guard(m_Lock);
    // Cookies are never 0 and never reused while their connection exists.
    DWORD candidate = m_NextCookie;
    for (;;) {
        bool taken = candidate == 0;
        for (const Entry& e : m_Entries) {
            taken = taken || e.cookie == candidate;
        }
        if (!taken) {
            break;
        }
        ++candidate;
    }
    if (!m_Gate) {
        return E_OUTOFMEMORY;
    }
    try {
        m_Entries.push_back({point, candidate, sink, m_NextSerial});
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    ++m_NextSerial;
    m_NextCookie = candidate + 1;
    *cookie = candidate;
    return S_OK;
}

IUnknown* SinkList::Remove(const void* point, DWORD cookie) noexcept {
    std::unique_lock<std::mutex> held(m_Lock);
    for (auto it = m_Entries.begin(); it != m_Entries.end(); ++it) {
        if (it->point == point && it->cookie == cookie) {
            IUnknown* sink = it->sink;
            std::vector<uint64_t> serials;
            try {
                serials.push_back(it->serial);
            } catch (...) {
                // Not marked; Retire still waits for the other threads' snapshots.
            }
            m_Entries.erase(it);
            Retire(held, serials);
            return sink;
        }
    }
    return nullptr;
}

void SinkList::RemoveAll(const void* point) noexcept {
    std::vector<IUnknown*> released;
    std::vector<uint64_t> serials;
    std::unique_lock<std::mutex> held(m_Lock);
    if (!m_Gate) {
        return;  // nothing was ever advised
    }
    for (auto it = m_Entries.begin(); it != m_Entries.end();) {
        if (it->point != point) {
            ++it;
            continue;
        }
        // Releasing under the lock could re-enter the list from a sink's destructor.
        try {
            serials.push_back(it->serial);
        } catch (...) {
            // Not marked; Retire still waits for the other threads' snapshots.
        }
        try {
            released.push_back(it->sink);
        } catch (...) {
            it->sink->Release();  // out of memory: release here rather than leak
        }
        it = m_Entries.erase(it);
    }
    Retire(held, serials);
    for (IUnknown* sink : released) {
        sink->Release();
    }
}

HRESULT SinkList::Connections(const void* point, std::vector<CONNECTDATA>* out) const noexcept {
    std::lock_guard<std::mutex> guard(m_Lock);
    try {
        for (const Entry& e : m_Entries) {
            if (e.point == point) {
                out->push_back({e.sink, e.cookie});
            }
        }
    } catch (...) {
        out->clear();
        return E_OUTOFMEMORY;
    }
    for (CONNECTDATA& cd : *out) {
        cd.pUnk->AddRef();
    }
    return S_OK;
}

size_t SinkList::CountOf(const void* point) const noexcept {
    std::lock_guard<std::mutex> guard(m_Lock);
    size_t count = 0;
    for (const Entry& e : m_Entries) {
        count += e.point == point ? 1 : 0;
    }
    return count;
}

ConnectionPoint::ConnectionPoint(IConnectionPointContainer* owner, REFIID iid,
                                 std::shared_ptr<SinkList> shared) noexcept
    : m_Owner(owner), m_Iid(iid), m_Shared(std::move(shared)) {
    m_List = m_Shared ? m_Shared.get() : &m_OwnList;
}

ConnectionPoint::~ConnectionPoint() {
    m_List->RemoveAll(this);
}

HRESULT ConnectionPoint::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) {
        return E_POINTER;
    }
    *ppv = nullptr;
    if (riid != IID_IUnknown && riid != IID_IConnectionPoint) {
        return E_NOINTERFACE;
    }
    *ppv = static_cast<IConnectionPoint*>(this);
    AddRef();
    return S_OK;
}

ULONG ConnectionPoint::AddRef() {
    return m_Owner->AddRef();
}

ULONG ConnectionPoint::Release() {
    return m_Owner->Release();
}

HRESULT ConnectionPoint::GetConnectionInterface(IID* pIID) {
    if (!pIID) {
        return E_POINTER;
    }
    *pIID = m_Iid;
    return S_OK;
}

HRESULT ConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** ppCPC) {
    if (!ppCPC) {
        return E_POINTER;
    }
    m_Owner->AddRef();
    *ppCPC = m_Owner;
    return S_OK;
}

HRESULT ConnectionPoint::Advise(IUnknown* pUnkSink, DWORD* pdwCookie) {
    if (!pdwCookie) {
        return E_POINTER;
    }
    *pdwCookie = 0;
    if (!pUnkSink) {
        return E_POINTER;
    }
    IUnknown* sink = nullptr;
    if (FAILED(pUnkSink->QueryInterface(m_Iid, reinterpret_cast<void**>(&sink))) || !sink) {
        return CONNECT_E_CANNOTCONNECT;
    }
    HRESULT hr = m_List->Add(this, sink, pdwCookie);
    if (FAILED(hr)) {
        sink->Release();
    }
    return hr;
}

HRESULT ConnectionPoint::Unadvise(DWORD dwCookie) {
    IUnknown* sink = m_List->Remove(this, dwCookie);
    if (!sink) {
        return CONNECT_E_NOCONNECTION;
    }
    sink->Release();
    return S_OK;
}

HRESULT ConnectionPoint::EnumConnections(IEnumConnections** ppEnum) {
    if (!ppEnum) {
        return E_POINTER;
    }
    *ppEnum = nullptr;
    std::vector<CONNECTDATA> items;
    HRESULT hr = m_List->Connections(this, &items);
    if (FAILED(hr)) {
        return hr;
    }
    return ConnectionEnumerator::CreateInstance(std::move(items), 0, ppEnum);
}

size_t ConnectionPoint::ConnectionCount() const noexcept {
    return m_List->CountOf(this);
}

HRESULT CreateConnectionPointEnumerator(IConnectionPoint* const* points, ULONG count,
                                        IEnumConnectionPoints** ppEnum) noexcept {
    if (!ppEnum) {
        return E_POINTER;
    }
    *ppEnum = nullptr;
    if (!points && count) {
        return E_INVALIDARG;
    }
    std::vector<IConnectionPoint*> held;
    try {
        held.assign(points, points + count);
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    for (IConnectionPoint* p : held) {
        if (!p) {
            return E_INVALIDARG;
        }
    }
    for (IConnectionPoint* p : held) {
        p->AddRef();
    }
    return PointEnumerator::CreateInstance(std::move(held), 0, ppEnum);
}

}  // namespace sim
