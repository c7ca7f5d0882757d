// The bit-plane layout and every implementation of pixel2bin / bin2pixel:
// each one that this processor runs must give the bytes that the layout
// defines, for every plane mask, every tail length and the empty image.
#include <gtest/gtest.h>

#include <bit>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "guarded_buffer.h"
#include "image/bitplane.h"
#include "vek_dll.h"

namespace vek::image {
namespace {

using testing::GuardedBuffer;

// The layout written out by hand: byte (bit b, group i) has bit 7 - j set to
// bit b of pixel 8i + j; planes from bit 7 down, only those in the mask.
std::vector<uint8_t> ExpectedFrame(const std::vector<uint8_t> &pixels, uint8_t mask) {
    std::vector<uint8_t> frame;
    for (int b = 7; b >= 0; --b) {
        if (!(mask & (1 << b))) continue;
        for (size_t i = 0; i < pixels.size() / 8; ++i) {
            uint8_t byte = 0;
            for (int j = 0; j < 8; ++j) byte |= static_cast<uint8_t>(((pixels[8 * i + j] >> b) & 1) << (7 - j));
            frame.push_back(byte);
        }
    }
    return frame;
}

std::vector<uint8_t> Random(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(n);
    for (auto &x : v) x = static_cast<uint8_t>(rng());
    return v;
}

class BitplaneCodecTest : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        codec_ = FindBitplaneCodec(GetParam());
        ASSERT_NE(codec_, nullptr);
        if (!codec_->supported()) GTEST_SKIP() << "this processor does not run the " << GetParam() << " implementation";
    }

    // Both directions against the layout for one size and mask (bin2pixel
    // gives the masked pixels back); nothing written past the end.
    void CheckBothWays(int32_t width, int32_t height, uint8_t mask, uint32_t seed) {
        SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height) + " mask " + std::to_string(mask));
        const std::vector<uint8_t> pixels = Random(static_cast<size_t>(width) * static_cast<size_t>(height), seed);
        std::vector<uint8_t> frame = ExpectedFrame(pixels, mask), masked = pixels;
        GuardedBuffer bin(frame.size());
        ASSERT_EQ(PixelsToBin(*codec_, pixels.data(), width, height, mask, bin.data()), bin.data());
        ASSERT_EQ(bin.Content(), frame);
        ASSERT_TRUE(bin.GuardIntact());
        frame.push_back(0);  // not null for mask 0
        GuardedBuffer back(pixels.size());
        ASSERT_EQ(BinToPixels(*codec_, frame.data(), width, height, mask, back.data()), back.data());
        for (uint8_t &p : masked) p &= mask;
        ASSERT_EQ(back.Content(), masked);
        ASSERT_TRUE(back.GuardIntact());
    }

    const BitplaneCodec *codec_ = nullptr;
};

// Every mask on 67 x 3 = 201 groups (not a multiple of any vector width);
// group counts 1 to 200 on one row and a few multi-row sizes, so that every
// remainder of every vector step is met.
TEST_P(BitplaneCodecTest, EveryMaskAndTailLengthMatchesTheLayout) {
    for (int mask = 0; mask < 256 && !HasFatalFailure(); ++mask)
        CheckBothWays(8 * 67, 3, static_cast<uint8_t>(mask), static_cast<uint32_t>(mask));
    for (int groups = 1; groups <= 200 && !HasFatalFailure(); ++groups)
        for (uint8_t mask : {0xFF, 0x5A, 0x01}) CheckBothWays(8 * groups, 1, mask, static_cast<uint32_t>(groups));
    for (auto [w, h, mask] : {std::tuple{1920, 1, 0xFF}, {1920, 7, 0xFF}, {912, 5, 0xF0}, {8, 129, 0xC3}})
        CheckBothWays(w, h, static_cast<uint8_t>(mask), static_cast<uint32_t>(h));
}

std::vector<std::string> CodecNames() {
    std::vector<std::string> names;
    for (const BitplaneCodec &c : BitplaneCodecs()) names.emplace_back(c.name);
    return names;
}

INSTANTIATE_TEST_SUITE_P(Implementations, BitplaneCodecTest, ::testing::ValuesIn(CodecNames()),
                         [](const auto &info) { return info.param; });

// Every implementation this processor runs: the empty image and mask 0 write
// nothing (bin2pixel with mask 0 gives zeros); bad sizes and null pointers
// are refused without a write.
TEST(BitplaneRefusals, EmptyAndRefusedSizes) {
    std::vector<uint8_t> pixels(4096, 9);
    for (const BitplaneCodec &codec : BitplaneCodecs()) {
        if (!codec.supported()) continue;
        SCOPED_TRACE(codec.name);
        GuardedBuffer out(0), zeros(1920 * 2, 0x77);
        for (auto [w, h, mask] : {std::tuple{64, 0, 0xFF}, {0, 5, 0xFF}, {1920, 2, 0x00}})
            EXPECT_EQ(PixelsToBin(codec, pixels.data(), w, h, static_cast<uint8_t>(mask), out.data()), out.data());
        EXPECT_EQ(BinToPixels(codec, pixels.data(), 1920, 2, 0x00, zeros.data()), zeros.data());
        EXPECT_EQ(zeros.Content(), std::vector<uint8_t>(zeros.size, 0));
        for (auto [w, h] : {std::pair{1921, 1080}, {7, 1}, {-8, -8}, {-8, 1}, {8, -1}, {1920, -1080}}) {
            EXPECT_EQ(PixelsToBin(codec, pixels.data(), w, h, 0xFF, out.data()), nullptr) << w << "x" << h;
            EXPECT_EQ(BinToPixels(codec, pixels.data(), w, h, 0xFF, out.data()), nullptr) << w << "x" << h;
        }
        EXPECT_EQ(PixelsToBin(codec, nullptr, 8, 1, 0xFF, out.data()), nullptr);
        EXPECT_EQ(PixelsToBin(codec, pixels.data(), 8, 1, 0xFF, nullptr), nullptr);
        EXPECT_EQ(BinToPixels(codec, nullptr, 8, 1, 0xFF, out.data()), nullptr);
        EXPECT_EQ(BinToPixels(codec, pixels.data(), 8, 1, 0xFF, nullptr), nullptr);
        EXPECT_TRUE(out.Untouched());
    }
}

// The exports use a runnable implementation (the one VEK_BITPLANE_KERNEL names
// when it runs here, else the last runnable one: the list goes from the
// slowest to the fastest), and this architecture carries its vector ones.
TEST(BitplaneDispatch, ExportsAndImplementationList) {
    const BitplaneCodec *fastest = nullptr;
    for (const BitplaneCodec &c : BitplaneCodecs())
        if (c.supported()) fastest = &c;
    EXPECT_TRUE(SelectedBitplaneCodec().supported());
    EXPECT_EQ(&SelectedBitplaneCodec(), &ChooseBitplaneCodec(std::getenv("VEK_BITPLANE_KERNEL")));
    for (const BitplaneCodec &c : BitplaneCodecs())
        EXPECT_EQ(&ChooseBitplaneCodec(c.name), c.supported() ? &c : fastest) << c.name;
    for (const char *name : {"no such", "", static_cast<const char *>(nullptr)})
        EXPECT_EQ(&ChooseBitplaneCodec(name), fastest);
    ::testing::Test::RecordProperty("selected", SelectedBitplaneCodec().name);
    const std::vector<uint8_t> pixels = Random(1920 * 3, 3);
    std::vector<uint8_t> frame(pixels.size()), back(pixels.size());
    ASSERT_EQ(pixel2bin(pixels.data(), 1920, 3, 0xFF, frame.data()), frame.data());
    ASSERT_EQ(bin2pixel(frame.data(), 1920, 3, 0xFF, back.data()), back.data());
    EXPECT_EQ(std::pair(frame, back), std::pair(ExpectedFrame(pixels, 0xFF), pixels));
    std::vector<std::string> expected = {"reference", "swar"};
#if defined(__x86_64__)
    expected.insert(expected.end(), {"sse2", "avx2", "avx2_gfni", "avx512bw", "avx512_gfni"});
#elif defined(__aarch64__)
    expected.push_back("neon");
#endif
    EXPECT_EQ(CodecNames(), expected);
    EXPECT_EQ(FindBitplaneCodec("no such"), nullptr);
}

}  // namespace
}  // namespace vek::image
