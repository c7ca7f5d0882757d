#include "drivers/sim/board_model.h"

#include <algorithm>
#include <cstring>

#include "drivers/sim/trace.h"

namespace vek::sim {

namespace {

uint32_t Le32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}
void PutLe32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Endpoint descriptors of one configuration blob; stops at a descriptor whose
// bLength is below 2 or runs past the blob.
void CollectEndpoints(const Bytes &blob, std::map<uint8_t, EndpointInfo> &out) {
    size_t at = 0;
    while (at + 2 <= blob.size()) {
        const uint8_t length = blob[at];
        if (length < 2 || at + length > blob.size()) break;
        if (blob[at + 1] == 5 && length >= 7) {
            EndpointInfo info;
            info.address = blob[at + 2];
            info.attributes = blob[at + 3];
            const uint32_t w = static_cast<uint32_t>(blob[at + 4]) | static_cast<uint32_t>(blob[at + 5]) << 8;
            info.maxPacketSize = (w & 0x7FFu) * (((w >> 11) & 3u) + 1);
            if (info.address != 0) out.emplace(info.address, info);
        }
        at += length;
    }
}

}  // namespace

BoardModel::BoardModel(int id, BoardSetup setup) : id_(id), setup_(std::move(setup)), ram_(kControllerRamSize, 0) {
    for (const Bytes &config : setup_.descriptors.configurations) CollectEndpoints(config, endpoints_);
    registers_[reg::kBoardType] = setup_.identity.boardType;
}

std::optional<EndpointInfo> BoardModel::FindEndpoint(uint8_t address) const {
    if (address == 0) {
        uint32_t mps = setup_.descriptors.device.size() > 7 ? setup_.descriptors.device[7] : 64;
        return EndpointInfo{0, 0, mps};
    }
    auto it = endpoints_.find(address);
    if (it == endpoints_.end()) return std::nullopt;
    return it->second;
}

void BoardModel::Notify(uint8_t endpoint) {
    InListener listener;
    {
        std::lock_guard lock(mutex_);
        listener = listener_;
    }
    if (listener) listener(endpoint);
}

void BoardModel::SetInListener(InListener listener) {
    std::lock_guard lock(mutex_);
    listener_ = std::move(listener);
}

// ---- Control pipe -----------------------------------------------------------

Result BoardModel::StandardRequestLocked(const ControlSetup &s, uint8_t *data, uint32_t length) {
    const bool in = (s.bmRequestType & 0x80) != 0;
    const uint32_t want = std::min<uint32_t>(length, s.wLength);
    auto reply = [&](const uint8_t *bytes, size_t size) {
        const uint32_t n = std::min<uint32_t>(want, static_cast<uint32_t>(size));
        if (n > 0) std::memcpy(data, bytes, n);
        return Result{Status::Ok, n};
    };
    const DescriptorSet &d = setup_.descriptors;
    switch (s.bRequest) {
    case 6: {  // GET_DESCRIPTOR
        if (!in) return {Status::Stall, 0};
        const uint8_t type = static_cast<uint8_t>(s.wValue >> 8);
        const uint8_t index = static_cast<uint8_t>(s.wValue);
        if (type == 1 && !d.device.empty()) return reply(d.device.data(), d.device.size());
        if (type == 2 && index < d.configurations.size())
            return reply(d.configurations[index].data(), d.configurations[index].size());
        if (type == 3) {
            auto it = d.strings.find(index);
            if (it != d.strings.end() && !it->second.empty()) return reply(it->second.data(), it->second.size());
        }
        if (type == 15 && !d.bos.empty()) return reply(d.bos.data(), d.bos.size());
        return {Status::Stall, 0};
    }
    case 0: {  // GET_STATUS
        if (!in) return {Status::Stall, 0};
        const uint8_t status[2] = {static_cast<uint8_t>((s.bmRequestType & 0x1F) == 2 && halted_[s.wIndex & 0xFF]), 0};
        return reply(status, 2);
    }
    case 8:  // GET_CONFIGURATION
        if (!in) return {Status::Stall, 0};
        return reply(&configuration_, 1);
    case 1:  // CLEAR_FEATURE (ENDPOINT_HALT on an endpoint)
        if (in) return {Status::Stall, 0};
        if ((s.bmRequestType & 0x1F) == 2 && s.wValue == 0) halted_[static_cast<uint8_t>(s.wIndex)] = false;
        return {Status::Ok, 0};
    case 9:  // SET_CONFIGURATION
        if (in) return {Status::Stall, 0};
        configuration_ = static_cast<uint8_t>(s.wValue);
        return {Status::Ok, 0};
    case 11:  // SET_INTERFACE
        if (in) return {Status::Stall, 0};
        return {Status::Ok, 0};
    default:
        return {Status::Stall, 0};
    }
}

Result BoardModel::Control(const ControlSetup &s, uint8_t *data, uint32_t length) {
    Result result{Status::Stall, 0};
    {
        std::lock_guard lock(mutex_);
        const uint8_t type = (s.bmRequestType >> 5) & 3u;
        const bool in = (s.bmRequestType & 0x80) != 0;
        const uint32_t n = std::min<uint32_t>(length, s.wLength);
        if (type == 0) {
            result = StandardRequestLocked(s, data, length);
        } else if (type == 2 && s.bRequest == 0xA0) {
            // The controller's load request: RAM at wValue; bytes past the end are dropped.
            const uint32_t fit = std::min<uint32_t>(n, kControllerRamSize - s.wValue);
            if (in) {
                std::memcpy(data, ram_.data() + s.wValue, fit);
                if (n > fit) std::memset(data + fit, 0, n - fit);
            } else {
                std::memcpy(ram_.data() + s.wValue, data, fit);
            }
            result = {Status::Ok, n};
        }
        VekSimTraceEntry e = MakeEntry(VEK_SIM_TRACE_CONTROL, id_);
        e.bmRequestType = s.bmRequestType;
        e.bRequest = s.bRequest;
        e.wValue = s.wValue;
        e.wIndex = s.wIndex;
        e.wLength = s.wLength;
        e.bytes = result.bytes;
        e.error = result.status == Status::Stall ? 1 : 0;
        Trace::Instance().Record(e);
    }
    return result;
}

// ---- Data pipes -------------------------------------------------------------

bool BoardModel::RegisterPacketLocked(const uint8_t *packet) {
    const uint32_t word = Le32(packet);
    const uint32_t value = Le32(packet + 4);
    const uint32_t address = word & 0x7FFFFFFFu;
    if (word & 0x80000000u) {
        auto it = registers_.find(address);
        const uint32_t content = it == registers_.end() ? 0 : it->second;
        std::vector<uint8_t> reply = std::move(spareChunk_);
        reply.assign(kRegisterPacketBytes, 0);
        PutLe32(reply.data(), address);
        PutLe32(reply.data() + 4, content);
        inQueues_[kEpReplyIn].push_back(std::move(reply));
        VekSimTraceEntry e = MakeEntry(VEK_SIM_TRACE_REGISTER_READ, id_);
        e.address = address;
        e.value = content;
        e.carried = value;
        Trace::Instance().Record(e);
        return true;
    }
    VekSimTraceEntry e = MakeEntry(VEK_SIM_TRACE_REGISTER_WRITE, id_);
    e.address = address;
    e.value = value;
    Trace::Instance().Record(e);
    // Registers the host cannot change (only the test side can).
    if (address == reg::kBoardType || address == reg::kGpioIn || address == reg::kI2cStatus) return false;
    registers_[address] = value;
    if (address == reg::kFrameGo) {
        if (value == 1) {
            auto it = registers_.find(reg::kFrameStart);
            cursor_ = (it == registers_.end() ? 0 : it->second) * 16u;
            frame_ = Frame::Armed;
            return true;
        }
        frame_ = Frame::Idle;
    }
    return false;
}

Result BoardModel::Out(uint8_t endpoint, const uint8_t *data, uint32_t length) {
    bool replyReady = false;
    {
        std::lock_guard lock(mutex_);
        if (endpoint == kEpRegisterOut) {
            for (uint32_t at = 0; at + 8 <= length; at += 8) replyReady |= RegisterPacketLocked(data + at);
        } else if (endpoint == kEpFrameOut) {
            if (frame_ == Frame::Armed) frame_ = Frame::Loading;
            if (frame_ == Frame::Loading) {
                MemoryWriteLocked(cursor_, data, length);
                cursor_ += length;
            }
        } else if (length > 0) {
            std::deque<uint8_t> &kept = outKept_[endpoint];
            kept.insert(kept.end(), data, data + length);
            while (kept.size() > kOutKeep) kept.pop_front();
        }
        VekSimTraceEntry e = MakeEntry(VEK_SIM_TRACE_DATA, id_);
        e.endpoint = endpoint;
        e.direction = 0;
        e.length = length;
        e.bytes = length;
        Trace::Instance().Record(e);
    }
    if (replyReady) Notify(kEpReplyIn);
    return {Status::Ok, length};
}

Result BoardModel::In(uint8_t endpoint, uint8_t *data, uint32_t length, bool isochronous) {
    std::lock_guard lock(mutex_);
    Result result{Status::WouldBlock, 0};
    auto queue = inQueues_.find(endpoint);
    if (queue != inQueues_.end() && !queue->second.empty()) {
        std::vector<uint8_t> &chunk = queue->second.front();
        const uint32_t n = std::min<uint32_t>(length, static_cast<uint32_t>(chunk.size()));
        if (n > 0) std::memcpy(data, chunk.data(), n);
        if (chunk.capacity() <= kRegisterPacketBytes) spareChunk_ = std::move(chunk);
        queue->second.pop_front();
        result = {Status::Ok, n};
    } else if (endpoint == kEpReplyIn && (frame_ == Frame::Armed || frame_ == Frame::Reading)) {
        frame_ = Frame::Reading;
        MemoryReadLocked(cursor_, data, length);
        cursor_ += length;
        result = {Status::Ok, length};
    } else if (isochronous) {
        result = {Status::Ok, 0};
    }
    if (result.status == Status::Ok) {
        VekSimTraceEntry e = MakeEntry(VEK_SIM_TRACE_DATA, id_);
        e.endpoint = endpoint;
        e.direction = 1;
        e.length = length;
        e.bytes = result.bytes;
        Trace::Instance().Record(e);
    }
    return result;
}

bool BoardModel::Halted(uint8_t endpoint) const {
    std::lock_guard lock(mutex_);
    auto it = halted_.find(endpoint);
    return it != halted_.end() && it->second;
}

void BoardModel::SetHalted(uint8_t endpoint, bool halted) {
    std::lock_guard lock(mutex_);
    halted_[endpoint] = halted;
}

// ---- Faults -----------------------------------------------------------------

Fault BoardModel::CountRequest(uint32_t pipe) {
    std::lock_guard lock(mutex_);
    ++counts_[pipe];
    ++totalCount_;
    Fault fired = Fault::None;
    for (auto it = faults_.begin(); it != faults_.end();) {
        if (it->pipe == kAnyPipe || it->pipe == pipe) {
            if (--it->countdown == 0) {
                if (fired == Fault::None) fired = it->kind;
                it = faults_.erase(it);
                continue;
            }
        }
        ++it;
    }
    return fired;
}

void BoardModel::InjectFault(uint32_t pipe, uint32_t nth, Fault kind) {
    std::lock_guard lock(mutex_);
    if (nth == 0 || kind == Fault::None) return;
    faults_.push_back({pipe, nth, kind});
}

void BoardModel::ClearFaults() {
    std::lock_guard lock(mutex_);
    faults_.clear();
}

uint64_t BoardModel::RequestCount(uint32_t pipe) const {
    std::lock_guard lock(mutex_);
    if (pipe == kAnyPipe) return totalCount_;
    auto it = counts_.find(pipe);
    return it == counts_.end() ? 0 : it->second;
}

// ---- Memory and test side -----------------------------------------------------

void BoardModel::MemoryWriteLocked(uint32_t address, const uint8_t *data, uint32_t length) {
    while (length > 0) {
        const uint32_t offset = address & (kPageSize - 1);
        const uint32_t n = std::min<uint32_t>(length, kPageSize - offset);
        std::unique_ptr<uint8_t[]> &page = pages_[address >> kPageBits];
        if (!page) page = std::make_unique<uint8_t[]>(kPageSize);  // value-initialised: zeros
        std::memcpy(page.get() + offset, data, n);
        data += n;
        length -= n;
        address += n;  // wraps at 2^32
    }
}

void BoardModel::MemoryReadLocked(uint32_t address, uint8_t *out, uint32_t length) const {
    while (length > 0) {
        const uint32_t offset = address & (kPageSize - 1);
        const uint32_t n = std::min<uint32_t>(length, kPageSize - offset);
        auto it = pages_.find(address >> kPageBits);
        if (it == pages_.end()) {
            std::memset(out, 0, n);
        } else {
            std::memcpy(out, it->second.get() + offset, n);
        }
        out += n;
        length -= n;
        address += n;
    }
}

uint32_t BoardModel::GetRegister(uint32_t address) const {
    std::lock_guard lock(mutex_);
    auto it = registers_.find(address);
    return it == registers_.end() ? 0 : it->second;
}

void BoardModel::SetRegister(uint32_t address, uint32_t value) {
    std::lock_guard lock(mutex_);
    registers_[address] = value;
}

void BoardModel::ReadMemory(uint32_t address, void *out, uint32_t length) const {
    std::lock_guard lock(mutex_);
    MemoryReadLocked(address, static_cast<uint8_t *>(out), length);
}

void BoardModel::WriteMemory(uint32_t address, const void *data, uint32_t length) {
    std::lock_guard lock(mutex_);
    MemoryWriteLocked(address, static_cast<const uint8_t *>(data), length);
}

bool BoardModel::ReadControllerRam(uint32_t address, void *out, uint32_t length) const {
    if (address > kControllerRamSize || length > kControllerRamSize - address) return false;
    std::lock_guard lock(mutex_);
    if (length > 0) std::memcpy(out, ram_.data() + address, length);
    return true;
}

bool BoardModel::WriteControllerRam(uint32_t address, const void *data, uint32_t length) {
    if (address > kControllerRamSize || length > kControllerRamSize - address) return false;
    std::lock_guard lock(mutex_);
    if (length > 0) std::memcpy(ram_.data() + address, data, length);
    return true;
}

bool BoardModel::ControllerHeld() const {
    std::lock_guard lock(mutex_);
    return (ram_[kCpuControl] & 1u) != 0;
}

void BoardModel::QueueIn(uint8_t endpoint, const uint8_t *data, uint32_t length) {
    {
        std::lock_guard lock(mutex_);
        inQueues_[endpoint].emplace_back(data, data + length);
    }
    Notify(endpoint);
}

uint32_t BoardModel::TakeOut(uint8_t endpoint, uint8_t *out, uint32_t length) {
    std::lock_guard lock(mutex_);
    std::deque<uint8_t> &kept = outKept_[endpoint];
    const uint32_t n = std::min<uint32_t>(length, static_cast<uint32_t>(kept.size()));
    std::copy_n(kept.begin(), n, out);
    kept.erase(kept.begin(), kept.begin() + n);
    return n;
}

}  // namespace vek::sim
