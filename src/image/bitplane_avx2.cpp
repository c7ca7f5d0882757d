// AVX2 bit-plane kernels: 64 pixels (8 groups) per step.
#include <immintrin.h>

#include <cstring>

#include "image/bitplane_kernels.h"

namespace vek::image::kernels {

void Avx2PixelsToBin(const uint8_t *pixels, uint8_t *const planes[8], size_t first, size_t last) {
    // Reverse the bytes of each group so that a byte mask of the most
    // significant bits reads as plane bytes (pixel j at bit 7 - j).
    const __m256i reverse = _mm256_setr_epi8(7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8,  //
                                             7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8);
    size_t i = first;
    for (; i + 8 <= last; i += 8) {
        const uint8_t *p = pixels + 8 * i;
        __m256i x0 = _mm256_shuffle_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(p)), reverse);
        __m256i x1 = _mm256_shuffle_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + 32)), reverse);
        for (int b = 7; b >= 0; --b) {
            if (planes[b] != nullptr) {
                const uint64_t m = static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(x0))) |
                                   static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(x1))) << 32;
                std::memcpy(planes[b] + i, &m, 8);
            }
            x0 = _mm256_add_epi8(x0, x0);
            x1 = _mm256_add_epi8(x1, x1);
        }
    }
    ReferencePixelsToBin(pixels, planes, i, last);
}

void Avx2BinToPixels(const uint8_t *const planes[8], uint8_t *pixels, size_t first, size_t last) {
    // Byte j of each group tests bit 7 - j of its plane byte.
    const __m256i select = _mm256_set1_epi64x(static_cast<long long>(0x0102040810204080ull));
    // Spreads plane bytes 0..3 over the four groups (8 bytes each).
    const __m256i spread = _mm256_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1,  //
                                            2, 2, 2, 2, 2, 2, 2, 2, 3, 3, 3, 3, 3, 3, 3, 3);
    size_t i = first;
    for (; i + 4 <= last; i += 4) {
        __m256i acc = _mm256_setzero_si256();
        for (int b = 7; b >= 0; --b) {
            acc = _mm256_add_epi8(acc, acc);
            if (planes[b] == nullptr) continue;
            int32_t four;
            std::memcpy(&four, planes[b] + i, 4);
            const __m256i v = _mm256_shuffle_epi8(_mm256_set1_epi32(four), spread);
            acc = _mm256_sub_epi8(acc, _mm256_cmpeq_epi8(_mm256_and_si256(v, select), select));
        }
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(pixels + 8 * i), acc);
    }
    ReferenceBinToPixels(planes, pixels, i, last);
}

}  // namespace vek::image::kernels
