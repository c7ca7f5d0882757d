// The register and data transport over the board's three bulk endpoints.
#include "transport/transport.h"

#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <string_view>

#include "platform/win32.h"
#include "usb/device/usb_device.h"
#include "usb/driver_interface.h"
#include "usb/endpoint/usb_endpoint.h"
#include "vek_dll.h"

namespace vek {

namespace {

void StoreLe32(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

uint32_t LoadLe32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

// One lock per board (by interface path) for every handle open on it.
std::mutex &BoardLock(const CCyDevice &device) {
    // Locks are kept for good, so the last one this thread used can be kept
    // too: a run of reads on one board takes no process-wide lock.
    thread_local const CCyDevice *lastDevice = nullptr;
    thread_local std::string lastPath;
    thread_local std::mutex *lastLock = nullptr;
    const std::string_view path(device.interfacePath);
    if (lastDevice == &device && lastPath == path) return *lastLock;

    static std::mutex registry;
    // By interface path; few. Looked up without building a string.
    static std::map<std::string, std::unique_ptr<std::mutex>, std::less<>> locks;
    std::lock_guard guard(registry);
    auto it = locks.find(path);
    if (it == locks.end()) it = locks.emplace(std::string(path), std::make_unique<std::mutex>()).first;
    lastDevice = &device;
    lastPath.assign(path);
    lastLock = it->second.get();
    return *lastLock;
}

}  // namespace

CCyUSBEndPoint *FindBulkEndpoint(CCyDevice *device, uint32_t endpointAddress) {
    if (device == nullptr || device->endpointList == nullptr) return nullptr;
    const uint32_t n = device->EndpointListSize();
    for (uint32_t i = 1; i < n; ++i) {
        CCyUSBEndPoint *ep = device->endpointList[i];
        if (ep != nullptr && ep->attributes == kBulkAttributes && ep->address == endpointAddress) return ep;
    }
    return nullptr;
}

bool BulkTransfer(uint8_t *buffer, uint32_t length, CCyDevice *device, uint32_t endpointAddress) {
    CCyUSBEndPoint *ep = FindBulkEndpoint(device, endpointAddress);
    if (ep == nullptr) return false;

    HANDLE event = win32::CreateEventA(nullptr, FALSE, FALSE, kTransferEventName);
    if (event == nullptr) return false;
    OVERLAPPED ov;
    std::memset(&ov, 0, sizeof ov);
    ov.hEvent = event;

    int32_t len = static_cast<int32_t>(length);
    uint8_t *block = ep->BeginTransfer(buffer, len, &ov);
    // The wait ends when this transfer's own request has ended, whatever other
    // transfers sharing the event do; a request still pending after it is
    // ended by FinishTransfer (abort, then a wait until the driver is done)
    // and counts as failed.
    const bool ended = ep->WaitForTransfer(&ov, kBulkWaitMs);
    const bool ok = ep->FinishTransfer(buffer, len, &ov, block, nullptr);
    win32::CloseHandle(event);
    return ok && ended;
}

uint32_t ReadRegister(CCyDevice *device, uint32_t address, uint32_t *value, uint32_t *echoed) {
    if (device == nullptr || value == nullptr) return kTransportFailed;
    // The request and its reply go together even when other handles on the
    // same board read registers from other threads.
    std::lock_guard boardLock(BoardLock(*device));
    if (VekWriteReg(device, address | kReadRequestFlag, value) != kTransportOk) return kTransportFailed;
    uint8_t reply[kRegisterPacketSize] = {};
    if (!BulkTransfer(reply, sizeof reply, device, kReplyEndpoint)) return kTransportFailed;
    if (echoed != nullptr) *echoed = LoadLe32(reply);
    *value = LoadLe32(reply + 4);
    return kTransportOk;
}

uint32_t ReadBulkData(CCyDevice *device, uint32_t length, uint8_t *data) {
    if (data == nullptr && length != 0) return kTransportFailed;
    return BulkTransfer(data, length, device, kReplyEndpoint) ? kTransportOk : kTransportFailed;
}

bool ResetBulkPipe(CCyDevice *device, uint32_t endpointAddress) {
    CCyUSBEndPoint *ep = FindBulkEndpoint(device, endpointAddress);
    return ep != nullptr && ep->ResetPipe();
}

uint32_t EnumerateDeviceNames(uint8_t *entries) {
    // The device object may raise its close errors; they leave here after the
    // object is gone (a second error while it is destroyed is dropped).
    auto *probe = new CCyDevice(nullptr, kDriverInterfaceClass, 1);
    uint32_t count = 0;
    try {
        uint32_t used = 0;
        for (uint32_t i = 0; i < probe->DeviceCount(); ++i) {
            if (!probe->OpenDevice(static_cast<uint8_t>(i))) continue;
            uint8_t config[9] = {};
            uint8_t iface[9] = {};
            probe->CopyConfigurationHeader(config);
            probe->CopyInterfaceDescriptor(iface);
            if (config[4] == 1 && iface[3] == 0) {
                const size_t nameLength = strnlen(probe->driverDeviceName, sizeof probe->driverDeviceName);
                if (used + 4 + nameLength <= kNameListBytes) {
                    StoreLe32(entries + used, static_cast<uint32_t>(nameLength));
                    std::memcpy(entries + used + 4, probe->driverDeviceName, nameLength);
                    used += 4 + static_cast<uint32_t>(nameLength);
                }
            }
            probe->CloseDevice();
        }
        count = probe->DeviceCount();
    } catch (...) {
        try {
            delete probe;
        } catch (...) {
        }
        throw;
    }
    delete probe;
    return count;
}

int32_t BuildNameList(DeviceNameList *list) {
    if (list == nullptr) return -1;
    list->count = 0;
    list->entries = nullptr;
    auto *entries = static_cast<uint8_t *>(std::calloc(kNameListBytes, 1));
    if (entries == nullptr) return -1;
    uint32_t count = 0;
    try {
        count = EnumerateDeviceNames(entries);
    } catch (...) {
        std::free(entries);
        throw;
    }
    if (count == 0) {
        std::free(entries);
        return -1;
    }
    list->count = static_cast<int32_t>(count);
    list->entries = entries;
    return 0;
}

void FreeNameList(DeviceNameList *list) {
    if (list == nullptr) return;
    std::free(list->entries);
    list->entries = nullptr;
    list->count = 0;
}

bool FirstNameStartsWith(const DeviceNameList &list, const char *prefix) {
    if (list.entries == nullptr || list.count <= 0) return false;
    const size_t n = std::strlen(prefix);
    return LoadLe32(list.entries) >= n && std::memcmp(list.entries + 4, prefix, n) == 0;
}

std::string_view ListedName(const DeviceNameList &list, uint32_t index) {
    if (list.entries == nullptr || list.count <= 0) return {};
    size_t offset = 0;
    for (uint32_t i = 0; i < static_cast<uint32_t>(list.count); ++i) {
        if (offset + 4 > kNameListBytes) break;
        const uint32_t length = LoadLe32(list.entries + offset);
        if (length == 0 || length > kNameListBytes - offset - 4) break;
        if (i == index) return {reinterpret_cast<const char *>(list.entries + offset + 4), length};
        offset += 4 + length;
    }
    return {};
}

}  // namespace vek

// ---- Exports ---------------------------------------------------------------

using vek::kTransportFailed;
using vek::kTransportOk;

extern "C" VEK_API uint32_t VEK_CALL VekWriteReg(CCyDevice *device, uint32_t address, uint32_t *value) {
    if (device == nullptr || value == nullptr) return kTransportFailed;
    uint8_t packet[vek::kRegisterPacketSize];
    vek::StoreLe32(packet, address);
    vek::StoreLe32(packet + 4, *value);
    return vek::BulkTransfer(packet, sizeof packet, device, vek::kRegisterEndpoint) ? kTransportOk : kTransportFailed;
}

extern "C" VEK_API uint32_t VEK_CALL VekReadReg(CCyDevice *device, uint32_t address, uint32_t *value) {
    return vek::ReadRegister(device, address, value, nullptr);
}

extern "C" VEK_API uint32_t VEK_CALL VekWriteData(CCyDevice *device, uint32_t length, const uint8_t *data) {
    if (device == nullptr || (data == nullptr && length != 0)) return kTransportFailed;
    // The OUT transfer only reads the buffer; the endpoint interface takes it non-const.
    return vek::BulkTransfer(const_cast<uint8_t *>(data), length, device, vek::kDataEndpoint) ? kTransportOk
                                                                                              : kTransportFailed;
}
