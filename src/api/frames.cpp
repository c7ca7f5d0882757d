// Frame transfer: loading frames into board memory and reading them back.
#include <algorithm>

#include "api/device_handle.h"
#include "api/registers.h"

namespace vek {

namespace {

constexpr uint32_t kPieceBytes = 0x100000;
constexpr uint32_t kFrameGoPauseMs = 100;

bool FrameModeAccepted(uint32_t mode) {
    return mode == kFrameMode1080p || mode == kFrameModeXga || mode == kFrameModeAlt;
}

template <typename MovePiece>
uint32_t FrameTransfer(DeviceHandle *h, uint32_t startAddress, uint32_t length, MovePiece move) {
    GateGuard gate(h);
    if (!gate.entered()) return DEV_ERR_BUSY;

    // Clears bit 1 of the control register; when that fails nothing moves
    // and the call still succeeds.
    uint32_t work = 0;
    if (RunCommand(h, 9, &work) != DEV_OK) return DEV_OK;
    if (!FrameModeAccepted(h->frameMode)) return DEV_ERR_FRAME_MODE;

    // The results of the register writes and of the pieces are not reported.
    uint32_t word = length / 16;
    VekWriteReg(h->device, reg::kFrameLength, &word);
    uint32_t tempStarAddr = startAddress / 16;
    VekWriteReg(h->device, reg::kFrameStart, &tempStarAddr);
    win32::Sleep(kFrameGoPauseMs);
    word = 1;
    VekWriteReg(h->device, reg::kFrameGo, &word);

    for (uint32_t offset = 0, remaining = length; remaining != 0;) {
        const uint32_t piece = std::min(remaining, kPieceBytes);
        move(offset, piece);
        offset += piece;
        remaining -= piece;
    }
    h->loadedBytes += length;
    return DEV_OK;
}

}  // namespace

}  // namespace vek

using namespace vek;

extern "C" VEK_API uint32_t VEK_CALL VekDevLoadFrame(DeviceHandle *handle, const uint8_t *data, uint32_t startAddress,
                                                     uint32_t length) {
    if (handle == nullptr || data == nullptr) return DEV_ERR_NULL_ARGUMENT;
    return FrameTransfer(handle, startAddress, length,
                         [&](uint32_t offset, uint32_t piece) { VekWriteData(handle->device, piece, data + offset); });
}

extern "C" VEK_API uint32_t VEK_CALL VekDevGetFrame(DeviceHandle *handle, uint8_t *data, uint32_t startAddress,
                                                    uint32_t length) {
    if (handle == nullptr || data == nullptr) return DEV_ERR_NULL_ARGUMENT;
    return FrameTransfer(handle, startAddress, length,
                         [&](uint32_t offset, uint32_t piece) { ReadBulkData(handle->device, piece, data + offset); });
}

extern "C" VEK_API uint32_t VEK_CALL VekDevBlockClear(DeviceHandle *, uint32_t, uint32_t) {
    return DEV_ERR_UNSUPPORTED;
}
