// The configuration, interface and BOS walks on descriptor bytes as a device
// might send them.
//
// Input: byte 0 chooses the walk (bit 0: SuperSpeed walk; bit 1: BOS walk
// instead of a configuration); the rest is the descriptor buffer, exactly
// sized, as the device object hands it over.
// Checks: no read outside the buffer and no leak (ASan), also when the table
// is refused (DescriptorError); no other exception; a tree that is built is
// consistent: at most 8 interface objects, each with its endpoints in slots 1
// to bNumEndpoints of the class its transfer type names, an empty slot 0 and
// empty slots past the last endpoint, and a count of alternate settings that
// includes itself; BOS records carry the capability type they were made from.
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_common.h"
#include "usb/device/descriptor_tree.h"
#include "usb/endpoint/bulk_endpoint.h"
#include "usb/endpoint/control_endpoint.h"
#include "usb/endpoint/interrupt_endpoint.h"
#include "usb/endpoint/isoc_endpoint.h"

namespace {

using namespace vek;

bool HasClassOfType(CCyUSBEndPoint *endpoint) {
    switch (endpoint->attributes & 3u) {
    case 0:
        return dynamic_cast<CCyControlEndPoint *>(endpoint) != nullptr;
    case 1:
        return dynamic_cast<CCyIsocEndPoint *>(endpoint) != nullptr;
    case 2:
        return dynamic_cast<CCyBulkEndPoint *>(endpoint) != nullptr;
    default:
        return dynamic_cast<CCyInterruptEndPoint *>(endpoint) != nullptr;
    }
}

void CheckConfiguration(const ConfigurationInfo &config, size_t size) {
    VEK_FUZZ_CHECK(config.interfaceObjectCount <= kMaxInterfaceObjects);
    for (int i = 0; i < kMaxInterfaceObjects; ++i) {
        const InterfaceInfo *info = config.interfaces[i];
        VEK_FUZZ_CHECK((info != nullptr) == (i < config.interfaceObjectCount));
        if (info == nullptr) continue;
        VEK_FUZZ_CHECK(info->bNumEndpoints < kEndpointSlots);
        VEK_FUZZ_CHECK(info->totalLength >= info->bLength && info->totalLength <= size);
        VEK_FUZZ_CHECK(info->altSettingCount >= 1 && info->altSettingCount <= config.interfaceObjectCount);
        VEK_FUZZ_CHECK(info->endpoints[0] == nullptr);
        for (int slot = 1; slot < kEndpointSlots; ++slot) {
            CCyUSBEndPoint *endpoint = info->endpoints[slot];
            VEK_FUZZ_CHECK((endpoint != nullptr) == (slot <= info->bNumEndpoints));
            if (endpoint == nullptr) continue;
            VEK_FUZZ_CHECK(HasClassOfType(endpoint));
            VEK_FUZZ_CHECK(endpoint->isIn == ((endpoint->address & 0x80u) != 0));
            VEK_FUZZ_CHECK(endpoint->driverHandle == INVALID_HANDLE_VALUE);
        }
    }
}

void CheckBos(const BosInfo &bos) {
    if (bos.usb20Extension) VEK_FUZZ_CHECK(bos.usb20Extension->bDevCapabilityType == 2);
    if (bos.superSpeedCapability) VEK_FUZZ_CHECK(bos.superSpeedCapability->bDevCapabilityType == 3);
    if (bos.containerId) VEK_FUZZ_CHECK(bos.containerId->bDevCapabilityType == 4);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const uint8_t mode = data[0];
    // An exactly sized copy, so that any read past the end is caught.
    std::vector<uint8_t> bytes(data + 1, data + size);
    const uint8_t *buffer = bytes.empty() ? nullptr : bytes.data();
    try {
        if (mode & 2u) {
            BosInfo bos(INVALID_HANDLE_VALUE, buffer, bytes.size());
            CheckBos(bos);
        } else {
            const DescriptorWalk walk = (mode & 1u) ? DescriptorWalk::SuperSpeed : DescriptorWalk::Plain;
            ConfigurationInfo config(INVALID_HANDLE_VALUE, buffer, bytes.size(), walk);
            CheckConfiguration(config, bytes.size());
        }
    } catch (const DescriptorError &) {
        // A refused table: the walk released what it had built (LeakSanitizer).
    }
    return 0;
}
