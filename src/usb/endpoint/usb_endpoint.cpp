#include "usb/endpoint/usb_endpoint.h"

#include <algorithm>
#include <cstring>

#include "platform/clock.h"
#include "platform/device_registry.h"
#include "usb/endpoint/request_block.h"

namespace vek {

namespace {

// The longest wait on a request's event before its own completion state is
// read again: how late a request whose signal another thread took is seen
// to have ended.
constexpr DWORD kOwnStateSliceMs = 1;

// After an abort, how long the request gets to end before a second abort.
constexpr uint32_t kAbortGraceMs = 50;

TransferRequest *Head(uint8_t *block) { return reinterpret_cast<TransferRequest *>(block); }

}  // namespace

namespace detail {

uint32_t IssueRequest(CCyUSBEndPoint &endpoint, uint32_t code, uint8_t *block, uint32_t inLength, void *out,
                      uint32_t outLength, OVERLAPPED *ov, bool copyStatus) {
    BlockRecord *record = RecordOf(block);
    const TransferRequest *head = Head(block);
    record->bufferOffset = head->bufferOffset;
    record->bufferLength = head->bufferLength;
    record->isoPacketOffset = head->isoPacketOffset;
    record->isoPacketLength = head->isoPacketLength;

    DWORD returned = 0;
    const BOOL ok = win32::DeviceIoControl(endpoint.driverHandle, code, block, inLength, out, outLength, &returned, ov);
    if (ok) {
        // Windows leaves the thread's error as it was after a success; make it
        // say "complete" so that the waits read it as such.
        win32::SetLastError(ERROR_SUCCESS);
    }
    const DWORD error = win32::GetLastError();
    record->issueError = error;
    record->issueBytes = returned;
    // A pending request's status words belong to its completion, which may
    // write them on another thread now; they are read when it has ended.
    if (copyStatus && error != ERROR_IO_PENDING) {
        endpoint.usbdStatus = head->usbdStatus;
        endpoint.ntStatus = head->ntStatus;
    }
    endpoint.lastError = error;
    return error;
}

}  // namespace detail

CCyUSBEndPoint::CCyUSBEndPoint()
    : driverHandle(INVALID_HANDLE_VALUE),
      descLength(0),
      descType(0),
      address(0),
      attributes(0),
      maxPacketSize(0),
      packetsPerMicroframe(0),
      interval(0),
      companionLength(0),
      companionType(0),
      maxBurst(0),
      companionAttributes(0),
      bytesPerInterval(0),
      timeoutMs(10000),
      usbdStatus(0),
      ntStatus(0),
      bytesTransferred(0),
      lastError(0),
      isIn(false),
      directTransfer(1) {}

CCyUSBEndPoint::CCyUSBEndPoint(HANDLE handle, const uint8_t *descriptor) : CCyUSBEndPoint() {
    driverHandle = handle;
    if (descriptor != nullptr) {
        const uint16_t wMaxPacketSize = static_cast<uint16_t>(descriptor[4] | (descriptor[5] << 8));
        packetsPerMicroframe = static_cast<uint16_t>(((wMaxPacketSize & 0x1800u) >> 11) + 1);
        descLength = descriptor[0];
        descType = descriptor[1];
        address = descriptor[2];
        attributes = descriptor[3];
        maxPacketSize = static_cast<uint16_t>((wMaxPacketSize & 0x07FFu) * packetsPerMicroframe);
        interval = descriptor[6];
        isIn = (address & 0x80u) != 0;
    }
}

CCyUSBEndPoint::CCyUSBEndPoint(HANDLE handle, const uint8_t *descriptor, const uint8_t *companion)
    : CCyUSBEndPoint(handle, descriptor) {
    if (companion != nullptr) {
        companionLength = companion[0];
        companionType = companion[1];
        maxBurst = companion[2];
        companionAttributes = companion[3];
        maxPacketSize = static_cast<uint16_t>(maxPacketSize * (maxBurst + 1u));
        if ((attributes & 3u) == 1u) {
            maxPacketSize = static_cast<uint16_t>(maxPacketSize * ((companionAttributes & 3u) + 1u));
        }
        bytesPerInterval = static_cast<uint16_t>(companion[4] | (companion[5] << 8));
    }
}

CCyUSBEndPoint::CCyUSBEndPoint(const CCyUSBEndPoint &other)
    : driverHandle(other.driverHandle),
      descLength(other.descLength),
      descType(other.descType),
      address(other.address),
      attributes(other.attributes),
      maxPacketSize(other.maxPacketSize),
      packetsPerMicroframe(other.packetsPerMicroframe),
      interval(other.interval),
      companionLength(other.companionLength),
      companionType(other.companionType),
      maxBurst(other.maxBurst),
      companionAttributes(other.companionAttributes),
      bytesPerInterval(other.bytesPerInterval),
      timeoutMs(other.timeoutMs),
      usbdStatus(0),
      ntStatus(0),
      bytesTransferred(0),
      lastError(0),
      isIn(other.isIn),
      directTransfer(other.directTransfer) {}

CCyUSBEndPoint::~CCyUSBEndPoint() { detail::FreeRequestBlock(spareBlock_.exchange(nullptr)); }

uint8_t *CCyUSBEndPoint::AllocateBlock(uint64_t size, int32_t userLength) {
    if (size > kSpareBlockBytes || userLength < 0) {
        return detail::AllocateRequestBlock(size, userLength);
    }
    if (uint8_t *spare = spareBlock_.exchange(nullptr, std::memory_order_acquire)) {
        return detail::ReuseRequestBlock(spare, size, userLength);
    }
    return detail::AllocateRequestBlock(size, userLength, kSpareBlockBytes);
}

void CCyUSBEndPoint::FreeBlock(uint8_t *block) {
    if (block != nullptr && detail::RequestBlockCapacity(block) == kSpareBlockBytes) {
        uint8_t *none = nullptr;
        if (spareBlock_.compare_exchange_strong(none, block, std::memory_order_release)) {
            return;
        }
    }
    detail::FreeRequestBlock(block);
}

uint8_t *CCyUSBEndPoint::BeginDirectTransfer(uint8_t *buffer, int32_t length, OVERLAPPED *ov) {
    if (driverHandle == INVALID_HANDLE_VALUE || length < 0) {
        return nullptr;
    }
    uint8_t *block = AllocateBlock(kTransferRequestSize, length);
    if (block == nullptr) {
        lastError = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    Head(block)->endpointAddress = address;
    detail::IssueRequest(*this, ioctl::kDirectData, block, kTransferRequestSize, buffer, static_cast<uint32_t>(length),
                         ov, true);
    return block;
}

uint8_t *CCyUSBEndPoint::BeginBufferedTransfer(uint8_t *buffer, int32_t length, OVERLAPPED *ov) {
    if (driverHandle == INVALID_HANDLE_VALUE || length < 0) {
        return nullptr;
    }
    const uint64_t size = uint64_t{kTransferRequestSize} + static_cast<uint32_t>(length);
    uint8_t *block = AllocateBlock(size, length);
    if (block == nullptr) {
        lastError = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    TransferRequest *head = Head(block);
    head->endpointAddress = address;
    head->isoPacketLength = 0;
    head->bufferOffset = kTransferRequestSize;
    head->bufferLength = static_cast<uint32_t>(length);
    if (buffer != nullptr && length > 0) {
        std::memcpy(block + kTransferRequestSize, buffer, static_cast<size_t>(length));
    }
    detail::IssueRequest(*this, ioctl::kBufferedData, block, static_cast<uint32_t>(size), block,
                         static_cast<uint32_t>(size), ov, true);
    return block;
}

bool CCyUSBEndPoint::FinishTransfer(uint8_t *buffer, int32_t &length, OVERLAPPED *ov, uint8_t *requestBlock,
                                    uint8_t *packets) {
    if (requestBlock == nullptr) {
        length = 0;
        return false;
    }
    const detail::BlockRecord *record = detail::RecordOf(requestBlock);

    DWORD bytes = 0;
    BOOL ok = FALSE;
    if (ov == nullptr) {
        // Issued without an overlapped record: the call itself completed it.
        ok = record->issueError == ERROR_SUCCESS ? TRUE : FALSE;
        bytes = record->issueBytes;
    } else {
        ok = win32::GetOverlappedResult(driverHandle, ov, &bytes, FALSE);
        if (!ok && win32::GetLastError() == ERROR_IO_INCOMPLETE && record->issueError == ERROR_IO_PENDING) {
            // Still in progress (a caller's wait expired): end it before the
            // block goes, as the driver may write it until then.
            if (!EndRequest(ov)) {
                // No way to learn when the request ends: the block is left to
                // the driver rather than freed under it.
                length = 0;
                bytesTransferred = 0;
                return false;
            }
            bytes = 0;
            ok = win32::GetOverlappedResult(driverHandle, ov, &bytes, FALSE);
        }
    }

    // Lengths from the record, as sent: the reported length never exceeds the
    // caller's buffer and no copy reaches past the block.
    uint32_t reported = 0;
    if (bytes > record->bufferOffset) {
        reported = bytes - record->bufferOffset;
    }
    reported = (std::min)(reported, static_cast<uint32_t>(record->userLength));
    length = static_cast<int32_t>(reported);
    bytesTransferred = length;

    const TransferRequest *head = Head(requestBlock);
    usbdStatus = head->usbdStatus;
    ntStatus = head->ntStatus;

    // Data travelled inside the block (buffered and control requests): an IN
    // transfer copies what arrived, and only that, back to the caller.
    if (isIn && record->bufferOffset != 0 && reported > 0 && buffer != nullptr) {
        std::memcpy(buffer, requestBlock + record->bufferOffset, reported);
    }
    if (packets != nullptr && reported > 0 && record->isoPacketLength > 0) {
        std::memset(packets, 0, record->isoPacketLength);
        std::memcpy(packets, requestBlock + record->isoPacketOffset, record->isoPacketLength);
    }

    FreeBlock(requestBlock);
    return ok && usbdStatus == 0 && ntStatus == 0;
}

bool CCyUSBEndPoint::WaitForTransfer(OVERLAPPED *ov, uint32_t waitMs) {
    if (lastError == ERROR_SUCCESS) {
        return true;
    }
    if (lastError != ERROR_IO_PENDING || ov == nullptr) {
        return false;
    }
    return AwaitRequest(ov, waitMs, OnExpiry::Leave);
}

bool CCyUSBEndPoint::WaitForCompletion(OVERLAPPED *ov) {
    lastError = win32::GetLastError();
    if (lastError == ERROR_SUCCESS) {
        return true;
    }
    if (lastError != ERROR_IO_PENDING || ov == nullptr) {
        return false;
    }
    return AwaitRequest(ov, timeoutMs, OnExpiry::End);
}

namespace {

// The completion query without waiting: false while the request runs.
bool Ended(HANDLE driverHandle, OVERLAPPED *ov) {
    DWORD bytes = 0;
    return win32::GetOverlappedResult(driverHandle, ov, &bytes, FALSE) || win32::GetLastError() != ERROR_IO_INCOMPLETE;
}

enum class Waited { Ended, Expired, Failed };

Waited WaitOwnCompletion(HANDLE driverHandle, OVERLAPPED *ov, uint32_t waitMs) {
    const platform::DeviceTimeScope time(driverHandle);
    const uint64_t start = platform::ClockMs();
    bool waitedOnce = false;  // a wait of 0 still gives the driver one look
    for (;;) {
        if (Ended(driverHandle, ov)) {
            return Waited::Ended;
        }
        DWORD slice = kOwnStateSliceMs;
        if (waitMs != INFINITE) {
            const uint64_t spent = platform::ClockMs() - start;
            if (spent >= waitMs && waitedOnce) {
                return Waited::Expired;
            }
            slice = static_cast<DWORD>((std::min)(uint64_t{slice}, spent < waitMs ? waitMs - spent : 0));
        }
        waitedOnce = true;
        if (win32::WaitForSingleObject(ov->hEvent, slice) == WAIT_FAILED) {
            if (waitMs != INFINITE) {
                return Ended(driverHandle, ov) ? Waited::Ended : Waited::Failed;
            }
            // No event to wait on: the completion query waits for the record.
            DWORD bytes = 0;
            win32::GetOverlappedResult(driverHandle, ov, &bytes, TRUE);
            return Ended(driverHandle, ov) ? Waited::Ended : Waited::Failed;
        }
    }
}

}  // namespace

bool CCyUSBEndPoint::AwaitRequest(OVERLAPPED *ov, uint32_t waitMs, OnExpiry onExpiry) {
    const Waited waited = WaitOwnCompletion(driverHandle, ov, waitMs);
    if (waited == Waited::Expired && onExpiry == OnExpiry::End) {
        EndRequest(ov);
    }
    // A wait that failed leaves the request to FinishTransfer, which ends it
    // before freeing its block.
    return waited == Waited::Ended;
}

bool CCyUSBEndPoint::EndRequest(OVERLAPPED *ov) {
    AbortPipe();
    if (WaitOwnCompletion(driverHandle, ov, kAbortGraceMs) == Waited::Ended) {
        return true;
    }
    AbortPipe();
    return WaitOwnCompletion(driverHandle, ov, INFINITE) == Waited::Ended;
}

bool CCyUSBEndPoint::SyncTransfer(uint8_t *buffer, int32_t &length, uint8_t *packets) {
    OVERLAPPED ovLapStatus;
    std::memset(&ovLapStatus, 0, sizeof ovLapStatus);
    ovLapStatus.hEvent = win32::CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (ovLapStatus.hEvent == nullptr) {
        // Without an event no request can be waited for: none is issued.
        lastError = win32::GetLastError();
        length = 0;
        return false;
    }
    uint8_t *block = BeginTransfer(buffer, length, &ovLapStatus);
    // Nothing issued: nothing to wait for (the thread's error would be stale).
    const bool waited = block != nullptr && WaitForCompletion(&ovLapStatus);
    const bool finished = FinishTransfer(buffer, length, &ovLapStatus, block, packets);
    win32::CloseHandle(ovLapStatus.hEvent);
    return waited && finished;
}

bool CCyUSBEndPoint::ResetPipe() {
    uint8_t pipe = address;
    DWORD returned = 0;
    const BOOL ok = win32::DeviceIoControl(driverHandle, ioctl::kResetPipe, &pipe, 1, nullptr, 0, &returned, nullptr);
    if (!ok) {
        lastError = win32::GetLastError();
    }
    return ok != FALSE;
}

bool CCyUSBEndPoint::AbortPipe() {
    uint8_t pipe = address;
    DWORD returned = 0;
    OVERLAPPED ov;
    std::memset(&ov, 0, sizeof ov);
    ov.hEvent = win32::CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (ov.hEvent == nullptr) {
        // No event: the abort is issued as the pipe reset is, and the call
        // itself returns when the driver has taken it.
        win32::DeviceIoControl(driverHandle, ioctl::kAbortPipe, &pipe, 1, nullptr, 0, &returned, nullptr);
        return true;
    }
    const BOOL ok = win32::DeviceIoControl(driverHandle, ioctl::kAbortPipe, &pipe, 1, nullptr, 0, &returned, &ov);
    if (!ok && win32::GetLastError() == ERROR_IO_PENDING) {
        win32::WaitForSingleObject(ov.hEvent, INFINITE);
    }
    win32::CloseHandle(ov.hEvent);
    return true;
}

}  // namespace vek
