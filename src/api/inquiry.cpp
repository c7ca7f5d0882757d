// VekDevInquire, VekDevRReg and VekDevRRegEcho: the gated reads.
#include "api/device_handle.h"
#include "api/registers.h"
#include "vek_registers.h"

namespace vek {

uint32_t BoardTypeFromRegister(uint32_t reg02) {
    switch (reg02 & 0xF0000000u) {
    case 0x00000000u:
        return 1;
    case 0x10000000u:
        return 2;
    case 0x30000000u:
        return 3;
    default:
        return 255;
    }
}

uint32_t FrameModeFromBoardType(uint32_t boardType) { return (boardType << 27) & 0xF0000000u; }

namespace {

// The inquiries answered: 0, 2 to 7, 17 and 23.
constexpr uint32_t kSupportedInquiries =
    1u << 0 | 1u << 2 | 1u << 3 | 1u << 4 | 1u << 5 | 1u << 6 | 1u << 7 | 1u << 17 | 1u << 23;

bool Supported(uint32_t inquiry) { return inquiry < 32 && (kSupportedInquiries >> inquiry & 1u) != 0; }
constexpr uint32_t kBlockSize = 0x1000;
constexpr uint32_t kLibraryVersion = 0x120315;

uint32_t ReadWhole(DeviceHandle *h, uint32_t address, uint32_t &out) {
    uint32_t word = 0;
    if (VekReadReg(h->device, address, &word) != kTransportOk) return DEV_ERR_TRANSFER;
    out = word;
    return DEV_OK;
}

uint32_t Inquire(DeviceHandle *h, uint32_t inquiry, uint32_t &out) {
    uint32_t word = 0;
    uint32_t rc = DEV_OK;
    switch (inquiry) {
    case 0:
        rc = ReadWhole(h, reg::kControl, word);
        out = (word & ctrl::kFrameBit) != 0 ? 1 : 0;
        return rc;
    case 2:
    case 3:
        out = kBlockSize;
        return DEV_OK;
    case 4:
    case 7:
        out = kLibraryVersion;
        return DEV_OK;
    case 5: {
        rc = ReadWhole(h, reg::kBoardType, word);
        if (rc != DEV_OK) return rc;
        const uint32_t type = BoardTypeFromRegister(word);
        g_boardType.store(type, std::memory_order_relaxed);
        h->frameMode = FrameModeFromBoardType(type);
        out = type;
        return DEV_OK;
    }
    case 6:
        return ReadWhole(h, reg::kBoard0, out);
    case 17:
        out = h->loadedBytes;
        return DEV_OK;
    case 23:
        return ReadWhole(h, reg::kControl, out);
    default:  // not Supported(): refused before this point
        return DEV_ERR_UNSUPPORTED;
    }
}

}  // namespace

}  // namespace vek

using namespace vek;

extern "C" VEK_API uint32_t VEK_CALL VekDevInquire(DeviceHandle *handle, uint32_t inquiry, uint32_t *result) {
    if (handle == nullptr) return DEV_ERR_NULL_ARGUMENT;
    GateGuard gate(handle);
    if (!gate.entered()) return DEV_ERR_BUSY;
    // An unsupported number is refused before the result pointer matters.
    if (!Supported(inquiry)) return DEV_ERR_UNSUPPORTED;
    if (result == nullptr) return DEV_ERR_NULL_ARGUMENT;
    uint32_t out = 0;
    const uint32_t rc = Inquire(handle, inquiry, out);
    if (rc == DEV_OK) *result = out;
    return rc;
}

extern "C" VEK_API uint32_t VEK_CALL VekDevRReg(DeviceHandle *handle, uint32_t address, uint32_t *value) {
    if (handle == nullptr) return DEV_ERR_NULL_ARGUMENT;
    GateGuard gate(handle);
    if (!gate.entered()) return DEV_ERR_BUSY;
    if (value == nullptr) return DEV_ERR_NULL_ARGUMENT;
    return VekReadReg(handle->device, address, value) == kTransportOk ? DEV_OK : DEV_ERR_TRANSFER;
}

extern "C" VEK_API uint32_t VEK_CALL VekDevRRegEcho(DeviceHandle *handle, uint32_t address, uint32_t *value,
                                                    uint32_t *echoedAddress) {
    if (handle == nullptr) return DEV_ERR_NULL_ARGUMENT;
    GateGuard gate(handle);
    if (!gate.entered()) return DEV_ERR_BUSY;
    if (value == nullptr || echoedAddress == nullptr) return DEV_ERR_NULL_ARGUMENT;
    return ReadRegister(handle->device, address, value, echoedAddress) == kTransportOk ? DEV_OK : DEV_ERR_TRANSFER;
}
