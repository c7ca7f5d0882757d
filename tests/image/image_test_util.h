// Helpers of the image tests: a temporary folder, files made in it, test
// pictures and the platform clock in virtual mode; guarded buffers come from
// guarded_buffer.h.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "guarded_buffer.h"
#include "host_environment.h"
#include "platform/clock.h"

namespace vek::image::testing {

namespace fs = std::filesystem;

// A fresh folder under the system's temporary directory, removed with its content.
struct TempDir {
    const fs::path dir = vektest::MakeScratchDirectory("vek-image-");
    std::error_code ignored;
    TempDir() {
        if (dir.empty()) std::abort();
    }
    ~TempDir() { fs::remove_all(dir, ignored); }
    const fs::path &path() const { return dir; }
    std::string operator/(const std::string &name) const { return (dir / name).string(); }
};

// Runs in another working directory and returns to the one before.
struct WorkingDir {
    fs::path previous = fs::current_path();
    std::error_code ignored;
    explicit WorkingDir(const fs::path &dir) { fs::current_path(dir); }
    ~WorkingDir() { fs::current_path(previous, ignored); }
};

// The platform clock in virtual mode while it lives.
struct VirtualClock {
    VirtualClock() { platform::SetVirtualClock(true); }
    ~VirtualClock() { platform::SetVirtualClock(false); }
    uint64_t Now() const { return platform::ClockMs(); }
};

inline std::vector<uint8_t> ReadFile(const std::string &name) {
    std::ifstream in(name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Text, or the bytes of an encoded image, under any name.
inline void WriteFile(const std::string &name, std::string_view content) {
    std::ofstream(name, std::ios::binary) << content;
}

// The names in `dir` that end in `extension`, sorted.
inline std::vector<std::string> Names(const fs::path &dir, const std::string &extension = "") {
    std::vector<std::string> names;
    for (const auto &e : fs::directory_iterator(dir))
        if (e.path().filename().string().ends_with(extension)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

inline cv::Mat Resized(const cv::Mat &m, int width, int height) {
    cv::Mat out;
    cv::resize(m, out, cv::Size(width, height), 0, 0, cv::INTER_LINEAR);
    return out;
}

// The bytes of a continuous matrix.
inline std::vector<uint8_t> Bytes(const cv::Mat &m) { return {m.datastart, m.dataend}; }

// Gray and colour pictures where any shift, flip or resampling shows.
inline cv::Mat GrayPattern(int width, int height) {
    cv::Mat m(height, width, CV_8UC1);
    m.forEach<uint8_t>(
        [](uint8_t &v, const int *p) { v = static_cast<uint8_t>(p[1] * 7 + p[0] * 13 + (p[1] * p[0]) % 31); });
    return m;
}

inline cv::Mat ColourPattern(int width, int height) {
    cv::Mat m(height, width, CV_8UC3);
    m.forEach<cv::Vec3b>([](cv::Vec3b &v, const int *p) {
        const int y = p[0], x = p[1];
        v = cv::Vec3b(static_cast<uint8_t>(x * 3 + y), static_cast<uint8_t>(x + y * 5),
                      static_cast<uint8_t>((x ^ y) * 11));
    });
    return m;
}

}  // namespace vek::image::testing
