// AVX2 bit-plane kernels with GFNI (processors without AVX-512): 256 pixels
// (32 groups) per step. The bit transpose of each group is one 256-bit
// gf2p8affineqb, as in the AVX-512 kernel; the bytes are then transposed as
// bitplane_transpose.h describes.
#include "image/bitplane_avx2_ops.h"

namespace vek::image::kernels {

namespace {

struct Avx2Gfni : Avx2 {
    // gf2p8affineqb(x, A) sets bit k of byte i to the parity of (byte 7 - k
    // of the qword A) AND (byte i of x). With A = the 8 pixels of a group and
    // byte i of x = 1 << (7 - i), byte i is the plane of bit 7 - i with pixel
    // j at bit 7 - j: an 8 x 8 bit transpose, its own inverse.
    static V TransposeGroupBits(V group) {
        return _mm256_gf2p8affine_epi64_epi8(_mm256_set1_epi64x(0x0102040810204080ll), group, 0);
    }
};

}  // namespace

void Avx2GfniPixelsToBin(const uint8_t *pixels, uint8_t *const planes[8], size_t first, size_t last) {
    PixelsToBinSteps<Avx2Gfni>(pixels, planes, first, last);
}

void Avx2GfniBinToPixels(const uint8_t *const planes[8], uint8_t *pixels, size_t first, size_t last) {
    BinToPixelsSteps<Avx2Gfni>(planes, pixels, first, last);
}

}  // namespace vek::image::kernels
