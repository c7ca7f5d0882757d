// Serial-number stamping on arbitrary source bytes: the BMP depth probe
// (which reads the source's header first), OpenCV's decoders, the stamping
// and the BMP writers (8-bit through OpenCV, and the 1-bit and 4-bit one).
//
// Input (read with FuzzedDataProvider, laid out as image_getters_fuzz's so
// that the corpora serve both): the copies' width and height (1 to 64 each),
// one byte whose low bit gives the copy count (1 or 2); the rest is the
// source file, written to a temporary "input.bmp" and stamped by name.
// Checks: no access out of bounds and no leak (ASan); the call returns 1;
// the copies written are numbered from 1 without gaps, each a whole BMP of
// the requested size that OpenCV reads back; nothing else is written.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "fuzz_common.h"
#include "vek_dll.h"

namespace {

std::string g_dir, g_file;

std::string CopyName(int serial) {
    char name[32];
    std::snprintf(name, sizeof name, "/input_%05d.bmp", serial);
    return g_dir + name;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***argv) {
    if (std::getenv("OPENCV_IO_MAX_IMAGE_PIXELS") == nullptr) {
        setenv("OPENCV_IO_MAX_IMAGE_PIXELS", "1048576", 1);
        execv("/proc/self/exe", *argv);
        vekfuzz::Finding("cannot restart with the decoder limit set");
    }
    unsetenv("DISPLAY");  // no preview windows
    unsetenv("WAYLAND_DISPLAY");
    VekSimSetVirtualClock(1);  // the pause after each copy costs nothing
    g_dir = vekfuzz::WorkDirectory("stamp-fuzz");
    g_file = g_dir + "/input.bmp";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    const int32_t width = in.ConsumeIntegralInRange<int32_t>(1, 64);
    const int32_t height = in.ConsumeIntegralInRange<int32_t>(1, 64);
    const int32_t copies = 1 + (in.ConsumeIntegral<uint8_t>() & 1);
    const std::vector<uint8_t> file = in.ConsumeRemainingBytes<uint8_t>();
    {
        std::FILE *f = std::fopen(g_file.c_str(), "wb");
        if (f == nullptr) vekfuzz::Finding("cannot write the source file");
        if (!file.empty() && std::fwrite(file.data(), 1, file.size(), f) != file.size())
            vekfuzz::Finding("short write");
        std::fclose(f);
    }
    VEK_FUZZ_CHECK(ImageAddSerialNumber(g_file.c_str(), width, height, copies) == 1);
    bool gap = false;
    for (int serial = 1; serial <= 2; ++serial) {
        const std::string copy = CopyName(serial);
        if (access(copy.c_str(), F_OK) != 0) {
            gap = true;
            continue;
        }
        VEK_FUZZ_CHECK(!gap && serial <= copies);
        const cv::Mat back = cv::imread(copy, cv::IMREAD_UNCHANGED);
        VEK_FUZZ_CHECK(back.cols == width && back.rows == height);
        std::remove(copy.c_str());
    }
    return 0;
}
