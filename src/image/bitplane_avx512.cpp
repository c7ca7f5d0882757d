// AVX-512 (BW) bit-plane kernels: 512 pixels (64 groups) per step, the four
// 128-bit lanes working as four SSE2 steps 16 groups apart, transposed as
// bitplane_transpose.h describes.
// GCC 12's AVX-512 headers fill unused result registers with a self-initialised
// placeholder and then warn about it once inlined; the warning is about the
// header, not this code.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>

#include "image/bitplane_transpose.h"

namespace vek::image::kernels {

namespace {

struct Avx512Bw {
    using V = __m512i;
    static constexpr size_t kGroups = 64;
    static V UnpackLo8(V a, V b) { return _mm512_unpacklo_epi8(a, b); }
    static V UnpackHi8(V a, V b) { return _mm512_unpackhi_epi8(a, b); }
    static V And(V a, V b) { return _mm512_and_si512(a, b); }
    static V Xor(V a, V b) { return _mm512_xor_si512(a, b); }
    template <int s>
    static V ShiftRight16(V a) {
        return _mm512_srli_epi16(a, s);
    }
    template <int s>
    static V ShiftLeft16(V a) {
        return _mm512_slli_epi16(a, s);
    }
    static V Splat8(uint8_t x) { return _mm512_set1_epi8(static_cast<char>(x)); }
    static V Zero() { return _mm512_setzero_si512(); }
    static __m128i Load128(const uint8_t *p) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p)); }
    // Register w, lane L: groups 16L + 2w, 16L + 2w + 1.
    static V LoadGroupPairs(const uint8_t *p) {
        V v = _mm512_castsi128_si512(Load128(p));
        v = _mm512_inserti32x4(v, Load128(p + 128), 1);
        v = _mm512_inserti32x4(v, Load128(p + 256), 2);
        return _mm512_inserti32x4(v, Load128(p + 384), 3);
    }
    static void LoadGroups(const uint8_t *p, V (&r)[8]) {
        VEK_UNROLL
        for (int w = 0; w < 8; ++w) r[w] = LoadGroupPairs(p + 16 * w);
    }
    static void StoreGroups(uint8_t *p, const V (&r)[8]) {
        VEK_UNROLL
        for (int w = 0; w < 8; ++w) {
            uint8_t *q = p + 16 * w;
            _mm_storeu_si128(reinterpret_cast<__m128i *>(q), _mm512_castsi512_si128(r[w]));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(q + 128), _mm512_extracti32x4_epi32(r[w], 1));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(q + 256), _mm512_extracti32x4_epi32(r[w], 2));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(q + 384), _mm512_extracti32x4_epi32(r[w], 3));
        }
    }
    static V LoadPlane(const uint8_t *p) { return _mm512_loadu_si512(p); }
    static void StorePlane(uint8_t *p, V v) { _mm512_storeu_si512(p, v); }
};

}  // namespace

void Avx512BwPixelsToBin(const uint8_t *pixels, uint8_t *const planes[8], size_t first, size_t last) {
    PixelsToBinSteps<Avx512Bw>(pixels, planes, first, last);
}

void Avx512BwBinToPixels(const uint8_t *const planes[8], uint8_t *pixels, size_t first, size_t last) {
    BinToPixelsSteps<Avx512Bw>(planes, pixels, first, last);
}

}  // namespace vek::image::kernels
