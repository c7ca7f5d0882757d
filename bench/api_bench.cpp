// Device calls on the virtual board: one register write and one register read
// per call, and a frame load of 2,073,600 bytes (eight 1920 x 1080 bit planes)
// against a plain memcpy of the same bytes in the same run. The virtual clock
// is on, so the frame load's fixed 100 ms pause costs nothing; the board's
// trace is off, so the figures are the library's and the board's own work.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "api/device_handle.h"  // the handle's device object, for the raw register calls
#include "vek_dll.h"
#include "vek_sim.h"

namespace {

constexpr uint32_t kFrameBytes = 2073600;

struct Session {
    DeviceHandle *handle = nullptr;
    Session() {
        VekSimDetachAll();
        VekSimSetVirtualClock(1);
        VekSimTraceEnable(0);
        VekSimAttach(nullptr);
        VekDevAlloc(0, &handle, nullptr);
        uint32_t type = 0;
        VekDevInquire(handle, 5, &type);
    }
    ~Session() {
        VekDevFree(handle);
        VekSimDetachAll();
        VekSimTraceEnable(1);
        VekSimSetVirtualClock(0);
    }
};


void BM_VekWriteReg(benchmark::State &state) {
    Session s;
    CCyDevice *device = s.handle->device;
    uint32_t v = 0;
    for (auto _ : state) {
        ++v;
        if (VekWriteReg(device, 0x31, &v) != 0) state.SkipWithError("write failed");
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_VekWriteReg);

void BM_VekReadReg(benchmark::State &state) {
    Session s;
    CCyDevice *device = s.handle->device;
    uint32_t v = 0;
    for (auto _ : state) {
        v = 0;
        if (VekReadReg(device, 0x31, &v) != 0) state.SkipWithError("read failed");
        benchmark::DoNotOptimize(v);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_VekReadReg);

void BM_VekDevLoadFrame(benchmark::State &state) {
    Session s;
    std::vector<uint8_t> frame(kFrameBytes);
    for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(i * 31);
    for (auto _ : state) {
        if (VekDevLoadFrame(s.handle, frame.data(), 0, kFrameBytes) != DEV_OK) state.SkipWithError("load failed");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kFrameBytes);
}
BENCHMARK(BM_VekDevLoadFrame)->Unit(benchmark::kMicrosecond);

void BM_MemcpyFrame(benchmark::State &state) {
    std::vector<uint8_t> frame(kFrameBytes), copy(kFrameBytes);
    for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(i * 31);
    for (auto _ : state) {
        std::memcpy(copy.data(), frame.data(), kFrameBytes);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kFrameBytes);
}
BENCHMARK(BM_MemcpyFrame)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
