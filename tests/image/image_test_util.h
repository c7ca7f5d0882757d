// Helpers of the image tests: a temporary folder, files made in it, and the
// platform clock in virtual mode.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "platform/clock.h"

namespace vek::image::testing {

namespace fs = std::filesystem;

// A fresh folder under the system's temporary directory, removed with all
// its content at the end.
class TempDir {
public:
    TempDir() {
        std::string tmpl = (fs::temp_directory_path() / "vek-image-XXXXXX").string();
        if (mkdtemp(tmpl.data()) == nullptr) std::abort();
        path_ = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const fs::path &path() const { return path_; }
    std::string operator/(const std::string &name) const { return (path_ / name).string(); }

private:
    fs::path path_;
};

// Runs in another working directory and returns to the one before.
class WorkingDir {
public:
    explicit WorkingDir(const fs::path &dir) : previous_(fs::current_path()) { fs::current_path(dir); }
    ~WorkingDir() {
        std::error_code ec;
        fs::current_path(previous_, ec);
    }
    WorkingDir(const WorkingDir &) = delete;
    WorkingDir &operator=(const WorkingDir &) = delete;

private:
    fs::path previous_;
};

// The platform clock in virtual mode while it lives.
class VirtualClock {
public:
    VirtualClock() { platform::SetVirtualClock(true); }
    ~VirtualClock() { platform::SetVirtualClock(false); }
    VirtualClock(const VirtualClock &) = delete;
    VirtualClock &operator=(const VirtualClock &) = delete;
    uint64_t Now() const { return platform::ClockMs(); }
};

inline std::vector<uint8_t> ReadFile(const std::string &name) {
    std::ifstream in(name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void WriteFile(const std::string &name, const std::string &content) {
    std::ofstream(name, std::ios::binary) << content;
}

inline std::vector<uint8_t> Bytes(const cv::Mat &m) {
    cv::Mat c = m.isContinuous() ? m : m.clone();
    return {c.data, c.data + c.total() * c.elemSize()};
}

// A gray test image whose every pixel differs from its neighbours in a way
// that any shift, flip or resampling would show.
inline cv::Mat GrayPattern(int width, int height) {
    cv::Mat m(height, width, CV_8UC1);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) m.at<uint8_t>(y, x) = static_cast<uint8_t>((x * 7 + y * 13 + (x * y) % 31) & 0xFF);
    return m;
}

inline cv::Mat ColourPattern(int width, int height) {
    cv::Mat m(height, width, CV_8UC3);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            m.at<cv::Vec3b>(y, x) = cv::Vec3b(static_cast<uint8_t>(x * 3 + y), static_cast<uint8_t>(x + y * 5),
                                              static_cast<uint8_t>((x ^ y) * 11));
    return m;
}

// A buffer of n bytes followed by guard bytes; every byte starts as `fill`.
struct GuardedBuffer {
    static constexpr size_t kGuard = 64;
    std::vector<uint8_t> bytes;
    size_t size;
    uint8_t fill;
    explicit GuardedBuffer(size_t n, uint8_t f = 0xCD) : bytes(n + kGuard, f), size(n), fill(f) {}
    uint8_t *data() { return bytes.data(); }
    std::vector<uint8_t> Content() const { return {bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(size)}; }
    bool Untouched() const {
        for (uint8_t b : bytes)
            if (b != fill) return false;
        return true;
    }
    bool GuardIntact() const {
        for (size_t i = size; i < bytes.size(); ++i)
            if (bytes[i] != fill) return false;
        return true;
    }
};

}  // namespace vek::image::testing
