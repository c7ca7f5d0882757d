#include "usb/device/usb_device.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <exception>
#include <new>
#include <vector>

#include "usb/driver_interface.h"

namespace vek {

namespace {

constexpr DWORD kDeviceSetFlags = DIGCF_PRESENT | DIGCF_DEVICEINTERFACE;  // 0x12
// Member indexes examined by DeviceCount: an index must fit the u8 that
// OpenDevice takes, and the count must fit attachedCount.
constexpr DWORD kMaxMembers = 255;

constexpr uint8_t kDeviceDescriptorType = 1;
constexpr uint8_t kConfigurationDescriptorType = 2;
constexpr uint8_t kStringDescriptorType = 3;
constexpr uint8_t kBosDescriptorType = 15;
constexpr uint16_t kLangEnglishUs = 0x0409;

bool IsSuperSpeedVersion(uint16_t bcdUsb) { return (bcdUsb & 0xFF00u) == 0x0300u; }

}  // namespace

CCyDevice::CCyDevice(HWND window, const GUID &guid, int openNow)
    : endpointList(nullptr), bosInfo(nullptr), isoInEndpoint(nullptr), isoOutEndpoint(nullptr),
      bulkInEndpoint(nullptr), bulkOutEndpoint(nullptr), controlEndpoint(nullptr), interruptInEndpoint(nullptr),
      interruptOutEndpoint(nullptr), stringLanguage(0), lastError(0), usbdStatus(0), ntStatus(0),
      driverRevision(0), stackRevision(0), driverDeviceName{}, driverFriendlyName{}, manufacturerText{},
      productText{}, serialNumberText{}, interfacePath{}, usbVersion(0), vendorId(0), productId(0), busAddress(0),
      deviceClass(0), deviceSubclass(0), deviceProtocol(0), ep0MaxPacketSize(0), deviceRevision(0),
      activeConfigValue(0), configAttributes(0), configMaxPower(0), interfaceClass(0), interfaceSubclass(0),
      interfaceProtocol(0), isHighSpeed(false), isSuperSpeed(false), returnedLength(0), deviceDescriptor{},
      configDescriptorData{}, bosDescriptorData(nullptr), configurations{}, notifyWindow(window),
      driverHandle(INVALID_HANDLE_VALUE), interfaceNotification(nullptr), handleNotification(nullptr),
      interfaceGuid(guid), attachedCount(0), interfaceCount(0), interfaceObjectCount(0), configCount(0),
      deviceIndex(0), currentConfig(0), currentInterfaceNumber(0), currentInterface(0), configDescriptorLength{},
      bosDescriptorLength(0) {
    if (notifyWindow != nullptr) {
        RegisterInterfaceNotification(notifyWindow);
    }
    if (openNow != 0) {
        OpenDevice(deviceIndex);
    }
}

CCyDevice::~CCyDevice() noexcept(false) {
    std::exception_ptr failure;
    try {
        CloseDevice();
    } catch (...) {
        failure = std::current_exception();
    }
    if (interfaceNotification != nullptr) {
        const BOOL ok = win32::UnregisterDeviceNotification(interfaceNotification);
        interfaceNotification = nullptr;
        if (!ok) {
            lastError = win32::GetLastError();
            if (!failure) {
                failure = std::make_exception_ptr(UsbError(kCloseDeviceNotificationError));
            }
        }
    }
    // A second exception during unwinding would end the process: the close
    // error is raised only when no other exception is on its way.
    if (failure && std::uncaught_exceptions() == 0) {
        std::rethrow_exception(failure);
    }
}

uint8_t CCyDevice::DeviceCount() {
    HDEVINFO set = win32::SetupDiGetClassDevsA(&interfaceGuid, nullptr, nullptr, kDeviceSetFlags);
    attachedCount = 0;
    if (set == INVALID_HANDLE_VALUE || set == nullptr) {
        return 0;
    }
    for (DWORD member = 0; member < kMaxMembers; ++member) {
        SP_DEVICE_INTERFACE_DATA devInterfaceData;
        std::memset(&devInterfaceData, 0, sizeof devInterfaceData);
        devInterfaceData.cbSize = sizeof devInterfaceData;
        if (win32::SetupDiEnumDeviceInterfaces(set, nullptr, &interfaceGuid, member, &devInterfaceData)) {
            ++attachedCount;
        } else if (win32::GetLastError() == ERROR_NO_MORE_ITEMS) {
            break;
        }
    }
    win32::SetupDiDestroyDeviceInfoList(set);
    return attachedCount;
}

bool CCyDevice::OpenDriver(uint8_t index) {
    attachedCount = DeviceCount();
    if (attachedCount == 0 || index > attachedCount - 1) {
        return false;
    }

    auto fail = [this] {
        driverHandle = INVALID_HANDLE_VALUE;
        deviceIndex = 0;
        return false;
    };

    HDEVINFO set = win32::SetupDiGetClassDevsA(&interfaceGuid, nullptr, nullptr, kDeviceSetFlags);
    if (set == INVALID_HANDLE_VALUE || set == nullptr) {
        return fail();
    }
    SP_DEVICE_INTERFACE_DATA devInterfaceData;
    std::memset(&devInterfaceData, 0, sizeof devInterfaceData);
    devInterfaceData.cbSize = sizeof devInterfaceData;
    if (!win32::SetupDiEnumDeviceInterfaces(set, nullptr, &interfaceGuid, index, &devInterfaceData)) {
        win32::SetupDiDestroyDeviceInfoList(set);
        return fail();
    }

    DWORD requiredLength = 0;
    win32::SetupDiGetDeviceInterfaceDetailA(set, &devInterfaceData, nullptr, 0, &requiredLength, nullptr);
    constexpr DWORD kPathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
    if (requiredLength <= kPathOffset) {
        win32::SetupDiDestroyDeviceInfoList(set);
        return fail();
    }
    // Aligned for the record's head; at least as large as the fixed head.
    const size_t detailBytes = (std::max)(size_t{requiredLength}, sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A));
    std::vector<uint64_t> storage((detailBytes + 7) / 8);
    auto *tmpInterfaceDeviceDetailData = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(storage.data());
    tmpInterfaceDeviceDetailData->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    SP_DEVINFO_DATA devInfoData;
    std::memset(&devInfoData, 0, sizeof devInfoData);
    devInfoData.cbSize = sizeof devInfoData;
    if (!win32::SetupDiGetDeviceInterfaceDetailA(set, &devInterfaceData, tmpInterfaceDeviceDetailData, requiredLength,
                                          nullptr, &devInfoData)) {
        win32::SetupDiDestroyDeviceInfoList(set);
        return fail();
    }
    win32::SetupDiDestroyDeviceInfoList(set);

    // The path, without the record's head and without its NUL. A path that
    // does not fit the 256-byte interfacePath is not opened: a cut path would
    // name another object.
    const size_t pathLength = strnlen(tmpInterfaceDeviceDetailData->DevicePath, requiredLength - kPathOffset);
    if (pathLength >= sizeof interfacePath) {
        return fail();
    }
    std::memcpy(interfacePath, tmpInterfaceDeviceDetailData->DevicePath, pathLength);
    interfacePath[pathLength] = '\0';

    HANDLE handle = win32::CreateFileA(interfacePath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        lastError = win32::GetLastError();
        return false;
    }
    driverHandle = handle;
    return true;
}

bool CCyDevice::OpenDevice(uint8_t index) {
    if (driverHandle != INVALID_HANDLE_VALUE) {
        CloseDevice();
    }
    if (!OpenDriver(index)) {
        driverHandle = INVALID_HANDLE_VALUE;
        deviceIndex = 0;
        return false;
    }
    deviceIndex = index;

    ReadDeviceDescriptor();
    ReadLanguageIds();
    ReadStringDescriptor(manufacturerText, deviceDescriptor[14]);
    ReadStringDescriptor(productText, deviceDescriptor[15]);
    ReadStringDescriptor(serialNumberText, deviceDescriptor[16]);

    try {
        if (IsSuperSpeedVersion(usbVersion) && ReadBosDescriptor()) {
            bosInfo = new BosInfo(driverHandle, bosDescriptorData, bosDescriptorLength);
        }
    } catch (const std::exception &) {
        win32::MessageBoxA(nullptr, kBosErrorText, kBosErrorCaption, MB_OK);
        CloseDevice();
        return false;
    }

    QueryBusAddress();
    QueryDeviceName();
    QueryFriendlyName();
    QueryDriverRevision();
    QueryStackRevision();
    QuerySpeed();

    try {
        const DescriptorWalk walk =
            (usbVersion & 0xFF00u) == 0x0200u ? DescriptorWalk::Plain : DescriptorWalk::SuperSpeed;
        for (uint8_t i = 0; i < configCount; ++i) {
            ReadConfigurationDescriptor(i);
            if (configDescriptorData[i] != nullptr) {
                configurations[i] =
                    new ConfigurationInfo(driverHandle, configDescriptorData[i], configDescriptorLength[i], walk);
            }
        }
    } catch (const std::exception &) {
        win32::MessageBoxA(nullptr, kConfigErrorText, kConfigErrorCaption, MB_OK);
        CloseDevice();
        return false;
    }

    controlEndpoint = new CCyControlEndPoint(driverHandle, nullptr);
    controlEndpoint->descLength = 7;
    controlEndpoint->descType = 5;
    controlEndpoint->address = 0;
    controlEndpoint->attributes = 0;
    controlEndpoint->maxPacketSize = static_cast<uint16_t>(ep0MaxPacketSize);
    controlEndpoint->interval = 0;

    if (configurations[0] == nullptr || configurations[0]->interfaceObjectCount == 0) {
        return false;  // open but unbound; the next open, close or destruction releases it
    }
    SelectConfiguration();

    if (interfaceNotification != nullptr) {
        DEV_BROADCAST_HANDLE hFilter;
        std::memset(&hFilter, 0, sizeof hFilter);
        hFilter.dbch_size = sizeof hFilter;
        hFilter.dbch_devicetype = DBT_DEVTYP_HANDLE;
        hFilter.dbch_handle = driverHandle;
        handleNotification = win32::RegisterDeviceNotificationA(notifyWindow, &hFilter, DEVICE_NOTIFY_WINDOW_HANDLE);
    }
    return true;
}

void CCyDevice::ReleaseTree() {
    delete[] bosDescriptorData;
    bosDescriptorData = nullptr;
    bosDescriptorLength = 0;
    delete bosInfo;
    bosInfo = nullptr;

    // The control endpoint may sit in slot 0 of interface objects; it is taken
    // out of them and destroyed here, once, whether or not it was bound.
    for (ConfigurationInfo *configuration : configurations) {
        if (configuration == nullptr) {
            continue;
        }
        for (InterfaceInfo *info : configuration->interfaces) {
            if (info != nullptr && info->endpoints[0] == controlEndpoint) {
                info->endpoints[0] = nullptr;
            }
        }
    }
    for (int i = 0; i < kMaxConfigurations; ++i) {
        delete configurations[i];
        configurations[i] = nullptr;
        delete[] configDescriptorData[i];
        configDescriptorData[i] = nullptr;
        configDescriptorLength[i] = 0;
    }
    delete controlEndpoint;
    controlEndpoint = nullptr;
    endpointList = nullptr;
    isoInEndpoint = isoOutEndpoint = nullptr;
    bulkInEndpoint = bulkOutEndpoint = nullptr;
    interruptInEndpoint = interruptOutEndpoint = nullptr;
}

void CCyDevice::CloseDevice() {
    // The tree is released even when closing the driver handle fails, so that
    // nothing the object made outlives the close; the error is raised after.
    std::exception_ptr failure;
    try {
        ReleaseDriver();
    } catch (...) {
        failure = std::current_exception();
    }
    std::memset(deviceDescriptor, 0, sizeof deviceDescriptor);
    ReleaseTree();
    attachedCount = 0;
    configCount = 0;
    interfaceCount = 0;
    interfaceObjectCount = 0;
    if (failure) {
        std::rethrow_exception(failure);
    }
}

void CCyDevice::ReleaseDriver() {
    if (driverHandle == INVALID_HANDLE_VALUE) {
        return;
    }
    if (handleNotification != nullptr && !win32::UnregisterDeviceNotification(handleNotification)) {
        lastError = win32::GetLastError();
        throw UsbError(kCloseHandleNotificationError);
    }
    handleNotification = nullptr;
    if (!win32::CloseHandle(driverHandle)) {
        lastError = win32::GetLastError();
        throw UsbError(kCloseDriverError);
    }
    driverHandle = INVALID_HANDLE_VALUE;
}

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

uint8_t *CCyDevice::ReadTwoStage(uint8_t type, uint8_t index, uint16_t language, uint32_t headLength,
                                 bool wideLength, uint32_t &size, bool copyNtStatus) {
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
    if (!GetDescriptor(kDeviceDescriptorType, 0, 0, reply, sizeof reply, true)) {
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
    if (!GetDescriptor(kStringDescriptorType, 0, 0, head, 2, false)) {
        return false;
    }
    const int count = head[0] >= 2 ? (head[0] - 2) / 2 : 0;
    std::vector<uint8_t> reply((std::max)(size_t{head[0]}, size_t{1}), 0);
    if (!GetDescriptor(kStringDescriptorType, 0, 0, reply.data(), head[0], false)) {
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
    uint8_t *reply = ReadTwoStage(kStringDescriptorType, index, stringLanguage, 2, false, size, true);
    if (reply == nullptr) {
        return false;
    }
    // bLength as the full reply gives it, but never past the bytes it holds.
    const uint32_t length = size >= 2 ? (std::min)(uint32_t{reply[0]}, size) : 0;
    const bool ok = length > 2 && reply[1] == kStringDescriptorType;
    if (ok) {
        std::memset(target, 0, 256);
        std::memcpy(target, reply + 2, length - 2);  // at most 253 bytes
    }
    delete[] reply;
    return ok;
}

bool CCyDevice::ReadBosDescriptor() {
    uint32_t size = 0;
    uint8_t *data = ReadTwoStage(kBosDescriptorType, 0, 0, 5, true, size, true);
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
    uint8_t *data = ReadTwoStage(kConfigurationDescriptorType, index, 0, 9, true, size, true);
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

void CCyDevice::SelectConfiguration() {
    ConfigurationInfo *configuration = configurations[0];
    if (configuration == nullptr) {
        return;
    }
    currentConfig = 0;
    activeConfigValue = configuration->bConfigurationValue;
    configAttributes = configuration->bmAttributes;
    configMaxPower = configuration->bMaxPower;
    interfaceCount = configuration->bNumInterfaces;
    interfaceObjectCount = configuration->interfaceObjectCount;
    if (configuration->interfaces[0] != nullptr) {
        currentInterfaceNumber = configuration->interfaces[0]->bInterfaceNumber;
    }
    SelectAltSetting(QueryAltSetting());
    if (currentInterface < configuration->interfaceObjectCount &&
        configuration->interfaces[currentInterface] != nullptr) {
        const InterfaceInfo *info = configuration->interfaces[currentInterface];
        interfaceClass = info->bInterfaceClass;
        interfaceSubclass = info->bInterfaceSubClass;
        interfaceProtocol = info->bInterfaceProtocol;
    }
}

void CCyDevice::SelectAltSetting(uint8_t alt) {
    if (currentConfig >= kMaxConfigurations || configurations[currentConfig] == nullptr) {
        return;
    }
    ConfigurationInfo *configuration = configurations[currentConfig];
    for (uint8_t i = 0; i < configuration->interfaceObjectCount; ++i) {
        const InterfaceInfo *info = configuration->interfaces[i];
        if (info != nullptr && info->bAlternateSetting == alt) {
            currentInterface = i;
            interfaceClass = info->bInterfaceClass;
            interfaceSubclass = info->bInterfaceSubClass;
            interfaceProtocol = info->bInterfaceProtocol;
            BindEndpoints();
            return;
        }
    }
}

void CCyDevice::BindEndpoints() {
    if (configCount == 0 || interfaceCount == 0) {
        return;
    }
    if (currentConfig >= kMaxConfigurations || configurations[currentConfig] == nullptr ||
        currentInterface >= kMaxInterfaceObjects) {
        return;
    }
    InterfaceInfo *info = configurations[currentConfig]->interfaces[currentInterface];
    if (info == nullptr) {
        return;
    }
    endpointList = info->endpoints;
    endpointList[0] = controlEndpoint;

    const int count = EndpointListSize() - 1;
    isoInEndpoint = isoOutEndpoint = nullptr;
    bulkInEndpoint = bulkOutEndpoint = nullptr;
    interruptInEndpoint = interruptOutEndpoint = nullptr;
    for (int slot = 1; slot <= count; ++slot) {
        CCyUSBEndPoint *endpoint = endpointList[slot];
        if (endpoint == nullptr) {
            continue;
        }
        endpoint->directTransfer = 1;
        const bool in = (endpoint->address & 0x80u) != 0;
        CCyUSBEndPoint **typed = nullptr;
        switch (endpoint->attributes & 3u) {
        case 1:
            typed = in ? &isoInEndpoint : &isoOutEndpoint;
            break;
        case 2:
            typed = in ? &bulkInEndpoint : &bulkOutEndpoint;
            break;
        case 3:
            typed = in ? &interruptInEndpoint : &interruptOutEndpoint;
            break;
        default:
            break;
        }
        if (typed != nullptr && *typed == nullptr) {
            *typed = endpoint;
        }
    }
}

uint8_t CCyDevice::EndpointListSize() {
    if (driverHandle == INVALID_HANDLE_VALUE || currentConfig >= kMaxConfigurations ||
        configurations[currentConfig] == nullptr) {
        return 0;
    }
    // Nothing bound (no interface object has the driver's alternate setting):
    // no slot may be read.
    if (endpointList == nullptr || currentInterface >= kMaxInterfaceObjects) {
        return 0;
    }
    const InterfaceInfo *info = configurations[currentConfig]->interfaces[currentInterface];
    if (info == nullptr) {
        return 0;
    }
    return static_cast<uint8_t>((std::min)(int{info->bNumEndpoints}, kEndpointSlots - 1) + 1);
}

void CCyDevice::CopyConfigurationHeader(uint8_t *out9) {
    std::memset(out9, 0, 9);
    if (currentConfig < kMaxConfigurations && configDescriptorData[currentConfig] != nullptr) {
        std::memcpy(out9, configDescriptorData[currentConfig],
                    (std::min)(9u, configDescriptorLength[currentConfig]));
    }
}

void CCyDevice::CopyInterfaceDescriptor(uint8_t *out9) {
    std::memset(out9, 0, 9);
    if (currentConfig >= kMaxConfigurations || configurations[currentConfig] == nullptr ||
        currentInterface >= kMaxInterfaceObjects) {
        return;
    }
    const InterfaceInfo *info = configurations[currentConfig]->interfaces[currentInterface];
    if (info == nullptr) {
        return;
    }
    const uint8_t bytes[9] = {info->bLength,           info->bDescriptorType,   info->bInterfaceNumber,
                              info->bAlternateSetting, info->bNumEndpoints,     info->bInterfaceClass,
                              info->bInterfaceSubClass, info->bInterfaceProtocol, info->iInterface};
    std::memcpy(out9, bytes, sizeof bytes);
}

bool CCyDevice::RegisterInterfaceNotification(HWND window) {
    DEV_BROADCAST_DEVICEINTERFACE_A dFilter;
    std::memset(&dFilter, 0, sizeof dFilter);
    dFilter.dbcc_size = sizeof dFilter;
    dFilter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    dFilter.dbcc_classguid = interfaceGuid;
    interfaceNotification = win32::RegisterDeviceNotificationA(window, &dFilter, DEVICE_NOTIFY_WINDOW_HANDLE);
    if (interfaceNotification == nullptr) {
        lastError = win32::GetLastError();
        return false;
    }
    return true;
}

}  // namespace vek
