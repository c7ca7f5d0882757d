// pixel2bin and bin2pixel on a 1920 x 1080 image for every implementation
// this processor runs, with all eight planes, four (mask 0x0F) and one (0x80),
// against a memcpy of the image's 2,073,600 bytes (the size of the frame with
// eight planes), which each of them runs by turns with the conversion (the
// x_memcpy counter). bench/run_bitplane.sh runs this beside the numpy version
// and prints the ratios.
#include <benchmark/benchmark.h>

#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "image/bitplane.h"
#include "vek_dll.h"

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr size_t kBytes = size_t{kWidth} * kHeight;

std::vector<uint8_t> RandomBytes(size_t n) {
    std::mt19937 rng(1);
    std::vector<uint8_t> v(n);
    for (auto &x : v) x = static_cast<uint8_t>(rng());
    return v;
}

void Memcpy(benchmark::State &state) {
    const std::vector<uint8_t> src = RandomBytes(kBytes);
    std::vector<uint8_t> dst(kBytes);
    for (auto _ : state) {
        std::memcpy(dst.data(), src.data(), kBytes);
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBytes));
}

// CPU time of this thread in nanoseconds.
double ThreadCpuNs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return 1e9 * static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec);
}

// Runs a conversion and a memcpy of the image's bytes by turns, each timed in
// CPU time of the thread, and reports the ratio of their sums as x_memcpy: on
// a shared machine both sides then see the same load and cache state.
template <class Convert>
void AgainstMemcpy(benchmark::State &state, Convert convert) {
    const std::vector<uint8_t> src = RandomBytes(kBytes);
    std::vector<uint8_t> dst(kBytes);
    double convertNs = 0, memcpyNs = 0;
    for (auto _ : state) {
        const double start = ThreadCpuNs();
        benchmark::DoNotOptimize(convert());
        benchmark::ClobberMemory();
        const double converted = ThreadCpuNs();
        std::memcpy(dst.data(), src.data(), kBytes);
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
        memcpyNs += ThreadCpuNs() - converted;
        convertNs += converted - start;
    }
    state.counters["x_memcpy"] = convertNs / memcpyNs;
}

void PixelsToBin(benchmark::State &state, const vek::image::BitplaneCodec *codec, uint8_t mask) {
    const std::vector<uint8_t> pixels = RandomBytes(kBytes);
    std::vector<uint8_t> bin(kBytes);
    AgainstMemcpy(state,
                  [&] { return vek::image::PixelsToBin(*codec, pixels.data(), kWidth, kHeight, mask, bin.data()); });
}

void BinToPixels(benchmark::State &state, const vek::image::BitplaneCodec *codec, uint8_t mask) {
    const std::vector<uint8_t> bin = RandomBytes(kBytes);
    std::vector<uint8_t> pixels(kBytes);
    AgainstMemcpy(state,
                  [&] { return vek::image::BinToPixels(*codec, bin.data(), kWidth, kHeight, mask, pixels.data()); });
}

// The exported functions (the implementation chosen for this processor).
void ExportedPixel2bin(benchmark::State &state) {
    const std::vector<uint8_t> pixels = RandomBytes(kBytes);
    std::vector<uint8_t> bin(kBytes);
    for (auto _ : state) {
        benchmark::DoNotOptimize(pixel2bin(pixels.data(), kWidth, kHeight, 0xFF, bin.data()));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBytes));
    state.SetLabel(vek::image::SelectedBitplaneCodec().name);
}

void ExportedBin2pixel(benchmark::State &state) {
    const std::vector<uint8_t> bin = RandomBytes(kBytes);
    std::vector<uint8_t> pixels(kBytes);
    for (auto _ : state) {
        benchmark::DoNotOptimize(bin2pixel(bin.data(), kWidth, kHeight, 0xFF, pixels.data()));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBytes));
    state.SetLabel(vek::image::SelectedBitplaneCodec().name);
}

}  // namespace

int main(int argc, char **argv) {
    benchmark::RegisterBenchmark("memcpy/1920x1080", Memcpy)->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("pixel2bin/1920x1080/selected", ExportedPixel2bin)->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("bin2pixel/1920x1080/selected", ExportedBin2pixel)->Unit(benchmark::kMicrosecond);
    for (const vek::image::BitplaneCodec &codec : vek::image::BitplaneCodecs()) {
        if (!codec.supported()) continue;
        for (auto [mask, planes] : {std::pair{0xFF, "8"}, std::pair{0x0F, "4"}, std::pair{0x80, "1"}}) {
            const std::string suffix = "/1920x1080/" + std::string(codec.name) + "/planes:" + planes;
            benchmark::RegisterBenchmark(("pixel2bin" + suffix).c_str(), PixelsToBin, &codec,
                                         static_cast<uint8_t>(mask))
                ->Unit(benchmark::kMicrosecond);
            benchmark::RegisterBenchmark(("bin2pixel" + suffix).c_str(), BinToPixels, &codec,
                                         static_cast<uint8_t>(mask))
                ->Unit(benchmark::kMicrosecond);
        }
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
