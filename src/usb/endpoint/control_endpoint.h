// CCyControlEndPoint: control requests on the device's default pipe. The
// caller sets the six request fields, then runs ControlRead or ControlWrite.
// Control transfers always carry their data inside the request block.
#pragma once

#include "usb/endpoint/usb_endpoint.h"

namespace vek {

class CCyControlEndPoint : public CCyUSBEndPoint {
public:
    uint32_t recipient;    // bmRequestType bits 0-4: 0 device, 1 interface, 2 endpoint, 3 other
    uint32_t requestType;  // bmRequestType bits 5-6: 0 standard, 1 class, 2 vendor
    uint32_t direction;    // bmRequestType bit 7: 0 host-to-device, 1 device-to-host
    uint8_t requestCode;   // bRequest
    uint16_t value;        // wValue
    uint16_t index;        // wIndex

    CCyControlEndPoint();
    CCyControlEndPoint(HANDLE handle, const uint8_t *descriptor);
    CCyControlEndPoint(const CCyControlEndPoint &other);

    uint8_t *BeginTransfer(uint8_t *buffer, int32_t length, OVERLAPPED *ov) override;

    // Device-to-host request; `length` in: bytes wanted, out: bytes received.
    bool ControlRead(uint8_t *buf, int32_t &length);
    // Host-to-device request; `length` in: bytes to send, out: bytes sent.
    bool ControlWrite(uint8_t *buf, int32_t &length);
};

// Seconds given to the driver for a control request of `timeoutMs`: 1 for
// any positive time under a second, else whole seconds (0 stays 0).
constexpr uint32_t ControlTimeoutSeconds(uint32_t timeoutMs) {
    return (timeoutMs > 0 && timeoutMs < 1000) ? 1u : timeoutMs / 1000u;
}

}  // namespace vek
