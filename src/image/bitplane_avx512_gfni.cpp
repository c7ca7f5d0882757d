// AVX-512 bit-plane kernels with GFNI and VBMI: 512 pixels (64 groups) per
// step, full 64-byte stores and loads on every plane.
//
// gf2p8affineqb(x, A) sets bit k of byte i to the parity of (byte 7 - k of the
// qword A) AND (byte i of x). With A = the 8 pixels of a group and byte i of x
// = 1 << (7 - i), byte i of the result is the plane of bit 7 - i with pixel j
// at bit 7 - j: an 8 x 8 bit transpose per qword. The same operation turns the
// 8 plane bytes of a group (plane 7 - i in byte i) back into its 8 pixels.
// Around it, a byte transpose inside each register (vpermb) and a qword
// transpose across 8 registers move between "8 plane bytes per group" and
// "64 consecutive groups per plane".
#include <immintrin.h>

#include "image/bitplane_kernels.h"

namespace vek::image::kernels {

namespace {

inline __m512i Selector() { return _mm512_set1_epi64(0x0102040810204080ll); }

// Byte 8i + q <-> byte 8q + i (an 8 x 8 byte transpose in each register).
inline __m512i ByteTransposeIndex() {
    alignas(64) uint8_t idx[64];
    for (int i = 0; i < 8; ++i)
        for (int q = 0; q < 8; ++q) idx[8 * i + q] = static_cast<uint8_t>(8 * q + i);
    return _mm512_load_si512(idx);
}

// r[k].qword[i] <-> r[i].qword[k].
inline void TransposeQwords(__m512i r[8]) {
    __m512i t[8];
    for (int k = 0; k < 8; k += 2) {
        t[k] = _mm512_unpacklo_epi64(r[k], r[k + 1]);
        t[k + 1] = _mm512_unpackhi_epi64(r[k], r[k + 1]);
    }
    // t[0]: lanes (r0 q0, r1 q0), (r0 q2, r1 q2), (r0 q4, r1 q4), (r0 q6, r1 q6)
    // t[1]: the same with odd qwords; t[2], t[3] for r2, r3 and so on.
    __m512i u[8];
    for (int k = 0; k < 8; k += 4) {
        for (int odd = 0; odd < 2; ++odd) {
            const __m512i a = t[k + odd];
            const __m512i b = t[k + 2 + odd];
            u[k + odd] = _mm512_shuffle_i64x2(a, b, _MM_SHUFFLE(2, 0, 2, 0));      // qwords 0/1, 4/5 of the pair
            u[k + 2 + odd] = _mm512_shuffle_i64x2(a, b, _MM_SHUFFLE(3, 1, 3, 1));  // qwords 2/3, 6/7
        }
    }
    // u[0]: (r0 q0, r1 q0), (r0 q4, r1 q4), (r2 q0, r3 q0), (r2 q4, r3 q4)
    // u[1]: the same for q1, q5; u[2]: q2, q6; u[3]: q3, q7; u[4..7]: r4 to r7.
    for (int q = 0; q < 4; ++q) {
        r[q] = _mm512_shuffle_i64x2(u[q], u[q + 4], _MM_SHUFFLE(2, 0, 2, 0));
        r[q + 4] = _mm512_shuffle_i64x2(u[q], u[q + 4], _MM_SHUFFLE(3, 1, 3, 1));
    }
}

}  // namespace

void Avx512GfniPixelsToBin(const uint8_t *pixels, uint8_t *const planes[8], size_t first, size_t last) {
    const __m512i select = Selector();
    const __m512i transpose = ByteTransposeIndex();
    size_t i = first;
    for (; i + 64 <= last; i += 64) {
        const uint8_t *p = pixels + 8 * i;
        __m512i r[8];
        for (int k = 0; k < 8; ++k) {
            // Qword q: byte i = plane 7 - i of group 8k + q.
            r[k] = _mm512_gf2p8affine_epi64_epi8(select, _mm512_loadu_si512(p + 64 * k), 0);
            // Qword i: plane 7 - i of groups 8k .. 8k + 7.
            r[k] = _mm512_permutexvar_epi8(transpose, r[k]);
        }
        TransposeQwords(r);  // r[i]: plane 7 - i of the 64 groups
        for (int k = 0; k < 8; ++k) {
            if (planes[7 - k] != nullptr) _mm512_storeu_si512(planes[7 - k] + i, r[k]);
        }
    }
    ReferencePixelsToBin(pixels, planes, i, last);
}

void Avx512GfniBinToPixels(const uint8_t *const planes[8], uint8_t *pixels, size_t first, size_t last) {
    const __m512i select = Selector();
    const __m512i transpose = ByteTransposeIndex();
    size_t i = first;
    for (; i + 64 <= last; i += 64) {
        __m512i r[8];
        for (int k = 0; k < 8; ++k) {
            r[k] = planes[7 - k] != nullptr ? _mm512_loadu_si512(planes[7 - k] + i) : _mm512_setzero_si512();
        }
        TransposeQwords(r);
        uint8_t *p = pixels + 8 * i;
        for (int k = 0; k < 8; ++k) {
            const __m512i groups = _mm512_permutexvar_epi8(transpose, r[k]);
            _mm512_storeu_si512(p + 64 * k, _mm512_gf2p8affine_epi64_epi8(select, groups, 0));
        }
    }
    ReferenceBinToPixels(planes, pixels, i, last);
}

}  // namespace vek::image::kernels
