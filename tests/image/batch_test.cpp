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
        fs::create_directory(frames_ / "sub");
        ASSERT_TRUE(cv::imwrite((frames_ / "a.bmp").string(), GrayPattern(1024, 768)));
        ASSERT_TRUE(cv::imwrite((frames_ / "b.png").string(), ColourPattern(640, 480)));
        ASSERT_TRUE(cv::imwrite((dir_.path() / "top.png").string(), GrayPattern(100, 100)));
        WriteFile((frames_ / "notes.txt").string(), "notes\n");
    }
    static std::vector<std::string> Bins(const fs::path &dir) {
        std::vector<std::string> names;
        for (const auto &e : fs::directory_iterator(dir))
            if (e.path().extension() == ".bin") names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    // Every ".bin" in `dir` holds its source's frame at width x height.
    static void ExpectFrames(const fs::path &dir, int width, int height) {
        for (const std::string &bin : Bins(dir)) {
            const fs::path source = dir / bin.substr(0, bin.size() - 4);
            std::vector<uint8_t> frame(static_cast<size_t>(width) * height);
            ASSERT_NE(GetGrayBinFormat(source.string().c_str(), width, height, 0xFF, frame.data()), nullptr) << source;
            EXPECT_EQ(ReadFile((dir / bin).string()), frame) << bin;
        }
    }
    TempDir dir_;
    fs::path frames_;
};

// What follows the last separator ('/' or '\') is ignored: the folder before
// it is converted, every image beside its source, nothing else. A name with
// no separator is that directory; the empty name is the current one.
TEST_F(BatchTest, ConvertsEveryImageBesideItsSource) {
    const std::vector<std::string> both = {"a.bmp.bin", "b.png.bin"}, top = {"top.png.bin"};
    struct Case {
        std::string folder;
        fs::path converted;
        const std::vector<std::string> &bins;
    };
    WorkingDir here(dir_.path());
    const Case cases[] = {
        {frames_.string() + "/", frames_, both},  {frames_.string() + "/*.bmp", frames_, both},
        {frames_.string() + "\\", frames_, both}, {"frames", frames_, both},
        {frames_.string(), dir_.path(), top},     {"", dir_.path(), top},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.folder);
        ASSERT_EQ(BatchImage2Bin(c.folder.c_str(), 64, 32), 1);
        EXPECT_EQ(Bins(c.converted), c.bins);
        ExpectFrames(c.converted, 64, 32);
        for (const auto &e : fs::recursive_directory_iterator(dir_.path()))
            if (e.path().extension() == ".bin") fs::remove(e.path());
    }
    ASSERT_EQ(BatchImage2Bin("frames/", 1024, 768), 1);
    EXPECT_EQ(fs::file_size(frames_ / "a.bmp.bin"), 786432u);
    ExpectFrames(frames_, 1024, 768);
}

TEST_F(BatchTest, OddNamesAndUnwritableOutputs) {
    ASSERT_TRUE(cv::imwrite((frames_ / "100%s%n.bmp").string(), GrayPattern(50, 50)));
    fs::create_directory(frames_ / "a.bmp.bin");  // the output name is taken by a directory
    ASSERT_EQ(BatchImage2Bin((frames_.string() + "/").c_str(), 1024, 768), 1);
    EXPECT_TRUE(fs::is_directory(frames_ / "a.bmp.bin"));
    fs::remove(frames_ / "a.bmp.bin");
    EXPECT_EQ(Bins(frames_), (std::vector<std::string>{"100%s%n.bmp.bin", "b.png.bin"}));
    ExpectFrames(frames_, 1024, 768);
}

// Writes that fail (here: files may not grow past 50000 bytes, as on a full
// disk) leave no file cut short; the results stay as they are.
TEST_F(BatchTest, AFullDiskLeavesNoPartialFiles) {
    const std::string source = (frames_ / "a.bmp").string();
    {
        const FileSizeLimit full(50000);
        EXPECT_EQ(BatchImage2Bin((frames_.string() + "/").c_str(), 1024, 768), 1);
        EXPECT_EQ(ImageAddSerialNumber(source.c_str(), 1024, 768, 1), 1);
    }
    EXPECT_TRUE(Bins(frames_).empty());
    EXPECT_FALSE(fs::exists(frames_ / "a_00001.bmp"));
}

// Decision: a width that pixel2bin refuses converts nothing (no file holds
// unconverted bytes); the call still reports that the folder was searched.
TEST_F(BatchTest, WidthNotAMultipleOf8WritesNoFiles) {
    EXPECT_EQ(BatchImage2Bin((frames_.string() + "/").c_str(), 1020, 768), 1);
    EXPECT_TRUE(Bins(frames_).empty());
}

TEST_F(BatchTest, BadFoldersAndSizes) {
    EXPECT_EQ(BatchImage2Bin(nullptr, 1024, 768), 0);
    EXPECT_EQ(BatchImage2Bin((dir_.path() / "nowhere" / "").string().c_str(), 1024, 768), 0);
    fs::create_directory(dir_.path() / "empty");
    EXPECT_EQ(BatchImage2Bin((dir_.path() / "empty" / "").string().c_str(), 1024, 768), 0);
    for (auto [w, h] : {std::pair{0, 768}, std::pair{1024, 0}, std::pair{-1024, 768}, std::pair{1024, -768},
                        std::pair{-8, -8}, std::pair{65536, 65536}, std::pair{46344, 46341}})
        EXPECT_EQ(BatchImage2Bin((frames_.string() + "/").c_str(), w, h), 0) << w << "x" << h;
    EXPECT_TRUE(Bins(frames_).empty());
}

// A folder path of 259 characters (with the trailing '/') is searched, 260
// and 261 are refused. Outputs whose name would pass 259 characters are
// skipped: folder + "i.bin" fits only up to a 254-character folder.
TEST_F(BatchTest, PathLengthLimits) {
    std::vector<uchar> bmp;
    ASSERT_TRUE(cv::imencode(".bmp", GrayPattern(8, 8), bmp));
    const std::string prefix = (dir_.path() / "").string();
    for (auto [length, result, written] :
         {std::tuple{254u, 1, true}, std::tuple{255u, 1, false}, std::tuple{259u, 1, false}, std::tuple{260u, 0, false},
          std::tuple{261u, 0, false}}) {
        const std::string folder =
            prefix + std::string(length - prefix.size() - 1, static_cast<char>('a' + length % 26)) + "/";
        fs::create_directory(folder);
        std::ofstream(folder + "i", std::ios::binary)
            .write(reinterpret_cast<const char *>(bmp.data()), static_cast<std::streamsize>(bmp.size()));
        EXPECT_EQ(BatchImage2Bin(folder.c_str(), 8, 8), result) << length;
        EXPECT_EQ(fs::exists(folder + "i.bin"), written) << length;
    }
}

}  // namespace
}  // namespace vek::image
