// The SSE2, AVX2 (with and without GFNI) and AVX-512 BW bit-plane kernels,
// written once over a vector type.
//
// A step takes 8 registers of pixels and turns them into 8 registers of
// plane bytes (and back) with two transposes:
// - bytes: 8 registers seen as one block, register r byte p at address
//   (r, p) (per 128-bit lane: the instructions work within lanes, each lane
//   on its own run of 16 groups). One round
//   of byte unpacks between registers k and k + 4 moves the byte at address
//   A to A rotated left by one bit. Loaded with 2 groups per register (group
//   2r + p / 8, pixel p % 8), four rounds give register j = pixel j of 16
//   groups; three more bring it back.
// - bits: across the 8 registers, byte for byte, an 8 x 8 bit transpose in
//   three rounds of swaps (distance 4, 2, 1): from "register j = pixel j"
//   to "register k = plane of bit 7 - k", with pixel j at bit 7 - j.
// With GFNI the bit transpose is one instruction per register on the 8
// pixels of each group (see Ops::TransposeGroupBits), done before the byte
// transpose instead of after it.
//
// Included only by the kernel files: everything here has internal linkage,
// so each file compiles its own copy for its own instruction set and no
// function compiled for one set can be picked by the linker for another.
#pragma once

#include <cstddef>
#include <cstdint>

#include "image/bitplane_kernels.h"

// The steps keep their 8 registers in registers only when every loop over
// them is unrolled; GCC at -O2 does not do that by itself.
#if defined(__clang__)
#define VEK_UNROLL _Pragma("unroll")
#elif defined(__GNUC__)
#define VEK_UNROLL _Pragma("GCC unroll 8")
#else
#define VEK_UNROLL
#endif

namespace vek::image::kernels {
namespace {

// Ops provides: V; kGroups (groups per step: 16 per 128 bits of V);
// UnpackLo8/UnpackHi8; And, Xor, ShiftRight16<s>, ShiftLeft16<s>, Splat8;
// LoadGroups / StoreGroups (the pixels of kGroups groups to and from 8
// registers, register w holding groups 2w, 2w + 1 of each run of 16 groups);
// LoadPlane / StorePlane (kGroups bytes); Zero; and, with GFNI,
// TransposeGroupBits.
template <class Ops>
inline void RotateByteAddresses(typename Ops::V (&r)[8]) {
    typename Ops::V n[8];
    VEK_UNROLL
    for (int k = 0; k < 4; ++k) {
        n[2 * k] = Ops::UnpackLo8(r[k], r[k + 4]);
        n[2 * k + 1] = Ops::UnpackHi8(r[k], r[k + 4]);
    }
    VEK_UNROLL
    for (int k = 0; k < 8; ++k) r[k] = n[k];
}

// Swaps the low bits of each distance-s bit block of r[a] with the high bits
// of those of r[a + s]. 16-bit shifts are enough: what crosses a byte
// boundary falls outside the mask.
template <class Ops, int s>
inline void SwapBitBlocks(typename Ops::V (&r)[8], uint8_t lowBits) {
    const typename Ops::V mask = Ops::Splat8(lowBits);
    VEK_UNROLL
    for (int a = 0; a < 8; ++a) {
        if (a & s) continue;
        const typename Ops::V t = Ops::And(Ops::Xor(r[a], Ops::template ShiftRight16<s>(r[a + s])), mask);
        r[a] = Ops::Xor(r[a], t);
        r[a + s] = Ops::Xor(r[a + s], Ops::template ShiftLeft16<s>(t));
    }
}

// Its own inverse: planes back to pixels the same way.
template <class Ops>
inline void TransposeBits(typename Ops::V (&r)[8]) {
    SwapBitBlocks<Ops, 4>(r, 0x0F);
    SwapBitBlocks<Ops, 2>(r, 0x33);
    SwapBitBlocks<Ops, 1>(r, 0x55);
}

template <class Ops>
concept HasGroupBitTranspose = requires(typename Ops::V v) {
    Ops::TransposeGroupBits(v);
};

template <class Ops>
void PixelsToBinSteps(const uint8_t *pixels, uint8_t *const planes[8], size_t first, size_t last) {
    // Local copy: stores through byte pointers could otherwise alias the
    // caller's pointer array and force a reload after every store.
    uint8_t *out[8];
    for (int b = 0; b < 8; ++b) out[b] = planes[b];
    size_t i = first;
    for (; i + Ops::kGroups <= last; i += Ops::kGroups) {
        typename Ops::V r[8];
        Ops::LoadGroups(pixels + 8 * i, r);
        if constexpr (HasGroupBitTranspose<Ops>) {
            VEK_UNROLL
            for (auto &v : r) v = Ops::TransposeGroupBits(v);
            VEK_UNROLL
            for (int round = 0; round < 4; ++round) RotateByteAddresses<Ops>(r);
        } else {
            VEK_UNROLL
            for (int round = 0; round < 4; ++round) RotateByteAddresses<Ops>(r);
            TransposeBits<Ops>(r);
        }
        VEK_UNROLL
        for (int k = 0; k < 8; ++k) {
            if (out[7 - k] != nullptr) Ops::StorePlane(out[7 - k] + i, r[k]);
        }
    }
    ReferencePixelsToBin(pixels, planes, i, last);
}

template <class Ops>
void BinToPixelsSteps(const uint8_t *const planes[8], uint8_t *pixels, size_t first, size_t last) {
    const uint8_t *in[8];
    for (int b = 0; b < 8; ++b) in[b] = planes[b];
    size_t i = first;
    for (; i + Ops::kGroups <= last; i += Ops::kGroups) {
        typename Ops::V r[8];
        VEK_UNROLL
        for (int k = 0; k < 8; ++k) r[k] = in[7 - k] != nullptr ? Ops::LoadPlane(in[7 - k] + i) : Ops::Zero();
        if constexpr (HasGroupBitTranspose<Ops>) {
            VEK_UNROLL
            for (int round = 0; round < 3; ++round) RotateByteAddresses<Ops>(r);
            VEK_UNROLL
            for (auto &v : r) v = Ops::TransposeGroupBits(v);
        } else {
            TransposeBits<Ops>(r);
            VEK_UNROLL
            for (int round = 0; round < 3; ++round) RotateByteAddresses<Ops>(r);
        }
        Ops::StoreGroups(pixels + 8 * i, r);
    }
    ReferenceBinToPixels(planes, pixels, i, last);
}

}  // namespace
}  // namespace vek::image::kernels
