// What the tool needs of a handle beyond the device calls: its USB device
// object (for the raw register calls) and the attached-device names gathered
// at allocation, both through the library's accessors.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "vek_dll.h"

namespace vektool {

inline CCyDevice *deviceObject(DeviceHandle *handle) { return VekDevGetDevice(handle); }

// The names of the attached devices, in list order.
inline std::vector<std::string> attachedDeviceNames(DeviceHandle *handle) {
    std::vector<std::string> names;
    for (uint32_t entry = 0;; ++entry) {
        const int32_t length = VekDevGetListedName(handle, entry, nullptr, 0);
        if (length < 0) break;
        std::string name(static_cast<size_t>(length) + 1, '\0');
        VekDevGetListedName(handle, entry, name.data(), static_cast<uint32_t>(name.size()));
        name.resize(static_cast<size_t>(length));
        names.push_back(std::move(name));
    }
    return names;
}

}  // namespace vektool
