#include "usb/endpoint/isoc_endpoint.h"

#include <cstring>

#include "usb/endpoint/request_block.h"

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

namespace {

// The block both begin paths share: the head, then one packet record per
// packet, then `dataBytes` of data; `length` is the caller's. Null when nothing
// is to be issued (no device, no packets) or the block cannot be had.
uint8_t *BeginIsoBlock(CCyIsocEndPoint &endpoint, int32_t length, uint64_t dataBytes, uint64_t &recordBytes) {
    const int32_t packets = endpoint.PacketCount(length);
    if (endpoint.driverHandle == INVALID_HANDLE_VALUE || packets == 0) {
        return nullptr;
    }
    recordBytes = uint64_t{8} * static_cast<uint32_t>(packets);
    uint8_t *block = detail::AllocateRequestBlock(kTransferRequestSize + recordBytes + dataBytes, length);
    if (block == nullptr) {
        endpoint.lastError = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    auto *head = reinterpret_cast<TransferRequest *>(block);
    head->endpointAddress = endpoint.address;
    head->isoPacketOffset = kTransferRequestSize;
    head->isoPacketLength = static_cast<uint32_t>(recordBytes);
    return block;
}

}  // namespace

uint8_t *CCyIsocEndPoint::BeginDirectTransfer(uint8_t *buffer, int32_t length, OVERLAPPED *ov) {
    uint64_t recordBytes = 0;
    uint8_t *block = BeginIsoBlock(*this, length, 0, recordBytes);
    if (block == nullptr) {
        return nullptr;
    }
    // The data goes straight to or from the caller's buffer: no data area.
    detail::IssueRequest(*this, ioctl::kDirectData, block, static_cast<uint32_t>(kTransferRequestSize + recordBytes),
                         buffer, static_cast<uint32_t>(length), ov, true);
    return block;
}

uint8_t *CCyIsocEndPoint::BeginBufferedTransfer(uint8_t *buffer, int32_t length, OVERLAPPED *ov) {
    uint64_t recordBytes = 0;
    uint8_t *block = BeginIsoBlock(*this, length, length > 0 ? static_cast<uint32_t>(length) : 0, recordBytes);
    if (block == nullptr) {
        return nullptr;
    }
    const uint64_t dataOffset = kTransferRequestSize + recordBytes;
    const uint64_t size = dataOffset + static_cast<uint32_t>(length);
    auto *head = reinterpret_cast<TransferRequest *>(block);
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
