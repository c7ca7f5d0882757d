// The libusb backend (see libusb_backend.h).
//
// One libusb session serves the process. A board is a libusb_device that the
// recognition rules of board_ids.h accept; it is registered in the driver
// registry with a `Board` record as its context. All open instances of one
// board share one libusb handle (opened and its interfaces claimed at the
// first open, released at the last close). Every data and control request is
// an asynchronous libusb transfer recorded in `g_pending` until its callback
// has run; the callback writes the status words into the caller's request
// block and ends the request with CompleteRequest. Callbacks run inside
// libusb's event handling, which the platform's waits drive through the event
// pump registered here.

#include "drivers/libusb/libusb_backend.h"

#include <libusb.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "drivers/libusb/board_ids.h"
#include "platform/driver.h"
#include "usb/driver_interface.h"

namespace vek::usbdrv {
namespace {

using platform::IoOutcome;
using platform::IoRequest;
using platform::IoState;

// Status words for outcomes the driver interface names no constant for.
constexpr uint32_t kUsbdStatusBabble = 0xC0000012u;
constexpr uint32_t kUsbdStatusTimeout = 0xC0006000u;
constexpr uint32_t kNtStatusIoTimeout = 0xC00000B5u;
constexpr uint32_t kNtStatusDataOverrun = 0xC000003Cu;

// Version word reported as the driver's: this backend's version 1.0.
constexpr uint32_t kBackendVersion = 0x00010000u;

// How long an abort or a close waits for cancelled transfers to come back
// before it gives up on a device that stopped answering.
constexpr auto kCancelWaitLimit = std::chrono::seconds(30);

struct Board;

struct Instance {
    Board *board;
};

struct Transfer {
    libusb_transfer *xfer = nullptr;
    Board *board = nullptr;
    Instance *owner = nullptr;
    uint8_t endpoint = 0;
    OVERLAPPED *overlapped = nullptr;
    TransferRequest *block = nullptr;  // where the status words go
    DWORD headBytes = 0;               // added to the data count in the returned count
    uint8_t *replyTo = nullptr;        // control IN: where the reply is copied
    std::vector<uint8_t> setupBuffer;  // control transfers: setup packet + data stage
    uint8_t *isoRecords = nullptr;     // isochronous: the caller's packet records
    uint32_t isoRecordCount = 0;
};

struct Board {
    libusb_device *device = nullptr;  // one reference held while registered
    uint64_t registryId = 0;
    std::string path;
    uint8_t bus = 0;
    uint8_t address = 0;
    std::string portPath;  // "1-2.3"
    bool gone = false;

    // Shared open state.
    libusb_device_handle *handle = nullptr;
    int openCount = 0;
    std::vector<int> claimed;
    std::string deviceName;
    std::string friendlyName;
    uint8_t altSetting = 0;
    struct Pipe {
        uint8_t address;
        uint8_t type;  // LIBUSB_TRANSFER_TYPE_*
        int isoPacketSize;
    };
    std::vector<Pipe> pipes;
};

std::mutex g_mutex;  // guards everything below
libusb_context *g_context = nullptr;
bool g_initFailed = false;
bool g_hookInstalled = false;
std::vector<std::unique_ptr<Board>> g_boards;    // registered, in registration order
std::vector<std::unique_ptr<Board>> g_retired;   // unplugged; kept until shutdown
std::vector<Transfer *> g_pending;               // submitted, callback not yet run
std::atomic<bool> g_permissionNoticeShown{false};
std::atomic<bool> g_busyNoticeShown{false};

// ---------------------------------------------------------------------------
// Outcome mapping

struct Status {
    DWORD error;
    uint32_t usbd;
    uint32_t nt;
};

Status StatusOf(libusb_transfer_status status) {
    switch (status) {
        case LIBUSB_TRANSFER_COMPLETED: return {ERROR_SUCCESS, 0, 0};
        case LIBUSB_TRANSFER_STALL: return {ERROR_GEN_FAILURE, kUsbdStatusStall, kNtStatusUnsuccessful};
        case LIBUSB_TRANSFER_CANCELLED:
            return {ERROR_OPERATION_ABORTED, kUsbdStatusCanceled, kNtStatusCancelled};
        case LIBUSB_TRANSFER_NO_DEVICE:
            return {ERROR_DEVICE_NOT_CONNECTED, kUsbdStatusDeviceGone, kNtStatusNoSuchDevice};
        case LIBUSB_TRANSFER_TIMED_OUT: return {ERROR_SEM_TIMEOUT, kUsbdStatusTimeout, kNtStatusIoTimeout};
        case LIBUSB_TRANSFER_OVERFLOW: return {ERROR_GEN_FAILURE, kUsbdStatusBabble, kNtStatusDataOverrun};
        case LIBUSB_TRANSFER_ERROR:
        default: return {ERROR_GEN_FAILURE, kUsbdStatusStall, kNtStatusUnsuccessful};
    }
}

DWORD ErrorOf(int libusbError) {
    switch (libusbError) {
        case LIBUSB_SUCCESS: return ERROR_SUCCESS;
        case LIBUSB_ERROR_ACCESS: return ERROR_ACCESS_DENIED;
        case LIBUSB_ERROR_NO_DEVICE: return ERROR_DEVICE_NOT_CONNECTED;
        case LIBUSB_ERROR_NOT_FOUND: return ERROR_FILE_NOT_FOUND;
        case LIBUSB_ERROR_BUSY: return ERROR_ACCESS_DENIED;
        case LIBUSB_ERROR_TIMEOUT: return ERROR_SEM_TIMEOUT;
        case LIBUSB_ERROR_INVALID_PARAM: return ERROR_INVALID_PARAMETER;
        case LIBUSB_ERROR_NO_MEM: return ERROR_NOT_ENOUGH_MEMORY;
        case LIBUSB_ERROR_NOT_SUPPORTED: return ERROR_NOT_SUPPORTED;
        default: return ERROR_GEN_FAILURE;
    }
}

void SetBlockStatus(TransferRequest *block, uint32_t usbd, uint32_t nt) {
    if (block == nullptr) return;
    // The block may sit at any alignment in the caller's buffer.
    std::memcpy(reinterpret_cast<uint8_t *>(block) + offsetof(TransferRequest, ntStatus), &nt, 4);
    std::memcpy(reinterpret_cast<uint8_t *>(block) + offsetof(TransferRequest, usbdStatus), &usbd, 4);
}

IoOutcome Done(DWORD error, DWORD bytes = 0) { return {IoState::Complete, error, bytes}; }
IoOutcome Refused(DWORD error) { return {IoState::Failed, error, 0}; }

// ---------------------------------------------------------------------------
// Event handling

void PumpEvents(DWORD timeoutMs) {
    libusb_context *ctx;
    {
        std::lock_guard lock(g_mutex);
        ctx = g_context;
    }
    if (ctx == nullptr) return;
    timeval tv{static_cast<time_t>(timeoutMs / 1000), static_cast<suseconds_t>((timeoutMs % 1000) * 1000)};
    libusb_handle_events_timeout_completed(ctx, &tv, nullptr);
}

// Handles events until no transfer of `board` matching `match` is pending.
template <typename Match>
void WaitForCancelled(Board *board, Match match) {
    const auto deadline = std::chrono::steady_clock::now() + kCancelWaitLimit;
    for (;;) {
        libusb_context *ctx;
        {
            std::lock_guard lock(g_mutex);
            bool any = std::any_of(g_pending.begin(), g_pending.end(),
                                   [&](const Transfer *t) { return t->board == board && match(*t); });
            if (!any) return;
            ctx = g_context;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            std::fprintf(stderr, "vek: the USB board at %s did not end its cancelled transfers\n",
                         board->portPath.c_str());
            return;
        }
        timeval tv{0, 100 * 1000};
        libusb_handle_events_timeout_completed(ctx, &tv, nullptr);
    }
}

template <typename Match>
void CancelAndWait(Board *board, Match match) {
    {
        std::lock_guard lock(g_mutex);
        for (Transfer *t : g_pending)
            if (t->board == board && match(*t)) libusb_cancel_transfer(t->xfer);
    }
    WaitForCancelled(board, match);
}

// The event pump is installed only while a transfer is pending, so that waits
// on other backends' requests never pass through libusb's event handling.
void AddPendingLocked(Transfer *t) {
    g_pending.push_back(t);
    if (g_pending.size() == 1) platform::RegisterEventPump(PumpEvents);
}

void RemovePendingLocked(Transfer *t) {
    g_pending.erase(std::remove(g_pending.begin(), g_pending.end(), t), g_pending.end());
    if (g_pending.empty()) platform::UnregisterEventPump(PumpEvents);
}

void LIBUSB_CALL OnTransferDone(libusb_transfer *xfer) {
    auto *t = static_cast<Transfer *>(xfer->user_data);
    Status status = StatusOf(xfer->status);
    DWORD data = 0;
    if (xfer->type == LIBUSB_TRANSFER_TYPE_ISOCHRONOUS) {
        for (int i = 0; i < xfer->num_iso_packets; ++i) {
            const libusb_iso_packet_descriptor &p = xfer->iso_packet_desc[i];
            data += p.actual_length;
            if (t->isoRecords != nullptr && static_cast<uint32_t>(i) < t->isoRecordCount) {
                // One 8-byte record per packet: bytes moved, then the packet's status word.
                uint32_t length = p.actual_length;
                uint32_t packetStatus = StatusOf(p.status).usbd;
                std::memcpy(t->isoRecords + 8 * i, &length, 4);
                std::memcpy(t->isoRecords + 8 * i + 4, &packetStatus, 4);
            }
        }
    } else {
        data = static_cast<DWORD>(xfer->actual_length);
    }
    if (t->replyTo != nullptr && data > 0)
        std::memcpy(t->replyTo, t->setupBuffer.data() + LIBUSB_CONTROL_SETUP_SIZE, data);
    SetBlockStatus(t->block, status.usbd, status.nt);
    OVERLAPPED *overlapped = t->overlapped;
    DWORD bytes = t->headBytes + data;
    {
        std::lock_guard lock(g_mutex);
        RemovePendingLocked(t);
        if (status.error == ERROR_DEVICE_NOT_CONNECTED) t->board->gone = true;
    }
    libusb_free_transfer(xfer);
    delete t;
    platform::CompleteRequest(overlapped, status.error, bytes);
}

// ---------------------------------------------------------------------------
// Open and close

std::string ReadString(libusb_device_handle *handle, uint8_t index) {
    if (index == 0) return {};
    unsigned char text[256] = {};
    int n = libusb_get_string_descriptor_ascii(handle, index, text, sizeof text - 1);
    if (n <= 0) return {};
    return std::string(reinterpret_cast<char *>(text), static_cast<size_t>(n));
}

// The pipes of the claimed interfaces at their current alternate settings.
void MapPipes(Board *board) {
    board->pipes.clear();
    libusb_config_descriptor *config = nullptr;
    if (libusb_get_active_config_descriptor(board->device, &config) != LIBUSB_SUCCESS) return;
    for (int i = 0; i < config->bNumInterfaces; ++i) {
        const libusb_interface &itf = config->interface[i];
        for (int a = 0; a < itf.num_altsetting; ++a) {
            const libusb_interface_descriptor &alt = itf.altsetting[a];
            uint8_t wanted = alt.bInterfaceNumber == 0 ? board->altSetting : 0;
            if (alt.bAlternateSetting != wanted) continue;
            for (int e = 0; e < alt.bNumEndpoints; ++e) {
                const libusb_endpoint_descriptor &ep = alt.endpoint[e];
                Board::Pipe pipe{ep.bEndpointAddress, static_cast<uint8_t>(ep.bmAttributes & 3), 0};
                if (pipe.type == LIBUSB_TRANSFER_TYPE_ISOCHRONOUS)
                    pipe.isoPacketSize = libusb_get_max_iso_packet_size(board->device, ep.bEndpointAddress);
                board->pipes.push_back(pipe);
            }
        }
    }
    libusb_free_config_descriptor(config);
}

const Board::Pipe *FindPipe(const Board *board, uint8_t address) {
    for (const Board::Pipe &p : board->pipes)
        if (p.address == address) return &p;
    return nullptr;
}

void NoticePermission(const Board *board) {
    if (g_permissionNoticeShown.exchange(true)) return;
    std::fprintf(stderr,
                 "vek: no permission to open the USB board at %s (/dev/bus/usb/%03u/%03u).\n"
                 "vek: install the udev rule 70-vek.rules (cmake --install puts it in lib/udev/rules.d;\n"
                 "vek: or: sudo cp udev/70-vek.rules /etc/udev/rules.d/ && sudo udevadm control --reload\n"
                 "vek: && sudo udevadm trigger), then unplug and replug the board.\n",
                 board->portPath.c_str(), board->bus, board->address);
}

void NoticeBusy(const Board *board, int interfaceNumber, int error) {
    if (g_busyNoticeShown.exchange(true)) return;
    std::fprintf(stderr, "vek: cannot claim interface %d of the USB board at %s: %s (another program may be using it)\n",
                 interfaceNumber, board->portPath.c_str(), libusb_strerror(static_cast<libusb_error>(error)));
}

// Opens and closes run one at a time; the libusb calls they make (string
// reads run event handling) are made without g_mutex held.
std::mutex g_openMutex;

DWORD OpsOpen(void *device, void **openContext) {
    auto *board = static_cast<Board *>(device);
    std::lock_guard openLock(g_openMutex);
    {
        std::lock_guard lock(g_mutex);
        if (board->gone || board->device == nullptr) return ERROR_DEVICE_NOT_CONNECTED;
        if (board->openCount > 0) {
            ++board->openCount;
            *openContext = new Instance{board};
            return ERROR_SUCCESS;
        }
    }
    libusb_device_handle *handle = nullptr;
    int r = libusb_open(board->device, &handle);
    if (r != LIBUSB_SUCCESS) {
        if (r == LIBUSB_ERROR_ACCESS) NoticePermission(board);
        return ErrorOf(r);
    }
    // A kernel driver bound to an interface is detached when the interface is
    // claimed and reattached when it is released.
    libusb_set_auto_detach_kernel_driver(handle, 1);
    libusb_config_descriptor *config = nullptr;
    int interfaces = 1;
    if (libusb_get_active_config_descriptor(board->device, &config) == LIBUSB_SUCCESS) {
        interfaces = config->bNumInterfaces;
        libusb_free_config_descriptor(config);
    }
    std::vector<int> claimed;
    for (int i = 0; i < interfaces; ++i) {
        r = libusb_claim_interface(handle, i);
        if (r == LIBUSB_SUCCESS) {
            claimed.push_back(i);
        } else if (i == 0) {
            if (r == LIBUSB_ERROR_ACCESS)
                NoticePermission(board);
            else if (r != LIBUSB_ERROR_NO_DEVICE)
                NoticeBusy(board, i, r);
            libusb_close(handle);
            return ErrorOf(r);
        }
    }
    libusb_device_descriptor dd{};
    libusb_get_device_descriptor(board->device, &dd);
    std::string manufacturer = ReadString(handle, dd.iManufacturer);
    std::string product = ReadString(handle, dd.iProduct);
    char fallback[64];
    std::snprintf(fallback, sizeof fallback, "USB device %04x:%04x", dd.idVendor, dd.idProduct);
    std::string friendly = manufacturer;
    if (!product.empty()) friendly += (friendly.empty() ? "" : " ") + product;
    if (friendly.empty()) friendly = fallback;

    std::lock_guard lock(g_mutex);
    board->handle = handle;
    board->claimed = std::move(claimed);
    board->deviceName = product.empty() ? fallback : product;
    board->friendlyName = friendly + " (" + board->portPath + ")";
    board->altSetting = 0;
    board->openCount = 1;
    MapPipes(board);
    *openContext = new Instance{board};
    return ERROR_SUCCESS;
}

void OpsClose(void *openContext) {
    auto *instance = static_cast<Instance *>(openContext);
    Board *board = instance->board;
    CancelAndWait(board, [&](const Transfer &t) { return t.owner == instance; });
    std::lock_guard openLock(g_openMutex);
    libusb_device_handle *handle = nullptr;
    std::vector<int> claimed;
    {
        std::lock_guard lock(g_mutex);
        delete instance;
        if (--board->openCount == 0) {
            handle = board->handle;
            board->handle = nullptr;
            claimed = std::move(board->claimed);
            board->claimed.clear();
        }
    }
    if (handle == nullptr) return;
    for (int i : claimed) libusb_release_interface(handle, i);
    libusb_close(handle);
}

// ---------------------------------------------------------------------------
// Requests

TransferRequest ReadBlock(const void *p) {
    TransferRequest block;
    std::memcpy(&block, p, sizeof block);
    return block;
}

IoOutcome CopyOut(const IoRequest &req, const void *data, DWORD length, DWORD bufferLength) {
    if (req.out == nullptr || req.outLength < length) return Refused(ERROR_INSUFFICIENT_BUFFER);
    std::memset(req.out, 0, std::min(req.outLength, bufferLength));
    std::memcpy(req.out, data, length);
    return Done(ERROR_SUCCESS, std::max(length, std::min(req.outLength, bufferLength)));
}

IoOutcome CopyText(const IoRequest &req, const std::string &text) {
    if (req.out == nullptr || req.outLength == 0) return Refused(ERROR_INSUFFICIENT_BUFFER);
    DWORD n = std::min<DWORD>(static_cast<DWORD>(text.size()), req.outLength - 1);
    std::memset(req.out, 0, req.outLength);
    std::memcpy(req.out, text.data(), n);
    return Done(ERROR_SUCCESS, req.outLength);
}

// Submits a filled transfer; on refusal frees it and reports why.
IoOutcome Submit(Transfer *t) {
    {
        std::lock_guard lock(g_mutex);
        AddPendingLocked(t);
    }
    int r = libusb_submit_transfer(t->xfer);
    if (r == LIBUSB_SUCCESS) return {IoState::Pending, ERROR_IO_PENDING, 0};
    {
        std::lock_guard lock(g_mutex);
        RemovePendingLocked(t);
        if (r == LIBUSB_ERROR_NO_DEVICE) t->board->gone = true;
    }
    if (r == LIBUSB_ERROR_NO_DEVICE)
        SetBlockStatus(t->block, kUsbdStatusDeviceGone, kNtStatusNoSuchDevice);
    else
        SetBlockStatus(t->block, kUsbdStatusStall, kNtStatusUnsuccessful);
    libusb_free_transfer(t->xfer);
    delete t;
    return Refused(ErrorOf(r));
}

IoOutcome ControlRequest(Instance *instance, const IoRequest &req) {
    Board *board = instance->board;
    if (req.in == nullptr || req.inLength < kTransferRequestSize) return Refused(ERROR_INVALID_PARAMETER);
    TransferRequest block = ReadBlock(req.in);
    uint8_t *dest = static_cast<uint8_t *>(req.out != nullptr ? req.out : req.in);
    DWORD destLength = req.out != nullptr ? req.outLength : req.inLength;
    // The block is packed: its fields are read by value only.
    const uint32_t bufferOffset = block.bufferOffset;
    uint32_t offset = bufferOffset != 0 ? bufferOffset : uint32_t{kTransferRequestSize};
    uint32_t length = block.wLength;
    if (offset < kTransferRequestSize || uint64_t{offset} + length > req.inLength ||
        uint64_t{offset} + length > destLength)
        return Refused(ERROR_INVALID_PARAMETER);
    if (dest != req.in) std::memcpy(dest, req.in, kTransferRequestSize);
    auto *blockOut = reinterpret_cast<TransferRequest *>(dest);
    SetBlockStatus(blockOut, 0, 0);

    auto *t = new Transfer;
    t->board = board;
    t->owner = instance;
    t->endpoint = 0;
    t->overlapped = req.overlapped;
    t->block = blockOut;
    t->headBytes = offset;
    t->setupBuffer.assign(LIBUSB_CONTROL_SETUP_SIZE + length, 0);
    libusb_fill_control_setup(t->setupBuffer.data(), block.bmRequestType, block.bRequest, block.wValue,
                              block.wIndex, static_cast<uint16_t>(length));
    const bool in = (block.bmRequestType & LIBUSB_ENDPOINT_IN) != 0;
    if (in)
        t->replyTo = dest + offset;
    else if (length > 0)
        std::memcpy(t->setupBuffer.data() + LIBUSB_CONTROL_SETUP_SIZE, static_cast<uint8_t *>(req.in) + offset,
                    length);
    t->xfer = libusb_alloc_transfer(0);
    if (t->xfer == nullptr) {
        delete t;
        return Refused(ERROR_NOT_ENOUGH_MEMORY);
    }
    libusb_device_handle *handle;
    {
        std::lock_guard lock(g_mutex);
        handle = board->gone ? nullptr : board->handle;
    }
    if (handle == nullptr) {
        libusb_free_transfer(t->xfer);
        delete t;
        SetBlockStatus(blockOut, kUsbdStatusDeviceGone, kNtStatusNoSuchDevice);
        return Refused(ERROR_DEVICE_NOT_CONNECTED);
    }
    libusb_fill_control_transfer(t->xfer, handle, t->setupBuffer.data(), OnTransferDone, t,
                                 block.timeoutSeconds * 1000u);
    return Submit(t);
}

// Buffered (data inside the block) and direct (data in the output buffer)
// requests on a data pipe.
IoOutcome DataRequest(Instance *instance, const IoRequest &req, bool direct) {
    Board *board = instance->board;
    if (req.in == nullptr || req.inLength < kTransferRequestSize) return Refused(ERROR_INVALID_PARAMETER);
    TransferRequest block = ReadBlock(req.in);
    auto *blockIo = static_cast<uint8_t *>(req.in);
    uint8_t *data;
    uint32_t length;
    DWORD head;
    if (direct) {
        data = static_cast<uint8_t *>(req.out);
        length = req.out != nullptr ? req.outLength : 0;
        head = 0;
    } else {
        if (req.out != nullptr && req.out != req.in) return Refused(ERROR_INVALID_PARAMETER);
        if (block.bufferOffset < kTransferRequestSize ||
            uint64_t{block.bufferOffset} + block.bufferLength > req.inLength)
            return Refused(ERROR_INVALID_PARAMETER);
        data = blockIo + block.bufferOffset;
        length = block.bufferLength;
        head = block.bufferOffset;
    }
    auto *blockOut = reinterpret_cast<TransferRequest *>(blockIo);
    SetBlockStatus(blockOut, 0, 0);

    libusb_device_handle *handle;
    Board::Pipe pipe{};
    {
        std::lock_guard lock(g_mutex);
        handle = board->gone ? nullptr : board->handle;
        const Board::Pipe *p = FindPipe(board, block.endpointAddress);
        if (p != nullptr) pipe = *p;
        else if (handle != nullptr) return Refused(ERROR_INVALID_PARAMETER);
    }
    if (handle == nullptr) {
        SetBlockStatus(blockOut, kUsbdStatusDeviceGone, kNtStatusNoSuchDevice);
        return Refused(ERROR_DEVICE_NOT_CONNECTED);
    }

    int packets = 0;
    uint8_t *records = nullptr;
    uint32_t recordCount = 0;
    if (pipe.type == LIBUSB_TRANSFER_TYPE_ISOCHRONOUS) {
        if (pipe.isoPacketSize <= 0 || length == 0) return Refused(ERROR_INVALID_PARAMETER);
        packets = static_cast<int>((length + pipe.isoPacketSize - 1) / pipe.isoPacketSize);
        if (block.isoPacketLength > 0 && block.isoPacketOffset >= kTransferRequestSize &&
            uint64_t{block.isoPacketOffset} + block.isoPacketLength <= req.inLength) {
            records = blockIo + block.isoPacketOffset;
            recordCount = block.isoPacketLength / 8;
            std::memset(records, 0, block.isoPacketLength);
        }
    }

    auto *t = new Transfer;
    t->board = board;
    t->owner = instance;
    t->endpoint = block.endpointAddress;
    t->overlapped = req.overlapped;
    t->block = blockOut;
    t->headBytes = head;
    t->isoRecords = records;
    t->isoRecordCount = recordCount;
    t->xfer = libusb_alloc_transfer(packets);
    if (t->xfer == nullptr) {
        delete t;
        return Refused(ERROR_NOT_ENOUGH_MEMORY);
    }
    const unsigned timeout = block.timeoutSeconds * 1000u;
    switch (pipe.type) {
        case LIBUSB_TRANSFER_TYPE_BULK:
            libusb_fill_bulk_transfer(t->xfer, handle, pipe.address, data, static_cast<int>(length), OnTransferDone,
                                      t, timeout);
            break;
        case LIBUSB_TRANSFER_TYPE_INTERRUPT:
            libusb_fill_interrupt_transfer(t->xfer, handle, pipe.address, data, static_cast<int>(length),
                                           OnTransferDone, t, timeout);
            break;
        case LIBUSB_TRANSFER_TYPE_ISOCHRONOUS:
            libusb_fill_iso_transfer(t->xfer, handle, pipe.address, data, static_cast<int>(length), packets,
                                     OnTransferDone, t, timeout);
            libusb_set_iso_packet_lengths(t->xfer, static_cast<unsigned>(pipe.isoPacketSize));
            // The last packet carries only what is left.
            t->xfer->iso_packet_desc[packets - 1].length =
                length - static_cast<uint32_t>(pipe.isoPacketSize) * static_cast<uint32_t>(packets - 1);
            break;
        default:
            libusb_free_transfer(t->xfer);
            delete t;
            return Refused(ERROR_INVALID_PARAMETER);
    }
    return Submit(t);
}

IoOutcome OpsIoctl(void *openContext, IoRequest *request) {
    auto *instance = static_cast<Instance *>(openContext);
    Board *board = instance->board;
    const IoRequest &req = *request;
    switch (req.code) {
        case ioctl::kGetDriverVersion: {
            uint32_t v = kBackendVersion;
            return CopyOut(req, &v, 4, 4);
        }
        case ioctl::kGetStackVersion: {
            const libusb_version *lv = libusb_get_version();
            uint32_t v = (uint32_t{lv->major} << 24) | (uint32_t{lv->minor} << 16) | lv->micro;
            return CopyOut(req, &v, 4, 4);
        }
        case ioctl::kGetAltSetting: {
            std::lock_guard lock(g_mutex);
            uint8_t alt = board->altSetting;
            return CopyOut(req, &alt, 1, 1);
        }
        case ioctl::kSetAltSetting: {
            if (req.in == nullptr || req.inLength < 1) return Refused(ERROR_INVALID_PARAMETER);
            uint8_t alt = *static_cast<uint8_t *>(req.in);
            libusb_device_handle *handle;
            {
                std::lock_guard lock(g_mutex);
                handle = board->gone ? nullptr : board->handle;
            }
            if (handle == nullptr) return Refused(ERROR_DEVICE_NOT_CONNECTED);
            int r = libusb_set_interface_alt_setting(handle, 0, alt);
            if (r != LIBUSB_SUCCESS) return Done(ErrorOf(r));
            std::lock_guard lock(g_mutex);
            board->altSetting = alt;
            MapPipes(board);
            return Done(ERROR_SUCCESS, 0);
        }
        case ioctl::kGetAddress: {
            uint8_t address = board->address;
            return CopyOut(req, &address, 1, 1);
        }
        case ioctl::kGetSpeed: {
            uint32_t code = 1;
            switch (libusb_get_device_speed(board->device)) {
                case LIBUSB_SPEED_HIGH: code = kSpeedHigh; break;
                case LIBUSB_SPEED_SUPER:
                case LIBUSB_SPEED_SUPER_PLUS: code = kSpeedSuper; break;
                case LIBUSB_SPEED_LOW: code = 0; break;
                default: code = 1; break;
            }
            return CopyOut(req, &code, 4, 4);
        }
        case ioctl::kGetDeviceName: {
            std::lock_guard lock(g_mutex);
            return CopyText(req, board->deviceName);
        }
        case ioctl::kGetFriendlyName: {
            std::lock_guard lock(g_mutex);
            return CopyText(req, board->friendlyName);
        }
        case ioctl::kControlRequest: return ControlRequest(instance, req);
        case ioctl::kBufferedData: return DataRequest(instance, req, false);
        case ioctl::kDirectData: return DataRequest(instance, req, true);
        case ioctl::kResetPipe: {
            if (req.in == nullptr || req.inLength < 1) return Refused(ERROR_INVALID_PARAMETER);
            uint8_t address = *static_cast<uint8_t *>(req.in);
            libusb_device_handle *handle;
            {
                std::lock_guard lock(g_mutex);
                handle = board->gone ? nullptr : board->handle;
            }
            if (handle == nullptr) return Refused(ERROR_DEVICE_NOT_CONNECTED);
            int r = libusb_clear_halt(handle, address);
            if (r == LIBUSB_ERROR_NO_DEVICE) {
                std::lock_guard lock(g_mutex);
                board->gone = true;
            }
            return Done(ErrorOf(r));
        }
        case ioctl::kAbortPipe: {
            if (req.in == nullptr || req.inLength < 1) return Refused(ERROR_INVALID_PARAMETER);
            uint8_t address = *static_cast<uint8_t *>(req.in);
            CancelAndWait(board, [&](const Transfer &t) { return t.endpoint == address; });
            return Done(ERROR_SUCCESS);
        }
        default: return Refused(ERROR_NOT_SUPPORTED);
    }
}

const platform::DriverOps kOps = {"libusb", OpsOpen, OpsClose, OpsIoctl};

// ---------------------------------------------------------------------------
// Enumeration

bool IsBoard(libusb_device *device, const std::vector<UsbId> &ids) {
    libusb_device_descriptor dd{};
    if (libusb_get_device_descriptor(device, &dd) != LIBUSB_SUCCESS) return false;
    if (std::find(ids.begin(), ids.end(), UsbId{dd.idVendor, dd.idProduct}) != ids.end()) return true;
    libusb_config_descriptor *config = nullptr;
    if (libusb_get_active_config_descriptor(device, &config) != LIBUSB_SUCCESS &&
        libusb_get_config_descriptor(device, 0, &config) != LIBUSB_SUCCESS)
        return false;
    bool board = false;
    if (config->bNumInterfaces > 0 && config->interface[0].num_altsetting > 0) {
        const libusb_interface_descriptor &alt = config->interface[0].altsetting[0];
        std::vector<EndpointInfo> endpoints;
        for (int e = 0; e < alt.bNumEndpoints; ++e)
            endpoints.push_back({alt.endpoint[e].bEndpointAddress, alt.endpoint[e].bmAttributes});
        board = HasBoardEndpointLayout(endpoints);
    }
    libusb_free_config_descriptor(config);
    return board;
}

std::string PortPathOf(libusb_device *device) {
    uint8_t ports[8];
    int n = libusb_get_port_numbers(device, ports, sizeof ports);
    std::string path = std::to_string(libusb_get_bus_number(device));
    for (int i = 0; i < n; ++i) {
        path.push_back(i == 0 ? '-' : '.');
        path.append(std::to_string(ports[i]));
    }
    return path;
}

bool EnsureContextLocked() {
    if (g_context != nullptr) return true;
    if (g_initFailed) return false;
    // VEK_NO_LIBUSB=1 leaves real boards alone (only virtual boards are listed).
    if (const char *off = std::getenv("VEK_NO_LIBUSB"); off != nullptr && *off != '\0' && *off != '0') return false;
    if (libusb_init(&g_context) != LIBUSB_SUCCESS) {
        g_context = nullptr;
        g_initFailed = true;
        return false;
    }
    if (std::getenv("LIBUSB_DEBUG") == nullptr)
        libusb_set_option(g_context, LIBUSB_OPTION_LOG_LEVEL, LIBUSB_LOG_LEVEL_NONE);
    return true;
}

size_t Refresh() {
    std::vector<uint64_t> toUnregister;
    std::vector<Board *> toRegister;
    size_t count = 0;
    {
        std::lock_guard lock(g_mutex);
        if (!EnsureContextLocked()) return 0;
        libusb_device **list = nullptr;
        ssize_t n = libusb_get_device_list(g_context, &list);
        if (n < 0) return g_boards.size();
        std::vector<libusb_device *> present(list, list + n);
        const std::vector<UsbId> ids = KnownBoardIds();

        // Boards that left (or were found gone by a transfer).
        for (auto it = g_boards.begin(); it != g_boards.end();) {
            Board *board = it->get();
            bool listed = std::find(present.begin(), present.end(), board->device) != present.end();
            if (listed && !board->gone) {
                ++it;
                continue;
            }
            board->gone = true;
            toUnregister.push_back(board->registryId);
            g_retired.push_back(std::move(*it));
            it = g_boards.erase(it);
        }
        // New boards, ordered by bus and port.
        std::vector<std::unique_ptr<Board>> found;
        for (libusb_device *device : present) {
            bool known = std::any_of(g_boards.begin(), g_boards.end(),
                                     [&](const auto &b) { return b->device == device; }) ||
                         std::any_of(g_retired.begin(), g_retired.end(),
                                     [&](const auto &b) { return b->device == device; });
            if (known || !IsBoard(device, ids)) continue;
            auto board = std::make_unique<Board>();
            board->device = libusb_ref_device(device);
            board->bus = libusb_get_bus_number(device);
            board->address = libusb_get_device_address(device);
            board->portPath = PortPathOf(device);
            libusb_device_descriptor dd{};
            libusb_get_device_descriptor(device, &dd);
            char path[256];
            std::snprintf(path, sizeof path,
                          "\\\\?\\usb#vid_%04x&pid_%04x#%s@%u#{ae18aa60-7f6a-11d4-97dd-00010229b959}", dd.idVendor,
                          dd.idProduct, board->portPath.c_str(), board->address);
            board->path = path;
            found.push_back(std::move(board));
        }
        libusb_free_device_list(list, 1);
        std::sort(found.begin(), found.end(), [](const auto &a, const auto &b) {
            return std::tie(a->bus, a->portPath, a->address) < std::tie(b->bus, b->portPath, b->address);
        });
        for (auto &board : found) {
            toRegister.push_back(board.get());
            g_boards.push_back(std::move(board));
        }
        count = g_boards.size();
    }
    // The registry is called without this backend's lock held.
    for (uint64_t id : toUnregister) platform::UnregisterDevice(id);
    for (Board *board : toRegister) {
        uint64_t id = platform::RegisterDevice(kDriverInterfaceClass, board->path.c_str(), &kOps, board);
        std::lock_guard lock(g_mutex);
        board->registryId = id;
    }
    // Retired boards that nothing holds open give back their device.
    std::lock_guard lock(g_mutex);
    for (auto &board : g_retired) {
        if (board->openCount == 0 && board->device != nullptr) {
            libusb_unref_device(board->device);
            board->device = nullptr;
        }
    }
    return count;
}

void EnumerationHook(const GUID &interfaceClass) {
    if (std::memcmp(&interfaceClass, &kDriverInterfaceClass, sizeof(GUID)) != 0) return;
    Refresh();
}

// Installed when the library is loaded.
[[maybe_unused]] const bool g_autoEnabled = EnableLibusbBackend();

}  // namespace

bool EnableLibusbBackend() {
    {
        std::lock_guard lock(g_mutex);
        if (g_hookInstalled) return true;
        g_hookInstalled = true;
    }
    platform::RegisterEnumerationHook(EnumerationHook);
    return true;
}

size_t RefreshLibusbBoards() { return Refresh(); }

void ShutdownLibusbBackend() {
    platform::UnregisterEnumerationHook(EnumerationHook);
    std::vector<uint64_t> ids;
    bool anyOpen = false;
    {
        std::lock_guard lock(g_mutex);
        g_hookInstalled = false;
        for (auto &board : g_boards) {
            board->gone = true;
            ids.push_back(board->registryId);
            g_retired.push_back(std::move(board));
        }
        g_boards.clear();
        for (auto &board : g_retired) anyOpen = anyOpen || board->openCount > 0;
    }
    for (uint64_t id : ids) platform::UnregisterDevice(id);
    if (anyOpen) return;
    platform::UnregisterEventPump(PumpEvents);
    std::lock_guard lock(g_mutex);
    for (auto &board : g_retired)
        if (board->device != nullptr) libusb_unref_device(board->device);
    g_retired.clear();
    if (g_context != nullptr) libusb_exit(g_context);
    g_context = nullptr;
    g_initFailed = false;
}

}  // namespace vek::usbdrv

// Referenced at link time so that programs linking the static library keep
// this backend (and its load-time registration).
extern "C" {
int vek_libusb_backend_anchor = 1;
}
