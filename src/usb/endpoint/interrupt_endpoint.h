// CCyInterruptEndPoint: an interrupt pipe. Direct path unless directTransfer
// is changed.
#pragma once

#include "usb/endpoint/usb_endpoint.h"

namespace vek {

class CCyInterruptEndPoint : public CCyUSBEndPoint {
public:
    CCyInterruptEndPoint();
    CCyInterruptEndPoint(HANDLE handle, const uint8_t *descriptor);
    CCyInterruptEndPoint(HANDLE handle, const uint8_t *descriptor, const uint8_t *companion);
    CCyInterruptEndPoint(const CCyInterruptEndPoint &other) = default;

    uint8_t *BeginTransfer(uint8_t *buffer, int32_t length, OVERLAPPED *ov) override;
};

}  // namespace vek
