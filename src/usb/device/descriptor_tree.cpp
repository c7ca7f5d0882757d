#include "usb/device/descriptor_tree.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "usb/endpoint/bulk_endpoint.h"
#include "usb/endpoint/control_endpoint.h"
#include "usb/endpoint/interrupt_endpoint.h"
#include "usb/endpoint/isoc_endpoint.h"

namespace vek {

namespace {

constexpr size_t kConfigurationSize = 9;
constexpr size_t kInterfaceSize = 9;
constexpr size_t kEndpointSize = 7;
constexpr size_t kCompanionSize = 6;
constexpr size_t kBosSize = 5;
constexpr size_t kUsb20ExtensionSize = 7;
constexpr size_t kSuperSpeedCapabilitySize = 10;
constexpr size_t kContainerIdSize = 20;

uint16_t Word(const uint8_t *p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

CCyUSBEndPoint *MakeEndpoint(HANDLE handle, const uint8_t *descriptor, const uint8_t *companion) {
    switch (descriptor[3] & 3u) {
    case 0:
        return new CCyControlEndPoint(handle, descriptor);
    case 1:
        return companion ? new CCyIsocEndPoint(handle, descriptor, companion) : new CCyIsocEndPoint(handle, descriptor);
    case 2:
        return companion ? new CCyBulkEndPoint(handle, descriptor, companion) : new CCyBulkEndPoint(handle, descriptor);
    default:
        return companion ? new CCyInterruptEndPoint(handle, descriptor, companion)
                         : new CCyInterruptEndPoint(handle, descriptor);
    }
}

}  // namespace

// The interface walk takes in the interface descriptor, then descriptors until
// bNumEndpoints endpoint descriptors have been met. Any other descriptor in
// between (class-specific ones) is passed over by its bLength and counted in
// totalLength. Every read stays inside `available`.
InterfaceInfo::InterfaceInfo(HANDLE handle, const uint8_t *descriptor, size_t available, DescriptorWalk walk)
    : endpoints{} {
    if (available < kInterfaceSize || descriptor[0] < kInterfaceSize || descriptor[0] > available) {
        throw DescriptorError("truncated interface descriptor");
    }
    bLength = descriptor[0];
    bDescriptorType = descriptor[1];
    bInterfaceNumber = descriptor[2];
    bAlternateSetting = descriptor[3];
    bNumEndpoints = descriptor[4];
    bInterfaceClass = descriptor[5];
    bInterfaceSubClass = descriptor[6];
    bInterfaceProtocol = descriptor[7];
    iInterface = descriptor[8];
    altSettingCount = 0;
    totalLength = bLength;
    if (bNumEndpoints > kEndpointSlots - 1) {
        throw DescriptorError("interface with more endpoints than slots");
    }

    try {
        size_t at = bLength;
        int position = 0;
        while (position < bNumEndpoints) {
            if (available < at + 2) {
                throw DescriptorError("interface ends before its endpoints");
            }
            const uint8_t *p = descriptor + at;
            const size_t length = p[0];
            if (length < 2 || length > available - at) {
                throw DescriptorError("descriptor of bad length in an interface");
            }
            if (p[1] == descriptor_type::kInterface || p[1] == descriptor_type::kConfiguration) {
                throw DescriptorError("interface ends before its endpoints");
            }
            if (p[1] != descriptor_type::kEndpoint) {
                totalLength = static_cast<uint16_t>(totalLength + length);
                at += length;
                continue;
            }
            if (length < kEndpointSize) {
                throw DescriptorError("truncated endpoint descriptor");
            }
            totalLength = static_cast<uint16_t>(totalLength + length);
            const uint8_t *companion = nullptr;
            size_t companionLength = 0;
            if (walk == DescriptorWalk::SuperSpeed && available >= at + length + 2 &&
                p[length + 1] == descriptor_type::kCompanion) {
                companion = p + length;
                companionLength = companion[0];
                if (companionLength < kCompanionSize || companionLength > available - at - length) {
                    throw DescriptorError("truncated endpoint companion descriptor");
                }
                totalLength = static_cast<uint16_t>(totalLength + companionLength);
            }
            const bool plain = companion == nullptr || (p[3] & 3u) == 0;
            endpoints[position + 1] = MakeEndpoint(handle, p, plain ? nullptr : companion);
            at += length + companionLength;
            ++position;
        }
    } catch (...) {
        for (CCyUSBEndPoint *&endpoint : endpoints) {
            delete endpoint;
            endpoint = nullptr;
        }
        throw;
    }
}

InterfaceInfo::~InterfaceInfo() {
    for (CCyUSBEndPoint *&endpoint : endpoints) {
        delete endpoint;
        endpoint = nullptr;
    }
}

ConfigurationInfo::ConfigurationInfo(HANDLE handle, const uint8_t *data, size_t size, DescriptorWalk walk)
    : interfaces{} {
    if (data == nullptr || size < kConfigurationSize || data[0] < kConfigurationSize ||
        data[1] != descriptor_type::kConfiguration || data[0] > size) {
        throw DescriptorError("not a configuration descriptor");
    }
    bLength = data[0];
    bDescriptorType = data[1];
    wTotalLength = Word(data + 2);
    bNumInterfaces = data[4];
    bConfigurationValue = data[5];
    iConfiguration = data[6];
    bmAttributes = data[7];
    bMaxPower = data[8];
    interfaceObjectCount = 0;

    // The walk ends at wTotalLength or at the end of the bytes held, whichever
    // comes first.
    const size_t end = (std::min)(size_t{wTotalLength}, size);
    try {
        size_t at = bLength;
        while (at < end && interfaceObjectCount < kMaxInterfaceObjects) {
            if (data[at] == 0) break;  // a bLength of 0 ends the walk
            if (end < at + 2) {
                throw DescriptorError("truncated descriptor in a configuration");
            }
            const uint8_t *d = data + at;
            const size_t length = d[0];
            if (length < 2 || length > end - at) {
                throw DescriptorError("descriptor of bad length in a configuration");
            }
            if (d[1] == descriptor_type::kInterface) {
                auto *info = new InterfaceInfo(handle, d, end - at, walk);
                interfaces[interfaceObjectCount++] = info;
                at += info->totalLength;
            } else {
                at += length;
            }
        }
    } catch (...) {
        for (InterfaceInfo *&info : interfaces) {
            delete info;
            info = nullptr;
        }
        throw;
    }

    for (int i = 0; i < interfaceObjectCount; ++i) {
        uint8_t count = 0;
        for (int j = 0; j < interfaceObjectCount; ++j) {
            if (interfaces[j]->bInterfaceNumber == interfaces[i]->bInterfaceNumber) {
                ++count;
            }
        }
        interfaces[i]->altSettingCount = count;
    }
}

ConfigurationInfo::~ConfigurationInfo() {
    for (InterfaceInfo *&info : interfaces) {
        if (info == nullptr) {
            continue;
        }
        CCyUSBEndPoint *shared = info->endpoints[0];
        if (shared != nullptr) {
            delete shared;
            for (InterfaceInfo *other : interfaces) {
                if (other != nullptr && other->endpoints[0] == shared) {
                    other->endpoints[0] = nullptr;
                }
            }
        }
        delete info;
        info = nullptr;
    }
}

BosInfo::BosInfo(HANDLE, const uint8_t *data, size_t size)
    : containerId(nullptr), usb20Extension(nullptr), superSpeedCapability(nullptr) {
    if (data == nullptr || size < kBosSize || data[0] < kBosSize || data[1] != descriptor_type::kBos ||
        data[0] > size) {
        throw DescriptorError("not a BOS descriptor");
    }
    bLength = data[0];
    bDescriptorType = data[1];
    wTotalLength = Word(data + 2);
    bNumDeviceCaps = data[4];
    if (wTotalLength < bLength) {
        return;  // no room for any capability
    }

    const size_t end = (std::min)(size_t{wTotalLength}, size);
    try {
        size_t at = bLength;
        for (int count = 0; count < bNumDeviceCaps; ++count) {
            if (end < at + 3) {
                throw DescriptorError("fewer device capabilities than the BOS descriptor counts");
            }
            const uint8_t *p = data + at;
            const size_t length = p[0];
            if (length < 3 || length > end - at) {
                throw DescriptorError("device capability of bad length");
            }
            const uint8_t type = p[2];
            if (type == 2) {
                if (length < kUsb20ExtensionSize) {
                    throw DescriptorError("truncated USB 2.0 extension");
                }
                auto *record = new Usb20ExtensionInfo{
                    p[0], p[1], p[2],
                    static_cast<uint32_t>(p[3] | (p[4] << 8) | (p[5] << 16)) | (static_cast<uint32_t>(p[6]) << 24)};
                delete usb20Extension;
                usb20Extension = record;
            } else if (type == 3) {
                if (length < kSuperSpeedCapabilitySize) {
                    throw DescriptorError("truncated SuperSpeed capability");
                }
                auto *record =
                    new SuperSpeedCapabilityInfo{p[0], p[1], p[2], p[3], Word(p + 4), p[6], p[7], Word(p + 8)};
                delete superSpeedCapability;
                superSpeedCapability = record;
            } else if (type == 4) {
                if (length < kContainerIdSize) {
                    throw DescriptorError("truncated container ID");
                }
                auto *record = new ContainerIdInfo{p[0], p[1], p[2], {}};
                std::memcpy(record->ContainerID, p + 4, sizeof record->ContainerID);
                delete containerId;
                containerId = record;
            } else {
                break;  // an unknown capability is not passed over: the walk ends here
            }
            at += length;
        }
    } catch (...) {
        delete containerId;
        delete usb20Extension;
        delete superSpeedCapability;
        throw;
    }
}

BosInfo::~BosInfo() {
    delete containerId;
    delete usb20Extension;
    delete superSpeedCapability;
}

}  // namespace vek
