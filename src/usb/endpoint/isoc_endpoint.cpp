#include "usb/endpoint/isoc_endpoint.h"

#include <cstring>

namespace vek {

CCyIsocEndPoint::CCyIsocEndPoint() = default;

CCyIsocEndPoint::CCyIsocEndPoint(HANDLE handle, const uint8_t *descriptor) : CCyUSBEndPoint(handle, descriptor) {}

CCyIsocEndPoint::CCyIsocEndPoint(HANDLE handle, const uint8_t *descriptor, const uint8_t *companion)
    : CCyUSBEndPoint(handle, descriptor, companion) {}

int32_t CCyIsocEndPoint::PacketCount(int32_t length) const {
    if (maxPacketSize == 0 || length <= 0) {
        return 0;
    }
    const int32_t size = maxPacketSize;
    return length / size + (length % size != 0 ? 1 : 0);
}

uint8_t *CCyIsocEndPoint::BeginTransfer(uint8_t *buffer, int32_t length, OVERLAPPED *ov) {
    if (driverHandle == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    return directTransfer == 1 ? BeginDirectTransfer(buffer, length, ov) : BeginBufferedTransfer(buffer, length, ov);
}

uint8_t *CCyIsocEndPoint::BeginDirectTransfer(uint8_t *buffer, int32_t length, OVERLAPPED *ov) {
    if (driverHandle == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    const int32_t packets = PacketCount(length);
    if (packets == 0) {
        return nullptr;
    }
    const uint64_t recordBytes = uint64_t{8} * static_cast<uint32_t>(packets);
    uint8_t *block = detail::AllocateRequestBlock(kTransferRequestSize + recordBytes, length);
    if (block == nullptr) {
        lastError = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    auto *head = reinterpret_cast<TransferRequest *>(block);
    head->endpointAddress = address;
    head->isoPacketOffset = kTransferRequestSize;
    head->isoPacketLength = static_cast<uint32_t>(recordBytes);
    head->bufferOffset = 0;
    head->bufferLength = 0;
    detail::IssueRequest(*this, ioctl::kDirectData, block, static_cast<uint32_t>(kTransferRequestSize + recordBytes),
                         buffer, static_cast<uint32_t>(length), ov, true);
    return block;
}

uint8_t *CCyIsocEndPoint::BeginBufferedTransfer(uint8_t *buffer, int32_t length, OVERLAPPED *ov) {
    if (driverHandle == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    const int32_t packets = PacketCount(length);
    if (packets == 0) {
        return nullptr;
    }
    const uint64_t recordBytes = uint64_t{8} * static_cast<uint32_t>(packets);
    const uint64_t dataOffset = kTransferRequestSize + recordBytes;
    const uint64_t size = dataOffset + static_cast<uint32_t>(length);
    uint8_t *block = detail::AllocateRequestBlock(size, length);
    if (block == nullptr) {
        lastError = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    auto *head = reinterpret_cast<TransferRequest *>(block);
    head->endpointAddress = address;
    head->isoPacketOffset = kTransferRequestSize;
    head->isoPacketLength = static_cast<uint32_t>(recordBytes);
    head->bufferOffset = static_cast<uint32_t>(dataOffset);
    head->bufferLength = static_cast<uint32_t>(length);
    if (buffer != nullptr) {
        std::memcpy(block + dataOffset, buffer, static_cast<size_t>(length));
    }
    detail::IssueRequest(*this, ioctl::kBufferedData, block, static_cast<uint32_t>(size), block,
                         static_cast<uint32_t>(size), ov, true);
    return block;
}

}  // namespace vek
