#include "patterns.hpp"

#include <cmath>
#include <cstdio>

namespace vektool {

int grayCodeBits(int width) {
    int bits = 0;
    while ((1 << bits) < width) ++bits;
    return bits;
}

std::vector<Pattern> structuredLight(int width, int height, int phaseSteps, int period) {
    std::vector<Pattern> out;
    const int bits = grayCodeBits(width);
    char name[32], label[64];
    for (int k = 0; k < bits; ++k) {
        const int bit = bits - 1 - k;
        cv::Mat row(1, width, CV_8UC1);
        for (int x = 0; x < width; ++x) {
            const int gray = x ^ (x >> 1);
            row.at<uint8_t>(0, x) = ((gray >> bit) & 1) ? 255 : 0;
        }
        std::snprintf(name, sizeof name, "gray-%02d", k);
        std::snprintf(label, sizeof label, "Gray code bit %d", bit);
        out.push_back({name, label, cv::repeat(row, height, 1), 0x80});
    }
    const double pi = std::acos(-1.0);
    for (int s = 0; s < phaseSteps; ++s) {
        cv::Mat row(1, width, CV_8UC1);
        for (int x = 0; x < width; ++x) {
            const double v = 127.5 + 127.5 * std::cos(2 * pi * x / period + 2 * pi * s / phaseSteps);
            row.at<uint8_t>(0, x) = static_cast<uint8_t>(std::lround(v));
        }
        std::snprintf(name, sizeof name, "phase-%d", s);
        std::snprintf(label, sizeof label, "phase shift %d/%d", s, phaseSteps);
        out.push_back({name, label, cv::repeat(row, height, 1), 0xFF});
    }
    out.push_back({"white", "white reference", cv::Mat(height, width, CV_8UC1, cv::Scalar(255)), 0x80});
    out.push_back({"black", "black reference", cv::Mat(height, width, CV_8UC1, cv::Scalar(0)), 0x80});
    return out;
}

}  // namespace vektool
