// The libusb backend's transfers: every data and control request runs as a
// libusb asynchronous transfer, recorded as pending until its callback has
// run; cancelling, and giving up a board that does not end its cancelled
// transfers; how libusb's outcomes and errors read as the driver's (see
// libusb_board.h for what the backend's files share).

#include <algorithm>
#include <atomic>
#include <cstring>
#include <utility>

#include "drivers/libusb/libusb_board.h"

namespace vek::usbdrv {

std::mutex g_mutex;
libusb_context *g_context = nullptr;
std::vector<Transfer *> g_pending;

namespace {

using drivers::Answer;
using drivers::Refused;
using drivers::UsbOutcome;

std::atomic<std::chrono::milliseconds::rep> g_cancelWaitLimitMs{30000};

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

// The event pump is installed only while a transfer is pending, so that waits
// on other backends' requests never pass through libusb's event handling.
void AddPendingLocked(Transfer *t) {
    g_pending.push_back(t);
    if (g_pending.size() == 1) drivers::SetPumpActive(kLibusbOps, true);
}

// False when `t` was no longer pending (a given-up board took it).
bool RemovePendingLocked(Transfer *t) {
    auto it = std::find(g_pending.begin(), g_pending.end(), t);
    if (it == g_pending.end()) return false;
    g_pending.erase(it);
    if (g_pending.empty()) drivers::SetPumpActive(kLibusbOps, false);
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

const Board::Pipe *FindPipe(const Board *board, uint8_t address) {
    for (const Board::Pipe &p : board->pipes)
        if (p.address == address) return &p;
    return nullptr;
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
    return AnswerOf(r);
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

}  // namespace

DWORD Win32ErrorOf(int libusbError) {
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

Answer AnswerOf(int libusbError) {
    return libusbError == LIBUSB_SUCCESS ? drivers::Done() : Refused(Win32ErrorOf(libusbError));
}

// The board's shared handle, or null once the board is gone.
libusb_device_handle *HandleOf(Board *board) {
    std::lock_guard lock(g_mutex);
    return board->gone ? nullptr : board->handle;
}

// Cancels the transfers of `board` matching `match` and handles events until
// they have ended, or gives the board up when that takes too long.
void CancelAndWait(Board *board, const std::function<bool(const Transfer &)> &match) {
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

void SetCancelWaitLimit(std::chrono::milliseconds limit) { g_cancelWaitLimitMs = limit.count(); }

}  // namespace vek::usbdrv
