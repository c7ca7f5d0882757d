// AVX-512 bit-plane kernels with GFNI and VBMI: 256 pixels (32 groups) per
// step, 32-byte loads and stores on every plane.
//
// gf2p8affineqb(x, A) sets bit k of byte i to the parity of (byte 7 - k of the
// qword A) AND (byte i of x). With A = the 8 pixels of a group and byte i of x
// = 1 << (7 - i), byte i of the result is the plane of bit 7 - i with pixel j
// at bit 7 - j: an 8 x 8 bit transpose per qword. The same operation turns the
// 8 plane bytes of a group (plane 7 - i in byte i) back into its 8 pixels.
// Between "8 plane bytes per group" (4 registers of 8 groups) and "32
// consecutive groups per plane" (4 registers of 2 planes) lie two rounds of
// two-source byte permutes (vpermt2b), 8 permutes per 256 pixels.
// GCC 12's AVX-512 headers fill unused result registers with a self-initialised
// placeholder and then warn about it once inlined; the warning is about the
// header, not this code.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>

#include "image/bitplane_kernels.h"

namespace vek::image::kernels {

namespace {

// One round of permutes: two registers in, two out. fwd[o][p] is the byte
// (0..63 of the first input, 64..127 of the second) that lands at byte p of
// output o; inv undoes it.
struct PermuteRound {
    alignas(64) uint8_t fwd[2][64];
    alignas(64) uint8_t inv[2][64];

    template <typename Source>
    explicit PermuteRound(Source source) {
        for (int o = 0; o < 2; ++o) {
            for (int p = 0; p < 64; ++p) {
                const int s = source(o, p);
                fwd[o][p] = static_cast<uint8_t>(s);
                inv[s / 64][s % 64] = static_cast<uint8_t>(64 * o + p);
            }
        }
    }
};

// Round 1: two registers of 8 groups (byte 8q + i: group q, plane 7 - i) to
// two registers of 16 groups x 4 planes (byte 16 ii + g: group g, plane
// 7 - (4o + ii)).
const PermuteRound &Round1() {
    static const PermuteRound round([](int o, int p) {
        const int ii = p / 16, g = p % 16;
        return (g < 8 ? 0 : 64) + 8 * (g % 8) + 4 * o + ii;
    });
    return round;
}

// Round 2: two registers of 16 groups x 4 planes (groups 0..15 and 16..31) to
// two registers of 32 groups x 2 planes (byte 32 h + G: group G, local plane
// 2o + h).
const PermuteRound &Round2() {
    static const PermuteRound round([](int o, int p) {
        const int h = p / 32, g = p % 32;
        return (g < 16 ? 0 : 64) + 16 * (2 * o + h) + g % 16;
    });
    return round;
}

inline __m512i Load(const uint8_t table[64]) { return _mm512_load_si512(table); }

inline __m512i Selector() { return _mm512_set1_epi64(0x0102040810204080ll); }

inline void StorePlane(uint8_t *plane, size_t at, __m256i bytes) {
    if (plane != nullptr) _mm256_storeu_si256(reinterpret_cast<__m256i *>(plane + at), bytes);
}

inline __m256i LoadPlane(const uint8_t *plane, size_t at) {
    return plane != nullptr ? _mm256_loadu_si256(reinterpret_cast<const __m256i *>(plane + at))
                            : _mm256_setzero_si256();
}

}  // namespace

void Avx512GfniPixelsToBin(const uint8_t *pixels, uint8_t *const planes[8], size_t first, size_t last) {
    const __m512i select = Selector();
    const __m512i r1a = Load(Round1().fwd[0]), r1b = Load(Round1().fwd[1]);
    const __m512i r2a = Load(Round2().fwd[0]), r2b = Load(Round2().fwd[1]);
    // Local copies: stores through byte pointers could otherwise alias the
    // caller's pointer array and force a reload after every store.
    uint8_t *out[8];
    for (int b = 0; b < 8; ++b) out[b] = planes[b];
    size_t i = first;
    for (; i + 32 <= last; i += 32) {
        const uint8_t *p = pixels + 8 * i;
        const __m512i a = _mm512_gf2p8affine_epi64_epi8(select, _mm512_loadu_si512(p), 0);
        const __m512i b = _mm512_gf2p8affine_epi64_epi8(select, _mm512_loadu_si512(p + 64), 0);
        const __m512i c = _mm512_gf2p8affine_epi64_epi8(select, _mm512_loadu_si512(p + 128), 0);
        const __m512i d = _mm512_gf2p8affine_epi64_epi8(select, _mm512_loadu_si512(p + 192), 0);
        const __m512i x1 = _mm512_permutex2var_epi8(a, r1a, b);  // groups 0..15, planes 7..4
        const __m512i x2 = _mm512_permutex2var_epi8(a, r1b, b);  // groups 0..15, planes 3..0
        const __m512i y1 = _mm512_permutex2var_epi8(c, r1a, d);  // groups 16..31, planes 7..4
        const __m512i y2 = _mm512_permutex2var_epi8(c, r1b, d);  // groups 16..31, planes 3..0
        // Each result holds two planes of the 32 groups, the higher one first.
        const __m512i z76 = _mm512_permutex2var_epi8(x1, r2a, y1);
        const __m512i z54 = _mm512_permutex2var_epi8(x1, r2b, y1);
        const __m512i z32 = _mm512_permutex2var_epi8(x2, r2a, y2);
        const __m512i z10 = _mm512_permutex2var_epi8(x2, r2b, y2);
        StorePlane(out[7], i, _mm512_castsi512_si256(z76));
        StorePlane(out[6], i, _mm512_extracti64x4_epi64(z76, 1));
        StorePlane(out[5], i, _mm512_castsi512_si256(z54));
        StorePlane(out[4], i, _mm512_extracti64x4_epi64(z54, 1));
        StorePlane(out[3], i, _mm512_castsi512_si256(z32));
        StorePlane(out[2], i, _mm512_extracti64x4_epi64(z32, 1));
        StorePlane(out[1], i, _mm512_castsi512_si256(z10));
        StorePlane(out[0], i, _mm512_extracti64x4_epi64(z10, 1));
    }
    ReferencePixelsToBin(pixels, planes, i, last);
}

void Avx512GfniBinToPixels(const uint8_t *const planes[8], uint8_t *pixels, size_t first, size_t last) {
    const __m512i select = Selector();
    const __m512i r1a = Load(Round1().inv[0]), r1b = Load(Round1().inv[1]);
    const __m512i r2a = Load(Round2().inv[0]), r2b = Load(Round2().inv[1]);
    const uint8_t *in[8];
    for (int b = 0; b < 8; ++b) in[b] = planes[b];
    size_t i = first;
    for (; i + 32 <= last; i += 32) {
        const __m512i z76 = _mm512_inserti64x4(_mm512_castsi256_si512(LoadPlane(in[7], i)), LoadPlane(in[6], i), 1);
        const __m512i z54 = _mm512_inserti64x4(_mm512_castsi256_si512(LoadPlane(in[5], i)), LoadPlane(in[4], i), 1);
        const __m512i z32 = _mm512_inserti64x4(_mm512_castsi256_si512(LoadPlane(in[3], i)), LoadPlane(in[2], i), 1);
        const __m512i z10 = _mm512_inserti64x4(_mm512_castsi256_si512(LoadPlane(in[1], i)), LoadPlane(in[0], i), 1);
        const __m512i x1 = _mm512_permutex2var_epi8(z76, r2a, z54);
        const __m512i y1 = _mm512_permutex2var_epi8(z76, r2b, z54);
        const __m512i x2 = _mm512_permutex2var_epi8(z32, r2a, z10);
        const __m512i y2 = _mm512_permutex2var_epi8(z32, r2b, z10);
        uint8_t *p = pixels + 8 * i;
        _mm512_storeu_si512(p, _mm512_gf2p8affine_epi64_epi8(select, _mm512_permutex2var_epi8(x1, r1a, x2), 0));
        _mm512_storeu_si512(p + 64, _mm512_gf2p8affine_epi64_epi8(select, _mm512_permutex2var_epi8(x1, r1b, x2), 0));
        _mm512_storeu_si512(p + 128, _mm512_gf2p8affine_epi64_epi8(select, _mm512_permutex2var_epi8(y1, r1a, y2), 0));
        _mm512_storeu_si512(p + 192, _mm512_gf2p8affine_epi64_epi8(select, _mm512_permutex2var_epi8(y1, r1b, y2), 0));
    }
    ReferenceBinToPixels(planes, pixels, i, last);
}

}  // namespace vek::image::kernels
