#include "BootLoader.h"

#include <algorithm>

#include "FirmwareImage.h"

using flashproto::AckStatus;
using flashproto::Frame;
using flashproto::FrameType;

struct BootLoader::State {
    std::string FirmwareVersion;
    uint32_t ExecTokens = 0;
    bool Ready = false;
    bool SessionOpen = false;
    std::string SessionVersionText;
    std::vector<ItemRecord> Items;
    int OpenItem = -1;  // position in Items of the item receiving data, or -1
    uint32_t Commits = 0;
    uint64_t BytesReceived = 0;
    uint64_t Requests = 0;
    uint64_t Retransmissions = 0;
    bool HaveLastSeq = false;
    uint16_t LastSeq = 0;
    std::vector<uint8_t> LastReply;
};

BootLoader::BootLoader(std::string firmwareVersion) : m_State(std::make_unique<State>()) {
    m_State->FirmwareVersion = std::move(firmwareVersion);
}

BootLoader::~BootLoader() = default;

void BootLoader::SetReplyHandler(ReplyHandler handler) {
    std::lock_guard receive(m_ReceiveLock);
    m_Handler = std::move(handler);
}

void BootLoader::Reset() {
    std::lock_guard receive(m_ReceiveLock);
    m_Reader.Clear();
    std::lock_guard state(m_StateLock);
    m_State->ExecTokens = 0;
    m_State->Ready = false;
    m_State->SessionOpen = false;
    m_State->OpenItem = -1;
    m_State->HaveLastSeq = false;
    m_State->LastReply.clear();
}

void BootLoader::Receive(const uint8_t* data, size_t length) {
    std::lock_guard receive(m_ReceiveLock);
    {
        std::lock_guard state(m_StateLock);
        m_State->BytesReceived += length;
    }
    if (data == nullptr || length == 0) {
        return;
    }
    m_Reader.Feed(std::span<const uint8_t>(data, length));
    while (auto item = m_Reader.Next()) {
        std::vector<uint8_t> reply;
        if (item->IsExec) {
            std::lock_guard state(m_StateLock);
            // A new handshake always starts over: the host is booting us again.
            if (m_State->Ready) {
                m_State->Ready = false;
                m_State->ExecTokens = 0;
            }
            if (++m_State->ExecTokens == flashproto::kExecCount) {
                m_State->Ready = true;
                m_State->SessionOpen = false;
                m_State->OpenItem = -1;
                m_State->HaveLastSeq = false;
                Frame ready{FrameType::Ready, 0, 0, {}};
                flashproto::PutU16(ready.Payload, flashproto::kProtocolVersion);
                flashproto::PutU16(ready.Payload, static_cast<uint16_t>(flashproto::kMaxPayload));
                reply = flashproto::Encode(ready);
            }
        } else {
            HandleFrame(item->Packet, reply);
        }
        if (!reply.empty() && m_Handler) {
            for (size_t off = 0; off < reply.size(); off += kMaxReplyChunk) {
                m_Handler(reply.data() + off, std::min(kMaxReplyChunk, reply.size() - off));
            }
        }
    }
}

void BootLoader::HandleFrame(const Frame& request, std::vector<uint8_t>& reply) {
    std::lock_guard lock(m_StateLock);
    State& s = *m_State;
    if (!s.Ready) {
        return;  // not booted: a loader that has not handshaken stays silent
    }
    if (s.HaveLastSeq && request.Seq == s.LastSeq) {
        ++s.Retransmissions;
        reply = s.LastReply;
        return;
    }
    ++s.Requests;
    AckStatus status = AckStatus::Ok;
    uint32_t detail = 0;
    const std::vector<uint8_t>& p = request.Payload;
    auto open = [&]() -> ItemRecord* {
        return s.OpenItem >= 0 ? &s.Items[static_cast<size_t>(s.OpenItem)] : nullptr;
    };

    switch (request.Type) {
        case FrameType::SessionStart:
            if (p.size() < 4) {
                status = AckStatus::Malformed;
                break;
            }
            s.SessionOpen = true;
            s.SessionVersionText.assign(p.begin() + 4, p.end());
            s.Items.clear();
            s.OpenItem = -1;
            break;
        case FrameType::ItemBegin: {
            if (!s.SessionOpen) {
                status = AckStatus::NoSession;
                break;
            }
            if (p.size() < 16) {
                status = AckStatus::Malformed;
                break;
            }
            ItemRecord r;
            r.Index = flashproto::GetU32(p.data());
            r.MemoryClass = flashproto::GetU32(p.data() + 4);
            r.DeclaredSize = flashproto::GetU32(p.data() + 8);
            r.DeclaredChecksum = flashproto::GetU32(p.data() + 12);
            r.Name.assign(p.begin() + 16, p.end());
            s.Items.push_back(std::move(r));
            s.OpenItem = static_cast<int>(s.Items.size() - 1);
            break;
        }
        case FrameType::ItemData: {
            ItemRecord* r = open();
            if (!s.SessionOpen) {
                status = AckStatus::NoSession;
            } else if (p.size() < 4) {
                status = AckStatus::Malformed;
            } else if (r == nullptr) {
                status = AckStatus::BadItem;
            } else if (flashproto::GetU32(p.data()) != r->BytesReceived) {
                status = AckStatus::BadOffset;
            } else if (p.size() - 4 > r->DeclaredSize - r->BytesReceived) {
                status = AckStatus::Overrun;
            } else {
                const std::span<const uint8_t> block(p.data() + 4, p.size() - 4);
                r->ReceivedChecksum = flashproto::Crc32(block, r->ReceivedChecksum);
                r->BytesReceived += static_cast<uint32_t>(block.size());
                detail = r->BytesReceived;
            }
            break;
        }
        case FrameType::ItemEnd: {
            ItemRecord* r = open();
            if (!s.SessionOpen) {
                status = AckStatus::NoSession;
            } else if (p.size() < 4) {
                status = AckStatus::Malformed;
            } else if (r == nullptr || flashproto::GetU32(p.data()) != r->Index) {
                status = AckStatus::BadItem;
            } else {
                r->Ended = true;
                if (r->BytesReceived != r->DeclaredSize) {
                    status = AckStatus::Incomplete;
                } else if (r->ReceivedChecksum != r->DeclaredChecksum) {
                    status = AckStatus::ChecksumMismatch;
                } else {
                    r->Verified = true;
                }
                s.OpenItem = -1;
            }
            break;
        }
        case FrameType::EndOfProcess: {
            if (!s.SessionOpen) {
                status = AckStatus::NoSession;
                break;
            }
            const bool allVerified = std::all_of(s.Items.begin(), s.Items.end(),
                                                 [](const ItemRecord& r) { return r.Verified; });
            if (!allVerified) {
                status = AckStatus::NotCommitted;
                break;
            }
            s.FirmwareVersion = VersionTokenOf(s.SessionVersionText);
            s.SessionOpen = false;
            ++s.Commits;
            break;
        }
        default:
            status = AckStatus::UnknownType;
            break;
    }

    Frame ack{FrameType::Ack, static_cast<uint8_t>(status), request.Seq, {}};
    flashproto::PutU32(ack.Payload, detail);
    reply = flashproto::Encode(ack);
    s.HaveLastSeq = true;
    s.LastSeq = request.Seq;
    s.LastReply = reply;
}

std::string BootLoader::FirmwareVersion() const {
    std::lock_guard lock(m_StateLock);
    return m_State->FirmwareVersion;
}

std::vector<BootLoader::ItemRecord> BootLoader::Items() const {
    std::lock_guard lock(m_StateLock);
    return m_State->Items;
}

bool BootLoader::Ready() const {
    std::lock_guard lock(m_StateLock);
    return m_State->Ready;
}

bool BootLoader::SessionOpen() const {
    std::lock_guard lock(m_StateLock);
    return m_State->SessionOpen;
}

std::string BootLoader::SessionVersionText() const {
    std::lock_guard lock(m_StateLock);
    return m_State->SessionVersionText;
}

uint32_t BootLoader::CommitCount() const {
    std::lock_guard lock(m_StateLock);
    return m_State->Commits;
}

uint32_t BootLoader::ExecTokensSeen() const {
    std::lock_guard lock(m_StateLock);
    return m_State->ExecTokens;
}

uint64_t BootLoader::BytesReceived() const {
    std::lock_guard lock(m_StateLock);
    return m_State->BytesReceived;
}

uint64_t BootLoader::RequestsHandled() const {
    std::lock_guard lock(m_StateLock);
    return m_State->Requests;
}

uint64_t BootLoader::Retransmissions() const {
    std::lock_guard lock(m_StateLock);
    return m_State->Retransmissions;
}
