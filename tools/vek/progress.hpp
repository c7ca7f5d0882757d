// A one-line progress bar with bytes per second, drawn on standard error
// only when it is a terminal (and not with --json or --no-progress).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace vektool {

class Progress {
public:
    Progress(bool enabled, std::string label, uint64_t totalBytes);
    ~Progress();
    void update(uint64_t doneBytes);  // absolute count
    void add(uint64_t bytes) { update(done_ + bytes); }
    void setTotal(uint64_t totalBytes) { total_ = totalBytes; }
    void finish();           // draws 100 % and ends the line
    double seconds() const;  // wall time since construction
    double bytesPerSecond() const;

private:
    void draw(bool final);
    bool enabled_;
    std::string label_;
    uint64_t total_;
    uint64_t done_ = 0;
    bool finished_ = false;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point lastDraw_;
};

// "12.3 MB" (decimal units)
std::string humanBytes(double bytes);

}  // namespace vektool
