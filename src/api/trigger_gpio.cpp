// The trigger extension and the GPIO lines (ungated).
#include <cstdio>

#include "api/device_handle.h"
#include "api/registers.h"

using namespace vek;

namespace {

constexpr char kTriggerBanner[] = "  \n\n\n\n Trigger extension setting :  \n \n ";

bool Write(CCyDevice *d, uint32_t address, uint32_t value) { return VekWriteReg(d, address, &value) == kTransportOk; }

}  // namespace

extern "C" VEK_API uint32_t VEK_CALL VekDevTriggerExtSet(DeviceHandle *handle, uint32_t reg34Value, uint8_t enable,
                                                         uint32_t reg36Value, uint32_t reg37Value) {
    if (handle == nullptr) return DEV_ERR_NULL_ARGUMENT;
    std::printf("%s", kTriggerBanner);
    std::fflush(stdout);
    CCyDevice *d = handle->device;

    // A look at the four registers first; what they hold is not used.
    uint32_t tempReg = 0;
    for (uint32_t a = reg::kTrigger34; a <= reg::kTrigger37; ++a) VekReadReg(d, a, &tempReg);

    if (!Write(d, reg::kTrigger34, reg34Value)) return DEV_ERR_TRANSFER;
    if (VekReadReg(d, reg::kTrigger35, &tempReg) != kTransportOk) return DEV_ERR_TRANSFER;
    tempReg = enable == 1 ? (tempReg | 1u) : (tempReg & ~1u);
    if (!Write(d, reg::kTrigger35, tempReg)) return DEV_ERR_TRANSFER;
    if (!Write(d, reg::kTrigger36, reg36Value)) return DEV_ERR_TRANSFER;
    if (!Write(d, reg::kTrigger37, reg37Value)) return DEV_ERR_TRANSFER;

    for (uint32_t a = reg::kTrigger34; a <= reg::kTrigger37; ++a) {
        tempReg = 0;
        if (VekReadReg(d, a, &tempReg) != kTransportOk) return DEV_ERR_TRANSFER;
    }
    return DEV_OK;
}

extern "C" VEK_API uint32_t VEK_CALL VekDevSetGPIO(DeviceHandle *handle, uint32_t *value) {
    if (handle == nullptr || value == nullptr) return kTransportFailed;
    return VekWriteReg(handle->device, reg::kGpioOut, value);
}

extern "C" VEK_API uint32_t VEK_CALL VekDevGetGPIO(DeviceHandle *handle, uint32_t *value) {
    if (handle == nullptr || value == nullptr) return kTransportFailed;
    return VekReadReg(handle->device, reg::kGpioIn, value);
}
