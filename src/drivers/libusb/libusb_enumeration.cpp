// The libusb backend's enumeration: which attached devices are boards
// (board_ids.h), the order they are listed in, and keeping the device registry
// up to date with them (see libusb_board.h for what the two halves share).

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <tuple>

#include "drivers/libusb/board_ids.h"
#include "drivers/libusb/libusb_backend.h"
#include "drivers/libusb/libusb_board.h"

namespace vek::usbdrv {
namespace {

bool g_initFailed = false;
bool g_hookInstalled = false;
std::vector<std::unique_ptr<Board>> g_boards;   // registered, in listing order
std::vector<std::unique_ptr<Board>> g_retired;  // unplugged or given up; kept until nothing holds them open
// Devices opened once to read their product string and found to be no
// board; one reference each while listed, so that they are not opened again.
std::vector<libusb_device *> g_notBoards;

// A sysfs attribute of the device ("product", "serial"): read without opening
// the device, so a device that is not a board is never touched. Empty when
// the attribute is missing.
std::string SysfsAttribute(const std::string &portPath, const char *name) {
    std::ifstream in("/sys/bus/usb/devices/" + portPath + "/" + name);
    std::string value;
    if (!std::getline(in, value)) return {};
    return value;
}

// The product string, read from the device itself: opened for this alone
// (nothing claimed, no kernel driver detached) and closed again. None when
// the device cannot be opened or does not answer (it is asked again at the
// next enumeration: udev may have given access meanwhile). Called without
// g_mutex held (the read runs libusb's event handling).
std::optional<std::string> ProductFromDevice(libusb_device *device, uint8_t index) {
    if (index == 0) return std::string();  // the device has no product string
    libusb_device_handle *handle = nullptr;
    if (libusb_open(device, &handle) != LIBUSB_SUCCESS) return std::nullopt;
    unsigned char text[256] = {};
    const int n = libusb_get_string_descriptor_ascii(handle, index, text, sizeof text - 1);
    libusb_close(handle);
    if (n < 0) return std::nullopt;
    return std::string(reinterpret_cast<char *>(text), static_cast<size_t>(n));
}

std::unique_ptr<Board> Recognised(libusb_device *device, const KnownIds &known) {
    libusb_device_descriptor dd{};
    if (libusb_get_device_descriptor(device, &dd) != LIBUSB_SUCCESS) return nullptr;
    auto board = std::make_unique<Board>();
    uint8_t ports[8];
    const int n = libusb_get_port_numbers(device, ports, sizeof ports);
    board->ports.assign(ports, ports + std::max(n, 0));
    board->bus = libusb_get_bus_number(device);
    board->address = libusb_get_device_address(device);
    board->portPath = std::to_string(board->bus);
    for (size_t i = 0; i < board->ports.size(); ++i) {
        // Appended piece by piece: GCC 12 at -O3 warns falsely (-Wrestrict)
        // about a literal plus a temporary string.
        board->portPath += i == 0 ? '-' : '.';
        board->portPath += std::to_string(board->ports[i]);
    }
    const UsbId id{dd.idVendor, dd.idProduct};
    const std::string product = SysfsAttribute(board->portPath, "product");
    Recognition what = Recognise(known, id, product.empty() ? nullptr : product.c_str());
    if (what == Recognition::AskDevice) {
        const std::optional<std::string> asked = ProductFromDevice(device, dd.iProduct);
        what = Recognise(known, id, asked ? asked->c_str() : "");
        if (what == Recognition::Foreign && asked) g_notBoards.push_back(libusb_ref_device(device));
    }
    if (what == Recognition::Foreign) return nullptr;
    board->waitingForFirmware = what == Recognition::WaitingForFirmware;
    board->vendorId = dd.idVendor;
    board->productId = dd.idProduct;
    board->serial = SysfsAttribute(board->portPath, "serial");
    board->device = libusb_ref_device(device);
    board->path =
        drivers::InterfacePath(dd.idVendor, dd.idProduct, board->portPath + "@" + std::to_string(board->address));
    return board;
}

// Programmed boards first, then controllers waiting for their firmware; each
// by bus number and then port numbers compared as numbers, so a board that
// comes back on the same port after a re-enumeration takes its old place.
bool ListedBefore(const Board *a, const Board *b) {
    return std::tie(a->waitingForFirmware, a->bus, a->ports, a->address) <
           std::tie(b->waitingForFirmware, b->bus, b->ports, b->address);
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

// Retired boards that nothing holds open give back their device.
void ReleaseRetiredLocked() {
    std::erase_if(g_retired, [](const std::unique_ptr<Board> &board) {
        if (board->openCount > 0) return false;
        if (board->device != nullptr) libusb_unref_device(board->device);
        return true;
    });
}

// Refreshes run one at a time, so that a board is registered once.
std::mutex g_refreshMutex;

// Devices once opened and found to be no board that have left the bus give
// back their reference.
void ForgetUnlisted(const std::vector<libusb_device *> &listed) {
    std::erase_if(g_notBoards, [&](libusb_device *device) {
        if (std::find(listed.begin(), listed.end(), device) != listed.end()) return false;
        libusb_unref_device(device);
        return true;
    });
}

size_t Refresh() {
    std::lock_guard refreshLock(g_refreshMutex);
    std::vector<uint64_t> toUnregister;
    std::vector<Board *> toRegister;
    size_t count = 0;
    libusb_device **list = nullptr;
    std::vector<libusb_device *> devices;
    // A board keeps its record while it is listed and has not failed with
    // "no device"; a listed device whose board failed is recognised afresh.
    std::vector<std::unique_ptr<Board>> listed;
    std::vector<libusb_device *> unknown;
    {
        std::lock_guard lock(g_mutex);
        if (!EnsureContextLocked()) return 0;
        const ssize_t n = libusb_get_device_list(g_context, &list);
        if (n < 0) return g_boards.size();
        devices.assign(list, list + n);
        for (libusb_device *device : devices) {
            auto kept = std::find_if(g_boards.begin(), g_boards.end(),
                                     [&](const auto &b) { return b != nullptr && b->device == device && !b->gone; });
            if (kept != g_boards.end())
                listed.push_back(std::move(*kept));
            else if (std::find(g_notBoards.begin(), g_notBoards.end(), device) == g_notBoards.end())
                unknown.push_back(device);
        }
    }
    // Recognition may open a device (to read its product string): not under g_mutex.
    const std::shared_ptr<const KnownIds> known = ReadKnownIds();
    ForgetUnlisted(devices);
    for (libusb_device *device : unknown)
        if (auto board = Recognised(device, *known)) listed.push_back(std::move(board));
    libusb_free_device_list(list, 1);
    {
        std::lock_guard lock(g_mutex);
        std::sort(listed.begin(), listed.end(),
                  [](const auto &a, const auto &b) { return ListedBefore(a.get(), b.get()); });

        // What is left of the old list has gone (or failed).
        bool changed = false;
        for (auto &board : g_boards) {
            if (board == nullptr) continue;
            changed = true;
            board->gone = true;
            toUnregister.push_back(board->registryId);
            g_retired.push_back(std::move(board));
        }
        changed =
            changed || std::any_of(listed.begin(), listed.end(), [](const auto &b) { return b->registryId == 0; });
        // The registry lists devices in registration order: after any change
        // this backend's boards are registered again, in their order.
        if (changed) {
            for (auto &board : listed) {
                if (board->registryId != 0) toUnregister.push_back(board->registryId);
                board->registryId = 0;
                toRegister.push_back(board.get());
            }
        }
        g_boards = std::move(listed);
        count = g_boards.size();
    }
    // The registry is called without this backend's lock held.
    for (uint64_t id : toUnregister) drivers::UnregisterDevice(id);
    for (Board *board : toRegister) {
        const uint64_t id = drivers::RegisterDevice(board->path.c_str(), &kLibusbOps, board);
        std::lock_guard lock(g_mutex);
        board->registryId = id;
    }
    std::lock_guard lock(g_mutex);
    ReleaseRetiredLocked();
    return count;
}

}  // namespace

void EnumerationHook(const GUID &interfaceClass) {
    if (std::memcmp(&interfaceClass, &kDriverInterfaceClass, sizeof(GUID)) != 0) return;
    Refresh();
}

bool EnableLibusbBackend() {
    {
        std::lock_guard lock(g_mutex);
        if (g_hookInstalled) return true;
        g_hookInstalled = true;
    }
    drivers::InstallBackend(kLibusbOps);
    return true;
}

size_t RefreshLibusbBoards() { return Refresh(); }

void ShutdownLibusbBackend() {
    drivers::RemoveBackend(kLibusbOps);
    std::lock_guard refreshLock(g_refreshMutex);
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
    ForgetUnlisted({});
    if (anyOpen) return;
    drivers::SetPumpActive(kLibusbOps, false);
    std::lock_guard lock(g_mutex);
    ReleaseRetiredLocked();
    if (g_context != nullptr) libusb_exit(g_context);
    g_context = nullptr;
    g_initFailed = false;
}

}  // namespace vek::usbdrv
