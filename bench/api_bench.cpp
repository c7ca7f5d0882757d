// Device calls on the virtual board: one register write and one register read
// per call against the bare device-control request underneath them (one
// 8-byte direct request on the register pipe, its event made once), and a
// frame load of 2,073,600 bytes (eight 1920 x 1080 bit planes) against a plain
// memcpy of the same bytes, each pair in the same run. At the end it prints
// the register path's ratios: a write to one bare request, a read to two. The
// virtual clock is on, so the frame load's fixed 100 ms pause costs nothing;
// the board's trace is off, so the figures are the library's and the board's
// own work.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "api/device_handle.h"  // the handle's device object, for the raw register calls
#include "platform/win32.h"
#include "usb/device/usb_device.h"
#include "usb/driver_interface.h"
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

// The baseline: the request a register write makes, issued straight to the
// driver handle with an overlapped record and an event that live across
// iterations, and its outcome read back.
void BM_BareRequest(benchmark::State &state) {
    Session s;
    const HANDLE driver = s.handle->device->driverHandle;
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    uint32_t packet[2] = {0x31, 0};
    for (auto _ : state) {
        ++packet[1];
        vek::TransferRequest block{};
        block.endpointAddress = 0x04;
        DWORD bytes = 0;
        BOOL ok =
            DeviceIoControl(driver, vek::ioctl::kDirectData, &block, sizeof block, packet, sizeof packet, &bytes, &ov);
        if (!ok && GetLastError() == ERROR_IO_PENDING) ok = GetOverlappedResult(driver, &ov, &bytes, TRUE);
        if (!ok || bytes != sizeof packet) state.SkipWithError("request failed");
    }
    CloseHandle(ov.hEvent);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BareRequest);

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

// Keeps each benchmark's CPU time per iteration (the median when repeated) and
// prints the register path's ratios after the table.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            if (run.error_occurred) continue;
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (run.run_type == Run::RT_Iteration || median) {
                // A median, once there, replaces the single runs' last value.
                if (median || !medians_.count(run.run_name.function_name))
                    cpu_[run.run_name.function_name] = run.GetAdjustedCPUTime();
                if (median) medians_[run.run_name.function_name] = true;
            }
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        const auto bare = cpu_.find("BM_BareRequest");
        if (bare == cpu_.end() || bare->second <= 0) return;
        const auto print = [&](const char *name, double requests, const char *label) {
            const auto it = cpu_.find(name);
            if (it != cpu_.end())
                std::printf("%s / %s: %.2f (goal <= 1.5)\n", name, label, it->second / (requests * bare->second));
        };
        print("BM_VekWriteReg", 1, "bare request");
        print("BM_VekReadReg", 2, "two bare requests");
    }

private:
    std::map<std::string, double> cpu_;
    std::map<std::string, bool> medians_;
};

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
