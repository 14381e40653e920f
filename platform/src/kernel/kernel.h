#pragma once
// Internals shared by the kernel half of the layer. Never seen by driver code.
#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace winplat {

// Threads. Ids are assigned on first use, multiples of 4 as on Windows.
DWORD NewThreadId();
void AdoptThreadId(DWORD id);  // first thing a CreateThread thread does

// Text. Narrow text is UTF-8 throughout the layer.
std::string Utf8FromWide(std::wstring_view text);
bool WideFromUtf8(std::string_view text, std::wstring* out);  // false on malformed input
wchar_t FoldCase(wchar_t c);
bool EqualNoCase(std::wstring_view a, std::wstring_view b);
int CompareNoCase(std::wstring_view a, std::wstring_view b);

// Clock, in platform nanoseconds (scaled time).
uint64_t PlatformNowNs();
// The real instant at which the platform clock reaches `platformNs` at the current scale.
std::chrono::steady_clock::time_point RealTimeAt(uint64_t platformNs);
void OnTimeScaleChanged();  // wakes timed waits and sleeps so they re-aim

// Handle table and kernel objects. One lock guards the table and every object's state,
// which keeps multi-object waits simple and atomic.
enum class ObjectKind { Event, Mutex, Thread, Find };

struct KernelObject {
    explicit KernelObject(ObjectKind k) : kind(k) {}
    virtual ~KernelObject() = default;
    const ObjectKind kind;
};

std::mutex& KernelLock();
std::condition_variable& KernelCv();  // for waits other than on objects (suspension)
// Wakes the object waits that include `object` (every one when null) after a change that
// may signal it; the caller holds KernelLock(). A wait sleeps on a condition of its own,
// so a signal does not wake every waiting thread of the process.
void WakeWaitersLocked(const KernelObject* object);
// Returns NULL when the table is full (caller reports ERROR_NOT_ENOUGH_MEMORY).
HANDLE InsertHandleLocked(std::shared_ptr<KernelObject> object);
std::shared_ptr<KernelObject> LookupHandleLocked(HANDLE h);
std::shared_ptr<KernelObject> LookupHandle(HANDLE h, ObjectKind kind);
bool RemoveHandle(HANDLE h, ObjectKind kind);

bool IsThreadSignalledLocked(const KernelObject& thread);

// Mutexes still owned by the calling thread become abandoned.
void AbandonOwnedMutexes();

// Loader: DLL_THREAD_ATTACH / DLL_THREAD_DETACH to modules that want them.
void NotifyModulesOfThread(DWORD reason);

// Files and environment.
std::string HostPathFor(std::wstring_view windowsPath);
std::string ProgramFolder();
std::string CurrentFolder();
// The entry of `folder` named `name` without regard to case; an exact match wins, then
// the smallest name in byte order. Empty when there is none.
std::string MatchEntry(const std::string& folder, const std::string& name);
bool IsRootFolder(const std::string& hostFolder);  // host root or a mapped drive's folder
// The Windows form of a host path: under a mapped folder it gets the drive letter.
std::wstring WindowsPathFor(const std::string& hostPath);
DWORD AttributesFromMode(unsigned mode);
// Win32 wildcard match (see find.cpp), without regard to case.
bool MatchesWin32Pattern(std::wstring_view pattern, std::wstring_view name);
bool ReadEnvironment(std::string_view name, std::string* value);

}  // namespace winplat
