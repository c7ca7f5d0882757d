// AVX-512 (BW) bit-plane kernels: 64 pixels (8 groups) per step, one byte
// mask register per plane.
// GCC 12's AVX-512 headers fill unused result registers with a self-initialised
// placeholder and then warn about it once inlined; the warning is about the
// header, not this code.
#if defined(__GNUC__) && !defined(__clang__)
#  pragma GCC diagnostic ignored "-Wuninitialized"
#  pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>

#include <cstring>

#include "image/bitplane_kernels.h"

namespace vek::image::kernels {

namespace {

// vpshufb indexes (within each 16-byte lane) 7..0, 15..8: the bytes of each
// 8-byte group in reverse order.
inline __m512i ReverseWithinGroups() {
    constexpr long long low = 0x0001020304050607ll, high = 0x08090A0B0C0D0E0Fll;
    return _mm512_set_epi64(high, low, high, low, high, low, high, low);
}

}  // namespace

void Avx512BwPixelsToBin(const uint8_t *pixels, uint8_t *const planes[8], size_t first, size_t last) {
    // vpshufb works within 16-byte lanes: indexes 7..0, 15..8 in every lane.
    const __m512i reverse = ReverseWithinGroups();
    size_t i = first;
    for (; i + 8 <= last; i += 8) {
        __m512i x = _mm512_shuffle_epi8(_mm512_loadu_si512(pixels + 8 * i), reverse);
        for (int b = 7; b >= 0; --b) {
            if (planes[b] != nullptr) {
                const uint64_t m = _mm512_movepi8_mask(x);
                std::memcpy(planes[b] + i, &m, 8);
            }
            x = _mm512_add_epi8(x, x);
        }
    }
    ReferencePixelsToBin(pixels, planes, i, last);
}

void Avx512BwBinToPixels(const uint8_t *const planes[8], uint8_t *pixels, size_t first, size_t last) {
    const __m512i reverse = ReverseWithinGroups();
    size_t i = first;
    for (; i + 8 <= last; i += 8) {
        // Bit 8g + t of the 8 plane bytes goes to byte 8g + t, i.e. pixel 7 - t
        // of group g; the final shuffle puts the pixels in order.
        __m512i acc = _mm512_setzero_si512();
        for (int b = 7; b >= 0; --b) {
            if (planes[b] == nullptr) continue;
            uint64_t m;
            std::memcpy(&m, planes[b] + i, 8);
            acc = _mm512_mask_add_epi8(acc, m, acc, _mm512_set1_epi8(static_cast<char>(1u << b)));
        }
        _mm512_storeu_si512(pixels + 8 * i, _mm512_shuffle_epi8(acc, reverse));
    }
    ReferenceBinToPixels(planes, pixels, i, last);
}

}  // namespace vek::image::kernels
