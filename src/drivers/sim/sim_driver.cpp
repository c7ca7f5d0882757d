#include "drivers/sim/sim_driver.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <list>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "drivers/sim/trace.h"
#include "platform/clock.h"
#include "platform/driver.h"
#include "usb/driver_interface.h"

namespace vek::sim {

using platform::IoOutcome;
using platform::IoRequest;
using platform::IoState;

namespace {

constexpr uint32_t kNoPipe = 0xFFFFFFFFu;  // trace endpoint of the driver queries

struct OpenInstance;

// A request that has not ended yet. Its block and buffers are the caller's,
// valid until it is completed.
struct Pending {
    OpenInstance *owner = nullptr;
    OVERLAPPED *overlapped = nullptr;
    uint32_t code = 0;
    uint8_t endpoint = 0;
    uint8_t *statusBlock = nullptr;  // where ntStatus/usbdStatus go
    uint8_t *data = nullptr;
    uint32_t length = 0;
    uint32_t base = 0;  // added to the bytes moved: the returned count
    uint8_t *isoRecords = nullptr;
    uint32_t isoCount = 0;
    uint32_t isoPacket = 0;
    bool isochronous = false;
    bool waitsForData = false;  // an IN request that data can end; otherwise only abort/detach
};

struct Done {
    OVERLAPPED *overlapped;
    uint32_t code;
    uint8_t endpoint;
    DWORD error;
    DWORD bytes;
};

}  // namespace

class SimBoard : public std::enable_shared_from_this<SimBoard> {
public:
    SimBoard(int id, BoardSetup setup) : id(id), model(std::make_shared<BoardModel>(id, std::move(setup))) {}

    const int id;
    const std::shared_ptr<BoardModel> model;
    uint64_t registration = 0;
    std::string path;

    std::mutex mutex;
    bool attached = true;
    std::list<Pending> pending;
};

namespace {

struct OpenInstance {
    std::shared_ptr<SimBoard> board;
};

void PutStatus(uint8_t *block, uint32_t nt, uint32_t usbd) {
    if (block == nullptr) return;
    std::memcpy(block + offsetof(TransferRequest, ntStatus), &nt, 4);
    std::memcpy(block + offsetof(TransferRequest, usbdStatus), &usbd, 4);
}

// Isochronous packet records, 8 bytes each: u32 bytes moved in the packet,
// u32 USBD status of the packet (0 = success). Bytes fill the packets in
// order, at most the endpoint's packet size each.
void FillIsoRecords(uint8_t *records, uint32_t count, uint32_t packet, uint32_t bytes, uint32_t status) {
    if (records == nullptr) return;
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t n = packet == 0 ? (i == 0 ? bytes : 0) : std::min(packet, bytes);
        bytes -= n;
        std::memcpy(records + 8 * i, &n, 4);
        std::memcpy(records + 8 * i + 4, &status, 4);
    }
}

void Finish(int board, std::vector<Done> &done) {
    for (const Done &d : done) {
        VekSimTraceEntry e = MakeEntry(VEK_SIM_TRACE_COMPLETION, board);
        e.code = d.code;
        e.endpoint = d.endpoint;
        e.error = d.error;
        e.bytes = d.bytes;
        Trace::Instance().Record(e);
        platform::CompleteRequest(d.overlapped, d.error, d.bytes);
    }
    done.clear();
}

// Ends the pending requests chosen by `pick` with `error` and the status words.
template <typename Pick>
std::vector<Done> EndPendingLocked(SimBoard &board, Pick pick, DWORD error, uint32_t nt, uint32_t usbd) {
    std::vector<Done> done;
    for (auto it = board.pending.begin(); it != board.pending.end();) {
        if (pick(*it)) {
            PutStatus(it->statusBlock, nt, usbd);
            FillIsoRecords(it->isoRecords, it->isoCount, it->isoPacket, 0, usbd);
            done.push_back({it->overlapped, it->code, it->endpoint, error, 0});
            it = board.pending.erase(it);
        } else {
            ++it;
        }
    }
    return done;
}

// Serves waiting IN requests in order, per pipe, as far as data allows.
void ServePending(SimBoard &board) {
    std::vector<Done> done;
    {
        std::lock_guard lock(board.mutex);
        std::map<uint8_t, bool> blocked;
        for (auto it = board.pending.begin(); it != board.pending.end();) {
            Pending &p = *it;
            if (blocked[p.endpoint] || !p.waitsForData) {
                blocked[p.endpoint] = true;
                ++it;
                continue;
            }
            Result r = board.model->In(p.endpoint, p.data, p.length, p.isochronous);
            if (r.status == Status::WouldBlock) {
                blocked[p.endpoint] = true;
                ++it;
                continue;
            }
            PutStatus(p.statusBlock, 0, 0);
            FillIsoRecords(p.isoRecords, p.isoCount, p.isoPacket, r.bytes, 0);
            done.push_back({p.overlapped, p.code, p.endpoint, ERROR_SUCCESS, p.base + r.bytes});
            it = board.pending.erase(it);
        }
    }
    Finish(board.id, done);
}

// Unplugs a board: leaves enumeration, ends every pending request.
void Unplug(SimBoard &board) {
    std::vector<Done> done;
    {
        std::lock_guard lock(board.mutex);
        if (!board.attached) return;
        board.attached = false;
        done = EndPendingLocked(board, [](const Pending &) { return true; }, ERROR_DEVICE_NOT_CONNECTED,
                                kNtStatusNoSuchDevice, kUsbdStatusDeviceGone);
    }
    platform::UnregisterDevice(board.registration);
    Trace::Instance().Record(MakeEntry(VEK_SIM_TRACE_DETACH, board.id));
    Finish(board.id, done);
}

IoOutcome Complete(DWORD error, DWORD bytes) { return {IoState::Complete, error, bytes}; }
IoOutcome Failed(DWORD error) { return {IoState::Failed, error, 0}; }

void RecordFault(int board, uint32_t pipe, Fault fault) {
    VekSimTraceEntry e = MakeEntry(VEK_SIM_TRACE_FAULT, board);
    e.endpoint = pipe;
    e.value = static_cast<uint32_t>(fault);
    Trace::Instance().Record(e);
}

// ---- Driver queries ------------------------------------------------------------

IoOutcome Query(SimBoard &board, const IoRequest &r) {
    const BoardIdentity &id = board.model->Setup().identity;
    uint8_t answer[256] = {};
    uint32_t size = 0;
    switch (r.code) {
    case ioctl::kGetDriverVersion:
        std::memcpy(answer, &id.driverVersion, 4);
        size = 4;
        break;
    case ioctl::kGetStackVersion:
        std::memcpy(answer, &id.stackVersion, 4);
        size = 4;
        break;
    case ioctl::kGetAltSetting:
        answer[0] = id.altSetting;
        size = 1;
        break;
    case ioctl::kGetAddress:
        answer[0] = id.busAddress;
        size = 1;
        break;
    case ioctl::kGetSpeed:
        std::memcpy(answer, &id.speed, 4);
        size = 4;
        break;
    case ioctl::kGetDeviceName:
    case ioctl::kGetFriendlyName: {
        const std::string &text = r.code == ioctl::kGetDeviceName ? id.deviceName : id.friendlyName;
        std::memcpy(answer, text.data(), std::min<size_t>(text.size(), 255));
        size = 256;
        break;
    }
    default:
        return Failed(ERROR_INVALID_PARAMETER);
    }
    if (r.out == nullptr || r.outLength < size) return Failed(ERROR_INSUFFICIENT_BUFFER);
    const Fault fault = board.model->CountRequest(kQueryPipe);
    if (fault != Fault::None) RecordFault(board.id, kNoPipe, fault);
    if (fault == Fault::Detach) {
        Unplug(board);
        return Failed(ERROR_DEVICE_NOT_CONNECTED);
    }
    if (fault == Fault::Short) size /= 2;
    else if (fault != Fault::None) return Failed(ERROR_GEN_FAILURE);
    std::memcpy(r.out, answer, size);
    return Complete(ERROR_SUCCESS, size);
}

// ---- Pipe reset and abort --------------------------------------------------------

IoOutcome ResetPipe(SimBoard &board, const IoRequest &r) {
    if (r.in == nullptr || r.inLength < 1) return Failed(ERROR_INVALID_PARAMETER);
    const uint8_t endpoint = *static_cast<const uint8_t *>(r.in);
    if (!board.model->FindEndpoint(endpoint)) return Failed(ERROR_INVALID_PARAMETER);
    const Fault fault = board.model->CountRequest(endpoint);
    if (fault != Fault::None) RecordFault(board.id, endpoint, fault);
    if (fault == Fault::Detach) {
        Unplug(board);
        return Failed(ERROR_DEVICE_NOT_CONNECTED);
    }
    if (fault != Fault::None) return Failed(ERROR_GEN_FAILURE);
    board.model->SetHalted(endpoint, false);
    VekSimTraceEntry e = MakeEntry(VEK_SIM_TRACE_RESET, board.id);
    e.endpoint = endpoint;
    Trace::Instance().Record(e);
    return Complete(ERROR_SUCCESS, 0);
}

IoOutcome AbortPipe(SimBoard &board, const IoRequest &r) {
    if (r.in == nullptr || r.inLength < 1) return Failed(ERROR_INVALID_PARAMETER);
    const uint8_t endpoint = *static_cast<const uint8_t *>(r.in);
    if (!board.model->FindEndpoint(endpoint)) return Failed(ERROR_INVALID_PARAMETER);
    std::vector<Done> done;
    {
        std::lock_guard lock(board.mutex);
        done = EndPendingLocked(board, [endpoint](const Pending &p) { return p.endpoint == endpoint; },
                                ERROR_OPERATION_ABORTED, kNtStatusCancelled, kUsbdStatusCanceled);
    }
    VekSimTraceEntry e = MakeEntry(VEK_SIM_TRACE_ABORT, board.id);
    e.endpoint = endpoint;
    e.bytes = static_cast<uint32_t>(done.size());
    Trace::Instance().Record(e);
    Finish(board.id, done);
    return Complete(ERROR_SUCCESS, 0);
}

// ---- Control and data requests -----------------------------------------------------

IoOutcome Stalled(uint8_t *statusBlock) {
    PutStatus(statusBlock, kNtStatusUnsuccessful, kUsbdStatusStall);
    return Complete(ERROR_GEN_FAILURE, 0);
}

IoOutcome Transfer(OpenInstance &instance, const IoRequest &r) {
    SimBoard &board = *instance.board;
    BoardModel &model = *board.model;
    if (r.in == nullptr || r.inLength < kTransferRequestSize) return Failed(ERROR_INVALID_PARAMETER);
    TransferRequest block;
    std::memcpy(&block, r.in, sizeof block);
    const bool control = r.code == ioctl::kControlRequest;
    const bool direct = r.code == ioctl::kDirectData;
    const uint8_t endpoint = control ? 0 : block.endpointAddress;

    Pending p;
    p.owner = &instance;
    p.overlapped = r.overlapped;
    p.code = r.code;
    p.endpoint = endpoint;
    auto *in = static_cast<uint8_t *>(r.in);
    auto *out = static_cast<uint8_t *>(r.out);
    uint8_t *frame = nullptr;  // the block the packet records are read against
    uint32_t frameLength = 0;
    if (direct) {
        if (r.outLength > 0 && out == nullptr) return Failed(ERROR_INVALID_PARAMETER);
        p.statusBlock = in;
        p.data = out;
        p.length = r.outLength;
        p.base = 0;
        frame = in;
        frameLength = r.inLength;
    } else {
        if (out == nullptr || r.outLength < kTransferRequestSize) return Failed(ERROR_INSUFFICIENT_BUFFER);
        if (out != in) std::memmove(out, in, std::min(r.inLength, r.outLength));
        const uint64_t offset = block.bufferOffset;
        uint64_t length = block.bufferLength;
        if (control) {
            if (block.wLength > block.bufferLength) return Failed(ERROR_INVALID_PARAMETER);
            length = block.wLength;
        }
        if (offset < kTransferRequestSize || offset + length > r.outLength) return Failed(ERROR_INVALID_PARAMETER);
        p.statusBlock = out;
        p.data = out + offset;
        p.length = static_cast<uint32_t>(length);
        p.base = static_cast<uint32_t>(offset);
        frame = out;
        frameLength = r.outLength;
    }
    if (!control && block.isoPacketLength > 0) {
        const uint64_t end = uint64_t{block.isoPacketOffset} + block.isoPacketLength;
        if (block.isoPacketOffset < kTransferRequestSize || end > frameLength) return Failed(ERROR_INVALID_PARAMETER);
        p.isoRecords = frame + block.isoPacketOffset;
        p.isoCount = block.isoPacketLength / 8;
    }
    std::optional<EndpointInfo> info = model.FindEndpoint(endpoint);
    if (!info) return Failed(ERROR_INVALID_PARAMETER);
    p.isochronous = !control && (info->type == 1 || p.isoRecords != nullptr);
    p.isoPacket = info->maxPacketSize;

    const Fault fault = model.CountRequest(endpoint);
    if (fault != Fault::None) RecordFault(board.id, endpoint, fault);
    switch (fault) {
    case Fault::Detach:
        Unplug(board);
        return Failed(ERROR_DEVICE_NOT_CONNECTED);
    case Fault::FailAtIssue:
        return Failed(ERROR_GEN_FAILURE);
    case Fault::Stall:
        if (endpoint != 0) model.SetHalted(endpoint, true);
        return Stalled(p.statusBlock);
    case Fault::StayPending: {
        // A control request that carries a time limit is ended by the driver
        // when the limit passes, as a real driver does; everything else stays
        // pending until abort or detach.
        if (control && block.timeoutSeconds > 0) {
            const uint64_t limitMs = uint64_t{block.timeoutSeconds} * 1000u;
            if (vek::platform::VirtualClockEnabled()) {
                vek::platform::AdvanceClock(limitMs);
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(limitMs));
            }
            PutStatus(p.statusBlock, kNtStatusIoTimeout, kUsbdStatusTimeout);
            return Complete(ERROR_SEM_TIMEOUT, 0);
        }
        std::lock_guard lock(board.mutex);
        if (!board.attached) return Failed(ERROR_DEVICE_NOT_CONNECTED);
        p.waitsForData = false;
        board.pending.push_back(p);
        return {IoState::Pending, ERROR_IO_PENDING, 0};
    }
    case Fault::Short:
        p.length /= 2;
        break;
    case Fault::None:
        break;
    }
    if (endpoint != 0 && model.Halted(endpoint)) return Stalled(p.statusBlock);

    if (control) {
        ControlSetup setup{block.bmRequestType, block.bRequest, block.wValue, block.wIndex,
                           static_cast<uint16_t>(p.length)};
        if (fault == Fault::Short) setup.wLength = block.wLength;  // the device sees the request as sent
        Result result = model.Control(setup, p.data, p.length);
        if (result.status == Status::Stall) return Stalled(p.statusBlock);
        PutStatus(p.statusBlock, 0, 0);
        return Complete(ERROR_SUCCESS, p.base + result.bytes);
    }
    if ((endpoint & 0x80) == 0) {
        {
            // A pipe is first in, first out: behind a request that stays
            // pending, this one waits too (until abort or detach).
            std::lock_guard lock(board.mutex);
            if (!board.attached) return Failed(ERROR_DEVICE_NOT_CONNECTED);
            const bool queued = std::any_of(board.pending.begin(), board.pending.end(),
                                            [&](const Pending &q) { return q.endpoint == endpoint; });
            if (queued) {
                p.waitsForData = false;
                board.pending.push_back(p);
                return {IoState::Pending, ERROR_IO_PENDING, 0};
            }
        }
        Result result = model.Out(endpoint, p.data, p.length);
        FillIsoRecords(p.isoRecords, p.isoCount, p.isoPacket, result.bytes, 0);
        PutStatus(p.statusBlock, 0, 0);
        return Complete(ERROR_SUCCESS, p.base + result.bytes);
    }
    std::lock_guard lock(board.mutex);
    if (!board.attached) return Failed(ERROR_DEVICE_NOT_CONNECTED);
    const bool queued = std::any_of(board.pending.begin(), board.pending.end(),
                                    [&](const Pending &q) { return q.endpoint == endpoint; });
    Result result{Status::WouldBlock, 0};
    if (!queued) result = model.In(endpoint, p.data, p.length, p.isochronous);
    if (result.status == Status::WouldBlock) {
        p.waitsForData = true;
        board.pending.push_back(p);
        return {IoState::Pending, ERROR_IO_PENDING, 0};
    }
    FillIsoRecords(p.isoRecords, p.isoCount, p.isoPacket, result.bytes, 0);
    PutStatus(p.statusBlock, 0, 0);
    return Complete(ERROR_SUCCESS, p.base + result.bytes);
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
        done = EndPendingLocked(board, [instance](const Pending &p) { return p.owner == instance; },
                                ERROR_OPERATION_ABORTED, kNtStatusCancelled, kUsbdStatusCanceled);
    }
    Finish(board.id, done);
    delete instance;
}

IoOutcome DispatchOp(OpenInstance &instance, IoRequest &r) {
    SimBoard &board = *instance.board;
    {
        std::lock_guard lock(board.mutex);
        if (!board.attached) return Failed(ERROR_DEVICE_NOT_CONNECTED);
    }
    switch (r.code) {
    case ioctl::kGetDriverVersion:
    case ioctl::kGetStackVersion:
    case ioctl::kGetAltSetting:
    case ioctl::kGetAddress:
    case ioctl::kGetSpeed:
    case ioctl::kGetDeviceName:
    case ioctl::kGetFriendlyName:
        return Query(board, r);
    case ioctl::kControlRequest:
    case ioctl::kBufferedData:
    case ioctl::kDirectData:
        return Transfer(instance, r);
    case ioctl::kResetPipe:
        return ResetPipe(board, r);
    case ioctl::kAbortPipe:
        return AbortPipe(board, r);
    case ioctl::kSetAltSetting:
    case ioctl::kGetPowerState:
    case ioctl::kSetPowerState:
    case ioctl::kCyclePort:
    case ioctl::kResetPort:
    case ioctl::kGetTransferSize:
    case ioctl::kSetTransferSize:
        return Failed(ERROR_NOT_SUPPORTED);
    default:
        return Failed(ERROR_INVALID_PARAMETER);
    }
}

uint32_t TraceEndpoint(const IoRequest &r) {
    switch (r.code) {
    case ioctl::kControlRequest:
        return 0;
    case ioctl::kBufferedData:
    case ioctl::kDirectData:
        return r.in != nullptr && r.inLength >= kTransferRequestSize
                   ? static_cast<const uint8_t *>(r.in)[offsetof(TransferRequest, endpointAddress)]
                   : kNoPipe;
    case ioctl::kResetPipe:
    case ioctl::kAbortPipe:
        return r.in != nullptr && r.inLength >= 1 ? *static_cast<const uint8_t *>(r.in) : kNoPipe;
    default:
        return kNoPipe;
    }
}

IoOutcome IoctlOp(void *context, IoRequest *request) {
    auto *instance = static_cast<OpenInstance *>(context);
    const int board = instance->board->id;
    TraceTicket ticket = Trace::Instance().RecordRequest(board, request->code, TraceEndpoint(*request),
                                                         request->inLength, request->outLength);
    IoOutcome outcome = DispatchOp(*instance, *request);
    const uint32_t result = outcome.state == IoState::Complete  ? VEK_SIM_RESULT_COMPLETE
                            : outcome.state == IoState::Pending ? VEK_SIM_RESULT_PENDING
                                                                : VEK_SIM_RESULT_FAILED;
    Trace::Instance().SetOutcome(ticket, result, outcome.state == IoState::Pending ? ERROR_IO_PENDING : outcome.error,
                                 outcome.bytes);
    return outcome;
}

const platform::DriverOps kOps = {"vek-sim", OpenOp, CloseOp, IoctlOp};

// ---- Registry of boards ----------------------------------------------------------------

std::mutex gBoardsMutex;
std::map<int, std::shared_ptr<SimBoard>> gBoards;
int gNextId = 0;

void RecordPause(uint32_t milliseconds) {
    VekSimTraceEntry e = MakeEntry(VEK_SIM_TRACE_PAUSE, -1);
    e.value = milliseconds;
    Trace::Instance().Record(e);
}

std::shared_ptr<SimBoard> Find(int id) {
    std::lock_guard lock(gBoardsMutex);
    auto it = gBoards.find(id);
    return it == gBoards.end() ? nullptr : it->second;
}

}  // namespace

int AttachBoard(BoardSetup setup) {
    if (setup.identity.speed == 0) {
        const Bytes &d = setup.descriptors.device;
        const unsigned bcd = d.size() >= 4 ? d[2] | d[3] << 8 : 0x0200;
        setup.identity.speed = bcd >= 0x0300 ? kSpeedSuper : kSpeedHigh;
    }
    std::shared_ptr<SimBoard> board;
    {
        std::lock_guard lock(gBoardsMutex);
        board = std::make_shared<SimBoard>(gNextId++, std::move(setup));
        gBoards[board->id] = board;
    }
    const Bytes &device = board->model->Setup().descriptors.device;
    const unsigned vid = device.size() >= 10 ? device[8] | device[9] << 8 : 0;
    const unsigned pid = device.size() >= 12 ? device[10] | device[11] << 8 : 0;
    char path[160];
    std::snprintf(path, sizeof path,
                  "\\\\?\\usb#vid_%04x&pid_%04x#vek-sim-%d#{ae18aa60-7f6a-11d4-97dd-00010229b959}", vid, pid,
                  board->id);
    board->path = path;
    SimBoard *raw = board.get();
    board->model->SetInListener([raw](uint8_t) { ServePending(*raw); });
    platform::SetSleepObserver(&RecordPause);
    Trace::Instance().Record(MakeEntry(VEK_SIM_TRACE_ATTACH, board->id));
    board->registration = platform::RegisterDevice(kDriverInterfaceClass, board->path.c_str(), &kOps, raw);
    if (board->registration == 0) {
        std::lock_guard lock(gBoardsMutex);
        gBoards.erase(board->id);
        return -1;
    }
    return board->id;
}

bool DetachBoard(int id) {
    std::shared_ptr<SimBoard> board;
    {
        std::lock_guard lock(gBoardsMutex);
        auto it = gBoards.find(id);
        if (it == gBoards.end()) return false;
        board = it->second;
        gBoards.erase(it);
    }
    Unplug(*board);
    return true;
}

void DetachAllBoards() {
    std::map<int, std::shared_ptr<SimBoard>> boards;
    {
        std::lock_guard lock(gBoardsMutex);
        boards.swap(gBoards);
        gNextId = 0;
    }
    for (auto &[id, board] : boards) Unplug(*board);
    platform::SetSleepObserver(nullptr);
    Trace::Instance().Clear();
    Trace::Instance().Enable(true);
}

std::shared_ptr<BoardModel> FindModel(int id) {
    std::shared_ptr<SimBoard> board = Find(id);
    if (!board) return nullptr;
    // The model keeps its board alive while the caller holds it: its IN
    // listener points at the board.
    return std::shared_ptr<BoardModel>(board, board->model.get());
}

int BoardState(int id) {
    std::shared_ptr<SimBoard> board = Find(id);
    if (!board) return -1;
    std::lock_guard lock(board->mutex);
    return board->attached ? 1 : 0;
}

}  // namespace vek::sim
