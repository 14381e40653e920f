#pragma once
// The values the driver keeps in its device node's hardware key, and the progress states
// it writes there, as the simulated machine, the tools and the tests read and set them.
// The driver keeps its own definitions; the state suite checks that the two agree.

namespace persisted {

inline constexpr wchar_t kProgressStateName[] = L"FWUpdateProgressState";
inline constexpr wchar_t kRetryCounterName[] = L"FWURetryCounter";
inline constexpr wchar_t kPrevFwVersionName[] = L"PrevFwVersion";
// The same names as narrow text, for command lines, scripts and fault-plan matches.
inline constexpr char kProgressStateText[] = "FWUpdateProgressState";
inline constexpr char kRetryCounterText[] = "FWURetryCounter";
inline constexpr char kPrevFwVersionText[] = "PrevFwVersion";

// The progress states the driver persists (any other value reads as failed).
inline constexpr int kStateNone = 0;
inline constexpr int kStatePending = 1;
inline constexpr int kStateDownloading = 2;
inline constexpr int kStateCompleted = 3;
inline constexpr int kStateFailed = 4;
inline constexpr int kStateRetriesExhausted = 6;

}  // namespace persisted
