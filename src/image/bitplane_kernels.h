// Kernel entry points of the bit-plane implementations. Each vector kernel
// lives in its own file compiled for its instruction set; this header holds
// only plain declarations so that no inline code is shared between files
// compiled with different target options (the kernels' shared templates in
// bitplane_transpose.h have internal linkage for the same reason).
#pragma once

#include <cstddef>
#include <cstdint>

namespace vek::image::kernels {

// The reference, written as the layout is defined: one 64-bit word per group
// and a mask per bit. The vector kernels finish their tails with it.
void ReferencePixelsToBin(const uint8_t *pixels, uint8_t *const planes[8], size_t first, size_t last);
void ReferenceBinToPixels(const uint8_t *const planes[8], uint8_t *pixels, size_t first, size_t last);

// Portable word-at-a-time version (a multiply gathers the 8 bits of a plane).
void SwarPixelsToBin(const uint8_t *pixels, uint8_t *const planes[8], size_t first, size_t last);
void SwarBinToPixels(const uint8_t *const planes[8], uint8_t *pixels, size_t first, size_t last);

#if defined(__x86_64__) || defined(_M_X64)
void Sse2PixelsToBin(const uint8_t *pixels, uint8_t *const planes[8], size_t first, size_t last);
void Sse2BinToPixels(const uint8_t *const planes[8], uint8_t *pixels, size_t first, size_t last);
void Avx2PixelsToBin(const uint8_t *pixels, uint8_t *const planes[8], size_t first, size_t last);
void Avx2BinToPixels(const uint8_t *const planes[8], uint8_t *pixels, size_t first, size_t last);
void Avx2GfniPixelsToBin(const uint8_t *pixels, uint8_t *const planes[8], size_t first, size_t last);
void Avx2GfniBinToPixels(const uint8_t *const planes[8], uint8_t *pixels, size_t first, size_t last);
void Avx512BwPixelsToBin(const uint8_t *pixels, uint8_t *const planes[8], size_t first, size_t last);
void Avx512BwBinToPixels(const uint8_t *const planes[8], uint8_t *pixels, size_t first, size_t last);
void Avx512GfniPixelsToBin(const uint8_t *pixels, uint8_t *const planes[8], size_t first, size_t last);
void Avx512GfniBinToPixels(const uint8_t *const planes[8], uint8_t *pixels, size_t first, size_t last);
#endif

#if defined(__aarch64__)
void NeonPixelsToBin(const uint8_t *pixels, uint8_t *const planes[8], size_t first, size_t last);
void NeonBinToPixels(const uint8_t *const planes[8], uint8_t *pixels, size_t first, size_t last);
#endif

}  // namespace vek::image::kernels
