// CCyUSBEndPoint: one pipe of the open USB device. Every transfer becomes one
// request to the USB driver (usb/driver_interface.h), issued overlapped, in
// three steps: a begin step that builds and issues the request block, a wait,
// and FinishTransfer, which collects the outcome and frees the block.
//
// Written against platform/win32.h only, so it builds unchanged against the
// real Windows API.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/win32.h"
#include "usb/driver_interface.h"

namespace vek {

class CCyUSBEndPoint {
public:
    HANDLE driverHandle;  // borrowed from the device object; never closed here
    uint8_t descLength;
    uint8_t descType;
    uint8_t address;     // bit 7 set = IN
    uint8_t attributes;  // bits 0-1: 0 control, 1 isochronous, 2 bulk, 3 interrupt
    uint16_t maxPacketSize;
    uint16_t packetsPerMicroframe;
    uint8_t interval;
    uint8_t companionLength;
    uint8_t companionType;
    uint8_t maxBurst;
    uint8_t companionAttributes;
    uint16_t bytesPerInterval;
    uint32_t timeoutMs;
    uint32_t usbdStatus;
    uint32_t ntStatus;
    int32_t bytesTransferred;
    uint32_t lastError;
    bool isIn;
    uint32_t directTransfer;  // 1: direct path; anything else: buffered path

    CCyUSBEndPoint();
    // `descriptor` (7 bytes, or none) is an endpoint descriptor; `companion`
    // (6 bytes, or none) its SuperSpeed endpoint companion.
    CCyUSBEndPoint(HANDLE handle, const uint8_t *descriptor);
    CCyUSBEndPoint(HANDLE handle, const uint8_t *descriptor, const uint8_t *companion);
    // Keeps the handle, descriptor and companion fields, timeoutMs, isIn and
    // directTransfer; the outcome of the last request starts cleared.
    CCyUSBEndPoint(const CCyUSBEndPoint &other);
    CCyUSBEndPoint &operator=(const CCyUSBEndPoint &) = delete;
    // Slot 0: the data goes straight to or from `buffer` (request 0x22004B).
    virtual uint8_t *BeginDirectTransfer(uint8_t *buffer, int32_t length, OVERLAPPED *ov);
    // Slot 1: the data travels inside the request block (request 0x220024).
    virtual uint8_t *BeginBufferedTransfer(uint8_t *buffer, int32_t length, OVERLAPPED *ov);
    // Slot 2: builds and issues the request; returns its block, or none when
    // nothing was issued. The block must be handed to FinishTransfer, which
    // alone frees it.
    virtual uint8_t *BeginTransfer(uint8_t *buffer, int32_t length, OVERLAPPED *ov) = 0;
    // Slot 3: collects the outcome of the transfer begun with `requestBlock`
    // and frees the block. A request still in progress is ended first (pipe
    // abort, then a wait without limit).
    virtual bool FinishTransfer(uint8_t *buffer, int32_t &length, OVERLAPPED *ov, uint8_t *requestBlock,
                                uint8_t *packets = nullptr);
    // Endpoints own nothing but their spare request block; the destructor is
    // virtual so that the interface objects can delete them through this
    // base. Declared after the four transfer operations, which keep the first
    // four slots.
    virtual ~CCyUSBEndPoint();

    // Waits up to `timeoutMs` for the request just begun; aborts nothing.
    bool WaitForTransfer(OVERLAPPED *ov, uint32_t timeoutMs);
    // Waits up to the endpoint's timeoutMs; on expiry aborts the pipe and
    // waits until the request has ended, then returns false.
    bool WaitForCompletion(OVERLAPPED *ov);

    enum class OnExpiry { Leave, End };
    // The one wait for a request of this endpoint, begun with `ov`: true as
    // soon as that request has completed, false when `waitMs` (INFINITE: no
    // limit) passes first or its event cannot be waited on. Between slices of
    // the wait on the event it reads the request's own completion state: the
    // event may be shared by name with other threads' requests, which take or
    // clear its signal. With OnExpiry::End an expired request is ended
    // (EndRequest) before the wait returns.
    bool AwaitRequest(OVERLAPPED *ov, uint32_t waitMs, OnExpiry onExpiry);
    // Ends a request that is still pending: pipe abort, a wait of 50 ms, a
    // second abort, then a wait without limit. True once the driver is done
    // with the request's buffers.
    bool EndRequest(OVERLAPPED *ov);
    // The blocking transfer: begin, WaitForCompletion, FinishTransfer.
    bool SyncTransfer(uint8_t *buffer, int32_t &length, uint8_t *packets = nullptr);
    bool ResetPipe();
    bool AbortPipe();  // always true

protected:
    // A request block of `size` bytes for a transfer of this endpoint (see
    // detail::AllocateRequestBlock). A small one comes from the endpoint's
    // spare when that is free, so that register packets allocate nothing
    // per transfer; FreeBlock puts it back.
    uint8_t *AllocateBlock(uint64_t size, int32_t userLength);
    void FreeBlock(uint8_t *block);

private:
    // Room of the spare block: the request head and a register packet or
    // a small control request.
    static constexpr uint32_t kSpareBlockBytes = 64;
    std::atomic<uint8_t *> spareBlock_{nullptr};
};

namespace detail {
// Issues `code` for a filled block (input: its first `inLength` bytes; output
// `out`, `outLength`), notes the head as sent and the issue outcome in the
// block's record, and records the endpoint's lastError (and, when
// `copyStatus`, its two status words). Returns the issue error (0, 997, other).
uint32_t IssueRequest(CCyUSBEndPoint &endpoint, uint32_t code, uint8_t *block, uint32_t inLength, void *out,
                      uint32_t outLength, OVERLAPPED *ov, bool copyStatus);
}  // namespace detail

}  // namespace vek
