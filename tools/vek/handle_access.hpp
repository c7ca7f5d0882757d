// The head of the DeviceHandle record, in its documented field order.
//
// vek_dll.h keeps DeviceHandle opaque, yet its raw register calls
// (VekWriteReg, VekReadReg, VekWriteData) take the handle's USB device object,
// which no export returns; callers reach it, and the attached-device names
// gathered at allocation, through the record's first fields: frameMode (u32),
// device (CCyDevice pointer), then the name list (count, entries). This is
// the only place where the tool looks inside a handle.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "vek_dll.h"

namespace vektool {

struct DeviceHandleHead {
    uint32_t frameMode;
    CCyDevice *device;
    int32_t nameCount;
    const uint8_t *nameEntries;
};

inline CCyDevice *deviceObject(DeviceHandle *handle) {
    return handle ? reinterpret_cast<const DeviceHandleHead *>(handle)->device : nullptr;
}

// The names of the attached devices, in list order. Entries are
// [u32 length][length bytes]; at most `count` of them, and a length of 0 or
// above 256 (a driver name's limit) ends the walk.
inline std::vector<std::string> attachedDeviceNames(DeviceHandle *handle) {
    std::vector<std::string> names;
    if (!handle) return names;
    const auto *head = reinterpret_cast<const DeviceHandleHead *>(handle);
    const uint8_t *p = head->nameEntries;
    if (!p) return names;
    for (int32_t i = 0; i < head->nameCount && i < 256; ++i) {
        uint32_t len = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                       static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
        if (len == 0 || len > 256) break;
        names.emplace_back(reinterpret_cast<const char *>(p + 4), len);
        p += 4 + len;
    }
    return names;
}

}  // namespace vektool
