#include <windows.h>
#include <winplat/faults.h>
#include <winplat/stats.h>

#include <pthread.h>

#include <atomic>

#include "kernel/kernel.h"

namespace winplat {
namespace {

struct Thread : KernelObject {
    Thread() : KernelObject(ObjectKind::Thread) {}
    DWORD id = 0;                              // written before the thread starts
    LPTHREAD_START_ROUTINE routine = nullptr;  // written before the thread starts
    LPVOID parameter = nullptr;                // written before the thread starts
    ULONG suspendCount = 0;                    // guarded by KernelLock()
    bool exited = false;                       // guarded by KernelLock()
    DWORD exitCode = STILL_ACTIVE;             // guarded by KernelLock()
};

std::atomic<size_t> g_liveThreads{0};

void* ThreadMain(void* arg) {
    // The thread's own reference keeps the object alive after every handle is closed.
    std::shared_ptr<Thread> self(std::move(*static_cast<std::shared_ptr<Thread>*>(arg)));
    delete static_cast<std::shared_ptr<Thread>*>(arg);
    AdoptThreadId(self->id);
    {
        std::unique_lock<std::mutex> guard(KernelLock());
        KernelCv().wait(guard, [&] { return self->suspendCount == 0; });
    }
    NotifyModulesOfThread(DLL_THREAD_ATTACH);
    const DWORD code = self->routine(self->parameter);
    NotifyModulesOfThread(DLL_THREAD_DETACH);
    // Abandon before signalling, so whoever waits on the thread sees its mutexes free.
    AbandonOwnedMutexes();
    g_liveThreads.fetch_sub(1);
    std::lock_guard<std::mutex> guard(KernelLock());
    self->exitCode = code;
    self->exited = true;
    WakeWaitersLocked(self.get());
    return nullptr;
}

std::shared_ptr<Thread> LookupThread(HANDLE h) {
    auto object = LookupHandle(h, ObjectKind::Thread);
    return std::static_pointer_cast<Thread>(object);
}

}  // namespace

bool IsThreadSignalledLocked(const KernelObject& thread) {
    return static_cast<const Thread&>(thread).exited;
}

}  // namespace winplat

using namespace winplat;

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T dwStackSize,
                           LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                           DWORD dwCreationFlags, LPDWORD lpThreadId) {
    DWORD error = ERROR_NOT_ENOUGH_MEMORY;
    if (WinplatShouldFail("CreateThread", &error)) {
        SetLastError(error);
        return nullptr;
    }
    if (lpStartAddress == nullptr) {
        // Windows would start a thread that faults at once.
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto thread = std::make_shared<Thread>();
    thread->id = NewThreadId();
    thread->routine = lpStartAddress;
    thread->parameter = lpParameter;
    thread->suspendCount = (dwCreationFlags & CREATE_SUSPENDED) ? 1 : 0;

    HANDLE h;
    {
        std::lock_guard<std::mutex> guard(KernelLock());
        h = InsertHandleLocked(thread);
    }
    if (h == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    size_t defaultStack = 0;
    pthread_attr_getstacksize(&attr, &defaultStack);
    // Windows rounds small requests up; only a larger request than the default matters.
    if (dwStackSize > defaultStack) {
        pthread_attr_setstacksize(&attr, dwStackSize);
    }
    g_liveThreads.fetch_add(1);
    auto* arg = new std::shared_ptr<Thread>(thread);
    pthread_t native;
    const int rc = pthread_create(&native, &attr, ThreadMain, arg);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        delete arg;
        g_liveThreads.fetch_sub(1);
        RemoveHandle(h, ObjectKind::Thread);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (lpThreadId != nullptr) {
        *lpThreadId = thread->id;
    }
    return h;
}

DWORD WINAPI ResumeThread(HANDLE hThread) {
    auto thread = LookupThread(hThread);
    if (!thread) {
        SetLastError(ERROR_INVALID_HANDLE);
        return static_cast<DWORD>(-1);
    }
    std::lock_guard<std::mutex> guard(KernelLock());
    const DWORD previous = thread->suspendCount;
    if (previous > 0 && --thread->suspendCount == 0) {
        KernelCv().notify_all();
    }
    return previous;
}

BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
    auto thread = LookupThread(hThread);
    if (!thread) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (lpExitCode == nullptr) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    std::lock_guard<std::mutex> guard(KernelLock());
    *lpExitCode = thread->exitCode;
    return TRUE;
}

DWORD WINAPI GetThreadId(HANDLE Thread) {
    auto thread = LookupThread(Thread);
    if (!thread) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return thread->id;
}

size_t WinplatLiveThreadCount() {
    return g_liveThreads.load();
}
