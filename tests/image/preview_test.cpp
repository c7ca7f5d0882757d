// The preview windows of ImageAddSerialNumber ("mainWin") and TestMe ("test
// windows title"). This program runs under a virtual X server, where the
// windows must appear with their exact titles, and with no display or a
// display that no server answers, where they are skipped and nothing aborts
// (VEK_TEST_WINDOWS=expected or none, set by the test registration). The
// pauses happen in every case (the files are checked in stamp_test and batch_test).
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include <opencv2/imgcodecs.hpp>

#include "image/image_internal.h"
#include "image_test_util.h"
#include "vek_dll.h"

namespace vek::image {
namespace {

using namespace vek::image::testing;

// Whether the X server shows a window of exactly this title.
bool WindowShown(const std::string &title) {
    return std::system(("xwininfo -root -tree 2>/dev/null | grep -qF '\"" + title + "\"'").c_str()) == 0;
}

class PreviewTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char *mode = std::getenv("VEK_TEST_WINDOWS");
        mode_ = mode == nullptr ? "" : mode;
        if (mode_ == "expected" && std::system("command -v xwininfo >/dev/null 2>&1") != 0)
            GTEST_SKIP() << "xwininfo (x11-utils) is not installed: cannot see the windows";
    }
    void ExpectWindow(const std::string &title) {
        if (mode_ == "expected") {
            EXPECT_TRUE(PreviewAvailable());
            EXPECT_TRUE(WindowShown(title)) << "no window titled \"" << title << "\"";
        } else if (mode_ == "none") {
            EXPECT_FALSE(PreviewAvailable());
        }
    }
    std::string mode_;  // "expected", "none", or unknown
    TempDir dir_;
    VirtualClock clock_;
};

TEST_F(PreviewTest, StampedCopiesAreShownInMainWin) {
    ASSERT_TRUE(cv::imwrite(dir_ / "logo.png", ColourPattern(320, 240)));
    EXPECT_FALSE(mode_ == "expected" && WindowShown("mainWin"));  // not there before the call
    const uint64_t start = clock_.Now();
    ASSERT_EQ(ImageAddSerialNumber((dir_ / "logo.png").c_str(), 640, 480, 2), 1);
    EXPECT_EQ(clock_.Now() - start, 40u);
    ExpectWindow("mainWin");
}

TEST_F(PreviewTest, TestPatternsAreShownInTheirWindow) {
    WorkingDir here(dir_.path());
    const uint64_t start = clock_.Now();
    EXPECT_EQ(TestMe(), 0);
    EXPECT_EQ(clock_.Now() - start, 2000u);
    ExpectWindow("test windows title");
}

}  // namespace
}  // namespace vek::image
