// A byte buffer with guard bytes behind it, for the image tests: it shows
// what a conversion wrote and that it wrote nothing past the end. Needs no
// image library, so the bit-plane tests use it in every build.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vek::image::testing {

// A buffer of n bytes followed by guard bytes; every byte starts as `fill`.
struct GuardedBuffer {
    std::vector<uint8_t> bytes;
    size_t size;
    uint8_t fill;
    explicit GuardedBuffer(size_t n, uint8_t f = 0xCD) : bytes(n + 64, f), size(n), fill(f) {}
    uint8_t *data() { return bytes.data(); }
    std::vector<uint8_t> Content() const { return {bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(size)}; }
    bool From(size_t start) const {
        for (size_t i = start; i < bytes.size(); ++i)
            if (bytes[i] != fill) return false;
        return true;
    }
    bool Untouched() const { return From(0); }
    bool GuardIntact() const { return From(size); }
};

}  // namespace vek::image::testing
