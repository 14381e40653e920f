#include "FaultPoints.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace sim {

namespace {

using A = FaultAction;
using M = FaultMatch;

#define SIM_FAULT_NAME(id, name) name,
#define SIM_FAULT_ID(id, name) #id,
constexpr const char* kActionNames[] = {SIM_FAULT_ACTIONS(SIM_FAULT_NAME)};
constexpr const char* kPointNames[] = {SIM_FAULT_POINTS(SIM_FAULT_NAME)};
constexpr const char* kPointIds[] = {SIM_FAULT_POINTS(SIM_FAULT_ID)};
#undef SIM_FAULT_NAME
#undef SIM_FAULT_ID

// The simulated modem (sim/modem).
constexpr FaultActionUse kModemSession[] = {
    {A::Refuse, "HR", "the request call fails with HR (E_FAIL)"},
    {A::Fail, "HR", "the completion reports HR (E_FAIL)"},
};
constexpr FaultActionUse kModemCommand[] = {
    {A::Refuse, "HR", "the request call fails with HR (E_FAIL)"},
    {A::Fail, "HR", "the completion reports HR (E_FAIL), with no data"},
};
constexpr FaultActionUse kModemComplete[] = {
    {A::Drop, nullptr, "the completion never comes"},
    {A::Delay, "MS", "the completion comes MS milliseconds late"},
};
constexpr FaultActionUse kModemResponse[] = {
    {A::Oversize, "N", "the response carries N bytes"},
    {A::Empty, nullptr, "the response has no elements"},
    {A::Missing, nullptr, "the response has no array"},
};
constexpr FaultActionUse kModemWrite[] = {
    {A::Corrupt, "OFFSET", "the loader gets the byte at OFFSET (0) flipped"},
    {A::Fail, "HR", "the loader gets nothing; the completion reports HR (E_FAIL)"},
};
constexpr FaultActionUse kModemNotify[] = {
    {A::Drop, nullptr, "the data notification is lost"},
    {A::Duplicate, nullptr, "it comes twice"},
    {A::Split, "N", "it comes in pieces of N bytes (half)"},
    {A::Oversize, "N", "it is padded to N bytes"},
    {A::Empty, nullptr, "it carries no bytes"},
    {A::Missing, nullptr, "it carries no array"},
    {A::Corrupt, "OFFSET", "the byte at OFFSET (0) is flipped"},
    {A::Delay, "MS", "it comes MS milliseconds late"},
};
constexpr FaultActionUse kModemSilent[] = {
    {A::On, nullptr, "from then on the modem delivers nothing"},
};

// The Flashkit stand-in (sim/flashkit). The *_call points act inside the exported call,
// the others on the library's thread after the call returned.
constexpr FaultActionUse kFlashkitRefuse[] = {
    {A::Refuse, nullptr, "the call answers kErrRefused"},
};
constexpr FaultActionUse kFlashkitBoot[] = {
    {A::Status1, nullptr, "the boot reports status 1"},
    {A::Hang, nullptr, "it never reports (until the port closes)"},
    {A::Delay, "MS", "it starts MS milliseconds late"},
};
constexpr FaultActionUse kFlashkitItem[] = {
    {A::Status1, nullptr, "the download reports status 1"},
    {A::Hang, nullptr, "it never reports (until the port closes)"},
    {A::Delay, "MS", "it starts MS milliseconds late"},
    {A::Corrupt, "OFFSET", "the item's byte at OFFSET (0) is flipped on the wire"},
};
constexpr FaultActionUse kFlashkitBlock[] = {
    {A::Delay, "MS", "each data block of the item waits MS milliseconds"},
};
constexpr FaultActionUse kFlashkitEnd[] = {
    {A::Refuse, nullptr, "end of process answers kErrRefused; nothing is committed"},
};

// The machine's property store (sim/store).
constexpr FaultActionUse kStoreWrite[] = {
    {A::Fail, "HR", "the write fails with HR (E_FAIL)"},
    {A::Lazy, "N", "the write is lost by a kill within the process's next N writes"},
};

// The framework host (sim/host).
constexpr FaultActionUse kHostQi[] = {
    {A::Fail, "HR", "QueryInterface answers HR (E_NOINTERFACE)"},
    {A::Null, nullptr, "it answers S_OK and no interface"},
};
constexpr FaultActionUse kHostFail[] = {
    {A::Fail, "HR", "the call answers HR (E_FAIL)"},
};

constexpr FaultPointInfo kPoints[] = {
    {FaultPoint::ModemSessionOpen, M::OneOf, "command|data", kModemSession},
    {FaultPoint::ModemSessionClose, M::OneOf, "command|data", kModemSession},
    {FaultPoint::ModemCommand, M::Number, "command id", kModemCommand},
    {FaultPoint::ModemComplete, M::OneOf,
     "open-command|close-command|set|query|open-data|close-data|write", kModemComplete},
    {FaultPoint::ModemResponse, M::Number, "command id", kModemResponse},
    {FaultPoint::ModemWrite, M::None, "", kModemWrite},
    {FaultPoint::ModemNotify, M::None, "", kModemNotify},
    {FaultPoint::ModemSilent, M::None, "", kModemSilent},
    {FaultPoint::FlashkitBootCall, M::None, "", kFlashkitRefuse},
    {FaultPoint::FlashkitDownloadCall, M::Number, "item index", kFlashkitRefuse},
    {FaultPoint::FlashkitBoot, M::None, "", kFlashkitBoot},
    {FaultPoint::FlashkitItem, M::Number, "item index", kFlashkitItem},
    {FaultPoint::FlashkitBlock, M::Number, "item index", kFlashkitBlock},
    {FaultPoint::FlashkitEnd, M::None, "", kFlashkitEnd},
    {FaultPoint::StoreWrite, M::Name, "value name", kStoreWrite},
    {FaultPoint::HostDeviceQi, M::OneOf, "IWDFPropertyStoreFactory|IWDFUnifiedPropertyStoreFactory",
     kHostQi},
    {FaultPoint::HostDeviceInstanceId, M::None, "", kHostFail},
    {FaultPoint::HostStoreRetrieve, M::None, "", kHostFail},
};

static_assert(std::size(kPoints) == std::size(kPointNames), "a point without its table");

}  // namespace

std::string_view FaultActionName(FaultAction action) {
    return kActionNames[static_cast<size_t>(action)];
}

std::string_view FaultPointName(FaultPoint point) {
    return kPointNames[static_cast<size_t>(point)];
}

std::string_view FaultPointId(FaultPoint point) {
    return kPointIds[static_cast<size_t>(point)];
}

const FaultPointInfo& FaultPointInfoOf(FaultPoint point) {
    const FaultPointInfo& info = kPoints[static_cast<size_t>(point)];
    if (info.point != point) {
        std::fprintf(stderr, "fault point table out of order at %s\n",
                     kPointNames[static_cast<size_t>(info.point)]);
        std::abort();
    }
    return info;
}

std::span<const FaultPointInfo> FaultPoints() {
    return kPoints;
}

void PrintFaultPoints(std::ostream& out) {
    out << "Fault plan: rules joined by ';', each POINT[/MATCH]:ACTION[=VALUE][@PASS][xCOUNT]\n"
           "(PASS matching calls go through, then the rule fires COUNT times, default 1,\n"
           "x* for ever). VALUE is decimal or 0x-hex; MATCH may list alternatives a|b.\n"
           "Every point also takes kill[=MS]: the process ends at once (or MS platform\n"
           "milliseconds later), as by a power loss. [=VALUE] may be left out; what it\n"
           "then is comes in parentheses.\n\n";
    for (const FaultPointInfo& info : kPoints) {
        out << FaultPointName(info.point);
        if (info.match != FaultMatch::None) {
            out << "/<" << info.matches << ">";
        }
        out << "\n";
        for (const FaultActionUse& use : info.actions) {
            std::string head = "    " + std::string(FaultActionName(use.action));
            if (use.value != nullptr) {
                head += std::string("[=") + use.value + "]";
            }
            head.resize(std::max<size_t>(head.size() + 1, 22), ' ');
            out << head << use.effect << "\n";
        }
    }
    out << "api.<API>\n"
           "    fail[=ERROR]      the platform's API fails as Windows does, with last error\n"
           "                      ERROR (8, ERROR_NOT_ENOUGH_MEMORY); no MATCH; one rule per\n"
           "                      API, which is one of:\n";
    std::string line;
    for (const std::string& api : FaultableApis()) {
        if (!line.empty() && line.size() + api.size() > 80) {
            out << line << "\n";
            line.clear();
        }
        line += (line.empty() ? "                      " : " ") + api;
    }
    out << (line.empty() ? "                      (none in this build)" : line) << "\n";
}

}  // namespace sim
