// SSE2 bit-plane kernels: 64 pixels (8 groups) per step.
#include <emmintrin.h>

#include <cstring>

#include "image/bitplane_kernels.h"

namespace vek::image::kernels {

namespace {

// Reverses the bytes of each 8-byte half, so that pixel j of a group sits in
// byte 7 - j and a byte mask of the most significant bits reads as plane bytes.
inline __m128i ReverseGroups(__m128i x) {
    x = _mm_shufflelo_epi16(x, _MM_SHUFFLE(0, 1, 2, 3));
    x = _mm_shufflehi_epi16(x, _MM_SHUFFLE(0, 1, 2, 3));
    return _mm_or_si128(_mm_slli_epi16(x, 8), _mm_srli_epi16(x, 8));
}

}  // namespace

void Sse2PixelsToBin(const uint8_t *pixels, uint8_t *const planes[8], size_t first, size_t last) {
    size_t i = first;
    for (; i + 8 <= last; i += 8) {
        const uint8_t *p = pixels + 8 * i;
        __m128i x0 = ReverseGroups(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)));
        __m128i x1 = ReverseGroups(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 16)));
        __m128i x2 = ReverseGroups(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 32)));
        __m128i x3 = ReverseGroups(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 48)));
        for (int b = 7; b >= 0; --b) {
            if (planes[b] != nullptr) {
                const uint64_t m = static_cast<uint64_t>(static_cast<uint16_t>(_mm_movemask_epi8(x0))) |
                                   static_cast<uint64_t>(static_cast<uint16_t>(_mm_movemask_epi8(x1))) << 16 |
                                   static_cast<uint64_t>(static_cast<uint16_t>(_mm_movemask_epi8(x2))) << 32 |
                                   static_cast<uint64_t>(static_cast<uint16_t>(_mm_movemask_epi8(x3))) << 48;
                std::memcpy(planes[b] + i, &m, 8);
            }
            x0 = _mm_add_epi8(x0, x0);
            x1 = _mm_add_epi8(x1, x1);
            x2 = _mm_add_epi8(x2, x2);
            x3 = _mm_add_epi8(x3, x3);
        }
    }
    ReferencePixelsToBin(pixels, planes, i, last);
}

void Sse2BinToPixels(const uint8_t *const planes[8], uint8_t *pixels, size_t first, size_t last) {
    // Byte j of each group tests bit 7 - j of its plane byte.
    const __m128i select = _mm_set1_epi64x(static_cast<long long>(0x0102040810204080ull));
    size_t i = first;
    for (; i + 2 <= last; i += 2) {
        __m128i acc = _mm_setzero_si128();
        for (int b = 7; b >= 0; --b) {
            acc = _mm_add_epi8(acc, acc);
            if (planes[b] == nullptr) continue;
            uint16_t two;
            std::memcpy(&two, planes[b] + i, 2);
            __m128i v = _mm_cvtsi32_si128(two);
            v = _mm_unpacklo_epi8(v, v);
            v = _mm_unpacklo_epi16(v, v);
            v = _mm_unpacklo_epi32(v, v);  // byte 0 in bytes 0..7, byte 1 in bytes 8..15
            const __m128i set = _mm_cmpeq_epi8(_mm_and_si128(v, select), select);
            acc = _mm_sub_epi8(acc, set);  // set is -1 where the bit is 1
        }
        _mm_storeu_si128(reinterpret_cast<__m128i *>(pixels + 8 * i), acc);
    }
    ReferenceBinToPixels(planes, pixels, i, last);
}

}  // namespace vek::image::kernels
