// pixel2bin and bin2pixel with arbitrary sizes and plane masks, on buffers of
// exactly the documented sizes: popcount(mask) x width x height / 8 bytes of
// frame and width x height bytes of pixels.
//
// Input: width and height (signed 32-bit, kept to at most 128 Ki pixels in
// magnitude), the plane mask, then pixel bytes (repeated to fill the image).
// Checks: no access outside the two buffers (ASan); a refused size (width not
// a multiple of 8, or negative) returns null and leaves both buffers as they were; an
// accepted one returns the destination; pixels -> frame -> pixels gives every
// pixel ANDed with the mask; every implementation this processor runs gives
// the same bytes as the reference in both directions.
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz_common.h"
#include "image/bitplane.h"
#include "vek_dll.h"

namespace {

constexpr int64_t kMaxPixels = 1 << 17;

// An exactly sized heap block (malloc(0) too, so that any access to an empty
// buffer is caught).
struct Block {
    explicit Block(size_t n) : size(n), data(static_cast<uint8_t *>(std::malloc(n ? n : 1))) {
        if (n == 0) {
            std::free(data);
            data = static_cast<uint8_t *>(std::malloc(0));
        }
    }
    ~Block() { std::free(data); }
    Block(const Block &) = delete;
    Block &operator=(const Block &) = delete;
    size_t size;
    uint8_t *data;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *input, size_t size) {
    using namespace vek::image;
    FuzzedDataProvider in(input, size);
    int32_t width = in.ConsumeIntegral<int32_t>();
    int32_t height = in.ConsumeIntegral<int32_t>();
    const uint8_t mask = in.ConsumeIntegral<uint8_t>();
    // Mostly small sizes; the sign and the remainder modulo 8 stay arbitrary.
    if (!in.ConsumeBool()) {
        width = width % 257;
        height = height % 65;
    }
    const int64_t pixels = static_cast<int64_t>(width) * height;
    if (pixels > kMaxPixels || pixels < -kMaxPixels) return 0;
    const bool accepted = width % 8 == 0 && width >= 0 && height >= 0;

    const size_t pixelBytes = pixels > 0 ? static_cast<size_t>(pixels) : 0;
    const size_t frameBytes = pixels > 0 ? static_cast<size_t>(std::popcount(mask)) * pixelBytes / 8 : 0;
    Block source(pixelBytes), frame(frameBytes), back(pixelBytes);
    const std::vector<uint8_t> fill = in.ConsumeRemainingBytes<uint8_t>();
    for (size_t i = 0; i < pixelBytes; ++i)
        source.data[i] = fill.empty() ? static_cast<uint8_t>(i * 37) : fill[i % fill.size()];
    std::memset(frame.data, 0xA5, frameBytes);
    std::memset(back.data, 0x5A, pixelBytes);

    uint8_t *toFrame = pixel2bin(source.data, width, height, mask, frame.data);
    uint8_t *toPixels = bin2pixel(frame.data, width, height, mask, back.data);
    if (!accepted) {
        // Refused: a width that is not a multiple of 8, or a negative size
        // (whose product could look like a positive group count).
        VEK_FUZZ_CHECK(toFrame == nullptr && toPixels == nullptr);
        for (size_t i = 0; i < frameBytes; ++i) VEK_FUZZ_CHECK(frame.data[i] == 0xA5);
        for (size_t i = 0; i < pixelBytes; ++i) VEK_FUZZ_CHECK(back.data[i] == 0x5A);
        return 0;
    }
    VEK_FUZZ_CHECK(toFrame == frame.data && toPixels == back.data);
    for (size_t i = 0; i < pixelBytes; ++i) VEK_FUZZ_CHECK(back.data[i] == (source.data[i] & mask));

    // Every implementation against the reference (the first one).
    const auto codecs = BitplaneCodecs();
    const BitplaneCodec &reference = codecs.front();
    Block expectFrame(frameBytes), expectPixels(pixelBytes), gotFrame(frameBytes), gotPixels(pixelBytes);
    VEK_FUZZ_CHECK(PixelsToBin(reference, source.data, width, height, mask, expectFrame.data) == expectFrame.data);
    VEK_FUZZ_CHECK(BinToPixels(reference, expectFrame.data, width, height, mask, expectPixels.data) ==
                   expectPixels.data);
    for (const BitplaneCodec &codec : codecs) {
        if (!codec.supported()) continue;
        VEK_FUZZ_CHECK(PixelsToBin(codec, source.data, width, height, mask, gotFrame.data) == gotFrame.data);
        VEK_FUZZ_CHECK(std::memcmp(gotFrame.data, expectFrame.data, frameBytes) == 0);
        VEK_FUZZ_CHECK(BinToPixels(codec, expectFrame.data, width, height, mask, gotPixels.data) == gotPixels.data);
        VEK_FUZZ_CHECK(std::memcmp(gotPixels.data, expectPixels.data, pixelBytes) == 0);
    }
    VEK_FUZZ_CHECK(std::memcmp(frame.data, expectFrame.data, frameBytes) == 0);
    return 0;
}
