#include "progress.hpp"

#include <cstdio>

namespace vektool {

std::string humanBytes(double bytes) {
    const char *units[] = {"B", "kB", "MB", "GB"};
    int u = 0;
    while (bytes >= 1000.0 && u < 3) {
        bytes /= 1000.0;
        ++u;
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, u == 0 ? "%.0f %s" : "%.1f %s", bytes, units[u]);
    return buf;
}

Progress::Progress(bool enabled, std::string label, uint64_t totalBytes)
    : enabled_(enabled),
      label_(std::move(label)),
      total_(totalBytes),
      start_(std::chrono::steady_clock::now()),
      lastDraw_(start_) {
    if (enabled_) draw(false);
}

Progress::~Progress() {
    // A bar interrupted by an error still ends its line.
    if (enabled_ && !finished_) {
        std::fputs("\n", stderr);
        std::fflush(stderr);
    }
}

double Progress::seconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

double Progress::bytesPerSecond() const {
    double s = seconds();
    return s > 0 ? static_cast<double>(done_) / s : 0.0;
}

void Progress::update(uint64_t doneBytes) {
    done_ = doneBytes;
    if (!enabled_) return;
    auto now = std::chrono::steady_clock::now();
    if (now - lastDraw_ < std::chrono::milliseconds(50) && done_ < total_) return;
    lastDraw_ = now;
    draw(false);
}

void Progress::finish() {
    if (finished_) return;
    if (done_ < total_) done_ = total_;
    if (enabled_) draw(true);
    finished_ = true;
}

void Progress::draw(bool final) {
    const int width = 30;
    double frac = total_ ? static_cast<double>(done_) / static_cast<double>(total_) : (final ? 1.0 : 0.0);
    if (frac > 1.0) frac = 1.0;
    int filled = static_cast<int>(frac * width);
    char bar[width + 1];
    for (int i = 0; i < width; ++i) bar[i] = i < filled ? '#' : '.';
    bar[width] = 0;
    std::fprintf(stderr, "\r%-18.18s [%s] %3d%%  %s  %s/s\x1b[K", label_.c_str(), bar, static_cast<int>(frac * 100.0),
                 humanBytes(static_cast<double>(done_)).c_str(), humanBytes(bytesPerSecond()).c_str());
    if (final) std::fputs("\n", stderr);
    std::fflush(stderr);
}

}  // namespace vektool
