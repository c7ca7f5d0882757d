// The binary frame layout and the conversions between 8-bit gray pixels and
// bit planes, with every implementation that this build carries.
//
// A group is 8 horizontally adjacent pixels; G groups make one plane of G
// bytes. Byte i of the plane of gray bit b holds bit b of the 8 pixels of
// group i, the leftmost pixel in the most significant bit. The planes that a
// mask selects follow each other from the highest bit down.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace vek::image {

// Converts groups [first, last). planes[b] is the start of the plane of gray
// bit b, or null when that plane is not selected: pixelsToBin then skips it,
// binToPixels reads it as all zeros.
using PixelsToBinKernel = void (*)(const uint8_t *pixels, uint8_t *const planes[8], size_t first, size_t last);
using BinToPixelsKernel = void (*)(const uint8_t *const planes[8], uint8_t *pixels, size_t first, size_t last);

struct BitplaneCodec {
    const char *name;
    bool (*supported)();  // whether this processor runs it
    PixelsToBinKernel pixelsToBin;
    BinToPixelsKernel binToPixels;
};

// Every implementation compiled for this architecture, the reference first;
// some may not run on this processor (see supported()).
std::span<const BitplaneCodec> BitplaneCodecs();
// The implementation of that name, or null when this build has none.
const BitplaneCodec *FindBitplaneCodec(std::string_view name);
// The implementation named `requested` when this build has it and this
// processor runs it; otherwise (also for null) the fastest one it runs.
const BitplaneCodec &ChooseBitplaneCodec(const char *requested);
// The one the exported pixel2bin and bin2pixel use, chosen once: by the
// environment variable VEK_BITPLANE_KERNEL (a name of BitplaneCodecs(), for
// benchmarks and tests), else the fastest. A name this build lacks or this
// processor cannot run is ignored.
const BitplaneCodec &SelectedBitplaneCodec();

// pixel2bin and bin2pixel on a given implementation (same checks and results).
uint8_t *PixelsToBin(const BitplaneCodec &codec, const uint8_t *pixels, int32_t width, int32_t height,
                     uint8_t planeMask, uint8_t *bin);
uint8_t *BinToPixels(const BitplaneCodec &codec, const uint8_t *bin, int32_t width, int32_t height, uint8_t planeMask,
                     uint8_t *pixels);

// Number of groups (= bytes per plane) for a size that pixel2bin accepts, or -1
// when it refuses the size (width not a multiple of 8, a negative size, or a
// buffer larger than the address space).
ptrdiff_t GroupCount(int32_t width, int32_t height);

}  // namespace vek::image
