// Opening and closing a board: one libusb handle shared by every open
// instance, its interfaces claimed at the first open and released at the
// last close, the names it reports, the map of its pipes, and the notices
// that say why a board cannot be opened (see libusb_board.h).

#include <atomic>
#include <cstdio>
#include <string>
#include <utility>

#include "drivers/libusb/libusb_board.h"

namespace vek::usbdrv {
namespace {

std::atomic<bool> g_permissionNoticeShown{false};
std::atomic<bool> g_busyNoticeShown{false};

std::string ReadString(libusb_device_handle *handle, uint8_t index) {
    if (index == 0) return {};
    unsigned char text[256] = {};
    int n = libusb_get_string_descriptor_ascii(handle, index, text, sizeof text - 1);
    if (n <= 0) return {};
    return std::string(reinterpret_cast<char *>(text), static_cast<size_t>(n));
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

}  // namespace

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
        return Win32ErrorOf(r);
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
            return Win32ErrorOf(r);
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

}  // namespace vek::usbdrv
