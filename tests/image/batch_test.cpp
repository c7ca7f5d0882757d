// Batch conversion of a folder into ".bin" frame files over the platform's
// directory search.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "image/image_internal.h"
#include "image_test_util.h"
#include "vek_dll.h"

namespace vek::image {
namespace {

using namespace vek::image::testing;

class BatchTest : public ::testing::Test {
protected:
    void SetUp() override {
        frames_ = dir_.path() / "frames";
        fs::create_directory(frames_);
        ASSERT_TRUE(cv::imwrite((frames_ / "a.bmp").string(), GrayPattern(1024, 768)));
        ASSERT_TRUE(cv::imwrite((frames_ / "b.png").string(), ColourPattern(640, 480)));
        WriteFile((frames_ / "notes.txt").string(), "notes\n");
        fs::create_directory(frames_ / "sub");
    }

    std::vector<std::string> Files(const fs::path &dir, const std::string &extension) const {
        std::vector<std::string> names;
        for (const auto &e : fs::directory_iterator(dir))
            if (e.path().extension() == extension) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    std::vector<uint8_t> Frame(const fs::path &image, int width, int height) const {
        std::vector<uint8_t> frame(static_cast<size_t>(width) * height);
        EXPECT_NE(GetGrayBinFormat(image.string().c_str(), width, height, 0xFF, frame.data()), nullptr);
        return frame;
    }

    void ExpectConverted(int width = 1024, int height = 768) const {
        EXPECT_EQ(Files(frames_, ".bin"), (std::vector<std::string>{"a.bmp.bin", "b.png.bin"}));
        EXPECT_EQ(ReadFile((frames_ / "a.bmp.bin").string()), Frame(frames_ / "a.bmp", width, height));
        EXPECT_EQ(ReadFile((frames_ / "b.png.bin").string()), Frame(frames_ / "b.png", width, height));
    }

    TempDir dir_;
    fs::path frames_;
};

TEST_F(BatchTest, ConvertsEveryImageBesideItsSource) {
    ASSERT_EQ(BatchImage2Bin((frames_.string() + "/").c_str(), 1024, 768), 1);
    ExpectConverted();
    EXPECT_EQ(fs::file_size(frames_ / "a.bmp.bin"), 786432u);
    EXPECT_FALSE(fs::exists(frames_ / "notes.txt.bin"));
    EXPECT_FALSE(fs::exists(frames_ / "sub.bin"));
}

TEST_F(BatchTest, WhatFollowsTheLastSeparatorIsIgnored) {
    ASSERT_EQ(BatchImage2Bin((frames_.string() + "/*.bmp").c_str(), 1024, 768), 1);
    ExpectConverted();  // the PNG too
}

TEST_F(BatchTest, BackslashIsASeparatorToo) {
    ASSERT_EQ(BatchImage2Bin((frames_.string() + "\\").c_str(), 1024, 768), 1);
    ExpectConverted();
    for (const auto &e : fs::directory_iterator(dir_.path()))
        EXPECT_EQ(e.path().filename().string().find('\\'), std::string::npos) << e.path();
}

TEST_F(BatchTest, WithoutTrailingSeparatorTheParentIsConverted) {
    ASSERT_TRUE(cv::imwrite((dir_.path() / "top.png").string(), GrayPattern(100, 100)));
    ASSERT_EQ(BatchImage2Bin(frames_.string().c_str(), 64, 32), 1);
    EXPECT_EQ(Files(dir_.path(), ".bin"), std::vector<std::string>{"top.png.bin"});
    EXPECT_EQ(ReadFile((dir_.path() / "top.png.bin").string()), Frame(dir_.path() / "top.png", 64, 32));
    EXPECT_TRUE(Files(frames_, ".bin").empty());
}

TEST_F(BatchTest, NamesWithoutSeparatorAndTheCurrentDirectory) {
    WorkingDir here(dir_.path());
    ASSERT_EQ(BatchImage2Bin("frames", 1024, 768), 1);  // the directory itself
    ExpectConverted();
    ASSERT_TRUE(cv::imwrite("cwd.bmp", GrayPattern(16, 16)));
    ASSERT_EQ(BatchImage2Bin("", 16, 16), 1);  // the current directory
    EXPECT_EQ(Files(".", ".bin"), std::vector<std::string>{"cwd.bmp.bin"});
}

TEST_F(BatchTest, OddNamesAndUnwritableOutputs) {
    ASSERT_TRUE(cv::imwrite((frames_ / "100%s%n.bmp").string(), GrayPattern(50, 50)));
    fs::create_directory(frames_ / "a.bmp.bin");  // the output name is taken by a directory
    ASSERT_EQ(BatchImage2Bin((frames_.string() + "/").c_str(), 1024, 768), 1);
    EXPECT_TRUE(fs::is_directory(frames_ / "a.bmp.bin"));
    EXPECT_EQ(ReadFile((frames_ / "100%s%n.bmp.bin").string()), Frame(frames_ / "100%s%n.bmp", 1024, 768));
    EXPECT_EQ(ReadFile((frames_ / "b.png.bin").string()), Frame(frames_ / "b.png", 1024, 768));
}

// Decision: a width that pixel2bin refuses converts nothing (no file holds
// unconverted bytes); the call still reports that the folder was searched.
TEST_F(BatchTest, WidthNotAMultipleOf8WritesNoFiles) {
    EXPECT_EQ(BatchImage2Bin((frames_.string() + "/").c_str(), 1020, 768), 1);
    EXPECT_TRUE(Files(frames_, ".bin").empty());
}

TEST_F(BatchTest, BadFoldersAndSizes) {
    EXPECT_EQ(BatchImage2Bin(nullptr, 1024, 768), 0);
    EXPECT_EQ(BatchImage2Bin((dir_.path() / "nowhere" / "").string().c_str(), 1024, 768), 0);
    fs::create_directory(dir_.path() / "empty");
    EXPECT_EQ(BatchImage2Bin((dir_.path() / "empty" / "").string().c_str(), 1024, 768), 0);
    const std::string folder = frames_.string() + "/";
    for (auto [w, h] : {std::pair{0, 768}, std::pair{1024, 0}, std::pair{-1024, 768}, std::pair{1024, -768},
                        std::pair{-8, -8}, std::pair{65536, 65536}, std::pair{46344, 46341}}) {
        EXPECT_EQ(BatchImage2Bin(folder.c_str(), w, h), 0) << w << "x" << h;
    }
    EXPECT_TRUE(Files(frames_, ".bin").empty());
}

TEST_F(BatchTest, PathLengthLimits) {
    // A folder path of 259 characters (with the trailing '/') is searched,
    // 260 and 261 are refused. Outputs whose name would pass 259 characters
    // are skipped: folder + "i.bin" fits only up to a 254-character folder.
    std::vector<uchar> bmp;
    ASSERT_TRUE(cv::imencode(".bmp", GrayPattern(8, 8), bmp));
    const std::string prefix = (dir_.path() / "").string();
    struct Case {
        size_t length;
        int result;
        bool written;
    };
    for (Case c : {Case{254, 1, true}, Case{255, 1, false}, Case{259, 1, false}, Case{260, 0, false},
                   Case{261, 0, false}}) {
        const std::string folder = prefix + std::string(c.length - prefix.size() - 1, static_cast<char>('a' + c.length % 26)) + "/";
        ASSERT_EQ(folder.size(), c.length);
        fs::create_directory(folder);
        std::ofstream(folder + "i", std::ios::binary).write(reinterpret_cast<const char *>(bmp.data()),
                                                             static_cast<std::streamsize>(bmp.size()));
        EXPECT_EQ(BatchImage2Bin(folder.c_str(), 8, 8), c.result) << c.length;
        EXPECT_EQ(fs::exists(folder + "i.bin"), c.written) << c.length;
    }
}

TEST(ListDirectory, SkipsDotEntriesAndKeepsEverythingElse) {
    TempDir dir;
    WriteFile(dir / "one", "1");
    WriteFile(dir / ".hidden", "h");
    fs::create_directory(dir.path() / "sub");
    std::vector<std::string> list = ListDirectory((dir.path() / "").string());
    std::sort(list.begin(), list.end());
    const std::string p = (dir.path() / "").string();
    EXPECT_EQ(list, (std::vector<std::string>{p + ".hidden", p + "one", p + "sub"}));
    EXPECT_TRUE(ListDirectory((dir.path() / "missing" / "").string()).empty());
}

}  // namespace
}  // namespace vek::image
