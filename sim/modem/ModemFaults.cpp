// What the fault plan does to the modem: every point the modem checks (SimModem.h
// lists them) and the effect of each action.

#include <algorithm>

#include "FaultPlan.h"
#include "ModemCore.h"

namespace sim::modem {
namespace {

HRESULT HitResult(const std::optional<FaultHit>& hit) {
    return hit->value != 0 ? static_cast<HRESULT>(hit->value) : E_FAIL;
}

RequestFault RequestFaultOf(const std::optional<FaultHit>& hit) {
    RequestFault fault;
    if (hit && hit->action == FaultAction::Refuse) {
        fault.Refuse = HitResult(hit);
    } else if (hit && hit->action == FaultAction::Fail) {
        fault.Fail = HitResult(hit);
    }
    return fault;
}

const char* CompletionName(PendingKind kind) {
    switch (kind) {
        case PendingKind::OpenCommand:
            return "open-command";
        case PendingKind::CloseCommand:
            return "close-command";
        case PendingKind::Set:
            return "set";
        case PendingKind::Query:
            return "query";
        case PendingKind::OpenData:
            return "open-data";
        case PendingKind::CloseData:
            return "close-data";
        case PendingKind::Write:
            return "write";
        default:
            return "data";
    }
}

}  // namespace

RequestFault SessionFault(bool open, bool data) {
    return RequestFaultOf(FaultPlan::Instance().Check(
        open ? FaultPoint::ModemSessionOpen : FaultPoint::ModemSessionClose,
        data ? "data" : "command"));
}

RequestFault CommandFault(ULONG commandID) {
    return RequestFaultOf(
        FaultPlan::Instance().Check(FaultPoint::ModemCommand, static_cast<int64_t>(commandID)));
}

void ShapeResponse(ULONG commandID, Pending* pending) {
    const auto shape =
        FaultPlan::Instance().Check(FaultPoint::ModemResponse, static_cast<int64_t>(commandID));
    if (!shape) {
        return;
    }
    Pending& p = *pending;
    if (shape->action == FaultAction::Oversize) {
        p.Data.resize(static_cast<size_t>(shape->value));
        for (size_t i = 0; i < p.Data.size(); ++i) {
            p.Data[i] = static_cast<uint8_t>(i);
        }
        p.HasArray = true;
    } else if (shape->action == FaultAction::Empty) {
        p.Data.clear();
        p.HasArray = true;
    } else if (shape->action == FaultAction::Missing) {
        p.Data.clear();
        p.HasArray = false;
    }
}

WriteFault FlashWriteFault() {
    const auto hit = FaultPlan::Instance().Check(FaultPoint::ModemWrite);
    WriteFault fault;
    if (hit && hit->action == FaultAction::Fail) {
        fault.Fail = HitResult(hit);
    } else if (hit && hit->action == FaultAction::Corrupt) {
        fault.CorruptOffset = hit->value;
    }
    return fault;
}

void CorruptByte(std::vector<uint8_t>* bytes, int64_t offset) {
    if (!bytes->empty()) {
        (*bytes)[static_cast<size_t>(offset) % bytes->size()] ^= 0xFF;
    }
}

NotificationShape ShapeNotification(std::vector<uint8_t> bytes) {
    const auto hit = FaultPlan::Instance().Check(FaultPoint::ModemNotify);
    NotificationShape shape;
    size_t pieceSize = bytes.size();
    if (hit) {
        const FaultAction action = hit->action;
        if (action == FaultAction::Drop) {
            shape.Drop = true;
            return shape;
        } else if (action == FaultAction::Duplicate) {
            shape.Copies = 2;
        } else if (action == FaultAction::Split) {
            pieceSize = hit->value > 0 ? static_cast<size_t>(hit->value)
                                       : std::max<size_t>(1, (bytes.size() + 1) / 2);
        } else if (action == FaultAction::Oversize) {
            if (static_cast<size_t>(hit->value) > bytes.size()) {
                bytes.resize(static_cast<size_t>(hit->value), 0xEE);
            }
            pieceSize = bytes.size();
        } else if (action == FaultAction::Empty) {
            bytes.clear();
        } else if (action == FaultAction::Missing) {
            bytes.clear();
            shape.HasArray = false;
        } else if (action == FaultAction::Corrupt) {
            CorruptByte(&bytes, hit->value);
        } else if (action == FaultAction::Delay) {
            shape.DelayMs = static_cast<ULONGLONG>(hit->value);
        }
    }
    if (bytes.empty() || pieceSize >= bytes.size()) {
        shape.Pieces.push_back(std::move(bytes));
    } else {
        for (size_t at = 0; at < bytes.size(); at += pieceSize) {
            const size_t n = std::min(pieceSize, bytes.size() - at);
            shape.Pieces.emplace_back(bytes.begin() + at, bytes.begin() + at + n);
        }
    }
    return shape;
}

std::optional<ULONGLONG> CompletionDelay(PendingKind kind) {
    const auto hit = FaultPlan::Instance().Check(FaultPoint::ModemComplete, CompletionName(kind));
    ULONGLONG delay = 0;
    if (hit) {
        if (hit->action == FaultAction::Drop) {
            return std::nullopt;
        }
        if (hit->action == FaultAction::Delay) {
            delay += static_cast<ULONGLONG>(hit->value);
        }
    }
    return delay;
}

bool SilencedByPlan() {
    return FaultPlan::Instance().Check(FaultPoint::ModemSilent).has_value();
}

}  // namespace sim::modem
