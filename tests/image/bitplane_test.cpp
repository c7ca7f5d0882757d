// The bit-plane layout and every implementation of pixel2bin / bin2pixel:
// each one that this processor runs must give the bytes that the layout
// defines, for every plane mask, every tail length and the empty image.
#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "image/bitplane.h"
#include "vek_dll.h"

namespace vek::image {
namespace {

constexpr uint8_t kGuard = 0xCD;
constexpr size_t kGuardBytes = 64;

// The layout written out by hand: byte (bit b, group i) has bit 7 - j set to
// bit b of pixel 8i + j.
std::vector<uint8_t> ExpectedFrame(const std::vector<uint8_t> &pixels, size_t groups, uint8_t mask) {
    std::vector<uint8_t> frame;
    for (int b = 7; b >= 0; --b) {
        if (!(mask & (1 << b))) continue;
        for (size_t i = 0; i < groups; ++i) {
            uint8_t byte = 0;
            for (int j = 0; j < 8; ++j) byte |= static_cast<uint8_t>(((pixels[8 * i + j] >> b) & 1) << (7 - j));
            frame.push_back(byte);
        }
    }
    return frame;
}

std::vector<uint8_t> ExpectedPixels(const std::vector<uint8_t> &frame, size_t groups, uint8_t mask) {
    std::vector<uint8_t> pixels(groups * 8, 0);
    size_t k = 0;
    for (int b = 7; b >= 0; --b) {
        if (!(mask & (1 << b))) continue;
        for (size_t i = 0; i < groups; ++i) {
            for (int j = 0; j < 8; ++j) {
                if (frame[k * groups + i] & (0x80 >> j)) pixels[8 * i + j] |= static_cast<uint8_t>(1 << b);
            }
        }
        ++k;
    }
    return pixels;
}

std::vector<uint8_t> Random(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(n);
    for (auto &x : v) x = static_cast<uint8_t>(rng());
    return v;
}

// A destination of n bytes followed by guard bytes that must stay untouched.
struct Guarded {
    std::vector<uint8_t> bytes;
    size_t size;
    explicit Guarded(size_t n, uint8_t fill = kGuard) : bytes(n + kGuardBytes, fill), size(n) {}
    uint8_t *data() { return bytes.data(); }
    std::vector<uint8_t> Content() const { return {bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(size)}; }
    bool GuardIntact() const {
        for (size_t i = size; i < bytes.size(); ++i) {
            if (bytes[i] != kGuard) return false;
        }
        return true;
    }
};

class BitplaneCodecTest : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        codec_ = FindBitplaneCodec(GetParam());
        ASSERT_NE(codec_, nullptr);
        if (!codec_->supported()) GTEST_SKIP() << "this processor does not run the " << GetParam() << " implementation";
    }

    // Converts with this implementation and checks both directions against
    // the layout for one size and mask.
    void CheckBothWays(int32_t width, int32_t height, uint8_t mask, uint32_t seed) {
        const size_t groups = static_cast<size_t>(width / 8) * static_cast<size_t>(height);
        const size_t frameBytes = static_cast<size_t>(std::popcount(mask)) * groups;
        const std::vector<uint8_t> pixels = Random(groups * 8, seed);

        Guarded bin(frameBytes);
        ASSERT_EQ(PixelsToBin(*codec_, pixels.data(), width, height, mask, bin.data()), bin.data());
        ASSERT_EQ(bin.Content(), ExpectedFrame(pixels, groups, mask)) << width << "x" << height << " mask " << int(mask);
        ASSERT_TRUE(bin.GuardIntact()) << width << "x" << height << " mask " << int(mask);

        // (At least one byte, so that the data pointer is not null for mask 0.)
        const std::vector<uint8_t> frame = Random(frameBytes + 1, seed + 1);
        Guarded back(groups * 8);
        ASSERT_EQ(BinToPixels(*codec_, frame.data(), width, height, mask, back.data()), back.data());
        ASSERT_EQ(back.Content(), ExpectedPixels(frame, groups, mask)) << width << "x" << height << " mask " << int(mask);
        ASSERT_TRUE(back.GuardIntact()) << width << "x" << height << " mask " << int(mask);
    }

    const BitplaneCodec *codec_ = nullptr;
};

TEST_P(BitplaneCodecTest, WorkedExamples) {
    // 255, 0, 0, 0, 0, 0, 0, 255 with mask 0x80 gives 0x81.
    std::vector<uint8_t> eight = {255, 0, 0, 0, 0, 0, 0, 255};
    uint8_t one = 0;
    ASSERT_NE(PixelsToBin(*codec_, eight.data(), 8, 1, 0x80, &one), nullptr);
    EXPECT_EQ(one, 0x81);

    // A single 0xA5 pixel at (0, 0) of a 1920 x 4 image: byte 0 of the eight
    // planes is 0x80, 0, 0x80, 0, 0, 0x80, 0, 0x80 (bits 7 to 0).
    std::vector<uint8_t> pixels(1920 * 4, 0);
    pixels[0] = 0xA5;
    std::vector<uint8_t> frame(pixels.size(), 0xEE);
    ASSERT_NE(PixelsToBin(*codec_, pixels.data(), 1920, 4, 0xFF, frame.data()), nullptr);
    const size_t g = 1920 / 8 * 4;
    const uint8_t expected[8] = {0x80, 0x00, 0x80, 0x00, 0x00, 0x80, 0x00, 0x80};
    for (int k = 0; k < 8; ++k) {
        EXPECT_EQ(frame[k * g], expected[k]) << "plane " << k;
        EXPECT_EQ(frame[k * g + 1], 0) << "plane " << k;
    }

    // Mask 0x81: two planes, bit 7 first, bit 0 second.
    std::vector<uint8_t> two(2 * g, 0xEE);
    pixels[8] = 0x80;  // group 1, pixel 0: bit 7 only
    pixels[17] = 0x01;  // group 2, pixel 1: bit 0 only
    ASSERT_NE(PixelsToBin(*codec_, pixels.data(), 1920, 4, 0x81, two.data()), nullptr);
    EXPECT_EQ(two[0], 0x80);
    EXPECT_EQ(two[1], 0x80);
    EXPECT_EQ(two[2], 0x00);
    EXPECT_EQ(two[g + 0], 0x80);
    EXPECT_EQ(two[g + 1], 0x00);
    EXPECT_EQ(two[g + 2], 0x40);
}

TEST_P(BitplaneCodecTest, EveryMaskMatchesTheLayout) {
    // 67 x 3 = 201 groups: not a multiple of any vector width.
    for (int mask = 0; mask < 256; ++mask) {
        CheckBothWays(8 * 67, 3, static_cast<uint8_t>(mask), static_cast<uint32_t>(mask));
        if (HasFatalFailure()) return;
    }
}

TEST_P(BitplaneCodecTest, EveryTailLength) {
    // Group counts 1 to 200 on one row, and a few multi-row sizes, so that
    // every remainder of every vector step is met.
    for (int groups = 1; groups <= 200; ++groups) {
        for (uint8_t mask : {uint8_t{0xFF}, uint8_t{0x5A}, uint8_t{0x01}}) {
            CheckBothWays(8 * groups, 1, mask, static_cast<uint32_t>(groups));
            if (HasFatalFailure()) return;
        }
    }
    CheckBothWays(1920, 7, 0xFF, 7);
    CheckBothWays(912, 5, 0xF0, 8);
    CheckBothWays(8, 129, 0xC3, 9);
}

TEST_P(BitplaneCodecTest, HeightZeroWritesNothing) {
    std::vector<uint8_t> pixels(64, 1);
    Guarded bin(0);
    EXPECT_EQ(PixelsToBin(*codec_, pixels.data(), 64, 0, 0xFF, bin.data()), bin.data());
    EXPECT_TRUE(bin.GuardIntact());
    Guarded back(0);
    EXPECT_EQ(BinToPixels(*codec_, pixels.data(), 64, 0, 0xFF, back.data()), back.data());
    EXPECT_TRUE(back.GuardIntact());
    // Width 0 is a multiple of 8 too: nothing to do either.
    EXPECT_EQ(PixelsToBin(*codec_, pixels.data(), 0, 5, 0xFF, bin.data()), bin.data());
    EXPECT_TRUE(bin.GuardIntact());
}

TEST_P(BitplaneCodecTest, HeightOne) { CheckBothWays(1920, 1, 0xFF, 42); }

TEST_P(BitplaneCodecTest, MaskZero) {
    std::vector<uint8_t> pixels = Random(1920 * 2, 5);
    Guarded bin(0);
    EXPECT_EQ(PixelsToBin(*codec_, pixels.data(), 1920, 2, 0x00, bin.data()), bin.data());
    EXPECT_TRUE(bin.GuardIntact());
    Guarded back(pixels.size(), 0x77);
    EXPECT_EQ(BinToPixels(*codec_, pixels.data(), 1920, 2, 0x00, back.data()), back.data());
    EXPECT_EQ(back.Content(), std::vector<uint8_t>(pixels.size(), 0));
}

TEST_P(BitplaneCodecTest, FullHdRoundTrip) {
    const std::vector<uint8_t> pixels = Random(1920 * 1080, 11);
    std::vector<uint8_t> frame(2073600);
    ASSERT_NE(PixelsToBin(*codec_, pixels.data(), 1920, 1080, 0xFF, frame.data()), nullptr);
    std::vector<uint8_t> back(pixels.size());
    ASSERT_NE(BinToPixels(*codec_, frame.data(), 1920, 1080, 0xFF, back.data()), nullptr);
    EXPECT_EQ(back, pixels);

    // The second plane (bit 6) starts at byte 259,200.
    std::vector<uint8_t> bit6(259200);
    ASSERT_NE(PixelsToBin(*codec_, pixels.data(), 1920, 1080, 0x40, bit6.data()), nullptr);
    EXPECT_TRUE(std::equal(bit6.begin(), bit6.end(), frame.begin() + 259200));

    // With the top plane alone every pixel comes back as 0 or 128.
    std::vector<uint8_t> top(259200);
    ASSERT_NE(PixelsToBin(*codec_, pixels.data(), 1920, 1080, 0x80, top.data()), nullptr);
    ASSERT_NE(BinToPixels(*codec_, top.data(), 1920, 1080, 0x80, back.data()), nullptr);
    for (size_t i = 0; i < back.size(); ++i) ASSERT_EQ(back[i], pixels[i] & 0x80) << i;
}

TEST_P(BitplaneCodecTest, RefusalsWriteNothing) {
    struct Case {
        int32_t width, height;
    };
    const Case refused[] = {{1921, 1080}, {7, 1}, {-8, -8}, {-8, 1}, {8, -1}, {1920, -1080}};
    std::vector<uint8_t> pixels(4096, 9);
    for (const Case &c : refused) {
        Guarded bin(0);
        EXPECT_EQ(PixelsToBin(*codec_, pixels.data(), c.width, c.height, 0xFF, bin.data()), nullptr)
            << c.width << "x" << c.height;
        EXPECT_TRUE(bin.GuardIntact());
        Guarded back(0);
        EXPECT_EQ(BinToPixels(*codec_, pixels.data(), c.width, c.height, 0xFF, back.data()), nullptr)
            << c.width << "x" << c.height;
        EXPECT_TRUE(back.GuardIntact());
    }
    Guarded bin(0);
    EXPECT_EQ(PixelsToBin(*codec_, nullptr, 8, 1, 0xFF, bin.data()), nullptr);
    EXPECT_EQ(PixelsToBin(*codec_, pixels.data(), 8, 1, 0xFF, nullptr), nullptr);
    EXPECT_EQ(BinToPixels(*codec_, nullptr, 8, 1, 0xFF, bin.data()), nullptr);
    EXPECT_EQ(BinToPixels(*codec_, pixels.data(), 8, 1, 0xFF, nullptr), nullptr);
    EXPECT_TRUE(bin.GuardIntact());
}

std::vector<std::string> CodecNames() {
    std::vector<std::string> names;
    for (const BitplaneCodec &c : BitplaneCodecs()) names.emplace_back(c.name);
    return names;
}

INSTANTIATE_TEST_SUITE_P(Implementations, BitplaneCodecTest, ::testing::ValuesIn(CodecNames()),
                         [](const auto &info) { return info.param; });

TEST(BitplaneDispatch, TheExportsUseARunnableImplementation) {
    const BitplaneCodec &selected = SelectedBitplaneCodec();
    EXPECT_TRUE(selected.supported());
    ::testing::Test::RecordProperty("selected", selected.name);
    const std::vector<uint8_t> pixels = Random(1920 * 3, 3);
    std::vector<uint8_t> frame(pixels.size());
    ASSERT_EQ(pixel2bin(pixels.data(), 1920, 3, 0xFF, frame.data()), frame.data());
    EXPECT_EQ(frame, ExpectedFrame(pixels, 1920 / 8 * 3, 0xFF));
    std::vector<uint8_t> back(pixels.size());
    ASSERT_EQ(bin2pixel(frame.data(), 1920, 3, 0xFF, back.data()), back.data());
    EXPECT_EQ(back, pixels);
    EXPECT_EQ(pixel2bin(pixels.data(), 1921, 3, 0xFF, frame.data()), nullptr);
    EXPECT_EQ(bin2pixel(frame.data(), 1921, 3, 0xFF, back.data()), nullptr);
}

TEST(BitplaneDispatch, ThisArchitectureCarriesItsVectorImplementations) {
    std::vector<std::string> expected = {"reference", "swar"};
#if defined(__x86_64__)
    expected.insert(expected.end(), {"sse2", "avx2", "avx512bw", "avx512_gfni"});
#elif defined(__aarch64__)
    expected.push_back("neon");
#endif
    EXPECT_EQ(CodecNames(), expected);
    EXPECT_EQ(FindBitplaneCodec("no such"), nullptr);
    EXPECT_STREQ(BitplaneCodecs()[0].name, "reference");
}

}  // namespace
}  // namespace vek::image
