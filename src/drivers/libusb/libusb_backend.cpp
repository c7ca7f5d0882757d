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
#include "drivers/request.h"
#include "platform/log.h"
#include "usb/driver_interface.h"

namespace vek::usbdrv {
namespace {

using drivers::Answer;
using drivers::Refused;
using drivers::UsbOutcome;

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
    drivers::Transfer request;         // the caller's request, completed through the decoder
    uint8_t *replyTo = nullptr;        // control IN: where the reply is copied
    std::vector<uint8_t> setupBuffer;  // control transfers: setup packet + data stage
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

UsbOutcome OutcomeOf(libusb_transfer_status status) {
    switch (status) {
        case LIBUSB_TRANSFER_COMPLETED: return UsbOutcome::Success;
        case LIBUSB_TRANSFER_STALL: return UsbOutcome::Stall;
        case LIBUSB_TRANSFER_CANCELLED: return UsbOutcome::Cancelled;
        case LIBUSB_TRANSFER_NO_DEVICE: return UsbOutcome::DeviceGone;
        case LIBUSB_TRANSFER_TIMED_OUT: return UsbOutcome::Timeout;
        case LIBUSB_TRANSFER_OVERFLOW: return UsbOutcome::Overflow;
        case LIBUSB_TRANSFER_ERROR:
        default: return UsbOutcome::Error;
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

Answer Failed(int libusbError) {
    return libusbError == LIBUSB_SUCCESS ? drivers::Done() : Refused(ErrorOf(libusbError));
}

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
            platform::Log(platform::LogLevel::Warning, "the USB board at %s did not end its cancelled transfers",
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
    const UsbOutcome outcome = OutcomeOf(xfer->status);
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
    {
        std::lock_guard lock(g_mutex);
        RemovePendingLocked(t);
        if (outcome == UsbOutcome::DeviceGone) t->board->gone = true;
    }
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

void NoticePermission(const Board *board) {
    if (g_permissionNoticeShown.exchange(true)) return;
    platform::Log(platform::LogLevel::Error,
                  "no permission to open the USB board at %s (/dev/bus/usb/%03u/%03u).\n"
                  "vek: install the udev rule 70-vek.rules (cmake --install puts it in lib/udev/rules.d;\n"
                  "vek: or: sudo cp udev/70-vek.rules /etc/udev/rules.d/ && sudo udevadm control --reload\n"
                  "vek: && sudo udevadm trigger), then unplug and replug the board.",
                  board->portPath.c_str(), board->bus, board->address);
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
            libusb_fill_bulk_transfer(t->xfer, handle, pipe.address, request.data, static_cast<int>(length),
                                      OnTransferDone, t, request.timeoutMs);
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
        case drivers::Query::DriverVersion: reply.Number(kBackendVersion); break;
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
        case drivers::Query::Address: reply.Number(board->address); break;
        case drivers::Query::Speed:
            switch (libusb_get_device_speed(board->device)) {
                case LIBUSB_SPEED_HIGH: reply.Number(kSpeedHigh); break;
                case LIBUSB_SPEED_SUPER:
                case LIBUSB_SPEED_SUPER_PLUS: reply.Number(kSpeedSuper); break;
                case LIBUSB_SPEED_LOW: reply.Number(0); break;
                default: reply.Number(1); break;
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

const drivers::BackendOps kOps = {"libusb",     OpsOpen,      OpsClose,         OpsQuery, OpsTransfer,
                                  OpsResetPipe, OpsAbortPipe, OpsSetAltSetting, nullptr,  nullptr};


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
    for (uint64_t id : toUnregister) drivers::UnregisterDevice(id);
    for (Board *board : toRegister) {
        uint64_t id = drivers::RegisterDevice(kDriverInterfaceClass, board->path.c_str(), &kOps, board);
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
    for (uint64_t id : ids) drivers::UnregisterDevice(id);
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
