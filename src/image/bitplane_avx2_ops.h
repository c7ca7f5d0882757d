// The AVX2 operations of bitplane_transpose.h, shared by the AVX2 kernels
// with and without GFNI (internal linkage, as there).
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "image/bitplane_transpose.h"

namespace vek::image::kernels {
namespace {

// 256 pixels (32 groups) per step; the two 128-bit lanes work as two SSE2
// steps, lane 1 on the groups 16 further on.
struct Avx2 {
    using V = __m256i;
    static constexpr size_t kGroups = 32;
    static V UnpackLo8(V a, V b) { return _mm256_unpacklo_epi8(a, b); }
    static V UnpackHi8(V a, V b) { return _mm256_unpackhi_epi8(a, b); }
    static V And(V a, V b) { return _mm256_and_si256(a, b); }
    static V Xor(V a, V b) { return _mm256_xor_si256(a, b); }
    template <int s>
    static V ShiftRight16(V a) {
        return _mm256_srli_epi16(a, s);
    }
    template <int s>
    static V ShiftLeft16(V a) {
        return _mm256_slli_epi16(a, s);
    }
    static V Splat8(uint8_t x) { return _mm256_set1_epi8(static_cast<char>(x)); }
    static V Zero() { return _mm256_setzero_si256(); }
    // 32 consecutive bytes hold groups 4k .. 4k + 3: two group pairs, which
    // belong to lane 0 of register 2k, 2k + 1 (k < 4) or to their lane 1.
    static void LoadGroups(const uint8_t *p, V (&r)[8]) {
        VEK_UNROLL
        for (int k = 0; k < 4; ++k) {
            const V low = LoadPlane(p + 32 * k), high = LoadPlane(p + 128 + 32 * k);
            r[2 * k] = _mm256_permute2x128_si256(low, high, 0x20);
            r[2 * k + 1] = _mm256_permute2x128_si256(low, high, 0x31);
        }
    }
    static void StoreGroups(uint8_t *p, const V (&r)[8]) {
        VEK_UNROLL
        for (int k = 0; k < 4; ++k) {
            StorePlane(p + 32 * k, _mm256_permute2x128_si256(r[2 * k], r[2 * k + 1], 0x20));
            StorePlane(p + 128 + 32 * k, _mm256_permute2x128_si256(r[2 * k], r[2 * k + 1], 0x31));
        }
    }
    static V LoadPlane(const uint8_t *p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p)); }
    static void StorePlane(uint8_t *p, V v) { _mm256_storeu_si256(reinterpret_cast<__m256i *>(p), v); }
};

}  // namespace
}  // namespace vek::image::kernels
