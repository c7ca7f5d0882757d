#include "drivers/backend.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

namespace vek::drivers {

using platform::IoOutcome;
using platform::IoRequest;
using platform::IoState;

namespace {

constexpr uint32_t kNoPipe = 0xFFFFFFFFu;
constexpr uint32_t kPacketRecordSize = 8;

struct StatusWords {
    DWORD error;
    uint32_t usbd;
    uint32_t nt;
};

StatusWords WordsOf(UsbOutcome outcome) {
    switch (outcome) {
    case UsbOutcome::Success:
        return {ERROR_SUCCESS, 0, 0};
    case UsbOutcome::Stall:
        return {ERROR_GEN_FAILURE, kUsbdStatusStall, kNtStatusUnsuccessful};
    case UsbOutcome::Cancelled:
        return {ERROR_OPERATION_ABORTED, kUsbdStatusCanceled, kNtStatusCancelled};
    case UsbOutcome::DeviceGone:
        return {ERROR_DEVICE_NOT_CONNECTED, kUsbdStatusDeviceGone, kNtStatusNoSuchDevice};
    case UsbOutcome::Timeout:
        return {ERROR_SEM_TIMEOUT, kUsbdStatusTimeout, kNtStatusIoTimeout};
    case UsbOutcome::Overflow:
        return {ERROR_GEN_FAILURE, kUsbdStatusBabble, kNtStatusDataOverrun};
    case UsbOutcome::Error:
        break;
    }
    return {ERROR_GEN_FAILURE, kUsbdStatusStall, kNtStatusUnsuccessful};
}

void PutLe32(uint8_t *at, uint32_t value) { std::memcpy(at, &value, 4); }

// The block sits at any alignment in the caller's buffer: fields by copy.
void PutStatusWords(uint8_t *block, UsbOutcome outcome) {
    if (block == nullptr) return;
    const StatusWords words = WordsOf(outcome);
    PutLe32(block + offsetof(TransferRequest, ntStatus), words.nt);
    PutLe32(block + offsetof(TransferRequest, usbdStatus), words.usbd);
}

IoOutcome Completed(DWORD error, DWORD bytes) { return {IoState::Complete, error, bytes}; }
IoOutcome Failed(DWORD error) { return {IoState::Failed, error, 0}; }

// The answer of a typed operation that moves no data, as the call's outcome.
IoOutcome AsCallOutcome(const Answer &answer) {
    switch (answer.kind) {
    case Answer::Done:
        return Completed(ErrorOf(answer.outcome), 0);
    case Answer::Pending:
        return {IoState::Pending, ERROR_IO_PENDING, 0};
    case Answer::Refused:
        break;
    }
    return Failed(answer.error);
}

// ---- Decoding ---------------------------------------------------------------------

struct QueryForm {
    Query query;
    uint32_t size;
};

std::optional<QueryForm> QueryOf(uint32_t code) {
    switch (code) {
    case ioctl::kGetDriverVersion:
        return QueryForm{Query::DriverVersion, 4};
    case ioctl::kGetStackVersion:
        return QueryForm{Query::StackVersion, 4};
    case ioctl::kGetAltSetting:
        return QueryForm{Query::AltSetting, 1};
    case ioctl::kGetAddress:
        return QueryForm{Query::Address, 1};
    case ioctl::kGetSpeed:
        return QueryForm{Query::Speed, 4};
    case ioctl::kGetDeviceName:
        return QueryForm{Query::DeviceName, 256};
    case ioctl::kGetFriendlyName:
        return QueryForm{Query::FriendlyName, 256};
    default:
        return std::nullopt;
    }
}

// Control (0x220020) and buffered (0x220024) requests carry their data inside
// the block at bufferOffset, in a buffer that is input and output (an output
// buffer apart from the input gets the input first); direct requests
// (0x22004B) move it to or from the output buffer and keep the block as input.
// Returns 0 and the transfer, or the Win32 error of a malformed request.
DWORD DecodeTransfer(const IoRequest &r, Transfer &t) {
    if (r.in == nullptr || r.inLength < kTransferRequestSize) return ERROR_INVALID_PARAMETER;
    TransferRequest block;
    std::memcpy(&block, r.in, sizeof block);
    auto *in = static_cast<uint8_t *>(r.in);
    auto *out = static_cast<uint8_t *>(r.out);
    t.control = r.code == ioctl::kControlRequest;
    t.endpoint = t.control ? 0 : block.endpointAddress;
    t.setup = {block.bmRequestType, block.bRequest, block.wValue, block.wIndex, block.wLength};
    t.timeoutMs = static_cast<uint32_t>(std::min<uint64_t>(uint64_t{block.timeoutSeconds} * 1000u, 0xFFFFFFFEu));
    t.overlapped = r.overlapped;
    uint8_t *frame = nullptr;  // the block the packet records lie in
    uint32_t frameLength = 0;
    if (r.code == ioctl::kDirectData) {
        if (r.outLength > 0 && out == nullptr) return ERROR_INVALID_PARAMETER;
        t.data = out;
        t.length = r.outLength;
        t.statusBlock = frame = in;
        frameLength = r.inLength;
    } else {
        if (out == nullptr || r.outLength < kTransferRequestSize) return ERROR_INSUFFICIENT_BUFFER;
        if (out != in) std::memmove(out, in, std::min(r.inLength, r.outLength));
        const uint64_t offset = block.bufferOffset;
        uint64_t length = block.bufferLength;
        if (t.control) {
            if (block.wLength > block.bufferLength) return ERROR_INVALID_PARAMETER;
            length = block.wLength;
        }
        if (offset < kTransferRequestSize || offset + length > r.outLength) return ERROR_INVALID_PARAMETER;
        t.data = out + offset;
        t.length = static_cast<uint32_t>(length);
        t.countBase = static_cast<uint32_t>(offset);
        t.statusBlock = frame = out;
        frameLength = r.outLength;
    }
    if (!t.control && block.isoPacketLength > 0) {
        const uint64_t end = uint64_t{block.isoPacketOffset} + block.isoPacketLength;
        if (block.isoPacketOffset < kTransferRequestSize || end > frameLength) return ERROR_INVALID_PARAMETER;
        std::memset(frame + block.isoPacketOffset, 0, block.isoPacketLength);
        t.packets = PacketRecords(frame + block.isoPacketOffset, block.isoPacketLength / kPacketRecordSize);
    }
    PutStatusWords(t.statusBlock, UsbOutcome::Success);
    return ERROR_SUCCESS;
}

std::optional<uint8_t> PipeByte(const IoRequest &r) {
    if (r.in == nullptr || r.inLength < 1) return std::nullopt;
    return *static_cast<const uint8_t *>(r.in);
}

// The endpoint a request names, for observers.
uint32_t PipeOf(const IoRequest &r) {
    switch (r.code) {
    case ioctl::kControlRequest:
        return 0;
    case ioctl::kBufferedData:
    case ioctl::kDirectData:
        return r.in != nullptr && r.inLength >= kTransferRequestSize
                   ? static_cast<const uint8_t *>(r.in)[offsetof(TransferRequest, endpointAddress)]
                   : kNoPipe;
    case ioctl::kResetPipe:
    case ioctl::kAbortPipe: {
        const auto pipe = PipeByte(r);
        return pipe ? *pipe : kNoPipe;
    }
    default:
        return kNoPipe;
    }
}

IoOutcome Dispatch(const BackendOps &ops, void *open, const IoRequest &r) {
    if (const auto form = QueryOf(r.code)) {
        if (r.out == nullptr || r.outLength < form->size) return Failed(ERROR_INSUFFICIENT_BUFFER);
        QueryReply reply;
        reply.size = form->size;
        const Answer answer = ops.query(open, form->query, reply);
        if (answer.kind != Answer::Done)
            return Failed(answer.kind == Answer::Refused ? answer.error : ERROR_GEN_FAILURE);
        const uint32_t size = std::min(reply.size, form->size);
        std::memcpy(r.out, reply.bytes, size);
        return Completed(ERROR_SUCCESS, size);
    }
    switch (r.code) {
    case ioctl::kControlRequest:
    case ioctl::kBufferedData:
    case ioctl::kDirectData: {
        Transfer t;
        if (const DWORD error = DecodeTransfer(r, t); error != ERROR_SUCCESS) return Failed(error);
        const Answer answer = ops.transfer(open, t);
        switch (answer.kind) {
        case Answer::Done: {
            const Ending ending = Conclude(t, answer.outcome, answer.bytes);
            return Completed(ending.error, ending.bytes);
        }
        case Answer::Pending:
            return {IoState::Pending, ERROR_IO_PENDING, 0};
        case Answer::Refused:
            if (answer.error == ERROR_DEVICE_NOT_CONNECTED) PutStatusWords(t.statusBlock, UsbOutcome::DeviceGone);
            return Failed(answer.error);
        }
        return Failed(ERROR_GEN_FAILURE);
    }
    case ioctl::kResetPipe:
    case ioctl::kAbortPipe: {
        const auto pipe = PipeByte(r);
        if (!pipe) return Failed(ERROR_INVALID_PARAMETER);
        return AsCallOutcome(r.code == ioctl::kResetPipe ? ops.resetPipe(open, *pipe) : ops.abortPipe(open, *pipe));
    }
    case ioctl::kSetAltSetting: {
        const auto alternate = PipeByte(r);
        if (!alternate) return Failed(ERROR_INVALID_PARAMETER);
        if (ops.setAltSetting == nullptr) return Failed(ERROR_NOT_SUPPORTED);
        return AsCallOutcome(ops.setAltSetting(open, *alternate));
    }
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

// ---- The registry's table, shared by every backend ------------------------------------

struct Binding {
    const BackendOps *ops;
    void *device;
};

struct OpenBinding {
    const BackendOps *ops;
    void *open;
};

DWORD OpenOp(void *device, void **context) {
    const auto *binding = static_cast<Binding *>(device);
    void *open = nullptr;
    const DWORD error = binding->ops->open(binding->device, &open);
    if (error == ERROR_SUCCESS) *context = new OpenBinding{binding->ops, open};
    return error;
}

void CloseOp(void *context) {
    auto *binding = static_cast<OpenBinding *>(context);
    binding->ops->close(binding->open);
    delete binding;
}

IoOutcome IoctlOp(void *context, IoRequest *request) {
    const auto *binding = static_cast<OpenBinding *>(context);
    const BackendOps &ops = *binding->ops;
    uint64_t ticket = 0;
    if (ops.arrived != nullptr)
        ticket = ops.arrived(binding->open, request->code, PipeOf(*request), request->inLength, request->outLength);
    IoOutcome outcome = Dispatch(ops, binding->open, *request);
    if (ops.returned != nullptr) ops.returned(binding->open, ticket, outcome);
    return outcome;
}

void DescribeOp(void *device, platform::DeviceSummary &summary) {
    const auto *binding = static_cast<Binding *>(device);
    summary.backend = binding->ops->name;
    if (binding->ops->describe != nullptr) binding->ops->describe(binding->device, summary);
}

const platform::DriverOps kRegistryOps = {"typed requests", OpenOp, CloseOp, IoctlOp, DescribeOp};

std::mutex gBindingsMutex;
std::map<uint64_t, std::unique_ptr<Binding>> gBindings;

}  // namespace

void PacketRecords::Set(uint32_t index, uint32_t bytes, UsbOutcome outcome) const {
    if (at_ == nullptr || index >= count_) return;
    PutLe32(at_ + kPacketRecordSize * index, bytes);
    PutLe32(at_ + kPacketRecordSize * index + 4, WordsOf(outcome).usbd);
}

void PacketRecords::Spread(uint32_t bytes, uint32_t packetSize, UsbOutcome outcome) const {
    for (uint32_t i = 0; i < count_; ++i) {
        const uint32_t n = packetSize == 0 ? (i == 0 ? bytes : 0) : std::min(packetSize, bytes);
        bytes -= n;
        Set(i, n, outcome);
    }
}

void QueryReply::Number(uint32_t value) { std::memcpy(bytes, &value, std::min<uint32_t>(size, 4)); }

void QueryReply::Text(std::string_view text) {
    std::memset(bytes, 0, sizeof bytes);
    std::memcpy(bytes, text.data(), std::min<size_t>(text.size(), sizeof bytes - 1));
}

DWORD ErrorOf(UsbOutcome outcome) { return WordsOf(outcome).error; }

Ending Conclude(const Transfer &transfer, UsbOutcome outcome, uint32_t bytesMoved) {
    PutStatusWords(transfer.statusBlock, outcome);
    // A request that failed with nothing moved reports no bytes at all.
    const bool nothing = outcome != UsbOutcome::Success && bytesMoved == 0;
    return {transfer.overlapped, ErrorOf(outcome), nothing ? 0 : transfer.countBase + bytesMoved};
}

void Deliver(const Ending &ending) { platform::CompleteRequest(ending.overlapped, ending.error, ending.bytes); }

std::string InterfacePath(uint16_t vendorId, uint16_t productId, std::string_view instance) {
    const GUID &g = kDriverInterfaceClass;
    char path[320];
    std::snprintf(path, sizeof path,
                  "\\\\?\\usb#vid_%04x&pid_%04x#%.*s#{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", vendorId,
                  productId, static_cast<int>(std::min<size_t>(instance.size(), 200)), instance.data(),
                  static_cast<unsigned>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3],
                  g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return path;
}

uint64_t RegisterDevice(const char *interfacePath, const BackendOps *ops, void *device) {
    auto binding = std::make_unique<Binding>(Binding{ops, device});
    std::lock_guard lock(gBindingsMutex);
    const uint64_t id = platform::RegisterDevice(kDriverInterfaceClass, interfacePath, &kRegistryOps, binding.get(),
                                                 ops->followsVirtualClock);
    if (id != 0) gBindings[id] = std::move(binding);
    return id;
}

void UnregisterDevice(uint64_t id) {
    // Once the registry has let go, no open of the device is under way.
    platform::UnregisterDevice(id);
    std::lock_guard lock(gBindingsMutex);
    gBindings.erase(id);
}

}  // namespace vek::drivers
