// What the image functions give for a fixed set of inputs, one line each:
// the result and a hash of every byte they wrote (pixels, frames, files).
// Run on Linux and under Wine, the two listings must be the same
// (tools/windows/compare-image-outputs.sh). The inputs are encoded here by
// OpenCV, and their own hashes are listed too.
//
//   image_outputs FOLDER      (an empty scratch folder)
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "image/low_depth_bmp.h"
#include "image_test_util.h"
#include "vek_dll.h"
#include "vek_files.h"

namespace fs = std::filesystem;
using vek::image::testing::ColourPattern;
using vek::image::testing::GrayPattern;

namespace {

uint64_t Hash(const uint8_t *data, size_t size, uint64_t hash = 0xcbf29ce484222325u) {
    for (size_t i = 0; i < size; ++i) hash = (hash ^ data[i]) * 0x100000001b3u;
    return hash;
}

std::vector<uint8_t> Contents(const fs::path &file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void Put(const fs::path &file, const std::vector<uint8_t> &bytes) {
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<uint8_t> Encoded(const char *extension, const cv::Mat &image, const std::vector<int> &params = {}) {
    std::vector<uint8_t> bytes;
    if (!cv::imencode(extension, image, bytes, params)) std::fprintf(stderr, "cannot encode %s\n", extension);
    return bytes;
}

// The files of the folder whose names end in `suffix`, sorted, hashed with their names.
std::string FilesHash(const fs::path &dir, const std::string &suffix) {
    std::vector<std::string> names;
    for (const auto &entry : fs::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (name.size() >= suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
            names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    uint64_t hash = Hash(nullptr, 0);
    for (const std::string &name : names) {
        const std::vector<uint8_t> bytes = Contents(dir / name);
        hash = Hash(reinterpret_cast<const uint8_t *>(name.data()), name.size(), hash);
        hash = Hash(bytes.data(), bytes.size(), hash);
    }
    char text[64];
    std::snprintf(text, sizeof text, "%zu files %016llx", names.size(), static_cast<unsigned long long>(hash));
    return text;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        return 2;
    }
    const fs::path dir = argv[1], in = dir / "in";
    fs::create_directories(in);
    const cv::Mat gray = GrayPattern(640, 360), colour = ColourPattern(320, 240);
    cv::Mat deep(96, 128, CV_16UC1), radiance;
    deep.forEach<uint16_t>([](uint16_t &v, const int *p) { v = static_cast<uint16_t>(p[1] * 683 + p[0] * 1021); });
    colour.convertTo(radiance, CV_32FC3, 1.0 / 97);
    const std::vector<uint8_t> photo = Encoded(".jpg", colour, {cv::IMWRITE_JPEG_QUALITY, 90}),
                               png = Encoded(".png", colour);
    const std::vector<std::pair<std::string, std::vector<uint8_t>>> inputs = {
        {"gray.bmp", Encoded(".bmp", gray)},
        {"colour.png", png},
        {"photo.jpg", photo},
        {"progressive.jpg", Encoded(".jpg", colour, {cv::IMWRITE_JPEG_PROGRESSIVE, 1})},
        {"gray.jpg", Encoded(".jpg", gray, {cv::IMWRITE_JPEG_QUALITY, 70})},
        {"deep.png", Encoded(".png", deep)},
        {"deep.tif", Encoded(".tif", deep)},
        {"colour.tif", Encoded(".tif", colour, {cv::IMWRITE_TIFF_COMPRESSION, 5})},
        {"gray.pgm", Encoded(".pgm", gray)},
        {"colour.ppm", Encoded(".ppm", colour)},
        {"colour.ras", Encoded(".ras", colour)},
        {"radiance.hdr", Encoded(".hdr", radiance)},
        {"radiance.pfm", Encoded(".pfm", radiance)},
        {"mono.bmp", vek::image::EncodeLowDepthBmp(gray, 1)},
        {"sixteen.bmp", vek::image::EncodeLowDepthBmp(colour, 4)},
        {"cut.jpg", std::vector<uint8_t>(photo.begin(), photo.begin() + static_cast<long>(photo.size() / 2))},
        {"cut.png", std::vector<uint8_t>(png.begin(), png.end() - 1)},
        {"riff.webp", {'R', 'I', 'F', 'F', 8, 0, 0, 0, 'W', 'E', 'B', 'P', 'V', 'P', '8', ' '}},
    };
    for (const auto &[name, bytes] : inputs) {
        Put(in / name, bytes);
        std::printf("input %s: %zu bytes %016llx\n", name.c_str(), bytes.size(),
                    static_cast<unsigned long long>(Hash(bytes.data(), bytes.size())));
    }

    const std::pair<int, int> sizes[] = {{640, 360}, {1920, 1080}, {100, 75}, {13, 7}};
    for (const auto &[name, bytes] : inputs) {
        const std::string file = (in / name).string();
        for (const auto &[w, h] : sizes) {
            const size_t n = static_cast<size_t>(w) * static_cast<size_t>(h);
            std::vector<uint8_t> a(n), r(n), g(n), b(n);
            const bool grayOk = GetGrayPixelFormat(file.c_str(), w, h, a.data()) != nullptr;
            const int rgbOk = GetRGBPixelFormat(file.c_str(), w, h, r.data(), g.data(), b.data());
            uint64_t hash = Hash(a.data(), n);
            hash = Hash(b.data(), n, Hash(g.data(), n, Hash(r.data(), n, hash)));
            std::fill(a.begin(), a.end(), 0);
            const bool binOk = GetGrayBinFormat(file.c_str(), w, h, 0x5A, a.data()) != nullptr;
            hash = Hash(a.data(), n, hash);
            std::printf("get %s %dx%d: %d %d %d %016llx\n", name.c_str(), w, h, grayOk, rgbOk, binOk,
                        static_cast<unsigned long long>(hash));
        }
    }
    for (const char *name : {"colour.png", "photo.jpg", "mono.bmp", "sixteen.bmp", "gray.pgm", "deep.tif"}) {
        const fs::path stamped = dir / "stamped";
        fs::create_directories(stamped);
        fs::copy_file(in / name, stamped / name, fs::copy_options::overwrite_existing);
        const int result = ImageAddSerialNumber((stamped / name).string().c_str(), 800, 600, 2);
        std::printf("stamp %s: %d %s\n", name, result, FilesHash(stamped, ".bmp").c_str());
        fs::remove_all(stamped);
    }
    const int batch = BatchImage2Bin((in / "").string().c_str(), 912, 1140);
    std::printf("batch: %d %s\n", batch, FilesHash(in, ".bin").c_str());
    const fs::path patterns = dir / "patterns";
    fs::create_directories(patterns);
    const int written = VekWriteTestPatterns((patterns / "").string().c_str());
    std::printf("patterns: %d %s\n", written, FilesHash(patterns, "").c_str());
    return 0;
}
