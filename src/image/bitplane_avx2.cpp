// AVX2 bit-plane kernels: 256 pixels (32 groups) per step, transposed as
// bitplane_transpose.h describes.
#include "image/bitplane_avx2_ops.h"

namespace vek::image::kernels {

void Avx2PixelsToBin(const uint8_t *pixels, uint8_t *const planes[8], size_t first, size_t last) {
    PixelsToBinSteps<Avx2>(pixels, planes, first, last);
}

void Avx2BinToPixels(const uint8_t *const planes[8], uint8_t *pixels, size_t first, size_t last) {
    BinToPixelsSteps<Avx2>(planes, pixels, first, last);
}

}  // namespace vek::image::kernels
