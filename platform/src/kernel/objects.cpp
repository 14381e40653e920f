// Last error, thread identity, the handle table, events, mutexes and waits.
#include <windows.h>
#include <winplat/faults.h>
#include <winplat/stats.h>

#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <map>
#include <set>
#include <vector>

#include "kernel/kernel.h"

namespace winplat {
namespace {

struct Event : KernelObject {
    Event(bool manual, bool signalled)
        : KernelObject(ObjectKind::Event), manual(manual), signalled(signalled) {}
    const bool manual;
    bool signalled;  // guarded by KernelLock()
};

struct Mutex : KernelObject {
    Mutex() : KernelObject(ObjectKind::Mutex) {}
    DWORD owner = 0;         // guarded by KernelLock(); 0 when free
    ULONG count = 0;         // guarded by KernelLock(); recursion depth of the owner
    bool abandoned = false;  // guarded by KernelLock(); set when the owner ended holding it
};

// Per-thread state. The destructor runs at the end of every thread, including threads
// not started by CreateThread, so their mutexes are abandoned too.
struct ThreadState {
    DWORD id = 0;
    DWORD lastError = 0;
    std::vector<std::weak_ptr<Mutex>> owned;  // guarded by KernelLock()
    ~ThreadState() { AbandonOwnedMutexes(); }
};

thread_local ThreadState t_thread;

// A thread inside WaitForMultipleObjects: what it waits on, and where to wake it.
struct Waiter {
    std::condition_variable cv;
    const std::shared_ptr<KernelObject>* objects;
    DWORD count;
};

struct Kernel {
    std::mutex lock;
    std::condition_variable cv;
    std::vector<Waiter*> waiters;  // guarded by lock
    // Slot i holds handle (i + 1) * 4; freed slots are reused lowest first, as Windows does.
    std::vector<std::shared_ptr<KernelObject>> slots;           // guarded by lock
    std::set<size_t> freeSlots;                                 // guarded by lock
    size_t open = 0;                                            // guarded by lock
    std::map<std::wstring, std::weak_ptr<KernelObject>> names;  // guarded by lock
};

Kernel& TheKernel() {
    // Never destroyed: thread-exit code may run after static destructors begin.
    static Kernel* kernel = new Kernel;
    return *kernel;
}

constexpr size_t kMaxHandles = 1u << 24;

// GetCurrentProcess() and GetCurrentThread() pseudo-handles: valid, never signalled
// while the caller waits on them, and closing them is a no-op that succeeds.
bool IsPseudoHandle(HANDLE h) {
    return h == reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1)) ||
           h == reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2));
}

DWORD CurrentId() {
    if (t_thread.id == 0) {
        t_thread.id = NewThreadId();
    }
    return t_thread.id;
}

bool IsSignalledLocked(const KernelObject& o, DWORD tid);
bool AcquireLocked(KernelObject& o, const std::shared_ptr<KernelObject>& ref, DWORD tid);

}  // namespace

DWORD NewThreadId() {
    static std::atomic<DWORD> next{0x1000};
    return next.fetch_add(4);
}

void AdoptThreadId(DWORD id) {
    t_thread.id = id;
}

std::mutex& KernelLock() {
    return TheKernel().lock;
}
std::condition_variable& KernelCv() {
    return TheKernel().cv;
}

void OnTimeScaleChanged() {
    std::lock_guard<std::mutex> guard(KernelLock());
    KernelCv().notify_all();
    WakeWaitersLocked(nullptr);
}

void WakeWaitersLocked(const KernelObject* object) {
    for (Waiter* w : TheKernel().waiters) {
        if (object == nullptr || std::any_of(w->objects, w->objects + w->count,
                                             [&](const std::shared_ptr<KernelObject>& o) {
                                                 return o.get() == object;
                                             })) {
            w->cv.notify_one();
        }
    }
}

HANDLE InsertHandleLocked(std::shared_ptr<KernelObject> object) {
    Kernel& k = TheKernel();
    size_t slot;
    if (!k.freeSlots.empty()) {
        slot = *k.freeSlots.begin();
        k.freeSlots.erase(k.freeSlots.begin());
    } else {
        if (k.slots.size() >= kMaxHandles) {
            return nullptr;
        }
        slot = k.slots.size();
        k.slots.emplace_back();
    }
    k.slots[slot] = std::move(object);
    ++k.open;
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>((slot + 1) * 4));
}

std::shared_ptr<KernelObject> LookupHandleLocked(HANDLE h) {
    Kernel& k = TheKernel();
    const auto value = reinterpret_cast<uintptr_t>(h);
    if (value == 0 || value % 4 != 0 || value / 4 > k.slots.size()) {
        return nullptr;
    }
    return k.slots[value / 4 - 1];
}

std::shared_ptr<KernelObject> LookupHandle(HANDLE h, ObjectKind kind) {
    std::lock_guard<std::mutex> guard(KernelLock());
    auto object = LookupHandleLocked(h);
    if (!object || object->kind != kind) {
        return nullptr;
    }
    return object;
}

bool RemoveHandle(HANDLE h, ObjectKind kind) {
    std::shared_ptr<KernelObject> doomed;  // destroyed outside the lock
    std::lock_guard<std::mutex> guard(KernelLock());
    auto object = LookupHandleLocked(h);
    if (!object || object->kind != kind) {
        return false;
    }
    Kernel& k = TheKernel();
    const size_t slot = reinterpret_cast<uintptr_t>(h) / 4 - 1;
    doomed = std::move(k.slots[slot]);
    k.freeSlots.insert(slot);
    --k.open;
    return true;
}

void AbandonOwnedMutexes() {
    std::lock_guard<std::mutex> guard(KernelLock());
    bool any = false;
    for (auto& weak : t_thread.owned) {
        if (auto m = weak.lock(); m && m->owner == t_thread.id && t_thread.id != 0) {
            m->owner = 0;
            m->count = 0;
            m->abandoned = true;
            any = true;
        }
    }
    t_thread.owned.clear();
    if (any) {
        WakeWaitersLocked(nullptr);
    }
}

namespace {

bool IsSignalledLocked(const KernelObject& o, DWORD tid) {
    switch (o.kind) {
        case ObjectKind::Event:
            return static_cast<const Event&>(o).signalled;
        case ObjectKind::Mutex: {
            const auto& m = static_cast<const Mutex&>(o);
            return m.owner == 0 || m.owner == tid;
        }
        case ObjectKind::Thread:
            return IsThreadSignalledLocked(o);
        case ObjectKind::Find:
            break;
    }
    return false;
}

// Applies a successful wait's side effect; returns true for an abandoned mutex.
bool AcquireLocked(KernelObject& o, const std::shared_ptr<KernelObject>& ref, DWORD tid) {
    if (o.kind == ObjectKind::Event) {
        auto& e = static_cast<Event&>(o);
        if (!e.manual) {
            e.signalled = false;
        }
        return false;
    }
    if (o.kind == ObjectKind::Mutex) {
        auto& m = static_cast<Mutex&>(o);
        if (m.owner != tid) {
            m.owner = tid;
            m.count = 0;
            t_thread.owned.push_back(std::static_pointer_cast<Mutex>(ref));
        }
        ++m.count;
        const bool abandoned = m.abandoned;
        m.abandoned = false;
        return abandoned;
    }
    return false;
}

template <typename T, typename Make>
HANDLE CreateNamed(const char* api, LPCWSTR name, ObjectKind kind, Make make) {
    DWORD error = ERROR_NOT_ENOUGH_MEMORY;
    if (WinplatShouldFail(api, &error)) {
        SetLastError(error);
        return nullptr;
    }
    std::wstring key;
    if (name != nullptr && *name != L'\0') {
        key = name;
        if (key.size() > MAX_PATH) {
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            return nullptr;
        }
    }
    std::unique_lock<std::mutex> guard(KernelLock());
    Kernel& k = TheKernel();
    if (!key.empty()) {
        if (auto it = k.names.find(key); it != k.names.end()) {
            if (auto existing = it->second.lock()) {
                if (existing->kind != kind) {
                    guard.unlock();
                    SetLastError(ERROR_INVALID_HANDLE);
                    return nullptr;
                }
                HANDLE h = InsertHandleLocked(existing);
                guard.unlock();
                SetLastError(h ? ERROR_ALREADY_EXISTS : ERROR_NOT_ENOUGH_MEMORY);
                return h;
            }
        }
    }
    std::shared_ptr<T> object = make();
    HANDLE h = InsertHandleLocked(object);
    if (h != nullptr && !key.empty()) {
        // A name lives as long as its object; forget the names of destroyed objects.
        std::erase_if(k.names, [](const auto& entry) { return entry.second.expired(); });
        k.names[key] = object;
    }
    guard.unlock();
    SetLastError(h ? ERROR_SUCCESS : ERROR_NOT_ENOUGH_MEMORY);
    return h;
}

std::wstring WideName(LPCSTR name) {
    std::wstring wide;
    if (name != nullptr && !WideFromUtf8(name, &wide)) {
        wide.clear();
        for (const char* p = name; *p; ++p) {
            wide += static_cast<wchar_t>(static_cast<unsigned char>(*p));
        }
    }
    return wide;
}

}  // namespace

}  // namespace winplat

using namespace winplat;

DWORD WINAPI GetLastError(void) {
    return t_thread.lastError;
}

void WINAPI SetLastError(DWORD dwErrCode) {
    t_thread.lastError = dwErrCode;
}

DWORD WINAPI GetCurrentThreadId(void) {
    return CurrentId();
}

DWORD WINAPI GetCurrentProcessId(void) {
    return static_cast<DWORD>(getpid());
}

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState,
                           LPCWSTR lpName) {
    return CreateNamed<Event>("CreateEventW", lpName, ObjectKind::Event, [&] {
        return std::make_shared<Event>(bManualReset != FALSE, bInitialState != FALSE);
    });
}

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState,
                           LPCSTR lpName) {
    const std::wstring name = WideName(lpName);
    return CreateNamed<Event>(
        "CreateEventA", lpName ? name.c_str() : nullptr, ObjectKind::Event,
        [&] { return std::make_shared<Event>(bManualReset != FALSE, bInitialState != FALSE); });
}

namespace {

BOOL SetEventState(HANDLE hEvent, bool signalled) {
    std::unique_lock<std::mutex> guard(KernelLock());
    auto object = LookupHandleLocked(hEvent);
    if (!object || object->kind != ObjectKind::Event) {
        guard.unlock();
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    static_cast<Event&>(*object).signalled = signalled;
    if (signalled) {
        WakeWaitersLocked(object.get());
    }
    return TRUE;
}

HANDLE CreateMutexCommon(const char* api, BOOL bInitialOwner, LPCWSTR name) {
    bool created = false;
    HANDLE h = CreateNamed<Mutex>(api, name, ObjectKind::Mutex, [&] {
        created = true;
        return std::make_shared<Mutex>();
    });
    if (h != nullptr && created && bInitialOwner) {
        const DWORD saved = GetLastError();
        std::lock_guard<std::mutex> guard(KernelLock());
        auto object = LookupHandleLocked(h);
        AcquireLocked(*object, object, CurrentId());
        SetLastError(saved);
    }
    return h;
}

}  // namespace

BOOL WINAPI SetEvent(HANDLE hEvent) {
    return SetEventState(hEvent, true);
}

BOOL WINAPI ResetEvent(HANDLE hEvent) {
    return SetEventState(hEvent, false);
}

HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES, BOOL bInitialOwner, LPCWSTR lpName) {
    return CreateMutexCommon("CreateMutexW", bInitialOwner, lpName);
}

HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL bInitialOwner, LPCSTR lpName) {
    const std::wstring name = WideName(lpName);
    return CreateMutexCommon("CreateMutexA", bInitialOwner, lpName ? name.c_str() : nullptr);
}

BOOL WINAPI ReleaseMutex(HANDLE hMutex) {
    std::unique_lock<std::mutex> guard(KernelLock());
    auto object = LookupHandleLocked(hMutex);
    if (!object || object->kind != ObjectKind::Mutex) {
        guard.unlock();
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    auto& m = static_cast<Mutex&>(*object);
    const DWORD tid = CurrentId();
    if (m.owner != tid || m.count == 0) {
        guard.unlock();
        SetLastError(ERROR_NOT_OWNER);
        return FALSE;
    }
    if (--m.count == 0) {
        m.owner = 0;
        auto& owned = t_thread.owned;
        owned.erase(std::remove_if(owned.begin(), owned.end(),
                                   [&](const std::weak_ptr<Mutex>& w) {
                                       auto p = w.lock();
                                       return !p || p.get() == &m;
                                   }),
                    owned.end());
        WakeWaitersLocked(&m);
    }
    return TRUE;
}

DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                                    DWORD dwMilliseconds) {
    if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || lpHandles == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    // A pseudo-handle stands for an object that never signals while we wait on it.
    static const auto never = std::make_shared<Event>(true, false);
    // On the stack: a wait is on the hot path of every device-service exchange.
    std::array<std::shared_ptr<KernelObject>, MAXIMUM_WAIT_OBJECTS> objects;
    const DWORD tid = CurrentId();
    std::unique_lock<std::mutex> guard(KernelLock());
    for (DWORD i = 0; i < nCount; ++i) {
        objects[i] = IsPseudoHandle(lpHandles[i]) ? never : LookupHandleLocked(lpHandles[i]);
        if (!objects[i] || objects[i]->kind == ObjectKind::Find) {
            guard.unlock();
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        if (bWaitAll) {
            for (DWORD j = 0; j < i; ++j) {
                if (objects[j] == objects[i]) {
                    guard.unlock();
                    SetLastError(ERROR_INVALID_PARAMETER);
                    return WAIT_FAILED;
                }
            }
        }
    }
    Waiter self{{}, objects.data(), nCount};
    std::vector<Waiter*>& waiters = TheKernel().waiters;
    waiters.push_back(&self);
    struct Leave {
        std::vector<Waiter*>& waiters;
        Waiter* self;
        ~Leave() { waiters.erase(std::find(waiters.begin(), waiters.end(), self)); }
    } leave{waiters, &self};  // under the lock: every return below holds it
    const bool timed = dwMilliseconds != INFINITE;
    const uint64_t target =
        timed ? PlatformNowNs() + static_cast<uint64_t>(dwMilliseconds) * 1000000u : 0;
    for (;;) {
        if (bWaitAll) {
            bool all = true;
            for (DWORD i = 0; i < nCount; ++i) {
                all = all && IsSignalledLocked(*objects[i], tid);
            }
            if (all) {
                DWORD result = WAIT_OBJECT_0;
                for (DWORD i = 0; i < nCount; ++i) {
                    if (AcquireLocked(*objects[i], objects[i], tid) && result == WAIT_OBJECT_0) {
                        result = WAIT_ABANDONED_0 + i;
                    }
                }
                return result;
            }
        } else {
            for (DWORD i = 0; i < nCount; ++i) {
                if (IsSignalledLocked(*objects[i], tid)) {
                    return (AcquireLocked(*objects[i], objects[i], tid) ? WAIT_ABANDONED_0
                                                                        : WAIT_OBJECT_0) +
                           i;
                }
            }
        }
        if (!timed) {
            self.cv.wait(guard);
            continue;
        }
        if (PlatformNowNs() >= target) {
            return WAIT_TIMEOUT;
        }
        self.cv.wait_until(guard, RealTimeAt(target));
    }
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    return WaitForMultipleObjects(1, &hHandle, FALSE, dwMilliseconds);
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
    if (IsPseudoHandle(hObject)) {
        return TRUE;
    }
    std::shared_ptr<KernelObject> doomed;  // destroyed outside the lock
    std::unique_lock<std::mutex> guard(KernelLock());
    auto object = LookupHandleLocked(hObject);
    // Searches are closed with FindClose, not CloseHandle.
    if (!object || object->kind == ObjectKind::Find) {
        guard.unlock();
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    Kernel& k = TheKernel();
    const size_t slot = reinterpret_cast<uintptr_t>(hObject) / 4 - 1;
    doomed = std::move(k.slots[slot]);
    k.freeSlots.insert(slot);
    --k.open;
    return TRUE;
}

size_t WinplatOpenHandleCount() {
    std::lock_guard<std::mutex> guard(KernelLock());
    return TheKernel().open;
}
