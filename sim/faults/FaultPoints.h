#pragma once
// The names a fault plan may use: every component's fault points, the actions each point
// takes and the detail it matches on. The tables live in this library rather than in the
// components, so that the host program can refuse a misspelled plan before it loads the
// stand-in Flashkit.dll that checks half of them.

#include <cstdint>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

// clang-format off
// Actions, one list for all components; each point takes the few that it implements.
#define SIM_FAULT_ACTIONS(X) \
    X(Kill, "kill")          \
    X(Fail, "fail")          \
    X(Refuse, "refuse")      \
    X(Drop, "drop")          \
    X(Delay, "delay")        \
    X(Duplicate, "duplicate") \
    X(Split, "split")        \
    X(Oversize, "oversize")  \
    X(Empty, "empty")        \
    X(Missing, "missing")    \
    X(Corrupt, "corrupt")    \
    X(On, "on")              \
    X(Status1, "status1")    \
    X(Hang, "hang")          \
    X(Null, "null")          \
    X(Lazy, "lazy")

// Points, grouped by the component that checks them.
#define SIM_FAULT_POINTS(X)                              \
    X(ModemSessionOpen, "modem.session.open")            \
    X(ModemSessionClose, "modem.session.close")          \
    X(ModemCommand, "modem.command")                     \
    X(ModemComplete, "modem.complete")                   \
    X(ModemResponse, "modem.response")                   \
    X(ModemWrite, "modem.write")                         \
    X(ModemNotify, "modem.notify")                       \
    X(ModemSilent, "modem.silent")                       \
    X(FlashkitBootCall, "flashkit.boot_call")            \
    X(FlashkitDownloadCall, "flashkit.download_call")    \
    X(FlashkitBoot, "flashkit.boot")                     \
    X(FlashkitItem, "flashkit.item")                     \
    X(FlashkitBlock, "flashkit.block")                   \
    X(FlashkitEnd, "flashkit.end")                       \
    X(StoreWrite, "store.write")                         \
    X(HostDeviceQi, "host.device.qi")                    \
    X(HostDeviceInstanceId, "host.device.instanceid")    \
    X(HostStoreRetrieve, "host.store.retrieve")
// clang-format on

#define SIM_FAULT_ENUM(id, name) id,
enum class FaultAction : uint8_t { SIM_FAULT_ACTIONS(SIM_FAULT_ENUM) };
enum class FaultPoint : uint8_t { SIM_FAULT_POINTS(SIM_FAULT_ENUM) };
#undef SIM_FAULT_ENUM

// What a point's match is: nothing, a number (an item index, a command id), one of a
// fixed set of words, or any name (a value name: the plan cannot know them all).
enum class FaultMatch : uint8_t { None, Number, OneOf, Name };

struct FaultActionUse {
    FaultAction action;
    const char* value;   // what =VALUE means, nullptr when the action takes none
    const char* effect;  // one line for the help
};

struct FaultPointInfo {
    FaultPoint point;
    FaultMatch match;
    const char* matches;  // OneOf: the words, '|'-separated; otherwise what the match is
    std::span<const FaultActionUse> actions;  // "kill" comes on top, at every point
};

std::string_view FaultActionName(FaultAction action);
std::string_view FaultPointName(FaultPoint point);
std::string_view FaultPointId(FaultPoint point);  // the enumerator, as the sources spell it
const FaultPointInfo& FaultPointInfoOf(FaultPoint point);
std::span<const FaultPointInfo> FaultPoints();

// The platform APIs an "api.NAME" rule can name; none where the platform is Windows.
std::vector<std::string> FaultableApis();

// The text form's points and actions, with what each does; `brelk-sim faults` prints it.
void PrintFaultPoints(std::ostream& out);

}  // namespace sim
