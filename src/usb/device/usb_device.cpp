// The device object: finding the attached devices, opening and closing one,
// the configuration tree and the endpoints of the current interface. Its
// requests to the driver are in usb_device_descriptors.cpp.
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

}  // namespace

CCyDevice::CCyDevice(HWND window, const GUID &guid, int openNow)
    : endpointList(nullptr),
      bosInfo(nullptr),
      isoInEndpoint(nullptr),
      isoOutEndpoint(nullptr),
      bulkInEndpoint(nullptr),
      bulkOutEndpoint(nullptr),
      controlEndpoint(nullptr),
      interruptInEndpoint(nullptr),
      interruptOutEndpoint(nullptr),
      stringLanguage(0),
      lastError(0),
      usbdStatus(0),
      ntStatus(0),
      driverRevision(0),
      stackRevision(0),
      driverDeviceName{},
      driverFriendlyName{},
      manufacturerText{},
      productText{},
      serialNumberText{},
      interfacePath{},
      usbVersion(0),
      vendorId(0),
      productId(0),
      busAddress(0),
      deviceClass(0),
      deviceSubclass(0),
      deviceProtocol(0),
      ep0MaxPacketSize(0),
      deviceRevision(0),
      activeConfigValue(0),
      configAttributes(0),
      configMaxPower(0),
      interfaceClass(0),
      interfaceSubclass(0),
      interfaceProtocol(0),
      isHighSpeed(false),
      isSuperSpeed(false),
      returnedLength(0),
      deviceDescriptor{},
      configDescriptorData{},
      bosDescriptorData(nullptr),
      configurations{},
      notifyWindow(window),
      driverHandle(INVALID_HANDLE_VALUE),
      interfaceNotification(nullptr),
      handleNotification(nullptr),
      interfaceGuid(guid),
      attachedCount(0),
      interfaceCount(0),
      interfaceObjectCount(0),
      configCount(0),
      deviceIndex(0),
      currentConfig(0),
      currentInterfaceNumber(0),
      currentInterface(0),
      configDescriptorLength{},
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
        std::memcpy(out9, configDescriptorData[currentConfig], (std::min)(9u, configDescriptorLength[currentConfig]));
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
    const uint8_t bytes[9] = {
        info->bLength,       info->bDescriptorType, info->bInterfaceNumber,   info->bAlternateSetting,
        info->bNumEndpoints, info->bInterfaceClass, info->bInterfaceSubClass, info->bInterfaceProtocol,
        info->iInterface};
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
