// CCyBulkEndPoint: a bulk pipe. Direct path unless directTransfer is changed.
#pragma once

#include "usb/endpoint/usb_endpoint.h"

namespace vek {

class CCyBulkEndPoint : public CCyUSBEndPoint {
public:
    CCyBulkEndPoint();
    CCyBulkEndPoint(HANDLE handle, const uint8_t *descriptor);
    CCyBulkEndPoint(HANDLE handle, const uint8_t *descriptor, const uint8_t *companion);
    CCyBulkEndPoint(const CCyBulkEndPoint &other) = default;

    uint8_t *BeginTransfer(uint8_t *buffer, int32_t length, OVERLAPPED *ov) override;
};

}  // namespace vek
