// What the image functions give for a fixed set of inputs, one line each: the
// result and a hash of every byte written (pixels, frames, files). The Linux
// and Windows listings must be the same (tools/windows/compare-image-outputs.sh).
// The inputs are encoded here by OpenCV; their hashes are listed too.
//   image_outputs FOLDER      (a scratch folder)
#include <cstdio>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "image/low_depth_bmp.h"
#include "image_test_util.h"
#include "vek_dll.h"
#include "vek_files.h"

using namespace vek::image::testing;
using Bytes8 = std::vector<uint8_t>;

namespace {

unsigned long long Hash(const Bytes8 &data, unsigned long long hash = 0xcbf29ce484222325u) {
    for (uint8_t byte : data) hash = (hash ^ byte) * 0x100000001b3u;
    return hash;
}

Bytes8 Encoded(const char *extension, const cv::Mat &image, const std::vector<int> &params = {}) {
    Bytes8 bytes;
    cv::imencode(extension, image, bytes, params);
    return bytes;
}

// The names and contents of the folder's files whose names end in `suffix`.
std::string FilesHash(const fs::path &dir, const std::string &suffix) {
    std::set<std::string> names;
    for (const auto &entry : fs::directory_iterator(dir))
        if (entry.path().string().ends_with(suffix)) names.insert(entry.path().filename().string());
    unsigned long long hash = 0;
    for (const std::string &name : names)
        hash = Hash(ReadFile((dir / name).string()), Hash({name.begin(), name.end()}, hash));
    return std::to_string(names.size()) + " files " + std::to_string(hash);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) return 2;
    const fs::path dir = argv[1], in = dir / "in";
    fs::create_directories(in);
    const cv::Mat gray = GrayPattern(640, 360), colour = ColourPattern(320, 240);
    cv::Mat deep(96, 128, CV_16UC1), radiance;
    deep.forEach<uint16_t>([](uint16_t &v, const int *p) { v = static_cast<uint16_t>(p[1] * 683 + p[0] * 1021); });
    colour.convertTo(radiance, CV_32FC3, 1.0 / 97);
    const Bytes8 photo = Encoded(".jpg", colour, {cv::IMWRITE_JPEG_QUALITY, 90}), png = Encoded(".png", colour);
    const std::vector<std::pair<std::string, Bytes8>> inputs = {
        {"gray.bmp", Encoded(".bmp", gray)},
        {"colour.png", png},
        {"photo.jpg", photo},
        {"progressive.jpg", Encoded(".jpg", colour, {cv::IMWRITE_JPEG_PROGRESSIVE, 1})},
        {"gray.jpg", Encoded(".jpg", gray, {cv::IMWRITE_JPEG_QUALITY, 70})},
        {"deep.png", Encoded(".png", deep)},
        {"deep.tif", Encoded(".tif", deep)},
        {"colour.tif", Encoded(".tif", colour, {cv::IMWRITE_TIFF_COMPRESSION, 5})},
        {"gray.pgm", Encoded(".pgm", gray)},
        {"colour.ras", Encoded(".ras", colour)},
        {"radiance.hdr", Encoded(".hdr", radiance)},
        {"radiance.pfm", Encoded(".pfm", radiance)},
        {"mono.bmp", vek::image::EncodeLowDepthBmp(gray, 1)},
        {"sixteen.bmp", vek::image::EncodeLowDepthBmp(colour, 4)},
        {"cut.jpg", Bytes8(photo.begin(), photo.begin() + static_cast<long>(photo.size() / 2))},
        {"cut.png", Bytes8(png.begin(), png.end() - 1)},
        {"riff.webp", {'R', 'I', 'F', 'F', 8, 0, 0, 0, 'W', 'E', 'B', 'P', 'V', 'P', '8', ' '}},
    };
    for (const auto &[name, bytes] : inputs) {
        WriteFile((in / name).string(), std::string_view(reinterpret_cast<const char *>(bytes.data()), bytes.size()));
        std::printf("input %s: %zu bytes %llu\n", name.c_str(), bytes.size(), Hash(bytes));
    }
    for (const auto &[name, bytes] : inputs) {
        const std::string file = (in / name).string();
        for (const auto &[w, h] : {std::pair{640, 360}, {1920, 1080}, {100, 75}, {13, 7}}) {
            const size_t n = static_cast<size_t>(w) * static_cast<size_t>(h);
            Bytes8 a(n), r(n), g(n), b(n), bin(n);
            const bool grayOk = GetGrayPixelFormat(file.c_str(), w, h, a.data()) != nullptr,
                       binOk = GetGrayBinFormat(file.c_str(), w, h, 0x5A, bin.data()) != nullptr;
            const int rgbOk = GetRGBPixelFormat(file.c_str(), w, h, r.data(), g.data(), b.data());
            std::printf("get %s %dx%d: %d %d %d %llu\n", name.c_str(), w, h, grayOk, rgbOk, binOk,
                        Hash(bin, Hash(b, Hash(g, Hash(r, Hash(a))))));
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
    std::printf("batch: %d %s\n", BatchImage2Bin((in / "").string().c_str(), 912, 1140), FilesHash(in, ".bin").c_str());
    fs::create_directories(dir / "patterns");
    std::printf("patterns: %d %s\n", VekWriteTestPatterns((dir / "patterns" / "").string().c_str()),
                FilesHash(dir / "patterns", "").c_str());
}
