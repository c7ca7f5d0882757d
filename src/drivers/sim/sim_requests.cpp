// The virtual driver's requests: the typed operations of the request decoder
// (driver queries, pipe reset and abort, control and data requests) for the
// boards attached in sim_driver.cpp.
#include <algorithm>
#include <chrono>
#include <map>
#include <thread>
#include <vector>

#include "drivers/sim/sim_board.h"
#include "drivers/sim/trace.h"

namespace vek::sim {

using drivers::Answer;
using drivers::Ending;
using drivers::UsbOutcome;

namespace {

constexpr uint32_t kNoPipe = 0xFFFFFFFFu;  // trace endpoint of the driver queries

struct Done {
    Ending ending;
    uint32_t code;
    uint8_t endpoint;
};

uint32_t CodeOf(const drivers::Transfer &t) {
    return t.control ? ioctl::kControlRequest : t.countBase != 0 ? ioctl::kBufferedData : ioctl::kDirectData;
}

void Finish(int board, std::vector<Done> &done) {
    for (const Done &d : done) {
        VekSimTraceEntry e = MakeEntry(VEK_SIM_TRACE_COMPLETION, board);
        e.code = d.code;
        e.endpoint = d.endpoint;
        e.error = d.ending.error;
        e.bytes = d.ending.bytes;
        Trace::Instance().Record(e);
        drivers::Deliver(d.ending);
    }
    done.clear();
}

Done Ended(const Pending &p, UsbOutcome outcome, uint32_t bytes) {
    p.transfer.packets.Spread(bytes, p.packetSize, outcome);
    return {drivers::Conclude(p.transfer, outcome, bytes), p.code, p.transfer.endpoint};
}

// Ends the pending requests chosen by `pick` with `outcome`.
template <typename Pick>
std::vector<Done> EndPendingLocked(SimBoard &board, Pick pick, UsbOutcome outcome) {
    std::vector<Done> done;
    for (auto it = board.pending.begin(); it != board.pending.end();) {
        if (pick(*it)) {
            done.push_back(Ended(*it, outcome, 0));
            it = board.pending.erase(it);
        } else {
            ++it;
        }
    }
    return done;
}

}  // namespace

void ServePending(SimBoard &board) {
    std::vector<Done> done;
    {
        std::lock_guard lock(board.mutex);
        std::map<uint8_t, bool> blocked;
        for (auto it = board.pending.begin(); it != board.pending.end();) {
            Pending &p = *it;
            const uint8_t endpoint = p.transfer.endpoint;
            if (blocked[endpoint] || !p.waitsForData) {
                blocked[endpoint] = true;
                ++it;
                continue;
            }
            Result r = board.model->In(endpoint, p.transfer.data, p.transfer.length, p.isochronous);
            if (r.status == Status::WouldBlock) {
                blocked[endpoint] = true;
                ++it;
                continue;
            }
            done.push_back(Ended(p, UsbOutcome::Success, r.bytes));
            it = board.pending.erase(it);
        }
    }
    Finish(board.id, done);
}

void Unplug(SimBoard &board) {
    std::vector<Done> done;
    {
        std::lock_guard lock(board.mutex);
        if (!board.attached) return;
        board.attached = false;
        done = EndPendingLocked(
            board, [](const Pending &) { return true; }, UsbOutcome::DeviceGone);
    }
    drivers::UnregisterDevice(board.registration);
    Trace::Instance().Record(MakeEntry(VEK_SIM_TRACE_DETACH, board.id));
    Finish(board.id, done);
}

namespace {

bool Attached(SimBoard &board) {
    std::lock_guard lock(board.mutex);
    return board.attached;
}

void RecordFault(int board, uint32_t pipe, Fault fault) {
    VekSimTraceEntry e = MakeEntry(VEK_SIM_TRACE_FAULT, board);
    e.endpoint = pipe;
    e.value = static_cast<uint32_t>(fault);
    Trace::Instance().Record(e);
}

// The fault armed for the next request on `pipe`, recorded; a detach fault
// unplugs the board at once.
Fault TakeFault(SimBoard &board, uint32_t pipe, uint32_t tracedPipe) {
    const Fault fault = board.model->CountRequest(pipe);
    if (fault != Fault::None) RecordFault(board.id, tracedPipe, fault);
    if (fault == Fault::Detach) Unplug(board);
    return fault;
}

// ---- Driver queries ------------------------------------------------------------

Answer QueryOp(void *context, drivers::Query query, drivers::QueryReply &reply) {
    SimBoard &board = *static_cast<OpenInstance *>(context)->board;
    if (!Attached(board)) return drivers::Refused(ERROR_DEVICE_NOT_CONNECTED);
    const Fault fault = TakeFault(board, kQueryPipe, kNoPipe);
    if (fault == Fault::Detach) return drivers::Refused(ERROR_DEVICE_NOT_CONNECTED);
    if (fault != Fault::None && fault != Fault::Short) return drivers::Refused(ERROR_GEN_FAILURE);
    const BoardIdentity &id = board.model->Setup().identity;
    switch (query) {
    case drivers::Query::DriverVersion:
        reply.Number(id.driverVersion);
        break;
    case drivers::Query::StackVersion:
        reply.Number(id.stackVersion);
        break;
    case drivers::Query::AltSetting:
        reply.Number(id.altSetting);
        break;
    case drivers::Query::Address:
        reply.Number(id.busAddress);
        break;
    case drivers::Query::Speed:
        reply.Number(id.speed);
        break;
    case drivers::Query::DeviceName:
        reply.Text(id.deviceName);
        break;
    case drivers::Query::FriendlyName:
        reply.Text(id.friendlyName);
        break;
    }
    if (fault == Fault::Short) reply.size /= 2;
    return drivers::Done();
}

// ---- Pipe reset and abort --------------------------------------------------------

Answer ResetPipeOp(void *context, uint8_t endpoint) {
    SimBoard &board = *static_cast<OpenInstance *>(context)->board;
    if (!Attached(board)) return drivers::Refused(ERROR_DEVICE_NOT_CONNECTED);
    if (!board.model->FindEndpoint(endpoint)) return drivers::Refused(ERROR_INVALID_PARAMETER);
    const Fault fault = TakeFault(board, endpoint, endpoint);
    if (fault == Fault::Detach) return drivers::Refused(ERROR_DEVICE_NOT_CONNECTED);
    if (fault != Fault::None) return drivers::Refused(ERROR_GEN_FAILURE);
    board.model->SetHalted(endpoint, false);
    VekSimTraceEntry e = MakeEntry(VEK_SIM_TRACE_RESET, board.id);
    e.endpoint = endpoint;
    Trace::Instance().Record(e);
    return drivers::Done();
}

Answer AbortPipeOp(void *context, uint8_t endpoint) {
    SimBoard &board = *static_cast<OpenInstance *>(context)->board;
    if (!Attached(board)) return drivers::Refused(ERROR_DEVICE_NOT_CONNECTED);
    if (!board.model->FindEndpoint(endpoint)) return drivers::Refused(ERROR_INVALID_PARAMETER);
    std::vector<Done> done;
    {
        std::lock_guard lock(board.mutex);
        done = EndPendingLocked(
            board, [endpoint](const Pending &p) { return p.transfer.endpoint == endpoint; }, UsbOutcome::Cancelled);
    }
    VekSimTraceEntry e = MakeEntry(VEK_SIM_TRACE_ABORT, board.id);
    e.endpoint = endpoint;
    e.bytes = static_cast<uint32_t>(done.size());
    Trace::Instance().Record(e);
    Finish(board.id, done);
    return drivers::Done();
}

// ---- Control and data requests -----------------------------------------------------

// Queues `p` behind the requests of its pipe (the caller holds the lock).
Answer QueueLocked(SimBoard &board, Pending p, bool waitsForData) {
    if (!board.attached) return drivers::Refused(ERROR_DEVICE_NOT_CONNECTED);
    p.waitsForData = waitsForData;
    board.pending.push_back(std::move(p));
    return drivers::Pending();
}

bool PipeBusyLocked(const SimBoard &board, uint8_t endpoint) {
    return std::any_of(board.pending.begin(), board.pending.end(),
                       [&](const Pending &q) { return q.transfer.endpoint == endpoint; });
}

Answer TransferOp(void *context, const drivers::Transfer &t) {
    auto *instance = static_cast<OpenInstance *>(context);
    SimBoard &board = *instance->board;
    BoardModel &model = *board.model;
    if (!Attached(board)) return drivers::Refused(ERROR_DEVICE_NOT_CONNECTED);
    const uint8_t endpoint = t.endpoint;
    std::optional<EndpointInfo> info = model.FindEndpoint(endpoint);
    if (!info) return drivers::Refused(ERROR_INVALID_PARAMETER);
    Pending p;
    p.owner = instance;
    p.transfer = t;
    p.code = CodeOf(t);
    p.isochronous = !t.control && (info->TransferType() == 1 || t.packets.Count() > 0);
    p.packetSize = info->maxPacketSize;
    uint32_t length = t.length;

    const Fault fault = TakeFault(board, endpoint, endpoint);
    switch (fault) {
    case Fault::Detach:
        return drivers::Refused(ERROR_DEVICE_NOT_CONNECTED);
    case Fault::FailAtIssue:
        return drivers::Refused(ERROR_GEN_FAILURE);
    case Fault::Stall:
        if (endpoint != 0) model.SetHalted(endpoint, true);
        return drivers::Done(UsbOutcome::Stall);
    case Fault::StayPending: {
        // A control request that carries a time limit is ended by the driver
        // when the limit passes, as a real driver does; everything else stays
        // pending until abort or detach.
        if (t.control && t.timeoutMs > 0) {
            if (vek::platform::VirtualClockEnabled()) {
                vek::platform::AdvanceClock(t.timeoutMs);
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(t.timeoutMs));
            }
            return drivers::Done(UsbOutcome::Timeout);
        }
        std::lock_guard lock(board.mutex);
        return QueueLocked(board, std::move(p), false);
    }
    case Fault::Short:
        length /= 2;
        p.transfer.length = length;
        break;
    case Fault::None:
        break;
    }
    if (endpoint != 0 && model.Halted(endpoint)) return drivers::Done(UsbOutcome::Stall);

    if (t.control) {
        // The device sees the request as sent, even when a fault shortens what moves.
        ControlSetup setup{t.setup.bmRequestType, t.setup.bRequest, t.setup.wValue, t.setup.wIndex,
                           fault == Fault::Short ? t.setup.wLength : static_cast<uint16_t>(length)};
        Result result = model.Control(setup, t.data, length);
        if (result.status == Status::Stall) return drivers::Done(UsbOutcome::Stall);
        return drivers::Done(UsbOutcome::Success, result.bytes);
    }
    if ((endpoint & 0x80) == 0) {
        {
            // A pipe is first in, first out: behind a request that stays
            // pending, this one waits too (until abort or detach).
            std::lock_guard lock(board.mutex);
            if (!board.attached) return drivers::Refused(ERROR_DEVICE_NOT_CONNECTED);
            if (PipeBusyLocked(board, endpoint)) return QueueLocked(board, std::move(p), false);
        }
        Result result = model.Out(endpoint, t.data, length);
        t.packets.Spread(result.bytes, p.packetSize, UsbOutcome::Success);
        return drivers::Done(UsbOutcome::Success, result.bytes);
    }
    std::lock_guard lock(board.mutex);
    if (!board.attached) return drivers::Refused(ERROR_DEVICE_NOT_CONNECTED);
    Result result{Status::WouldBlock, 0};
    if (!PipeBusyLocked(board, endpoint)) result = model.In(endpoint, t.data, length, p.isochronous);
    if (result.status == Status::WouldBlock) return QueueLocked(board, std::move(p), true);
    t.packets.Spread(result.bytes, p.packetSize, UsbOutcome::Success);
    return drivers::Done(UsbOutcome::Success, result.bytes);
}

// ---- The operations table ----------------------------------------------------------

DWORD OpenOp(void *device, void **context) {
    auto *board = static_cast<SimBoard *>(device);
    std::lock_guard lock(board->mutex);
    if (!board->attached) return ERROR_DEVICE_NOT_CONNECTED;
    *context = new OpenInstance{board->shared_from_this()};
    return ERROR_SUCCESS;
}

void CloseOp(void *context) {
    auto *instance = static_cast<OpenInstance *>(context);
    SimBoard &board = *instance->board;
    std::vector<Done> done;
    {
        std::lock_guard lock(board.mutex);
        done = EndPendingLocked(
            board, [instance](const Pending &p) { return p.owner == instance; }, UsbOutcome::Cancelled);
    }
    Finish(board.id, done);
    delete instance;
}

// The trace's ticket travels through the decoder as one number: its
// generation above the index (entries number fewer than 2^24).
constexpr uint64_t kIndexBits = 24;
constexpr uint64_t kIndexMask = (uint64_t{1} << kIndexBits) - 1;
static_assert(Trace::kCapacity < kIndexMask);

uint64_t ArrivedOp(void *context, uint32_t code, uint32_t pipe, uint32_t inLength, uint32_t outLength) {
    const int board = static_cast<OpenInstance *>(context)->board->id;
    const TraceTicket ticket = Trace::Instance().RecordRequest(board, code, pipe, inLength, outLength);
    return ticket.generation << kIndexBits | std::min(ticket.index, kIndexMask);
}

void ReturnedOp(void *, uint64_t packed, const platform::IoOutcome &outcome) {
    const uint32_t result = outcome.state == platform::IoState::Complete  ? VEK_SIM_RESULT_COMPLETE
                            : outcome.state == platform::IoState::Pending ? VEK_SIM_RESULT_PENDING
                                                                          : VEK_SIM_RESULT_FAILED;
    Trace::Instance().SetOutcome({packed >> kIndexBits, packed & kIndexMask}, result,
                                 outcome.state == platform::IoState::Pending ? ERROR_IO_PENDING : outcome.error,
                                 outcome.bytes);
}

// A virtual board is on no bus: bus 0 (real buses count from 1) and the
// place "virtual-N" for board id N; ids and serial number come from its
// descriptors.
void DescribeOp(void *device, platform::DeviceSummary &summary) {
    const auto *board = static_cast<const SimBoard *>(device);
    const DescriptorSet &descriptors = board->model->Setup().descriptors;
    const Bytes &d = descriptors.device;
    if (d.size() >= 12) {
        summary.vendorId = static_cast<uint16_t>(d[8] | d[9] << 8);
        summary.productId = static_cast<uint16_t>(d[10] | d[11] << 8);
    }
    summary.portPath = "virtual-" + std::to_string(board->id);
    const auto serial = d.size() >= 17 && d[16] != 0 ? descriptors.strings.find(d[16]) : descriptors.strings.end();
    if (serial == descriptors.strings.end()) return;
    // A string descriptor: its length, its type, then UTF-16LE code units (ASCII kept, the rest '?').
    const Bytes &text = serial->second;
    const size_t end = std::min<size_t>(text.size(), text.empty() ? 0 : text[0]);
    for (size_t i = 2; i + 1 < end; i += 2) {
        const unsigned unit = text[i] | text[i + 1] << 8;
        summary.serial.push_back(unit >= 0x20 && unit < 0x7F ? static_cast<char>(unit) : '?');
    }
}

}  // namespace

const drivers::BackendOps kBoardOps = {"vek-sim",
                                       OpenOp,
                                       CloseOp,
                                       QueryOp,
                                       TransferOp,
                                       ResetPipeOp,
                                       AbortPipeOp,
                                       nullptr,
                                       ArrivedOp,
                                       ReturnedOp,
                                       /*followsVirtualClock=*/true,
                                       DescribeOp};

}  // namespace vek::sim
