#pragma once
// What the stand-in Flashkit.dll answers beyond the driver's call contract: its result
// codes, the status codes it reports, the parameter codes it understands and the points
// of the fault plan it consults. Tests and tools include this; the driver does not.

#include <cstdint>

namespace flashkit {

// Results of the exported calls.
inline constexpr int32_t kOk = 0;
inline constexpr int32_t kErrNotSupported = -1;  // every export the driver never calls
inline constexpr int32_t kErrArgument = 2;       // null pointer, bad entry text, bad index
inline constexpr int32_t kErrImage = 3;          // image missing or not a valid container
inline constexpr int32_t kErrPort = 4;           // port not open, or no port callbacks
inline constexpr int32_t kErrRefused = 6;        // refused by the fault plan
inline constexpr int32_t kErrTimeout = 7;        // end of process got no answer in time
inline constexpr int32_t kErrLoader = 8;         // the loader answered with an error

// Codes reported through the status callback (the driver acts on 0 and 1 only).
inline constexpr int32_t kStatusDone = 0;
inline constexpr int32_t kStatusFailed = 1;
inline constexpr int32_t kStatusStarted = 2;
inline constexpr int32_t kStatusProgress = 3;  // text "NN%"

// Parameter codes of ZKTR_DL_set_dll_parameter.
inline constexpr uint8_t kParamPortWrite = 21;
inline constexpr uint8_t kParamPortRead = 22;
inline constexpr uint8_t kParamPortRxAvail = 23;
inline constexpr uint8_t kParamBlockSize = 40;       // data bytes per block; default 16384
inline constexpr uint8_t kParamReplyTimeoutMs = 41;  // one request's wait; default 5000
// Codes 0, 1, 24, 34 and 35 are accepted and kept; they change nothing here.

// The configuration calls the library received since it was loaded, in order, for tests:
// the exported FlashkitStandIn_ConfigCalls copies up to `capacity` of them and returns
// how many there are. A ZKTR_DL_init_callback appears with code kConfigInitCallback and
// the callback's address as its value.
inline constexpr int32_t kConfigInitCallback = -1;
struct ConfigCall {
    int32_t Code;
    uintptr_t Value;
};
using ConfigCallsFn = size_t (*)(ConfigCall* calls, size_t capacity);

// Fault plan points (sim/faults) and their actions. The *_call points act inside the
// exported call; the others on the library thread, after the call returned 0.
//   flashkit.boot_call                      refuse: boot_target answers kErrRefused
//   flashkit.download_call (match: index)   refuse: the download call answers kErrRefused
//   flashkit.boot                   status1 | hang | delay=MS
//   flashkit.item  (match: index)   status1 | hang | delay=MS | corrupt=OFFSET
//   flashkit.block (match: index)   delay=MS, before each data block of the item
//   flashkit.end                    refuse: end of process answers kErrRefused, no commit
// "hang" never reports; the library thread waits until the port closes or the library
// unloads. "corrupt" flips one byte of the item's data on the wire at OFFSET (0 when not
// given), after the library read it intact, so the loader's verify must catch it.

}  // namespace flashkit
