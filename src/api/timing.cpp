// Bit-plane timing and VekDevNewFrequencySet.
#include "api/timing.h"

#include <cmath>
#include <cstring>

#include "api/device_handle.h"
#include "api/registers.h"

namespace vek {

namespace {

constexpr uint32_t kMaxPlanes = 16;

// Integer part of a non-negative time word (count of the 48 MHz clock),
// taken modulo 2^32 as a 32-bit register holds it.
uint32_t RegisterWord(float v) { return static_cast<uint32_t>(static_cast<int64_t>(v)); }

}  // namespace

uint32_t LoadTimeUs(uint32_t boardType) { return boardType == 1 ? 43u : 30u; }

BitPlaneTiming ComputeBitPlaneTiming(uint32_t n, uint32_t T, uint32_t F, uint32_t k) {
    BitPlaneTiming out{};
    if (n < 1 || n > kMaxPlanes) {
        out.result = DEV_ERR_FAILED;
        return out;
    }
    float Td[16] = {};
    float planes[15] = {};
    float W[7] = {};

    const float levels = static_cast<float>(std::pow(2.0, static_cast<double>(n)) - 1.0);
    const float inv = 1.0f / levels;
    const float threshold = static_cast<float>(k + 13) * levels;
    const float A = static_cast<float>(T);

    const bool normal = A >= threshold && (F == 0 || F >= k + 13);
    if (normal) {
        Td[0] = A * inv;
        for (uint32_t i = 0; i + 1 < n; ++i) Td[i + 1] = Td[i] * 2;
        if (F != 0) {
            W[2] = static_cast<float>((static_cast<double>(F - k) + 0.64) * 48);
            W[1] = static_cast<float>((static_cast<double>(Td[0]) - 0.64 + k) * 48);
            W[0] = 0;
        } else {
            W[0] = Td[0] * 48;
            W[1] = W[2] = 0;
        }
        if (n >= 2) {
            for (uint32_t i = 0; i + 1 < n; ++i) planes[i] = Td[i + 1] * 48;
        }
    } else {
        const double period = static_cast<double>(T);
        if (!(period >= 13.64 * static_cast<double>(levels)) || !(static_cast<double>(threshold) >= period) ||
            !(static_cast<double>(F) >= 3.0 * static_cast<double>(k + 13))) {
            out.result = DEV_ERR_FAILED;
            return out;
        }
        Td[0] = A * inv;
        for (uint32_t i = 0; i + 1 < n; ++i) Td[i + 1] = Td[i] * 2;
        W[2] = static_cast<float>((static_cast<double>(F - 3 * k - 26) + 0.64) * 48);
        W[1] = static_cast<float>((static_cast<double>(Td[0]) - 0.64 + k) * 48);
        W[3] = static_cast<float>((static_cast<double>(Td[2]) - 0.64 + k) * 48);
        W[5] = static_cast<float>((static_cast<double>(Td[1]) - 0.64 + k) * 48);
        W[4] = W[6] = static_cast<float>(13.64 * 48);
        for (uint32_t i = 2; i + 1 < n; ++i) planes[i] = Td[i + 1] * 48;
        out.shortPeriod = true;
    }
    for (int i = 0; i < 15; ++i) out.planeWords[i] = RegisterWord(planes[i]);
    for (int i = 0; i < 7; ++i) out.timingWords[i] = RegisterWord(W[i]);
    out.result = DEV_OK;
    return out;
}

}  // namespace vek

using namespace vek;

extern "C" VEK_API uint32_t VEK_CALL VekDevNewFrequencySet(DeviceHandle *handle, uint32_t planeCount,
                                                           uint32_t framePeriod, uint32_t auxTime) {
    if (handle == nullptr) return DEV_ERR_NULL_ARGUMENT;
    const BitPlaneTiming t = ComputeBitPlaneTiming(planeCount, framePeriod, auxTime,
                                                   LoadTimeUs(g_boardType.load(std::memory_order_relaxed)));
    if (t.result != DEV_OK) return t.result;

    CCyDevice *device = handle->device;
    uint32_t word = 0;
    if (VekReadReg(device, reg::kControl, &word) != kTransportOk) return DEV_ERR_TRANSFER;
    word = t.shortPeriod ? (word | ctrl::kShortTiming) : (word & ~ctrl::kShortTiming);
    if (VekWriteReg(device, reg::kControl, &word) != kTransportOk) return DEV_ERR_TRANSFER;

    // The results of the timing writes are not reported.
    for (uint32_t i = 0; i < 15; ++i) {
        uint32_t v = t.planeWords[i];
        VekWriteReg(device, reg::kPlaneTimeFirst - i, &v);
    }
    for (uint32_t i = 0; i < 7; ++i) {
        uint32_t v = t.timingWords[i];
        VekWriteReg(device, reg::kTimingWordFirst + i, &v);
    }
    return DEV_OK;
}
