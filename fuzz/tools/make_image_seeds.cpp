// Writes image seeds of the formats OpenCV encodes into
// fuzz/corpus/image_getters_fuzz/, each prefixed with the target's size and
// mask bytes (see image_getters_fuzz.cpp). Not part of the build:
//   g++ -std=c++20 make_image_seeds.cpp $(pkg-config --cflags --libs opencv4) -o /tmp/make_image_seeds
//   /tmp/make_image_seeds fuzz/corpus/image_getters_fuzz
#include <cstdio>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>

int main(int argc, char **argv) {
    if (argc != 2) return 2;
    const std::string dir = argv[1];
    cv::Mat gray(8, 16, CV_8UC1), colour(8, 16, CV_8UC3), deep(4, 8, CV_16UC1), real(4, 8, CV_32FC1);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 16; ++x) {
            gray.at<uint8_t>(y, x) = static_cast<uint8_t>(x * 16 + y);
            colour.at<cv::Vec3b>(y, x) =
                cv::Vec3b(static_cast<uint8_t>(y * 30), static_cast<uint8_t>(x * 15), x < 8 ? 255 : 0);
        }
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 8; ++x) {
            deep.at<uint16_t>(y, x) = static_cast<uint16_t>(x * 8000 + y);
            real.at<float>(y, x) = static_cast<float>(x) / 8.0f;
        }
    struct Seed {
        const char *name, *ext;
        const cv::Mat &image;
    } seeds[] = {{"png-gray", ".png", gray},    {"png-rgb", ".png", colour},   {"png-16bit", ".png", deep},
                 {"jpeg-gray", ".jpg", gray},   {"jpeg-rgb", ".jpg", colour},  {"tiff-rgb", ".tiff", colour},
                 {"tiff-16bit", ".tiff", deep}, {"webp-rgb", ".webp", colour}, {"sunras", ".ras", gray},
                 {"pfm", ".pfm", real},         {"hdr", ".hdr", colour}};
    for (const Seed &s : seeds) {
        std::vector<uint8_t> bytes;
        try {
            if (!cv::imencode(s.ext, s.image, bytes)) continue;
        } catch (const cv::Exception &) {
            continue;  // this OpenCV has no encoder for it
        }
        // Size 16 x 8 (stored as offsets 15 and 7 from 1), mask 0xFF, at the end.
        const uint8_t tail[] = {0xFF, 7, 15};
        std::FILE *f = std::fopen((dir + "/" + s.name).c_str(), "wb");
        if (f == nullptr) return 1;
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fwrite(tail, 1, sizeof tail, f);
        std::fclose(f);
    }
    return 0;
}
