// NEON bit-plane kernels (64-bit Arm): 16 pixels (2 groups) per step.
#include <arm_neon.h>

#include <cstring>

#include "image/bitplane_kernels.h"

namespace vek::image::kernels {

namespace {

// Byte j of each group weighs bit 7 - j.
inline uint8x16_t Weights() {
    static const uint8_t w[16] = {0x80, 0x40, 0x20, 0x10, 8, 4, 2, 1, 0x80, 0x40, 0x20, 0x10, 8, 4, 2, 1};
    return vld1q_u8(w);
}

inline uint8x16_t PlaneBits(uint8x16_t x, int b, uint8x16_t weights) {
    return vandq_u8(vtstq_u8(x, vdupq_n_u8(static_cast<uint8_t>(1u << b))), weights);
}

}  // namespace

void NeonPixelsToBin(const uint8_t *pixels, uint8_t *const planes[8], size_t first, size_t last) {
    const uint8x16_t weights = Weights();
    size_t i = first;
    for (; i + 2 <= last; i += 2) {
        const uint8x16_t x = vld1q_u8(pixels + 8 * i);
        // Three rounds of pairwise sums add up the weighted bits of each group:
        // byte 2k + g of r is the plane of bit 7 - k for group g.
        const uint8x16_t p76 = vpaddq_u8(PlaneBits(x, 7, weights), PlaneBits(x, 6, weights));
        const uint8x16_t p54 = vpaddq_u8(PlaneBits(x, 5, weights), PlaneBits(x, 4, weights));
        const uint8x16_t p32 = vpaddq_u8(PlaneBits(x, 3, weights), PlaneBits(x, 2, weights));
        const uint8x16_t p10 = vpaddq_u8(PlaneBits(x, 1, weights), PlaneBits(x, 0, weights));
        const uint8x16_t r = vpaddq_u8(vpaddq_u8(p76, p54), vpaddq_u8(p32, p10));
        uint8_t bytes[16];
        vst1q_u8(bytes, r);
        for (int k = 0; k < 8; ++k) {
            if (planes[7 - k] != nullptr) std::memcpy(planes[7 - k] + i, bytes + 2 * k, 2);
        }
    }
    ReferencePixelsToBin(pixels, planes, i, last);
}

void NeonBinToPixels(const uint8_t *const planes[8], uint8_t *pixels, size_t first, size_t last) {
    const uint8x16_t weights = Weights();
    size_t i = first;
    for (; i + 2 <= last; i += 2) {
        uint8x16_t acc = vdupq_n_u8(0);
        for (int b = 7; b >= 0; --b) {
            acc = vaddq_u8(acc, acc);
            if (planes[b] == nullptr) continue;
            const uint8x16_t v = vcombine_u8(vdup_n_u8(planes[b][i]), vdup_n_u8(planes[b][i + 1]));
            acc = vsubq_u8(acc, vtstq_u8(v, weights));  // the test gives 0xFF (-1) where the bit is 1
        }
        vst1q_u8(pixels + 8 * i, acc);
    }
    ReferenceBinToPixels(planes, pixels, i, last);
}

}  // namespace vek::image::kernels
