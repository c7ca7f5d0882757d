// SSE2 bit-plane kernels: 128 pixels (16 groups) per step, transposed as
// bitplane_transpose.h describes.
#include <emmintrin.h>

#include "image/bitplane_transpose.h"

namespace vek::image::kernels {

namespace {

struct Sse2 {
    using V = __m128i;
    static constexpr size_t kGroups = 16;
    static V UnpackLo8(V a, V b) { return _mm_unpacklo_epi8(a, b); }
    static V UnpackHi8(V a, V b) { return _mm_unpackhi_epi8(a, b); }
    static V And(V a, V b) { return _mm_and_si128(a, b); }
    static V Xor(V a, V b) { return _mm_xor_si128(a, b); }
    template <int s>
    static V ShiftRight16(V a) {
        return _mm_srli_epi16(a, s);
    }
    template <int s>
    static V ShiftLeft16(V a) {
        return _mm_slli_epi16(a, s);
    }
    static V Splat8(uint8_t x) { return _mm_set1_epi8(static_cast<char>(x)); }
    static V Zero() { return _mm_setzero_si128(); }
    static V LoadPlane(const uint8_t *p) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p)); }
    static void StorePlane(uint8_t *p, V v) { _mm_storeu_si128(reinterpret_cast<__m128i *>(p), v); }
    static void LoadGroups(const uint8_t *p, V (&r)[8]) {
        VEK_UNROLL
        for (int w = 0; w < 8; ++w) r[w] = LoadPlane(p + 16 * w);
    }
    static void StoreGroups(uint8_t *p, const V (&r)[8]) {
        VEK_UNROLL
        for (int w = 0; w < 8; ++w) StorePlane(p + 16 * w, r[w]);
    }
};

}  // namespace

void Sse2PixelsToBin(const uint8_t *pixels, uint8_t *const planes[8], size_t first, size_t last) {
    PixelsToBinSteps<Sse2>(pixels, planes, first, last);
}

void Sse2BinToPixels(const uint8_t *const planes[8], uint8_t *pixels, size_t first, size_t last) {
    BinToPixelsSteps<Sse2>(planes, pixels, first, last);
}

}  // namespace vek::image::kernels
