// CCyIsocEndPoint: an isochronous pipe. Every request carries one
// IsoPacketInfo record per packet after the block head.
#pragma once

#include "usb/endpoint/usb_endpoint.h"

namespace vek {

// The per-packet result the driver fills in: the packet's byte count and its
// USB-stack status word. The library carries the records without reading them.
#pragma pack(push, 1)
struct IsoPacketInfo {
    uint32_t length;
    uint32_t status;
};
#pragma pack(pop)
static_assert(sizeof(IsoPacketInfo) == 8);

class CCyIsocEndPoint : public CCyUSBEndPoint {
public:
    CCyIsocEndPoint();
    CCyIsocEndPoint(HANDLE handle, const uint8_t *descriptor);
    CCyIsocEndPoint(HANDLE handle, const uint8_t *descriptor, const uint8_t *companion);
    CCyIsocEndPoint(const CCyIsocEndPoint &other) = default;

    uint8_t *BeginDirectTransfer(uint8_t *buffer, int32_t length, OVERLAPPED *ov) override;
    uint8_t *BeginBufferedTransfer(uint8_t *buffer, int32_t length, OVERLAPPED *ov) override;
    uint8_t *BeginTransfer(uint8_t *buffer, int32_t length, OVERLAPPED *ov) override;

    // Packets of a transfer of `length` bytes: length / maxPacketSize, plus
    // one for a remainder; 0 when maxPacketSize is 0 or length is not positive.
    int32_t PacketCount(int32_t length) const;
};

}  // namespace vek
