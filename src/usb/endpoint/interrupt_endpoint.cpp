#include "usb/endpoint/interrupt_endpoint.h"

namespace vek {

CCyInterruptEndPoint::CCyInterruptEndPoint() = default;

CCyInterruptEndPoint::CCyInterruptEndPoint(HANDLE handle, const uint8_t *descriptor)
    : CCyUSBEndPoint(handle, descriptor) {}

CCyInterruptEndPoint::CCyInterruptEndPoint(HANDLE handle, const uint8_t *descriptor, const uint8_t *companion)
    : CCyUSBEndPoint(handle, descriptor, companion) {}

uint8_t *CCyInterruptEndPoint::BeginTransfer(uint8_t *buffer, int32_t length, OVERLAPPED *ov) {
    if (driverHandle == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    return directTransfer == 1 ? BeginDirectTransfer(buffer, length, ov) : BeginBufferedTransfer(buffer, length, ov);
}

}  // namespace vek
