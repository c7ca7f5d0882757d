// The device object's requests to the driver: the descriptor reads (device,
// language ids, strings, BOS, configurations) over GET_DESCRIPTOR control
// requests, and the driver's own queries (name, revision, speed, address,
// alternate setting).
#include <algorithm>
#include <cstring>
#include <vector>

#include "usb/device/usb_device.h"
#include "usb/driver_interface.h"

namespace vek {

namespace {

constexpr uint16_t kLangEnglishUs = 0x0409;

}  // namespace

bool CCyDevice::DriverRequest(uint32_t code, void *buffer, uint32_t length) {
    if (driverHandle == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD returned = 0;
    const BOOL ok = win32::DeviceIoControl(driverHandle, code, buffer, length, buffer, length, &returned, nullptr);
    returnedLength = returned;
    if (!ok) {
        lastError = win32::GetLastError();
        return false;
    }
    return returnedLength == length;
}

bool CCyDevice::GetDescriptor(uint8_t type, uint8_t index, uint16_t language, uint8_t *reply, uint32_t length,
                              bool copyNtStatus) {
    std::vector<uint8_t> block(kTransferRequestSize + length, 0);
    auto *head = reinterpret_cast<TransferRequest *>(block.data());
    head->bmRequestType = 0x80;
    head->bRequest = 6;
    head->wValue = static_cast<uint16_t>(type << 8 | index);
    head->wIndex = language;
    head->wLength = static_cast<uint16_t>(length);
    head->timeoutSeconds = 5;
    head->bufferOffset = kTransferRequestSize;
    head->bufferLength = length;
    bool ok = DriverRequest(ioctl::kControlRequest, block.data(), static_cast<uint32_t>(block.size()));
    usbdStatus = head->usbdStatus;
    if (copyNtStatus) {
        ntStatus = head->ntStatus;
    }
    // The reply is read where the driver says it put it, when that lies
    // inside the block.
    const uint64_t offset = head->bufferOffset;
    if (ok && offset + length > block.size()) {
        ok = false;
    }
    if (ok && length > 0) {
        std::memcpy(reply, block.data() + offset, length);
    }
    return ok;
}

uint8_t *CCyDevice::ReadTwoStage(uint8_t type, uint8_t index, uint16_t language, uint32_t headLength, bool wideLength,
                                 uint32_t &size, bool copyNtStatus) {
    uint8_t head[9] = {};
    size = 0;
    if (!GetDescriptor(type, index, language, head, headLength, copyNtStatus)) {
        return nullptr;
    }
    const uint32_t full = wideLength ? static_cast<uint32_t>(head[2] | (head[3] << 8)) : head[0];
    auto *data = new uint8_t[(std::max)(full, 1u)]();
    if (!GetDescriptor(type, index, language, data, full, copyNtStatus)) {
        delete[] data;
        return nullptr;
    }
    size = full;
    return data;
}

bool CCyDevice::ReadDeviceDescriptor() {
    std::memset(deviceDescriptor, 0, sizeof deviceDescriptor);
    uint8_t reply[18] = {};
    if (!GetDescriptor(descriptor_type::kDevice, 0, 0, reply, sizeof reply, true)) {
        return false;
    }
    std::memcpy(deviceDescriptor, reply, sizeof reply);
    usbVersion = static_cast<uint16_t>(reply[2] | (reply[3] << 8));
    deviceClass = reply[4];
    deviceSubclass = reply[5];
    deviceProtocol = reply[6];
    vendorId = static_cast<uint16_t>(reply[8] | (reply[9] << 8));
    productId = static_cast<uint16_t>(reply[10] | (reply[11] << 8));
    deviceRevision = static_cast<uint16_t>(reply[12] | (reply[13] << 8));
    configCount = (std::min)(static_cast<uint8_t>(reply[17]), static_cast<uint8_t>(kMaxConfigurations));
    const uint8_t maxPacket0 = reply[7];
    if (IsSuperSpeedVersion(usbVersion)) {
        ep0MaxPacketSize = maxPacket0 < 32 ? (1u << maxPacket0) : 0;
    } else {
        ep0MaxPacketSize = maxPacket0;
    }
    return true;
}

bool CCyDevice::ReadLanguageIds() {
    uint8_t head[2] = {};
    if (!GetDescriptor(descriptor_type::kString, 0, 0, head, 2, false)) {
        return false;
    }
    const int count = head[0] >= 2 ? (head[0] - 2) / 2 : 0;
    std::vector<uint8_t> reply((std::max)(size_t{head[0]}, size_t{1}), 0);
    if (!GetDescriptor(descriptor_type::kString, 0, 0, reply.data(), head[0], false)) {
        return false;
    }
    stringLanguage = count > 0 ? static_cast<uint16_t>(reply[2] | (reply[3] << 8)) : 0;
    for (int i = 0; i < count; ++i) {
        if (static_cast<uint16_t>(reply[2 + 2 * i] | (reply[3 + 2 * i] << 8)) == kLangEnglishUs) {
            stringLanguage = kLangEnglishUs;
        }
    }
    return true;
}

bool CCyDevice::ReadStringDescriptor(char16_t *target, uint8_t index) {
    uint32_t size = 0;
    uint8_t *reply = ReadTwoStage(descriptor_type::kString, index, stringLanguage, 2, false, size, true);
    if (reply == nullptr) {
        return false;
    }
    // bLength as the full reply gives it, but never past the bytes it holds.
    const uint32_t length = size >= 2 ? (std::min)(uint32_t{reply[0]}, size) : 0;
    const bool ok = length > 2 && reply[1] == descriptor_type::kString;
    if (ok) {
        std::memset(target, 0, 256);
        std::memcpy(target, reply + 2, length - 2);  // at most 253 bytes
    }
    delete[] reply;
    return ok;
}

bool CCyDevice::ReadBosDescriptor() {
    uint32_t size = 0;
    uint8_t *data = ReadTwoStage(descriptor_type::kBos, 0, 0, 5, true, size, true);
    if (data == nullptr) {
        return false;
    }
    delete[] bosDescriptorData;
    bosDescriptorData = data;
    bosDescriptorLength = size;
    return true;
}

bool CCyDevice::ReadConfigurationDescriptor(uint8_t index) {
    if (index >= kMaxConfigurations) {
        return false;
    }
    uint32_t size = 0;
    uint8_t *data = ReadTwoStage(descriptor_type::kConfiguration, index, 0, 9, true, size, true);
    if (data == nullptr) {
        return false;
    }
    delete[] configDescriptorData[index];
    configDescriptorData[index] = data;
    configDescriptorLength[index] = size;
    return true;
}

bool CCyDevice::QueryBusAddress() {
    uint8_t value = 0;
    const bool ok = DriverRequest(ioctl::kGetAddress, &value, 1);
    busAddress = ok ? value : 0;
    return ok;
}

bool CCyDevice::QueryDeviceName() {
    std::memset(driverDeviceName, 0, sizeof driverDeviceName);
    const bool ok = DriverRequest(ioctl::kGetDeviceName, driverDeviceName, sizeof driverDeviceName);
    driverDeviceName[sizeof driverDeviceName - 1] = '\0';  // the text always ends inside the array
    return ok;
}

bool CCyDevice::QueryFriendlyName() {
    std::memset(driverFriendlyName, 0, sizeof driverFriendlyName);
    const bool ok = DriverRequest(ioctl::kGetFriendlyName, driverFriendlyName, sizeof driverFriendlyName);
    driverFriendlyName[sizeof driverFriendlyName - 1] = '\0';
    return ok;
}

bool CCyDevice::QueryDriverRevision() {
    uint32_t value = 0;
    const bool ok = DriverRequest(ioctl::kGetDriverVersion, &value, sizeof value);
    driverRevision = ok ? value : 0;
    return ok;
}

bool CCyDevice::QueryStackRevision() {
    uint32_t value = 0;
    const bool ok = DriverRequest(ioctl::kGetStackVersion, &value, sizeof value);
    stackRevision = ok ? value : 0;
    return ok;
}

bool CCyDevice::QuerySpeed() {
    isHighSpeed = false;
    isSuperSpeed = false;
    uint32_t speed = 0;
    const bool ok = DriverRequest(ioctl::kGetSpeed, &speed, sizeof speed);
    isHighSpeed = speed == kSpeedHigh;
    isSuperSpeed = speed == kSpeedSuper;
    return ok;
}

uint8_t CCyDevice::QueryAltSetting() {
    uint8_t alt = 0;
    return DriverRequest(ioctl::kGetAltSetting, &alt, 1) ? alt : 0xFF;
}

}  // namespace vek
