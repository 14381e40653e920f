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
    if (hit && hit->action == "refuse") {
        fault.Refuse = HitResult(hit);
    } else if (hit && hit->action == "fail") {
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
        open ? "modem.session.open" : "modem.session.close", data ? "data" : "command"));
}

RequestFault CommandFault(ULONG commandID) {
    return RequestFaultOf(
        FaultPlan::Instance().Check("modem.command", static_cast<int64_t>(commandID)));
}

void ShapeResponse(ULONG commandID, Pending* pending) {
    const auto shape =
        FaultPlan::Instance().Check("modem.response", static_cast<int64_t>(commandID));
    if (!shape) {
        return;
    }
    Pending& p = *pending;
    if (shape->action == "oversize") {
        p.Data.resize(static_cast<size_t>(shape->value));
        for (size_t i = 0; i < p.Data.size(); ++i) {
            p.Data[i] = static_cast<uint8_t>(i);
        }
        p.HasArray = true;
    } else if (shape->action == "empty") {
        p.Data.clear();
        p.HasArray = true;
    } else if (shape->action == "missing") {
        p.Data.clear();
        p.HasArray = false;
    }
}

WriteFault FlashWriteFault() {
    const auto hit = FaultPlan::Instance().Check("modem.write");
    WriteFault fault;
    if (hit && hit->action == "fail") {
        fault.Fail = HitResult(hit);
    } else if (hit && hit->action == "corrupt") {
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
    const auto hit = FaultPlan::Instance().Check("modem.notify");
    NotificationShape shape;
    size_t pieceSize = bytes.size();
    if (hit) {
        const std::string& action = hit->action;
        if (action == "drop") {
            shape.Drop = true;
            return shape;
        } else if (action == "duplicate") {
            shape.Copies = 2;
        } else if (action == "split") {
            pieceSize = hit->value > 0 ? static_cast<size_t>(hit->value)
                                       : std::max<size_t>(1, (bytes.size() + 1) / 2);
        } else if (action == "oversize") {
            if (static_cast<size_t>(hit->value) > bytes.size()) {
                bytes.resize(static_cast<size_t>(hit->value), 0xEE);
            }
            pieceSize = bytes.size();
        } else if (action == "empty") {
            bytes.clear();
        } else if (action == "missing") {
            bytes.clear();
            shape.HasArray = false;
        } else if (action == "corrupt") {
            CorruptByte(&bytes, hit->value);
        } else if (action == "delay") {
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
    const auto hit = FaultPlan::Instance().Check("modem.complete", CompletionName(kind));
    ULONGLONG delay = 0;
    if (hit) {
        if (hit->action == "drop") {
            return std::nullopt;
        }
        if (hit->action == "delay") {
            delay += static_cast<ULONGLONG>(hit->value);
        }
    }
    return delay;
}

bool SilencedByPlan() {
    return FaultPlan::Instance().Check("modem.silent").has_value();
}

}  // namespace sim::modem
