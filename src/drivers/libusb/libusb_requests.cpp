// The libusb backend's requests: opening a board, its data and control
// transfers, pipe resets and aborts, and the driver queries (see
// libusb_board.h for what the two halves of the backend share).

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <utility>

#include "drivers/libusb/libusb_board.h"
#include "platform/log.h"
#include "usb/driver_interface.h"

namespace vek::usbdrv {

std::mutex g_mutex;
libusb_context *g_context = nullptr;
std::vector<Transfer *> g_pending;

namespace {

using drivers::Answer;
using drivers::Refused;
using drivers::UsbOutcome;

// Version word reported as the driver's: this backend's version 1.0.
constexpr uint32_t kBackendVersion = 0x00010000u;

std::atomic<std::chrono::milliseconds::rep> g_cancelWaitLimitMs{30000};
std::atomic<bool> g_permissionNoticeShown{false};
std::atomic<bool> g_busyNoticeShown{false};

// ---------------------------------------------------------------------------
// Outcome mapping

UsbOutcome OutcomeOf(libusb_transfer_status status) {
    switch (status) {
    case LIBUSB_TRANSFER_COMPLETED:
        return UsbOutcome::Success;
    case LIBUSB_TRANSFER_STALL:
        return UsbOutcome::Stall;
    case LIBUSB_TRANSFER_CANCELLED:
        return UsbOutcome::Cancelled;
    case LIBUSB_TRANSFER_NO_DEVICE:
        return UsbOutcome::DeviceGone;
    case LIBUSB_TRANSFER_TIMED_OUT:
        return UsbOutcome::Timeout;
    case LIBUSB_TRANSFER_OVERFLOW:
        return UsbOutcome::Overflow;
    case LIBUSB_TRANSFER_ERROR:
    default:
        return UsbOutcome::Error;
    }
}

DWORD ErrorOf(int libusbError) {
    switch (libusbError) {
    case LIBUSB_SUCCESS:
        return ERROR_SUCCESS;
    case LIBUSB_ERROR_ACCESS:
        return ERROR_ACCESS_DENIED;
    case LIBUSB_ERROR_NO_DEVICE:
        return ERROR_DEVICE_NOT_CONNECTED;
    case LIBUSB_ERROR_NOT_FOUND:
        return ERROR_FILE_NOT_FOUND;
    case LIBUSB_ERROR_BUSY:
        return ERROR_ACCESS_DENIED;
    case LIBUSB_ERROR_TIMEOUT:
        return ERROR_SEM_TIMEOUT;
    case LIBUSB_ERROR_INVALID_PARAM:
        return ERROR_INVALID_PARAMETER;
    case LIBUSB_ERROR_NO_MEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case LIBUSB_ERROR_NOT_SUPPORTED:
        return ERROR_NOT_SUPPORTED;
    default:
        return ERROR_GEN_FAILURE;
    }
}

Answer Failed(int libusbError) {
    return libusbError == LIBUSB_SUCCESS ? drivers::Done() : Refused(ErrorOf(libusbError));
}

// ---------------------------------------------------------------------------
// Event handling

void Pump(DWORD timeoutMs) {
    libusb_context *ctx;
    {
        std::lock_guard lock(g_mutex);
        ctx = g_context;
    }
    if (ctx == nullptr) return;
    timeval tv{static_cast<time_t>(timeoutMs / 1000), static_cast<suseconds_t>((timeoutMs % 1000) * 1000)};
    libusb_handle_events_timeout_completed(ctx, &tv, nullptr);
}

// The event pump is installed only while a transfer is pending, so that waits
// on other backends' requests never pass through libusb's event handling.
void AddPendingLocked(Transfer *t) {
    g_pending.push_back(t);
    if (g_pending.size() == 1) platform::RegisterEventPump(PumpEvents);
}

// False when `t` was no longer pending (a given-up board took it).
bool RemovePendingLocked(Transfer *t) {
    auto it = std::find(g_pending.begin(), g_pending.end(), t);
    if (it == g_pending.end()) return false;
    g_pending.erase(it);
    if (g_pending.empty()) platform::UnregisterEventPump(PumpEvents);
    return true;
}

// A board that does not end its cancelled transfers in time is given up: its
// handle is closed, which makes the kernel end the transfers and libusb drop
// them, so the callers' buffers are free again; their requests fail, and the
// board is registered afresh at the next enumeration if it is still listed.
void GiveUp(Board *board) {
    platform::Log(platform::LogLevel::Warning, "the USB board at %s did not end its cancelled transfers; closing it",
                  board->portPath.c_str());
    std::vector<Transfer *> orphans;
    libusb_device_handle *handle;
    {
        std::lock_guard lock(g_mutex);
        board->gone = true;
        handle = std::exchange(board->handle, nullptr);
        board->claimed.clear();
        for (Transfer *t : std::vector<Transfer *>(g_pending))
            if (t->board == board && RemovePendingLocked(t)) orphans.push_back(t);
    }
    if (handle != nullptr) libusb_close(handle);
    for (Transfer *t : orphans) {
        const drivers::Ending ending = drivers::Conclude(t->request, UsbOutcome::Timeout, 0);
        libusb_free_transfer(t->xfer);
        delete t;
        drivers::Deliver(ending);
    }
}

// Cancels the transfers of `board` matching `match` and handles events until
// they have ended, or gives the board up when that takes too long.
template <typename Match>
void CancelAndWait(Board *board, Match match) {
    {
        std::lock_guard lock(g_mutex);
        for (Transfer *t : g_pending)
            if (t->board == board && match(*t)) libusb_cancel_transfer(t->xfer);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(g_cancelWaitLimitMs.load());
    for (;;) {
        libusb_context *ctx;
        {
            std::lock_guard lock(g_mutex);
            bool any = std::any_of(g_pending.begin(), g_pending.end(),
                                   [&](const Transfer *t) { return t->board == board && match(*t); });
            if (!any) return;
            ctx = g_context;
        }
        if (std::chrono::steady_clock::now() > deadline) return GiveUp(board);
        timeval tv{0, 20 * 1000};
        libusb_handle_events_timeout_completed(ctx, &tv, nullptr);
    }
}

void LIBUSB_CALL OnTransferDone(libusb_transfer *xfer) {
    auto *t = static_cast<Transfer *>(xfer->user_data);
    const UsbOutcome outcome = OutcomeOf(xfer->status);
    {
        std::lock_guard lock(g_mutex);
        if (!RemovePendingLocked(t)) return;  // given up: GiveUp ends it
        if (outcome == UsbOutcome::DeviceGone) t->board->gone = true;
    }
    uint32_t data = 0;
    if (xfer->type == LIBUSB_TRANSFER_TYPE_ISOCHRONOUS) {
        for (int i = 0; i < xfer->num_iso_packets; ++i) {
            const libusb_iso_packet_descriptor &p = xfer->iso_packet_desc[i];
            data += p.actual_length;
            t->request.packets.Set(static_cast<uint32_t>(i), p.actual_length, OutcomeOf(p.status));
        }
    } else {
        data = static_cast<uint32_t>(xfer->actual_length);
    }
    if (t->replyTo != nullptr && data > 0)
        std::memcpy(t->replyTo, t->setupBuffer.data() + LIBUSB_CONTROL_SETUP_SIZE, data);
    const drivers::Ending ending = drivers::Conclude(t->request, outcome, data);
    libusb_free_transfer(xfer);
    delete t;
    drivers::Deliver(ending);
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

// The notice names the board's ids and the udev rule line that would give
// access (udev/70-vek.rules holds the built-in ones).
void NoticePermission(const Board *board) {
    if (g_permissionNoticeShown.exchange(true)) return;
    libusb_device_descriptor dd{};
    libusb_get_device_descriptor(board->device, &dd);
    platform::Log(
        platform::LogLevel::Error,
        "no permission to open the USB board %04x:%04x at %s (/dev/bus/usb/%03u/%03u); a udev rule gives it:\n"
        "  SUBSYSTEM==\"usb\", ATTR{idVendor}==\"%04x\", ATTR{idProduct}==\"%04x\", TAG+=\"uaccess\"\n"
        "in /etc/udev/rules.d/70-vek.rules (docs/real-boards-linux.md), then: sudo udevadm control --reload "
        "&& sudo udevadm trigger, and replug the board",
        dd.idVendor, dd.idProduct, board->portPath.c_str(), board->bus, board->address, dd.idVendor, dd.idProduct);
}

void NoticeBusy(const Board *board, int interfaceNumber, int error) {
    if (g_busyNoticeShown.exchange(true)) return;
    platform::Log(platform::LogLevel::Error,
                  "cannot claim interface %d of the USB board at %s: %s (another program may be using it)",
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
    std::lock_guard openLock(g_openMutex);  // after the wait: a give-up closes the handle itself
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

Instance *InstanceOf(void *openContext) { return static_cast<Instance *>(openContext); }

// The board's shared handle, or null once the board is gone.
libusb_device_handle *HandleOf(Board *board) {
    std::lock_guard lock(g_mutex);
    return board->gone ? nullptr : board->handle;
}

// Submits a filled transfer; on refusal frees it and reports why.
Answer Submit(Transfer *t) {
    {
        std::lock_guard lock(g_mutex);
        AddPendingLocked(t);
    }
    int r = libusb_submit_transfer(t->xfer);
    if (r == LIBUSB_SUCCESS) return drivers::Pending();
    {
        std::lock_guard lock(g_mutex);
        RemovePendingLocked(t);
        if (r == LIBUSB_ERROR_NO_DEVICE) t->board->gone = true;
    }
    libusb_free_transfer(t->xfer);
    delete t;
    return Failed(r);
}

Transfer *NewTransfer(Instance *instance, const drivers::Transfer &request, int isoPackets) {
    auto *t = new Transfer;
    t->board = instance->board;
    t->owner = instance;
    t->request = request;
    t->xfer = libusb_alloc_transfer(isoPackets);
    if (t->xfer == nullptr) {
        delete t;
        return nullptr;
    }
    return t;
}

Answer ControlRequest(Instance *instance, const drivers::Transfer &request) {
    libusb_device_handle *handle = HandleOf(instance->board);
    if (handle == nullptr) return Refused(ERROR_DEVICE_NOT_CONNECTED);
    Transfer *t = NewTransfer(instance, request, 0);
    if (t == nullptr) return Refused(ERROR_NOT_ENOUGH_MEMORY);
    const drivers::Transfer::Setup &setup = request.setup;
    t->setupBuffer.assign(LIBUSB_CONTROL_SETUP_SIZE + request.length, 0);
    libusb_fill_control_setup(t->setupBuffer.data(), setup.bmRequestType, setup.bRequest, setup.wValue, setup.wIndex,
                              static_cast<uint16_t>(request.length));
    if ((setup.bmRequestType & LIBUSB_ENDPOINT_IN) != 0)
        t->replyTo = request.data;
    else if (request.length > 0)
        std::memcpy(t->setupBuffer.data() + LIBUSB_CONTROL_SETUP_SIZE, request.data, request.length);
    libusb_fill_control_transfer(t->xfer, handle, t->setupBuffer.data(), OnTransferDone, t, request.timeoutMs);
    return Submit(t);
}

Answer DataRequest(Instance *instance, const drivers::Transfer &request) {
    Board *board = instance->board;
    libusb_device_handle *handle;
    Board::Pipe pipe{};
    {
        std::lock_guard lock(g_mutex);
        handle = board->gone ? nullptr : board->handle;
        if (handle == nullptr) return Refused(ERROR_DEVICE_NOT_CONNECTED);
        const Board::Pipe *p = FindPipe(board, request.endpoint);
        if (p == nullptr) return Refused(ERROR_INVALID_PARAMETER);
        pipe = *p;
    }
    const uint32_t length = request.length;
    int packets = 0;
    if (pipe.type == LIBUSB_TRANSFER_TYPE_ISOCHRONOUS) {
        if (pipe.isoPacketSize <= 0 || length == 0) return Refused(ERROR_INVALID_PARAMETER);
        packets = static_cast<int>((length + pipe.isoPacketSize - 1) / pipe.isoPacketSize);
    }
    Transfer *t = NewTransfer(instance, request, packets);
    if (t == nullptr) return Refused(ERROR_NOT_ENOUGH_MEMORY);
    switch (pipe.type) {
    case LIBUSB_TRANSFER_TYPE_BULK:
        libusb_fill_bulk_transfer(t->xfer, handle, pipe.address, request.data, static_cast<int>(length), OnTransferDone,
                                  t, request.timeoutMs);
        break;
    case LIBUSB_TRANSFER_TYPE_INTERRUPT:
        libusb_fill_interrupt_transfer(t->xfer, handle, pipe.address, request.data, static_cast<int>(length),
                                       OnTransferDone, t, request.timeoutMs);
        break;
    case LIBUSB_TRANSFER_TYPE_ISOCHRONOUS:
        libusb_fill_iso_transfer(t->xfer, handle, pipe.address, request.data, static_cast<int>(length), packets,
                                 OnTransferDone, t, request.timeoutMs);
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

Answer OpsTransfer(void *openContext, const drivers::Transfer &request) {
    return request.control ? ControlRequest(InstanceOf(openContext), request)
                           : DataRequest(InstanceOf(openContext), request);
}

Answer OpsQuery(void *openContext, drivers::Query query, drivers::QueryReply &reply) {
    Board *board = InstanceOf(openContext)->board;
    switch (query) {
    case drivers::Query::DriverVersion:
        reply.Number(kBackendVersion);
        break;
    case drivers::Query::StackVersion: {
        const libusb_version *lv = libusb_get_version();
        reply.Number((uint32_t{lv->major} << 24) | (uint32_t{lv->minor} << 16) | lv->micro);
        break;
    }
    case drivers::Query::AltSetting: {
        std::lock_guard lock(g_mutex);
        reply.Number(board->altSetting);
        break;
    }
    case drivers::Query::Address:
        reply.Number(board->address);
        break;
    case drivers::Query::Speed:
        switch (libusb_get_device_speed(board->device)) {
        case LIBUSB_SPEED_HIGH:
            reply.Number(kSpeedHigh);
            break;
        case LIBUSB_SPEED_SUPER:
        case LIBUSB_SPEED_SUPER_PLUS:
            reply.Number(kSpeedSuper);
            break;
        case LIBUSB_SPEED_LOW:
            reply.Number(0);
            break;
        default:
            reply.Number(1);
            break;
        }
        break;
    case drivers::Query::DeviceName: {
        std::lock_guard lock(g_mutex);
        reply.Text(board->deviceName);
        break;
    }
    case drivers::Query::FriendlyName: {
        std::lock_guard lock(g_mutex);
        reply.Text(board->friendlyName);
        break;
    }
    }
    return drivers::Done();
}

Answer OpsSetAltSetting(void *openContext, uint8_t alternate) {
    Board *board = InstanceOf(openContext)->board;
    libusb_device_handle *handle = HandleOf(board);
    if (handle == nullptr) return Refused(ERROR_DEVICE_NOT_CONNECTED);
    const int r = libusb_set_interface_alt_setting(handle, 0, alternate);
    if (r != LIBUSB_SUCCESS) return Failed(r);
    std::lock_guard lock(g_mutex);
    board->altSetting = alternate;
    MapPipes(board);
    return drivers::Done();
}

Answer OpsResetPipe(void *openContext, uint8_t endpoint) {
    Board *board = InstanceOf(openContext)->board;
    libusb_device_handle *handle = HandleOf(board);
    if (handle == nullptr) return Refused(ERROR_DEVICE_NOT_CONNECTED);
    const int r = libusb_clear_halt(handle, endpoint);
    if (r == LIBUSB_ERROR_NO_DEVICE) {
        std::lock_guard lock(g_mutex);
        board->gone = true;
    }
    return Failed(r);
}

Answer OpsAbortPipe(void *openContext, uint8_t endpoint) {
    CancelAndWait(InstanceOf(openContext)->board, [&](const Transfer &t) { return t.request.endpoint == endpoint; });
    return drivers::Done();
}

}  // namespace

// What enumeration learnt, which never changes while the board is registered.
void OpsDescribe(void *device, platform::DeviceSummary &summary) {
    const auto *board = static_cast<const Board *>(device);
    summary.vendorId = board->vendorId;
    summary.productId = board->productId;
    summary.bus = board->bus;
    summary.portPath = board->portPath;
    summary.serial = board->serial;
}

const drivers::BackendOps kLibusbOps = {"libusb",
                                        OpsOpen,
                                        OpsClose,
                                        OpsQuery,
                                        OpsTransfer,
                                        OpsResetPipe,
                                        OpsAbortPipe,
                                        OpsSetAltSetting,
                                        nullptr,
                                        nullptr,
                                        /*followsVirtualClock=*/false,
                                        OpsDescribe};

void PumpEvents(DWORD timeoutMs) { Pump(timeoutMs); }

void SetCancelWaitLimit(std::chrono::milliseconds limit) { g_cancelWaitLimitMs = limit.count(); }

}  // namespace vek::usbdrv
