// Structured-light patterns for the demo: Gray-code column stripes, phase-
// shifted sinusoidal stripes, and white/black reference frames.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace vektool {

struct Pattern {
    std::string name;   // "gray-03"
    std::string label;  // "Gray code, bit 3"
    cv::Mat pixels;     // 8-bit gray, height x width
    uint8_t planeMask;  // planes to keep: 0x80 for binary patterns, 0xFF for gray ones
};

// Gray-code patterns for every bit of the column index (most significant
// first), `phaseSteps` sinusoids of `period` pixels shifted by 2*pi/phaseSteps,
// then an all-white and an all-black frame.
std::vector<Pattern> structuredLight(int width, int height, int phaseSteps, int period);

// Number of bits needed for `width` columns.
int grayCodeBits(int width);

}  // namespace vektool
