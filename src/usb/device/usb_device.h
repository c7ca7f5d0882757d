// CCyDevice: one USB device of the driver's interface class. Finds the
// attached devices, opens the n-th one through the driver, reads its
// descriptors, builds the configuration tree and binds the endpoints of the
// current interface.
//
// A plain class with no virtual operations. Its steps are public so that
// tests can drive them one by one.
#pragma once

#include <cstdint>
#include <stdexcept>

#include "platform/win32.h"
#include "usb/device/descriptor_tree.h"
#include "usb/endpoint/control_endpoint.h"
#include "usb/endpoint/usb_endpoint.h"

namespace vek {

// The error texts raised when closing fails ("Failed to close handle to
// driver.", ...). They leave CloseDevice, OpenDevice and the destructor.
class UsbError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

inline constexpr int kMaxConfigurations = 2;
inline constexpr char kBosErrorCaption[] = "Wrong BOS Descriptor";
inline constexpr char kBosErrorText[] = "Please correct firmware BOS descriptor table";
inline constexpr char kConfigErrorCaption[] = "Wrong Device Configuration";
inline constexpr char kConfigErrorText[] = "Please correct firmware descriptor table";
inline constexpr char kCloseHandleNotificationError[] = "Failed to close the handle notification handle.";
inline constexpr char kCloseDriverError[] = "Failed to close handle to driver.";
inline constexpr char kCloseDeviceNotificationError[] = "Failed to close the device notification handle.";

class CCyDevice {
public:
    CCyUSBEndPoint **endpointList;  // the current interface's 32 slots; borrowed
    BosInfo *bosInfo;               // owned
    CCyUSBEndPoint *isoInEndpoint;  // first of its kind in the current interface; borrowed
    CCyUSBEndPoint *isoOutEndpoint;
    CCyUSBEndPoint *bulkInEndpoint;
    CCyUSBEndPoint *bulkOutEndpoint;
    CCyControlEndPoint *controlEndpoint;  // made by OpenDevice; lives in slot 0 once bound
    CCyUSBEndPoint *interruptInEndpoint;
    CCyUSBEndPoint *interruptOutEndpoint;
    uint16_t stringLanguage;
    uint32_t lastError;
    uint32_t usbdStatus;
    uint32_t ntStatus;
    uint32_t driverRevision;
    uint32_t stackRevision;
    char driverDeviceName[256];
    char driverFriendlyName[256];
    char16_t manufacturerText[128];
    char16_t productText[128];
    char16_t serialNumberText[128];
    char interfacePath[256];
    uint16_t usbVersion;
    uint16_t vendorId;
    uint16_t productId;
    uint8_t busAddress;
    uint8_t deviceClass;
    uint8_t deviceSubclass;
    uint8_t deviceProtocol;
    uint32_t ep0MaxPacketSize;
    uint16_t deviceRevision;
    uint8_t activeConfigValue;
    uint8_t configAttributes;
    uint8_t configMaxPower;
    uint8_t interfaceClass;
    uint8_t interfaceSubclass;
    uint8_t interfaceProtocol;
    bool isHighSpeed;
    bool isSuperSpeed;
    uint32_t returnedLength;
    uint8_t deviceDescriptor[18];
    uint8_t *configDescriptorData[kMaxConfigurations];      // owned
    uint8_t *bosDescriptorData;                             // owned
    ConfigurationInfo *configurations[kMaxConfigurations];  // owned
    HWND notifyWindow;
    HANDLE driverHandle;  // all ones: no device open
    HDEVNOTIFY interfaceNotification;
    HDEVNOTIFY handleNotification;
    GUID interfaceGuid;
    uint8_t attachedCount;
    uint8_t interfaceCount;
    uint8_t interfaceObjectCount;
    uint8_t configCount;  // bNumConfigurations, at most kMaxConfigurations
    uint8_t deviceIndex;
    uint8_t currentConfig;
    uint8_t currentInterfaceNumber;
    uint8_t currentInterface;
    // Bytes actually held in configDescriptorData and bosDescriptorData.
    uint32_t configDescriptorLength[kMaxConfigurations];
    uint32_t bosDescriptorLength;

    CCyDevice(HWND notifyWindow, const GUID &interfaceGuid, int openNow);
    // Closes the device and the class-notice registration; may raise UsbError.
    ~CCyDevice() noexcept(false);
    CCyDevice(const CCyDevice &) = delete;
    CCyDevice &operator=(const CCyDevice &) = delete;

    uint8_t DeviceCount();
    bool OpenDevice(uint8_t index);
    void CloseDevice();
    uint8_t EndpointListSize();
    void CopyConfigurationHeader(uint8_t *out9);
    void CopyInterfaceDescriptor(uint8_t *out9);
    bool DriverRequest(uint32_t code, void *buffer, uint32_t length);

    // The steps of opening and closing.
    bool OpenDriver(uint8_t index);
    void ReleaseDriver();
    bool ReadDeviceDescriptor();
    bool ReadLanguageIds();
    bool ReadStringDescriptor(char16_t *target, uint8_t index);
    bool ReadBosDescriptor();
    bool ReadConfigurationDescriptor(uint8_t index);
    bool QueryBusAddress();
    bool QueryDeviceName();
    bool QueryFriendlyName();
    bool QueryDriverRevision();
    bool QueryStackRevision();
    bool QuerySpeed();
    uint8_t QueryAltSetting();
    void SelectConfiguration();
    void SelectAltSetting(uint8_t alt);
    void BindEndpoints();
    bool RegisterInterfaceNotification(HWND window);

private:
    static bool IsSuperSpeedVersion(uint16_t bcdUsb) { return (bcdUsb & 0xFF00u) == 0x0300u; }
    // One GET_DESCRIPTOR request for `length` bytes of descriptor `type`,
    // `index`; on success `reply` (at least `length` bytes) holds them.
    bool GetDescriptor(uint8_t type, uint8_t index, uint16_t language, uint8_t *reply, uint32_t length,
                       bool copyNtStatus);
    // Reads a descriptor whose full length is in a head of `headLength` bytes
    // (at `lengthOffset`, 1 or 2 bytes wide); returns the owned buffer or none.
    uint8_t *ReadTwoStage(uint8_t type, uint8_t index, uint16_t language, uint32_t headLength, bool wideLength,
                          uint32_t &size, bool copyNtStatus);
    void ReleaseTree();
};

}  // namespace vek
