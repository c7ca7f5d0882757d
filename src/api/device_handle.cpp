// The handle's life cycle: allocation, initialisation, re-open after a
// firmware download, release; the gate; the process-wide values.
#include "api/device_handle.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "drivers/backend.h"
#include "usb/device/usb_device.h"
#include "usb/driver_interface.h"

namespace vek {

uint8_t g_firmwareVersion[kFirmwareVersionBytes] = {};
std::atomic<uint32_t> g_boardType{0};

namespace {

constexpr char kVek40Prefix[] = "VEK4.0";
constexpr size_t kVek40PrefixLength = sizeof kVek40Prefix - 1;

void CopyFirmwareVersion(const CCyDevice &device) {
    static_assert(sizeof device.manufacturerText >= kFirmwareVersionBytes);
    std::memcpy(g_firmwareVersion, device.manufacturerText, kFirmwareVersionBytes);
}

// Notes which board the handle now has open (the `index`th listed).
void RememberBoard(DeviceHandle &handle, uint32_t index) {
    const std::vector<platform::DeviceSummary> boards = platform::DescribeDevicesOf(kDriverInterfaceClass);
    handle.followsVirtualClock = platform::FollowsVirtualClock(handle.device->driverHandle);
    handle.portPath = index < boards.size() ? boards[index].portPath : std::string();
    handle.serial = index < boards.size() ? boards[index].serial : std::string();
}

// The listed index of the board at `portPath` (else the one board with
// `serial`), or -1.
int FindBoard(const std::string &portPath, const std::string &serial) {
    const std::vector<platform::DeviceSummary> boards = platform::DescribeDevicesOf(kDriverInterfaceClass);
    int bySerial = -1, serials = 0;
    for (size_t i = 0; i < boards.size(); ++i) {
        if (!portPath.empty() && boards[i].portPath == portPath) return static_cast<int>(i);
        if (!serial.empty() && boards[i].serial == serial && serials++ == 0) bySerial = static_cast<int>(i);
    }
    return serials == 1 ? bySerial : -1;
}

// After the pause of a controller restart, re-opens on the handle's device
// object device 0 (DevReAlloc) or the board where the handle's was
// (VekDevReopen), and checks that it is a VEK4.0.
int ReopenAfterPause(DeviceHandle *handle, bool samePlace) {
    if (handle == nullptr || handle->device == nullptr) return 0;
    const BoardTime time(handle);
    win32::Sleep(500);
    CCyDevice *device = handle->device;
    try {
        const int index = samePlace ? FindBoard(handle->portPath, handle->serial) : 0;
        if (index < 0 || index > 0xFF || !device->OpenDevice(static_cast<uint8_t>(index))) return 0;
        RememberBoard(*handle, static_cast<uint32_t>(index));
    } catch (const UsbError &) {
        throw;
    } catch (...) {
        return 0;
    }
    if (std::strncmp(device->driverDeviceName, kVek40Prefix, kVek40PrefixLength) != 0) return 0;
    CopyFirmwareVersion(*device);
    return 1;
}

// Owns a half-built handle until allocation succeeds.
struct HandleDeleter {
    void operator()(DeviceHandle *h) const {
        FreeNameList(&h->nameList);
        delete h;
    }
};

// Destroys the device object; its close errors propagate. Clears the pointer
// first so that an error path does not destroy it twice.
void DestroyDevice(CCyDevice *&device) {
    CCyDevice *d = device;
    device = nullptr;
    delete d;
}

// Destroys the device object on an error path, dropping a second error.
void DropDevice(CCyDevice *&device) {
    try {
        DestroyDevice(device);
    } catch (...) {
    }
}

}  // namespace

// Keyed by the board the handle last had open, not by its device file: a
// failed re-open leaves that invalid, and the next re-open's pause is still
// the real board's.
BoardTime::BoardTime(const DeviceHandle *handle)
    : RealTimeScope(handle != nullptr && handle->device != nullptr && !handle->followsVirtualClock) {}

bool EnterGate(DeviceHandle *handle) {
    const std::thread::id me = std::this_thread::get_id();
    if (handle->gateOwner.load(std::memory_order_acquire) == me) {
        ++handle->gateDepth;
        return true;
    }
    if (win32::WaitForSingleObject(handle->lockEvent, handle->lockTimeoutMs) != WAIT_OBJECT_0) return false;
    handle->gateOwner.store(me, std::memory_order_release);
    handle->gateDepth = 1;
    return true;
}

void LeaveGate(DeviceHandle *handle) {
    if (--handle->gateDepth != 0) return;
    handle->gateOwner.store(std::thread::id(), std::memory_order_release);
    win32::SetEvent(handle->lockEvent);
}

}  // namespace vek

using namespace vek;

extern "C" VEK_API uint32_t VEK_CALL VekDevAlloc(uint32_t deviceIndex, DeviceHandle **handleOut, uint8_t *isVek40Out) {
    if (handleOut == nullptr) return DEV_ERR_UNSUPPORTED;
    drivers::InstallBuiltInBackends();
    // Everything made so far is released on every failure. The device object's
    // close errors (UsbError) leave the call as they are; any other exception
    // (memory) becomes DEV_ERR_NO_MEMORY.
    std::unique_ptr<DeviceHandle, HandleDeleter> handle;
    CCyDevice *device = nullptr;
    try {
        handle.reset(new (std::nothrow) DeviceHandle{});
        if (!handle) return DEV_ERR_NO_MEMORY;

        if (BuildNameList(&handle->nameList) != 0) return DEV_ERR_NO_DEVICE;
        if (handle->nameList.count < static_cast<int32_t>(deviceIndex + 1u)) return DEV_ERR_NO_DEVICE;

        std::memset(g_firmwareVersion, 0, sizeof g_firmwareVersion);
        device = new CCyDevice(nullptr, kDriverInterfaceClass, 1);
        if (!device->OpenDevice(static_cast<uint8_t>(deviceIndex))) {
            DestroyDevice(device);
            return DEV_ERR_NO_DEVICE;
        }
        CopyFirmwareVersion(*device);

        if (isVek40Out != nullptr && FirstNameStartsWith(handle->nameList, kVek40Prefix)) *isVek40Out = 1;

        // Auto-reset and signalled: the gate is free; a wait enters it.
        handle->lockEvent = win32::CreateEventA(nullptr, FALSE, TRUE, nullptr);
        if (handle->lockEvent == nullptr) {
            DestroyDevice(device);
            return DEV_ERR_BUSY;
        }

        handle->frameMode = kFrameModeUnknown;
        handle->device = device;
        RememberBoard(*handle, deviceIndex);
        handle->lockTimeoutMs = kGateTimeoutMs;
        handle->grayBits = 1;
        handle->loadedBytes = 0;
        *handleOut = handle.release();
        return DEV_OK;
    } catch (const UsbError &) {
        DropDevice(device);
        throw;
    } catch (...) {
        DropDevice(device);
        return DEV_ERR_NO_MEMORY;
    }
}

extern "C" VEK_API uint32_t VEK_CALL VekDevInit(DeviceHandle *handle, const DeviceInitParams *params) {
    if (handle == nullptr || params == nullptr) return DEV_ERR_NULL_ARGUMENT;
    uint32_t word = params->grayBits;
    if (VekDevControl(handle, 15, &word) != DEV_OK) return DEV_ERR_GRAY_DEPTH;
    if (params->frequency == 0 || params->frequency > 0x40000000u) return DEV_ERR_TIMING;
    word = params->frequency;
    uint32_t rc = VekDevControl(handle, 14, &word);
    if (rc != DEV_OK) return rc;
    word = params->reg30Value;
    return VekDevControl(handle, 18, &word);
}

extern "C" VEK_API uint32_t VEK_CALL VekDevFree(DeviceHandle *handle) {
    if (handle == nullptr) return DEV_ERR_NULL_ARGUMENT;
    const BoardTime time(handle);
    if (!EnterGate(handle)) return DEV_ERR_BUSY;
    FreeNameList(&handle->nameList);
    win32::CloseHandle(handle->lockEvent);
    handle->lockEvent = nullptr;
    // The record goes first, so that it is released even when closing the
    // device raises its close error.
    CCyDevice *device = handle->device;
    delete handle;
    DestroyDevice(device);
    return DEV_OK;
}

extern "C" VEK_API int VEK_CALL DevReAlloc(DeviceHandle *handle) { return ReopenAfterPause(handle, false); }

extern "C" VEK_API int VEK_CALL VekDevReopen(DeviceHandle *handle) { return ReopenAfterPause(handle, true); }

extern "C" VEK_API int VEK_CALL VekIfDevOpenned(DeviceHandle *handle) {
    if (handle == nullptr || handle->device == nullptr) return 0;
    return handle->device->driverHandle != INVALID_HANDLE_VALUE ? 1 : 0;
}

extern "C" VEK_API void VEK_CALL GetFWversion(uint8_t *out) {
    if (out == nullptr) return;
    std::memcpy(out, g_firmwareVersion, kFirmwareVersionBytes);
}

extern "C" VEK_API int VEK_CALL ResetUSBPipe(DeviceHandle *handle, uint32_t endpointAddress) {
    if (handle == nullptr) return 0;
    return ResetBulkPipe(handle->device, endpointAddress) ? 1 : 0;
}

// ---- Accessors for tools and bindings ---------------------------------------

extern "C" VEK_API CCyDevice *VEK_CALL VekDevGetDevice(DeviceHandle *handle) {
    return handle == nullptr ? nullptr : handle->device;
}

extern "C" VEK_API int32_t VEK_CALL VekDevGetListedName(DeviceHandle *handle, uint32_t entry, char *out,
                                                        uint32_t size) {
    if (handle == nullptr) return -1;
    const std::string_view name = vek::ListedName(handle->nameList, entry);
    if (name.empty()) return -1;
    if (out != nullptr && size > 0) {
        const size_t copied = std::min<size_t>(name.size(), size - 1);
        std::memcpy(out, name.data(), copied);
        out[copied] = '\0';
    }
    return static_cast<int32_t>(name.size());
}

extern "C" VEK_API int32_t VEK_CALL VekListBoards(VekBoardInfo *out, uint32_t max) {
    if (out == nullptr && max != 0) return -1;
    const auto copy = [](char *to, size_t size, const std::string &text) {
        const size_t n = std::min(text.size(), size - 1);
        std::memcpy(to, text.data(), n);
        to[n] = '\0';
    };
    try {
        drivers::InstallBuiltInBackends();
        const std::vector<platform::DeviceSummary> boards = platform::DescribeDevicesOf(kDriverInterfaceClass);
        for (uint32_t i = 0; i < max && i < boards.size(); ++i) {
            const platform::DeviceSummary &b = boards[i];
            VekBoardInfo &info = out[i];
            info = VekBoardInfo{};
            info.index = i;
            info.vendorId = b.vendorId;
            info.productId = b.productId;
            info.bus = b.bus;
            info.isVirtual = b.followsVirtualClock ? 1 : 0;
            copy(info.portPath, sizeof info.portPath, b.portPath);
            copy(info.serial, sizeof info.serial, b.serial);
            copy(info.backend, sizeof info.backend, b.backend);
        }
        return static_cast<int32_t>(boards.size());
    } catch (...) {
        return -1;  // out of memory
    }
}
