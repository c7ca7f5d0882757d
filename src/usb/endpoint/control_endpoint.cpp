#include "usb/endpoint/control_endpoint.h"

#include <cstring>

namespace vek {

CCyControlEndPoint::CCyControlEndPoint()
    : CCyUSBEndPoint(), recipient(0), requestType(2), direction(0), requestCode(0), value(0), index(0) {
    directTransfer = 0;
}

CCyControlEndPoint::CCyControlEndPoint(HANDLE handle, const uint8_t *descriptor)
    : CCyUSBEndPoint(handle, descriptor),
      recipient(0),
      requestType(2),
      direction(0),
      requestCode(0),
      value(0),
      index(0) {
    directTransfer = 0;
}

CCyControlEndPoint::CCyControlEndPoint(const CCyControlEndPoint &other)
    : CCyUSBEndPoint(other),
      recipient(other.recipient),
      requestType(other.requestType),
      direction(other.direction),
      requestCode(other.requestCode),
      value(other.value),
      index(other.index) {}

uint8_t *CCyControlEndPoint::BeginTransfer(uint8_t *buffer, int32_t length, OVERLAPPED *ov) {
    if (driverHandle == INVALID_HANDLE_VALUE || length < 0) {
        return nullptr;
    }
    const uint8_t bmRequestType =
        static_cast<uint8_t>((recipient & 0x1Fu) | ((requestType & 3u) << 5) | ((direction & 1u) << 7));
    isIn = direction == 1;

    const uint64_t size = uint64_t{kTransferRequestSize} + static_cast<uint32_t>(length);
    uint8_t *block = AllocateBlock(size, length);
    if (block == nullptr) {
        lastError = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    auto *head = reinterpret_cast<TransferRequest *>(block);
    head->bmRequestType = bmRequestType;
    head->bRequest = requestCode;
    head->wValue = value;
    head->wIndex = index;
    head->wLength = static_cast<uint16_t>(length);
    head->timeoutSeconds = ControlTimeoutSeconds(timeoutMs);
    head->endpointAddress = 0;
    head->isoPacketLength = 0;
    head->bufferOffset = kTransferRequestSize;
    head->bufferLength = static_cast<uint32_t>(length);
    if (buffer != nullptr && length > 0) {
        std::memcpy(block + kTransferRequestSize, buffer, static_cast<size_t>(length));
    }
    // The status words are read back only when the transfer is finished.
    detail::IssueRequest(*this, ioctl::kControlRequest, block, static_cast<uint32_t>(size), block,
                         static_cast<uint32_t>(size), ov, false);
    return block;
}

bool CCyControlEndPoint::ControlRead(uint8_t *buf, int32_t &length) {
    direction = 1;
    return SyncTransfer(buf, length, nullptr);
}

bool CCyControlEndPoint::ControlWrite(uint8_t *buf, int32_t &length) {
    direction = 0;
    return SyncTransfer(buf, length, nullptr);
}

}  // namespace vek
