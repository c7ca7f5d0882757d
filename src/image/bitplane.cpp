// pixel2bin and bin2pixel: the portable implementations, the choice of
// implementation at run time, and the exported functions.
#include "image/bitplane.h"

#include <array>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "image/bitplane_kernels.h"
#include "vek_dll.h"

namespace vek::image {
namespace kernels {

namespace {

// mark[b] has bit b set in each of its eight bytes.
constexpr std::array<uint64_t, 8> kMark = [] {
    std::array<uint64_t, 8> m{};
    for (int b = 0; b < 8; ++b) m[b] = 0x0101010101010101ull << b;
    return m;
}();

// The 8 pixels of a group as a little-endian word (pixel j in bits 8j..8j+7),
// whatever the host's byte order.
inline uint64_t LoadGroup(const uint8_t *p) {
    uint64_t w = 0;
    for (int j = 0; j < 8; ++j) w |= uint64_t{p[j]} << (8 * j);
    return w;
}

inline void StoreGroup(uint8_t *p, uint64_t w) {
    for (int j = 0; j < 8; ++j) p[j] = static_cast<uint8_t>(w >> (8 * j));
}

// Multiplying a word whose set bits are all at bit 0 of some byte by this
// constant moves bit 8j to bit 63 - j without carries (every partial product
// lands on its own bit), so the top byte holds pixel j at bit 7 - j.
constexpr uint64_t kGather = 0x8040201008040201ull;
constexpr uint64_t kLowBits = 0x0101010101010101ull;
constexpr uint64_t kHighBits = 0x8080808080808080ull;

}  // namespace

void ReferencePixelsToBin(const uint8_t *pixels, uint8_t *const planes[8], size_t first, size_t last) {
    for (size_t i = first; i < last; ++i) {
        const uint64_t w = LoadGroup(pixels + 8 * i);
        for (int b = 7; b >= 0; --b) {
            if (planes[b] == nullptr) continue;
            const uint64_t t = (w & kMark[b]) >> b;
            uint8_t out = 0;
            for (int j = 0; j < 8; ++j) out |= static_cast<uint8_t>(((t >> (8 * j)) & 1u) << (7 - j));
            planes[b][i] = out;
        }
    }
}

void ReferenceBinToPixels(const uint8_t *const planes[8], uint8_t *pixels, size_t first, size_t last) {
    for (size_t i = first; i < last; ++i) {
        uint64_t w = 0;
        for (int b = 7; b >= 0; --b) {
            if (planes[b] == nullptr) continue;
            const uint8_t in = planes[b][i];
            for (int j = 0; j < 8; ++j) w |= uint64_t{(in >> (7 - j)) & 1u} << (8 * j + b);
        }
        StoreGroup(pixels + 8 * i, w);
    }
}

void SwarPixelsToBin(const uint8_t *pixels, uint8_t *const planes[8], size_t first, size_t last) {
    for (size_t i = first; i < last; ++i) {
        const uint64_t w = LoadGroup(pixels + 8 * i);
        for (int b = 7; b >= 0; --b) {
            if (planes[b] != nullptr) planes[b][i] = static_cast<uint8_t>((((w >> b) & kLowBits) * kGather) >> 56);
        }
    }
}

void SwarBinToPixels(const uint8_t *const planes[8], uint8_t *pixels, size_t first, size_t last) {
    for (size_t i = first; i < last; ++i) {
        uint64_t w = 0;
        for (int b = 7; b >= 0; --b) {
            // The product puts bit 7 - j of the plane byte at bit 8j + 7, again
            // without carries; keep those bits and move them down to bit b.
            if (planes[b] != nullptr) w |= ((planes[b][i] * kGather) & kHighBits) >> (7 - b);
        }
        StoreGroup(pixels + 8 * i, w);
    }
}

}  // namespace kernels

namespace {

bool Always() { return true; }

#if defined(__x86_64__) || defined(_M_X64)
bool HasAvx2() { return __builtin_cpu_supports("avx2"); }
bool HasAvx2Gfni() { return HasAvx2() && __builtin_cpu_supports("gfni"); }
bool HasAvx512Bw() { return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw"); }
bool HasAvx512Gfni() { return HasAvx512Bw() && __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("gfni"); }
#endif

// The reference first, then from the slowest to the fastest.
constexpr BitplaneCodec kCodecs[] = {
    {"reference", Always, kernels::ReferencePixelsToBin, kernels::ReferenceBinToPixels},
    {"swar", Always, kernels::SwarPixelsToBin, kernels::SwarBinToPixels},
#if defined(__x86_64__) || defined(_M_X64)
    {"sse2", Always, kernels::Sse2PixelsToBin, kernels::Sse2BinToPixels},
    {"avx2", HasAvx2, kernels::Avx2PixelsToBin, kernels::Avx2BinToPixels},
    {"avx2_gfni", HasAvx2Gfni, kernels::Avx2GfniPixelsToBin, kernels::Avx2GfniBinToPixels},
    {"avx512bw", HasAvx512Bw, kernels::Avx512BwPixelsToBin, kernels::Avx512BwBinToPixels},
    {"avx512_gfni", HasAvx512Gfni, kernels::Avx512GfniPixelsToBin, kernels::Avx512GfniBinToPixels},
#endif
#if defined(__aarch64__)
    {"neon", Always, kernels::NeonPixelsToBin, kernels::NeonBinToPixels},
#endif
};

}  // namespace

std::span<const BitplaneCodec> BitplaneCodecs() { return kCodecs; }

const BitplaneCodec *FindBitplaneCodec(std::string_view name) {
    for (const BitplaneCodec &c : kCodecs) {
        if (name == c.name) return &c;
    }
    return nullptr;
}

const BitplaneCodec &ChooseBitplaneCodec(const char *requested) {
    if (requested != nullptr) {
        const BitplaneCodec *codec = FindBitplaneCodec(requested);
        if (codec != nullptr && codec->supported()) return *codec;
    }
    for (size_t k = std::size(kCodecs); k-- > 0;) {
        if (kCodecs[k].supported()) return kCodecs[k];
    }
    return kCodecs[0];
}

const BitplaneCodec &SelectedBitplaneCodec() {
    static const BitplaneCodec &selected = ChooseBitplaneCodec(std::getenv("VEK_BITPLANE_KERNEL"));
    return selected;
}

ptrdiff_t GroupCount(int32_t width, int32_t height) {
    if (width % 8 != 0 || width < 0 || height < 0) return -1;
    const uint64_t groups = static_cast<uint64_t>(width / 8) * static_cast<uint64_t>(height);
    // The pixel buffer holds 8 bytes per group and must fit the address space.
    if (groups > static_cast<uint64_t>(std::numeric_limits<ptrdiff_t>::max() / 8)) return -1;
    return static_cast<ptrdiff_t>(groups);
}

uint8_t *PixelsToBin(const BitplaneCodec &codec, const uint8_t *pixels, int32_t width, int32_t height,
                     uint8_t planeMask, uint8_t *bin) {
    if (pixels == nullptr || bin == nullptr) return nullptr;
    const ptrdiff_t groups = GroupCount(width, height);
    if (groups < 0) return nullptr;
    uint8_t *planes[8] = {};
    size_t offset = 0;
    for (int b = 7; b >= 0; --b) {
        if (planeMask & (1u << b)) {
            planes[b] = bin + offset;
            offset += static_cast<size_t>(groups);
        }
    }
    if (planeMask != 0 && groups > 0) codec.pixelsToBin(pixels, planes, 0, static_cast<size_t>(groups));
    return bin;
}

uint8_t *BinToPixels(const BitplaneCodec &codec, const uint8_t *bin, int32_t width, int32_t height, uint8_t planeMask,
                     uint8_t *pixels) {
    if (bin == nullptr || pixels == nullptr) return nullptr;
    const ptrdiff_t groups = GroupCount(width, height);
    if (groups < 0) return nullptr;
    const uint8_t *planes[8] = {};
    size_t offset = 0;
    for (int b = 7; b >= 0; --b) {
        if (planeMask & (1u << b)) {
            planes[b] = bin + offset;
            offset += static_cast<size_t>(groups);
        }
    }
    if (groups == 0) return pixels;
    if (planeMask == 0) {
        std::memset(pixels, 0, static_cast<size_t>(groups) * 8);
    } else {
        codec.binToPixels(planes, pixels, 0, static_cast<size_t>(groups));
    }
    return pixels;
}

}  // namespace vek::image

extern "C" {

VEK_API uint8_t *VEK_CALL pixel2bin(const uint8_t *pixels, int32_t width, int32_t height, uint8_t planeMask,
                                    uint8_t *bin) {
    return vek::image::PixelsToBin(vek::image::SelectedBitplaneCodec(), pixels, width, height, planeMask, bin);
}

VEK_API uint8_t *VEK_CALL bin2pixel(const uint8_t *bin, int32_t width, int32_t height, uint8_t planeMask,
                                    uint8_t *pixels) {
    return vek::image::BinToPixels(vek::image::SelectedBitplaneCodec(), bin, width, height, planeMask, pixels);
}

}  // extern "C"
